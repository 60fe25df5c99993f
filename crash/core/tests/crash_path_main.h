// The crash-path test program's heap guard (crash_path_main.cpp).
#pragma once

#include <atomic>

namespace crashpath {
// While set, every allocation through the C library aborts the process.
extern std::atomic<bool> forbidHeap;
// False where the guard is not compiled in (under the address and thread
// sanitizers).
bool heapGuardAvailable();
// False under the thread sanitizer: its runtime holds an asynchronous signal
// back until the receiving thread reaches one of its own delivery points, so
// the threads of a crashed process do not take the suspend signal and only
// the crashing thread can be read.
bool suspensionBySignalAvailable();
}  // namespace crashpath
