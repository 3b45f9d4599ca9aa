#include "platform/process/freed_memory.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>

namespace plumvane {

void keepFreedMemory() {
  mallopt(M_MMAP_MAX, 0);              // large blocks come from the heap, so they can be reused
  mallopt(M_TRIM_THRESHOLD, 1 << 30);  // and freed memory stays with the process
}

void shareOneHeap() {
  mallopt(M_ARENA_MAX, 1);
}

void restartWithHugePages(char** argv) {
  if (std::getenv("GLIBC_TUNABLES") != nullptr) return;
  if (setenv("GLIBC_TUNABLES", "glibc.malloc.hugetlb=1", 1) != 0) return;
  execv("/proc/self/exe", argv);
  unsetenv("GLIBC_TUNABLES");  // not started again: nothing changes
}

}  // namespace plumvane
