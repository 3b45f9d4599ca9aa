// Reading picture files.
#pragma once

#include <optional>
#include <string>

#include "platform/image.h"

namespace plumvane {

// The first image of a picture file (JPEG, PNG, TIFF, WebP, BMP, ...) at (0, 0), with its pixels
// in the order the file stores them: orientation metadata is not applied. Grey, 16-bit and alpha
// pictures become the RGBA image type. Nothing when the file is missing, unreadable, truncated
// or not a picture; the decoders' own warnings are kept off standard error.
std::optional<Image> decodePicture(const std::string& path);

}  // namespace plumvane
