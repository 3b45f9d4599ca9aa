// The entry of the Latin-script reader's module, libplumvane_tesseract.so: the one place that
// links Tesseract, whose libraries (Leptonica and what it brings, some 60 shared libraries) only
// a run that reads Latin text loads. LatinModel loads it on its own thread.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <string>

#include "platform/vision/text/latin_model.h"

namespace plumvane {

// A Tesseract engine with a Latin-script model loaded, reading one line at a time.
class LatinLineReader {
 public:
  virtual ~LatinLineReader() = default;
  // One line in grey, cut out with `margin` pixels of the picture around its detected box on
  // every side; nothing when the line holds no ink.
  virtual std::optional<LatinReading> read(cv::Mat grey, int margin) = 0;
};

inline constexpr const char* latinReaderModule = "libplumvane_tesseract.so";
inline constexpr const char* latinReaderEntry = "plumvane_open_latin_reader";

}  // namespace plumvane

// A reader of the model whose traineddata bytes are `model` (`language` names it); null when
// Tesseract can't load it. The caller owns the reader.
extern "C" __attribute__((visibility("default"))) plumvane::LatinLineReader*
plumvane_open_latin_reader(const std::string& model, const std::string& language);
