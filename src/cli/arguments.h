// The command line: which mode runs, and with what settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "run/run_settings.h"

namespace plumvane {

inline constexpr std::string_view usageLine =
    "usage: plumvane <video> <out dir> [--max px] [--person] | plumvane --image <picture> <out "
    "dir> [--max px]";

inline constexpr int64_t defaultPosterMaxSide = 3000;

// Too few arguments: the run ends with the usage line.
struct UsageRequest {};

struct PosterRequest {
  std::string picture;
  std::string outDir;
  int64_t maxSide = defaultPosterMaxSide;
};

struct CutoutRequest {
  std::string picture;
  std::string target;
};

using Command = std::variant<UsageRequest, RunSettings, PosterRequest, CutoutRequest>;

// Reads the whole argument list (position 0 the command name) into the mode to run and its
// settings. instanceMasksAvailable says whether the subject model is installed; without it
// video mode segments with the person model whatever the arguments say. Pure: no I/O.
Command parseCommand(const std::vector<std::string>& args, bool instanceMasksAvailable);

// A decimal signed 64-bit integer: an optional '+' or '-', then one or more digits 0-9 and
// nothing else. Nothing when the text has another form or the value doesn't fit.
std::optional<int64_t> parseInt64(std::string_view text);

// The value after the first "--max" anywhere in args, or fallback when there is none, it is the
// last entry, or its value does not parse. 0 and negative values are returned as they are.
int64_t findMax(const std::vector<std::string>& args, int64_t fallback);

}  // namespace plumvane
