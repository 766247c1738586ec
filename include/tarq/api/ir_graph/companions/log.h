// The logger of the graph layer: error, warning, debug and info reports, each
// one already formatted text. A report returns and the caller goes on.
//
// Where reports go is process-wide: standard error ("E text", "W text", ...)
// unless a host installs its own sink (the Python face routes them to the
// Python logger "tarq"). Operations may hold reports back until they finish
// (TarqLog::Hold).
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

  // While a Hold lives on this thread, reports are queued; when the last
  // Hold goes (or release() is called on it), the queue is written in
  // order. An operation that keeps pointers into the model holds its
  // reports: a sink may run host code that edits or replaces the model (a
  // Python logging handler; another thread while the handler waits on I/O),
  // so it must run only once the operation holds nothing.
  class Hold {
   public:
    Hold();
    ~Hold();  // never throws; a failing sink loses the rest of the queue
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    // Writes the queue now if this is the outermost Hold (further reports
    // are written at once); may throw what the sink throws.
    void release();

   private:
    bool released_ = false;
  };
};

// The name the rest of the toolkit knows it by.
using tarqLog = TarqLog;

}  // namespace tarq
