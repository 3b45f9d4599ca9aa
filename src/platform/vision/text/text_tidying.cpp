#include "platform/vision/text/text_tidying.h"

#include <algorithm>
#include <vector>

namespace plumvane {

namespace {

// The code points of UTF-8 text; a malformed byte stands for itself.
std::vector<char32_t> codePoints(std::string_view text) {
  std::vector<char32_t> points;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80       ? 1
                       : lead >> 5 == 6  ? 2
                       : lead >> 4 == 14 ? 3
                       : lead >> 3 == 30 ? 4
                                         : 1;
    if (length == 1 || i + size_t(length) > text.size()) {
      points.push_back(lead);
      ++i;
      continue;
    }
    char32_t point = lead & (0x7F >> length);
    for (int k = 1; k < length; ++k)
      point = point << 6 | (static_cast<unsigned char>(text[i + size_t(k)]) & 0x3F);
    points.push_back(point);
    i += size_t(length);
  }
  return points;
}

void appendUtf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += char(point);
  } else if (point < 0x800) {
    out += char(0xC0 | point >> 6);
    out += char(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += char(0xE0 | point >> 12);
    out += char(0x80 | (point >> 6 & 0x3F));
    out += char(0x80 | (point & 0x3F));
  } else {
    out += char(0xF0 | point >> 18);
    out += char(0x80 | (point >> 12 & 0x3F));
    out += char(0x80 | (point >> 6 & 0x3F));
    out += char(0x80 | (point & 0x3F));
  }
}

// Ideographs, kana and hangul; not the CJK punctuation block, whose ideographic space the
// recogniser also gives between Latin words.
bool isCjk(char32_t p) {
  return (p >= 0x2E80 && p <= 0x2FFF) || (p >= 0x3040 && p <= 0x9FFF) ||
         (p >= 0xAC00 && p <= 0xD7AF) || (p >= 0xF900 && p <= 0xFAFF) ||
         (p >= 0x20000 && p <= 0x2FFFF);
}

}  // namespace

bool hasCjk(std::string_view text) {
  const auto points = codePoints(text);
  return std::any_of(points.begin(), points.end(), isCjk);
}

std::string tidiedText(std::string_view text) {
  const auto points = codePoints(text);
  const bool latin = !std::any_of(points.begin(), points.end(), isCjk);
  std::string out;
  bool blank = false;
  for (size_t i = 0; i < points.size(); ++i) {
    char32_t p = points[i];
    if (latin && p >= 0xFF01 && p <= 0xFF5E) p -= 0xFF01 - 0x21;  // full-width forms
    if (p == 0x3000 || p == '\t') p = ' ';
    if (p == ' ') {
      blank = !out.empty();
      continue;
    }
    if (blank) out += ' ';
    blank = false;
    if (latin && p == 0x2103) {  // the Celsius sign, read where a degree sign and C stand
      if (out.size() < 2 || out.compare(out.size() - 2, 2, "\xC2\xB0") != 0) out += "\xC2\xB0";
      out += 'C';
      continue;
    }
    appendUtf8(out, p);
  }
  return out;
}

std::string withPlainWordsFrom(std::string_view latin, std::string_view other) {
  const auto words = [](std::string_view text) {
    std::vector<std::string_view> found;
    size_t at = 0;
    while (at < text.size()) {
      const size_t end = std::min(text.find(' ', at), text.size());
      if (end > at) found.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return found;
  };
  const std::vector<std::string_view> ours = words(latin), theirs = words(other);
  if (ours.size() != theirs.size()) return std::string(latin);
  std::string text;
  for (size_t i = 0; i < ours.size(); ++i) {
    const bool plain =
        std::all_of(ours[i].begin(), ours[i].end(), [](char c) { return (c & 0x80) == 0; });
    if (!text.empty()) text += ' ';
    text += plain ? theirs[i] : ours[i];
  }
  return text;
}

}  // namespace plumvane
