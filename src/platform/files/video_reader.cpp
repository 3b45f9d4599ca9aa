#include "platform/files/video_reader.h"

#include "platform/files/ffmpeg_video_reader.h"
#include "platform/process/modules.h"
#include "platform/process/signals.h"

namespace plumvane {
namespace {

using OpenFunction = decltype(&plumvane_open_video);

// The module's entry, loaded once; null when it can't be loaded, and `why` then says why.
OpenFunction videoReaderEntryPoint(std::string& why) {
  static std::string failure;
  static const auto entry =
      reinterpret_cast<OpenFunction>(moduleEntry(videoReaderModule, videoReaderEntry, failure));
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
