#include "video/run_video.h"

#include "cli/fail.h"

namespace plumvane {

void runVideo(const RunSettings&) {
  fail("video mode is not built yet");
}

}  // namespace plumvane
