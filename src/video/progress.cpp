#include "video/progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace plumvane {

ProgressDisplay::ProgressDisplay(int64_t total)
    : enabled_(isatty(STDERR_FILENO) == 1),
      total_(total),
      start_(std::chrono::steady_clock::now()) {}

void ProgressDisplay::update(int64_t done) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  // Redrawn at most five times a second, and whenever it was cleared for other output.
  if (drawn_ && now - lastDrawn_ < std::chrono::milliseconds(200)) return;
  lastDrawn_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  const double rate = elapsed > 0 ? double(done) / elapsed : 0;
  char line[160];
  int length;
  if (total_ > 0 && done <= total_ && rate > 0) {
    const auto left = int64_t(double(total_ - done) / rate + 0.5);
    length =
        std::snprintf(line, sizeof line, "\r%lld/%lld frames  %.1f fps  %lld:%02lld left\033[K",
                      static_cast<long long>(done), static_cast<long long>(total_), rate,
                      static_cast<long long>(left / 60), static_cast<long long>(left % 60));
  } else {
    length = std::snprintf(line, sizeof line, "\r%lld frames  %.1f fps\033[K",
                           static_cast<long long>(done), rate);
  }
  if (length > 0) {
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, size_t(length));
  }
  drawn_ = true;
}

void ProgressDisplay::clear() {
  if (!enabled_ || !drawn_) return;
  const char erase[] = "\r\033[K";
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, erase, sizeof erase - 1);
  drawn_ = false;
}

}  // namespace plumvane
