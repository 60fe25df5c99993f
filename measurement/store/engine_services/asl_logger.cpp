#include "measurement/store/engine_services/asl_logger.h"

#include <span>

#include "os/foundation/format.h"

std::string APMMessageCodeString(int64_t messageCode) {
  return os::format(kAPMMessageCodeFormat, static_cast<long>(messageCode));
}

void APMASLLogger::logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                              int64_t logLevel) {
  std::string escaped;
  escaped.reserve(message.size());
  for (char c : message) {
    escaped += c;
    if (c == '%') escaped += '%';
  }
  DAZLogBasic(DAZLoggerLevelFromLogLevel(logLevel), kAPMAnalyticsSubsystem, logTag, logLevel == 7,
              APMMessageCodeString(messageCode), escaped, std::span<const os::FormatArg>());
}

DAZLoggerLevel APMASLLogger::DAZLoggerLevelFromLogLevel(int64_t logLevel) {
  switch (logLevel) {
    case 0:
    case 1:
    case 2:
      return DAZLoggerLevel::Error;
    case 3:
    case 4:
    case 5:
      return DAZLoggerLevel::Warning;
    case 6:
      return DAZLoggerLevel::Notice;
    case 7:
    case 8:
      return DAZLoggerLevel::Debug;
    default:
      return DAZLoggerLevel::Warning;
  }
}
