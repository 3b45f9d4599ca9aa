#include "platform/image/image_ops.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <opencv2/imgproc.hpp>

namespace plumvane {
namespace {

static_assert(sizeof(Pixel) == 4 * sizeof(float), "Pixel must be four packed floats");

// An OpenCV view of an image's pixels (no copy).
cv::Mat viewOf(Image& image) {
  return cv::Mat(image.height, image.width, CV_32FC4, image.pixels.data());
}
cv::Mat viewOf(const Image& image) {
  return viewOf(const_cast<Image&>(image));
}

// An image of the given extent, every pixel transparent black.
Image blankImage(int x, int y, int width, int height) {
  Image image;
  image.x = x;
  image.y = y;
  image.width = std::max(width, 0);
  image.height = std::max(height, 0);
  image.pixels.assign(size_t(image.width) * size_t(image.height), clearColour);
  return image;
}

// Reads the pixels of one frame row of an image by frame column, transparent outside.
class RowReader {
 public:
  void seek(const Image& image, int frameY) {
    const int row = frameY - image.y;
    row_ =
        row >= 0 && row < image.height ? &image.pixels[size_t(row) * size_t(image.width)] : nullptr;
    x0_ = image.x;
    width_ = image.width;
  }
  Pixel at(int frameX) const {
    const int column = frameX - x0_;
    return row_ && column >= 0 && column < width_ ? row_[column] : clearColour;
  }

 private:
  const Pixel* row_ = nullptr;
  int x0_ = 0;
  int width_ = 0;
};

bool sameExtent(const Image& a, const Image& b) {
  return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height;
}

// Applies f to the pixels of the images at each place of the union of their extents. When the
// other images share the first one's extent, or are empty (transparent everywhere), the result
// is written over the first image, which is taken by value so that a caller who no longer needs
// it can hand its memory over.
template <size_t N, typename F>
Image combine(Image first, const std::array<const Image*, N - 1>& others, F f) {
  std::array<Pixel, N> in;
  if (std::all_of(others.begin(), others.end(),
                  [&](const Image* o) { return o->isEmpty() || sameExtent(first, *o); })) {
    for (size_t p = 0; p < first.pixels.size(); ++p) {
      in[0] = first.pixels[p];
      for (size_t i = 1; i < N; ++i) {
        in[i] = others[i - 1]->isEmpty() ? clearColour : others[i - 1]->pixels[p];
      }
      first.pixels[p] = f(in);
    }
    return first;
  }
  std::array<const Image*, N> images;
  images[0] = &first;
  std::copy(others.begin(), others.end(), images.begin() + 1);
  int x0 = INT_MAX, y0 = INT_MAX, x1 = INT_MIN, y1 = INT_MIN;
  for (const Image* image : images) {
    if (image->isEmpty()) continue;
    x0 = std::min(x0, image->x);
    y0 = std::min(y0, image->y);
    x1 = std::max(x1, image->x + image->width);
    y1 = std::max(y1, image->y + image->height);
  }
  if (x0 > x1) return blankImage(0, 0, 0, 0);
  Image out = blankImage(x0, y0, x1 - x0, y1 - y0);
  std::array<RowReader, N> readers;
  for (int row = 0; row < out.height; ++row) {
    const int frameY = out.y + row;
    for (size_t i = 0; i < N; ++i) readers[i].seek(*images[i], frameY);
    Pixel* outRow = &out.at(0, row);
    for (int column = 0; column < out.width; ++column) {
      for (size_t i = 0; i < N; ++i) in[i] = readers[i].at(out.x + column);
      outRow[column] = f(in);
    }
  }
  return out;
}

float clamp01(float v) {
  return std::clamp(v, 0.0f, 1.0f);
}

float dot(const std::array<float, 4>& v, float r, float g, float b, float a) {
  return v[0] * r + v[1] * g + v[2] * b + v[3] * a;
}

// Un-premultiplies a pixel's colour, applies f to (r, g, b, a) and premultiplies the result.
template <typename F>
Image mapStraight(Image out, F f) {
  for (Pixel& p : out.pixels) {
    const float inverse = p.a > 0 ? 1.0f / p.a : 0.0f;
    Pixel straight = f(Pixel{p.r * inverse, p.g * inverse, p.b * inverse, p.a});
    const float a = clamp01(straight.a);
    p = Pixel{clamp01(straight.r) * a, clamp01(straight.g) * a, clamp01(straight.b) * a, a};
  }
  return out;
}

}  // namespace

Image colourMatrix(Image image, const ColourMatrix& m) {
  return mapStraight(std::move(image), [&m](Pixel s) {
    return Pixel{dot(m.r, s.r, s.g, s.b, s.a) + m.bias[0], dot(m.g, s.r, s.g, s.b, s.a) + m.bias[1],
                 dot(m.b, s.r, s.g, s.b, s.a) + m.bias[2],
                 dot(m.a, s.r, s.g, s.b, s.a) + m.bias[3]};
  });
}

Image blendWithMask(Image input, const Image& background, const Image& mask) {
  return combine<3>(std::move(input), {&background, &mask}, [](const std::array<Pixel, 3>& p) {
    const float m = clamp01(p[2].r);
    const float k = 1 - m;
    return Pixel{p[0].r * m + p[1].r * k, p[0].g * m + p[1].g * k, p[0].b * m + p[1].b * k,
                 p[0].a * m + p[1].a * k};
  });
}

Image maximumCompositing(Image input, const Image& background) {
  return combine<2>(std::move(input), {&background}, [](const std::array<Pixel, 2>& p) {
    return Pixel{std::max(p[0].r, p[1].r), std::max(p[0].g, p[1].g), std::max(p[0].b, p[1].b),
                 std::max(p[0].a, p[1].a)};
  });
}

Pixel areaAverage(const Image& image, const Rect& rect) {
  const Rect r = integral(rect);
  const double area = r.width * r.height;
  if (!(area > 0)) return clearColour;
  const Rect inside = intersection(r, image.extent());
  double sum[4] = {0, 0, 0, 0};
  const int top = int(inside.y) - image.y;
  for (int row = top; row < top + int(inside.height); ++row) {
    const Pixel* p = &image.at(int(inside.x) - image.x, row);
    for (int column = 0; column < int(inside.width); ++column) {
      sum[0] += p[column].r;
      sum[1] += p[column].g;
      sum[2] += p[column].b;
      sum[3] += p[column].a;
    }
  }
  return Pixel{float(sum[0] / area), float(sum[1] / area), float(sum[2] / area),
               float(sum[3] / area)};
}

Image crop(Image&& image, const Rect& rect) {
  if (intersection(integral(rect), image.extent()) == image.extent()) return std::move(image);
  return crop(static_cast<const Image&>(image), rect);
}

Image crop(const Image& image, const Rect& rect) {
  const Rect r = intersection(integral(rect), image.extent());
  Image out = blankImage(int(r.x), int(r.y), int(r.width), int(r.height));
  if (out.isEmpty()) return out;
  const int top = out.y - image.y;
  for (int row = 0; row < out.height; ++row) {
    const Pixel* from = &image.at(out.x - image.x, top + row);
    std::copy(from, from + out.width, &out.at(0, row));
  }
  return out;
}

Image scaled(const Image& image, int width, int height) {
  if (width <= 0 || height <= 0 || image.isEmpty()) return blankImage(0, 0, 0, 0);
  const double sx = double(width) / image.width;
  const double sy = double(height) / image.height;
  Image out =
      blankImage(int(std::lround(image.x * sx)), int(std::lround(image.y * sy)), width, height);
  cv::Mat view = viewOf(out);
  const int interpolation = sx <= 1 && sy <= 1 ? cv::INTER_AREA : cv::INTER_LINEAR;
  cv::resize(viewOf(image), view, view.size(), 0, 0, interpolation);
  return out;
}

}  // namespace plumvane
