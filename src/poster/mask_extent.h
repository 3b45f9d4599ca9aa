// Where a subject mask is lit, measured at a quarter of the working image's resolution.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/image/image.h"

namespace plumvane {

// The red bytes of the mask scaled by 0.25: sw = ceil(W / 4) by sh = ceil(H / 4) values, row 0
// from the top rows of the mask. Each is the mean of its 4 x 4 block, counting pixels beyond the
// mask as 0, as an 8-bit value.
std::vector<uint8_t> quarterScaleRed(const Image& mask, int sw, int sh);

struct ExtentScan {
  std::optional<Rect> extent;  // nothing when no value is lit
  int maximum = 0;             // the greatest value of the plane (0 for an empty plane)
  int64_t lit = 0;             // how many values are lit (41 or more)
};

// The lit box of a quarter-scale red plane, scaled back to the working image (W x H), grown by
// 6 pixels on every side, clipped to (0, 0, W, H) and rounded outwards to whole pixels.
ExtentScan scanExtent(const std::vector<uint8_t>& red, int sw, int sh, double W, double H);

// The scan of a mask over the W x H working image at a quarter of its resolution.
ExtentScan measureExtent(const Image& mask, int64_t W, int64_t H);

}  // namespace plumvane
