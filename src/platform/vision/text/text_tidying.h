// A recognised line tidied into the text as written.
#pragma once

#include <string>
#include <string_view>

#include "platform/vision/text/ctc_decoding.h"

namespace plumvane {

// Whether UTF-8 text holds a Chinese, Japanese or Korean character.
bool hasCjk(std::string_view text);

// Whether the recogniser's reading holds a Chinese, Japanese or Korean character it gave with a
// probability of at least `sureCjk`. On a line of display type it reads a Latin letter now and
// then as an ideograph ("入" for an "A"), with a low probability.
inline constexpr float sureCjk = 0.5f;
bool hasSureCjk(const DecodedText& decoded);

// The recognised line as written: blanks trimmed and runs of them made one; on a line without
// CJK, full-width letters, digits and signs (which the recogniser gives for widely spaced Latin
// text) become their ASCII forms, the Celsius sign becomes a degree sign and C, and on a line of
// capitals a zero in a word of capitals without other digits becomes the letter O.
std::string tidiedText(std::string_view text);

// The Latin-script model's reading of a line with each of its plain words (all ASCII) that
// differs from the other reader's word at the same place replaced by that word, when both
// readings have as many words (blank-separated); otherwise the Latin reading as it is. The
// Latin model is the one to trust for accented and other letters beyond ASCII, but on plain
// words in display faces it misreads letters that PP-OCR reads right ("Qul" for "Oui").
std::string withPlainWordsFrom(std::string_view latin, std::string_view other);

// The recogniser's tidied reading (`decoded.text`, each of its characters given by one of
// `decoded.emissions`) with each character it gave with a probability below `doubtfulLetter`
// replaced by the Latin model's letter at the same place (the two readings aligned by their edit
// distance) when that letter was the recogniser's second choice there, and a blank the Latin
// reading has beside such a character added. A word whose letters then mix upper and lower case
// where the Latin model's word, the same but for case, doesn't ("kNOws" against "knows") takes
// the Latin word's case. In display faces the recogniser confuses letters (V and U, T and I,
// the case of letters that differ only in size) and is unsure of them; the Latin model reads
// those plainly, and where it reads a letter the recogniser thought unlikely, it is as often
// wrong. The reading as it is when its characters and emissions don't match one to one.
inline constexpr float doubtfulLetter = 0.9f;
std::string withDoubtsReadFrom(const DecodedText& decoded, std::string_view latin);

// The recogniser's tidied reading (as above) with each letter it doubts, whose second choice was
// the same letter in the other case, put in that case when the word's other letters after its
// first are all in it ("turN" becomes "turn", "KNOWs" "KNOWS"); a word's first letter is only
// made a capital. Letters that differ only in size (c, k, n, o, s, w...) are told apart by their
// height beside the others, which the recogniser judges poorly in display faces.
std::string withDoubtfulCaseOfItsWord(const DecodedText& decoded);

// The edit distance between two texts (UTF-8) over their characters; and over their characters
// but the blanks.
size_t editDistance(std::string_view a, std::string_view b);
size_t letterDistance(std::string_view a, std::string_view b);

}  // namespace plumvane
