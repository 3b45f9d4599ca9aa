// The poster's second phase: the accepted lines of text, padded.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/vision/vision.h"

namespace plumvane {

// A line's margin on every side, as a share of its height.
constexpr double textMargin = 0.22;

struct TextRegion {
  Rect rect;         // the padded line, in working-image pixels, integral, inside the picture
  Rect line;         // the line as the recogniser found it, unpadded, in working-image pixels
  std::string text;  // as the recogniser returned it
  // A slanted line's rotated rectangle, in working-image pixels (see TextLine::outline); empty
  // when the line fills `line`.
  std::vector<std::array<double, 2>> outline;
  // Whether the point lies on the line, or less than `margin` pixels off it: in its rotated
  // rectangle, or in `line` for a line that fills it.
  bool holds(double x, double y, double margin = 0) const;
  // The line's own height, across its run.
  double height() const;
};

// Reads the lines of text of the working bitmap and keeps those with a confidence above 0.3 and
// at least 8 x 6 pixels, in the recogniser's order. Each is padded by 0.22 of its own height
// (across its run: less than its box's for a slanted line) on every side, clipped to the working
// image and widened to whole pixels.
std::vector<TextRegion> findTextRegions(Vision& vision, const BitmapView& workingBitmap);

}  // namespace plumvane
