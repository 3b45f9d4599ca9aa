// Carrying a detected line's ends out to the letters its box cuts or leaves just outside.
#pragma once

#include <opencv2/core.hpp>
#include <utility>

namespace plumvane {

// The columns [first, second) of a level line of text that its letters fill, given the 8-bit
// grey picture and the line's box in it (whole pixels). The detector's box may cut the last
// letter of a word or leave out a thin first one (the "I" of a condensed "IS"). Ink is told from
// the background by Otsu's threshold over the box's middle rows (the background being what its
// top and bottom rows mostly show), in those rows only, so that the letters of the lines above
// and below don't count. Each end moves out over the ink next to it and over gaps up to a letter
// gap (0.15 of the box's height) as far as that ink runs, when that ink continues a letter the
// box cuts or fills the middle rows from top to bottom without a clear row (smaller type set
// close beside the line, or a label of two stacked lines, doesn't). An end stays where it is
// when no such ink lies within a letter gap of it, when the ink runs on for more than a letter's
// width (0.6 of the box's height: a rule, a swash running into a frame, a picture) or into the
// picture's edge, when it fills most of the box's top and bottom rows (a frame or a band), or
// when it holds a solid run wider than a letter's stem (a block). A box less
// than 20 pixels high stays as it is: in small type, a letter gap is a pixel or two.
std::pair<int, int> inkEnds(const cv::Mat& grey, const cv::Rect& box);

}  // namespace plumvane
