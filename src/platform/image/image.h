// The one image type of the program, and its conversions to and from 8-bit pixels.
//
// An Image is width x height pixels of float RGBA, premultiplied by alpha, values 0..1, stored
// top row first. Its extent lies in the image frame (origin top left, y down) at whole-pixel
// coordinates: the pixel in column c and row r covers the unit square whose top-left corner is
// (x + c, y + r). Outside its extent an image counts as
// transparent black.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/image/mask.h"
#include "platform/image/rect.h"

namespace plumvane {

struct Pixel {
  float r = 0, g = 0, b = 0, a = 0;
  friend bool operator==(const Pixel&, const Pixel&) = default;
};

struct Image {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::vector<Pixel> pixels;  // width * height, top row first

  Rect extent() const { return Rect{double(x), double(y), double(width), double(height)}; }
  bool isEmpty() const { return width <= 0 || height <= 0; }
  Pixel& at(int column, int row) { return pixels[size_t(row) * size_t(width) + size_t(column)]; }
  const Pixel& at(int column, int row) const {
    return pixels[size_t(row) * size_t(width) + size_t(column)];
  }
};

// An image of one colour (premultiplied) over rect, which is first widened to whole pixels.
Image solidImage(Pixel colour, const Rect& rect);

inline constexpr Pixel clearColour{0, 0, 0, 0};
inline constexpr Pixel blackColour{0, 0, 0, 1};
inline constexpr Pixel whiteColour{1, 1, 1, 1};

// A mask as an opaque grey image at (0, 0): each colour channel holds the coverage, alpha is 1.
Image maskImage(const Mask& mask);

// The region's pixels as 8-bit RGBA, premultiplied, rounded to nearest and clamped, row 0 at the
// top of the region. The region is widened to whole pixels; pixels outside the image are 0.
std::vector<uint8_t> renderRgba8(const Image& image, const Rect& region);

// The whole image as 8-bit RGBA with straight alpha (colour divided by alpha), as PNG files
// hold it. A fully transparent pixel becomes (0, 0, 0, 0).
std::vector<uint8_t> renderStraightRgba8(const Image& image);

// A 0..1 value as a byte: rounded to nearest, clamped to 0..255.
inline uint8_t toByte(float v) {
  const float scaled = v * 255.0f + 0.5f;
  if (!(scaled > 0.0f)) return 0;  // also NaN
  return scaled >= 255.0f ? 255 : uint8_t(scaled);
}

}  // namespace plumvane
