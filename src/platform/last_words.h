// What the process does when it is ended from outside, or by a library that aborts: the files
// it is writing are removed, and the library's last message is said on one line.
#pragma once

#include <string>

namespace plumvane {

// Installs the handlers: SIGINT, SIGTERM and SIGHUP remove the temporary files being written,
// then end the process by that signal as before; SIGABRT (a library's failed assertion) removes
// them, writes the library's last message (see noteLibraryPanic) as one line on standard error
// and exits with status 1; SIGPIPE is ignored, so a closed pipe shows up as a write error.
void installSignalHandlers();

// A temporary file, created and named for removal should the process be ended while it exists;
// a few may exist at once. Its name is known for removal before the file is made, so no signal
// can leave it behind.
class TemporaryFile {
 public:
  // Creates a new file, mode 0600, named pathTemplate with its final XXXXXX made random, as
  // mkstemp does. On failure fd() is -1 and errno tells why.
  explicit TemporaryFile(std::string pathTemplate);
  ~TemporaryFile() { release(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }  // the open file, for the caller to close
  const std::string& path() const { return path_; }
  // Forgets the file: it has been renamed into place or removed.
  void release();

 private:
  std::string path_;
  int fd_ = -1;
  int slot_ = -1;
};

// Keeps a library's message that comes right before it aborts (FFmpeg logs a failed assertion
// at its panic level, then calls abort), to be said with `prefix` in front if the abort follows.
// Safe to call from any thread.
void noteLibraryPanic(const char* prefix, const char* message);

}  // namespace plumvane
