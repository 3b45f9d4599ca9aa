// The vision services every mode asks: subjects, people and lines of text. Each sits behind a
// small interface so that a mode can be tested with scripted masks and text. A failed inference
// is never an error: it yields no mask or no text.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/mask.h"
#include "platform/image/rect.h"

namespace plumvane {

class SubjectSegmenter {
 public:
  virtual ~SubjectSegmenter() = default;
  // One mask per foreground instance, at the picture's size with its edge refined against the
  // picture, largest first; empty when there is no subject or inference failed.
  virtual std::vector<Mask> instanceMasks(const BitmapView& picture) = 0;
  // All instances in one mask at the picture's size; nothing when there is no subject.
  virtual std::optional<Mask> allInstances(const BitmapView& picture) = 0;
  // For a video, in two steps: the model's map of a frame (0..1, at the model's size; nothing
  // when inference failed), and all instances of a map in one mask at the frame's size, refined
  // against the frame but not cut again along its edges, which would cost each frame a fifth of
  // a second and let the outline flicker.
  virtual std::optional<Mask> modelMap(const BitmapView& frame) = 0;
  virtual std::optional<Mask> frameInstances(const BitmapView& frame, Mask map) = 0;
};

class PersonSegmenter {
 public:
  virtual ~PersonSegmenter() = default;
  // The people of the picture in one mask at the picture's size, its edge refined against the
  // picture; nothing when inference failed.
  virtual std::optional<Mask> personMask(const BitmapView& picture) = 0;
  // The same for the next frame of a video, the frames given in order: a person found in the
  // last few frames and missed in this one is still looked for where they were.
  virtual std::optional<Mask> frameMask(const BitmapView& frame) { return personMask(frame); }
};

struct TextLine {
  Rect box;          // normalised to 0..1 of the picture, origin at the top left
  float confidence;  // 0 to 1
  std::string text;  // UTF-8
  // For a line set at a slant: its rotated rectangle's corners, normalised like `box`, clockwise
  // from the top left of its run. Empty for a level or upright line, which fills its box.
  std::vector<std::array<double, 2>> outline;
};

class TextRecognizer {
 public:
  virtual ~TextRecognizer() = default;
  // The lines of text of the picture in reading order (top to bottom, then left to right);
  // empty when there are none or inference failed.
  virtual std::vector<TextLine> textLines(const BitmapView& picture) = 0;
};

// The services of one run. The installed models are loaded on first use.
class Vision {
 public:
  virtual ~Vision() = default;
  // Nothing when no subject model is installed: instance masks are not available then.
  virtual SubjectSegmenter* subjects() = 0;
  virtual PersonSegmenter& people() = 0;
  virtual TextRecognizer& text() = 0;
};

// How often a run asks a model. Run over and over (a video's frames, a poster's lines), a
// session keeps the memory of one inference in an arena for the next; asked once (the subject
// model of a cut-out or a poster), it gains nothing from that, and the arena's chunks, each twice
// the one before, hold up to twice what the inference needs: that inference then takes its memory
// from the process's heap.
enum class ModelUse { once, repeatedly };

// The services on the installed models (see model_files.h), the subject model asked as often as
// `subjectUse` says. A model that is missing when it is first used throws MissingModel
// (model_description.h).
std::unique_ptr<Vision> installedVision(ModelUse subjectUse = ModelUse::repeatedly);

}  // namespace plumvane
