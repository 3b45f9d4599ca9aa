#include "run/output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "run/fail.h"

namespace plumvane {
namespace {

[[noreturn]] void failToWrite() {
  const int error = errno;
  fail(std::string("can't write to standard output: ") + std::strerror(error ? error : EIO));
}

}  // namespace

void printLine(std::string_view line) {
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() ||
      std::fputc('\n', stdout) == EOF || std::fflush(stdout) != 0) {
    failToWrite();
  }
}

void finishOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) failToWrite();
}

}  // namespace plumvane
