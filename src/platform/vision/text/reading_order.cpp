#include "platform/vision/text/reading_order.h"

#include <algorithm>
#include <numeric>

namespace plumvane {
namespace {

// The indexes 0 to count - 1 gathered into groups, two indexes in one group when `linked` holds
// for them or for a chain of others between them (union-find): the groups in the order of their
// first index, each in ascending order. `linked` is asked of each pair (i, j) with i < j, and is
// symmetric.
template <typename Linked>
std::vector<std::vector<size_t>> linkedGroups(size_t count, Linked linked) {
  std::vector<size_t> parent(count);
  std::iota(parent.begin(), parent.end(), 0);
  const auto root = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  for (size_t i = 0; i < count; ++i) {
    for (size_t j = i + 1; j < count; ++j) {
      if (linked(i, j)) parent[root(i)] = root(j);
    }
  }
  std::vector<std::vector<size_t>> groups;
  std::vector<long> groupOf(count, -1);
  for (size_t i = 0; i < count; ++i) {
    const size_t r = root(i);
    if (groupOf[r] < 0) {
      groupOf[r] = long(groups.size());
      groups.emplace_back();
    }
    groups[size_t(groupOf[r])].push_back(i);
  }
  return groups;
}

// The indexes sorted top to bottom, and left to right among boxes whose tops lie within
// `sameLine` pixels of each other.
std::vector<size_t> rowsThenColumns(const std::vector<Rect>& boxes, double sameLine) {
  std::vector<size_t> order(boxes.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (boxes[a].y != boxes[b].y) return boxes[a].y < boxes[b].y;
    return boxes[a].x < boxes[b].x;
  });
  // Within a line, tops differ a little: bubble left-hand boxes forward past them.
  for (size_t i = 1; i < order.size(); ++i) {
    for (size_t j = i; j > 0; --j) {
      const Rect& left = boxes[order[j]];
      const Rect& right = boxes[order[j - 1]];
      if (std::abs(left.y - right.y) < sameLine && left.x < right.x) {
        std::swap(order[j], order[j - 1]);
      } else {
        break;
      }
    }
  }
  return order;
}

// Whether `below` continues the block of `above`: a line of about the same height, below it by no
// more than a line's height, and sharing at least half the narrower one's width.
bool continues(const Rect& above, const Rect& below) {
  const double low = std::min(above.height, below.height);
  const double high = std::max(above.height, below.height);
  const double shared = std::min(above.maxX(), below.maxX()) - std::max(above.minX(), below.minX());
  return high <= 1.75 * low && below.minY() >= above.minY() + above.height / 2 &&
         below.minY() - above.maxY() <= low && shared >= 0.5 * std::min(above.width, below.width);
}

// Words on one line: the higher at most `wordHeights` times as high as the other (once the
// detector has padded both, a word of lower-case letters without ascenders is about two thirds
// as high as one with capitals and descenders; a stack of small lines beside a large word, or a
// drawing beside a line, is about half), and at most `wordGap` times their mean height apart
// (the word space of a typewriter face at display sizes is about as wide as its words are high).
constexpr double wordHeights = 1.75;
constexpr double wordGap = 1.3;
// Nor does a lower box join a line unless it lies within the line's rows and touches it, at most
// `touchingGap` times the line's height away: then it is a part of a letter that the detector
// marked apart (the middle of a large T beside the rest of its word).
constexpr double touchingGap = 0.02;

}  // namespace

std::vector<std::vector<size_t>> groupIntoLines(const std::vector<Rect>& boxes) {
  return linkedGroups(boxes.size(), [&](size_t i, size_t j) {
    const Rect& a = boxes[i];
    const Rect& b = boxes[j];
    const double low = std::min(a.height, b.height), high = std::max(a.height, b.height);
    const double overlap = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
    const double gap = std::max(a.minX(), b.minX()) - std::min(a.maxX(), b.maxX());
    if (overlap >= low && gap <= touchingGap * high) return true;
    return overlap >= 0.6 * low && high <= wordHeights * low &&
           gap <= wordGap * (a.height + b.height) / 2;
  });
}

std::vector<size_t> readingOrder(const std::vector<Rect>& boxes, double sameLine) {
  // Blocks of lines set one under the other (a column, a paragraph, stacked display lines).
  const std::vector<std::vector<size_t>> members =
      linkedGroups(boxes.size(), [&](size_t i, size_t j) {
        return continues(boxes[i], boxes[j]) || continues(boxes[j], boxes[i]);
      });
  std::vector<Rect> blocks;
  std::vector<size_t> blockOf(boxes.size());
  for (const std::vector<size_t>& block : members) {
    Rect b = boxes[block.front()];
    for (size_t i : block) {
      blockOf[i] = blocks.size();
      b = bothOf(b, boxes[i]);
    }
    blocks.push_back(b);
  }
  // The blocks in rows then columns, and the lines of each block top to bottom.
  const std::vector<size_t> lines = rowsThenColumns(boxes, sameLine);
  std::vector<size_t> order;
  for (size_t block : rowsThenColumns(blocks, sameLine)) {
    for (size_t i : lines) {
      if (blockOf[i] == block) order.push_back(i);
    }
  }
  return order;
}

}  // namespace plumvane
