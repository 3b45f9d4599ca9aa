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

TextRegions findTextRegions(Vision& vision, const BitmapView& workingBitmap, const PosterRun& run) {
  TextRegions found;
  for (TextLine& line : vision.text().textLines(workingBitmap)) {
    if (auto rect = textRegionRect(line.box, line.confidence, double(run.W), double(run.H))) {
      found.regions.push_back(TextRegion{*rect, std::move(line.text)});
    }
  }
  // White rectangles over black: painted in place, as their per-pixel maximum would be.
  found.textMask = solidImage(blackColour, run.workingRect);
  Image& m = found.textMask;
  for (const TextRegion& region : found.regions) {
    const int top = m.height - int(region.rect.maxY());
    for (int row = top; row < top + int(region.rect.height); ++row) {
      Pixel* p = &m.at(int(region.rect.x), row);
      std::fill(p, p + int(region.rect.width), whiteColour);
    }
  }
  return found;
}

}  // namespace plumvane
