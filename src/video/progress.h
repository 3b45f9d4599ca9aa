// A one-line progress display on standard error, shown only when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>

namespace plumvane {

class ProgressDisplay {
 public:
  // total is the estimated number of frames; 0 when unknown.
  explicit ProgressDisplay(int64_t total);
  // Redraws the line after `done` frames, at most a few times a second.
  void update(int64_t done);
  // Removes the line, so that what is written next to the terminal starts on a clean line; the
  // next update draws it again.
  void clear();

 private:
  bool enabled_;
  int64_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDrawn_;
  bool drawn_ = false;
};

}  // namespace plumvane
