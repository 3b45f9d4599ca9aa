// The subject path of video mode: the subject model's masks of a video's frames, in order.
#pragma once

#include <functional>
#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "platform/vision/vision.h"

namespace plumvane {

// A view of a frame's BGRA pixels.
inline BitmapView viewOf(const cv::Mat& bgra) {
  return BitmapView{bgra.data, bgra.cols, bgra.rows, bgra.step, BitmapView::Order::bgra};
}

// The model looks at every other frame. A frame between two it looked at takes the mean of their
// maps, refined against its own pixels, when the two maps agree and no cut lies between the
// frames; otherwise the model looks at it too. A map changes little between neighbouring frames
// where the model's view of the scene holds steady, so the frames between cost the refinement
// alone; where the subject moves fast or the model wavers, the two maps disagree and nothing is
// guessed. So one frame is held back until the frame after it is seen.
class SubjectFrames {
 public:
  // Each frame's mask (nothing when no subject was found) goes to `emit`, in the frames' order.
  SubjectFrames(SubjectSegmenter& subjects, std::function<void(std::optional<Mask>)> emit);

  // The next frame, upright, BGRA, in pixels that may be kept; the masks of the frames before it
  // that are settled are emitted.
  void add(cv::Mat pixels);

  // Emits the mask of the frame held back, if any.
  void finish();

 private:
  struct Seen {
    cv::Mat pixels, thumbnail;
    std::optional<Mask> map;  // the model's, or the mean of its neighbours'
  };

  // The model's map of a frame; the frames settled so far are refined meanwhile and emitted.
  std::optional<Mask> lookAt(const cv::Mat& pixels);
  void emitSettled();
  // A frame's mask from its settled map: its instances refined against its pixels.
  std::optional<Mask> maskOf(const Seen& frame);

  SubjectSegmenter& subjects_;
  std::function<void(std::optional<Mask>)> emit_;
  std::optional<Seen> last_;   // the thumbnail and map of the last frame the model looked at
  std::optional<Seen> held_;   // a frame after it, waiting for the next
  std::vector<Seen> settled_;  // frames whose maps are known, in order, waiting to be emitted
};

}  // namespace plumvane
