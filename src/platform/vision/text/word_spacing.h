// Putting back the spaces between words that a recogniser trained without them leaves out.
#pragma once

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

// The decoded line with the spaces that the model left out put back. A recogniser trained on
// text without spaces runs words together, but its emissions say where each character lies:
// between two neighbours, the widest run of ink-free columns is their gap, and a gap wider than
// the line's usual gap between letters by a fifth of the ink's height is a space. Spaces the
// model emitted stay. columnsPerStep is the width of one decoding step in the profile's columns.
std::string spacedFromInk(const DecodedText& decoded, const InkProfile& ink, double columnsPerStep);

}  // namespace plumvane
