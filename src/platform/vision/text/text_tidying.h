// A recognised line tidied into the text as written.
#pragma once

#include <string>
#include <string_view>

namespace plumvane {

// Whether UTF-8 text holds a Chinese, Japanese or Korean character.
bool hasCjk(std::string_view text);

// The recognised line as written: blanks trimmed and runs of them made one; on a line without
// CJK, full-width letters, digits and signs (which the recogniser gives for widely spaced Latin
// text) become their ASCII forms and the Celsius sign becomes a degree sign and C.
std::string tidiedText(std::string_view text);

// The Latin-script model's reading of a line with each of its plain words (all ASCII) that
// differs from the other reader's word at the same place replaced by that word, when both
// readings have as many words (blank-separated); otherwise the Latin reading as it is. The
// Latin model is the one to trust for accented and other letters beyond ASCII, but on plain
// words in display faces it misreads letters that PP-OCR reads right ("Qul" for "Oui").
std::string withPlainWordsFrom(std::string_view latin, std::string_view other);

}  // namespace plumvane
