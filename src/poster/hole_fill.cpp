#include "poster/hole_fill.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

namespace plumvane {
namespace {

// Measured on subjects pasted on blurred photos: radius 2 is as close to the hidden backdrop as 3
// or 5, and fastest.
constexpr double inpaintRadius = 2;

constexpr int borderWidening = 4;

// OpenCV's inpainting leaves the pixels next to the picture's border as they are and reads them
// as sources: a hole that reaches the border is painted on a copy widened on every side, hole
// and all, with the hole first set to the mean of the known pixels.
cv::Mat inpainted(const cv::Mat& rgb, const cv::Mat& hole) {
  const int b = borderWidening;
  cv::Mat widened, widenedHole, filled;
  cv::Mat blank = rgb.clone();
  blank.setTo(cv::mean(rgb, hole == 0), hole);
  cv::copyMakeBorder(blank, widened, b, b, b, b, cv::BORDER_REPLICATE);
  cv::copyMakeBorder(hole, widenedHole, b, b, b, b, cv::BORDER_REPLICATE);
  cv::inpaint(widened, widenedHole, filled, inpaintRadius, cv::INPAINT_NS);
  return filled(cv::Rect(b, b, rgb.cols, rgb.rows));
}

}  // namespace

int lineScaleSide(int w, int h, int height) {
  const double scale = std::min(1.0, double(height) / double(h));
  return std::max(1, int(double(std::max(w, h)) * scale));
}

void fillHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, int largeSide) {
  const int known = int(rgb.total()) - cv::countNonZero(unknown);
  if (cv::countNonZero(target) == 0 || known == 0) return;  // nothing to fill, or to fill from
  const double scale = std::min(1.0, double(largeSide) / double(std::max(rgb.cols, rgb.rows)));
  cv::Mat filled;
  if (scale < 1.0) {
    // A reduced pixel counts as unknown when any of the pixels it covers is.
    const cv::Size reduced(std::max(1, int(rgb.cols * scale + 0.5)),
                           std::max(1, int(rgb.rows * scale + 0.5)));
    cv::Mat small, smallUnknown;
    cv::resize(rgb, small, reduced, 0, 0, cv::INTER_AREA);
    cv::resize(unknown, smallUnknown, reduced, 0, 0, cv::INTER_AREA);
    smallUnknown = smallUnknown > 0;
    // Known pixels too scattered to survive the reduction: fill at full scale instead.
    if (cv::countNonZero(smallUnknown) < int(smallUnknown.total())) {
      cv::resize(inpainted(small, smallUnknown), filled, rgb.size(), 0, 0, cv::INTER_LINEAR);
    }
  }
  if (filled.empty()) filled = inpainted(rgb, unknown);
  filled.copyTo(rgb, target);
}

}  // namespace plumvane
