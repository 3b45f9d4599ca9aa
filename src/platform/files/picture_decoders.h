// Decoders for JPEG, HEIF, GIF and TIFF's grey with alpha, on their format libraries.
// Each takes the whole file's bytes and gives pixels in OpenCV's layout (grey, grey and alpha,
// BGR or BGRA; 8 or 16 bits), or an empty matrix when the file is damaged or declares more than
// maxPixels pixels, checked before any pixel is decoded.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <span>
#include <vector>

namespace plumvane {

// JPEG, on libjpeg: grey, or colour as BGR. CMYK goes through the file's ICC profile `icc` to
// sRGB when it is a CMYK profile, and is otherwise mixed the way print colours mix on white.
// A file cut inside its compressed data is refused, where libjpeg would fill the missing rows
// with grey; a file that lacks only its end marker, every row present, is whole.
cv::Mat decodeJpeg(std::span<const uint8_t> file, std::span<const uint8_t> icc);

// HEIC, HEIF and AVIF, on libheif: the primary image with the rotation, mirror and crop that
// the file declares applied, its alpha if it has one; its ICC profile goes into `icc`.
cv::Mat decodeHeif(std::span<const uint8_t> file, std::vector<uint8_t>& icc);

// GIF, on giflib: the first frame laid on its logical screen, transparent where the frame does
// not reach and where it marks its transparent colour.
cv::Mat decodeGif(std::span<const uint8_t> file);

}  // namespace plumvane
