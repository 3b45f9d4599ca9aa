// The subject and person services: both run a model that maps a picture to a 0..1 map.
#include <algorithm>
#include <cmath>

#include "platform/onnx_model.h"
#include "platform/onnx_vision.h"
#include "platform/subject_instances.h"

namespace plumvane {
namespace {

// Runs a segmentation model on the picture and returns its map at the model's resolution.
std::optional<Mask> segmentationMap(OnnxModel& model, const ModelDescription& description,
                                    const BitmapView& picture) {
  if (picture.width <= 0 || picture.height <= 0) return std::nullopt;
  const InputFormat& format = description.input;
  auto outputs = model.run(modelInput(picture, format, format.width, format.height));
  if (!outputs || size_t(description.output) >= outputs->size()) return std::nullopt;
  Tensor& map = (*outputs)[size_t(description.output)];
  const size_t expected = size_t(format.width) * size_t(format.height);
  if (map.values.size() != expected) return std::nullopt;
  Mask mask{format.width, format.height, std::move(map.values)};
  for (float& v : mask.values) v = std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f;
  return mask;
}

class OnnxSubjects : public SubjectSegmenter {
 public:
  explicit OnnxSubjects(const ModelDescription& description)
      : description_(description), model_(description.file) {}

  std::vector<Mask> instanceMasks(const BitmapView& picture) override {
    const SubjectInstances instances = find(picture);
    std::vector<Mask> masks;
    for (size_t i = 0; i < instances.regions.size(); ++i) {
      masks.push_back(instanceMask(instances, i, picture.width, picture.height));
    }
    return masks;
  }

  std::optional<Mask> allInstances(const BitmapView& picture) override {
    return allInstancesMask(find(picture), picture.width, picture.height);
  }

 private:
  // Components grow by this share of the map's longer side (2 pixels of a 320 map).
  static constexpr double growShare = 2.0 / 320;

  SubjectInstances find(const BitmapView& picture) {
    std::optional<Mask> map = segmentationMap(model_, description_, picture);
    if (!map) return {};
    const int grow = int(std::lround(growShare * std::max(map->width, map->height)));
    return findInstances(std::move(*map), grow);
  }

  ModelDescription description_;
  OnnxModel model_;
};

class OnnxPeople : public PersonSegmenter {
 public:
  explicit OnnxPeople(const ModelDescription& description)
      : description_(description), model_(description.file) {}

  std::optional<Mask> personMask(const BitmapView& picture) override {
    return segmentationMap(model_, description_, picture);
  }

 private:
  ModelDescription description_;
  OnnxModel model_;
};

}  // namespace

std::unique_ptr<SubjectSegmenter> onnxSubjects(const ModelDescription& model) {
  return std::make_unique<OnnxSubjects>(model);
}

std::unique_ptr<PersonSegmenter> onnxPeople(const ModelDescription& model) {
  return std::make_unique<OnnxPeople>(model);
}

}  // namespace plumvane
