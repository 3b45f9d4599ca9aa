// The poster's subject pieces: one cut-out per subject, cropped to its extent.
#pragma once

#include <vector>

#include "poster/poster_run.h"

namespace plumvane {

// Writes subject-N.png for each mask whose extent covers more than 1% of the working image,
// numbered from 1 without gaps, and prints its manifest line; prints "skipped a subject: " and
// the extent (or "nil") on standard error for the others. With PLUMVANE_DEBUG, first writes
// every mask as mask-i.png with a "mask i extent (...)" line on standard error.
void writeSubjectPieces(const PosterRun& run, const std::vector<Image>& masks);

// Which masks get a piece, by the same test as writeSubjectPieces (measured without
// diagnostics): the subjects that the plate removes. A skipped subject stays on it.
std::vector<bool> piecedSubjects(const PosterRun& run, const std::vector<Image>& masks);

// Whether an extent is large enough for a piece: its area is above 1% of the W x H working image.
bool largeEnough(const Rect& extent, double W, double H);

}  // namespace plumvane
