// Writing PNG files, complete or not at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace plumvane {

// 8-bit pixels to write: channels is 1 (grey) or 4 (RGBA, straight alpha); rows are
// width * channels bytes without gaps, top row first.
struct PngPixels {
  const uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int channels = 0;
};

struct PngOptions {
  bool srgb = true;  // add an sRGB chunk (perceptual intent)
  // zlib level, 0 (none, fastest) to 9 (smallest). 3 writes a 24-megapixel photo in two thirds
  // of the time of zlib's default 6, for files about a tenth larger.
  int compressionLevel = 3;
  // No row filters and run-length compression: for pictures that are mostly flat with runs of
  // one value (mattes), about a third smaller and several times quicker than adaptive filters.
  // Otherwise every row takes the Paeth filter, which libpng's choice among all five filters
  // takes for nearly every row of a photo: on cut-outs, plates and text pieces the files stay
  // within 2% of that choice's size, in 0.6 to 0.8 of its time.
  bool runs = false;
};

// Writes the pixels to path as a PNG. The file is written under a temporary name in the same
// directory and renamed into place, so a file under its final name is always complete: through
// a symbolic link, beside the file the link leads to, which is replaced; an existing file keeps
// its permissions, and a read-only one is refused. A pipe or a device is written into directly,
// and so is one of the process's own descriptors (/dev/stdout, /dev/fd/N).
// Returns nothing on success, else the system's description of the error (as strerror gives it).
std::optional<std::string> writePng(const std::string& path, const PngPixels& pixels,
                                    const PngOptions& options = {});

}  // namespace plumvane
