#include "platform/vision/band_cut.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/vision/mask_refinement.h"

namespace plumvane {
namespace {

// The cut runs on a copy whose longer side is at most this: three pixels per pixel of the
// subject model's map, fine enough to place the outline within a map pixel's third, small
// enough that the cut costs a fraction of the model's inference.
constexpr double workSide = 960;
// The band's half width, in map pixels: the model places its outline about a map pixel off, and
// the refinement before has already moved it by up to that much.
constexpr double bandMapPixels = 1.5;
// The colour models are learnt from the sure pixels this many band widths around the band.
constexpr int modelReach = 2;
// How soft the cut's outline is drawn, in pixels of the copy.
constexpr double cutSoftness = 1.0;

cv::Mat asMat(const Mask& mask) {
  return cv::Mat(mask.height, mask.width, CV_32F, const_cast<float*>(mask.values.data()));
}

// The picture as 8-bit BGR at the given size.
cv::Mat reducedBgr(const BitmapView& picture, cv::Size size) {
  const cv::Mat view(picture.height, picture.width, CV_8UC4, const_cast<uint8_t*>(picture.pixels),
                     picture.rowBytes);
  cv::Mat small, bgr;
  cv::resize(view, small, size, 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, bgr,
               picture.order == BitmapView::Order::rgba ? cv::COLOR_RGBA2BGR : cv::COLOR_BGRA2BGR);
  return bgr;
}

}  // namespace

Mask cutAlongOutline(const BitmapView& picture, const Mask& refined, double mapPixel) {
  if (refined.isEmpty() || picture.width < 16 || picture.height < 16) return refined;
  const double scale = std::min(1.0, workSide / std::max(picture.width, picture.height));
  const cv::Size work(std::max(1, int(std::lround(picture.width * scale))),
                      std::max(1, int(std::lround(picture.height * scale))));
  const int reach = std::max(2, int(std::lround(bandMapPixels * mapPixel * scale)));

  cv::Mat coverage;
  cv::resize(asMat(refined), coverage, work, 0, 0, cv::INTER_AREA);
  const cv::Mat inside = coverage >= 0.5f;
  const cv::Mat disc =
      cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1));
  cv::Mat grown, shrunk;
  cv::dilate(inside, grown, disc);
  cv::erode(inside, shrunk, disc);
  const cv::Mat band = grown & ~shrunk;
  if (cv::countNonZero(band) == 0) return refined;

  // Sure labels beyond the band, the refined side as a first guess within it.
  cv::Mat labels(work, CV_8U, cv::Scalar(cv::GC_BGD));
  labels.setTo(cv::GC_FGD, shrunk);
  labels.setTo(cv::GC_PR_FGD, band & inside);
  labels.setTo(cv::GC_PR_BGD, band & ~inside);
  const cv::Rect box = cv::boundingRect(band);
  const int margin = modelReach * reach;
  const cv::Rect window =
      cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
      cv::Rect(0, 0, work.width, work.height);
  cv::Mat part = labels(window);
  const int fore = cv::countNonZero((part & 1) != 0);
  if (fore < 32 || window.area() - fore < 32) return refined;
  cv::theRNG().state = 0x12345678;  // the colour models' start, the same on every run
  try {
    cv::Mat backModel, foreModel;
    cv::grabCut(reducedBgr(picture, work)(window), part, cv::Rect(), backModel, foreModel, 1,
                cv::GC_INIT_WITH_MASK);
  } catch (const cv::Exception&) {
    return refined;  // colour models that can't be learnt leave the refined outline as it is
  }

  const cv::Mat cutInside = (labels & 1) != 0;
  cv::Mat moved = cutInside != inside;
  if (cv::countNonZero(moved) == 0) return refined;
  // The cut stands in for the model's map in a second refinement at full resolution, which
  // places the moved outline on the picture's pixels. Where the cut kept the refined side, the
  // first refinement stands, its soft hair and fur with it.
  cv::Mat cutMap;
  cutInside.convertTo(cutMap, CV_32F, 1.0 / 255);
  // Softened by a pixel of the copy, so that where the copy is the picture itself the edge is
  // not drawn in whole pixels, and where the colour can't decide it keeps a ramp.
  cv::GaussianBlur(cutMap, cutMap, cv::Size(), cutSoftness);
  const Mask again =
      refinedMask(picture, Mask{cutMap.cols, cutMap.rows,
                                std::vector<float>(cutMap.begin<float>(), cutMap.end<float>())});
  cv::dilate(moved, moved, cv::Mat(), cv::Point(-1, -1), 3);
  cv::Mat chosen;
  cv::resize(moved, chosen, cv::Size(picture.width, picture.height), 0, 0, cv::INTER_NEAREST);
  Mask result = refined;
  asMat(again).copyTo(asMat(result), chosen);
  return result;
}

}  // namespace plumvane
