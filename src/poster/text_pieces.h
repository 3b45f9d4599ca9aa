// The poster's text pieces: each line of text keyed out of the picture against the plate's
// background estimate.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "poster/poster_run.h"
#include "poster/text_regions.h"

namespace plumvane {

// The index of the ink threshold in n ascending differences: n * 0.88 in single precision,
// truncated.
size_t inkThresholdIndex(size_t n);

// The width of the fade at a piece's border: the larger of 2 and min(w, h) / 12.
int64_t featherWidth(int64_t w, int64_t h);

// A picture byte times the alpha a, as the piece holds it: truncated towards zero.
uint8_t premultipliedByte(uint8_t value, float a);

// The piece of a w x h region from the picture's and the background's RGBA bytes (row 0 at the
// top): premultiplied RGBA bytes in which only the strokes that stand out from the background
// are opaque, or nothing when fewer than 8 pixels count as ink.
std::optional<std::vector<uint8_t>> keyText(const uint8_t* picture, const uint8_t* background,
                                            int64_t w, int64_t h);

// Writes text-N.png for each region that gets a piece, numbered from 1 without gaps, and prints
// its manifest line. Regions mostly on subjects (coverage of 129 and up) and regions with too
// little ink are skipped silently. Ends the run through fail with "can't write text-N.png".
void writeTextPieces(const PosterRun& run, const std::vector<TextRegion>& regions,
                     const Image& subjectUnion, const Image& fillImage);

}  // namespace plumvane
