// What the process does when it is ended from outside, or by a library that aborts: the files
// it is writing are removed, and the library's last message is said on one line.
#pragma once

namespace plumvane {

// Installs the handlers: SIGINT, SIGTERM and SIGHUP remove the temporary files being written,
// then end the process by that signal as before; SIGABRT (a library's failed assertion) removes
// them, writes the library's last message (see noteLibraryPanic) as one line on standard error
// and exits with status 1; SIGPIPE is ignored, so a closed pipe shows up as a write error.
void installSignalHandlers();

// Keeps a library's message that comes right before it aborts (FFmpeg logs a failed assertion
// at its panic level, then calls abort), to be said with `prefix` in front if the abort follows.
// Safe to call from any thread.
void noteLibraryPanic(const char* prefix, const char* message);

}  // namespace plumvane
