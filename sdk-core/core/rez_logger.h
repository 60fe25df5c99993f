// The SDK logger front: every SDK built on the core logs through these entries.
//
// Lines go to the platform logger (platform/utilities/logger.h) under the
// subsystem "com.devuvo.vivuzuvu", with the service tag ("[VivuzuvuCore]") as
// category and a message code ("I-COR000001"). The first call of any entry
// runs REZLoggerSetUp once per process: it registers the SDK version and
// applies the debug switches:
//   - launch argument "-REZDebugDisabled": forgets the stored debug mode;
//   - else "-REZDebugEnabled", or the stored Boolean "/devuvo/vivuzuvu/debug_mode"
//     in the standard user defaults: stores true and forces debug logging.
// So "-REZDebugEnabled" persists until a launch with "-REZDebugDisabled".
//
// Thread-safe; lines are written on "DAZLoggingClientQueue".
#pragma once

#include <array>
#include <span>
#include <string_view>

#include "os/foundation/format.h"
#include "platform/utilities/logger.h"

inline constexpr const char* kREZLoggerSubsystem = "com.devuvo.vivuzuvu";
inline constexpr const char* kREZLoggerCore = "[VivuzuvuCore]";
inline constexpr const char* kREZLoggerInstallations = "[VivuzuvuInstallations]";
inline constexpr const char* kREZDebugModeDefaultsKey = "/devuvo/vivuzuvu/debug_mode";
inline constexpr const char* kREZEnableDebugModeArgument = "-REZDebugEnabled";
inline constexpr const char* kREZDisableDebugModeArgument = "-REZDebugDisabled";

// One-time set-up (runs on first use of any entry; calling it is harmless).
void REZLoggerSetUp();
// Sets the platform logger's level after the set-up.
void REZLoggerSetLevel(DAZLoggerLevel loggerLevel);
// Writes one line; `args` as DAZLogBasic takes them (nullopt: verbatim).
void REZLogBasic(DAZLoggerLevel level, std::string_view service, std::string_view messageCode,
                 std::string_view format, DAZLogArguments args);

namespace rez_detail {
template <class... Args>
void logAtLevel(DAZLoggerLevel level, std::string_view service, std::string_view code, std::string_view format,
                const Args&... args) {
  REZLoggerSetUp();
  if (!daz_detail::loggerAccepts(level, false)) return;
  const std::array<os::FormatArg, sizeof...(Args)> list{os::FormatArg(args)...};
  REZLogBasic(level, service, code, format, std::span<const os::FormatArg>(list.data(), list.size()));
}
}  // namespace rez_detail

template <class... Args>
void REZLogError(std::string_view service, std::string_view code, std::string_view format, const Args&... args) {
  rez_detail::logAtLevel(DAZLoggerLevel::Error, service, code, format, args...);
}
template <class... Args>
void REZLogWarning(std::string_view service, std::string_view code, std::string_view format, const Args&... args) {
  rez_detail::logAtLevel(DAZLoggerLevel::Warning, service, code, format, args...);
}
template <class... Args>
void REZLogNotice(std::string_view service, std::string_view code, std::string_view format, const Args&... args) {
  rez_detail::logAtLevel(DAZLoggerLevel::Notice, service, code, format, args...);
}
template <class... Args>
void REZLogInfo(std::string_view service, std::string_view code, std::string_view format, const Args&... args) {
  rez_detail::logAtLevel(DAZLoggerLevel::Info, service, code, format, args...);
}
template <class... Args>
void REZLogDebug(std::string_view service, std::string_view code, std::string_view format, const Args&... args) {
  rez_detail::logAtLevel(DAZLoggerLevel::Debug, service, code, format, args...);
}

// For callers with a ready-made message: it is written with an empty argument
// list, so it must hold no format directives.
class REZLoggerWrapper {
 public:
  static void logWithLevel(DAZLoggerLevel level, std::string_view service, std::string_view code,
                           std::string_view message);
};

// Lets the next log call run the set-up again (tests of the debug switches).
void REZLoggerTEST_reset();
