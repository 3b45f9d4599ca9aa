// Parting a detected line where it crosses a column gap.
#pragma once

#include <opencv2/core.hpp>
#include <utility>
#include <vector>

namespace plumvane {

// The parts of a line, given as its upright crop in 8-bit grey, that are runs of words of their
// own: the detector takes words a column apart on one baseline (a headline word over each
// column, the items of a header row, two columns of body text) for one line. Each part is a range
// of the crop's columns [first, second); a line without a column gap is one part, the whole crop.
//
// Ink is told from the background by Otsu's threshold (ink being the smaller part), and the gaps
// are the runs of ink-free columns, over the band of rows that holds the ink, between the ink. A
// gap is a column gap when it is at least as wide as that band is high and at least twice as wide
// as the widest gap below it, and when the line holds no more such gaps than two or its word
// spaces (gaps twice its median gap, its letter gap, or wider): in justified text and in
// letter-spaced display type every gap is wide, and none stands out. Where the line has no word
// space besides, as in a letter-spaced line of two words, the gap must be twice as wide as the
// band is high.
std::vector<std::pair<int, int>> columnParts(const cv::Mat& grey);

}  // namespace plumvane
