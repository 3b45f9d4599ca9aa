#include "poster/text_regions.h"

namespace plumvane {

std::optional<Rect> textRegionRect(const Rect& box, float confidence, double W, double H) {
  if (!(confidence > 0.3f)) return std::nullopt;
  const Rect r{box.minX() * W, box.minY() * H, box.width * W, box.height * H};
  if (r.width < 8 || r.height < 6) return std::nullopt;
  const double p = 0.22 * r.height;  // both margins come from the height
  const Rect clipped = intersection(outset(r, p, p), Rect{0, 0, W, H});
  if (clipped.isEmpty()) return std::nullopt;
  return integral(clipped);
}

std::vector<TextRegion> findTextRegions(Vision& vision, const BitmapView& workingBitmap) {
  const double W = workingBitmap.width, H = workingBitmap.height;
  std::vector<TextRegion> found;
  for (TextLine& line : vision.text().textLines(workingBitmap)) {
    if (auto rect = textRegionRect(line.box, line.confidence, W, H)) {
      found.push_back(TextRegion{*rect, std::move(line.text)});
    }
  }
  return found;
}

}  // namespace plumvane
