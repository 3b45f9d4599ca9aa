#include "platform/image/mask_conversions.h"

#include <algorithm>

#include "platform/image/image_ops.h"

namespace plumvane {

Image grey(Image mask, const Rect& rect) {
  ColourMatrix matrix;
  matrix.r = matrix.g = matrix.b = {1, 0, 0, 0};
  matrix.a = {0, 0, 0, 0};
  matrix.bias = {0, 0, 0, 1};
  Image result = colourMatrix(std::move(mask), matrix);
  if (result.extent() == integral(rect)) return result;
  return crop(result, rect);
}

Image withAlpha(Image image, const Image& mask, const Rect& rect) {
  // An empty image is transparent everywhere: the clear background without its memory.
  Image result = blendWithMask(std::move(image), Image{}, mask);
  if (result.extent() == integral(rect)) return result;
  return crop(result, rect);
}

Image withAlpha(Image image, const Mask& coverage, const Rect& rect) {
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const float m =
          x < coverage.width && y < coverage.height
              ? std::clamp(coverage.values[size_t(y) * size_t(coverage.width) + size_t(x)], 0.0f,
                           1.0f)
              : 0.0f;
      Pixel& p = image.at(x, y);
      p = Pixel{p.r * m, p.g * m, p.b * m, p.a * m};
    }
  }
  if (image.extent() == integral(rect)) return image;
  return crop(image, rect);
}

Mask coverageOf(const Image& greyMask) {
  Mask map{greyMask.width, greyMask.height, std::vector<float>(greyMask.pixels.size())};
  for (size_t i = 0; i < greyMask.pixels.size(); ++i) map.values[i] = greyMask.pixels[i].r;
  return map;
}

}  // namespace plumvane
