// What a picture file declares before its pixels: its format, its size and its colour profile.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace plumvane {

// The most pixels a picture or a video frame may declare: above any camera's, and small enough
// that a file which merely claims a huge size is refused before its pixels are allocated.
inline constexpr int64_t maxPixels = 100'000'000;

enum class PictureFormat {
  png,
  jpeg,
  gif,
  webp,
  bmp,
  tiff,
  pnm,        // PBM, PGM, PPM and PAM
  pfm,        // portable float map
  sunRaster,  // Sun raster
  radiance,   // Radiance HDR
  jpeg2000,
  heif,  // HEIC, HEIF and AVIF
};

struct PictureHeader {
  PictureFormat format = PictureFormat::png;
  int64_t width = 0;  // as declared; HEIF's size is read by its own library
  int64_t height = 0;
  std::vector<uint8_t> iccProfile;  // the embedded ICC profile, empty when there is none
  // How the stored pixels are to be turned to be shown, as EXIF's orientation tag says: 1 as
  // stored, 2 mirrored left to right, 3 turned half round, 4 mirrored top to bottom, 5 mirrored
  // along the diagonal from the top left, 6 turned a quarter clockwise, 7 mirrored along the
  // other diagonal, 8 turned a quarter anticlockwise. 1 when the file has no tag, an invalid one
  // or damaged EXIF data, and for HEIF, whose own transformations its decoder applies.
  int orientation = 1;
  // Whether the pixels were stored with a lossy compression, which leaves ringing around sharp
  // edges: JPEG, HEIF and JPEG 2000 (their lossless modes are rare), and WebP when its image is a
  // VP8 stream rather than a lossless one.
  bool lossy = false;
};

// The orientation that EXIF data (a TIFF header and its first IFD, as JPEG's APP1 segment after
// "Exif\0\0", PNG's eXIf chunk and WebP's EXIF chunk hold them) gives, 1 when it gives none or
// a value outside 1..8. Never reads outside `exif`.
int exifOrientation(std::span<const uint8_t> exif);

// Reads the header of a picture file whose whole content is `file`. Nothing when the bytes are
// not one of the formats above or the header is damaged. Never reads outside `file`.
std::optional<PictureHeader> readPictureHeader(std::span<const uint8_t> file);

}  // namespace plumvane
