#include "tarq/api/ir_graph/companions/log.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace tarq {

namespace {

TarqLog::Sink& sink() {
  static TarqLog::Sink s;
  return s;
}

// Reports held on this thread, and how many Holds are alive.
thread_local int hold_depth = 0;
thread_local std::vector<std::pair<LogLevel, std::string>> held;

// Writes what is held; a report the sink makes meanwhile is written at once.
void write_held() {
  auto queue = std::move(held);
  held.clear();
  for (auto& [level, text] : queue) TarqLog::write(level, text);
}

char level_letter(LogLevel level) {
  switch (level) {
    case LogLevel::kError:
      return 'E';
    case LogLevel::kWarning:
      return 'W';
    case LogLevel::kDebug:
      return 'D';
    case LogLevel::kInfo:
      return 'I';
  }
  return '?';
}

}  // namespace

void TarqLog::set_sink(Sink s) { sink() = std::move(s); }

void TarqLog::write(LogLevel level, const std::string& text) {
  if (hold_depth > 0) {
    held.emplace_back(level, text);
    return;
  }
  if (sink()) {
    sink()(level, text);
    return;
  }
  std::fprintf(stderr, "%c %s\n", level_letter(level), text.c_str());
}

TarqLog::Hold::Hold() { ++hold_depth; }

void TarqLog::Hold::release() {
  if (released_) return;
  released_ = true;
  if (--hold_depth == 0) write_held();
}

TarqLog::Hold::~Hold() {
  try {
    release();
  } catch (...) {
    held.clear();
  }
}

}  // namespace tarq
