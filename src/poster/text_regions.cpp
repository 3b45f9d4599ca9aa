#include "poster/text_regions.h"

namespace plumvane {

namespace {

// The region of a recognised line with a normalised box, or nothing when it is not kept.
std::optional<TextRegion> textRegion(TextLine& found, double W, double H) {
  if (!(found.confidence > 0.3f)) return std::nullopt;
  const Rect& box = found.box;
  const Rect line{box.minX() * W, box.minY() * H, box.width * W, box.height * H};
  if (line.width < 8 || line.height < 6) return std::nullopt;
  const double p = 0.22 * line.height;  // both margins come from the height
  const Rect clipped = intersection(outset(line, p, p), Rect{0, 0, W, H});
  if (clipped.isEmpty()) return std::nullopt;
  return TextRegion{integral(clipped), line, std::move(found.text)};
}

}  // namespace

std::vector<TextRegion> findTextRegions(Vision& vision, const BitmapView& workingBitmap) {
  const double W = workingBitmap.width, H = workingBitmap.height;
  std::vector<TextRegion> found;
  for (TextLine& line : vision.text().textLines(workingBitmap)) {
    if (auto region = textRegion(line, W, H)) found.push_back(std::move(*region));
  }
  return found;
}

}  // namespace plumvane
