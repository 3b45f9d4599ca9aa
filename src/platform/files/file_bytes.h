// Bounds-checked reading of a file's bytes, for the decoders of our own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "platform/files/picture_header.h"

namespace plumvane {

// A file's bytes with reads that give nothing instead of reaching past the end.
struct FileBytes {
  std::span<const uint8_t> data;

  bool has(size_t at, size_t count) const { return at <= data.size() && count <= data.size() - at; }
  bool startsWith(size_t at, std::string_view text) const {
    return has(at, text.size()) && std::memcmp(data.data() + at, text.data(), text.size()) == 0;
  }
  std::optional<uint32_t> be(size_t at, size_t count) const {
    if (!has(at, count)) return std::nullopt;
    uint32_t v = 0;
    for (size_t i = 0; i < count; ++i) v = v << 8 | data[at + i];
    return v;
  }
  std::optional<uint32_t> le(size_t at, size_t count) const {
    if (!has(at, count)) return std::nullopt;
    uint32_t v = 0;
    for (size_t i = count; i-- > 0;) v = v << 8 | data[at + i];
    return v;
  }
  std::span<const uint8_t> slice(size_t at, size_t count) const { return data.subspan(at, count); }
};

// Whether a picture of width x height may be allocated: both sides positive and no more than
// maxPixels pixels in all.
inline bool allowedSize(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= maxPixels && height <= maxPixels &&
         width * height <= maxPixels;
}

// Whether `count` items of `size` bytes each, from `at` on, lie inside a file of `fileSize`
// bytes; safe against overflow for any counts.
inline bool fits(size_t fileSize, size_t at, uint64_t count, uint64_t size) {
  if (at > fileSize) return false;
  const uint64_t left = fileSize - at;
  return size == 0 || count <= left / size;
}

}  // namespace plumvane
