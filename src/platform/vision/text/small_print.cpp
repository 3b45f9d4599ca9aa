#include "platform/vision/text/small_print.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace plumvane {

namespace {

// Strokes narrower than this many pixels stand out of the picture closed or opened with a square
// of this side; a stroke counts where it stands out by at least `leastStroke` grey levels.
constexpr int strokeKernel = 7;
constexpr double leastStroke = 40;
// The strokes of one word are joined across this many pixels, and a line's words across its
// word spaces; a run is kept when it is at least this many pixels high.
constexpr int letterJoin = 7;
constexpr int leastHeight = 4;
// Print lies on paper or flat colour: at least this share of a run's box is flat (its grey range
// over every 3 x 3 neighbourhood below `flatRange`), where a photo's texture has next to none.
constexpr double leastFlat = 0.25;
constexpr double flatRange = 8;
// The mask reaches this many pixels beyond each run, so that a detection of the mask's bounds
// sees the run whole with some paper around it.
constexpr int regionMargin = 16;

}  // namespace

cv::Mat smallPrintMask(const cv::Mat& grey, const std::vector<cv::Rect>& seen) {
  const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, {strokeKernel, strokeKernel});
  cv::Mat dark, light;
  cv::morphologyEx(grey, dark, cv::MORPH_BLACKHAT, square);
  cv::morphologyEx(grey, light, cv::MORPH_TOPHAT, square);
  cv::Mat strokes = cv::max(dark, light) >= leastStroke;
  const cv::Rect all(0, 0, grey.cols, grey.rows);
  for (const cv::Rect& box : seen) strokes(box & all).setTo(0);

  cv::Mat runs;
  cv::morphologyEx(strokes, runs, cv::MORPH_CLOSE,
                   cv::getStructuringElement(cv::MORPH_RECT, {letterJoin, 1}));
  cv::Mat range, flatSum;
  cv::morphologyEx(grey, range, cv::MORPH_GRADIENT, cv::Mat());
  cv::integral(range < flatRange, flatSum, CV_32S);
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(runs, labels, stats, centroids, 8, CV_32S);
  cv::Mat mask(grey.size(), CV_8U, cv::Scalar(0));
  for (int k = 1; k < count; ++k) {
    const int x = stats.at<int>(k, cv::CC_STAT_LEFT), y = stats.at<int>(k, cv::CC_STAT_TOP);
    const int w = stats.at<int>(k, cv::CC_STAT_WIDTH), h = stats.at<int>(k, cv::CC_STAT_HEIGHT);
    if (h < leastHeight || w < 2 * h) continue;
    // flatSum counts 255 for each flat pixel.
    const double flat = double(flatSum.at<int>(y + h, x + w) - flatSum.at<int>(y, x + w) -
                               flatSum.at<int>(y + h, x) + flatSum.at<int>(y, x)) /
                        (255.0 * w * h);
    if (flat < leastFlat) continue;
    const cv::Rect run(x - regionMargin, y - regionMargin, w + 2 * regionMargin,
                       h + 2 * regionMargin);
    mask(run & all).setTo(255);
  }
  return mask;
}

}  // namespace plumvane
