// Scratch folders for tests.
#pragma once

#include <string>

namespace plumvane::testing {

// A fresh empty directory under the system's temporary folder, named after the current test.
std::string freshDirectory();

}  // namespace plumvane::testing
