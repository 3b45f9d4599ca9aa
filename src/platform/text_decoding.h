// The arithmetic around the text models: detection input size, the recogniser's characters and
// its CTC decoding, and the reading order of lines.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/geometry.h"

namespace plumvane {

// The detection input size for a width x height picture: scaled so that the longer side is at
// most maxSide (never enlarged), then each side rounded to the nearest multiple of `multiple`,
// at least one multiple.
struct Size2 {
  int width;
  int height;
};
Size2 detectionInputSize(int width, int height, int maxSide, int multiple);

// The recogniser's classes: index 0 is the CTC blank, then one per line of the keys file, then
// a space.
std::vector<std::string> recognitionClasses(const std::filesystem::path& keysFile);

struct DecodedText {
  std::string text;
  float confidence = 0;  // mean probability of the kept characters; 0 when none is kept
  // Each kept character, and the steps where its run begins and ends, in order.
  struct Emission {
    std::string character;
    int first = 0;
    int last = 0;
  };
  std::vector<Emission> emissions;
};

// Greedy CTC decoding of steps x classes probabilities: the most likely class per step, repeats
// collapsed, blanks dropped.
DecodedText ctcGreedyDecode(const float* probabilities, int steps, int classes,
                            const std::vector<std::string>& characters);

// Which columns of a line's picture hold ink, at the recogniser's input height: the count of
// ink pixels per column, and the height of the band that holds ink.
struct InkProfile {
  std::vector<int> columns;
  int inkHeight = 0;
};

// The decoded line with the spaces that the model left out put back. A recogniser trained on
// text without spaces runs words together, but its emissions say where each character lies:
// between two neighbours, the widest run of ink-free columns is their gap, and a gap wider than
// the line's usual gap between letters by a fifth of the ink's height is a space. Spaces the
// model emitted stay. columnsPerStep is the width of one decoding step in the profile's columns.
std::string spacedFromInk(const DecodedText& decoded, const InkProfile& ink, double columnsPerStep);

// Whether UTF-8 text holds a Chinese, Japanese or Korean character.
bool hasCjk(std::string_view text);

// The recognised line as written: blanks trimmed and runs of them made one; on a line without
// CJK, full-width letters, digits and signs (which the recogniser gives for widely spaced Latin
// text) become their ASCII forms and the Celsius sign becomes a degree sign and C.
std::string tidiedText(std::string_view text);

// Groups boxes, given in a top-left frame, into lines: two boxes are on one line when they
// overlap vertically by at least 60% of the lower of the two and the gap between them is at most
// the mean of their heights. The detector finds words apart where letters are widely spaced;
// a line of a poster is one piece. Returns the groups, each in ascending index order.
std::vector<std::vector<size_t>> groupIntoLines(const std::vector<Rect>& topLeftBoxes);

// Sorts boxes, given in a top-left frame (y down), into reading order: top to bottom, and left
// to right among boxes whose tops lie within `sameLine` pixels of each other. Returns indexes.
std::vector<size_t> readingOrder(const std::vector<Rect>& topLeftBoxes, double sameLine);

}  // namespace plumvane
