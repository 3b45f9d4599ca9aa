// BMP and Sun raster: the formats whose header is binary and whose pixels are plain rows or
// simple runs.
#include <algorithm>
#include <array>
#include <bit>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "platform/files/file_bytes.h"
#include "platform/files/simple_decoders.h"

namespace plumvane {
namespace {

using Palette = std::array<cv::Vec3b, 256>;  // BGR; entries a file doesn't give are black

// One channel of a pixel packed under a bit mask, scaled to 0..255.
struct MaskedChannel {
  uint32_t mask = 0;
  int shift = 0;
  uint64_t max = 0;

  explicit MaskedChannel(uint32_t m) : mask(m) {
    if (m == 0) return;
    shift = std::countr_zero(m);
    max = m >> shift;
  }
  uint8_t operator()(uint32_t pixel) const {
    return max ? uint8_t(((pixel & mask) >> shift) * 255 / max) : 0;
  }
};

// Decodes RLE8 or RLE4 data from `at` into palette indices, width x height, the file's first
// row first. Pixels that the runs skip keep index 0. Pixels past the end of a row are dropped:
// some writers code each row's padding too, as a player's decoder takes in its stride. Nothing
// when the data is damaged.
std::optional<std::vector<uint8_t>> runLengthIndices(const FileBytes& b, size_t at, int width,
                                                     int height, bool fourBits) {
  const size_t w = size_t(width), h = size_t(height);
  std::vector<uint8_t> indices(w * h, 0);
  size_t x = 0, y = 0;
  auto nibble = [](uint8_t byte, size_t i) { return i % 2 == 0 ? byte >> 4 : byte & 15; };
  while (y < h) {
    if (!b.has(at, 2)) return std::nullopt;
    const size_t count = b.data[at];
    const uint8_t value = b.data[at + 1];
    at += 2;
    if (count > 0) {  // a run of one index, or of two alternating ones in RLE4
      for (size_t i = 0; i < count && x < w; ++i) {
        indices[y * w + x++] = fourBits ? uint8_t(nibble(value, i)) : value;
      }
    } else if (value == 0) {  // end of the line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of the picture
      break;
    } else if (value == 2) {  // a jump right and down
      if (!b.has(at, 2)) return std::nullopt;
      x += b.data[at];
      y += b.data[at + 1];
      at += 2;
      if (x > w) return std::nullopt;
    } else {  // `value` indices stored as they are, padded to an even number of bytes
      const size_t bytes = fourBits ? (value + 1) / 2 : value;
      if (!b.has(at, bytes)) return std::nullopt;
      for (size_t i = 0; i < value && x < w; ++i) {
        indices[y * w + x++] = fourBits ? uint8_t(nibble(b.data[at + i / 2], i)) : b.data[at + i];
      }
      at += bytes + (bytes & 1);
    }
  }
  return indices;
}

}  // namespace

cv::Mat decodeBmp(std::span<const uint8_t> file) {
  const FileBytes b{file};
  const auto offset = b.le(10, 4), infoSize = b.le(14, 4);
  if (!b.startsWith(0, "BM") || !offset || !infoSize) return {};
  const bool core = *infoSize == 12;  // the oldest header: 16-bit sides, 3-byte palette entries
  if (!core && (*infoSize < 40 || !b.has(14, *infoSize))) return {};
  const int64_t width = core ? int64_t(b.le(18, 2).value_or(0)) : int32_t(*b.le(18, 4));
  const int64_t signedHeight = core ? int64_t(b.le(20, 2).value_or(0)) : int32_t(*b.le(22, 4));
  const uint32_t bits = b.le(core ? 24 : 28, 2).value_or(0);
  const uint32_t compression = core ? 0 : *b.le(30, 4);
  const uint32_t colours = core ? 0 : *b.le(46, 4);
  const int64_t height = std::abs(signedHeight);
  const bool topDown = signedHeight < 0;
  enum : uint32_t { plain = 0, rle8 = 1, rle4 = 2, bitFields = 3, alphaBitFields = 6 };
  const bool masked = compression == bitFields || compression == alphaBitFields;
  const bool known =
      ((bits == 1 || bits == 4 || bits == 8 || bits == 24 || bits == 32) && compression == plain) ||
      ((bits == 16 || bits == 32) && (compression == plain || masked)) ||
      (bits == 8 && compression == rle8) || (bits == 4 && compression == rle4);
  if (!known || !allowedSize(width, height)) return {};
  const int w = int(width), h = int(height);

  Palette palette{};
  if (bits <= 8) {
    const size_t entries = colours ? colours : 1u << bits, entrySize = core ? 3 : 4;
    const size_t at = 14 + *infoSize;
    if (entries > 256 || !b.has(at, entries * entrySize)) return {};
    for (size_t i = 0; i < entries; ++i) {
      const uint8_t* e = b.data.data() + at + i * entrySize;
      palette[i] = cv::Vec3b(e[0], e[1], e[2]);
    }
  }
  // The channels of 16- and 32-bit pixels: under the masks the file gives, or the usual ones.
  uint32_t masks[4] = {0x7C00, 0x3E0, 0x1F, 0};  // red, green, blue, alpha
  // Plain 32-bit pixels are blue, green, red and a reserved byte, which is not alpha.
  if (bits == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  if (masked) {
    if (!b.has(54, 12)) return {};
    for (int i = 0; i < 3; ++i) masks[i] = *b.le(54 + 4 * size_t(i), 4);
    // The alpha mask comes in the longer headers, or after the others when the compression
    // says so.
    const bool alphaMask = *infoSize >= 56 || compression == alphaBitFields;
    masks[3] = alphaMask ? b.le(66, 4).value_or(0) : 0;
  }
  const MaskedChannel red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);

  cv::Mat out(h, w, CV_8UC4);
  auto rowOf = [&](int fileRow) { return out.ptr<cv::Vec4b>(topDown ? fileRow : h - 1 - fileRow); };
  if (compression == rle8 || compression == rle4) {
    const auto indices = runLengthIndices(b, *offset, w, h, compression == rle4);
    if (!indices) return {};
    for (int r = 0; r < h; ++r) {
      cv::Vec4b* row = rowOf(r);
      for (int x = 0; x < w; ++x) {
        const cv::Vec3b c = palette[(*indices)[size_t(r) * size_t(w) + size_t(x)]];
        row[x] = cv::Vec4b(c[0], c[1], c[2], 255);
      }
    }
    return out;
  }
  // Rows of whole 32-bit words; the last row need not carry its padding.
  const size_t pitch = (size_t(w) * bits + 31) / 32 * 4, rowBytes = (size_t(w) * bits + 7) / 8;
  if (!fits(b.data.size(), *offset, size_t(h - 1), pitch) ||
      !b.has(*offset + pitch * size_t(h - 1), rowBytes)) {
    return {};
  }
  bool anyAlpha = false;
  for (int r = 0; r < h; ++r) {
    const uint8_t* in = b.data.data() + *offset + pitch * size_t(r);
    cv::Vec4b* row = rowOf(r);
    for (int x = 0; x < w; ++x) {
      if (bits <= 8) {
        const size_t bit = size_t(x) * bits;
        const int index = (in[bit / 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1);
        const cv::Vec3b c = palette[size_t(index)];
        row[x] = cv::Vec4b(c[0], c[1], c[2], 255);
      } else if (bits == 24) {
        row[x] = cv::Vec4b(in[x * 3], in[x * 3 + 1], in[x * 3 + 2], 255);
      } else {
        const uint8_t* p = in + x * (bits / 8);
        const uint32_t pixel = bits == 16
                                   ? uint32_t(p[0] | p[1] << 8)
                                   : uint32_t(p[0] | p[1] << 8 | p[2] << 16) | uint32_t(p[3]) << 24;
        const uint8_t a = alpha(pixel);
        anyAlpha = anyAlpha || a != 0;
        row[x] = cv::Vec4b(blue(pixel), green(pixel), red(pixel), a);
      }
    }
  }
  // Pixels without an alpha mask, or whose alpha is left zero throughout, are opaque.
  if (bits <= 24 || !anyAlpha) {
    cv::Mat bgr;
    cv::cvtColor(out, bgr, cv::COLOR_BGRA2BGR);
    return bgr;
  }
  return out;
}

cv::Mat decodeSunRaster(std::span<const uint8_t> file) {
  const FileBytes b{file};
  if (!b.startsWith(0, "\x59\xA6\x6A\x95") || !b.has(0, 32)) return {};
  const uint32_t width = *b.be(4, 4), height = *b.be(8, 4), bits = *b.be(12, 4);
  const uint32_t type = *b.be(20, 4), mapType = *b.be(24, 4), mapLength = *b.be(28, 4);
  enum : uint32_t { old = 0, standard = 1, runLength = 2, rgbOrder = 3 };
  enum : uint32_t { noMap = 0, rgbMap = 1 };
  const bool known =
      (bits == 1 || bits == 8 || bits == 24 || bits == 32) && type <= rgbOrder &&
      ((mapType == noMap && mapLength == 0) ||
       (mapType == rgbMap && bits <= 8 && mapLength > 0 && mapLength <= 768 && mapLength % 3 == 0));
  if (!known || !allowedSize(width, height) || !b.has(32, mapLength)) return {};

  // Without a map, 8 bits are grey levels and 1 bit is black or white; a map gives its reds,
  // then its greens, then its blues.
  Palette palette{};
  if (mapType == rgbMap) {
    const size_t n = mapLength / 3;
    for (size_t i = 0; i < n; ++i) {
      palette[i] = cv::Vec3b(b.data[32 + 2 * n + i], b.data[32 + n + i], b.data[32 + i]);
    }
  } else {
    for (int i = 0; i < 256; ++i)
      palette[size_t(i)] = cv::Vec3b::all(uint8_t(bits == 1 ? i * 255 : i));
  }
  // Rows padded to 16 bits.
  const size_t pitch = (size_t(width) * bits + 15) / 16 * 2, at = 32 + mapLength;
  const uint64_t total = uint64_t(pitch) * height;
  std::vector<uint8_t> unpacked;
  const uint8_t* pixels = b.data.data() + at;
  if (type == runLength) {
    // 0x80 n v is n + 1 copies of v, 0x80 0 a single 0x80; any other byte stands for itself.
    // At most 256 bytes come from three: a file too short for its size is refused unread.
    if (!fits(b.data.size(), at, (total + 255) / 256, 3)) return {};
    unpacked.reserve(total);
    for (size_t i = at; unpacked.size() < total;) {
      if (!b.has(i, 1)) return {};
      if (b.data[i] != 0x80) {
        unpacked.push_back(b.data[i++]);
      } else if (b.has(i + 1, 1) && b.data[i + 1] == 0) {
        unpacked.push_back(0x80);
        i += 2;
      } else if (b.has(i + 1, 2)) {
        const size_t n = std::min<uint64_t>(b.data[i + 1] + 1u, total - unpacked.size());
        unpacked.insert(unpacked.end(), n, b.data[i + 2]);
        i += 3;
      } else {
        return {};
      }
    }
    pixels = unpacked.data();
  } else if (!fits(b.data.size(), at, height, pitch)) {
    return {};
  }

  cv::Mat out(int(height), int(width), CV_8UC3);
  const bool rgb = type == rgbOrder;
  for (int y = 0; y < out.rows; ++y) {
    const uint8_t* in = pixels + pitch * size_t(y);
    cv::Vec3b* row = out.ptr<cv::Vec3b>(y);
    for (int x = 0; x < out.cols; ++x) {
      if (bits == 1) {
        row[x] = palette[size_t((in[x / 8] >> (7 - x % 8)) & 1)];
      } else if (bits == 8) {
        row[x] = palette[in[x]];
      } else {
        // 24 bits as blue, green, red (red first in RGB order); 32 bits with a pad byte first.
        const uint8_t* p = in + x * (bits / 8) + (bits == 32 ? 1 : 0);
        row[x] = rgb ? cv::Vec3b(p[2], p[1], p[0]) : cv::Vec3b(p[0], p[1], p[2]);
      }
    }
  }
  return out;
}

}  // namespace plumvane
