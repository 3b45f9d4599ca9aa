// Image operations of the modes. Each returns a new image. Operations that take their first
// image by value reuse its memory for the result where they can: pass it with std::move when it
// is no longer needed. Operations on two or more images work over the union of their extents,
// where an image counts as transparent black outside its own extent.
#pragma once

#include <array>

#include "platform/image/image.h"

namespace plumvane {

// out channel = its vector . (r, g, b, a) + its bias, computed on un-premultiplied colour (an
// alpha of 0 un-premultiplies to colour 0), clamped to 0..1 and premultiplied again.
struct ColourMatrix {
  std::array<float, 4> r{1, 0, 0, 0};
  std::array<float, 4> g{0, 1, 0, 0};
  std::array<float, 4> b{0, 0, 1, 0};
  std::array<float, 4> a{0, 0, 0, 1};
  std::array<float, 4> bias{0, 0, 0, 0};
};
Image colourMatrix(Image image, const ColourMatrix& matrix);

// input * m + background * (1 - m) per premultiplied channel, m being the mask's red channel
// (0 outside the mask's extent).
Image blendWithMask(Image input, const Image& background, const Image& mask);

// The per-channel maximum of the two images.
Image maximumCompositing(Image input, const Image& background);

// The mean of the premultiplied RGBA over rect (widened to whole pixels), where pixels outside
// the image count as transparent black. A rect without area gives transparent black.
Pixel areaAverage(const Image& image, const Rect& rect);

// The part of the image inside rect (widened to whole pixels); empty when they don't overlap.
Image crop(const Image& image, const Rect& rect);
// The same for an image that is no longer needed: one already inside rect is returned as it is.
Image crop(Image&& image, const Rect& rect);

// The image resampled to width x height pixels, each axis by its own factor: area averaging
// where it shrinks, bilinear where it grows. The extent's origin is scaled likewise.
Image scaled(const Image& image, int width, int height);

}  // namespace plumvane
