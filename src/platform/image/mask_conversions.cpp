#include "platform/image/mask_conversions.h"

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

}  // namespace plumvane
