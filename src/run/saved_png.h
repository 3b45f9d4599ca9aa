// Writing the run's PNG files: complete under their final name, or the run ends.
#pragma once

#include <string>
#include <string_view>

#include "platform/files/png_file.h"

namespace plumvane {

// The message of a file that can't be written: "can't write " + name + ": " + the system's
// reason.
std::string cantWrite(std::string_view name, std::string_view reason);

// Writes the pixels to path as a PNG (see writePng). When that fails, ends the run through fail
// with cantWrite(name, the reason); name is how the file is shown to the user.
void savePng(const std::string& path, const PngPixels& pixels, std::string_view name,
             const PngOptions& options = {});

}  // namespace plumvane
