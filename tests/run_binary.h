// Runs the built plumvane binary for end-to-end tests.
#pragma once

#include <concepts>
#include <string>
#include <utility>
#include <vector>

namespace plumvane::testing {

// Whether these tests were built with AddressSanitizer, under which a process can't have its
// address space limited.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
#else
inline constexpr bool sanitized = false;
#endif

struct RunResult {
  int status = -1;  // exit status; -1 when the process did not exit normally
  int signal = 0;   // the signal that ended the process, if one did
  std::string out;  // standard output
  std::string err;  // standard error
};

struct RunOptions {
  std::string cwd{};                                       // the working directory, when not empty
  std::vector<std::pair<std::string, std::string>> env{};  // extra environment variables
  size_t memoryLimit = 0;    // a limit on the address space in bytes, when not 0
  std::string stdoutPath{};  // a file to open as standard output instead of a pipe, when not empty
  bool stdoutClosedByReader = false;  // standard output is a pipe nobody reads from
  // When not 0: this signal is sent as soon as a hidden file (a name starting with a dot) is
  // created in the existing directory signalWhileWritingIn, that is while a file is written.
  int signal = 0;
  std::string signalWhileWritingIn{};
};

// Runs the binary with the given arguments (not counting the command name). Standard input is
// empty.
RunResult runPlumvane(const std::vector<std::string>& args, const RunOptions& options = {});

// The same, in directory cwd.
inline RunResult runPlumvane(const std::vector<std::string>& args,
                             const std::same_as<std::string> auto& cwd) {
  return runPlumvane(args, RunOptions{.cwd = cwd});
}

}  // namespace plumvane::testing
