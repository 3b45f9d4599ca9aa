// Lines on standard output, which other programs read: each is delivered or the run fails.
#pragma once

#include <string_view>

namespace plumvane {

// Writes line and a line feed to standard output and flushes it at once. When standard output
// can't take it (a closed pipe, a full disk), the run ends through fail.
void printLine(std::string_view line);

// Flushes standard output at the end of a run; the run ends through fail when that fails.
void finishOutput();

}  // namespace plumvane
