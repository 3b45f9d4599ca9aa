#include "platform/vision/model_files.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <system_error>

namespace plumvane {
namespace {

std::filesystem::path executableDirectory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path(error) : self.parent_path();
}

}  // namespace

std::filesystem::path modelsDirectory() {
  if (const char* chosen = std::getenv("PLUMVANE_MODELS"); chosen && *chosen) return chosen;
  const auto here = executableDirectory();
  const std::array candidates = {here / "models", here.parent_path() / "models",
                                 here.parent_path() / "share" / "plumvane" / "models"};
  for (const auto& candidate : candidates) {
    std::error_code error;
    if (std::filesystem::is_directory(candidate, error)) return candidate;
  }
  return candidates[0];
}

bool subjectModelInstalled() {
  return access((modelsDirectory() / "subject.json").c_str(), R_OK) == 0;
}

}  // namespace plumvane
