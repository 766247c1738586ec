#include "step_clock.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarq {

namespace {

bool times_wanted() {
  static const bool wanted = [] {
    const char* v = std::getenv("TARQ_REBUILD_TIMES");
    return v && *v && std::strcmp(v, "0") != 0;
  }();
  return wanted;
}

double ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

StepClock::StepClock() : enabled_(times_wanted()) {
  if (enabled_) start_ = last_ = Clock::now();
}

std::string StepClock::line(int nodes) const {
  std::string out = fmt::format("tarq rebuild: {} nodes, ms:", nodes);
  for (const auto& [name, d] : laps_) out += fmt::format(" {} {:.3f}", name, ms(d));
  out += fmt::format(" total {:.3f}", ms(last_ - start_));
  return out;
}

void StepClock::report(int nodes) const {
  if (!enabled_) return;
  std::string text = line(nodes) + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tarq
