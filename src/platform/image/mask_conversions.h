// Turning masks into grey masks, and using them as alpha.
#pragma once

#include "platform/image/image.h"
#include "platform/image/mask.h"

namespace plumvane {

// The mask as a grey mask cropped to rect: red, green and blue all take the mask's red value and
// alpha becomes 1. The mask's green, blue and alpha are not read.
Image grey(Image mask, const Rect& rect);

// The image with a grey mask as its alpha over transparency, cropped to rect: the image's pixel
// where the mask is white, transparent where it is black, in proportion where grey.
Image withAlpha(Image image, const Image& mask, const Rect& rect);

// The same with a coverage map laid from the image's top-left pixel: a quarter of the memory of a
// grey mask. Beyond the map the image is transparent.
Image withAlpha(Image image, const Mask& coverage, const Rect& rect);

// A grey mask's red channel as a coverage map of its size.
Mask coverageOf(const Image& greyMask);

}  // namespace plumvane
