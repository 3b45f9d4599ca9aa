#include "poster/mask_extent.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "poster/poster_run.h"

namespace plumvane {
namespace {

constexpr int leastLit = 41;   // a red value of 40 is not lit
constexpr double padding = 6;  // pixels of the working image on every side

}  // namespace

std::vector<uint8_t> quarterScaleRed(const Image& mask, int sw, int sh) {
  std::vector<uint8_t> red(size_t(sw) * size_t(sh), 0);
  std::vector<float> sums(static_cast<size_t>(sw));
  for (int r = 0; r < sh; ++r) {
    std::fill(sums.begin(), sums.end(), 0.0f);
    for (int row = 4 * r; row < std::min(4 * r + 4, mask.height); ++row) {
      const Pixel* p = &mask.at(0, row);
      for (int column = 0; column < mask.width; ++column) sums[size_t(column / 4)] += p[column].r;
    }
    for (int c = 0; c < sw; ++c)
      red[size_t(r) * size_t(sw) + size_t(c)] = toByte(sums[size_t(c)] / 16);
  }
  return red;
}

ExtentScan scanExtent(const std::vector<uint8_t>& red, int sw, int sh, double W, double H) {
  ExtentScan scan;
  int64_t minC = sw, maxC = -1, minR = sh, maxR = -1;
  for (int r = 0; r < sh; ++r) {
    for (int c = 0; c < sw; ++c) {
      const int v = red[size_t(r) * size_t(sw) + size_t(c)];
      scan.maximum = std::max(scan.maximum, v);
      if (v < leastLit) continue;
      ++scan.lit;
      minC = std::min<int64_t>(minC, c);
      maxC = std::max<int64_t>(maxC, c);
      minR = std::min<int64_t>(minR, r);
      maxR = std::max<int64_t>(maxR, r);
    }
  }
  if (maxC < 0) return scan;
  const Rect box{4.0 * double(minC), 4.0 * double(minR), 4.0 * double(maxC - minC + 1),
                 4.0 * double(maxR - minR + 1)};
  scan.extent = integral(intersection(outset(box, padding, padding), Rect{0, 0, W, H}));
  return scan;
}

bool debugSwitch() {
  return std::getenv("PLUMVANE_DEBUG") != nullptr;
}

ExtentScan measureExtent(const Image& mask, int64_t W, int64_t H) {
  const int sw = int(std::ceil(double(W) * 0.25));
  const int sh = int(std::ceil(double(H) * 0.25));
  return scanExtent(quarterScaleRed(mask, sw, sh), sw, sh, double(W), double(H));
}

std::optional<Rect> PosterRun::extentOf(const Image& mask) const {
  const ExtentScan scan = measureExtent(mask, W, H);
  if (debugSwitch()) {
    const int64_t sw = int64_t(std::ceil(double(W) * 0.25));
    const int64_t sh = int64_t(std::ceil(double(H) * 0.25));
    const std::string line = "extent px max " + std::to_string(scan.maximum) + " lit " +
                             std::to_string(scan.lit) + " of " + std::to_string(sw * sh) + "\n";
    std::fputs(line.c_str(), stderr);
  }
  return scan.extent;
}

std::vector<uint8_t> PosterRun::bytes(const Image& image, const Rect& rect) const {
  return renderRgba8(image, rect);
}

}  // namespace plumvane
