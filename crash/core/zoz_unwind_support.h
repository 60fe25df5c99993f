// Internals shared by the register state, the call-frame machinery and the
// stack unwinder: their log lines and the register-state steps that both the
// compact strategy and the frame-pointer strategy take. Not for other
// callers.
//
// Async-signal-safe: no allocation, no lock, no stdio.
#pragma once

#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_utilities.h"

struct ZOZThreadContext;

namespace zoz_detail {

// Hands a message's text (the format without the level and place prefix) to
// the observer a test installed, if any.
void observeUnwindLog(int level, const char* message);

// The register-state steps behind ZOZUnwindWithFramePointer and
// ZOZUnwindWithLRRegister, which the compact strategy applies too. Each
// changes the state only when it succeeds.
bool framePointerStep(ZOZThreadContext* state, bool allowLinkRegister);
bool linkRegisterStep(ZOZThreadContext* state);

}  // namespace zoz_detail

// Sees every message of the unwinder and the call-frame machinery, by its
// level (ZOZInternalLogLevel) and its text as quoted in the code, as it goes
// to the internal log; null removes it. Called on the thread that logs,
// inside the crash path: the observer must be async-signal-safe.
using ZOZUnwindLogObserver = void (*)(int level, const char* message);
void TEST_ZOZUnwindSetLogObserver(ZOZUnwindLogObserver observer);

// The internal log's lines of the unwinder, seen by the observer too.
#define ZOZ_UNWIND_DEBUG(message, ...)                                        \
  do {                                                                        \
    ::zoz_detail::observeUnwindLog(ZOZInternalLogLevelDebug, message);        \
    ZOZSDKLogDebug(message __VA_OPT__(, ) __VA_ARGS__);                        \
  } while (0)
#define ZOZ_UNWIND_INFO(message, ...)                                         \
  do {                                                                        \
    ::zoz_detail::observeUnwindLog(ZOZInternalLogLevelInfo, message);         \
    ZOZSDKLogInfo(message __VA_OPT__(, ) __VA_ARGS__);                         \
  } while (0)
#define ZOZ_UNWIND_WARN(message, ...)                                         \
  do {                                                                        \
    ::zoz_detail::observeUnwindLog(ZOZInternalLogLevelWarn, message);         \
    ZOZSDKLogWarn(message __VA_OPT__(, ) __VA_ARGS__);                         \
  } while (0)
#define ZOZ_UNWIND_ERROR(message, ...)                                        \
  do {                                                                        \
    ::zoz_detail::observeUnwindLog(ZOZInternalLogLevelError, message);        \
    ZOZSDKLogError(message __VA_OPT__(, ) __VA_ARGS__);                        \
  } while (0)
