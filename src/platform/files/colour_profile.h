// Converting decoded pictures from their embedded colour profile to sRGB.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <span>

namespace plumvane {

// Converts the pixels of `picture` (as OpenCV decodes them: 1 channel grey, 2 grey and alpha, 3
// BGR or 4 BGRA, of 8 or 16 bits or float) from the ICC profile `icc` to sRGB with Little CMS,
// perceptual intent, alpha kept. Grey pictures with a grey profile come out as BGR or BGRA.
// The picture is left as it is when the profile is empty, damaged, or made for another kind of
// pixel (a CMYK profile, say, or a colour profile on a grey picture).
void convertToSrgb(cv::Mat& picture, std::span<const uint8_t> icc);

// CMYK pixels of 8 bits as a JPEG stores them (`inverted` when the file is Adobe's, whose values
// are the light left, 255 - ink) converted through the CMYK profile `icc` to sRGB, as BGR.
// Empty when the profile is damaged or not a CMYK one.
cv::Mat bgrFromCmyk(const cv::Mat& cmyk, bool inverted, std::span<const uint8_t> icc);

}  // namespace plumvane
