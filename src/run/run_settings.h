// The settings of a video-mode run.
#pragma once

#include <cstdint>
#include <filesystem>

namespace plumvane {

inline constexpr int64_t defaultVideoMaxSide = 1920;

// The settings of a video-mode run, filled once from the command line before the video is opened.
struct RunSettings {
  std::filesystem::path input;            // the video
  std::filesystem::path outDir;           // the output directory
  int64_t maxSide = defaultVideoMaxSide;  // bound on the longer side of the mattes
  bool usePerson = false;  // segment with the person model instead of the subject model
};

}  // namespace plumvane
