// Threads by their kernel ids (see threads.h).
//
// Suspension protocol, one slot per suspended thread. A slot's control word
// is (tid << 4) | state, so a thread can only ever act on a slot that names
// it, and every transition is one compare-and-swap of the word (the futex
// word too):
//   Free -> Claimed      thread_suspend claims a slot for the target
//   Claimed -> Requested thread_suspend, then sends the signal
//   Requested -> Free    thread_suspend gives up after the bound (the late
//                        signal then finds no request and returns at once)
//   Requested -> Copying the target's handler, before it keeps its context
//   Copying -> Parked    the handler, context kept: the acknowledgement
//   Parked -> Resuming   the last thread_resume
//   Resuming -> Free     the handler, as it leaves
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/dispatch/queue.h"
#include "os/kernel/detail.h"
#include "os/kernel/threads.h"

namespace os::kernel {
namespace {

enum : uint32_t { kFree = 0, kClaimed = 1, kRequested = 2, kCopying = 3, kParked = 4, kResuming = 5 };

constexpr uint32_t word(int tid, uint32_t state) { return (uint32_t(tid) << 4) | state; }
constexpr int tidOf(uint32_t control) { return int(control >> 4); }

struct SuspendSlot {
  std::atomic<uint32_t> control{kFree};
  std::atomic<uint32_t> count{0};  // suspensions held (changed by the controlling thread)
  ucontext_t context;              // written only between Copying and Parked
};

constexpr size_t kSuspendSlots = 512;
SuspendSlot gSlots[kSuspendSlots];
std::atomic<uint32_t> gSuspendTimeoutMs{1000};
std::atomic<int> gHandlerInstalled{0};  // 0 no, 1 being installed, 2 yes

int suspendSignal() { return SIGRTMIN + 4; }

// Writes "/proc/self/task/<tid>/<leaf>" into `path` (64 bytes suffice for
// the leaves used here).
void taskFilePath(char (&path)[64], int tid, const char* leaf) {
  char* end = detail::appendDecimal(path + std::strlen(std::strcpy(path, "/proc/self/task/")), uint64_t(tid));
  *end++ = '/';
  std::memcpy(end, leaf, std::strlen(leaf) + 1);
}

// The kernel's flag for a thread that has begun to exit: it handles no more
// signals, though tgkill still finds it until it is released.
constexpr unsigned long kTaskExiting = 0x4;

// True while the thread can still take a signal: it is found and has not
// begun to exit (the flags of /proc/self/task/<tid>/stat; when that cannot be
// read, being found is enough).
bool threadExists(int tid) {
  int saved = errno;
  bool exists = ::syscall(SYS_tgkill, ::getpid(), tid, 0) == 0 || errno != ESRCH;
  errno = saved;
  if (!exists) return false;
  char path[64];
  taskFilePath(path, tid, "stat");
  char text[512];
  if (detail::readSmallFile(path, text, sizeof text) < 0) return true;
  // After the name's closing parenthesis: state, ppid, pgrp, session,
  // tty_nr, tpgid, flags.
  const char* c = std::strrchr(text, ')');
  if (!c) return true;
  for (int field = 0; field < 6; ++field) {
    c = std::strchr(c + 1, ' ');
    if (!c) return true;
  }
  unsigned long flags = 0;
  for (++c; *c >= '0' && *c <= '9'; ++c) flags = flags * 10 + unsigned(*c - '0');
  return (flags & kTaskExiting) == 0;
}

void suspendHandler(int, siginfo_t*, void* context) {
  const int saved = errno;
  const int tid = detail::currentTid();
  for (auto& slot : gSlots) {
    uint32_t expected = word(tid, kRequested);
    if (!slot.control.compare_exchange_strong(expected, word(tid, kCopying), std::memory_order_acq_rel)) continue;
    std::memcpy(&slot.context, context, sizeof(ucontext_t));
    slot.control.store(word(tid, kParked), std::memory_order_release);
    detail::futexWakeAll(slot.control);
    const uint32_t parked = word(tid, kParked);
    while (slot.control.load(std::memory_order_acquire) == parked) detail::futexWait(slot.control, parked, -1);
    uint32_t resuming = word(tid, kResuming);
    slot.control.compare_exchange_strong(resuming, kFree, std::memory_order_acq_rel);
    detail::futexWakeAll(slot.control);
    break;
  }
  errno = saved;
}

void installHandler() {
  if (gHandlerInstalled.load(std::memory_order_acquire) == 2) return;
  int expected = 0;
  if (gHandlerInstalled.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
    struct sigaction action {};
    action.sa_sigaction = suspendHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(suspendSignal(), &action, nullptr);
    gHandlerInstalled.store(2, std::memory_order_release);
    return;
  }
  while (gHandlerInstalled.load(std::memory_order_acquire) != 2) ::sched_yield();
}

SuspendSlot* slotOf(int tid) {
  for (auto& slot : gSlots) {
    uint32_t c = slot.control.load(std::memory_order_acquire);
    if (c != kFree && tidOf(c) == tid) return &slot;
  }
  return nullptr;
}

// The target thread of a port, or 0 for a port that names no thread.
int targetOf(thread_act_t thread) { return threadIdForPort(thread); }

}  // namespace

int threadSuspendSignal() { return suspendSignal(); }

void TEST_setSuspendTimeoutMilliseconds(uint32_t milliseconds) {
  gSuspendTimeoutMs.store(milliseconds, std::memory_order_relaxed);
}

namespace {

// The first half of a suspension: counts a thread that is already parked, or
// claims a slot for it, marks it requested and sends the signal. On success
// the thread is parked or its acknowledgement is awaited by awaitSuspend.
kern_return_t requestSuspend(int tid, int64_t deadline) {
  // Already parked: count it. A slot in passing (being requested or left)
  // is waited out within the bound.
  while (SuspendSlot* slot = slotOf(tid)) {
    uint32_t c = slot->control.load(std::memory_order_acquire);
    if (c == word(tid, kParked)) {
      slot->count.fetch_add(1, std::memory_order_acq_rel);
      return KERN_SUCCESS;
    }
    if (tidOf(c) == tid && !detail::futexWait(slot->control, c, deadline)) return KERN_OPERATION_TIMED_OUT;
  }

  SuspendSlot* slot = nullptr;
  for (auto& candidate : gSlots) {
    uint32_t expected = kFree;
    if (candidate.control.compare_exchange_strong(expected, word(tid, kClaimed), std::memory_order_acq_rel)) {
      slot = &candidate;
      break;
    }
  }
  if (!slot) return KERN_RESOURCE_SHORTAGE;
  slot->count.store(1, std::memory_order_relaxed);
  slot->control.store(word(tid, kRequested), std::memory_order_release);

  const int saved = errno;
  if (::syscall(SYS_tgkill, ::getpid(), tid, suspendSignal()) != 0) {
    const bool gone = errno == ESRCH;
    errno = saved;
    slot->control.store(kFree, std::memory_order_release);
    return gone ? MACH_SEND_INVALID_DEST : KERN_FAILURE;
  }
  return KERN_SUCCESS;
}

constexpr int64_t kLivenessSliceNanos = 10'000'000;

// The second half: waits, at most until the deadline, for the thread's
// acknowledgement of a request that requestSuspend made.
kern_return_t awaitSuspend(int tid, int64_t deadline) {
  SuspendSlot* slot = slotOf(tid);
  if (!slot) return KERN_FAILURE;
  for (;;) {
    uint32_t c = slot->control.load(std::memory_order_acquire);
    if (c == word(tid, kParked)) return KERN_SUCCESS;
    if (c == word(tid, kRequested)) {
      // Waits in slices, so a thread that exits instead of answering is
      // reported gone at once rather than at the bound.
      const int64_t sliceEnd = detail::monotonicNanos() + kLivenessSliceNanos;
      if (detail::futexWait(slot->control, c, sliceEnd < deadline ? sliceEnd : deadline)) continue;
      const bool gone = !threadExists(tid);
      if (!gone && detail::monotonicNanos() < deadline) continue;
      uint32_t expected = word(tid, kRequested);
      if (slot->control.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel))
        return gone ? MACH_SEND_INVALID_DEST : KERN_OPERATION_TIMED_OUT;
      continue;  // acknowledged at the last moment
    }
    if (c == word(tid, kCopying)) {
      // The handler runs and is about to acknowledge: no bound needed.
      detail::futexWait(slot->control, c, -1);
      continue;
    }
    return KERN_FAILURE;
  }
}

int64_t suspendDeadline() { return detail::monotonicNanos() + int64_t(gSuspendTimeoutMs.load()) * 1'000'000; }

}  // namespace

kern_return_t thread_suspend(thread_act_t thread) {
  const int tid = targetOf(thread);
  if (tid == 0 || tid == detail::currentTid()) return KERN_INVALID_ARGUMENT;
  installHandler();
  const int64_t deadline = suspendDeadline();
  const kern_return_t requested = requestSuspend(tid, deadline);
  return requested == KERN_SUCCESS ? awaitSuspend(tid, deadline) : requested;
}

kern_return_t thread_suspend_others(const thread_act_t* threads, mach_msg_type_number_t count,
                                    mach_msg_type_number_t* failedIndex) {
  if (!threads && count > 0) return KERN_INVALID_ARGUMENT;
  installHandler();
  const int self = detail::currentTid();
  const int64_t deadline = suspendDeadline();
  kern_return_t result = KERN_SUCCESS;
  const auto fail = [&](mach_msg_type_number_t i, kern_return_t r) {
    if (result != KERN_SUCCESS) return;
    result = r;
    if (failedIndex) *failedIndex = i;
  };
  // Every request first; a failed one leaves no slot behind, so the second
  // pass waits only for the requests that are out.
  for (mach_msg_type_number_t i = 0; i < count; ++i) {
    const int tid = targetOf(threads[i]);
    if (tid == self) continue;
    const kern_return_t r = tid == 0 ? KERN_INVALID_ARGUMENT : requestSuspend(tid, deadline);
    if (r != KERN_SUCCESS) fail(i, r);
  }
  for (mach_msg_type_number_t i = 0; i < count; ++i) {
    const int tid = targetOf(threads[i]);
    if (tid == self || tid == 0 || !slotOf(tid)) continue;
    const kern_return_t r = awaitSuspend(tid, deadline);
    if (r != KERN_SUCCESS) fail(i, r);
  }
  return result;
}

kern_return_t thread_resume(thread_act_t thread) {
  const int tid = targetOf(thread);
  if (tid == 0) return KERN_INVALID_ARGUMENT;
  for (auto& slot : gSlots) {
    if (slot.control.load(std::memory_order_acquire) != word(tid, kParked)) continue;
    if (slot.count.fetch_sub(1, std::memory_order_acq_rel) > 1) return KERN_SUCCESS;
    slot.control.store(word(tid, kResuming), std::memory_order_release);
    detail::futexWakeAll(slot.control);
    return KERN_SUCCESS;
  }
  return threadExists(tid) ? KERN_FAILURE : MACH_SEND_INVALID_DEST;
}

x86_thread_state64_t threadStateFromMachineContext(const void* uap) {
  const greg_t* g = static_cast<const ucontext_t*>(uap)->uc_mcontext.gregs;
  x86_thread_state64_t s{};
  s.rax = uint64_t(g[REG_RAX]);
  s.rbx = uint64_t(g[REG_RBX]);
  s.rcx = uint64_t(g[REG_RCX]);
  s.rdx = uint64_t(g[REG_RDX]);
  s.rdi = uint64_t(g[REG_RDI]);
  s.rsi = uint64_t(g[REG_RSI]);
  s.rbp = uint64_t(g[REG_RBP]);
  s.rsp = uint64_t(g[REG_RSP]);
  s.r8 = uint64_t(g[REG_R8]);
  s.r9 = uint64_t(g[REG_R9]);
  s.r10 = uint64_t(g[REG_R10]);
  s.r11 = uint64_t(g[REG_R11]);
  s.r12 = uint64_t(g[REG_R12]);
  s.r13 = uint64_t(g[REG_R13]);
  s.r14 = uint64_t(g[REG_R14]);
  s.r15 = uint64_t(g[REG_R15]);
  s.rip = uint64_t(g[REG_RIP]);
  s.rflags = uint64_t(g[REG_EFL]);
  const uint64_t segments = uint64_t(g[REG_CSGSFS]);
  s.cs = segments & 0xFFFF;
  s.gs = (segments >> 16) & 0xFFFF;
  s.fs = (segments >> 32) & 0xFFFF;
  return s;
}

kern_return_t thread_get_state(thread_act_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t* count) {
  const int tid = targetOf(thread);
  if (tid == 0 || tid == detail::currentTid() || flavor != x86_THREAD_STATE64 || !state || !count ||
      *count < x86_THREAD_STATE64_COUNT)
    return KERN_INVALID_ARGUMENT;
  for (auto& slot : gSlots) {
    if (slot.control.load(std::memory_order_acquire) != word(tid, kParked)) continue;
    const x86_thread_state64_t s = threadStateFromMachineContext(&slot.context);
    std::memcpy(state, &s, sizeof s);
    *count = x86_THREAD_STATE64_COUNT;
    return KERN_SUCCESS;
  }
  return threadExists(tid) ? KERN_FAILURE : MACH_SEND_INVALID_DEST;
}

kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor, thread_info_t info,
                          mach_msg_type_number_t* count) {
  const int tid = targetOf(thread);
  if (tid == 0 || flavor != THREAD_IDENTIFIER_INFO || !info || !count || *count < THREAD_IDENTIFIER_INFO_COUNT)
    return KERN_INVALID_ARGUMENT;
  if (!threadExists(tid)) return MACH_SEND_INVALID_DEST;
  thread_identifier_info record;
  record.thread_id = uint64_t(tid);
  record.thread_handle = tid == detail::currentTid() ? uint64_t(::pthread_self()) : 0;
  record.dispatch_qaddr = uint64_t(os::dispatch::queueLabelSlotAddress(tid));
  std::memcpy(info, &record, sizeof record);
  *count = THREAD_IDENTIFIER_INFO_COUNT;
  return KERN_SUCCESS;
}

int thread_get_name(thread_act_t thread, char* name, size_t size) {
  if (!name || size == 0) return ERANGE;
  name[0] = '\0';
  const int tid = targetOf(thread);
  if (tid == 0) return ESRCH;
  char path[64];
  taskFilePath(path, tid, "comm");
  char text[64];
  long n = detail::readSmallFile(path, text, sizeof text);
  if (n < 0) return ESRCH;
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\0')) --n;
  size_t copy = size_t(n) < size - 1 ? size_t(n) : size - 1;
  std::memcpy(name, text, copy);
  name[copy] = '\0';
  return 0;
}

namespace {

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

}  // namespace

kern_return_t task_threads(task_t task, thread_act_array_t* threads, mach_msg_type_number_t* count) {
  if (task != mach_task_self() || !threads || !count) return KERN_INVALID_ARGUMENT;
  const int saved = errno;
  int fd = int(::syscall(SYS_openat, AT_FDCWD, "/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd < 0) {
    errno = saved;
    return KERN_RESOURCE_SHORTAGE;
  }
  const size_t page = detail::pageSize();
  size_t bytes = page;
  void* mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  kern_return_t result = mapped == MAP_FAILED ? KERN_RESOURCE_SHORTAGE : KERN_SUCCESS;
  auto* list = static_cast<thread_act_t*>(mapped);
  size_t n = 0;
  alignas(8) char buffer[2048];
  while (result == KERN_SUCCESS) {
    long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) result = KERN_RESOURCE_SHORTAGE;
    if (got <= 0) break;
    for (long offset = 0; offset < got && result == KERN_SUCCESS;) {
      auto* entry = reinterpret_cast<linux_dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      int tid = 0;
      const char* c = entry->d_name;
      for (; *c >= '0' && *c <= '9'; ++c) tid = tid * 10 + (*c - '0');
      if (*c != '\0' || tid == 0) continue;
      if ((n + 1) * sizeof(thread_act_t) > bytes) {
        void* grown = ::mremap(list, bytes, bytes * 2, MREMAP_MAYMOVE);
        if (grown == MAP_FAILED) {
          result = KERN_RESOURCE_SHORTAGE;
          break;
        }
        list = static_cast<thread_act_t*>(grown);
        bytes *= 2;
      }
      list[n++] = threadPortForId(tid);
    }
  }
  ::syscall(SYS_close, fd);
  errno = saved;
  if (result != KERN_SUCCESS) {
    if (mapped != MAP_FAILED) ::munmap(list, bytes);
    return result;
  }
  *threads = list;
  *count = mach_msg_type_number_t(n);
  return KERN_SUCCESS;
}

kern_return_t vm_deallocate(task_t task, vm_address_t address, vm_size_t size) {
  if (task != mach_task_self()) return KERN_INVALID_ARGUMENT;
  if (size == 0) return KERN_SUCCESS;
  const uintptr_t page = detail::pageSize();
  uintptr_t start = address & ~(page - 1);
  uintptr_t end = (address + size + page - 1) & ~(page - 1);
  return ::munmap(reinterpret_cast<void*>(start), end - start) == 0 ? KERN_SUCCESS : KERN_INVALID_ADDRESS;
}

}  // namespace os::kernel
