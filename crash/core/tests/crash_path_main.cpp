// The crash-path test program's entry: a scenario named in the environment
// runs instead of the tests (crash_path_support.h).
//
// The program also replaces the C library's allocator entry points with
// ones that abort while crashpath::forbidHeap is set, so a scenario can show
// that the crash path allocates nothing. Under the address and thread
// sanitizers, which own the allocator (and whose runtime calls it before
// it has set itself up), the guard is left out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "crash/core/tests/crash_path_main.h"
#include "crash/core/tests/crash_path_support.h"

namespace crashpath {
std::atomic<bool> forbidHeap{false};
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The signals are the capture core's to handle: the sanitizer keeps out of
// them, and a crashing scenario ends without a leak check.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:detect_leaks=0";
}
#else
extern "C" const char* __tsan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
}
#endif
namespace crashpath {
bool heapGuardAvailable() { return false; }
}  // namespace crashpath
#else
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);

namespace {
inline void checkHeap() {
  if (crashpath::forbidHeap.load(std::memory_order_relaxed)) ::abort();
}
}  // namespace

void* malloc(size_t size) {
  checkHeap();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  checkHeap();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
  checkHeap();
  return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) {
  checkHeap();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  checkHeap();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  checkHeap();
  void* p = __libc_memalign(alignment, size);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
void* valloc(size_t size) {
  checkHeap();
  return __libc_valloc(size);
}
void* pvalloc(size_t size) {
  checkHeap();
  return __libc_pvalloc(size);
}
}
namespace crashpath {
bool heapGuardAvailable() { return true; }
}  // namespace crashpath
#endif

namespace crashpath {
bool suspensionBySignalAvailable() {
#if defined(__SANITIZE_THREAD__)
  return false;
#else
  return true;
#endif
}
}  // namespace crashpath

int main(int argc, char** argv) {
  // A scenario's process ends at once with its status: its dispatch workers
  // still run.
  if (auto status = crashpath::runScenarioFromEnvironment()) ::_exit(*status);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
