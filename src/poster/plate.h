// The poster's third phase: the picture with its subjects and text removed and the holes
// filled from the background around them.
#pragma once

#include "poster/poster_run.h"

namespace plumvane {

struct Plate {
  Image fillImage;  // the opaque background estimate behind the holes
  Image plate;      // the kept pixels laid over the fill
};

// Removes the subjects (grown by 8 pixels) and the text (softened by a radius-3 blur) from the
// working image and fills the holes coarse to fine: a radius-300 blur of the kept pixels as an
// opaque base, then blurs of radii 160, 80, 40, 20, 10 and 5 laid over it in turn. Every blur
// sees the kept image with its edges continued outwards.
Plate reconstructPlate(const PosterRun& run, const Image& subjectUnion, const Image& textMask);

}  // namespace plumvane
