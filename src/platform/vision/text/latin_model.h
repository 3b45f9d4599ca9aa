// Lines of Latin-script text read by a Tesseract LSTM model, which knows the letters and signs of
// every language written in that script: accented letters, ß, œ, æ, ø, å, ł, ş, ő, €, £, dashes.
#pragma once

#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "platform/image/mask.h"

namespace plumvane {

struct LatinReading {
  std::string text;  // UTF-8 in NFC, blanks as the line has them
  // 0 to 1: the mean of the words' confidences, and no more than the share of the line's width
  // the words span when they leave much of it unread.
  float confidence = 0;
};

// The model works on a thread of its own: it loads there, and reads the lines in the order they
// are handed to it while the caller goes on with its own work.
class LatinModel {
 public:
  // Starts loading the model, a Tesseract traineddata file.
  explicit LatinModel(std::filesystem::path traineddata);
  ~LatinModel();
  LatinModel(const LatinModel&) = delete;
  LatinModel& operator=(const LatinModel&) = delete;

  // One line cut out upright with `margin` pixels of the picture around its detected box on
  // every side (copied: the caller may let go of it), to be read as a single line; the reading
  // is nothing when the line holds no ink. When the model can't be loaded, the reading throws
  // MissingModel.
  std::future<std::optional<LatinReading>> read(const BitmapView& crop, int margin);

 private:
  struct Engine;
  std::unique_ptr<Engine> engine_;
};

}  // namespace plumvane
