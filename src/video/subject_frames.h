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

// The model looks at every other frame, and at every third while the scene holds steady. The
// frames between two it looked at take their maps' blend, refined against their own pixels, when
// the two maps agree, no cut lies between the frames and each frame between looks like the blend
// of the two; otherwise the model looks at them too. A map changes little between neighbouring
// frames where the model's view of the scene holds steady, so the frames between cost the
// refinement alone; where the subject moves fast or the model wavers, the two maps disagree and
// nothing is guessed. So one or two frames are held back until the frame after them is seen.
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
  // Looks at `now`, settles the frames held back between the last look and it, and queues it.
  void settleUpTo(Seen now);
  // Gives the frames `between` (in order, after `from` and before `to`) their maps: the blend of
  // the two when they agree and every frame lies between them (true), else from the model.
  bool settleBetween(const Seen& from, std::vector<Seen> between, const Seen& to);
  void emitSettled();
  // A frame's mask from its settled map: its instances refined against its pixels.
  std::optional<Mask> maskOf(const Seen& frame);

  SubjectSegmenter& subjects_;
  std::function<void(std::optional<Mask>)> emit_;
  std::optional<Seen> last_;   // the thumbnail and map of the last frame the model looked at
  std::vector<Seen> held_;     // frames after it, waiting for the next look
  size_t holding_ = 1;         // how many frames are held back between looks: 1, or 2 when steady
  std::vector<Seen> settled_;  // frames whose maps are known, in order, waiting to be emitted
};

}  // namespace plumvane
