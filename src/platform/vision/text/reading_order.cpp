#include "platform/vision/text/reading_order.h"

#include <algorithm>
#include <numeric>

namespace plumvane {

std::vector<std::vector<size_t>> groupIntoLines(const std::vector<Rect>& boxes) {
  // Union-find over the pairs that belong together.
  std::vector<size_t> parent(boxes.size());
  std::iota(parent.begin(), parent.end(), 0);
  const auto root = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  for (size_t i = 0; i < boxes.size(); ++i) {
    for (size_t j = i + 1; j < boxes.size(); ++j) {
      const Rect& a = boxes[i];
      const Rect& b = boxes[j];
      const double overlap = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
      const double gap = std::max(a.minX(), b.minX()) - std::min(a.maxX(), b.maxX());
      if (overlap >= 0.6 * std::min(a.height, b.height) && gap <= (a.height + b.height) / 2) {
        parent[root(i)] = root(j);
      }
    }
  }
  std::vector<std::vector<size_t>> groups;
  std::vector<long> groupOf(boxes.size(), -1);
  for (size_t i = 0; i < boxes.size(); ++i) {
    const size_t r = root(i);
    if (groupOf[r] < 0) {
      groupOf[r] = long(groups.size());
      groups.emplace_back();
    }
    groups[size_t(groupOf[r])].push_back(i);
  }
  return groups;
}

std::vector<size_t> readingOrder(const std::vector<Rect>& boxes, double sameLine) {
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

}  // namespace plumvane
