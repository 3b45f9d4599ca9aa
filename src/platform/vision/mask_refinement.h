// Turning a model's coarse map into a mask at the picture's resolution whose edge follows the
// picture.
#pragma once

#include "platform/image/mask.h"

namespace plumvane {

// The map (0..1, at any resolution, covering the whole picture) at the picture's size. Where the
// map is sure of itself the result is the map stretched; in the band where it hesitates, each
// pixel's coverage is read from its own colour against the colours of the sure foreground and
// background nearby, so the edge lands where the picture's edge is: a sharp outline comes out
// sharp, hair and fur keep their mixed pixels. Where the two sides' colours are alike the map
// decides, as before.
Mask refinedMask(const BitmapView& picture, const Mask& map);

}  // namespace plumvane
