#include "platform/vision/text/line_ends.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

namespace plumvane {
namespace {

// The share of the box's height cut off at its top and at its bottom before ink is looked for.
constexpr double bandMargin = 0.2;
// How far an end may move: about a letter's width, as a share of the box's height. Ink that
// runs on further is a rule, a swash running into a frame, or a picture.
constexpr double reachShare = 0.6;
// A letter gap, as a share of the box's height.
constexpr double letterGapShare = 0.15;
// The widest stem of a letter, as a share of the box's height: a wider run of columns inked
// from top to bottom of the middle rows is a block, not a letter.
constexpr double widestStem = 0.4;
// Boxes lower than this many pixels keep their ends: in small type a letter gap is a pixel or
// two, and the threshold can't tell a letter beside the box from what else lies there.
constexpr int leastHeight = 20;
// Ink pixels that make a column inked: a speck doesn't.
constexpr int leastInk = 2;

// The last inked column reached from `edge` (the first column outside the box) in direction
// `step` over gaps of at most `gap` columns; -1 when none is, or when the ink runs on for `reach`
// columns or into the picture's edge.
int inkedEnd(const std::vector<bool>& inked, int edge, int step, int gap, int reach) {
  int end = -1, blank = 0;
  for (int x = edge;; x += step) {
    if (x < 0 || x >= int(inked.size())) return std::abs(x - edge) < reach ? -1 : end;
    if (inked[size_t(x)]) {
      if (std::abs(x - edge) >= reach) return -1;
      blank = 0;
      end = x;
    } else if (++blank > gap) {
      return end;
    }
  }
}

}  // namespace

std::pair<int, int> inkEnds(const cv::Mat& grey, const cv::Rect& box) {
  const std::pair<int, int> same = {box.x, box.x + box.width};
  const int margin = int(std::lround(bandMargin * box.height));
  const int top = box.y + margin, bottom = box.y + box.height - margin;
  if (box.height < leastHeight || box.width < 2) return same;
  const int reach = int(std::lround(reachShare * box.height));
  const int x0 = std::max(0, box.x - reach - 1);
  const int x1 = std::min(grey.cols, box.x + box.width + reach + 1);
  const cv::Range rows(top, bottom), columns(x0, x1);
  // Otsu's threshold over the box's middle rows, applied to them with room on both sides. The
  // background is what the box's top and bottom rows mostly show: the detector's box holds a
  // margin above and below the letters, and the middle rows of heavy type may be mostly ink.
  cv::Mat ink, edges;
  const cv::Range inside(box.x, box.x + box.width);
  const double level =
      cv::threshold(grey(rows, inside), ink, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  cv::vconcat(grey.row(box.y).colRange(inside), grey.row(box.y + box.height - 1).colRange(inside),
              edges);
  cv::threshold(edges, edges, level, 255, cv::THRESH_BINARY);
  const bool darkInk = cv::countNonZero(edges) * 2 > int(edges.total());
  cv::threshold(grey(rows, columns), ink, level, 255,
                darkInk ? cv::THRESH_BINARY_INV : cv::THRESH_BINARY);
  std::vector<bool> inked(size_t(ink.cols)), solid(size_t(ink.cols));
  for (int x = 0; x < ink.cols; ++x) {
    const int count = cv::countNonZero(ink.col(x));
    inked[size_t(x)] = count >= leastInk;
    solid[size_t(x)] = count == ink.rows;
  }
  const int gap = std::max(1, int(std::lround(letterGapShare * box.height)));
  const int widest = int(std::lround(widestStem * box.height));
  // Whether columns [a, b) hold a solid run wider than a letter's stem: no letter, but a block.
  auto block = [&](int a, int b) {
    int run = 0;
    for (int x = a; x < b; ++x) {
      run = solid[size_t(x)] ? run + 1 : 0;
      if (run > widest) return true;
    }
    return false;
  };
  // Whether the ink of columns [a, b) may be letters of the line: when it continues a letter
  // that the box cuts (`cut`), any ink is; else it must fill the middle rows from top to bottom
  // without a clear row between (small type set close beside the line, such as a label of two
  // stacked lines before a name, is no letter of it).
  auto letters = [&](int a, int b, bool cut) {
    cv::Mat rowsInked;
    cv::reduce(ink.colRange(a, b), rowsInked, 1, cv::REDUCE_MAX);
    int first = -1, last = -1, clear = 0, widestClear = 0;
    for (int y = 0; y < rowsInked.rows; ++y) {
      if (rowsInked.at<uint8_t>(y) == 0) {
        ++clear;
        continue;
      }
      if (first >= 0) widestClear = std::max(widestClear, clear);
      if (first < 0) first = y;
      last = y;
      clear = 0;
    }
    const bool whole = first <= 1 && last >= rowsInked.rows - 2 && widestClear == 0;
    // Above and below letters, the box's top and bottom rows show the background; a frame or a
    // band that the ink runs into fills them.
    cv::Mat outer;
    cv::vconcat(grey.row(box.y).colRange(x0 + a, x0 + b),
                grey.row(box.y + box.height - 1).colRange(x0 + a, x0 + b), outer);
    cv::threshold(outer, outer, level, 255, darkInk ? cv::THRESH_BINARY_INV : cv::THRESH_BINARY);
    const bool clearAround = cv::countNonZero(outer) * 2 <= int(outer.total());
    return first >= 0 && (cut || whole) && clearAround && !block(a, b);
  };
  const int from = box.x - x0, to = box.x + box.width - x0;
  int left = inkedEnd(inked, from - 1, -1, gap, reach);
  int right = inkedEnd(inked, to, 1, gap, reach);
  const bool cutLeft = from > 0 && inked[size_t(from)] && inked[size_t(from - 1)];
  const bool cutRight = to < ink.cols && inked[size_t(to - 1)] && inked[size_t(to)];
  if (left >= 0 && !letters(left, from, cutLeft)) left = -1;
  if (right >= 0 && !letters(to, right + 1, cutRight)) right = -1;
  return {left >= 0 ? x0 + left : same.first, right >= 0 ? x0 + right + 1 : same.second};
}

}  // namespace plumvane
