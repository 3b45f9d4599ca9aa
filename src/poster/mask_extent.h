// Where a subject mask is lit, measured at a quarter of the working image's resolution.
#pragma once

#include <optional>

#include "platform/image/image.h"

namespace plumvane {

// The lit extent of a grey mask over the W x H working image: the mask is averaged over 4 x 4
// blocks (ceil(W / 4) by ceil(H / 4) of them, pixels beyond the mask counting as 0) into 8-bit
// values, and the box of the values of 41 and more is scaled back, grown by 6 pixels on every
// side, clipped to the working image and rounded outwards to whole pixels. Nothing when no value
// is lit. With PLUMVANE_DEBUG, says on standard error "extent px max M lit N of T".
std::optional<Rect> extentOf(const Image& mask);

}  // namespace plumvane
