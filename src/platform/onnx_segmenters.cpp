// The subject and person services: both run a model that maps a picture to a 0..1 map.
#include <algorithm>
#include <cmath>

#include "platform/mask_refinement.h"
#include "platform/onnx_model.h"
#include "platform/onnx_vision.h"
#include "platform/subject_instances.h"

namespace plumvane {
namespace {

// A model that maps a picture to a 0..1 map, with its description.
class SegmentationModel {
 public:
  explicit SegmentationModel(const ModelDescription& description)
      : description_(description), model_(description.file) {}

  // The picture's map at the model's resolution; nothing when inference fails.
  std::optional<Mask> map(const BitmapView& picture) {
    if (picture.width <= 0 || picture.height <= 0) return std::nullopt;
    const InputFormat& format = description_.input;
    auto outputs = model_.run(modelInput(picture, format, format.width, format.height));
    if (!outputs || size_t(description_.output) >= outputs->size()) return std::nullopt;
    Tensor& map = (*outputs)[size_t(description_.output)];
    if (map.values.size() != size_t(format.width) * size_t(format.height)) return std::nullopt;
    Mask mask{format.width, format.height, std::move(map.values)};
    for (float& v : mask.values) v = std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f;
    return mask;
  }

 private:
  ModelDescription description_;
  OnnxModel model_;
};

class OnnxSubjects : public SubjectSegmenter {
 public:
  explicit OnnxSubjects(const ModelDescription& description) : model_(description) {}

  std::vector<Mask> instanceMasks(const BitmapView& picture) override {
    const SubjectInstances instances = find(picture);
    std::vector<Mask> masks;
    for (size_t i = 0; i < instances.regions.size(); ++i) {
      masks.push_back(refinedMask(picture, instanceMask(instances, i)));
    }
    return masks;
  }

  std::optional<Mask> allInstances(const BitmapView& picture) override {
    const SubjectInstances instances = find(picture);
    std::optional<Mask> all = allInstancesMask(instances);
    if (!all) return std::nullopt;
    return refinedMask(picture, *all);
  }

 private:
  // Components grow by this share of the map's longer side (2 pixels of a 320 map).
  static constexpr double growShare = 2.0 / 320;

  SubjectInstances find(const BitmapView& picture) {
    std::optional<Mask> map = model_.map(picture);
    if (!map) return {};
    const int grow = int(std::lround(growShare * std::max(map->width, map->height)));
    return findInstances(std::move(*map), grow);
  }

  SegmentationModel model_;
};

class OnnxPeople : public PersonSegmenter {
 public:
  explicit OnnxPeople(const ModelDescription& description) : model_(description) {}

  std::optional<Mask> personMask(const BitmapView& picture) override {
    std::optional<Mask> map = model_.map(picture);
    if (!map) return std::nullopt;
    return refinedMask(picture, *map);
  }

 private:
  SegmentationModel model_;
};

}  // namespace

std::unique_ptr<SubjectSegmenter> onnxSubjects(const ModelDescription& model) {
  return std::make_unique<OnnxSubjects>(model);
}

std::unique_ptr<PersonSegmenter> onnxPeople(const ModelDescription& model) {
  return std::make_unique<OnnxPeople>(model);
}

}  // namespace plumvane
