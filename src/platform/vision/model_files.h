// Where the installed vision models are.
#pragma once

#include <filesystem>

namespace plumvane {

// The models folder: PLUMVANE_MODELS when it is set and not empty, else the first folder named
// "models" that exists beside the executable, one level above it (the build tree) or in
// ../share/plumvane (the install tree). Falls back to "models" beside the executable.
std::filesystem::path modelsDirectory();

// Whether a subject model is installed (its description, subject.json, is readable): the one
// question behind "instance masks are available".
bool subjectModelInstalled();

}  // namespace plumvane
