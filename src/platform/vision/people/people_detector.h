// Where the people of a picture are, from an object detector.
#pragma once

#include <opencv2/core/types.hpp>
#include <optional>
#include <vector>

#include "platform/image/mask.h"
#include "platform/vision/model_description.h"
#include "platform/vision/onnx_model.h"

namespace plumvane {

struct PersonBox {
  cv::Rect2f box;    // in the picture's pixels, origin at the top left
  float score;       // 0 to 1
  bool sure = true;  // whether the score passes the threshold
};

// Whether the detector looks at a scene for the first time (a picture, a video's first frame or
// the first after a cut), or again at a later frame of a scene whose people are being followed.
enum class Look { first, again };

// One box around each person: the detector is run on the picture at its input size, its boxes
// of the person class above the threshold are kept, and of boxes that overlap as one person
// only the surest stays. Boxes down to half the threshold are kept too, marked unsure: someone
// already followed through a video whom the detector is less sure of in this frame (half hidden
// behind another, turning) is found again by them; nobody is taken on them alone.
//
// A first look is the float model's. Looking again, the detector's int8 copy ("frames" in its
// description) is run where the CPU sums int8 products exactly: it takes half the time, and what
// it misses of a scene is still followed from the looks before. Made every look, a scene's first
// too, it took the crowd test's worst tenth from 0.79 to 0.57: a few boxes flip at the threshold,
// and a person missed at the start of a scene has no track to be carried by.
class PeopleDetector {
 public:
  explicit PeopleDetector(const PeopleModels& models);

  // Surest first; empty when there is nobody or inference failed.
  std::vector<PersonBox> find(const BitmapView& picture, Look look = Look::first);

 private:
  // Adds the people of one tile, whose top-left corner is at `at` in the picture; false when
  // inference failed.
  bool findIn(OnnxModel& model, const BitmapView& tile, cv::Point at,
              std::vector<PersonBox>& boxes);
  // Adds the far people of the picture's rows where far people were found among `boxes`; false
  // when inference failed.
  bool findFar(OnnxModel& model, const BitmapView& picture, std::vector<PersonBox>& boxes);
  // The model that makes a look of this kind, loaded when first wanted.
  OnnxModel& modelFor(Look look);

  PeopleModels models_;
  OnnxModel model_;
  std::optional<OnnxModel> framesModel_;
};

// How much two boxes overlap: their intersection over their union, 0 to 1.
float overlapOf(const cv::Rect2f& a, const cv::Rect2f& b);

}  // namespace plumvane
