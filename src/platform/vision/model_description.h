// The small JSON file beside each model that says how to feed it and read it, so that another
// model of the same role can be dropped in without touching code.
#pragma once

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace plumvane {

// How a picture becomes a model's input tensor: resized to width x height, each channel taken in
// the given colour order, divided by `scale` (or by the largest value of the picture when scale
// is 0), then (value - mean) / std, laid out as NCHW or NHWC. A model whose sides are free also
// takes any width and height that are multiples of `multiple`.
struct InputFormat {
  int width = 0;
  int height = 0;
  int multiple = 0;           // "multiple": 0 when the model takes width x height alone
  bool channelsFirst = true;  // "layout": "NCHW" (true) or "NHWC"
  bool bgr = false;           // "colours": "RGB" or "BGR"
  float scale = 255;          // "scale": a number, or "max"
  std::array<float, 3> mean{0, 0, 0};
  std::array<float, 3> std{1, 1, 1};
};

struct ModelDescription {
  std::filesystem::path file;  // the ONNX file, resolved against the models folder
  InputFormat input;
  int output = 0;  // which output holds the 0..1 map
  // "frames": a copy of the model for a video's frames (the people detector's: for its later
  // looks at a scene), taking the same input and giving the same output, quantised to int8 so
  // that it runs in about half the time, a little less exact; empty when frames are read by
  // `file` too.
  std::filesystem::path framesFile;
};

// The models that read lines of text, and the values of their pre- and post-processing.
struct TextModels {
  ModelDescription detection;    // input width and height unused: the picture is scaled to fit
  int detectionMaxSide = 960;    // longer side of the detection input, at most
  int detectionMultiple = 32;    // both sides of the detection input are multiples of this
  float pixelThreshold = 0.3f;   // probability above which a pixel belongs to text
  float boxThreshold = 0.6f;     // least mean probability inside a detected box
  float unclipRatio = 1.5f;      // boxes grow by area * ratio / perimeter
  ModelDescription recognition;  // input height fixed, width follows the line
  std::filesystem::path keys;    // the recogniser's characters, one a line
  ModelDescription direction;    // the 180-degree line classifier
  float flipThreshold = 0.9f;    // least probability of "upside down" that turns a line over

  // The Latin-script model, a Tesseract traineddata file; empty when the description has none,
  // and PP-OCR reads every line. Its reading is a line's when its confidence is at least
  // `latinSureConfidence` ("sureConfidence"); below that, it counts beside PP-OCR's when its
  // confidence is at least `latinConfidence` ("leastConfidence"; see text_model.cpp).
  std::filesystem::path latin;
  float latinConfidence = 0.5f;
  float latinSureConfidence = 0.85f;
};

// The models of the person path: a detector that finds where people are, and a segmentation
// model that is run on the whole picture and on a crop around each person found.
struct PeopleModels {
  ModelDescription segmentation;
  ModelDescription detector;  // an anchor-free detector with per-class scores and box bins
  int personClass = 0;        // which of the detector's classes is a person
  int classes = 80;           // how many classes the detector scores
  float threshold = 0.3f;     // least score of a person
  float overlap = 0.5f;       // boxes overlapping more than this (IoU) are one person
};

// Reads models/<name>.json. A missing or malformed description, or a model file that can't be
// read, throws MissingModel.
ModelDescription loadDescription(const std::string& name);

// Reads models/text.json, with the same failures as loadDescription.
TextModels loadTextModels();

// Reads models/person.json: the segmentation model's description, and its "detector".
PeopleModels loadPeopleModels();

// A model file that is missing or unusable: a fault of the installation, which ends the run.
// what() names the file and says that `make setup` installs it.
struct MissingModel : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws MissingModel for the file.
[[noreturn]] void throwMissingModel(const std::filesystem::path& file);

}  // namespace plumvane
