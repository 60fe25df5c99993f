#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "os/kernel/vm.h"

namespace os::kernel {
namespace {

const task_t kSelf = mach_task_self();

// Three pages: readable text, a guard page, and a page given back.
class SafeReadTest : public ::testing::TestWithParam<SafeReadPath> {
 protected:
  void SetUp() override {
    page = size_t(::sysconf(_SC_PAGESIZE));
    auto* base = static_cast<char*>(::mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    readable = base;
    guard = base + page;
    unmapped = base + 2 * page;
    std::memset(readable, 'r', page);
    std::memcpy(readable + page - 6, "hello", 6);
    ASSERT_EQ(::mprotect(guard, page, PROT_NONE), 0);
    ASSERT_EQ(::munmap(unmapped, page), 0);
    TEST_setSafeReadPath(GetParam());
  }
  void TearDown() override {
    TEST_setSafeReadPath(SafeReadPath::Automatic);
    ::munmap(readable, 2 * page);
  }
  size_t page = 0;
  char* readable = nullptr;
  char* guard = nullptr;
  char* unmapped = nullptr;
};

TEST_P(SafeReadTest, UnreadableMemoryFailsWithoutAFaultAndReadableMemoryIsCopied) {
  struct Case {
    const char* label;
    uintptr_t address;
    size_t size;
    kern_return_t expected;
  };
  const Case cases[] = {
      {"readable", uintptr_t(readable + page - 6), 6, KERN_SUCCESS},
      {"whole page", uintptr_t(readable), page, KERN_SUCCESS},
      {"guard page", uintptr_t(guard), 8, KERN_INVALID_ADDRESS},
      {"unmapped page", uintptr_t(unmapped), 8, KERN_INVALID_ADDRESS},
      {"address 0", 0, 8, KERN_INVALID_ADDRESS},
      {"into the guard page", uintptr_t(readable + page - 4), 8, KERN_INVALID_ADDRESS},
      {"wraps around", UINTPTR_MAX - 3, 8, KERN_INVALID_ADDRESS},
      {"nothing", 0, 0, KERN_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<char> out(c.size + 1, 'x');
    vm_size_t got = 99;
    EXPECT_EQ(vm_read_overwrite(kSelf, c.address, c.size, vm_address_t(out.data()), &got), c.expected);
    if (c.expected == KERN_SUCCESS && c.size > 0) {
      EXPECT_EQ(got, c.size);
      EXPECT_EQ(std::memcmp(out.data(), reinterpret_cast<const void*>(c.address), c.size), 0);
    }
    EXPECT_EQ(out[c.size], 'x');  // nothing written past the end
  }
  char one;
  EXPECT_EQ(vm_read_overwrite(mach_host_self(), uintptr_t(readable), 1, vm_address_t(&one), nullptr),
            KERN_INVALID_ARGUMENT);
}

INSTANTIATE_TEST_SUITE_P(Paths, SafeReadTest, ::testing::Values(SafeReadPath::Automatic, SafeReadPath::PipeProbe),
                         [](const auto& info) {
                           return info.param == SafeReadPath::Automatic ? "KernelCopy" : "PipeProbe";
                         });

double processCpuSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

TEST(StatisticsTest, HostPagesAndTaskSizesAndTimes) {
  vm_statistics_data_t host{};
  mach_msg_type_number_t count = HOST_VM_INFO_COUNT;
  ASSERT_EQ(host_statistics(mach_host_self(), HOST_VM_INFO, reinterpret_cast<host_info_t>(&host), &count),
            KERN_SUCCESS);
  EXPECT_EQ(count, 15u);
  EXPECT_GT(host.free_count, 0u);
  EXPECT_GT(host.active_count + host.inactive_count, 0u);
  EXPECT_GT(host.wire_count, 0u);
  vm_size_t pageSize = 0;
  ASSERT_EQ(host_page_size(mach_host_self(), &pageSize), KERN_SUCCESS);
  EXPECT_EQ(pageSize, vm_size_t(::sysconf(_SC_PAGESIZE)));
  count = HOST_VM_INFO_COUNT - 1;
  EXPECT_EQ(host_statistics(mach_host_self(), HOST_VM_INFO, reinterpret_cast<host_info_t>(&host), &count),
            KERN_INVALID_ARGUMENT);

  // Some CPU time to read back.
  const double start = processCpuSeconds();
  volatile uint64_t spin = 0;
  while (processCpuSeconds() - start < 0.2) spin = spin + 1;

  // A process name with a space and parentheses must not shift the fields.
  char name[17] = {};
  ::prctl(PR_GET_NAME, name);
  ::prctl(PR_SET_NAME, "a) (b c");
  task_basic_info_64_data_t task{};
  count = TASK_BASIC_INFO_64_COUNT;
  kern_return_t r = task_info(kSelf, TASK_BASIC_INFO_64, reinterpret_cast<task_info_t>(&task), &count);
  const double cpu = processCpuSeconds();
  ::prctl(PR_SET_NAME, name);
  ASSERT_EQ(r, KERN_SUCCESS);
  EXPECT_EQ(count, 10u);
  // The record is packed to 4 bytes: copy its 64-bit fields before binding references.
  const uint64_t resident = task.resident_size, virtualSize = task.virtual_size;
  EXPECT_GT(resident, 0u);
  EXPECT_GE(virtualSize, resident);
  EXPECT_LT(task.user_time.microseconds, 1'000'000);
  EXPECT_LT(task.system_time.microseconds, 1'000'000);
  const double read = task.user_time.seconds + task.user_time.microseconds / 1e6 + task.system_time.seconds +
                      task.system_time.microseconds / 1e6;
  // Clock ticks round the kernel's count down.
  EXPECT_GE(read, 0.2 - 0.05);
  EXPECT_LE(read, cpu + 0.05);
  count = TASK_BASIC_INFO_64_COUNT;
  EXPECT_EQ(task_info(kSelf, 5, reinterpret_cast<task_info_t>(&task), &count), KERN_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace os::kernel
