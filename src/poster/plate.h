// The poster's third phase: the picture with its subjects and the strokes of its text removed
// and the holes filled from the background around them.
#pragma once

#include <opencv2/core.hpp>
#include <optional>
#include <vector>

#include "poster/poster_run.h"
#include "poster/subject_pieces.h"
#include "poster/text_ink.h"

namespace plumvane {

// Both at the working image's size, in 8 bits: a full-size float image costs a poster run as much
// time in fresh memory as in arithmetic.
struct Plate {
  cv::Mat fill;   // RGB, opaque: the picture, with the fill in the holes
  cv::Mat plate;  // RGBA with straight alpha, as written: the holes blended into the fill at
                  // their soft rims
};

// Removes the pieced subjects (their grey masks grown here by 8 pixels, replaced whole down to a
// coverage of an eighth) and the ink holes of the lines that get pieces. The subjects' holes are
// filled at a reduced scale from the background around them: on a flat design, the halo that
// clings to a hole goes with it, and nothing else that stands out near it (a frame or ring, a
// shadow) is read into it (readHoleRim). Then the strokes are filled at full scale from their
// immediate rims, over the filled subjects, so that a band behind the text keeps its colour.
// Every other pixel is the working image's own.
Plate reconstructPlate(const PosterRun& run, const std::vector<Subject>& subjects,
                       const std::vector<std::optional<TextInk>>& inks);

}  // namespace plumvane
