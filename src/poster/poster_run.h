// The values that one poster run shares between its phases, and the local routines that work
// over them: grey and withAlpha, save and box, extentOf and bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/image.h"

namespace plumvane {

struct PosterRun {
  std::filesystem::path outDir;
  int64_t W = 0;  // the working image's size, as printed in the "size" line
  int64_t H = 0;
  Rect workingRect;  // (0, 0, W, H)
  Image working;     // the picture scaled to W x H

  // The mask as a grey mask over workingRect (mask_conversions.h).
  Image grey(Image mask) const;
  // The image with a grey mask as alpha over transparency, cropped to workingRect.
  Image withAlpha(Image image, const Image& mask) const;

  // Writes the part of image inside rect to outDir/name as an 8-bit RGBA PNG in sRGB. Ends the
  // run through fail with "can't write " + name + ": " + the system's error when it can't.
  void save(const Image& image, const Rect& rect, const std::string& name) const;
  // The rectangle as the four integers of a manifest line (piece_files.h).
  std::string box(const Rect& rect) const;

  // The lit extent of a subject mask (mask_extent.h), with the PLUMVANE_DEBUG diagnostic line.
  std::optional<Rect> extentOf(const Image& mask) const;
  // The image over rect as 8-bit RGBA bytes, premultiplied, row 0 at the top of rect.
  std::vector<uint8_t> bytes(const Image& image, const Rect& rect) const;
};

// Whether the diagnostic switch is on: PLUMVANE_DEBUG is in the environment, whatever its value.
bool debugSwitch();

}  // namespace plumvane
