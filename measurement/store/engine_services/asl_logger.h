// The measurement monitor's console sink: the APMLogging protocol and
// APMASLLogger, which writes each line to the platform logger.
//
// APMASLLogger translates the monitor's levels (0..8) into the platform
// logger's (DAZLoggerLevelFromLogLevel), prints the message code as
// "I-ACS%06ld" and writes under the subsystem kAPMAnalyticsSubsystem with the
// tag as category, forcing the line through exactly at monitor level 7. The
// line is passed as a format with every "%" doubled and an empty argument
// list, so it arrives in the log unchanged.
//
// Stateless and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/utilities/logger.h"

// Where the measurement library's lines go in the platform logger.
inline constexpr const char* kAPMAnalyticsSubsystem = "com.devuvo.vivuzuvu.analytics";
inline constexpr const char* kAPMLogTag = "<DuvEvodedezudi>";
inline constexpr const char* kAPMMessageCodeFormat = "I-ACS%06ld";

// "I-ACS" and the code in six digits.
std::string APMMessageCodeString(int64_t messageCode);

// The console sink of the monitor. Called on the monitor's queue.
class APMLogging {
 public:
  virtual ~APMLogging() = default;
  virtual void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                          int64_t logLevel) = 0;
};

class APMASLLogger : public APMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                  int64_t logLevel) override;
  // 0, 1, 2 give Error; 3, 4, 5 Warning; 6 Notice; 7, 8 Debug; any other
  // Warning.
  static DAZLoggerLevel DAZLoggerLevelFromLogLevel(int64_t logLevel);
};
