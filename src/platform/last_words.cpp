#include "platform/last_words.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace plumvane {
namespace {

// Everything a signal handler reads lives in fixed storage and is published through atomics, so
// that the handler needs no lock and no allocation.
constexpr int slotCount = 16;
constexpr size_t pathCapacity = 4096;
enum SlotState : int { freeSlot, filling, ready };
struct Slot {
  std::atomic<int> state{freeSlot};
  char path[pathCapacity];
};
Slot slots[slotCount];

constexpr size_t panicCapacity = 1024;
std::atomic<bool> panicNoted{false};
char panicLine[panicCapacity];

void removeTemporaries() {
  for (Slot& slot : slots) {
    if (slot.state.load() == ready) unlink(slot.path);
  }
}

void writeAll(const char* text, size_t size) {
  while (size > 0) {
    const ssize_t n = write(STDERR_FILENO, text, size);
    if (n <= 0) return;
    text += n;
    size -= size_t(n);
  }
}

void onInterrupt(int signal) {
  removeTemporaries();
  ::signal(signal, SIG_DFL);
  raise(signal);
}

void onAbort(int) {
  removeTemporaries();
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

TemporaryFile::TemporaryFile(const std::string& path) {
  if (path.size() >= pathCapacity) return;
  for (int i = 0; i < slotCount; ++i) {
    int expected = freeSlot;
    if (slots[i].state.compare_exchange_strong(expected, filling)) {
      std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
      slots[i].state.store(ready);
      slot_ = i;
      return;
    }
  }
}

void TemporaryFile::release() {
  if (slot_ < 0) return;
  slots[slot_].state.store(freeSlot);
  slot_ = -1;
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
