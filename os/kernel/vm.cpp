#include "os/kernel/vm.h"

#include <fcntl.h>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "os/kernel/detail.h"

namespace os::kernel {
namespace {

std::atomic<bool> gPipeOnly{false};
std::atomic<bool> gKernelCopyRefused{false};

// The range through a pipe: writing unreadable memory fails with EFAULT.
kern_return_t readThroughPipe(uintptr_t address, size_t size, unsigned char* data) {
  int fds[2];
  if (::syscall(SYS_pipe2, fds, O_CLOEXEC) != 0) return KERN_RESOURCE_SHORTAGE;
  kern_return_t result = KERN_SUCCESS;
  size_t done = 0;
  while (done < size && result == KERN_SUCCESS) {
    size_t chunk = size - done < 4096 ? size - done : 4096;
    long written = ::syscall(SYS_write, fds[1], address + done, chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      result = KERN_INVALID_ADDRESS;
      break;
    }
    for (size_t got = 0; got < size_t(written);) {
      long n = ::syscall(SYS_read, fds[0], data + done + got, size_t(written) - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        result = KERN_INVALID_ADDRESS;
        break;
      }
      got += size_t(n);
    }
    done += size_t(written);
  }
  ::syscall(SYS_close, fds[0]);
  ::syscall(SYS_close, fds[1]);
  return result;
}

// The number after `key` (a line start such as "MemFree:") in `text`, or -1.
long long fieldAfter(const char* text, const char* key) {
  const size_t keyLength = std::strlen(key);
  for (const char* line = text; *line;) {
    if (std::strncmp(line, key, keyLength) == 0) {
      const char* c = line + keyLength;
      while (*c == ' ' || *c == '\t') ++c;
      if (*c < '0' || *c > '9') return -1;
      long long value = 0;
      for (; *c >= '0' && *c <= '9'; ++c) value = value * 10 + (*c - '0');
      return value;
    }
    const char* next = std::strchr(line, '\n');
    if (!next) break;
    line = next + 1;
  }
  return -1;
}

}  // namespace

void TEST_setSafeReadPath(SafeReadPath path) { gPipeOnly.store(path == SafeReadPath::PipeProbe); }

kern_return_t vm_read_overwrite(task_t task, vm_address_t address, vm_size_t size, vm_address_t data,
                                vm_size_t* outsize) {
  if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
  if (size == 0) {
    if (outsize) *outsize = 0;
    return KERN_SUCCESS;
  }
  if (address + size < address || data + size < data) return KERN_INVALID_ADDRESS;
  const int saved = errno;
  kern_return_t result = KERN_SUCCESS;
  bool viaPipe = gPipeOnly.load(std::memory_order_relaxed) || gKernelCopyRefused.load(std::memory_order_relaxed);
  if (!viaPipe) {
    iovec local{reinterpret_cast<void*>(data), size};
    iovec remote{reinterpret_cast<void*>(address), size};
    long n = ::syscall(SYS_process_vm_readv, ::getpid(), &local, 1, &remote, 1, 0);
    if (n == long(size)) {
      result = KERN_SUCCESS;
    } else if (n >= 0 || errno == EFAULT || errno == ENOMEM) {
      result = KERN_INVALID_ADDRESS;
    } else {
      // Refused (EPERM, ENOSYS, ...): the pipe from now on.
      gKernelCopyRefused.store(true, std::memory_order_relaxed);
      viaPipe = true;
    }
  }
  if (viaPipe) result = readThroughPipe(address, size, reinterpret_cast<unsigned char*>(data));
  errno = saved;
  if (result == KERN_SUCCESS && outsize) *outsize = size;
  return result;
}

kern_return_t host_page_size(host_t host, vm_size_t* size) {
  if (host != mach_host_self() || !size) return KERN_INVALID_ARGUMENT;
  *size = detail::pageSize();
  return KERN_SUCCESS;
}

kern_return_t host_statistics(host_t host, host_flavor_t flavor, host_info_t info, mach_msg_type_number_t* count) {
  if (host != mach_host_self() || flavor != HOST_VM_INFO || !info || !count || *count < HOST_VM_INFO_COUNT)
    return KERN_INVALID_ARGUMENT;
  char text[8192];
  if (detail::readSmallFile("/proc/meminfo", text, sizeof text) <= 0) return KERN_FAILURE;
  const long long pageKiB = (long long)(detail::pageSize() / 1024);
  auto pages = [&](const char* key) -> natural_t {
    long long kib = fieldAfter(text, key);
    return kib > 0 ? natural_t(kib / pageKiB) : 0;
  };
  const long long memFree = fieldAfter(text, "MemFree:");
  if (memFree < 0) return KERN_FAILURE;
  vm_statistics stats{};
  stats.free_count = pages("MemFree:");
  stats.active_count = pages("Active:");
  stats.inactive_count = pages("Inactive:");
  stats.wire_count = pages("Unevictable:") + pages("SUnreclaim:") + pages("KernelStack:") + pages("PageTables:");
  std::memcpy(info, &stats, sizeof stats);
  *count = HOST_VM_INFO_COUNT;
  return KERN_SUCCESS;
}

kern_return_t task_info(task_t task, task_flavor_t flavor, task_info_t info, mach_msg_type_number_t* count) {
  if (task != mach_task_self() || flavor != TASK_BASIC_INFO_64 || !info || !count ||
      *count < TASK_BASIC_INFO_64_COUNT)
    return KERN_INVALID_ARGUMENT;
  char text[1024];
  if (detail::readSmallFile("/proc/self/stat", text, sizeof text) <= 0) return KERN_FAILURE;
  // "pid (name) state ..." where the name may hold spaces and parentheses:
  // the fields that follow start after the last ')'. Field 3 is the state.
  const char* c = std::strrchr(text, ')');
  if (!c) return KERN_FAILURE;
  ++c;
  unsigned long long fields[25] = {};
  for (int field = 3; field <= 24; ++field) {
    while (*c == ' ') ++c;
    if (*c == '\0') return KERN_FAILURE;
    unsigned long long value = 0;
    for (; *c >= '0' && *c <= '9'; ++c) value = value * 10 + unsigned(*c - '0');
    while (*c && *c != ' ') ++c;  // the state letter, a sign
    fields[field] = value;
  }
  const unsigned long long hz = ::getauxval(AT_CLKTCK) ? ::getauxval(AT_CLKTCK) : 100;
  auto toTime = [hz](unsigned long long ticks) {
    return time_value_t{integer_t(ticks / hz), integer_t((ticks % hz) * 1'000'000 / hz)};
  };
  task_basic_info_64 record{};
  record.virtual_size = fields[23];
  record.resident_size = fields[24] * detail::pageSize();
  record.user_time = toTime(fields[14]);
  record.system_time = toTime(fields[15]);
  std::memcpy(info, &record, sizeof record);
  *count = TASK_BASIC_INFO_64_COUNT;
  return KERN_SUCCESS;
}

}  // namespace os::kernel
