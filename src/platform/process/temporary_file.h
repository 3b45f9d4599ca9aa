// Files written under a temporary name beside their final place and moved there whole, so that
// a file under its final name is always complete.
#pragma once

#include <string>

namespace plumvane {

// A temporary file, created and named for removal should the process be ended while it exists;
// a few may exist at once. Its name is known for removal before the file is made, so no signal
// can leave it behind. Unless it is committed, it is removed when the object goes, however the
// scope is left.
class TemporaryFile {
 public:
  // Creates a new file, mode 0600, named pathTemplate with its final XXXXXX made random, as
  // mkstemp does. On failure fd() is -1 and errno tells why.
  explicit TemporaryFile(std::string pathTemplate);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }  // the open file, owned by this object
  const std::string& path() const { return path_; }

  // Flushes the file to the disk, closes it and renames it to target, replacing what is there.
  // Returns 0, or the errno of the step that failed (the file is then removed as usual).
  int commit(const std::string& target);

 private:
  void forget();

  std::string path_;
  int fd_ = -1;
  int slot_ = -1;
};

// Removes every temporary file that exists now. Safe to call from a signal handler.
void removeTemporaryFiles();

}  // namespace plumvane
