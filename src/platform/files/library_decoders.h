// Decoders for the picture formats that Debian's format libraries read: PNG (libpng), WebP
// (libwebp), TIFF (libtiff) and JPEG 2000 (OpenJPEG). Each takes the whole file's bytes and
// gives pixels in OpenCV's layout (grey, grey and alpha, BGR or BGRA; 8 or 16 bits, or float
// for TIFF's floating-point samples), or an empty matrix when the file is damaged, truncated,
// of a kind the decoder doesn't read, or declares more than maxPixels pixels, checked before
// any pixel is decoded. The libraries' messages are kept off standard error.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <span>
#include <vector>

namespace plumvane {

// PNG, as stored: grey, grey and alpha, colour and colour with alpha, of 8 or 16 bits; a palette
// and a transparent colour become colour and alpha. Gamma chunks are not applied.
cv::Mat decodePng(std::span<const uint8_t> file);

// WebP's still pictures, lossy or lossless, with their alpha if they have one. Animations are
// refused.
cv::Mat decodeWebp(std::span<const uint8_t> file);

// TIFF's first image, its rows in the order the file stores them: grey with alpha, 16-bit and
// 32-bit float grey, RGB and RGBA as stored (float values that aren't numbers become 0), LogLuv
// as float BGR, and any other 8-bit or smaller kind (palette, bilevel, YCbCr, CMYK, ...) through
// libtiff's RGBA reading, with straight alpha.
cv::Mat decodeTiff(std::span<const uint8_t> file);

// JPEG 2000, as a bare codestream or a JP2 file: grey, grey and alpha, RGB or RGBA whose
// components share one size, of 8 bits or fewer (scaled to 8) or more (scaled to 16). The JP2
// file's ICC profile, if it has one, goes into `icc`.
cv::Mat decodeJpeg2000(std::span<const uint8_t> file, std::vector<uint8_t>& icc);

}  // namespace plumvane
