// Turning masks into grey masks, and using them as alpha.
#pragma once

#include "platform/image/image.h"

namespace plumvane {

// The mask as a grey mask cropped to rect: red, green and blue all take the mask's red value and
// alpha becomes 1. The mask's green, blue and alpha are not read.
Image grey(Image mask, const Rect& rect);

// The image with a grey mask as its alpha over transparency, cropped to rect: the image's pixel
// where the mask is white, transparent where it is black, in proportion where grey.
Image withAlpha(Image image, const Image& mask, const Rect& rect);

}  // namespace plumvane
