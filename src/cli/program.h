// The program proper, libplumvane.so beside the executable: every mode and all that they link.
// The executable loads it only once the process is started as the modes want it (see
// launcher.cpp), so that its libraries are loaded once per run, not twice.
#pragma once

namespace plumvane {
inline constexpr const char* programModule = "libplumvane.so";
inline constexpr const char* programEntry = "plumvane_main";
}  // namespace plumvane

// Reads the command line and runs one mode; the process's exit status.
extern "C" __attribute__((visibility("default"))) int plumvane_main(int argc, char** argv);
