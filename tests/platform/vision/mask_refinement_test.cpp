// The refinement of a coarse map against the picture, on composites whose true edge is known: a
// subject cut from one real photo laid on a shallow-focus backdrop made from another.
#include "platform/vision/mask_refinement.h"

#include "platform/vision/band_cut.h"

#include <gtest/gtest.h>

#include "edges.h"

#include <algorithm>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace plumvane {
namespace {

using testing::Composite;
using testing::composite;
using testing::outlineOf;

cv::Mat asMat(const Mask& mask) {
  return cv::Mat(mask.height, mask.width, CV_32F, const_cast<float*>(mask.values.data()));
}

struct EdgeFigures {
  double band;      // soft pixels (0.05 < coverage < 0.95) per outline pixel
  double distance;  // the mean distance from the outline to the true outline
  double far;       // the share of the outline more than 4 pixels from the true outline
};

EdgeFigures edgeFigures(const cv::Mat& coverage, const cv::Mat& truth) {
  const cv::Mat outline = outlineOf(coverage);
  cv::Mat toTruth;
  cv::distanceTransform(~outlineOf(truth), toTruth, cv::DIST_L2, cv::DIST_MASK_PRECISE);
  std::vector<float> distances;
  for (int y = 0; y < outline.rows; ++y) {
    for (int x = 0; x < outline.cols; ++x) {
      if (outline.at<uint8_t>(y, x)) distances.push_back(toTruth.at<float>(y, x));
    }
  }
  if (distances.empty()) return {0, 1e9, 1};
  double sum = 0, far = 0;
  for (float d : distances) {
    sum += d;
    far += d > 4;
  }
  const double n = double(distances.size());
  return {testing::softBand(coverage), sum / n, far / n};
}

TEST(MaskRefinement, AHardEdgeComesOutSharpAndInPlaceAndASoftOneStaysSoft) {
  const Composite hard = composite(0), soft = composite(5);
  ASSERT_FALSE(hard.rgba.empty());
  const EdgeFigures stretched =
      edgeFigures(asMat(resizedMask(hard.map, hard.rgba.cols, hard.rgba.rows)), hard.coverage);
  const EdgeFigures refined = edgeFigures(asMat(refinedMask(hard.view(), hard.map)), hard.coverage);
  // The stretched map is what the refinement mends: a wide ramp, off the true outline.
  EXPECT_GT(stretched.band, 10);
  EXPECT_GT(stretched.distance, 4);
  EXPECT_LE(refined.band, 3);
  EXPECT_LE(refined.distance, 2);
  EXPECT_LE(refined.far, 0.2);

  // The same map over a picture whose edge is soft: the band's width comes from the picture.
  const EdgeFigures truth = edgeFigures(soft.coverage, soft.coverage);
  const EdgeFigures softened =
      edgeFigures(asMat(refinedMask(soft.view(), soft.map)), soft.coverage);
  EXPECT_GT(softened.band, 2.5 * refined.band);
  EXPECT_LT(softened.band, 1.5 * truth.band);
  EXPECT_LE(softened.distance, 3);

  // A map of nothing stays nothing, at the picture's size.
  const Mask nothing =
      refinedMask(hard.view(), Mask{320, 213, std::vector<float>(320 * 213, 0.0f)});
  ASSERT_EQ(nothing.width, 2400);
  EXPECT_EQ(cv::countNonZero(asMat(nothing) > 0.0f), 0);
}

TEST(MaskRefinement, AnOutlineFarOffTheEdgeIsCutOntoIt) {
  // The model's outline two map pixels (15 picture pixels) right of the true one: beyond what the
  // refinement reaches on its own, within the band that the cut decides again.
  const double mapPixel = 2400.0 / 320;
  const Composite hard = composite(0, {2400, 1600}, 2), soft = composite(2, {2400, 1600}, 2);
  ASSERT_FALSE(hard.rgba.empty());
  const Mask refined = refinedMask(hard.view(), hard.map);
  const EdgeFigures before = edgeFigures(asMat(refined), hard.coverage);
  const EdgeFigures cut =
      edgeFigures(asMat(cutAlongOutline(hard.view(), refined, mapPixel)), hard.coverage);
  EXPECT_GT(before.distance, 5);
  EXPECT_GT(before.far, 0.4);
  EXPECT_LE(cut.distance, 2);
  EXPECT_LE(cut.far, 0.12);
  EXPECT_LE(cut.band, 3);

  // A soft edge as far off lands on its place too, and stays softer than the hard one.
  const EdgeFigures softCut =
      edgeFigures(asMat(cutAlongOutline(soft.view(), refinedMask(soft.view(), soft.map), mapPixel)),
                  soft.coverage);
  EXPECT_LE(softCut.distance, 2);
  EXPECT_GT(softCut.band, 1.5 * cut.band);
}

TEST(MaskRefinement, AWidePlateauWhereTheMapHesitatesIsDecidedByTheColours) {
  // The model hesitates (0.35) over a wide patch of the backdrop beside the subject, and over a
  // wide patch of the subject itself: the colours of the sure sides decide each whole.
  const double mapPixel = 1200.0 / 320;
  Composite c = composite(0, {1200, 800});
  ASSERT_FALSE(c.rgba.empty());
  cv::Mat map = asMat(c.map);
  const cv::Rect offSubject(262, 12, 40, 30), onSubject(150, 90, 40, 30);  // in map pixels
  map(offSubject).setTo(0.35f);
  map(onSubject).setTo(0.35f);
  const Mask cut = cutAlongOutline(c.view(), refinedMask(c.view(), c.map), mapPixel);
  const auto inPicture = [&](const cv::Rect& r) {
    const double k = 1200.0 / 320;
    return cv::Rect(int(r.x * k) + 8, int(r.y * k) + 8, int(r.width * k) - 16,
                    int(r.height * k) - 16);
  };
  ASSERT_EQ(cv::mean(c.coverage(inPicture(offSubject)))[0], 0.0);
  ASSERT_EQ(cv::mean(c.coverage(inPicture(onSubject)))[0], 1.0);
  EXPECT_LE(cv::mean(asMat(cut)(inPicture(offSubject)))[0], 0.02);
  EXPECT_GE(cv::mean(asMat(cut)(inPicture(onSubject)))[0], 0.98);
}

}  // namespace
}  // namespace plumvane
