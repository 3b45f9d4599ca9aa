#include "platform/image/image.h"

#include <cmath>

namespace plumvane {

Image solidImage(Pixel colour, const Rect& rect) {
  const Rect r = integral(rect);
  Image image;
  image.x = int(r.x);
  image.y = int(r.y);
  image.width = int(r.width);
  image.height = int(r.height);
  image.pixels.assign(size_t(image.width) * size_t(image.height), colour);
  return image;
}

Image maskImage(const Mask& mask) {
  Image image;
  image.width = mask.width;
  image.height = mask.height;
  image.pixels.resize(mask.values.size());
  for (size_t i = 0; i < mask.values.size(); ++i) {
    const float v = mask.values[i];
    image.pixels[i] = Pixel{v, v, v, 1};
  }
  return image;
}

std::vector<uint8_t> renderRgba8(const Image& image, const Rect& region) {
  const Rect r = integral(region);
  const int w = int(r.width);
  const int h = int(r.height);
  std::vector<uint8_t> bytes(size_t(w) * size_t(h) * 4, 0);
  for (int row = 0; row < h; ++row) {
    const int imageRow = int(r.y) + row - image.y;
    if (imageRow < 0 || imageRow >= image.height) continue;
    for (int column = 0; column < w; ++column) {
      const int imageColumn = int(r.x) + column - image.x;
      if (imageColumn < 0 || imageColumn >= image.width) continue;
      const Pixel& p = image.at(imageColumn, imageRow);
      uint8_t* out = &bytes[(size_t(row) * size_t(w) + size_t(column)) * 4];
      out[0] = toByte(p.r);
      out[1] = toByte(p.g);
      out[2] = toByte(p.b);
      out[3] = toByte(p.a);
    }
  }
  return bytes;
}

std::vector<uint8_t> renderStraightRgba8(const Image& image) {
  std::vector<uint8_t> bytes(image.pixels.size() * 4);
  for (size_t i = 0; i < image.pixels.size(); ++i) {
    const Pixel& p = image.pixels[i];
    uint8_t* out = &bytes[i * 4];
    const uint8_t alpha = toByte(p.a);
    if (alpha == 0) {
      out[0] = out[1] = out[2] = out[3] = 0;
      continue;
    }
    const float unpremultiply = 1.0f / p.a;
    out[0] = toByte(p.r * unpremultiply);
    out[1] = toByte(p.g * unpremultiply);
    out[2] = toByte(p.b * unpremultiply);
    out[3] = alpha;
  }
  return bytes;
}

}  // namespace plumvane
