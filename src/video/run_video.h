// Video mode: one grey matte per frame.
#pragma once

#include "platform/vision/vision.h"
#include "run/run_settings.h"

namespace plumvane {

// Reads the video of settings.input frame by frame, segments each upright frame with the person
// model (settings.usePerson) or the subject model, and writes one matte per frame into
// settings.outDir. Prints "frames total fps W H" before the first frame, "p n" after each and
// "done n" at the end. Ends the run through fail on an error.
void runVideo(const RunSettings& settings, Vision& vision);

}  // namespace plumvane
