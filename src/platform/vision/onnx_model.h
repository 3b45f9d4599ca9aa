// One ONNX model loaded into ONNX Runtime.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/mask.h"
#include "platform/vision/model_description.h"
#include "platform/vision/vision.h"

namespace plumvane {

// A float tensor: its shape and its values in row-major order.
struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> values;
};

class OnnxModel {
 public:
  // Loads the model file into a session of the process's one ONNX Runtime environment, with
  // `threads` intra-op threads (0: as many as the machine has cores): its optimised copy when
  // there is one at least as new as the file. A file that can't be loaded throws MissingModel.
  explicit OnnxModel(const std::filesystem::path& file, int threads = 0,
                     ModelUse use = ModelUse::repeatedly);
  ~OnnxModel();
  OnnxModel(const OnnxModel&) = delete;
  OnnxModel& operator=(const OnnxModel&) = delete;

  // Runs the model on one input tensor and returns all its outputs; nothing when inference
  // fails (a failed inference is never an error of the run).
  std::optional<std::vector<Tensor>> run(const Tensor& input);

  // The name of the model's input, and of its outputs in the order run() gives them.
  const std::string& inputName() const;
  const std::vector<std::string>& outputNames() const;

 private:
  struct Session;
  std::unique_ptr<Session> session_;
};

// Where the copy of a model optimised ahead of time lies: beside it, "NAME.optimized.onnx".
std::filesystem::path optimizedModelFile(const std::filesystem::path& model);

// Saves the model with every optimisation that holds on any CPU (constant folding, fused
// operators) to optimizedModelFile(model), written under a temporary name and renamed into place.
// Loading that copy skips most of a session's start; what depends on the CPU (the layout of
// convolutions) is still done at load. Throws MissingModel when the model can't be read, and
// std::runtime_error when the copy can't be written.
void saveOptimizedModel(const std::filesystem::path& model);

// Whether the CPU adds int8 products in 32 bits (VNNI), as ONNX Runtime's int8 kernels then do.
// Without it they add pairs of products in 16 bits, which a model with 8-bit weights overflows.
bool cpuSumsInt8Exactly();

// A model that maps a picture to a 0..1 map, with its description.
class SegmentationModel {
 public:
  explicit SegmentationModel(const ModelDescription& description, int threads = 0,
                             ModelUse use = ModelUse::repeatedly);

  // The picture's map at the model's resolution; nothing when inference fails.
  std::optional<Mask> map(const BitmapView& picture);

  // The picture's map with the model run at width x height, which a model whose sides are free
  // takes (InputFormat::multiple); nothing when inference fails.
  std::optional<Mask> map(const BitmapView& picture, int width, int height);

  // How the model takes its input.
  const InputFormat& input() const { return description_.input; }

 private:
  ModelDescription description_;
  OnnxModel model_;
};

// The picture resized to width x height (area averaging when shrinking, bilinear when growing)
// and normalised as format says, as a 1 x 3 x height x width (NCHW) or 1 x height x width x 3
// (NHWC) tensor. width and height override the format's own size.
Tensor modelInput(const BitmapView& picture, const InputFormat& format, int width, int height);

}  // namespace plumvane
