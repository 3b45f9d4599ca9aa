// People followed through a video between detections.
#pragma once

#include <cmath>
#include <cstdint>
#include <opencv2/core/mat.hpp>
#include <optional>
#include <vector>

#include "platform/image/mask.h"
#include "platform/vision/people/people_detector.h"

namespace plumvane {

// The whole pixels that a box from topLeft to bottomRight touches: its corners rounded outwards.
template <typename T>
cv::Rect enclosing(const cv::Point_<T>& topLeft, const cv::Point_<T>& bottomRight) {
  return cv::Rect(cv::Point(int(std::floor(topLeft.x)), int(std::floor(topLeft.y))),
                  cv::Point(int(std::ceil(bottomRight.x)), int(std::ceil(bottomRight.y))));
}

template <typename T>
cv::Rect enclosing(const cv::Rect_<T>& box) {
  return enclosing(box.tl(), box.br());
}

// The part of a width x height picture that a person with this box is segmented in: room around
// them for arms, a step, and their moving on while their box is carried between detections.
cv::Rect cropAround(const cv::Rect2f& box, int width, int height);

// A person as they are expected in the current frame.
struct TrackedPerson {
  PersonBox person;
  cv::Point2f velocity;  // pixels a frame, from their last two detections
};

// The detector is run every few frames, and at once when the picture changes sharply (a cut, a
// swing of the camera); in between, each person's box moves on at the speed they were last seen
// moving. A person the detector has found twice and then misses is still looked for, where they
// were heading, for a few detections, and where a box it is unsure of overlaps where they are
// expected, there; a box found once and not again is dropped (a passing shape, or part of someone
// found whole elsewhere).
class PeopleTracker {
 public:
  // Moves on to the next frame; how the detector is to look at it, or nothing when it is not.
  std::optional<Look> nextFrame(const BitmapView& frame);

  // The people the detector found in the current frame.
  void detected(const std::vector<PersonBox>& found);

  // Everyone followed, where they are expected in the current frame.
  std::vector<TrackedPerson> people() const;

 private:
  // Whether anything moved between the previous thumbnail and this one outside the crops of the
  // people followed in a frame of width x height.
  bool movesWhereNobodyIs(const cv::Mat& previous, int width, int height) const;

  struct Track {
    PersonBox person;  // as last detected
    cv::Point2f velocity;
    int64_t seenAt;  // the frame of that detection
    int missed;      // detections since
    int found;       // detections that found them
  };
  std::vector<Track> tracks_;
  int64_t frame_ = -1;
  int64_t lastDetection_ = 0;
  cv::Mat lastThumbnail_;  // the picture at the last detection, small and grey
  cv::Mat thumbnail_;      // the current frame's
};

}  // namespace plumvane
