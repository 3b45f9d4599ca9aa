// Cutout mode: a picture with everything but its subjects made transparent.
#pragma once

#include <string>

#include "platform/vision/vision.h"

namespace plumvane {

// Writes the picture at picturePath to target as an 8-bit RGBA PNG in sRGB of the picture's
// size, in which everything but the subjects is transparent, then prints "cut", or "none" when
// no subject was found (the picture is then written unchanged). Subjects come from the subject
// model, or from the person model when no subject model is installed. Ends the run through fail
// when the picture can't be read or the target can't be written.
void cutout(const std::string& picturePath, const std::string& target, Vision& vision);

}  // namespace plumvane
