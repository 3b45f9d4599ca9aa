// Decoders of our own for the simple picture formats: BMP, PNM and PAM, PFM, Sun raster and
// Radiance HDR. Each takes the whole file's bytes and gives pixels in OpenCV's layout (grey, grey
// and alpha, BGR or BGRA; 8 or 16 bits, or float for PFM and HDR, whose values are left as the
// file gives them, above 1 included), or an empty matrix when the file is damaged, truncated, of
// a variant the decoder doesn't know, or declares more than maxPixels pixels. Every read is
// bounds-checked; the size is checked before any pixel is allocated, and a format whose pixels
// are stored uncompressed must hold them all before they are allocated.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <span>

namespace plumvane {

// BMP: 1, 4 and 8 bits with a palette (RLE4 and RLE8 too), 16 and 32 bits with or without bit
// masks, 24 bits; bottom-up or top-down. Alpha comes only from an alpha mask (the fourth byte
// of plain 32-bit pixels is reserved), and a mask that is zero throughout means opaque.
cv::Mat decodeBmp(std::span<const uint8_t> file);

// PBM, PGM and PPM, as text or binary, and PAM (grey, grey and alpha, RGB, RGBA). Values are
// scaled from the file's maximum to the full range of 8 bits, or of 16 when it exceeds 255.
cv::Mat decodePnm(std::span<const uint8_t> file);

// PFM: grey or colour floats, either byte order, bottom row first; divided by the scale's
// magnitude. Values that aren't numbers become 0.
cv::Mat decodePfm(std::span<const uint8_t> file);

// Sun raster: 1, 8 (with or without a colour map), 24 and 32 bits, plain or run-length encoded.
cv::Mat decodeSunRaster(std::span<const uint8_t> file);

// Radiance HDR (RGBE), flat or run-length encoded, top row first ("-Y h +X w") or bottom row
// first ("+Y h +X w"): linear radiance as float BGR.
cv::Mat decodeRadiance(std::span<const uint8_t> file);

}  // namespace plumvane
