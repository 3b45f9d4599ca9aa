#include "platform/process/modules.h"

#include <dlfcn.h>

#include <filesystem>

namespace plumvane {

void* moduleEntry(const char* module, const char* entry, std::string& why) {
  std::error_code ignored;
  const std::filesystem::path beside =
      std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path() / module;
  void* loaded = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!loaded) {
    why = dlerror();
    loaded = dlopen(module, RTLD_NOW | RTLD_LOCAL);
  }
  if (!loaded) return nullptr;
  void* found = dlsym(loaded, entry);
  if (!found) why = dlerror();
  return found;
}

}  // namespace plumvane
