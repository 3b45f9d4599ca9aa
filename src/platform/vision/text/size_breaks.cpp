#include "platform/vision/text/size_breaks.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace plumvane {

namespace {

// A letter of a stack is less than this share of the line's tallest letter: a capital beside
// lower-case letters without ascenders stays within it in most faces.
constexpr double stackRatio = 1 / 1.6;
// A band of a stack is at least this many times as wide as it is high, and each band of a stack
// at least this share of the stack's width: the lines of a label, not an accent or a dot.
constexpr double bandAspect = 1.5;
constexpr double bandShare = 0.4;
// Each line of a stack keeps this share of its height of the rows beside it, at most half the
// way to the next band.
constexpr double bandMargin = 0.3;
// Components smaller than this many pixels are specks.
constexpr int leastArea = 4;

struct Component {
  int x0, x1, y0, y1;  // [x0, x1) x [y0, y1)
  bool edge;           // touches the top or the bottom of the crop: a letter of another line
};

struct Letter {
  int x0, x1, height;
  bool small;
  std::vector<size_t> parts;  // in the components
};

struct Band {
  int y0, y1, x0, x1, count;
  bool strong(int stackWidth) const {
    return count >= 2 && x1 - x0 >= bandAspect * (y1 - y0) && x1 - x0 >= bandShare * stackWidth;
  }
};

// The bands of rows of the components: runs of rows their ink covers, weak bands (accents, dots)
// joined to their nearest neighbour.
std::vector<Band> bandsOf(const std::vector<Component>& parts, int rows) {
  std::vector<int> cover(size_t(rows) + 1, 0);
  for (const Component& c : parts) {
    for (int y = c.y0; y < c.y1; ++y) cover[size_t(y)] = 1;
  }
  std::vector<Band> bands;
  for (int y = 0, start = -1; y <= rows; ++y) {
    if (cover[size_t(y)] && start < 0) start = y;
    if (!cover[size_t(y)] && start >= 0) {
      bands.push_back({start, y, 1 << 30, -1, 0});
      start = -1;
    }
  }
  int x0 = 1 << 30, x1 = -1;
  for (const Component& c : parts) {
    x0 = std::min(x0, c.x0);
    x1 = std::max(x1, c.x1);
    for (Band& b : bands) {
      if (c.y0 >= b.y0 && c.y1 <= b.y1) {
        b.x0 = std::min(b.x0, c.x0);
        b.x1 = std::max(b.x1, c.x1);
        ++b.count;
      }
    }
  }
  // Weak bands merge with the nearer neighbour, one at a time, until all are strong or one is
  // left.
  for (;;) {
    auto weak =
        std::find_if(bands.begin(), bands.end(), [&](const Band& b) { return !b.strong(x1 - x0); });
    if (weak == bands.end() || bands.size() < 2) break;
    auto other = weak == bands.begin() ? weak + 1 : weak - 1;
    if (weak != bands.begin() && weak + 1 != bands.end() &&
        (weak + 1)->y0 - weak->y1 < weak->y0 - (weak - 1)->y1) {
      other = weak + 1;
    }
    other->y0 = std::min(other->y0, weak->y0);
    other->y1 = std::max(other->y1, weak->y1);
    other->x0 = std::min(other->x0, weak->x0);
    other->x1 = std::max(other->x1, weak->x1);
    other->count += weak->count;
    bands.erase(weak);
  }
  return bands;
}

}  // namespace

std::vector<SizePart> sizeParts(const cv::Mat& grey) {
  const std::vector<SizePart> whole = {{0, grey.cols, {{0, grey.rows}}}};
  if (grey.rows < 8 || grey.cols <= grey.rows) return whole;
  cv::Mat ink, labels, stats, centroids;
  cv::threshold(grey, ink, 0, 1, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
  if (cv::countNonZero(ink) * 2 > ink.rows * ink.cols) ink = 1 - ink;
  const int count = cv::connectedComponentsWithStats(ink, labels, stats, centroids, 8);
  std::vector<Component> parts;
  for (int k = 1; k < count; ++k) {
    if (stats.at<int>(k, cv::CC_STAT_AREA) < leastArea) continue;
    const int x = stats.at<int>(k, cv::CC_STAT_LEFT), y = stats.at<int>(k, cv::CC_STAT_TOP);
    const int w = stats.at<int>(k, cv::CC_STAT_WIDTH), h = stats.at<int>(k, cv::CC_STAT_HEIGHT);
    parts.push_back({x, x + w, y, y + h, y == 0 || y + h == grey.rows});
  }
  if (parts.size() < 4) return whole;
  std::sort(parts.begin(), parts.end(),
            [](const Component& a, const Component& b) { return a.x0 < b.x0; });

  // Letters: the components whose columns overlap.
  std::vector<Letter> letters;
  for (size_t k = 0; k < parts.size(); ++k) {
    const Component& c = parts[k];
    if (letters.empty() || c.x0 >= letters.back().x1) {
      letters.push_back({c.x0, c.x1, 0, true, {}});
    }
    Letter& l = letters.back();
    l.x1 = std::max(l.x1, c.x1);
    l.height = std::max(l.height, c.y1 - c.y0);
    l.small = l.small && !c.edge;
    l.parts.push_back(k);
  }
  int tallest = 0;
  for (const Letter& l : letters) tallest = std::max(tallest, l.height);
  for (Letter& l : letters) l.small = l.small && l.height < stackRatio * tallest;

  // The stacks among the runs of small letters, as ranges of letters [first, second), each with
  // its bands.
  std::vector<std::pair<size_t, size_t>> stacks;
  std::vector<std::vector<Band>> stackBands;
  for (size_t a = 0; a < letters.size();) {
    if (!letters[a].small) {
      ++a;
      continue;
    }
    size_t b = a;
    std::vector<Component> run;
    while (b < letters.size() && letters[b].small) {
      for (size_t k : letters[b].parts) run.push_back(parts[k]);
      ++b;
    }
    std::vector<Band> bands = bandsOf(run, grey.rows);
    const int width = letters[b - 1].x1 - letters[a].x0;
    const bool stacked =
        bands.size() >= 2 && std::all_of(bands.begin(), bands.end(),
                                         [&](const Band& band) { return band.strong(width); });
    if (stacked) {
      stacks.emplace_back(a, b);
      stackBands.push_back(std::move(bands));
    }
    a = b;
  }
  // A line that is one stack throughout is stacked lines, not a label beside larger type.
  if (stacks.empty() ||
      (stacks.size() == 1 && stacks[0].first == 0 && stacks[0].second == letters.size())) {
    return whole;
  }

  // The parts meet half way across the gaps between a stack and the letters beside it.
  std::vector<SizePart> result;
  int from = 0;
  for (size_t s = 0; s < stacks.size(); ++s) {
    const auto [a, b] = stacks[s];
    const int left = a == 0 ? 0 : (letters[a - 1].x1 + letters[a].x0) / 2;
    const int right = b == letters.size() ? grey.cols : (letters[b - 1].x1 + letters[b].x0) / 2;
    if (left > from) result.push_back({from, left, {{0, grey.rows}}});
    SizePart stack{left, right, {}};
    const std::vector<Band>& bands = stackBands[s];
    for (size_t k = 0; k < bands.size(); ++k) {
      const int margin = int(bandMargin * (bands[k].y1 - bands[k].y0)) + 1;
      const int above = k == 0 ? 0 : (bands[k - 1].y1 + bands[k].y0 + 1) / 2;
      const int below = k + 1 == bands.size() ? grey.rows : (bands[k].y1 + bands[k + 1].y0) / 2;
      stack.rows.emplace_back(std::max(above, bands[k].y0 - margin),
                              std::min(below, bands[k].y1 + margin));
    }
    result.push_back(std::move(stack));
    from = right;
  }
  if (from < grey.cols) result.push_back({from, grey.cols, {{0, grey.rows}}});
  return result;
}

}  // namespace plumvane
