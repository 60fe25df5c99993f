// Files opened with a data-protection class, as the platform's call takes
// them. Linux has no protection classes: the class and its flags are
// accepted and ignored, and the call is open(2). Async-signal-safe.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

namespace os::kernel {

// The protection classes callers name.
inline constexpr int PROTECTION_CLASS_D = 4;

// open(path, flags, mode); -1 with errno on failure.
inline int open_dprotected_np(const char* path, int flags, int protectionClass, int dpflags, mode_t mode = 0) {
  (void)protectionClass;
  (void)dpflags;
  return ::open(path, flags, mode);
}

}  // namespace os::kernel
