// Reading picture files.
#pragma once

#include <optional>
#include <string>

#include "platform/files/picture_header.h"
#include "platform/image/image.h"

namespace plumvane {

// The first image of a picture file (JPEG, PNG, HEIC/HEIF/AVIF, GIF, TIFF, WebP, BMP, PNM, JPEG
// 2000, ...) at (0, 0), in sRGB, upright as the file says it is to be shown: the EXIF
// orientation of JPEG, PNG, WebP and TIFF files is applied (all eight values), and HEIF's
// rotation, mirror and crop are part of its image, applied once by its decoder. Grey,
// 16-bit and alpha pictures become the RGBA image type; an embedded ICC profile is converted to
// sRGB, and a picture without one is taken as sRGB. Nothing when the file is missing,
// unreadable, truncated, declares more than maxPixels pixels (refused before any pixel is
// decoded), or is not a picture; the decoders' own warnings are kept off standard error.
std::optional<Image> decodePicture(const std::string& path);

// Whether a picture file's header says its pixels were stored with a lossy compression (see
// PictureHeader::lossy); false too when the file is missing or no picture decodePicture reads.
bool storedLossily(const std::string& path);

}  // namespace plumvane
