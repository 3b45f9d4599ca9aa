// Rectangles in the image frame: origin at the top-left corner, y growing downwards, in pixels.
// Every rectangle inside the program is in this one frame; the manifest prints it as it is.
#pragma once

#include <algorithm>
#include <cmath>

namespace plumvane {

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  double minX() const { return x; }
  double minY() const { return y; }
  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  double area() const { return width * height; }
  bool isEmpty() const { return !(width > 0 && height > 0); }
  friend bool operator==(const Rect&, const Rect&) = default;
};

// The overlap of a and b; an empty rectangle at the origin when they don't overlap.
inline Rect intersection(const Rect& a, const Rect& b) {
  const double x0 = std::max(a.minX(), b.minX());
  const double y0 = std::max(a.minY(), b.minY());
  const double x1 = std::min(a.maxX(), b.maxX());
  const double y1 = std::min(a.maxY(), b.maxY());
  if (!(x1 > x0 && y1 > y0)) return Rect{};
  return Rect{x0, y0, x1 - x0, y1 - y0};
}

// The smallest rectangle that holds both a and b.
inline Rect bothOf(const Rect& a, const Rect& b) {
  const double x0 = std::min(a.minX(), b.minX());
  const double y0 = std::min(a.minY(), b.minY());
  return Rect{x0, y0, std::max(a.maxX(), b.maxX()) - x0, std::max(a.maxY(), b.maxY()) - y0};
}

// r grown by dx on the left and right and by dy at the top and bottom (negative values shrink).
inline Rect outset(const Rect& r, double dx, double dy) {
  return Rect{r.x - dx, r.y - dy, r.width + 2 * dx, r.height + 2 * dy};
}

// The smallest rectangle with whole-number edges that contains r: the origin rounded down, the
// far edges rounded up.
inline Rect integral(const Rect& r) {
  if (r.isEmpty()) return Rect{};
  const double x0 = std::floor(r.minX());
  const double y0 = std::floor(r.minY());
  return Rect{x0, y0, std::ceil(r.maxX()) - x0, std::ceil(r.maxY()) - y0};
}

}  // namespace plumvane
