#include "run/number_text.h"

#include <charconv>

namespace plumvane {
namespace {

template <typename T>
std::string shortest(T value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  std::string s(text, result.ptr);
  if (s.find_first_of(".en") == std::string::npos) s += ".0";  // not 1e+20, inf or nan
  return s;
}

}  // namespace

std::string shortestFloat(float value) {
  return shortest(value);
}
std::string shortestDouble(double value) {
  return shortest(value);
}

}  // namespace plumvane
