#include "os/dispatch/lock.h"

#include <gtest/gtest.h>

#include <atomic>

#include "os/dispatch/queue.h"

namespace os {
namespace {

TEST(LockTest, SynchronizedIsExclusivePerObjectAndRecursive) {
  int objA = 0, objB = 0;
  std::atomic<int> insideA{0};
  std::atomic<bool> overlapped{false};
  long total = 0;  // guarded by objA's monitor
  DispatchQueue::global()->apply(64, [&](size_t i) {
    for (int n = 0; n < 200; ++n) {
      synchronized(&objA, [&] {
        if (insideA.fetch_add(1) != 0) overlapped = true;
        synchronized(&objA, [&] { total++; });  // re-entry on the same thread
        // Another object's monitor is independent and may be taken inside.
        synchronized(&objB, [&] { (void)i; });
        insideA.fetch_sub(1);
      });
    }
  });
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(total, 64 * 200);
  EXPECT_EQ(synchronized(&objB, [] { return 5; }), 5);
}

TEST(LockTest, MutexesWorkWithStandardGuards) {
  Mutex m;
  RecursiveMutex r;
  Monitor mon;
  {
    std::lock_guard<Mutex> g(m);
    EXPECT_FALSE(m.tryLock());
  }
  EXPECT_TRUE(m.tryLock());
  m.unlock();
  std::lock_guard<RecursiveMutex> g1(r);
  std::lock_guard<RecursiveMutex> g2(r);
  EXPECT_EQ(mon.synchronized([&] { return mon.synchronized([] { return 3; }); }), 3);
}

}  // namespace
}  // namespace os
