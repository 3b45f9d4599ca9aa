// The subject service: a salient-object model's map, split into instances.
#include <algorithm>
#include <cmath>
#include <optional>

#include "platform/vision/band_cut.h"
#include "platform/vision/mask_refinement.h"
#include "platform/vision/onnx_model.h"
#include "platform/vision/subjects/subject_instances.h"
#include "platform/vision/subjects/subject_model.h"

namespace plumvane {
namespace {

class OnnxSubjects : public SubjectSegmenter {
 public:
  // The model a run of this use asks loads at once (a video's, while the video opens): the
  // frames' copy for a model asked repeatedly, the pictures' model for one asked once. The other
  // loads when first asked.
  OnnxSubjects(const ModelDescription& description, ModelUse use)
      : description_(description), use_(use) {
    if (use == ModelUse::repeatedly) {
      framesModel();
    } else {
      picturesModel();
    }
  }

  std::vector<Mask> instanceMasks(const BitmapView& picture) override {
    const SubjectInstances instances = find(picture);
    std::vector<Mask> masks;
    for (size_t i = 0; i < instances.regions.size(); ++i) {
      masks.push_back(outlined(picture, instanceMask(instances, i)));
    }
    return masks;
  }

  std::optional<Mask> allInstances(const BitmapView& picture) override {
    std::optional<Mask> all = allInstancesMask(find(picture));
    if (!all) return std::nullopt;
    return outlined(picture, *all);
  }

  std::optional<Mask> modelMap(const BitmapView& frame) override {
    return framesModel().map(frame);
  }

  std::optional<Mask> frameInstances(const BitmapView& frame, Mask map) override {
    std::optional<Mask> all = allInstancesMask(instancesOf(std::move(map)));
    if (!all) return std::nullopt;
    return refinedMask(frame, *all);
  }

 private:
  // The map refined against the picture, its outline then cut again along the picture's edges.
  static Mask outlined(const BitmapView& picture, const Mask& map) {
    const double mapPixel =
        std::max(double(picture.width) / map.width, double(picture.height) / map.height);
    return cutAlongOutline(picture, refinedMask(picture, map), mapPixel);
  }

  // Components grow by this share of the map's longer side (2 pixels of a 320 map).
  static constexpr double growShare = 2.0 / 320;

  static SubjectInstances instancesOf(Mask map) {
    const int grow = int(std::lround(growShare * std::max(map.width, map.height)));
    return findInstances(std::move(map), grow);
  }

  SubjectInstances find(const BitmapView& picture) {
    std::optional<Mask> map = picturesModel().map(picture);
    return map ? instancesOf(std::move(*map)) : SubjectInstances{};
  }

  SegmentationModel& picturesModel() {
    if (!pictures_) pictures_.emplace(description_, 0, use_);
    return *pictures_;
  }
  // The frames' copy is quantised to int8: on a CPU that would overflow its sums, the pictures'
  // model reads the frames too.
  SegmentationModel& framesModel() {
    if (description_.framesFile.empty() || !cpuSumsInt8Exactly()) return picturesModel();
    if (!frames_) {
      ModelDescription frames = description_;
      frames.file = frames.framesFile;
      frames_.emplace(frames, 0, use_);
    }
    return *frames_;
  }

  ModelDescription description_;
  ModelUse use_;
  std::optional<SegmentationModel> pictures_;
  std::optional<SegmentationModel> frames_;
};

}  // namespace

std::unique_ptr<SubjectSegmenter> onnxSubjects(const ModelDescription& model, ModelUse use) {
  return std::make_unique<OnnxSubjects>(model, use);
}

}  // namespace plumvane
