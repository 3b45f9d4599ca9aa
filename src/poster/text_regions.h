// The poster's second phase: the accepted lines of text, padded.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/vision/vision.h"

namespace plumvane {

struct TextRegion {
  Rect rect;         // the padded line, in working-image pixels, integral, inside the picture
  Rect line;         // the line as the recogniser found it, unpadded, in working-image pixels
  std::string text;  // as the recogniser returned it
};

// Reads the lines of text of the working bitmap and keeps those with a confidence above 0.3 and
// at least 8 x 6 pixels, in the recogniser's order. Each is padded by 0.22 of its height on
// every side, clipped to the working image and widened to whole pixels.
std::vector<TextRegion> findTextRegions(Vision& vision, const BitmapView& workingBitmap);

}  // namespace plumvane
