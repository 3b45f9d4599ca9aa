// Poster mode: a picture decomposed into a plate, subject pieces and text pieces.
#pragma once

#include <cstdint>
#include <string>

#include "platform/vision/vision.h"
#include "poster/plate.h"
#include "poster/subject_pieces.h"
#include "poster/text_regions.h"

namespace plumvane {

// The working image's size: the picture scaled by s = maxSide / its longer side when s < 1
// (never enlarged), each side rounded with halves away from zero.
struct WorkingSize {
  double s = 1;
  bool scaled = false;
  int64_t W = 0;
  int64_t H = 0;
};
WorkingSize workingSize(double width, double height, int64_t maxSide);

// Makes the plate, writes it, the subject pieces and the text pieces, and prints each one's
// manifest line once its file is complete, in that order. Ends the run through fail on an error.
void writePieces(const PosterRun& run, const std::vector<Subject>& subjects,
                 const std::vector<TextRegion>& regions,
                 const std::vector<std::optional<TextInk>>& inks);

// Decomposes the picture at picturePath, scaled to at most maxSide pixels on its longer side,
// into pieces written to outDir, with one manifest line per piece on standard output: "size W H",
// the plate, the subjects, the lines of text, then "done". Ends the run through fail on an error.
void posterPieces(const std::string& picturePath, const std::string& outDir, int64_t maxSide,
                  Vision& vision);

}  // namespace plumvane
