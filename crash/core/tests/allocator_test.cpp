#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "crash/core/tests/crash_core_test_support.h"
#include "crash/core/zoz_allocator.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/device_profile.h"
#include "os/testing/child_process.h"

namespace {

bool inRegion(const ZOZAllocatorRegion& region, const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  const auto start = reinterpret_cast<uintptr_t>(region.start);
  return at >= start && at < start + region.size;
}

bool isMapped(const void* address) {
  const auto page = reinterpret_cast<uintptr_t>(address) & ~uintptr_t(4095);
  return ::msync(reinterpret_cast<void*>(page), 4096, MS_ASYNC) == 0 || errno != ENOMEM;
}

using AllocatorTest = crashtest::CrashCoreTest;

TEST_F(AllocatorTest, RegionsAreWholePagesPlusOneBetweenGuards) {
  struct Case {
    const char* name;
    int32_t pageSize;
    size_t writable, readable;
    size_t writableSize, readableSize, mapping;
  };
  const std::vector<Case> cases = {
      {"an exact page still gets two", 4096, 4096, 4096 - kZOZAllocatorRecordSize, 8192, 8192, 8192 * 2 + 3 * 4096},
      {"less than a page gets one", 4096, 100, 0, 4096, 4096, 5 * 4096},
      {"the start-up requests at 16 KiB pages", 16384, 565'352, 17'048, 35 * 16384, 2 * 16384, 655'360},
      {"the start-up requests at 8 KiB pages", 8192, 565'352, 17'048, 70 * 8192, 3 * 8192, 76 * 8192},
  };
  startContext();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::sysctl::ScopedOverride pageSize("hw.pagesize", c.pageSize);
    ZOZAllocator* allocator = ZOZAllocatorCreate(c.writable, c.readable);
    ASSERT_NE(allocator, nullptr);
    EXPECT_EQ(allocator->writableRegion.size, c.writableSize);
    EXPECT_EQ(allocator->readableRegion.size, c.readableSize);
    EXPECT_EQ(ZOZAllocatorMappingSize(allocator), c.mapping);
    const auto base = static_cast<char*>(allocator->buffer);
    EXPECT_EQ(allocator->writableRegion.start, base + c.pageSize);
    EXPECT_EQ(allocator->readableRegion.start, base + 2 * c.pageSize + c.writableSize);
    // The record is the read-only region's first block.
    EXPECT_EQ(static_cast<void*>(allocator), allocator->readableRegion.start);
    ::munmap(allocator->buffer, c.mapping);
  }
}

TEST_F(AllocatorTest, FallsBackToTheHeapWhenFullOrProtected) {
  startContext();
  os::sysctl::ScopedOverride pageSize("hw.pagesize", int32_t(4096));
  ZOZAllocator* allocator = ZOZAllocatorCreate(100, 100);
  ASSERT_NE(allocator, nullptr);

  void* whole = ZOZAllocatorSafeAllocate(allocator, 4000, ZOZAllocationTypeWritable);
  void* rest = ZOZAllocatorSafeAllocate(allocator, 96, ZOZAllocationTypeWritable);
  EXPECT_TRUE(inRegion(allocator->writableRegion, whole));
  EXPECT_EQ(static_cast<char*>(rest), static_cast<char*>(whole) + 4000);  // blocks follow unrounded
  EXPECT_TRUE(inRegion(allocator->writableRegion, rest));
  void* beyond = ZOZAllocatorSafeAllocate(allocator, 1, ZOZAllocationTypeWritable);
  ASSERT_NE(beyond, nullptr);
  EXPECT_FALSE(inRegion(allocator->writableRegion, beyond));
  std::free(beyond);
  EXPECT_NE(internalLog().find("Unable to allocate sufficient memory, falling back to malloc"), std::string::npos);

  EXPECT_EQ(ZOZAllocatorSafeAllocate(allocator, 8, 2), nullptr);
  void* readOnly = ZOZAllocatorSafeAllocate(allocator, 8, ZOZAllocationTypeReadOnly);
  EXPECT_EQ(static_cast<char*>(readOnly), static_cast<char*>(allocator->readableRegion.start) + kZOZAllocatorRecordSize);

  ASSERT_TRUE(ZOZAllocatorProtect(allocator));
  void* late = ZOZAllocatorSafeAllocate(allocator, 8, ZOZAllocationTypeReadOnly);
  ASSERT_NE(late, nullptr);
  EXPECT_FALSE(inRegion(allocator->readableRegion, late));
  std::free(late);
  EXPECT_NE(internalLog().find("Allocator already protected, falling back to malloc"), std::string::npos);
  EXPECT_TRUE(ZOZAllocatorProtect(allocator));
  EXPECT_NE(internalLog().find("Write protection already enabled"), std::string::npos);

  void* orphan = ZOZAllocatorSafeAllocate(nullptr, 8, ZOZAllocationTypeWritable);
  EXPECT_NE(orphan, nullptr);
  std::free(orphan);
  EXPECT_NE(internalLog().find("Allocator invalid, falling back to malloc"), std::string::npos);
  EXPECT_FALSE(ZOZAllocatorProtect(nullptr));
}

TEST_F(AllocatorTest, ConcurrentAllocationsNeverOverlap) {
  startContext();
  constexpr int kThreads = 8;
  constexpr int kEach = 500;
  constexpr size_t kSize = 16;
  ZOZAllocator* allocator = ZOZAllocatorCreate(kThreads * kEach * kSize, 0);
  ASSERT_NE(allocator, nullptr);
  std::vector<std::vector<uintptr_t>> blocks(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        blocks[t].push_back(
            reinterpret_cast<uintptr_t>(ZOZAllocatorSafeAllocate(allocator, kSize, ZOZAllocationTypeWritable)));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<uintptr_t> all;
  for (const auto& list : blocks) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), size_t(kThreads * kEach));
  for (size_t i = 0; i < all.size(); ++i) {
    ASSERT_TRUE(inRegion(allocator->writableRegion, reinterpret_cast<void*>(all[i])));
    if (i > 0) {
      ASSERT_EQ(all[i] - all[i - 1], kSize);
    }
  }
}

TEST_F(AllocatorTest, WritesToTheProtectedContextOrAGuardPageFault) {
  startContext();
  ZOZAllocator* allocator = zozContext.allocator;
  ASSERT_NE(allocator, nullptr);
  ASSERT_TRUE(allocator->protectionEnabled.load());
  struct Case {
    const char* name;
    volatile char* target;
  };
  const std::vector<Case> cases = {
      {"the read-only context", reinterpret_cast<volatile char*>(&zozContext.readonly->debuggerAttached)},
      {"the first guard page", static_cast<char*>(allocator->buffer)},
      {"the middle guard page",
       static_cast<char*>(allocator->writableRegion.start) + allocator->writableRegion.size},
      {"the last guard page", static_cast<char*>(allocator->readableRegion.start) + allocator->readableRegion.size},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto result = os::testing::runInChild(
        [&]() -> std::string {
          // The fault ends the child by its signal, not through a sanitizer's
          // own handler.
          ::signal(SIGSEGV, SIG_DFL);
          *c.target = 1;
          return "the write went through";
        },
        30);
    EXPECT_EQ(result.signal, SIGSEGV) << result.describe();
  }
  // The writable part stays writable.
  zozContext.writable->internalLogging.logLevel = ZOZInternalLogLevelDebug;
}

// A failed guard protection used to leave the whole mapping behind.
TEST_F(AllocatorTest, AFailedGuardProtectionReleasesTheMapping) {
  startContext();
  static int failAtCall;
  static int calls;
  static void* firstAddress;
  for (int failing : {1, 2, 3}) {
    SCOPED_TRACE(failing);
    failAtCall = failing;
    calls = 0;
    firstAddress = nullptr;
    ZOZAllocatorTEST_setProtectFunction([](void* address, size_t length, int protection) {
      if (++calls == 1) firstAddress = address;  // the first guard: the mapping's start
      if (calls == failAtCall) {
        errno = ENOMEM;
        return -1;
      }
      return ::mprotect(address, length, protection);
    });
    ZOZAllocator* allocator = ZOZAllocatorCreate(8192, 128);
    ZOZAllocatorTEST_setProtectFunction(nullptr);
    EXPECT_EQ(allocator, nullptr);
    ASSERT_NE(firstAddress, nullptr);
    EXPECT_FALSE(isMapped(firstAddress));
  }
  const std::string log = internalLog();
  EXPECT_NE(log.find("First guard protection failed ENOMEM"), std::string::npos);
  EXPECT_NE(log.find("Middle guard protection failed ENOMEM"), std::string::npos);
  EXPECT_NE(log.find("Last guard protection failed ENOMEM"), std::string::npos);
}

}  // namespace
