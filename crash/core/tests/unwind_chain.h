// A real call chain: drosilUnwindChainCaller calls drosilUnwindChain01, which
// calls 02, ... up to 20, which calls drosilUnwindChainLeaf and then stores
// through drosilUnwindChainTarget (an unmapped address: the store faults).
//
// drosilUnwindWaitingThread is a thread's start routine that blocks in the
// C library's condition wait until `released` is set.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

struct DrosilUnwindWaiter {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t condition = PTHREAD_COND_INITIALIZER;
  bool released = false;           // guarded by mutex
  std::atomic<uint32_t> port{0};   // the waiting thread's port, once it runs
};

extern "C" {
extern int* volatile drosilUnwindChainTarget;
int drosilUnwindChainLeaf(int value);
int drosilUnwindChainCaller(int value);
void* drosilUnwindWaitingThread(void* waiter);
}
