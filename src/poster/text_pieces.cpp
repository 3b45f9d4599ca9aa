#include "poster/text_pieces.h"

#include <algorithm>
#include <cmath>

#include "cli/fail.h"
#include "cli/output.h"
#include "platform/filters.h"
#include "platform/png_writer.h"
#include "poster/piece_files.h"
#include "poster/subject_pieces.h"

namespace plumvane {
namespace {

constexpr float byteScale = 255.0f;
constexpr float inkPercentile = 0.88f;
constexpr float leastInkDifference = 0.12f;
constexpr size_t leastInkPixels = 8;
constexpr float colourReach = 0.22f;  // colour distance at which the colour opacity reaches 0
constexpr float colourRamp = 0.1f;
constexpr float gateStart = 0.04f;
constexpr float gateRamp = 0.06f;
constexpr float strongDifference = 0.3f;
constexpr float opaqueKeyed = 0.5f;
constexpr float fallbackStart = 0.16f;
constexpr float fallbackRamp = 0.14f;
constexpr int64_t featherDivisor = 12;
constexpr int64_t leastFeather = 2;
constexpr int mostCoverage = 128;

float unit(float v) {
  return std::clamp(v, 0.0f, 1.0f);
}

// The median as the upper of the two middle values.
float upperMedian(std::vector<float>& values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The premultiplied bytes with straight colour, as a PNG holds them.
std::vector<uint8_t> straightened(std::vector<uint8_t> rgba) {
  for (size_t i = 0; i < rgba.size(); i += 4) {
    const unsigned alpha = rgba[i + 3];
    for (size_t c = 0; c < 3; ++c) {
      rgba[i + c] =
          alpha == 0 ? 0 : uint8_t(std::min(255u, (rgba[i + c] * 255u + alpha / 2) / alpha));
    }
  }
  return rgba;
}

}  // namespace

size_t inkThresholdIndex(size_t n) {
  return size_t(float(n) * inkPercentile);
}

int64_t featherWidth(int64_t w, int64_t h) {
  return std::max(leastFeather, std::min(w, h) / featherDivisor);
}

uint8_t premultipliedByte(uint8_t value, float a) {
  return uint8_t(float(value) * a);
}

std::optional<std::vector<uint8_t>> keyText(const uint8_t* picture, const uint8_t* background,
                                            int64_t w, int64_t h) {
  const size_t n = size_t(w) * size_t(h);
  if (n == 0) return std::nullopt;
  // The difference from the background: the largest of the colour channels'.
  std::vector<float> difference(n);
  for (size_t p = 0; p < n; ++p) {
    float d = 0;
    for (size_t c = 0; c < 3; ++c) {
      d = std::max(d,
                   std::abs(float(picture[p * 4 + c]) - float(background[p * 4 + c])) / byteScale);
    }
    difference[p] = d;
  }
  std::vector<float> sorted = difference;
  std::sort(sorted.begin(), sorted.end());
  const float q = sorted[inkThresholdIndex(n)];

  // Ink: the pixels that differ most, and clearly.
  std::vector<float> inkRed, inkGreen, inkBlue;
  for (size_t p = 0; p < n; ++p) {
    if (difference[p] >= q && difference[p] > leastInkDifference) {
      inkRed.push_back(float(picture[p * 4]) / byteScale);
      inkGreen.push_back(float(picture[p * 4 + 1]) / byteScale);
      inkBlue.push_back(float(picture[p * 4 + 2]) / byteScale);
    }
  }
  if (inkRed.size() < leastInkPixels) return std::nullopt;
  const float ink[3] = {upperMedian(inkRed), upperMedian(inkGreen), upperMedian(inkBlue)};

  // Keyed alpha: near the ink colour, and different enough from the background.
  std::vector<float> alpha(n);
  int64_t strong = 0, agree = 0;
  for (size_t p = 0; p < n; ++p) {
    float distance = 0;
    for (size_t c = 0; c < 3; ++c) {
      distance = std::max(distance, std::abs(float(picture[p * 4 + c]) / byteScale - ink[c]));
    }
    const float colourOpacity = unit((colourReach - distance) / colourRamp);
    const float gate = unit((difference[p] - gateStart) / gateRamp);
    alpha[p] = colourOpacity * gate;
    if (difference[p] > strongDifference) {
      ++strong;
      if (alpha[p] > opaqueKeyed) ++agree;
    }
  }
  // When the colour model doesn't fit the strong differences, the difference itself is used.
  if (strong != 0 && !(float(agree) / float(strong) > opaqueKeyed)) {
    for (size_t p = 0; p < n; ++p) alpha[p] = unit((difference[p] - fallbackStart) / fallbackRamp);
  }

  const float feather = float(featherWidth(w, h));
  std::vector<uint8_t> piece(n * 4);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      const size_t p = size_t(y * w + x);
      const int64_t edge = std::min({x, y, w - 1 - x, h - 1 - y});
      const float a = alpha[p] * std::min(1.0f, float(edge) / feather);
      for (size_t c = 0; c < 3; ++c) piece[p * 4 + c] = premultipliedByte(picture[p * 4 + c], a);
      piece[p * 4 + 3] = uint8_t(a * byteScale);
    }
  }
  return piece;
}

void writeTextPieces(const PosterRun& run, const std::vector<TextRegion>& regions,
                     const Image& subjectUnion, const Image& fillImage) {
  int64_t n = 0;
  for (const TextRegion& region : regions) {
    const Rect& rect = region.rect;
    const int coverage = toByte(areaAverage(subjectUnion, rect).r);
    if (coverage > mostCoverage) continue;  // the line lies mostly on subjects
    const auto w = int64_t(rect.width), h = int64_t(rect.height);
    const std::vector<uint8_t> picture = run.bytes(run.working, rect);
    const std::vector<uint8_t> background = run.bytes(fillImage, rect);
    const auto piece = keyText(picture.data(), background.data(), w, h);
    if (!piece) continue;
    ++n;
    const std::string name = "text-" + std::to_string(n) + ".png";
    const std::vector<uint8_t> straight = straightened(*piece);
    if (writePng((run.outDir / name).string(), {straight.data(), int(w), int(h), 4})) {
      fail("can't write " + name);
    }
    printLine(textLine(run.box(rect), n, region.text));
  }
}

}  // namespace plumvane
