// Scratch folders for tests.
#pragma once

#include <string>

namespace plumvane::testing {

// A fresh empty directory in the build's test-scratch folder, named after the current test.
std::string freshDirectory();

}  // namespace plumvane::testing
