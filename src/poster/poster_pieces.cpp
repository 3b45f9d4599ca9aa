#include "poster/poster_pieces.h"

#include "cli/fail.h"

namespace plumvane {

void posterPieces(const std::string&, const std::string&, int64_t) {
  fail("poster mode is not built yet");
}

}  // namespace plumvane
