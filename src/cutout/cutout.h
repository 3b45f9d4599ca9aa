// Cutout mode: a picture with everything but its subjects made transparent.
#pragma once

#include <string>

namespace plumvane {

// Writes the picture at picturePath to target as an RGBA PNG in which everything but the
// subjects is transparent, then prints "cut", or "none" when no subject was found. Ends the
// run through fail on an error.
void cutout(const std::string& picturePath, const std::string& target);

}  // namespace plumvane
