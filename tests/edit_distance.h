// The character error measure of the text tests and benchmarks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/vision/text/text_tidying.h"

namespace plumvane::testing {

// The characters of UTF-8 text, each as its bytes.
inline std::vector<std::string_view> characters(std::string_view text) {
  std::vector<std::string_view> out;
  for (size_t i = 0; i < text.size();) {
    size_t n = 1;  // continuation bytes (10xxxxxx) belong to the character before them
    while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

// The Levenshtein distance between two UTF-8 strings, over characters.
using plumvane::editDistance;

}  // namespace plumvane::testing
