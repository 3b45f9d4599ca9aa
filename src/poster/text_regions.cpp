#include "poster/text_regions.h"

#include <cmath>

namespace plumvane {

namespace {

// The region of a recognised line with a normalised box, or nothing when it is not kept.
std::optional<TextRegion> textRegion(TextLine& found, double W, double H) {
  if (!(found.confidence > 0.3f)) return std::nullopt;
  const Rect& box = found.box;
  const Rect line{box.minX() * W, box.minY() * H, box.width * W, box.height * H};
  if (line.width < 8 || line.height < 6) return std::nullopt;
  TextRegion region{{}, line, std::move(found.text), {}};
  if (found.outline.size() == 4) {
    for (const auto& [x, y] : found.outline) region.outline.push_back({x * W, y * H});
  }
  // Both margins come from the line's own height: a slanted line's box is taller.
  const double p = textMargin * region.height();
  const Rect clipped = intersection(outset(line, p, p), Rect{0, 0, W, H});
  if (clipped.isEmpty()) return std::nullopt;
  region.rect = integral(clipped);
  return region;
}

}  // namespace

bool TextRegion::holds(double x, double y, double margin) const {
  if (outline.size() != 4) {
    return x >= line.minX() - margin && x < line.maxX() + margin && y >= line.minY() - margin &&
           y < line.maxY() + margin;
  }
  // Inside a convex outline grown by `margin`, the point lies on the inner side of every edge or
  // less than `margin` beyond it.
  const auto cross = [&](size_t k, double px, double py) {
    const auto& a = outline[k];
    const auto& b = outline[(k + 1) % 4];
    return ((b[0] - a[0]) * (py - a[1]) - (b[1] - a[1]) * (px - a[0])) /
           std::max(1e-9, std::hypot(b[0] - a[0], b[1] - a[1]));
  };
  // The side the outline's opposite corner lies on is its inside.
  for (size_t k = 0; k < 4; ++k) {
    const auto& opposite = outline[(k + 2) % 4];
    const double inside = cross(k, opposite[0], opposite[1]) >= 0 ? 1 : -1;
    if (inside * cross(k, x, y) < -margin) return false;
  }
  return true;
}

double TextRegion::height() const {
  if (outline.size() != 4) return line.height;
  const auto side = [&](size_t a, size_t b) {
    return std::hypot(outline[b][0] - outline[a][0], outline[b][1] - outline[a][1]);
  };
  return std::min(side(0, 1), side(0, 3));
}

std::vector<TextRegion> findTextRegions(Vision& vision, const BitmapView& workingBitmap) {
  const double W = workingBitmap.width, H = workingBitmap.height;
  std::vector<TextRegion> found;
  for (TextLine& line : vision.text().textLines(workingBitmap)) {
    if (auto region = textRegion(line, W, H)) found.push_back(std::move(*region));
  }
  return found;
}

}  // namespace plumvane
