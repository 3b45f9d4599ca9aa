// Poster mode: a picture decomposed into a plate, subject pieces and text pieces.
#pragma once

#include <cstdint>
#include <string>

namespace plumvane {

// Decomposes the picture at picturePath, scaled to at most maxSide pixels on its longer side,
// into pieces written to outDir, with one manifest line per piece on standard output. Ends the
// run through fail on an error.
void posterPieces(const std::string& picturePath, const std::string& outDir, int64_t maxSide);

}  // namespace plumvane
