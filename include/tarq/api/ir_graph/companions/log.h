// The logger of the graph layer: error, warning, debug and info reports, each
// one already formatted text. A report returns and the caller goes on.
//
// Where reports go is process-wide: standard error ("E text", "W text", ...)
// unless a host installs its own sink (the Python face routes them to the
// Python logger "tarq").
#pragma once

#include <functional>
#include <string>

namespace tarq {

enum class LogLevel { kError, kWarning, kDebug, kInfo };

class TarqLog {
 public:
  using Sink = std::function<void(LogLevel, const std::string&)>;

  static void e(const std::string& text) { write(LogLevel::kError, text); }
  static void w(const std::string& text) { write(LogLevel::kWarning, text); }
  static void d(const std::string& text) { write(LogLevel::kDebug, text); }
  static void i(const std::string& text) { write(LogLevel::kInfo, text); }

  // Installs a sink; an empty function restores standard error.
  static void set_sink(Sink sink);
  static void write(LogLevel level, const std::string& text);
};

// The name the rest of the toolkit knows it by.
using tarqLog = TarqLog;

}  // namespace tarq
