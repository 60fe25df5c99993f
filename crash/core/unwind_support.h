// Internals shared by the register state, the call-frame machinery and the
// stack unwinder: their log lines and their memory reads. Not for other
// callers.
//
// Async-signal-safe: no allocation, no lock, no stdio.
#pragma once

#include <cstddef>
#include <cstdint>

struct ZOZThreadContext;

namespace zoz_detail {

// Copies `length` bytes at `address` without ever faulting; false for an
// address below 4096 or memory that cannot be read.
bool readMemory(uint64_t address, void* destination, size_t length);

// Hands a message's text (the format without the level and place prefix) to
// the observer a test installed, if any.
void observeUnwindLog(int level, const char* message);

// The capture core's internal log.
void unwindFileLog(int level, const char* format, ...);

// The register-state steps behind ZOZUnwindWithFramePointer and
// ZOZUnwindWithLRRegister, which the compact strategy applies too. Each
// changes the state only when it succeeds.
bool framePointerStep(ZOZThreadContext* state, bool allowLinkRegister);
bool linkRegisterStep(ZOZThreadContext* state);

}  // namespace zoz_detail

// Sees every message of the unwinder and the call-frame machinery, by its
// level (1 DEBUG, 2 INFO, 3 WARN, 4 ERROR) and its text as quoted in the
// code, before it goes to the internal log; null removes it. Called on the
// thread that logs, inside the crash path: the observer must be
// async-signal-safe.
using ZOZUnwindLogObserver = void (*)(int level, const char* message);
void TEST_ZOZUnwindSetLogObserver(ZOZUnwindLogObserver observer);

#define ZOZ_UNWIND_LOG(level, word, message, ...)                                                       \
  do {                                                                                                  \
    ::zoz_detail::observeUnwindLog(level, message);                                                     \
    ::zoz_detail::unwindFileLog(level, word " [%s:%d] " message "\n", __func__, __LINE__ __VA_OPT__(, ) \
                                    __VA_ARGS__);                                                       \
  } while (0)
#define ZOZ_UNWIND_DEBUG(message, ...) ZOZ_UNWIND_LOG(1, "DEBUG", message __VA_OPT__(, ) __VA_ARGS__)
#define ZOZ_UNWIND_INFO(message, ...) ZOZ_UNWIND_LOG(2, "INFO ", message __VA_OPT__(, ) __VA_ARGS__)
#define ZOZ_UNWIND_WARN(message, ...) ZOZ_UNWIND_LOG(3, "WARN ", message __VA_OPT__(, ) __VA_ARGS__)
#define ZOZ_UNWIND_ERROR(message, ...) ZOZ_UNWIND_LOG(4, "ERROR", message __VA_OPT__(, ) __VA_ARGS__)
