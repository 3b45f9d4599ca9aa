// Fuzzes the picture decoders: any bytes give a picture or nothing, never a crash.
#include <cstdint>

#include "fuzz_input.h"
#include "platform/files/picture_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = plumvane::fuzzing::asFile(data, size);
  if (!path.empty()) plumvane::decodePicture(path);
  return 0;
}
