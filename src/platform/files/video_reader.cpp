#include "platform/files/video_reader.h"

#include <dlfcn.h>

#include <filesystem>

#include "platform/files/ffmpeg_video_reader.h"
#include "platform/process/signals.h"

namespace plumvane {
namespace {

using OpenFunction = decltype(&plumvane_open_video);

// The module's entry, loaded once, from beside the program or else from the library path;
// null when it can't be loaded, and `why` then says why.
OpenFunction videoReaderEntryPoint(std::string& why) {
  static std::string failure;
  static const OpenFunction entry = []() -> OpenFunction {
    std::error_code ignored;
    const std::filesystem::path beside =
        std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / videoReaderModule;
    void* module = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      failure = dlerror();
      module = dlopen(videoReaderModule, RTLD_NOW | RTLD_LOCAL);
    }
    if (!module) return nullptr;
    auto* found = reinterpret_cast<OpenFunction>(dlsym(module, videoReaderEntry));
    if (!found) failure = dlerror();
    return found;
  }();
  why = failure;
  return entry;
}

}  // namespace

std::variant<std::unique_ptr<VideoReader>, VideoReader::NoVideo, VideoReader::CannotRead>
VideoReader::open(const std::string& path) {
  std::string why;
  const OpenFunction entry = videoReaderEntryPoint(why);
  if (!entry) return CannotRead{"the video reader is not installed: " + why};
  OpenedVideo opened = NoVideo{};
  entry(path, opened, noteLibraryPanic);
  return opened;
}

}  // namespace plumvane
