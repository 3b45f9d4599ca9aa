#include "platform/vision/text/column_gaps.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace plumvane {

namespace {

// A column gap is at least this many times the widest narrower gap of its line and as wide as
// its ink is high; `loneHeights` times as wide as that where the line has no word space besides
// (a word space is a gap at least `wordSpace` times the line's median gap, its letter gap). In
// letter-spaced type a word space is two to four times a letter gap, and only its height tells
// a column gap from it.
constexpr double gapStep = 2.0;
constexpr double loneHeights = 2.0;
constexpr double wordSpace = 2.0;

struct Gap {
  int from, to;  // ink-free columns [from, to)
  int width() const { return to - from; }
};

// The band of rows that holds the ink, [first, second), the thinnest 2% of its mass off at each
// end, so that a speck or the letters of the lines above and below that reach into the line's box
// don't count.
std::pair<int, int> inkBand(const cv::Mat& ink) {
  cv::Mat rows;
  cv::reduce(ink, rows, 1, cv::REDUCE_SUM, CV_32S);
  long total = 0;
  for (int y = 0; y < rows.rows; ++y) total += rows.at<int>(y);
  long seen = 0;
  int top = -1, bottom = -1;
  for (int y = 0; y < rows.rows; ++y) {
    seen += rows.at<int>(y);
    if (top < 0 && seen * 50 > total) top = y;
    if (bottom < 0 && seen * 50 >= total * 49) bottom = y;
  }
  return top < 0 || bottom < 0 ? std::pair{0, 0} : std::pair{top, bottom + 1};
}

}  // namespace

std::vector<std::pair<int, int>> columnParts(const cv::Mat& grey) {
  const std::vector<std::pair<int, int>> whole = {{0, grey.cols}};
  if (grey.rows < 4 || grey.cols <= grey.rows) return whole;
  cv::Mat ink;
  cv::threshold(grey, ink, 0, 1, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
  if (cv::countNonZero(ink) * 2 > ink.rows * ink.cols) ink = 1 - ink;
  const auto [top, bottom] = inkBand(ink);
  const int height = bottom - top;
  if (height < 2) return whole;
  cv::Mat columns;
  cv::reduce(ink.rowRange(top, bottom), columns, 0, cv::REDUCE_SUM, CV_32S);
  std::vector<Gap> gaps;
  int first = -1, last = -1;
  for (int x = 0; x < columns.cols; ++x) {
    if (columns.at<int>(x) == 0) continue;
    if (last >= 0 && x > last + 1) gaps.push_back({last + 1, x});
    if (first < 0) first = x;
    last = x;
  }
  if (gaps.size() < 2) return whole;

  std::vector<int> widths;
  for (const Gap& g : gaps) widths.push_back(g.width());
  std::sort(widths.begin(), widths.end());
  // The narrowest gap that is as wide as the ink is high and a step wider than the one below.
  int least = 0;
  for (size_t k = 1; k < widths.size() && !least; ++k) {
    if (widths[k] >= height && widths[k] >= gapStep * widths[k - 1]) least = widths[k];
  }
  if (!least) return whole;
  const int letterGap = widths[widths.size() / 2];
  const long wide = std::count_if(widths.begin(), widths.end(), [&](int w) { return w >= least; });
  const long spaces = std::count_if(widths.begin(), widths.end(),
                                    [&](int w) { return w < least && w >= wordSpace * letterGap; });
  if (spaces == 0 && least < loneHeights * height) return whole;
  if (wide > std::max(2L, spaces)) return whole;

  // Each part keeps as much room beside its ink as the line's box had, at most half the gap.
  const int margin = std::min(first, grey.cols - 1 - last);
  std::vector<std::pair<int, int>> parts;
  int from = 0;
  for (const Gap& g : gaps) {
    if (g.width() < least) continue;
    const int room = std::min(margin, g.width() / 2);
    parts.emplace_back(from, g.from + room);
    from = g.to - room;
  }
  parts.emplace_back(from, grey.cols);
  return parts;
}

}  // namespace plumvane
