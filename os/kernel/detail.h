// Internals of os/kernel shared between its source files. Not for callers.
// Everything here is async-signal-safe.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace os::kernel::detail {

// Monotonic nanoseconds.
int64_t monotonicNanos();

// Sleeps while `word` holds `expected`, at most until `deadlineNanos`
// (monotonic; negative: no limit). Returns false once the deadline has
// passed; true on a wake-up, a change or an interruption (callers re-check).
bool futexWait(std::atomic<uint32_t>& word, uint32_t expected, int64_t deadlineNanos);
void futexWakeAll(std::atomic<uint32_t>& word);

// The page size (from the auxiliary vector).
size_t pageSize();

// The calling thread's kernel id, by system call.
int currentTid();

// Reads a whole small file into `buffer` (zero-terminated); the number of
// bytes read, or -1.
long readSmallFile(const char* path, char* buffer, size_t size);

// Writes the decimal digits of `value` at `out`; returns the end.
char* appendDecimal(char* out, uint64_t value);

}  // namespace os::kernel::detail
