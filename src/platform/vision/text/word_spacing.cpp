#include "platform/vision/text/word_spacing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <opencv2/imgproc.hpp>

namespace plumvane {
namespace {

// How much wider than the usual gap between letters a gap is to be a space, as a share of the
// ink's height: between words, and between digits (a narrow 1 stands in a wide gap).
constexpr double wordSpace = 0.15;
constexpr double digitSpace = 0.4;

// Each pixel's largest channel difference from the median colour of the picture's border.
cv::Mat differenceFromBorder(const cv::Mat& colour) {
  std::array<std::vector<uint8_t>, 3> border;
  for (int y = 0; y < colour.rows; ++y) {
    for (int x = 0; x < colour.cols; ++x) {
      if (y != 0 && y != colour.rows - 1 && x != 0 && x != colour.cols - 1) continue;
      const cv::Vec3b& p = colour.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) border[size_t(c)].push_back(p[c]);
    }
  }
  cv::Vec3b ground;
  for (int c = 0; c < 3; ++c) {
    auto& values = border[size_t(c)];
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    ground[c] = values[values.size() / 2];
  }
  cv::Mat difference(colour.size(), CV_8U);
  for (int y = 0; y < colour.rows; ++y) {
    for (int x = 0; x < colour.cols; ++x) {
      const cv::Vec3b& p = colour.at<cv::Vec3b>(y, x);
      int most = 0;
      for (int c = 0; c < 3; ++c) most = std::max(most, std::abs(int(p[c]) - int(ground[c])));
      difference.at<uint8_t>(y, x) = uint8_t(most);
    }
  }
  return difference;
}

}  // namespace

InkProfile inkProfile(const cv::Mat& colour, cv::Rect line) {
  InkProfile ink;
  if (colour.empty()) return ink;
  line &= cv::Rect(0, 0, colour.cols, colour.rows);
  if (line.empty()) line = cv::Rect(0, 0, colour.cols, colour.rows);
  // Otsu's threshold is the line's own; which side of it is ink is told on the whole picture.
  const cv::Mat difference = differenceFromBorder(colour);
  cv::Mat dark;
  const double threshold =
      cv::threshold(difference(line), dark, 0, 1, cv::THRESH_BINARY | cv::THRESH_OTSU);
  cv::threshold(difference, dark, threshold, 1, cv::THRESH_BINARY);
  if (cv::countNonZero(dark) * 2 > dark.rows * dark.cols) dark = 1 - dark;
  dark = dark(line);
  cv::Mat columns, rows;
  cv::reduce(dark, columns, 0, cv::REDUCE_SUM, CV_32S);
  cv::reduce(dark, rows, 1, cv::REDUCE_SUM, CV_32S);
  ink.columns.assign(columns.ptr<int>(), columns.ptr<int>() + columns.cols);
  int top = -1, bottom = -1;
  for (int y = 0; y < rows.rows; ++y) {
    if (rows.at<int>(y) == 0) continue;
    if (top < 0) top = y;
    bottom = y;
  }
  ink.inkHeight = top < 0 ? colour.rows : bottom - top + 1;
  return ink;
}

std::string spacedFromInk(const DecodedText& decoded, const InkProfile& ink,
                          double columnsPerStep) {
  // The characters, where each lies, and whether the model put a space before it.
  struct Placed {
    const std::string* character;
    double x;
    bool spaceBefore;
  };
  std::vector<Placed> placed;
  bool space = false;
  for (const auto& e : decoded.emissions) {
    if (e.character == " ") {
      space = !placed.empty();
      continue;
    }
    placed.push_back({&e.character, ((e.first + e.last) / 2.0 + 0.5) * columnsPerStep, space});
    space = false;
  }
  if (placed.size() < 2) return decoded.text;

  // The widest ink-free run of columns between each pair of neighbours.
  const int columns = int(ink.columns.size());
  std::vector<int> gaps;
  for (size_t i = 1; i < placed.size(); ++i) {
    const int from = std::clamp(int(placed[i - 1].x), 0, columns);
    const int to = std::clamp(int(placed[i].x), 0, columns);
    int widest = 0, run = 0;
    for (int x = from; x < to; ++x) {
      run = ink.columns[size_t(x)] == 0 ? run + 1 : 0;
      widest = std::max(widest, run);
    }
    gaps.push_back(widest);
  }
  std::vector<int> letterGaps;
  for (size_t i = 1; i < placed.size(); ++i) {
    if (!placed[i].spaceBefore) letterGaps.push_back(gaps[i - 1]);
  }
  if (letterGaps.empty()) letterGaps = gaps;
  // The lower median: on a short line, one of two gaps may well be the space.
  const size_t middle = (letterGaps.size() - 1) / 2;
  std::nth_element(letterGaps.begin(), letterGaps.begin() + long(middle), letterGaps.end());
  const double usual = letterGaps[middle];

  std::string text = *placed[0].character;
  for (size_t i = 1; i < placed.size(); ++i) {
    const std::string &before = *placed[i - 1].character, &after = *placed[i].character;
    const auto is = [](const std::string& c, std::string_view set) {
      return c.size() == 1 && set.find(c[0]) != std::string_view::npos;
    };
    // Narrow glyphs drawn at a fixed width (a 1 among digits, punctuation in a monospaced
    // name such as Override.xml) stand in wide gaps: digits take twice the gap to be parted,
    // and no space is put before closing punctuation, after an opening bracket, or between a
    // full stop and a small letter or digit.
    const double share =
        is(before, "0123456789") && is(after, "0123456789") ? digitSpace : wordSpace;
    const bool joined = is(after, ".,:;!?)]}%") || is(before, "([{") ||
                        (before == "." && !after.empty() &&
                         (std::islower(static_cast<unsigned char>(after[0])) ||
                          std::isdigit(static_cast<unsigned char>(after[0]))));
    if (placed[i].spaceBefore || (!joined && gaps[i - 1] - usual >= share * ink.inkHeight)) {
      text += ' ';
    }
    text += after;
  }
  return text;
}

}  // namespace plumvane
