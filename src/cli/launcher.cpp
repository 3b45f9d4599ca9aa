// The process entry. The modes want glibc's allocator to ask for huge pages, which it reads
// only when a process starts, so the process is started once more with that set. This
// executable links nothing but the C and C++ libraries, which makes that second start cheap:
// the program proper and its hundred-odd libraries (ONNX Runtime, OpenCV, the picture codecs)
// are loaded once, after it.
#include <cstdio>
#include <string>

#include "cli/program.h"
#include "platform/process/freed_memory.h"
#include "platform/process/modules.h"

int main(int argc, char** argv) {
  using namespace plumvane;
  restartWithHugePages(argv);
  std::string why;
  const auto run =
      reinterpret_cast<decltype(&plumvane_main)>(moduleEntry(programModule, programEntry, why));
  if (!run) {
    std::fprintf(stderr, "can't load the program: %s\n", why.c_str());
    return 1;
  }
  return run(argc, argv);
}
