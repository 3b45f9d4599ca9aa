#include "platform/text_decoding.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <numeric>

namespace plumvane {

Size2 detectionInputSize(int width, int height, int maxSide, int multiple) {
  const int longer = std::max(width, height);
  const double ratio = longer > maxSide ? double(maxSide) / longer : 1.0;
  auto fit = [&](int side) {
    const double scaled = std::floor(side * ratio);
    return std::max(int(std::lround(scaled / multiple)) * multiple, multiple);
  };
  return Size2{fit(width), fit(height)};
}

std::vector<std::string> recognitionClasses(const std::filesystem::path& keysFile) {
  std::vector<std::string> classes = {""};
  std::ifstream in(keysFile);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    classes.push_back(line);
  }
  classes.push_back(" ");
  return classes;
}

DecodedText ctcGreedyDecode(const float* probabilities, int steps, int classes,
                            const std::vector<std::string>& characters) {
  DecodedText out;
  int previous = -1;
  double sum = 0;
  int kept = 0;
  for (int t = 0; t < steps; ++t) {
    const float* row = probabilities + size_t(t) * size_t(classes);
    const int best = int(std::max_element(row, row + classes) - row);
    if (best != previous && best != 0 && size_t(best) < characters.size()) {
      out.text += characters[size_t(best)];
      out.emissions.push_back({characters[size_t(best)], t, t});
      sum += row[best];
      ++kept;
    } else if (best == previous && best != 0 && !out.emissions.empty()) {
      out.emissions.back().last = t;
    }
    previous = best;
  }
  out.confidence = kept ? float(sum / kept) : 0.0f;
  return out;
}

std::string spacedFromInk(const DecodedText& decoded, const InkProfile& ink,
                          double columnsPerStep) {
  // The characters, where each lies, and whether the model put a space before it.
  struct Placed {
    const std::string* character;
    double x;
    bool spaceBefore;
  };
  std::vector<Placed> placed;
  bool space = false;
  for (const auto& e : decoded.emissions) {
    if (e.character == " ") {
      space = !placed.empty();
      continue;
    }
    placed.push_back({&e.character, ((e.first + e.last) / 2.0 + 0.5) * columnsPerStep, space});
    space = false;
  }
  if (placed.size() < 2) return decoded.text;

  // The widest ink-free run of columns between each pair of neighbours.
  const int columns = int(ink.columns.size());
  std::vector<int> gaps;
  for (size_t i = 1; i < placed.size(); ++i) {
    const int from = std::clamp(int(placed[i - 1].x), 0, columns);
    const int to = std::clamp(int(placed[i].x), 0, columns);
    int widest = 0, run = 0;
    for (int x = from; x < to; ++x) {
      run = ink.columns[size_t(x)] == 0 ? run + 1 : 0;
      widest = std::max(widest, run);
    }
    gaps.push_back(widest);
  }
  std::vector<int> letterGaps;
  for (size_t i = 1; i < placed.size(); ++i) {
    if (!placed[i].spaceBefore) letterGaps.push_back(gaps[i - 1]);
  }
  if (letterGaps.empty()) letterGaps = gaps;
  // The lower median: on a short line, one of two gaps may well be the space.
  const size_t middle = (letterGaps.size() - 1) / 2;
  std::nth_element(letterGaps.begin(), letterGaps.begin() + long(middle), letterGaps.end());
  const double usual = letterGaps[middle];

  std::string text = *placed[0].character;
  for (size_t i = 1; i < placed.size(); ++i) {
    const std::string &before = *placed[i - 1].character, &after = *placed[i].character;
    const auto is = [](const std::string& c, std::string_view set) {
      return c.size() == 1 && set.find(c[0]) != std::string_view::npos;
    };
    // Narrow glyphs drawn at a fixed width (a 1 among digits, punctuation in a monospaced
    // name such as Override.xml) stand in wide gaps: digits take twice the gap to be parted,
    // and no space is put before closing punctuation, after an opening bracket, or between a
    // full stop and a small letter or digit.
    const double share = is(before, "0123456789") && is(after, "0123456789") ? 0.4 : 0.2;
    const bool joined = is(after, ".,:;!?)]}%") || is(before, "([{") ||
                        (before == "." && !after.empty() &&
                         (std::islower(static_cast<unsigned char>(after[0])) ||
                          std::isdigit(static_cast<unsigned char>(after[0]))));
    if (placed[i].spaceBefore || (!joined && gaps[i - 1] - usual >= share * ink.inkHeight)) {
      text += ' ';
    }
    text += after;
  }
  return text;
}

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

std::vector<std::vector<size_t>> groupIntoLines(const std::vector<Rect>& boxes) {
  // Union-find over the pairs that belong together.
  std::vector<size_t> parent(boxes.size());
  std::iota(parent.begin(), parent.end(), 0);
  const auto root = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  for (size_t i = 0; i < boxes.size(); ++i) {
    for (size_t j = i + 1; j < boxes.size(); ++j) {
      const Rect& a = boxes[i];
      const Rect& b = boxes[j];
      const double overlap = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
      const double gap = std::max(a.minX(), b.minX()) - std::min(a.maxX(), b.maxX());
      if (overlap >= 0.6 * std::min(a.height, b.height) && gap <= (a.height + b.height) / 2) {
        parent[root(i)] = root(j);
      }
    }
  }
  std::vector<std::vector<size_t>> groups;
  std::vector<long> groupOf(boxes.size(), -1);
  for (size_t i = 0; i < boxes.size(); ++i) {
    const size_t r = root(i);
    if (groupOf[r] < 0) {
      groupOf[r] = long(groups.size());
      groups.emplace_back();
    }
    groups[size_t(groupOf[r])].push_back(i);
  }
  return groups;
}

std::vector<size_t> readingOrder(const std::vector<Rect>& boxes, double sameLine) {
  std::vector<size_t> order(boxes.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (boxes[a].y != boxes[b].y) return boxes[a].y < boxes[b].y;
    return boxes[a].x < boxes[b].x;
  });
  // Within a line, tops differ a little: bubble left-hand boxes forward past them.
  for (size_t i = 1; i < order.size(); ++i) {
    for (size_t j = i; j > 0; --j) {
      const Rect& left = boxes[order[j]];
      const Rect& right = boxes[order[j - 1]];
      if (std::abs(left.y - right.y) < sameLine && left.x < right.x) {
        std::swap(order[j], order[j - 1]);
      } else {
        break;
      }
    }
  }
  return order;
}

}  // namespace plumvane
