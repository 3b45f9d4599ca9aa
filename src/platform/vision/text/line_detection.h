// Finding the lines of text of a picture with PP-OCR's detector: at the picture's detection scale,
// and again on an enlarged copy where small print is below the detector's comfortable size there
// (on a picture too large to be enlarged whole, in enlarged tiles around its small print only);
// the words of one line joined, and a line parted where it crosses a column gap.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <vector>

#include "platform/image/rect.h"
#include "platform/vision/model_description.h"
#include "platform/vision/onnx_model.h"

namespace plumvane {

// A detected line: its rotated rectangle's corners in picture pixels, clockwise from the top
// left, and its upright bounding box in the top-left frame.
struct DetectedLine {
  std::array<cv::Point2f, 4> corners;
  Rect box;
  // Whether its top edge slopes so little that it may join the other words of its line.
  bool level() const;
  // Whether it surely runs down the picture: level edges, and a box at least 2.5 times as high as
  // wide.
  bool upright() const;
  // Whether it runs more than a little off both level and upright.
  bool slanted() const;
  // The shorter side of the rectangle: the line's height.
  double height() const;
};

// The lines of the picture (BGRA or RGBA bytes in `pixels`, the same picture as `picture`), each
// one run of words, in no particular order.
std::vector<DetectedLine> detectLines(OnnxModel& detector, const TextModels& models,
                                      const BitmapView& picture, const cv::Mat& pixels);

// The detected lines with the words of each line joined: level words on one line become one
// line along their common upright box (reading_order.h tells which are on one line), and so do
// short words that slope a little beside a level word (the detector tilts the rectangle of a
// short word in heavy type, a descender or a figure pulling at one corner). First, the pieces of
// a word set down the picture (one of them surely upright, none wider than high) become one line
// in the same way, as if the picture were turned a quarter. Other lines stay as the detector
// found them, cut along their rotated rectangles.
std::vector<DetectedLine> joinedWords(std::vector<DetectedLine> found);

// Whether a line's rectangle is at least 1.5 times as high as wide: it may run down the picture.
bool tallLine(const std::array<cv::Point2f, 4>& corners);

// The line cut out along its rotated rectangle, with `margin` pixels of the picture around it on
// every side, and turned upright: turned a quarter when `turn` is set, as a line is wider than
// high.
cv::Mat uprightCrop(const cv::Mat& pixels, const std::array<cv::Point2f, 4>& corners, int margin,
                    bool turn);
// ... turned a quarter when it is tall.
inline cv::Mat uprightCrop(const cv::Mat& pixels, const std::array<cv::Point2f, 4>& corners,
                           int margin = 0) {
  return uprightCrop(pixels, corners, margin, tallLine(corners));
}

}  // namespace plumvane
