// plumvane_optimize MODEL...: saves each ONNX model's optimised copy beside it, so that the
// program's sessions start quicker. Run by setup whenever a model or the runtime is newer than
// its copy.
#include <cstdio>
#include <exception>

#include "platform/vision/model_description.h"
#include "platform/vision/onnx_model.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: plumvane_optimize MODEL...\n");
    return 2;
  }
  for (int i = 1; i < argc; ++i) {
    try {
      plumvane::saveOptimizedModel(argv[i]);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "can't optimise %s: %s\n", argv[i], e.what());
      return 1;
    }
  }
  return 0;
}
