// Parting a detected line where a stack of small lines stands beside larger type.
#pragma once

#include <opencv2/core.hpp>
#include <utility>
#include <vector>

namespace plumvane {

// A part of a line: a range of its crop's columns [from, to), and the bands of rows
// [first, second) that are lines of their own within it (one band, the whole crop, for a part
// that is one line).
struct SizePart {
  int from = 0, to = 0;
  std::vector<std::pair<int, int>> rows;
};

// The parts of a line, given as its upright crop in 8-bit grey. The detector takes a small label
// of two or more stacked lines set beside a larger word ("ALL SET / IN VIF" before a name, the
// items of a header row) for one line with it, and the recogniser then reads only the large word
// or a mix of both. Ink is told from the background by Otsu's threshold (ink being the smaller
// part) and cut into connected components; the components whose columns overlap form letters.
// A run of letters each less than 1/1.6 of the line's tallest letter, whose components fall into
// two or more bands of rows, each band a run of at least two components wider than it is high,
// is a stack: it becomes a part of its own, each band one line, and the type beside it another
// part. A line without such a stack is one part, the whole crop.
std::vector<SizePart> sizeParts(const cv::Mat& grey);

}  // namespace plumvane
