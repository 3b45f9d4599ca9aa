// Parts of the program built as modules of their own: shared libraries beside the program that
// are loaded only by the runs that need them, so that no other run pays for loading them and
// the libraries they bring.
#pragma once

#include <string>

namespace plumvane {

// The entry point `entry` of the module `module` (a file name such as "libplumvane_ffmpeg.so"),
// loaded from beside the program, or else along the library path (a copy of the program
// elsewhere still finds the modules where they were built). Null when it can't be loaded or
// has no such entry, and `why` then says why.
void* moduleEntry(const char* module, const char* entry, std::string& why);

}  // namespace plumvane
