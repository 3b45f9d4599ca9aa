#include "cli/arguments.h"

#include <algorithm>
#include <limits>

namespace plumvane {

std::optional<int64_t> parseInt64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate towards the negative side, which holds one value more than the positive side.
  int64_t value = 0;
  constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    if (value < (lowest + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (negative) return value;
  if (value == lowest) return std::nullopt;
  return -value;
}

int64_t findMax(const std::vector<std::string>& args, int64_t fallback) {
  const auto found = std::find(args.begin(), args.end(), "--max");
  if (found == args.end() || found + 1 == args.end()) return fallback;
  return parseInt64(*(found + 1)).value_or(fallback);
}

Command parseCommand(const std::vector<std::string>& args, bool instanceMasksAvailable) {
  if (args.size() < 3) return UsageRequest{};
  if (args.size() >= 4) {
    if (args[1] == "--cutout") return CutoutRequest{args[2], args[3]};
    if (args[1] == "--image") {
      return PosterRequest{args[2], args[3], findMax(args, defaultPosterMaxSide)};
    }
  }
  RunSettings settings;
  settings.input = args[1];
  settings.outDir = args[2];
  settings.maxSide = findMax(args, defaultVideoMaxSide);
  settings.usePerson = std::find(args.begin(), args.end(), "--person") != args.end();
  if (!instanceMasksAvailable) settings.usePerson = true;
  return settings;
}

}  // namespace plumvane
