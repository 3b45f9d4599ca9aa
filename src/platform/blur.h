// Gaussian blur whose cost does not grow with its radius.
#pragma once

#include "platform/image.h"

namespace plumvane {

// What a blur sees beyond the image's extent.
enum class Edges {
  transparent,    // transparent black: the result fades towards transparency at the border
  clampToExtent,  // the edge pixels repeated outwards without end: no fading at the border
};

// The image convolved with a Gaussian whose standard deviation is radius pixels, over the
// image's own extent, within 1% of an exact Gaussian. Below radius 2 a sampled kernel is applied
// directly; from 2 on a fourth-order recursive filter (Deriche) runs in time independent of the
// radius; from 15 on it runs on the image shrunk by radius / 5 in blocks and is interpolated
// back, so wider blurs cost less. A radius of 0 or less returns the image unchanged.
Image gaussianBlur(const Image& image, double radius, Edges edges);

}  // namespace plumvane
