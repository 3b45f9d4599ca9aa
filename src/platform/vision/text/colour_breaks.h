// Parting a detected line where its ink changes colour.
#pragma once

#include <opencv2/core.hpp>
#include <vector>

#include "platform/vision/text/size_breaks.h"

namespace plumvane {

// The parts of a line, given as its upright crop in 8-bit BGR (or RGB), where it holds two inks
// of clearly different colours side by side: the detector takes a row of white words and a row of
// black glyphs beside it for one line, and when the two rows are not on one baseline its box
// takes in the edges of the rows above and below. Ink is what lies far from the colour of the
// crop's border; its colours are split into two by two means, and when they are far apart and one
// column leaves nearly all of one ink left of it and of the other right of it, the line is parted
// there, when the two inks are set in clearly different sizes (words of two colours in one size
// on one baseline are one line). Each part keeps the band of rows its own ink fills most, with a
// margin. A line of one ink is one part, the whole crop.
std::vector<SizePart> colourParts(const cv::Mat& bgr);

}  // namespace plumvane
