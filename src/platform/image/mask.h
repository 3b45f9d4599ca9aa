// 8-bit pictures handed to the vision services, and the masks they return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plumvane {

// A view of 8-bit pixels with four bytes each, top row first, rows rowBytes apart. The alpha byte
// is not read by the vision services.
struct BitmapView {
  enum class Order { rgba, bgra };
  const uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  size_t rowBytes = 0;
  Order order = Order::rgba;
};

// The part of a view from (x, y), top-left frame, of width x height pixels, which must lie within
// it.
inline BitmapView partOf(const BitmapView& view, int x, int y, int width, int height) {
  return BitmapView{view.pixels + size_t(y) * view.rowBytes + size_t(x) * 4, width, height,
                    view.rowBytes, view.order};
}

// An owned RGBA bitmap.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // width * height * 4 bytes, top row first

  BitmapView view() const {
    return BitmapView{rgba.data(), width, height, size_t(width) * 4, BitmapView::Order::rgba};
  }
};

// A coverage map: 0 background, 1 subject, values between at soft edges; top row first.
struct Mask {
  int width = 0;
  int height = 0;
  std::vector<float> values;  // width * height

  bool isEmpty() const { return width <= 0 || height <= 0; }
};

// The mask resampled to width x height, each axis by its own factor (bilinear).
Mask resizedMask(const Mask& mask, int width, int height);

}  // namespace plumvane
