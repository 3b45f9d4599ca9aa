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

}  // namespace plumvane
