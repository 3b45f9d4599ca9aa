// Writing one matte per video frame.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/image/mask.h"

namespace plumvane {

// "matte_%05d.png" for the index: zero-filled to at least five digits, never cut.
std::string matteFileName(int64_t index);

// Stretches the mask to width x height (each axis by its own factor), renders it as 8-bit grey
// (no coverage black, full coverage white) and writes it to outDir/matteFileName(index). A null
// mask writes the black matte. Returns nothing on success, else the message for fail:
// cantWrite with the file's path.
std::optional<std::string> writeMatte(const Mask* mask, int64_t index, int64_t width,
                                      int64_t height, const std::filesystem::path& outDir);

}  // namespace plumvane
