// Putting back the spaces between words that a recogniser trained without them leaves out.
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "platform/vision/text/ctc_decoding.h"

namespace plumvane {

// Which columns of a line's picture hold ink, at the recogniser's input height: the count of
// ink pixels per column, and the height of the band that holds ink.
struct InkProfile {
  std::vector<int> columns;
  int inkHeight = 0;
};

// The ink of a line's picture (8-bit BGR), split from its background by Otsu's threshold on each
// pixel's largest channel difference from the median colour of the picture's border, ink being
// the smaller part. Words in several colours on one line (red and white outlines on black) are
// all ink so; by brightness alone the dimmer colour would fall in with the background, and its
// letters would be parted as words. With `line`, the picture holds the line with a margin of its
// surroundings, and only the part in `line` is profiled; ink and background are told apart on
// the whole: a box that cuts heavy letters at top and bottom holds more ink than background, and
// its border is mostly ink.
InkProfile inkProfile(const cv::Mat& colour, cv::Rect line = {});

// The decoded line with the spaces that the model left out put back. A recogniser trained on
// text without spaces runs words together, but its emissions say where each character lies:
// between two neighbours, the widest run of ink-free columns is their gap, and a gap wider than
// the line's usual gap between letters by 0.15 of the ink's height is a space (the word space of
// condensed display type is less than a quarter of its capitals' height). Spaces the model
// emitted stay. columnsPerStep is the width of one decoding step in the profile's columns.
std::string spacedFromInk(const DecodedText& decoded, const InkProfile& ink, double columnsPerStep);

}  // namespace plumvane
