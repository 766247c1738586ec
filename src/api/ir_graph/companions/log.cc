#include "tarq/api/ir_graph/companions/log.h"

#include <cstdio>

namespace tarq {

namespace {

TarqLog::Sink& sink() {
  static TarqLog::Sink s;
  return s;
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
  if (sink()) {
    sink()(level, text);
    return;
  }
  std::fprintf(stderr, "%c %s\n", level_letter(level), text.c_str());
}

}  // namespace tarq
