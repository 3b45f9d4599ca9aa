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

bool isLower(char32_t p) {
  return p >= 'a' && p <= 'z';
}
bool isUpper(char32_t p) {
  return p >= 'A' && p <= 'Z';
}

// On a line of capitals (no small letter, at least two capitals), a zero in a word of capitals
// without other digits is the letter O: in display type the two are often drawn alike, and the
// recogniser reads the narrower for a zero ("CEASE T0").
std::string withLettersForZeros(std::string line) {
  if (std::any_of(line.begin(), line.end(), isLower) ||
      std::count_if(line.begin(), line.end(), isUpper) < 2)
    return line;
  for (size_t start = 0; start < line.size();) {
    const size_t end = std::min(line.find(' ', start), line.size());
    const auto word = line.begin() + std::ptrdiff_t(start),
               after = line.begin() + std::ptrdiff_t(end);
    const bool otherDigits = std::any_of(word, after, [](char c) { return c >= '1' && c <= '9'; });
    if (!otherDigits && std::any_of(word, after, isUpper)) std::replace(word, after, '0', 'O');
    start = end + 1;
  }
  return line;
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
  return latin ? withLettersForZeros(std::move(out)) : out;
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

namespace plumvane {

namespace {

bool isBlank(const std::string& character) {
  return character == " " || character == "\u3000" || character == "\t";
}

// ASCII letters, and the letters of the Latin-1 supplement and beyond; not the signs the Latin
// model reads for letters of display type ("$" for S, "¥" for Y).
bool isLetter(char32_t p) {
  return isLower(p) || isUpper(p) || (p >= 0xC0 && p != 0xD7 && p != 0xF7);
}
char32_t lowered(char32_t p) {
  return isUpper(p) ? p + ('a' - 'A') : p;
}

// Whether the word's ASCII letters are all lower case, all upper case, or an upper-case letter
// followed by lower-case ones.
bool plainCase(const std::vector<char32_t>& word) {
  std::vector<char32_t> letters;
  for (char32_t p : word)
    if (isLower(p) || isUpper(p)) letters.push_back(p);
  if (letters.size() < 2) return true;
  const auto lower = std::count_if(letters.begin() + 1, letters.end(), isLower);
  return lower == 0 ? isUpper(letters[0]) : size_t(lower) == letters.size() - 1;
}

bool sameButCase(const std::vector<char32_t>& a, const std::vector<char32_t>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char32_t x, char32_t y) { return lowered(x) == lowered(y); });
}

// Each of the code points `ours` of the decoded text: the recogniser's probability for it and
// its second choice there; blanks, which the emissions needn't hold, are sure. False when the
// characters and the emissions don't match one to one.
bool choicesOf(const DecodedText& decoded, const std::vector<char32_t>& ours,
               std::vector<float>& sure, std::vector<std::vector<char32_t>>& second) {
  sure.assign(ours.size(), 1.0f);
  second.assign(ours.size(), {});
  size_t e = 0;
  const auto skipBlanks = [&] {
    while (e < decoded.emissions.size() && isBlank(decoded.emissions[e].character)) ++e;
  };
  for (size_t i = 0; i < ours.size(); ++i) {
    if (ours[i] == ' ') continue;
    skipBlanks();
    if (e == decoded.emissions.size() || codePoints(decoded.emissions[e].character).size() != 1) {
      return false;
    }
    second[i] = codePoints(decoded.emissions[e].runnerUp);
    sure[i] = decoded.emissions[e++].probability;
  }
  skipBlanks();
  return e == decoded.emissions.size();
}

char32_t otherCase(char32_t p) {
  return isUpper(p) ? p + ('a' - 'A') : isLower(p) ? p - ('a' - 'A') : p;
}

}  // namespace

std::string withDoubtfulCaseOfItsWord(const DecodedText& decoded) {
  std::vector<char32_t> ours = codePoints(decoded.text);
  std::vector<float> sure;
  std::vector<std::vector<char32_t>> second;
  if (!choicesOf(decoded, ours, sure, second)) return decoded.text;
  for (size_t start = 0; start < ours.size();) {
    size_t end = start;
    while (end < ours.size() && ours[end] != ' ') ++end;
    for (size_t k = start; k < end; ++k) {
      const char32_t other = otherCase(ours[k]);
      if (other == ours[k] || sure[k] >= doubtfulLetter || second[k] != std::vector{other}) {
        continue;
      }
      // The word's other letters after its first, which may be a capital either way.
      size_t inOtherCase = 0, inOwnCase = 0;
      for (size_t j = start + 1; j < end; ++j) {
        if (j == k || otherCase(ours[j]) == ours[j]) continue;
        (isUpper(ours[j]) == isUpper(other) ? inOtherCase : inOwnCase) += 1;
      }
      const bool flip = inOtherCase > 0 && inOwnCase == 0 && (k > start || isUpper(other));
      if (flip) ours[k] = other;
    }
    start = end + 1;
  }
  std::string text;
  for (char32_t p : ours) appendUtf8(text, p);
  return text;
}

bool hasSureCjk(const DecodedText& decoded) {
  return std::any_of(decoded.emissions.begin(), decoded.emissions.end(),
                     [](const auto& e) { return e.probability >= sureCjk && hasCjk(e.character); });
}

std::string withDoubtsReadFrom(const DecodedText& decoded, std::string_view latin) {
  const std::vector<char32_t> ours = codePoints(decoded.text), theirs = codePoints(latin);
  std::vector<float> sure;
  std::vector<std::vector<char32_t>> second;
  if (!choicesOf(decoded, ours, sure, second)) return decoded.text;

  // The edit distances between the readings' beginnings, then the alignment traced back.
  const size_t n = ours.size(), m = theirs.size();
  std::vector<int> cost((n + 1) * (m + 1));
  const auto at = [m](size_t i, size_t j) { return i * (m + 1) + j; };
  for (size_t i = 0; i <= n; ++i) cost[at(i, 0)] = int(i);
  for (size_t j = 0; j <= m; ++j) cost[at(0, j)] = int(j);
  for (size_t i = 1; i <= n; ++i) {
    for (size_t j = 1; j <= m; ++j) {
      cost[at(i, j)] = std::min({cost[at(i - 1, j)] + 1, cost[at(i, j - 1)] + 1,
                                 cost[at(i - 1, j - 1)] + int(ours[i - 1] != theirs[j - 1])});
    }
  }
  struct Step {
    char32_t character;
    bool replaced = false;
    bool blankBeside = false;  // a blank only the Latin reading has
  };
  std::vector<Step> steps;
  // Among alignments as good, a character is not paired with a blank.
  const auto paired = [&](size_t i, size_t j, bool withBlank) {
    return i > 0 && j > 0 &&
           cost[at(i, j)] == cost[at(i - 1, j - 1)] + int(ours[i - 1] != theirs[j - 1]) &&
           (withBlank || ours[i - 1] == theirs[j - 1] ||
            (ours[i - 1] != ' ' && theirs[j - 1] != ' '));
  };
  for (size_t i = n, j = m; i > 0 || j > 0;) {
    const bool left = i > 0 && cost[at(i, j)] == cost[at(i - 1, j)] + 1;
    const bool added = j > 0 && cost[at(i, j)] == cost[at(i, j - 1)] + 1;
    if (paired(i, j, !left && !added)) {
      const bool replace = ours[i - 1] != theirs[j - 1] && sure[i - 1] < doubtfulLetter &&
                           isLetter(theirs[j - 1]) &&
                           second[i - 1] == std::vector<char32_t>{theirs[j - 1]};
      steps.push_back({replace ? theirs[j - 1] : ours[i - 1], replace});
      --i, --j;
    } else if (left) {
      steps.push_back({ours[i - 1]});
      --i;
    } else {
      if (theirs[j - 1] == ' ') steps.push_back({' ', false, true});
      --j;
    }
  }
  std::reverse(steps.begin(), steps.end());

  std::vector<std::vector<char32_t>> words(1);
  std::vector<bool> changed(1, false);
  for (size_t k = 0; k < steps.size(); ++k) {
    const Step& step = steps[k];
    if (step.blankBeside && !(k > 0 && steps[k - 1].replaced) &&
        !(k + 1 < steps.size() && steps[k + 1].replaced)) {
      continue;
    }
    if (step.character == ' ') {
      if (!words.back().empty()) {
        words.emplace_back();
        changed.push_back(false);
      }
      continue;
    }
    words.back().push_back(step.character);
    if (step.replaced) changed.back() = true;
  }

  std::vector<std::vector<char32_t>> latinWords(1);
  for (char32_t p : theirs) {
    if (p != ' ') {
      latinWords.back().push_back(p);
    } else if (!latinWords.back().empty()) {
      latinWords.emplace_back();
    }
  }
  std::string text;
  for (size_t w = 0; w < words.size(); ++w) {
    if (words[w].empty()) continue;
    if (changed[w] && !plainCase(words[w])) {
      for (const auto& other : latinWords) {
        if (plainCase(other) && sameButCase(other, words[w])) {
          words[w] = other;
          break;
        }
      }
    }
    if (!text.empty()) text += ' ';
    for (char32_t p : words[w]) appendUtf8(text, p);
  }
  return text;
}

namespace {

size_t editDistance(const std::vector<char32_t>& x, const std::vector<char32_t>& y) {
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + size_t(x[i - 1] != y[j - 1])});
      diagonal = above;
    }
  }
  return row[y.size()];
}

}  // namespace

size_t editDistance(std::string_view a, std::string_view b) {
  return editDistance(codePoints(a), codePoints(b));
}

size_t letterDistance(std::string_view a, std::string_view b) {
  std::vector<char32_t> x = codePoints(a), y = codePoints(b);
  std::erase(x, U' ');
  std::erase(y, U' ');
  return editDistance(x, y);
}

}  // namespace plumvane
