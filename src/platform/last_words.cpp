#include "platform/last_words.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <string_view>
#include <utility>

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

TemporaryFile::TemporaryFile(std::string pathTemplate) : path_(std::move(pathTemplate)) {
  // The name is registered before the file is made, so that a signal, in whichever thread it
  // lands, finds it: removing a name not yet made is harmless, missing a file made is not.
  constexpr std::string_view suffix = "XXXXXX";
  if (path_.size() < suffix.size() || path_.size() >= pathCapacity ||
      path_.compare(path_.size() - suffix.size(), suffix.size(), suffix) != 0) {
    errno = EINVAL;
    return;
  }
  static constexpr char letters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = path_.size() - suffix.size(); i < path_.size(); ++i) {
      path_[i] = letters[random() % (sizeof letters - 1)];
    }
    for (int i = 0; i < slotCount && slot_ < 0; ++i) {
      int expected = freeSlot;
      if (slots[i].state.compare_exchange_strong(expected, filling)) {
        std::memcpy(slots[i].path, path_.c_str(), path_.size() + 1);
        slots[i].state.store(ready);
        slot_ = i;
      }
    }
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ >= 0 || errno != EEXIST) break;
    const int error = errno;
    release();
    errno = error;
  }
  if (fd_ < 0) {
    const int error = errno;
    release();
    errno = error;
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
