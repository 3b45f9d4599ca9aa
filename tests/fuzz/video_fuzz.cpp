// Fuzzes the video reader: any bytes give frames, an end or a failure, never a crash or a hang.
#include <cstdint>

#include "fuzz_input.h"
#include "platform/files/video_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using plumvane::VideoReader;
  const std::string path = plumvane::fuzzing::asFile(data, size);
  if (path.empty()) return 0;
  auto opened = VideoReader::open(path);
  if (auto* reader = std::get_if<std::unique_ptr<VideoReader>>(&opened)) {
    plumvane::VideoFrame frame;
    // A bounded number of frames: what matters is reading damaged data, not long streams.
    for (int i = 0; i < 30 && (*reader)->next(frame) == VideoReader::Status::frame; ++i) {
    }
  }
  return 0;
}
