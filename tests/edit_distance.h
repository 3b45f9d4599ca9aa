// The character error measure of the text tests and benchmarks.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

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
inline size_t editDistance(const std::string& a, const std::string& b) {
  const auto x = characters(a), y = characters(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] != y[j - 1])});
      diagonal = up;
    }
  }
  return row[y.size()];
}

}  // namespace plumvane::testing
