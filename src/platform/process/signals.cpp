#include "platform/process/signals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/process/temporary_file.h"

namespace plumvane {
namespace {

// What a signal handler reads lives in fixed storage, published through an atomic, so that
// the handler needs no lock and no allocation.
constexpr size_t panicCapacity = 1024;
std::atomic<bool> panicNoted{false};
char panicLine[panicCapacity];

void writeAll(const char* text, size_t size) {
  while (size > 0) {
    const ssize_t n = write(STDERR_FILENO, text, size);
    if (n <= 0) return;
    text += n;
    size -= size_t(n);
  }
}

void onInterrupt(int signal) {
  removeTemporaryFiles();
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void onAbort(int) {
  removeTemporaryFiles();
  if (panicNoted.load()) {
    writeAll(panicLine, strnlen(panicLine, panicCapacity));
  } else {
    static const char fallback[] = "internal error: a library aborted the run\n";
    writeAll(fallback, sizeof fallback - 1);
  }
  _exit(1);
}

}  // namespace

void installSignalHandlers() {
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = onInterrupt;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  action.sa_handler = onAbort;
  sigaction(SIGABRT, &action, nullptr);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, nullptr);
}

void noteLibraryPanic(const char* prefix, const char* message) {
  // The first panic is the one that aborts; later ones from other threads are kept out.
  static std::atomic<bool> taken{false};
  if (taken.exchange(true)) return;
  size_t used = 0;
  for (const char* part : {prefix, message}) {
    for (const char* c = part; *c && used + 2 < panicCapacity; ++c) {
      // One line: control characters, the message's own line feed among them, become blanks.
      panicLine[used++] = (unsigned char)(*c) < 0x20 ? ' ' : *c;
    }
  }
  while (used > 0 && panicLine[used - 1] == ' ') --used;
  panicLine[used++] = '\n';
  panicLine[used] = '\0';
  panicNoted.store(true);
}

}  // namespace plumvane
