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
// image's own extent. From radius 2 on, a fourth-order recursive filter (Deriche) runs in time
// independent of the radius and stays within 0.1% of an exact Gaussian; smaller radii use a
// sampled kernel directly. A radius of 0 or less returns the image unchanged.
Image gaussianBlur(const Image& image, double radius, Edges edges);

}  // namespace plumvane
