// The crash-path test program's heap guard (crash_path_main.cpp).
#pragma once

#include <atomic>

namespace crashpath {
// While set, every allocation through the C library aborts the process.
extern std::atomic<bool> forbidHeap;
// False where the guard is not compiled in (under the address sanitizer).
bool heapGuardAvailable();
}  // namespace crashpath
