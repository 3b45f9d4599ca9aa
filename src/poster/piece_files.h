// Manifest lines: where each piece lies in the working image.
#pragma once

#include <cstdint>
#include <string>

#include "platform/geometry.h"

namespace plumvane {

// A rectangle of the working image (origin lower left) as "left top width height" in a frame
// whose origin is the working image's top-left corner, each value truncated towards zero.
std::string box(const Rect& rect, double H);

// "(x, y, width, height)" with each number as the shortest double text with a fraction.
std::string describeRect(const Rect& rect);

std::string plateLine(int64_t W, int64_t H);
std::string subjectLine(const std::string& box, int64_t n);
// The recognised text comes last, with each line feed replaced by a blank.
std::string textLine(const std::string& box, int64_t n, const std::string& text);

}  // namespace plumvane
