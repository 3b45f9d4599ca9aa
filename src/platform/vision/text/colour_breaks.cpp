#include "platform/vision/text/colour_breaks.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace plumvane {

namespace {

// Ink is at least this far (Euclidean, 8-bit levels) from the background, and two inks at least
// this far apart, each at least `leastShare` of the ink.
constexpr double inkDistance = 90;
constexpr double inkApart = 150;
constexpr double leastShare = 0.15;
// The two inks stand side by side when at most this share of the ink lies on the wrong side of
// one column.
constexpr double mostMixed = 0.03;
// The two inks are set in sizes at least this far apart (the median heights of their connected
// components of at least `leastLetterArea` pixels): words of two colours in one size on one
// baseline are one line.
constexpr double leastHeightRatio = 1.4;
constexpr int leastLetterArea = 16;
constexpr size_t mostSamples = 4096;
// A part's line keeps this share of its height of the rows around it.
constexpr double bandMargin = 0.15;

double distance(const cv::Vec3f& a, const cv::Vec3f& b) {
  return cv::norm(a - b);
}

// The median of each channel of the crop's outer rows and columns.
cv::Vec3f borderColour(const cv::Mat& bgr) {
  std::array<std::vector<uint8_t>, 3> values;
  auto add = [&](int y, int x) {
    const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
    for (int k = 0; k < 3; ++k) values[size_t(k)].push_back(p[k]);
  };
  for (int x = 0; x < bgr.cols; ++x) {
    add(0, x);
    add(bgr.rows - 1, x);
  }
  for (int y = 0; y < bgr.rows; ++y) {
    add(y, 0);
    add(y, bgr.cols - 1);
  }
  cv::Vec3f colour;
  for (int k = 0; k < 3; ++k) {
    auto& v = values[size_t(k)];
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    colour[k] = v[v.size() / 2];
  }
  return colour;
}

// The rows of a part: the band of rows its ink fills most, with a margin, when its ink lies in
// several bands (the line's own and the edges of the lines above and below); all of them when
// it lies in one.
std::pair<int, int> mainBand(const cv::Mat& ink) {
  cv::Mat rows;
  cv::reduce(ink, rows, 1, cv::REDUCE_SUM, CV_32S);
  std::vector<std::pair<int, int>> bands;
  std::vector<long> mass;
  for (int y = 0; y < rows.rows; ++y) {
    if (rows.at<int>(y) == 0) continue;
    if (bands.empty() || bands.back().second < y) {
      bands.emplace_back(y, y);
      mass.push_back(0);
    }
    bands.back().second = y + 1;
    mass.back() += rows.at<int>(y);
  }
  if (bands.size() < 2) return {0, ink.rows};
  const size_t k = size_t(std::max_element(mass.begin(), mass.end()) - mass.begin());
  const auto [y0, y1] = bands[k];
  const int margin = int(bandMargin * (y1 - y0)) + 1;
  const int above = k == 0 ? 0 : (bands[k - 1].second + y0) / 2;
  const int below = k + 1 == bands.size() ? ink.rows : (y1 + bands[k + 1].first) / 2;
  return {std::max(above, y0 - margin), std::min(below, y1 + margin)};
}

// The median height of the ink's connected components, specks left out.
double letterHeight(const cv::Mat& ink) {
  cv::Mat labels, stats, centroids;
  const int count = cv::connectedComponentsWithStats(ink, labels, stats, centroids, 8);
  std::vector<int> heights;
  for (int k = 1; k < count; ++k) {
    if (stats.at<int>(k, cv::CC_STAT_AREA) >= leastLetterArea) {
      heights.push_back(stats.at<int>(k, cv::CC_STAT_HEIGHT));
    }
  }
  if (heights.empty()) return 0;
  std::nth_element(heights.begin(), heights.begin() + long(heights.size() / 2), heights.end());
  return heights[heights.size() / 2];
}

}  // namespace

std::vector<SizePart> colourParts(const cv::Mat& bgr) {
  const std::vector<SizePart> whole = {{0, bgr.cols, {{0, bgr.rows}}}};
  if (bgr.rows < 8 || bgr.cols <= bgr.rows) return whole;
  const cv::Vec3f paper = borderColour(bgr);
  std::vector<cv::Point> where;
  std::vector<cv::Vec3f> colours;
  for (int y = 0; y < bgr.rows; ++y) {
    for (int x = 0; x < bgr.cols; ++x) {
      const cv::Vec3f c = bgr.at<cv::Vec3b>(y, x);
      if (distance(c, paper) < inkDistance) continue;
      where.emplace_back(x, y);
      colours.push_back(c);
    }
  }
  if (colours.size() < 64) return whole;
  // Two means, started from the darkest and the lightest ink.
  auto light = [](const cv::Vec3f& c) { return c[0] + c[1] + c[2]; };
  const auto [dark, bright] = std::minmax_element(
      colours.begin(), colours.end(), [&](auto& a, auto& b) { return light(a) < light(b); });
  std::array<cv::Vec3f, 2> centre = {*dark, *bright};
  // The means are found on at most `mostSamples` of the ink's pixels, evenly spread.
  const size_t stride = std::max<size_t>(1, colours.size() / mostSamples);
  for (int round = 0; round < 8; ++round) {
    std::array<cv::Vec3f, 2> sum{};
    std::array<size_t, 2> seen{};
    for (size_t i = 0; i < colours.size(); i += stride) {
      const size_t k = distance(colours[i], centre[1]) < distance(colours[i], centre[0]);
      sum[k] += colours[i];
      ++seen[k];
    }
    for (size_t k = 0; k < 2; ++k) {
      if (seen[k]) centre[k] = sum[k] * (1.0f / float(seen[k]));
    }
  }
  std::vector<uint8_t> side(colours.size(), 0);
  std::array<size_t, 2> count{};
  for (size_t i = 0; i < colours.size(); ++i) {
    side[i] = distance(colours[i], centre[1]) < distance(colours[i], centre[0]);
    ++count[side[i]];
  }
  const double total = double(colours.size());
  if (distance(centre[0], centre[1]) < inkApart ||
      double(std::min(count[0], count[1])) < leastShare * total) {
    return whole;
  }
  // The column that best parts the two inks, one to its left and the other to its right.
  std::array<std::vector<long>, 2> columns = {std::vector<long>(size_t(bgr.cols) + 1, 0),
                                              std::vector<long>(size_t(bgr.cols) + 1, 0)};
  for (size_t i = 0; i < colours.size(); ++i) ++columns[side[i]][size_t(where[i].x) + 1];
  for (size_t k = 0; k < 2; ++k) {
    for (size_t x = 1; x < columns[k].size(); ++x) columns[k][x] += columns[k][x - 1];
  }
  long best = long(total) + 1;
  int cut = 0;
  size_t leftInk = 0;
  for (int x = 0; x <= bgr.cols; ++x) {
    for (size_t k = 0; k < 2; ++k) {
      // Ink k left of x, the other right of it: the mixed are the other's left and k's right.
      const long mixed = columns[1 - k][size_t(x)] + (long(count[k]) - columns[k][size_t(x)]);
      if (mixed < best) {
        best = mixed;
        cut = x;
        leftInk = k;
      }
    }
  }
  if (double(best) > mostMixed * total || cut <= 0 || cut >= bgr.cols) return whole;
  // The parts meet half way across the ink-free columns around the cut.
  std::vector<long> any(size_t(bgr.cols), 0);
  for (const cv::Point& p : where) ++any[size_t(p.x)];
  int from = cut, to = cut;
  while (from > 0 && any[size_t(from - 1)] == 0) --from;
  while (to < bgr.cols && any[size_t(to)] == 0) ++to;
  const int middle = (from + to) / 2;
  std::array<cv::Mat, 2> ink = {cv::Mat::zeros(bgr.size(), CV_8U),
                                cv::Mat::zeros(bgr.size(), CV_8U)};
  for (size_t i = 0; i < colours.size(); ++i) ink[side[i]].at<uint8_t>(where[i]) = 1;
  const cv::Mat& left = ink[leftInk];
  const cv::Mat& right = ink[1 - leftInk];
  // Words of two colours on one baseline, set in one size, are one line.
  const double lefts = letterHeight(left.colRange(0, middle));
  const double rights = letterHeight(right.colRange(middle, bgr.cols));
  if (std::max(lefts, rights) < leastHeightRatio * std::min(lefts, rights)) return whole;
  return {{0, middle, {mainBand(left.colRange(0, middle))}},
          {middle, bgr.cols, {mainBand(right.colRange(middle, bgr.cols))}}};
}

}  // namespace plumvane
