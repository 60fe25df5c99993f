// Fault-free reads of the process's own memory, and the host's and the
// task's memory and CPU statistics, Mach-shaped.
//
// Every function here is async-signal-safe: system calls and hand parsing
// into fixed buffers; no allocation, no lock, no stdio. errno is kept.
#pragma once

#include <cstdint>

#include "os/kernel/mach.h"

namespace os::kernel {

// Copies `size` bytes at `address` of the own task (another task:
// KERN_INVALID_ARGUMENT) to `data` without ever faulting: unmapped memory, a
// guard page, address 0 or a range that wraps give KERN_INVALID_ADDRESS, and
// a range readable only in part fails whole. On success *outsize = size. A
// size of 0 succeeds at once.
//
// The copy goes through the kernel (process_vm_readv on the own process).
// Where that call is refused (a sandbox without it), the range is written
// into a pipe, which fails with EFAULT instead of faulting, and read back.
kern_return_t vm_read_overwrite(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                                vm_size_t* outsize);

// Which way the safe read goes: the kernel's copy while it is allowed, or
// the pipe probe only (to exercise the fallback).
enum class SafeReadPath { Automatic, PipeProbe };
void TEST_setSafeReadPath(SafeReadPath path);

// ---- Host statistics ----
using host_flavor_t = int;
using host_info_t = integer_t*;
inline constexpr host_flavor_t HOST_VM_INFO = 2;
// Page counts. From /proc/meminfo: free = MemFree, active = Active,
// inactive = Inactive, wired = what cannot be paged out (Unevictable,
// SUnreclaim, KernelStack, PageTables); the other counts are 0.
struct vm_statistics {
  natural_t free_count, active_count, inactive_count, wire_count, zero_fill_count, reactivations, pageins,
      pageouts, faults, cow_faults, lookups, hits, purgeable_count, purges, speculative_count;
};
using vm_statistics_data_t = vm_statistics;
inline constexpr mach_msg_type_number_t HOST_VM_INFO_COUNT = sizeof(vm_statistics) / sizeof(integer_t);
// `info` holds *count words (at least HOST_VM_INFO_COUNT). KERN_INVALID_ARGUMENT
// for another host, flavour or too small a count; KERN_FAILURE when
// /proc/meminfo cannot be read.
kern_return_t host_statistics(host_t host, host_flavor_t flavor, host_info_t info, mach_msg_type_number_t* count);
// The size of the pages that the statistics count.
kern_return_t host_page_size(host_t host, vm_size_t* size);

// ---- Task statistics ----
using task_flavor_t = natural_t;
using task_info_t = integer_t*;
inline constexpr task_flavor_t TASK_BASIC_INFO_64 = 18;
struct time_value_t {
  integer_t seconds;
  integer_t microseconds;
};
#pragma pack(push, 4)
// From /proc/self/stat: virtual size, resident size (bytes), user and system
// CPU time; suspend count and policy 0.
struct task_basic_info_64 {
  integer_t suspend_count;
  uint64_t virtual_size;
  uint64_t resident_size;
  time_value_t user_time;
  time_value_t system_time;
  integer_t policy;
};
#pragma pack(pop)
using task_basic_info_64_data_t = task_basic_info_64;
inline constexpr mach_msg_type_number_t TASK_BASIC_INFO_64_COUNT = sizeof(task_basic_info_64) / sizeof(natural_t);
static_assert(TASK_BASIC_INFO_64_COUNT == 10);
// KERN_INVALID_ARGUMENT for another task, flavour or too small a count;
// KERN_FAILURE when /proc/self/stat cannot be read or parsed.
kern_return_t task_info(task_t task, task_flavor_t flavor, task_info_t info, mach_msg_type_number_t* count);

}  // namespace os::kernel
