#include "platform/process/temporary_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

}  // namespace

void removeTemporaryFiles() {
  for (Slot& slot : slots) {
    if (slot.state.load() == ready) unlink(slot.path);
  }
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
    forget();
    errno = error;
  }
  if (fd_ < 0) {
    const int error = errno;
    forget();
    errno = error;
  }
}

TemporaryFile::~TemporaryFile() {
  if (fd_ >= 0) close(fd_);
  if (slot_ >= 0) unlink(path_.c_str());
  forget();
}

int TemporaryFile::commit(const std::string& target) {
  if (fd_ < 0) return EBADF;
  // Flushed before the rename, so that after a crash the final name holds the whole file or the
  // old one, never an empty file.
  int error = fsync(fd_) == 0 ? 0 : errno;
  if (close(fd_) != 0 && error == 0) error = errno;
  fd_ = -1;
  if (error == 0 && std::rename(path_.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) return error;
  forget();
  return 0;
}

void TemporaryFile::forget() {
  if (slot_ < 0) return;
  slots[slot_].state.store(freeSlot);
  slot_ = -1;
}

}  // namespace plumvane
