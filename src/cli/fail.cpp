#include "cli/fail.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace plumvane {

void fail(std::string_view message) {
  std::string line(message);
  line += '\n';
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    data += written;
    left -= size_t(written);
  }
  std::exit(1);
}

}  // namespace plumvane
