// The poster's second phase: the accepted lines of text, padded.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/vision/vision.h"

namespace plumvane {

struct TextRegion {
  Rect rect;         // the padded line, in working-image pixels, integral, inside workingRect
  std::string text;  // as the recogniser returned it
};

// The pixel rectangle of a recognised line with a normalised box, or nothing
// when the line is not kept: confidence not above 0.3, or narrower than 8 or lower than 6 pixels
// before padding. Kept lines grow by 0.22 of their height on every side, are clipped to the
// W x H working image and widened to whole pixels.
std::optional<Rect> textRegionRect(const Rect& box, float confidence, double W, double H);

// Reads the lines of text of the working bitmap and keeps those textRegionRect accepts, in the
// recogniser's order.
std::vector<TextRegion> findTextRegions(Vision& vision, const BitmapView& workingBitmap);

}  // namespace plumvane
