// The internal log (see zoz_sdk_log.h). Everything here is
// async-signal-safe: the formatter prints numbers by hand and writes with
// write(2); the descriptor is claimed with a compare-and-swap, not a lock.
#include "crash/core/zoz_sdk_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "crash/core/zoz_context.h"
#include "crash/core/zoz_file.h"

namespace {

// The descriptor's value while one caller is opening the log.
constexpr int kOpening = -2;

void writeAll(int fd, const char* bytes, size_t length) {
  if (length == 0) return;
  ZOZFileLoopWithWriteBlock(bytes, length, [fd](const void* p, size_t n) { return ZOZFileWriteToFD(fd, p, n); });
}

void writeUnsigned(int fd, uint64_t value, bool hex) {
  char buffer[kZOZUInt64StringBufferSize];
  const size_t first = ZOZFileUInt64ToString(buffer, value, hex);
  writeAll(fd, buffer + first, kZOZUInt64StringBufferSize - 1 - first);
}

// The log's descriptor for this context, opened by the first caller; -1 when
// it could not be opened (or another caller is opening it right now).
int logDescriptor(ZOZWritableContext* writable, const char* path) {
  std::atomic<int>& slot = writable->internalLogging.logFD;
  int fd = slot.load(std::memory_order_acquire);
  if (fd != -1) return fd >= 0 ? fd : -1;
  int expected = -1;
  if (!slot.compare_exchange_strong(expected, kOpening, std::memory_order_acq_rel)) {
    return expected >= 0 ? expected : -1;
  }
  fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  // A failed open leaves a negative value other than -1: nothing is written
  // for this context from now on.
  slot.store(fd >= 0 ? fd : -3, std::memory_order_release);
  return fd;
}

}  // namespace

void ZOZSDKFileLog(int level, const char* format, ...) {
  ZOZReadOnlyContext* readonly = zozContext.readonly;
  ZOZWritableContext* writable = zozContext.writable;
  if (!readonly || !writable || !readonly->logPath || !format) return;
  if (level < writable->internalLogging.logLevel) return;
  const int fd = logDescriptor(writable, readonly->logPath);
  if (fd < 0) return;

  va_list args;
  va_start(args, format);
  const char* run = format;  // the start of the pending literal text
  const char* p = format;
  while (*p) {
    if (*p != '%') {
      ++p;
      continue;
    }
    writeAll(fd, run, size_t(p - run));
    const char directive = p[1];
    switch (directive) {
      case 's': {
        const char* string = va_arg(args, const char*);
        if (!string) string = "(null)";
        writeAll(fd, string, std::strlen(string));
        break;
      }
      case 'd': {
        const int value = va_arg(args, int);
        if (value < 0) {
          writeAll(fd, "-", 1);
          writeUnsigned(fd, uint64_t(0) - uint64_t(int64_t(value)), false);
        } else {
          writeUnsigned(fd, uint64_t(value), false);
        }
        break;
      }
      case 'u':
        writeUnsigned(fd, va_arg(args, unsigned), false);
        break;
      case 'x':
        writeUnsigned(fd, va_arg(args, unsigned), true);
        break;
      case 'p':
        writeAll(fd, "0x", 2);
        writeUnsigned(fd, reinterpret_cast<uintptr_t>(va_arg(args, const void*)), true);
        break;
      case '\0':
        // A lone "%" at the end.
        writeAll(fd, "%", 1);
        run = p + 1;
        p = run;
        continue;
      default:
        // Any other pair is written as it stands and takes no argument.
        writeAll(fd, p, 2);
        break;
    }
    p += 2;
    run = p;
  }
  writeAll(fd, run, size_t(p - run));
  va_end(args);
}
