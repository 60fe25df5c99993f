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

// A line gathered on the stack and written with one write(2) (more only for
// a line longer than the buffer): a crash path logs thousands of lines, and
// whole-line appends do not interleave with another thread's.
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  ~LineWriter() { flush(); }
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  void append(const char* bytes, size_t length) {
    while (length > 0) {
      if (used_ == sizeof buffer_) flush();
      const size_t room = sizeof buffer_ - used_;
      const size_t n = length < room ? length : room;
      std::memcpy(buffer_ + used_, bytes, n);
      used_ += n;
      bytes += n;
      length -= n;
    }
  }
  void appendUnsigned(uint64_t value, bool hex) {
    char digits[kZOZUInt64StringBufferSize];
    const size_t first = ZOZFileUInt64ToString(digits, value, hex);
    append(digits + first, kZOZUInt64StringBufferSize - 1 - first);
  }
  void flush() {
    writeAll(fd_, buffer_, used_);
    used_ = 0;
  }

 private:
  int fd_;
  size_t used_ = 0;
  char buffer_[1024];
};

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

  LineWriter line(fd);
  va_list args;
  va_start(args, format);
  const char* run = format;  // the start of the pending literal text
  const char* p = format;
  while (*p) {
    if (*p != '%') {
      ++p;
      continue;
    }
    line.append(run, size_t(p - run));
    const char directive = p[1];
    switch (directive) {
      case 's': {
        const char* string = va_arg(args, const char*);
        if (!string) string = "(null)";
        line.append(string, std::strlen(string));
        break;
      }
      case 'd': {
        const int value = va_arg(args, int);
        if (value < 0) {
          line.append("-", 1);
          line.appendUnsigned(uint64_t(0) - uint64_t(int64_t(value)), false);
        } else {
          line.appendUnsigned(uint64_t(value), false);
        }
        break;
      }
      case 'u':
        line.appendUnsigned(va_arg(args, unsigned), false);
        break;
      case 'x':
        line.appendUnsigned(va_arg(args, unsigned), true);
        break;
      case 'p':
        line.append("0x", 2);
        line.appendUnsigned(reinterpret_cast<uintptr_t>(va_arg(args, const void*)), true);
        break;
      case '\0':
        // A lone "%" at the end.
        line.append("%", 1);
        run = p + 1;
        p = run;
        continue;
      default:
        // Any other pair is written as it stands and takes no argument.
        line.append(p, 2);
        break;
    }
    p += 2;
    run = p;
  }
  line.append(run, size_t(p - run));
  va_end(args);
}
