// The SDK logger: one process-wide logging front for every SDK module.
//
// It keeps a maximum level (initially Notice), a forced-debug switch (never
// cleared once set) and a version string printed at the head of every line.
// An accepted message becomes one line, "<version> - <category>[<code>] <text>",
// written to the system log (os::Log of the subsystem and category) from the
// serial queue "DAZLoggingClientQueue", so callers never block on logging and
// lines reach the log in the order they were submitted. Filtering happens on
// the caller's thread before anything is formatted.
//
// Levels 3..7 map to the system log types error, default, default, info and
// debug; any other value maps to error. Message codes ("I-COR000023") are
// passed through unchecked.
//
// Every function is thread-safe.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "os/foundation/format.h"

enum class DAZLoggerLevel : long {
  Error = 3,
  Warning = 4,
  Notice = 5,
  Info = 6,
  Debug = 7,
};
inline constexpr DAZLoggerLevel DAZLoggerLevelMin = DAZLoggerLevel::Error;
inline constexpr DAZLoggerLevel DAZLoggerLevelMax = DAZLoggerLevel::Debug;

inline constexpr const char* kDAZLoggerSubsystem = "com.devuvo.utilities.logger";
inline constexpr const char* kDAZLoggingQueueLabel = "DAZLoggingClientQueue";
inline constexpr const char* kDAZLoggerCategory = "[DAZLogger]";
inline constexpr const char* kDAZLoggerMessageCodeInvalidLevel = "I-COR000023";

// Format arguments for DAZLogBasic; nullopt means "no argument list": the
// message is then printed verbatim, "%" included.
using DAZLogArguments = std::optional<std::span<const os::FormatArg>>;

// One-time set-up of the process-wide state; later calls do nothing. Every
// other function runs it first.
void DAZLoggerInitialize();

// Outside a store build: sets the forced-debug flag and the level to Debug.
// In a store build it does nothing.
void DAZLoggerForceDebug();

// Sets the maximum level. A level outside Error..Debug is logged as an error
// ("I-COR000023") and ignored; in a store build, Notice and above are refused
// silently.
void DAZSetLoggerLevel(DAZLoggerLevel loggerLevel);

// True when forced debug is on or the level is at most the maximum level.
bool DAZIsLoggableLevel(DAZLoggerLevel loggerLevel);

// The string printed at the head of every line (initially empty).
void DAZLoggerRegisterVersion(std::string version);

// The writer. Drops the message unless the level is at most the maximum level,
// forced debug is on, or `forceLog` is set. Formats on the caller's thread and
// queues the write.
void DAZLogBasic(DAZLoggerLevel level, std::string_view subsystem, std::string_view category, bool forceLog,
                 std::string_view messageCode, std::string_view message, DAZLogArguments args);

namespace daz_detail {
// The filter of DAZLogBasic, for callers that must decide before formatting.
bool loggerAccepts(DAZLoggerLevel level, bool forceLog);

template <class... Args>
void logAtLevel(DAZLoggerLevel level, std::string_view subsystem, std::string_view category, bool forceLog,
                std::string_view messageCode, std::string_view format, const Args&... args) {
  if (!loggerAccepts(level, forceLog)) return;
  const std::array<os::FormatArg, sizeof...(Args)> list{os::FormatArg(args)...};
  DAZLogBasic(level, subsystem, category, forceLog, messageCode, format,
              std::span<const os::FormatArg>(list.data(), list.size()));
}
}  // namespace daz_detail

// DAZLogBasic at a fixed level, with the format expanded by the arguments.
template <class... Args>
void DAZLogError(std::string_view subsystem, std::string_view category, bool forceLog, std::string_view messageCode,
                 std::string_view format, const Args&... args) {
  daz_detail::logAtLevel(DAZLoggerLevel::Error, subsystem, category, forceLog, messageCode, format, args...);
}
template <class... Args>
void DAZLogWarning(std::string_view subsystem, std::string_view category, bool forceLog, std::string_view messageCode,
                   std::string_view format, const Args&... args) {
  daz_detail::logAtLevel(DAZLoggerLevel::Warning, subsystem, category, forceLog, messageCode, format, args...);
}
template <class... Args>
void DAZLogNotice(std::string_view subsystem, std::string_view category, bool forceLog, std::string_view messageCode,
                  std::string_view format, const Args&... args) {
  daz_detail::logAtLevel(DAZLoggerLevel::Notice, subsystem, category, forceLog, messageCode, format, args...);
}
template <class... Args>
void DAZLogInfo(std::string_view subsystem, std::string_view category, bool forceLog, std::string_view messageCode,
                std::string_view format, const Args&... args) {
  daz_detail::logAtLevel(DAZLoggerLevel::Info, subsystem, category, forceLog, messageCode, format, args...);
}
template <class... Args>
void DAZLogDebug(std::string_view subsystem, std::string_view category, bool forceLog, std::string_view messageCode,
                 std::string_view format, const Args&... args) {
  daz_detail::logAtLevel(DAZLoggerLevel::Debug, subsystem, category, forceLog, messageCode, format, args...);
}

// For callers that hold an argument list rather than variadic arguments.
// Both log with the force flag clear.
class DAZLoggerWrapper {
 public:
  static void logWithLevel(DAZLoggerLevel level, std::string_view subsystem, std::string_view category,
                           std::string_view messageCode, std::string_view message, DAZLogArguments arguments);
  // The subsystem is kDAZLoggerSubsystem and the service is the category.
  static void logWithLevel(DAZLoggerLevel level, std::string_view service, std::string_view code,
                           std::string_view message, DAZLogArguments args);
};

// Test support: returns once every line submitted before the call is written.
void DAZLoggerTEST_flush();
// Test support: level Notice, forced debug off, empty version.
void DAZLoggerTEST_reset();
