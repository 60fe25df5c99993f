// A real chain of 20 calls for the unwinder to walk. Built at -O2 without
// frame pointers and without sibling calls (see CMakeLists.txt); every
// function is exported (dladdr names it) and kept whole (noipa: not inlined,
// cloned or merged with a look-alike).
#include "crash/core/tests/unwind_chain.h"

#include "os/kernel/mach.h"

extern "C" {

// In the first page, which nothing maps: a store there faults (and, unlike a
// null pointer, is no error for the undefined-behaviour sanitizer to stop at).
int* volatile drosilUnwindChainTarget = reinterpret_cast<int*>(16);

__attribute__((noipa)) int drosilUnwindChainLeaf(int value) { return value + 1; }

// The deepest: a call of its own, then a store that faults.
__attribute__((noipa)) int drosilUnwindChain20(int value) {
  const int result = drosilUnwindChainLeaf(value);
  *drosilUnwindChainTarget = result;
  return result + 20;
}

#define DROSIL_CHAIN_LINK(n, next, k) \
  __attribute__((noipa)) int drosilUnwindChain##n(int value) { return drosilUnwindChain##next(value + k) * 3 + k; }

DROSIL_CHAIN_LINK(19, 20, 19)
DROSIL_CHAIN_LINK(18, 19, 18)
DROSIL_CHAIN_LINK(17, 18, 17)
DROSIL_CHAIN_LINK(16, 17, 16)
DROSIL_CHAIN_LINK(15, 16, 15)
DROSIL_CHAIN_LINK(14, 15, 14)
DROSIL_CHAIN_LINK(13, 14, 13)
DROSIL_CHAIN_LINK(12, 13, 12)
DROSIL_CHAIN_LINK(11, 12, 11)
DROSIL_CHAIN_LINK(10, 11, 10)
DROSIL_CHAIN_LINK(09, 10, 9)
DROSIL_CHAIN_LINK(08, 09, 8)
DROSIL_CHAIN_LINK(07, 08, 7)
DROSIL_CHAIN_LINK(06, 07, 6)
DROSIL_CHAIN_LINK(05, 06, 5)
DROSIL_CHAIN_LINK(04, 05, 4)
DROSIL_CHAIN_LINK(03, 04, 3)
DROSIL_CHAIN_LINK(02, 03, 2)
DROSIL_CHAIN_LINK(01, 02, 1)

__attribute__((noipa)) int drosilUnwindChainCaller(int value) { return drosilUnwindChain01(value) + 7; }

__attribute__((noipa)) void* drosilUnwindWaitingThread(void* argument) {
  auto* waiter = static_cast<DrosilUnwindWaiter*>(argument);
  waiter->port.store(os::kernel::mach_thread_self());
  pthread_mutex_lock(&waiter->mutex);
  while (!waiter->released) pthread_cond_wait(&waiter->condition, &waiter->mutex);
  pthread_mutex_unlock(&waiter->mutex);
  return waiter;
}

}  // extern "C"
