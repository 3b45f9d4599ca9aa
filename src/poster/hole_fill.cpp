#include "poster/hole_fill.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

namespace plumvane {
namespace {

// Measured on subjects pasted on blurred photos: radius 2 is as close to the hidden backdrop as 3
// or 5, and fastest.
constexpr double inpaintRadius = 2;

constexpr int borderWidening = 4;

// The longer side at which the holes of subjects are filled.
constexpr int subjectFillSide = 1000;

// The membrane is relaxed this many sweeps at each level, and its coarsest level is at most
// membraneBottom pixels on its longer side.
constexpr int membraneSweeps = 40;
constexpr int membraneBottom = 8;

// How deep into a subject's hole the inpainting's lines reach before they meet the membrane, as
// a share of the picture's longer side: measured on subjects pasted on photos, 1/24 is as close
// as 1/12 on shallow-focus backdrops, and closer on sharp ones.
constexpr double mixLengthShare = 1.0 / 24;

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

cv::Mat threeChannels(const cv::Mat& single) {
  cv::Mat three;
  cv::merge(std::vector<cv::Mat>{single, single, single}, three);
  return three;
}

cv::Mat membrane(const cv::Mat& values, const cv::Mat& weight);

// The membrane over values and weight halved, each half-size pixel the weighted mean of the four
// it covers, brought back to their size.
cv::Mat membraneFromHalf(const cv::Mat& values, const cv::Mat& weight) {
  const cv::Size half((values.cols + 1) / 2, (values.rows + 1) / 2);
  cv::Mat sums, halfWeight, halfValues, surface;
  cv::resize(values.mul(threeChannels(weight)), sums, half, 0, 0, cv::INTER_AREA);
  cv::resize(weight, halfWeight, half, 0, 0, cv::INTER_AREA);
  cv::divide(sums, cv::max(threeChannels(halfWeight), 1e-6f), halfValues);
  cv::resize(membrane(halfValues, halfWeight), surface, values.size(), 0, 0, cv::INTER_LINEAR);
  return surface;
}

// The smoothest surface over the pixels that are mostly unknown: each of them the mean of its
// four neighbours (beyond the picture's border, its edge pixels repeated), the others held at
// their colour. values (32-bit RGB) are the colours of the known parts of each pixel, weight
// (32-bit) the share of each pixel that is known. Solved coarse to fine: each level starts from
// the coarser level's surface, so that a few sweeps settle it.
cv::Mat membrane(const cv::Mat& values, const cv::Mat& weight) {
  const cv::Mat held = weight > 0.5f;
  if (std::max(values.cols, values.rows) <= membraneBottom) {
    cv::Mat surface = values.clone();
    const double known = cv::sum(weight)[0];
    surface.setTo(cv::sum(values.mul(threeChannels(weight))) / known, ~held);
    return surface;
  }
  cv::Mat surface = membraneFromHalf(values, weight), next;
  values.copyTo(surface, held);
  const cv::Mat neighbours = (cv::Mat_<float>(3, 3) << 0, 0.25, 0, 0.25, 0, 0.25, 0, 0.25, 0);
  for (int i = 0; i < membraneSweeps; ++i) {
    cv::filter2D(surface, next, -1, neighbours, {-1, -1}, 0, cv::BORDER_REPLICATE);
    values.copyTo(next, held);
    std::swap(surface, next);
  }
  return surface;
}

// A large hole: inpainted from its rim, so that edges and colour continue there, and deeper in
// mixed evenly with the membrane over it. Deep inside, what the hole hid can't be read from its
// rim; the inpainting's lines run on straight and the membrane settles at the rim's mean, and
// their mean is never further from the hidden colour than the two are on average.
cv::Mat inpaintedIntoMembrane(const cv::Mat& rgb, const cv::Mat& hole) {
  const cv::Mat lines = inpainted(rgb, hole);
  // The membrane needs no more detail than half the scale: it is relaxed from there down.
  cv::Mat values, weight;
  rgb.convertTo(values, CV_32FC3);
  cv::Mat(hole == 0).convertTo(weight, CV_32F, 1.0 / 255);
  const cv::Mat surface = membraneFromHalf(values, weight);

  // The inpainting's share: all of it at the rim, half of it deep inside.
  cv::Mat depth;
  cv::distanceTransform(hole, depth, cv::DIST_L2, 3);
  const float perPixel = float(-1.0 / (mixLengthShare * std::max(rgb.cols, rgb.rows)));
  cv::Mat mixed = lines.clone();
  for (int y = 0; y < rgb.rows; ++y) {
    const uint8_t* inHole = hole.ptr<uint8_t>(y);
    const float* d = depth.ptr<float>(y);
    const cv::Vec3f* smooth = surface.ptr<cv::Vec3f>(y);
    cv::Vec3b* out = mixed.ptr<cv::Vec3b>(y);
    for (int x = 0; x < rgb.cols; ++x) {
      if (!inHole[x]) continue;
      const float share = 0.5f + 0.5f * std::exp(d[x] * perPixel);
      for (int c = 0; c < 3; ++c) {
        out[x][c] = cv::saturate_cast<uint8_t>(out[x][c] * share + smooth[x][c] * (1 - share));
      }
    }
  }
  return mixed;
}

// Fills target with fill(picture, unknown), at a reduced scale when the picture's longer side is
// above largeSide.
void fillWith(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, int largeSide,
              cv::Mat (*fill)(const cv::Mat&, const cv::Mat&)) {
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
      cv::resize(fill(small, smallUnknown), filled, rgb.size(), 0, 0, cv::INTER_LINEAR);
    }
  }
  if (filled.empty()) filled = fill(rgb, unknown);
  filled.copyTo(rgb, target);
}

}  // namespace

int lineScaleSide(int w, int h, int height) {
  const double scale = std::min(1.0, double(height) / double(h));
  return std::max(1, int(double(std::max(w, h)) * scale));
}

void fillHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown, int largeSide) {
  fillWith(rgb, target, unknown, largeSide, inpainted);
}

void fillSubjectHoles(cv::Mat& rgb, const cv::Mat& target, const cv::Mat& unknown) {
  fillWith(rgb, target, unknown, subjectFillSide, inpaintedIntoMembrane);
}

}  // namespace plumvane
