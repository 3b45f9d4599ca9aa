#include "platform/process/freed_memory.h"

#include <malloc.h>

namespace plumvane {

void keepFreedMemory() {
  mallopt(M_MMAP_MAX, 0);              // large blocks come from the heap, so they can be reused
  mallopt(M_TRIM_THRESHOLD, 1 << 30);  // and freed memory stays with the process
}

}  // namespace plumvane
