// Internals shared by the register state, the call-frame machinery and the
// stack unwinder: their log lines and the register-state steps that both the
// compact strategy and the frame-pointer strategy take. Not for other
// callers.
//
// Async-signal-safe: no allocation, no lock, no stdio.
#pragma once

#include <cstddef>
#include <cstdint>

struct ZOZThreadContext;

// The capture core's internal log (zoz_sdk_log.h) and safe read
// (zoz_utilities.h), declared here as there so that these sources build
// without the rest of the core's headers (the fuzz target builds them alone).
void ZOZSDKFileLog(int level, const char* format, ...);
bool ZOZReadMemory(uintptr_t source, void* destination, size_t length);

// Addresses below this are never valid pointers (the capture core's
// kZOZMinimumValidAddress).
inline constexpr uint64_t kZOZUnwindMinimumValidAddress = 4096;
// A frame record: the saved fp, then the return address.
inline constexpr uint64_t kZOZFrameRecordSize = 16;

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
// level (1 DEBUG, 2 INFO, 3 WARN, 4 ERROR) and its text as quoted in the code,
// as it goes to the internal log; null removes it. Called on the thread that
// logs, inside the crash path: the observer must be async-signal-safe.
using ZOZUnwindLogObserver = void (*)(int level, const char* message);
void TEST_ZOZUnwindSetLogObserver(ZOZUnwindLogObserver observer);

// A line of the internal log: the level word padded to five characters and
// the place, then the message.
#define ZOZ_UNWIND_LOG(level, word, message, ...)                                                \
  do {                                                                                           \
    ::zoz_detail::observeUnwindLog(level, message);                                              \
    ZOZSDKFileLog(level, word " [%s:%d] " message "\n", __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)
// The trace of a DWARF run (each instruction handled, each expression opcode,
// each saved register fetched): a crash walks thousands of them, so they go
// to the observer only, at the debug level, and never to the file; failures
// are logged where they happen.
#define ZOZ_UNWIND_TRACE(message, ...)                                        \
  do {                                                                        \
    ::zoz_detail::observeUnwindLog(1, message);                               \
    if (false) ZOZSDKFileLog(1, message __VA_OPT__(, ) __VA_ARGS__);          \
  } while (0)
#define ZOZ_UNWIND_DEBUG(message, ...) ZOZ_UNWIND_LOG(1, "DEBUG", message __VA_OPT__(, ) __VA_ARGS__)
#define ZOZ_UNWIND_INFO(message, ...) ZOZ_UNWIND_LOG(2, "INFO ", message __VA_OPT__(, ) __VA_ARGS__)
#define ZOZ_UNWIND_WARN(message, ...) ZOZ_UNWIND_LOG(3, "WARN ", message __VA_OPT__(, ) __VA_ARGS__)
#define ZOZ_UNWIND_ERROR(message, ...) ZOZ_UNWIND_LOG(4, "ERROR", message __VA_OPT__(, ) __VA_ARGS__)
