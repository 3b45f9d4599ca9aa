// Numbers as the program prints them.
#pragma once

#include <string>

namespace plumvane {

// The shortest decimal text that reads back as the same float, with ".0" after a whole number
// (30 -> "30.0", 12.5 -> "12.5").
std::string shortestFloat(float value);

// The shortest decimal text that reads back as the same double, with ".0" after a whole number
// (1200 -> "1200.0", 0.5 -> "0.5").
std::string shortestDouble(double value);

}  // namespace plumvane
