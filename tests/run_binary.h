// Runs the built plumvane binary for end-to-end tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace plumvane::testing {

struct RunResult {
  int status = -1;  // exit status; -1 when the process did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the binary with the given arguments (not counting the command name), in directory cwd
// when it is not empty, with extra environment variables set and, when memoryLimit is not 0,
// its address space limited to that many bytes. Standard input is empty.
RunResult runPlumvane(const std::vector<std::string>& args, const std::string& cwd = "",
                      const std::vector<std::pair<std::string, std::string>>& env = {},
                      size_t memoryLimit = 0);

}  // namespace plumvane::testing
