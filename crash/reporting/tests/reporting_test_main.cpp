// The reporting test program's entry: a crash scenario named in the
// environment runs instead of the tests (crash/core/tests/crash_path_support.h).
#include <gtest/gtest.h>
#include <unistd.h>

#include "crash/core/tests/crash_path_support.h"

#if defined(__SANITIZE_ADDRESS__)
// The signals are the capture core's to handle in a crashing scenario.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
}
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
}
#endif

int main(int argc, char** argv) {
  // A scenario's process ends at once with its status: its dispatch workers
  // still run.
  if (auto status = crashpath::runScenarioFromEnvironment()) ::_exit(*status);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
