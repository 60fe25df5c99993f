// Preloaded into the program by its test, knowing nothing of the SDK:
// SIGUSR2 makes the main thread recurse until its stack overflows.
#include <signal.h>

namespace {

volatile int gSink = 0;

[[gnu::noinline]] int recurseOnMainThread(int depth) {
  volatile char pad[4096];
  pad[0] = char(depth);
  asm volatile("" : : "r"(&pad[0]) : "memory");
  if (gSink < 0) return pad[0];
  return recurseOnMainThread(depth + 1) + pad[0];
}

// Runs on the thread the signal was sent to, on that thread's own stack.
void overflow(int) { gSink = recurseOnMainThread(0); }

[[gnu::constructor]] void installOverflowTrigger() {
  struct sigaction action {};
  action.sa_handler = overflow;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGUSR2, &action, nullptr);
}

}  // namespace
