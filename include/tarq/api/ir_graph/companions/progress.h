// A progress bar over a walk of known length: label, bar of a fixed width and
// counts on standard error, redrawn in place. Shown only when standard error
// is a terminal; otherwise it does nothing. It never changes results.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tarq {

class Progress {
 public:
  Progress(std::string label, size_t total, int width = 100);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void advance(size_t n = 1);
  bool shown() const { return shown_; }

  // Forces display on or off regardless of the terminal (tests, tools).
  static void force(int mode);  // 1 on, 0 off, -1 automatic

 private:
  void draw(bool last);

  std::string label_;
  size_t total_, done_ = 0;
  int width_;
  bool shown_;
  int last_cols_ = -1;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace tarq
