// The poster's first phase: one grey mask per subject, and their union.
#pragma once

#include <vector>

#include "platform/vision.h"
#include "poster/poster_run.h"

namespace plumvane {

struct SubjectMasks {
  std::vector<Image> masks;  // grey masks over workingRect, in the segmenter's order
  Image subjectUnion;        // their per-pixel maximum over black
};

// Asks the subject segmenter for one mask per instance of the working bitmap, or, when no
// subject model is installed, the person segmenter for one mask of all people, stretched to
// the working image. A failed request yields no masks.
SubjectMasks findSubjectMasks(Vision& vision, const BitmapView& workingBitmap,
                              const PosterRun& run);

// The grey masks and their union from masks of any size, each stretched to the working image.
SubjectMasks subjectMasksFrom(const std::vector<Mask>& masks, const PosterRun& run);

}  // namespace plumvane
