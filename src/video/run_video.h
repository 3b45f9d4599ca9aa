// Video mode: one grey matte per frame.
#pragma once

#include "cli/arguments.h"

namespace plumvane {

// Reads the video of settings.input frame by frame and writes one matte per frame into
// settings.outDir, printing progress on standard output. Ends the run through fail on an error.
void runVideo(const RunSettings& settings);

}  // namespace plumvane
