// The poster's subject pieces: one cut-out per subject large enough, cropped to its extent.
#pragma once

#include <optional>
#include <vector>

#include "poster/poster_run.h"

namespace plumvane {

struct Subject {
  Image mask;                  // a grey mask over the working image
  std::optional<Rect> extent;  // where the mask is lit (mask_extent.h); nothing when it is not
  // Whether it gets a piece: its extent covers more than 1% of the working image. The plate
  // loses only these; a skipped subject stays on it.
  bool pieced = false;
};

// Measures each mask's extent, once, and decides which subjects get a piece. With
// PLUMVANE_DEBUG, first writes every mask as mask-i.png with a "mask i extent (...)" line on
// standard error.
std::vector<Subject> decideSubjects(std::vector<Image> masks, const PosterRun& run);

// Writes subject-N.png for each pieced subject, numbered from 1 without gaps, and prints its
// manifest line; says "skipped a subject: " and the extent (or "nil") on standard error for the
// others.
void writeSubjectPieces(const PosterRun& run, const std::vector<Subject>& subjects);

}  // namespace plumvane
