#include "cutout/cutout.h"

#include "cli/fail.h"

namespace plumvane {

void cutout(const std::string&, const std::string&) {
  fail("cutout mode is not built yet");
}

}  // namespace plumvane
