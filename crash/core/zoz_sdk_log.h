// The capture core's two logs.
//
// The internal log, "sdk.log" in the launch's report directory, is written by
// ZOZSDKFileLog with a formatter of its own that knows only five directives:
//   %s  the string, or "(null)"          %d  a signed 32-bit decimal (int)
//   %u  an unsigned 32-bit decimal       %x  32-bit lower-case hexadecimal
//   %p  "0x" and the pointer's 64-bit value in hexadecimal
// Any other "%" pair (%zu, %llu, %%, %q ...) is written as the two characters
// themselves and takes no argument; a lone "%" at the end is written as is.
// Arguments must have exactly the type the directive reads (int for %d,
// unsigned for %u and %x, a pointer for %p and %s).
//
// ZOZSDKFileLog is async-signal-safe: no allocation, no lock, no stdio, no
// formatting routine; numbers are printed by hand and every piece is a
// write(2). It writes nothing while the process-wide context does not exist
// (zoz_context.h), while it has no log path, or below the writable context's
// log level. The first call with a context opens the log once for that
// context (write-only, create, append, 0644); when that fails, the context's
// log stays closed.
//
// The ordinary-code log (ZOZDebugLog ... ZOZErrorLog) goes through the SDK
// logger with the service tag "[VivuzuvuZoziduzuzud]" and the message code
// "I-VAZ000000", formatted by os::format. It allocates: never call it on the
// crash path.
#pragma once

#include <string_view>

#include "sdk-core/core/rez_logger.h"

// Levels of the internal log; a line is written when its level is at least
// the writable context's log level (1 at start-up, so every level).
enum ZOZInternalLogLevel : int {
  ZOZInternalLogLevelDebug = 1,
  ZOZInternalLogLevelInfo = 2,
  ZOZInternalLogLevelWarn = 3,
  ZOZInternalLogLevelError = 4,
};

inline constexpr const char* kZOZSDKLogFileName = "sdk.log";

// Async-signal-safe (see above).
void ZOZSDKFileLog(int level, const char* format, ...);

// Every call site starts its line with the level word padded to five
// characters and the place: "WARN  [function:line] text\n".
#define ZOZSDKLogDebug(format, ...) \
  ZOZSDKFileLog(ZOZInternalLogLevelDebug, "DEBUG [%s:%d] " format "\n", __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define ZOZSDKLogInfo(format, ...) \
  ZOZSDKFileLog(ZOZInternalLogLevelInfo, "INFO  [%s:%d] " format "\n", __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define ZOZSDKLogWarn(format, ...) \
  ZOZSDKFileLog(ZOZInternalLogLevelWarn, "WARN  [%s:%d] " format "\n", __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define ZOZSDKLogError(format, ...) \
  ZOZSDKFileLog(ZOZInternalLogLevelError, "ERROR [%s:%d] " format "\n", __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

// ---- Ordinary code: the SDK logger ----
inline constexpr const char* kZOZLoggerService = "[VivuzuvuZoziduzuzud]";
inline constexpr const char* kZOZLoggerMessageCode = "I-VAZ000000";

template <class... Args>
void ZOZDebugLog(std::string_view format, const Args&... args) {
  REZLogDebug(kZOZLoggerService, kZOZLoggerMessageCode, format, args...);
}
template <class... Args>
void ZOZInfoLog(std::string_view format, const Args&... args) {
  REZLogInfo(kZOZLoggerService, kZOZLoggerMessageCode, format, args...);
}
template <class... Args>
void ZOZWarningLog(std::string_view format, const Args&... args) {
  REZLogWarning(kZOZLoggerService, kZOZLoggerMessageCode, format, args...);
}
template <class... Args>
void ZOZErrorLog(std::string_view format, const Args&... args) {
  REZLogError(kZOZLoggerService, kZOZLoggerMessageCode, format, args...);
}
