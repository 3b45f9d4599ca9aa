// PNM and PAM, PFM and Radiance HDR: the formats whose header is text.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files/file_bytes.h"
#include "platform/files/simple_decoders.h"

namespace plumvane {
namespace {

bool isSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The fields of a text header and of PNM's text pixels: separated by whitespace, with '#' to
// the end of the line a comment.
struct TextReader {
  const FileBytes& b;
  size_t at;

  void skipSpaceAndComments() {
    while (b.has(at, 1)) {
      if (b.data[at] == '#') {
        while (b.has(at, 1) && b.data[at] != '\n' && b.data[at] != '\r') ++at;
      } else if (isSpace(b.data[at])) {
        ++at;
      } else {
        return;
      }
    }
  }
  // The next whole number of at most maxDigits digits (text PBM packs its one-digit values
  // together); -1 when the next field is not one. The byte after it is left unread.
  int64_t number(int maxDigits = 9) {
    skipSpaceAndComments();
    int64_t value = 0;
    int digits = 0;
    while (digits < maxDigits && b.has(at, 1) && std::isdigit(b.data[at])) {
      value = value * 10 + (b.data[at++] - '0');
      ++digits;
    }
    return digits > 0 && (!b.has(at, 1) || digits == maxDigits || !std::isdigit(b.data[at])) ? value
                                                                                             : -1;
  }
  // The next field of at most 32 characters; empty when there is none or it is longer.
  std::string word() {
    skipSpaceAndComments();
    std::string field;
    while (b.has(at, 1) && !isSpace(b.data[at])) {
      if (field.size() == 32) return {};
      field += char(b.data[at++]);
    }
    return field;
  }
  // The one whitespace byte that ends a header before binary data.
  bool endOfHeader() {
    if (!b.has(at, 1) || !isSpace(b.data[at])) return false;
    ++at;
    return true;
  }
};

// Samples of `channels` per pixel (grey, grey and alpha, RGB or RGBA, as the file orders them)
// into a matrix of the same channels in OpenCV's order, each scaled from 0..maxval to the
// matrix's full range. `sample` gives the next sample or -1 when the data is damaged.
template <typename T, typename Next>
cv::Mat scaledSamples(int width, int height, int channels, int maxval, Next sample) {
  const double full = sizeof(T) == 1 ? 255 : 65535;
  std::vector<T> scale(size_t(maxval) + 1);
  for (int v = 0; v <= maxval; ++v) scale[size_t(v)] = T(std::lround(v * full / maxval));
  cv::Mat out(height, width, CV_MAKETYPE(cv::DataType<T>::depth, channels));
  const int order[4] = {channels >= 3 ? 2 : 0, 1, channels >= 3 ? 0 : 2, 3};
  for (int y = 0; y < height; ++y) {
    T* row = out.ptr<T>(y);
    for (int x = 0; x < width; ++x, row += channels) {
      for (int c = 0; c < channels; ++c) {
        const int64_t v = sample();
        if (v < 0) return {};
        row[order[c]] = scale[size_t(std::min<int64_t>(v, maxval))];
      }
    }
  }
  return out;
}

cv::Mat pnmSamples(const FileBytes& b, TextReader& text, bool binary, int width, int height,
                   int channels, int maxval) {
  const bool deep = maxval > 255;
  const size_t count = size_t(width) * size_t(height) * size_t(channels);
  // Binary samples must all be there; text ones take at least a byte each.
  if (!fits(b.data.size(), text.at, count, binary ? (deep ? 2 : 1) : 1)) return {};
  size_t at = text.at;
  auto binarySample = [&]() -> int64_t {
    const int64_t v = deep ? (b.data[at] << 8 | b.data[at + 1]) : b.data[at];
    at += deep ? 2 : 1;
    return v;
  };
  auto textSample = [&]() -> int64_t { return text.number(); };
  if (deep) {
    return binary ? scaledSamples<uint16_t>(width, height, channels, maxval, binarySample)
                  : scaledSamples<uint16_t>(width, height, channels, maxval, textSample);
  }
  return binary ? scaledSamples<uint8_t>(width, height, channels, maxval, binarySample)
                : scaledSamples<uint8_t>(width, height, channels, maxval, textSample);
}

// PBM, where 1 is black: as text (digits that may touch) or packed eight to a byte.
cv::Mat bitmap(const FileBytes& b, TextReader& text, bool binary, int width, int height) {
  const size_t pitch = (size_t(width) + 7) / 8;
  if (!fits(b.data.size(), text.at, binary ? pitch * size_t(height) : size_t(width) * height, 1)) {
    return {};
  }
  cv::Mat out(height, width, CV_8UC1);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = out.ptr(y);
    const size_t packed = text.at + pitch * size_t(y);
    for (int x = 0; x < width; ++x) {
      const int64_t bit =
          binary ? (b.data[packed + size_t(x) / 8] >> (7 - x % 8)) & 1 : text.number(1);
      if (bit < 0 || bit > 1) return {};
      row[x] = bit ? 0 : 255;
    }
  }
  return out;
}

cv::Mat pam(const FileBytes& b, TextReader& text) {
  int64_t width = -1, height = -1, depth = -1, maxval = -1;
  for (int fields = 0;; ++fields) {
    const std::string key = text.word();
    if (key.empty() || fields > 64) return {};
    if (key == "ENDHDR") break;
    if (key == "WIDTH") width = text.number();
    if (key == "HEIGHT") height = text.number();
    if (key == "DEPTH") depth = text.number();
    if (key == "MAXVAL") maxval = text.number();
    if (key == "TUPLTYPE") text.word();
  }
  if (!text.endOfHeader() || !allowedSize(width, height) || depth < 1 || depth > 4 || maxval < 1 ||
      maxval > 65535) {
    return {};
  }
  return pnmSamples(b, text, true, int(width), int(height), int(depth), int(maxval));
}

}  // namespace

cv::Mat decodePnm(std::span<const uint8_t> file) {
  const FileBytes b{file};
  if (!b.has(0, 3) || b.data[0] != 'P' || b.data[1] < '1' || b.data[1] > '7' ||
      !isSpace(b.data[2])) {
    return {};
  }
  const int kind = b.data[1] - '0';
  TextReader text{b, 2};
  if (kind == 7) return pam(b, text);
  const int64_t width = text.number(), height = text.number();
  const bool bits = kind == 1 || kind == 4, binary = kind >= 4;
  const int64_t maxval = bits ? 1 : text.number();
  if (!allowedSize(width, height) || maxval < 1 || maxval > 65535) return {};
  if (binary && !text.endOfHeader()) return {};
  if (bits) return bitmap(b, text, binary, int(width), int(height));
  const int channels = kind == 3 || kind == 6 ? 3 : 1;
  return pnmSamples(b, text, binary, int(width), int(height), channels, int(maxval));
}

cv::Mat decodePfm(std::span<const uint8_t> file) {
  const FileBytes b{file};
  if (!b.has(0, 3) || b.data[0] != 'P' || (b.data[1] != 'F' && b.data[1] != 'f') ||
      !isSpace(b.data[2])) {
    return {};
  }
  const int channels = b.data[1] == 'F' ? 3 : 1;
  TextReader text{b, 2};
  const int64_t width = text.number(), height = text.number();
  const std::string scaleText = text.word();
  char* end = nullptr;
  const float scale = std::strtof(scaleText.c_str(), &end);
  if (scaleText.empty() || *end != '\0' || !std::isfinite(scale) || scale == 0 ||
      !allowedSize(width, height) || !text.endOfHeader() ||
      !fits(b.data.size(), text.at, uint64_t(width) * uint64_t(height) * uint64_t(channels), 4)) {
    return {};
  }
  const bool littleEndian = scale < 0;
  const float factor = 1 / std::fabs(scale);
  cv::Mat out(int(height), int(width), CV_MAKETYPE(CV_32F, channels));
  const uint8_t* in = b.data.data() + text.at;
  for (int y = out.rows - 1; y >= 0; --y) {  // the bottom row comes first
    float* row = out.ptr<float>(y);
    for (int x = 0; x < out.cols; ++x) {
      for (int c = 0; c < channels; ++c, in += 4) {
        const uint32_t bits =
            littleEndian ? uint32_t(in[0] | in[1] << 8 | in[2] << 16) | uint32_t(in[3]) << 24
                         : uint32_t(in[3] | in[2] << 8 | in[1] << 16) | uint32_t(in[0]) << 24;
        float v;
        std::memcpy(&v, &bits, 4);
        row[x * channels + (channels == 3 ? 2 - c : 0)] = std::isnan(v) ? 0 : v * factor;
      }
    }
  }
  return out;
}

namespace {

// One scanline of RGBE pixels at `at`, run-length encoded by channel or flat, into `rgbe`.
// Advances `at`; false when the data is damaged or runs out.
bool radianceScanline(const FileBytes& b, size_t& at, std::vector<uint8_t>& rgbe, int width) {
  const size_t w = size_t(width);
  const bool encoded = width >= 8 && width <= 0x7fff && b.has(at, 4) && b.data[at] == 2 &&
                       b.data[at + 1] == 2 && !(b.data[at + 2] & 0x80);
  if (!encoded) {  // flat: four bytes a pixel
    if (!b.has(at, 4 * w)) return false;
    std::copy_n(b.data.begin() + long(at), 4 * w, rgbe.begin());
    at += 4 * w;
    return true;
  }
  if ((b.data[at + 2] << 8 | b.data[at + 3]) != width) return false;
  at += 4;
  // Each channel in turn: a count above 128 repeats the next byte, any other copies the bytes.
  for (size_t channel = 0; channel < 4; ++channel) {
    for (size_t x = 0; x < w;) {
      if (!b.has(at, 2)) return false;
      const size_t code = b.data[at];
      const bool run = code > 128;
      const size_t count = run ? code - 128 : code;
      if (count == 0 || count > w - x || !b.has(at + 1, run ? 1 : count)) return false;
      for (size_t i = 0; i < count; ++i, ++x) {
        rgbe[x * 4 + channel] = b.data[at + 1 + (run ? 0 : i)];
      }
      at += 1 + (run ? 1 : count);
    }
  }
  return true;
}

}  // namespace

cv::Mat decodeRadiance(std::span<const uint8_t> file) {
  const FileBytes b{file};
  if (!b.startsWith(0, "#?")) return {};
  // Header lines up to an empty one, then the resolution line.
  size_t at = 0;
  auto line = [&] {
    std::string text;
    while (b.has(at, 1) && b.data[at] != '\n') {
      if (text.size() < 256) text += char(b.data[at]);
      ++at;
    }
    if (b.has(at, 1)) ++at;
    return text;
  };
  line();
  for (std::string text = line();; text = line()) {
    if (!b.has(at, 1)) return {};
    if (text.empty()) break;
    if (text.rfind("FORMAT=", 0) == 0 && text != "FORMAT=32-bit_rle_rgbe") return {};
  }
  char yAxis[3] = {}, xAxis[3] = {};
  int height = 0, width = 0;
  const std::string resolution = line();
  if (std::sscanf(resolution.c_str(), "%2s %d %2s %d", yAxis, &height, xAxis, &width) != 4 ||
      (std::string(yAxis) != "-Y" && std::string(yAxis) != "+Y") || std::string(xAxis) != "+X" ||
      !allowedSize(width, height)) {
    return {};
  }
  // The fewest bytes a scanline can take: runs of 127 in each of four channels, or flat.
  const bool encodable = width >= 8 && width <= 0x7fff;
  const uint64_t leastPerRow =
      encodable ? 4 + 8 * uint64_t((width + 126) / 127) : 4 * uint64_t(width);
  if (!fits(b.data.size(), at, uint64_t(height), leastPerRow)) return {};
  const bool bottomUp = yAxis[0] == '+';
  cv::Mat out(height, width, CV_32FC3);
  std::vector<uint8_t> rgbe(size_t(width) * 4);
  for (int row = 0; row < height; ++row) {
    if (!radianceScanline(b, at, rgbe, width)) return {};
    float* bgr = out.ptr<float>(bottomUp ? height - 1 - row : row);
    for (size_t x = 0; x < size_t(width); ++x) {
      const uint8_t* p = &rgbe[x * 4];
      // A mantissa of 0..255 times two to the exponent less 136, 0 for a zero exponent.
      const float f = p[3] ? std::ldexp(1.0f, int(p[3]) - 136) : 0.0f;
      bgr[x * 3] = p[2] * f;
      bgr[x * 3 + 1] = p[1] * f;
      bgr[x * 3 + 2] = p[0] * f;
    }
  }
  return out;
}

}  // namespace plumvane
