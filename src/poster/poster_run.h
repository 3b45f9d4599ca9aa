// What one poster run shares between its phases.
#pragma once

#include <cstdlib>
#include <filesystem>

#include "platform/image/image.h"

namespace plumvane {

struct PosterRun {
  std::filesystem::path outDir;
  // The picture scaled to the working size W x H, at (0, 0). Its extent is the working
  // rectangle, to which every image of the run is cropped, and its size is the "size" line's.
  Image working;
  // Whether the picture was stored with a lossy compression (JPEG, HEIF, JPEG 2000, lossy
  // WebP), which leaves a faint ringing around sharp edges such as letters.
  bool lossy = false;
};

// Whether the diagnostic switch is on: PLUMVANE_DEBUG is in the environment, whatever its value.
inline bool debugSwitch() {
  return std::getenv("PLUMVANE_DEBUG") != nullptr;
}

}  // namespace plumvane
