// The fuzzers' input as a file: the decoders under test read paths, not memory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace plumvane::fuzzing {

// One in-memory file for the whole run, refilled with each input; its path opens it anew.
inline std::string asFile(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("plumvane-fuzz-input", 0);
  if (ftruncate(fd, 0) != 0 || (size > 0 && pwrite(fd, data, size, 0) != ssize_t(size))) return {};
  return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace plumvane::fuzzing
