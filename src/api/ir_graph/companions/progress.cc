#include "tarq/api/ir_graph/companions/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tarq {

namespace {
int& forced() {
  static int mode = -1;
  return mode;
}
}  // namespace

void Progress::force(int mode) { forced() = mode; }

Progress::Progress(std::string label, size_t total, int width)
    : label_(std::move(label)),
      total_(total),
      width_(std::max(width, 1)),
      shown_(forced() == -1 ? isatty(2) != 0 : forced() == 1) {
  if (shown_) draw(false);
}

Progress::~Progress() {
  if (shown_) draw(true);
}

void Progress::advance(size_t n) {
  done_ = std::min(total_, done_ + n);
  if (!shown_) return;
  // Redraw only when the bar moves, and at most every 50 ms.
  int cols = total_ ? static_cast<int>(done_ * width_ / total_) : width_;
  auto now = std::chrono::steady_clock::now();
  if (cols == last_cols_ || now - last_draw_ < std::chrono::milliseconds(50)) return;
  draw(false);
}

void Progress::draw(bool last) {
  int cols = total_ ? static_cast<int>(done_ * width_ / total_) : width_;
  if (last) cols = width_ * (done_ == total_);
  last_cols_ = cols;
  last_draw_ = std::chrono::steady_clock::now();
  std::string bar(static_cast<size_t>(cols), '#');
  bar.resize(static_cast<size_t>(width_), '.');
  std::fprintf(stderr, "\r%s[%s] %zu/%zu", label_.c_str(), bar.c_str(), done_, total_);
  if (last) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace tarq
