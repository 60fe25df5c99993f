// Errors of the capture framework: domain "AVFoundationErrorDomain" with the
// platform's codes.
#pragma once

#include <cstdint>
#include <string>

#include "os/foundation/error.h"

inline constexpr const char* AVFoundationErrorDomain = "AVFoundationErrorDomain";

enum AVError : int64_t {
  AVErrorUnknown = -11800,
  AVErrorSessionNotRunning = -11803,
  AVErrorDeviceNotConnected = -11814,
  AVErrorDeviceLockedForConfigurationByAnotherProcess = -11817,
  AVErrorApplicationIsNotAuthorizedToUseDevice = -11852,
  AVErrorOperationNotAllowed = -11862,
};

inline os::Error AVMakeError(AVError code, std::string description) {
  return os::Error::withDescription(AVFoundationErrorDomain, code, std::move(description));
}
