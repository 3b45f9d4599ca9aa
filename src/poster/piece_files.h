// Manifest lines: where each piece lies in the working image.
#pragma once

#include <cstdint>
#include <string>

#include "platform/image/image.h"
#include "poster/poster_run.h"

namespace plumvane {

// A rectangle of the working image as "left top width height", each value truncated towards zero.
std::string box(const Rect& rect);

// "(x, y, width, height)" with each number as the shortest double text with a fraction, y counted
// upwards from the bottom of the H pixels high working image, as diagnostics have always told it.
std::string describeRect(const Rect& rect, double H);

std::string plateLine(int64_t W, int64_t H);
std::string subjectLine(const std::string& box, int64_t n);
// The recognised text comes last, with each line feed replaced by a blank.
std::string textLine(const std::string& box, int64_t n, const std::string& text);

// Writes the part of image inside rect to run.outDir/name as an 8-bit RGBA PNG in sRGB. Ends the
// run through fail with "can't write " + name + ": " + the system's reason when it can't.
void save(const PosterRun& run, const Image& image, const Rect& rect, const std::string& name);

}  // namespace plumvane
