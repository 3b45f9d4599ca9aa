#include "poster/text_pieces.h"

#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>

#include "platform/image/image_ops.h"
#include "poster/piece_files.h"
#include "run/output.h"
#include "run/saved_png.h"

namespace plumvane {
namespace {

constexpr float byteScale = 255.0f;
constexpr int mostCoverage = 128;
// The difference at which lettering of many colours is opaque, and the least distance between
// the ink colour and the fill at which a pixel's opacity is read along that distance.
constexpr float opaqueDifference = 0.3f;
constexpr float leastInkContrast = 0.1f;

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

// The pixels of an RGB picture within rect as opaque RGBA bytes, transparent where rect lies
// outside the picture.
std::vector<uint8_t> opaqueRgba8(const cv::Mat& rgb, const Rect& rect) {
  const Rect r = integral(rect);
  const int w = int(r.width), h = int(r.height);
  std::vector<uint8_t> bytes(size_t(w) * size_t(h) * 4, 0);
  for (int row = 0; row < h; ++row) {
    const int y = int(r.y) + row;
    if (y < 0 || y >= rgb.rows) continue;
    for (int column = 0; column < w; ++column) {
      const int x = int(r.x) + column;
      if (x < 0 || x >= rgb.cols) continue;
      const uint8_t* in = rgb.ptr<uint8_t>(y) + size_t(x) * 3;
      uint8_t* out = &bytes[(size_t(row) * size_t(w) + size_t(column)) * 4];
      out[0] = in[0];
      out[1] = in[1];
      out[2] = in[2];
      out[3] = 255;
    }
  }
  return bytes;
}

// Which pixels of region i's rectangle belong to another line: those on another line (in its
// box, or its rotated rectangle when it is slanted), unless they lie in line i's own box and
// nearer its middle than the other's. Tightly stacked lines overlap once padded; each letter
// then stays with its own line, on its piece and off every other. A slanted line's upright
// rectangle holds much beside it: what lies further from its rotated rectangle than its margin
// is counted with the other lines, neither its ink nor its background.
std::vector<uint8_t> otherLinesIn(const std::vector<TextRegion>& regions, size_t i) {
  const Rect& rect = regions[i].rect;
  const Rect& own = regions[i].line;
  const int w = int(rect.width), h = int(rect.height);
  std::vector<uint8_t> others(size_t(w) * size_t(h), 0);
  if (!regions[i].outline.empty()) {
    const double margin = textMargin * regions[i].height();
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        if (!regions[i].holds(rect.x + x + 0.5, rect.y + y + 0.5, margin)) {
          others[size_t(y) * size_t(w) + size_t(x)] = 1;
        }
      }
    }
  }
  for (size_t j = 0; j < regions.size(); ++j) {
    const Rect& line = regions[j].line;
    const Rect overlap = integral(intersection(line, rect));
    if (j == i || overlap.isEmpty()) continue;
    for (int y = int(overlap.y); y < int(overlap.maxY()); ++y) {
      const double middle = y + 0.5;
      const bool nearerOwn = std::abs(middle - (own.y + own.height / 2)) <=
                             std::abs(middle - (line.y + line.height / 2));
      const bool ownRow = nearerOwn && middle >= own.minY() && middle < own.maxY();
      for (int x = int(overlap.x); x < int(overlap.maxX()); ++x) {
        if (ownRow && x + 0.5 >= own.minX() && x + 0.5 < own.maxX()) continue;
        if (!regions[j].holds(x + 0.5, middle)) continue;
        others[size_t(y - int(rect.y)) * size_t(w) + size_t(x - int(rect.x))] = 1;
      }
    }
  }
  return others;
}

}  // namespace

std::vector<std::optional<TextInk>> findTextInks(const PosterRun& run,
                                                 const std::vector<TextRegion>& regions) {
  // Each line's ink is read from its own rectangle alone: the lines are told on all cores.
  std::vector<std::optional<TextInk>> inks(regions.size());
  cv::parallel_for_(cv::Range(0, int(regions.size())), [&](const cv::Range& range) {
    for (int i = range.start; i < range.end; ++i) {
      const Rect& rect = regions[size_t(i)].rect;
      const std::vector<uint8_t> picture = renderRgba8(run.working, rect);
      const std::vector<uint8_t> others = otherLinesIn(regions, size_t(i));
      std::optional<TextInk> ink =
          findTextInk(picture.data(), int(rect.width), int(rect.height), others.data(), run.lossy);
      if (ink) ink->rect = rect;
      inks[size_t(i)] = std::move(ink);
    }
  });
  return inks;
}

FoundLines findLines(Vision& vision, const BitmapView& workingBitmap, const PosterRun& run) {
  FoundLines found;
  found.regions = findTextRegions(vision, workingBitmap);
  found.inks = findTextInks(run, found.regions);
  return found;
}

void leaveSubjectsTheirText(std::vector<std::optional<TextInk>>& inks,
                            const std::vector<TextRegion>& regions, const Image& subjectUnion) {
  for (size_t i = 0; i < regions.size(); ++i) {
    if (inks[i] && toByte(areaAverage(subjectUnion, regions[i].rect).r) > mostCoverage) {
      inks[i].reset();
    }
  }
}

std::vector<uint8_t> keyText(const uint8_t* picture, const uint8_t* fill, const TextInk& ink) {
  const size_t n = size_t(ink.w) * size_t(ink.h);
  std::vector<uint8_t> piece(n * 4, 0);
  for (size_t p = 0; p < n; ++p) {
    if (ink.hole[p] == 0) continue;  // the plate shows the picture itself there
    float pixel[3], under[3], towardsInk[3];
    float along = 0, contrast = 0, difference = 0;
    for (size_t c = 0; c < 3; ++c) {
      pixel[c] = float(picture[p * 4 + c]) / byteScale;
      under[c] = float(fill[p * 4 + c]) / byteScale;
      towardsInk[c] = ink.ink[c] - under[c];
      along += (pixel[c] - under[c]) * towardsInk[c];
      contrast += towardsInk[c] * towardsInk[c];
      difference = std::max(difference, std::abs(pixel[c] - under[c]));
    }
    const bool alongInk = ink.oneColour && contrast > leastInkContrast * leastInkContrast;
    const float a =
        std::clamp(alongInk ? along / contrast : difference / opaqueDifference, 0.0f, 1.0f);
    // The colour that gives the picture back over the fill, premultiplied by a.
    for (size_t c = 0; c < 3; ++c) {
      const float premultiplied = std::clamp(pixel[c] - (1 - a) * under[c], 0.0f, a);
      piece[p * 4 + c] = toByte(premultiplied);
    }
    piece[p * 4 + 3] = toByte(a);
  }
  return piece;
}

void writeTextPieces(const PosterRun& run, const std::vector<TextRegion>& regions,
                     const std::vector<std::optional<TextInk>>& inks, const cv::Mat& fill) {
  int64_t n = 0;
  for (size_t i = 0; i < regions.size(); ++i) {
    if (!inks[i]) continue;
    const Rect& rect = regions[i].rect;
    const std::vector<uint8_t> picture = renderRgba8(run.working, rect);
    const std::vector<uint8_t> behind = opaqueRgba8(fill, rect);
    const std::vector<uint8_t> straight =
        straightened(keyText(picture.data(), behind.data(), *inks[i]));
    ++n;
    const std::string name = "text-" + std::to_string(n) + ".png";
    savePng((run.outDir / name).string(), {straight.data(), inks[i]->w, inks[i]->h, 4}, name);
    printLine(textLine(box(rect), n, regions[i].text));
  }
}

}  // namespace plumvane
