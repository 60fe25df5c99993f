// Alternate signal stacks for every thread.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "crash/core/zoz_thread_stacks.h"

namespace {

struct Seen {
  stack_t stack{};
  bool own = false;
};

void* noteStack(void* seen) {
  auto* out = static_cast<Seen*>(seen);
  ::sigaltstack(nullptr, &out->stack);
  out->own = ZOZThreadStacksIsOwnStack(out->stack);
  return nullptr;
}

bool mapped(const void* address) {
  unsigned char resident = 0;
  const uintptr_t page = uintptr_t(address) & ~uintptr_t(::sysconf(_SC_PAGESIZE) - 1);
  return ::mincore(reinterpret_cast<void*>(page), 1, &resident) == 0 || errno != ENOMEM;
}

TEST(ThreadStacksTest, EveryThreadStartsWithItsOwnStackWhichGoesWithTheThread) {
  stack_t main{};
  ASSERT_EQ(::sigaltstack(nullptr, &main), 0);
  EXPECT_FALSE(main.ss_flags & SS_DISABLE) << "the main thread has none";

  Seen seen;
  pthread_t thread;
  ASSERT_EQ(::pthread_create(&thread, nullptr, noteStack, &seen), 0);
  ASSERT_EQ(::pthread_join(thread, nullptr), 0);
  ASSERT_FALSE(seen.stack.ss_flags & SS_DISABLE);
  if (!seen.own) GTEST_SKIP() << "the address sanitizer gave the thread its stack first";
  EXPECT_EQ(seen.stack.ss_size, kZOZThreadSignalStackSize);
  EXPECT_NE(seen.stack.ss_sp, main.ss_sp);
  EXPECT_FALSE(mapped(seen.stack.ss_sp)) << "the stack outlived its thread";
}

TEST(ThreadStacksTest, AThreadThatHasAStackKeepsIt) {
  static char theirs[64 * 1024];
  pthread_t thread;
  ASSERT_EQ(::pthread_create(
                &thread, nullptr,
                [](void*) -> void* {
                  stack_t stack{}, before{};
                  stack.ss_sp = theirs;
                  stack.ss_size = sizeof theirs;
                  ::sigaltstack(&stack, &before);
                  const bool kept = ZOZThreadStacksInstallForCurrentThread() &&
                                    ::sigaltstack(nullptr, &stack) == 0 && stack.ss_sp == theirs;
                  ::sigaltstack(&before, nullptr);  // whoever set it up takes it down
                  return reinterpret_cast<void*>(uintptr_t(kept));
                },
                nullptr),
            0);
  void* kept = nullptr;
  ASSERT_EQ(::pthread_join(thread, &kept), 0);
  EXPECT_TRUE(kept);
}

}  // namespace
