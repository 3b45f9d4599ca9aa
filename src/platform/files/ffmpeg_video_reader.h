// The entry of the video reader's module, libplumvane_ffmpeg.so: the one place that links
// FFmpeg, loaded by VideoReader::open when the first video is opened.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "platform/files/video_reader.h"

namespace plumvane {

using OpenedVideo =
    std::variant<std::unique_ptr<VideoReader>, VideoReader::NoVideo, VideoReader::CannotRead>;

// Notes a library's message that comes right before it aborts (the program's noteLibraryPanic).
using PanicNote = void (*)(const char* prefix, const char* message);

inline constexpr const char* videoReaderModule = "libplumvane_ffmpeg.so";
inline constexpr const char* videoReaderEntry = "plumvane_open_video";

}  // namespace plumvane

// Opens the video at path as VideoReader::open says, into `opened`; FFmpeg's panics go to `note`.
extern "C" __attribute__((visibility("default"))) void plumvane_open_video(
    const std::string& path, plumvane::OpenedVideo& opened, plumvane::PanicNote note);
