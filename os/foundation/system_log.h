// os::Log: the system log. Log objects are made per (subsystem, category) and
// cached for the process; a line has a type (default, info, debug, error,
// fault). Lines of enabled types go to standard error (unless switched off),
// to a log file when one is set, and to every installed sink.
//
// Default, error and fault lines are enabled; info and debug are not, unless
// switched on with Log::setTypeEnabled or while a LogCapture is alive (as a
// debug-level log stream does on the platform).
//
// All functions are thread-safe. Lines are written synchronously on the
// caller's thread, one at a time, so every output sees them in one order; a
// sink may itself log.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace os {

// The platform's os_log_type_t values.
enum class LogType : uint8_t { Default = 0x00, Info = 0x01, Debug = 0x02, Error = 0x10, Fault = 0x11 };

// "Default", "Info", "Debug", "Error", "Fault".
const char* logTypeName(LogType type);

struct LogRecord {
  std::string subsystem;
  std::string category;
  LogType type = LogType::Default;
  std::string message;
  double timestamp = 0;  // wall seconds since 1970, from os::Clock
};

class Log {
 public:
  using Sink = std::function<void(const LogRecord&)>;

  // The log object of a subsystem and category; the same object for the same
  // pair. Never null.
  static std::shared_ptr<Log> create(const std::string& subsystem, const std::string& category);
  // The log of no particular subsystem ("" / "").
  static std::shared_ptr<Log> defaultLog();

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  bool isEnabled(LogType type) const;
  // Writes the message as one line when its type is enabled.
  void write(LogType type, const std::string& message) const;
  void log(const std::string& message) const { write(LogType::Default, message); }
  void info(const std::string& message) const { write(LogType::Info, message); }
  void debug(const std::string& message) const { write(LogType::Debug, message); }
  void error(const std::string& message) const { write(LogType::Error, message); }
  void fault(const std::string& message) const { write(LogType::Fault, message); }

  // Process-wide switches.
  static void setTypeEnabled(LogType type, bool enabled);
  static void setStandardErrorEnabled(bool enabled);
  // Appends lines to this file as well (created with mode 0644); empty stops.
  // Returns false when the file cannot be opened.
  static bool setOutputFile(const std::string& path);
  // Installs a sink; the returned token removes it.
  static uint64_t addSink(Sink sink);
  static void removeSink(uint64_t token);

  // The text written to standard error and to the file:
  // "<yyyy-MM-dd HH:mm:ss.SSS> <process>[<pid>] <Type> [<subsystem>:<category>] <message>".
  static std::string formatLine(const LogRecord& record);

  Log(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

 private:
  std::string subsystem_;
  std::string category_;
};

// Captures every line written while it lives (all types enabled meanwhile).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const;
  // Records whose message contains the text.
  std::vector<LogRecord> recordsContaining(const std::string& text) const;
  void clear();

 private:
  struct Store {
    std::mutex mutex;
    std::vector<LogRecord> records;  // guarded by mutex
  };
  // Shared with the sink, which may still be running on another thread while
  // the capture goes away.
  std::shared_ptr<Store> store_ = std::make_shared<Store>();
  uint64_t token_ = 0;
};

}  // namespace os
