// The order in which the lines of a picture are read.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/image/rect.h"

namespace plumvane {

// Groups boxes, given in a top-left frame, into lines: two boxes are on one line when they
// overlap vertically by at least 60% of the lower of the two, the higher is at most 1.75 times as
// high as the lower, and the gap between them is at most 1.3 times the mean of their heights; or
// when the lower lies within the higher's rows and touches it (at most 2% of its height away).
// The detector finds words apart where letters are widely spaced, and may mark a part of a large
// letter apart; a line of a poster is one piece.
// Returns the groups, each in ascending index order.
std::vector<std::vector<size_t>> groupIntoLines(const std::vector<Rect>& topLeftBoxes);

// Sorts boxes, given in a top-left frame (y down), into reading order: the lines of one column
// top to bottom before those of the next. Lines set one under the other (the higher at most 1.75
// times as high as the other, below it by no more than a line's height, sharing at least half the
// narrower one's width) form a block; the blocks are read top to bottom, and left to right among
// blocks whose tops lie within `sameLine` pixels of each other, and each block's lines in the
// same way. Returns indexes.
std::vector<size_t> readingOrder(const std::vector<Rect>& topLeftBoxes, double sameLine);

}  // namespace plumvane
