// Wall time per step of a rebuild, for finding where a slow rebuild spends
// its time. With the environment variable TARQ_REBUILD_TIMES set (to anything
// but "0" or the empty string) when the process makes its first rebuild, every
// completed rebuild writes one line to standard error:
//
//   tarq rebuild: 100000 nodes, ms: type_check 2.190 clean 290.815 ... total 439.204
//
// Off by default; when off, laps cost one branch. The variable is read once.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace tarq {

class StepClock {
 public:
  StepClock();

  // Ends the current step under `name`.
  void lap(const char* name) {
    if (!enabled_) return;
    auto now = Clock::now();
    laps_.emplace_back(name, now - last_);
    last_ = now;
  }

  // Writes the line (when enabled) for a rebuild of `nodes` nodes.
  void report(int nodes) const;

  // The line report() writes, without the newline.
  std::string line(int nodes) const;

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  Clock::time_point start_;
  Clock::time_point last_;
  std::vector<std::pair<const char*, Clock::duration>> laps_;
};

}  // namespace tarq
