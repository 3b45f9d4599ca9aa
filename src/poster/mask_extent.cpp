#include "poster/mask_extent.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "poster/poster_run.h"

namespace plumvane {
namespace {

constexpr int leastLit = 41;   // a value of 40 is not lit
constexpr double padding = 6;  // pixels of the working image on every side

}  // namespace

std::optional<Rect> extentOf(const Image& mask) {
  const int sw = int(std::ceil(double(mask.width) * 0.25));
  const int sh = int(std::ceil(double(mask.height) * 0.25));
  int maximum = 0;
  int64_t lit = 0;
  int minC = sw, maxC = -1, minR = sh, maxR = -1;
  std::vector<float> sums(static_cast<size_t>(sw));
  for (int r = 0; r < sh; ++r) {
    std::fill(sums.begin(), sums.end(), 0.0f);
    for (int row = 4 * r; row < std::min(4 * r + 4, mask.height); ++row) {
      const Pixel* p = &mask.at(0, row);
      for (int column = 0; column < mask.width; ++column) sums[size_t(column / 4)] += p[column].r;
    }
    for (int c = 0; c < sw; ++c) {
      const int v = toByte(sums[size_t(c)] / 16);
      maximum = std::max(maximum, v);
      if (v < leastLit) continue;
      ++lit;
      minC = std::min(minC, c);
      maxC = std::max(maxC, c);
      minR = std::min(minR, r);
      maxR = std::max(maxR, r);
    }
  }
  if (debugSwitch()) {
    const std::string line = "extent px max " + std::to_string(maximum) + " lit " +
                             std::to_string(lit) + " of " + std::to_string(int64_t(sw) * sh) + "\n";
    std::fputs(line.c_str(), stderr);
  }
  if (maxC < 0) return std::nullopt;
  const Rect box{4.0 * minC, 4.0 * minR, 4.0 * (maxC - minC + 1), 4.0 * (maxR - minR + 1)};
  return integral(intersection(outset(box, padding, padding), mask.extent()));
}

}  // namespace plumvane
