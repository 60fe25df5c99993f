// Ports, exception ports and messages (see mach.h).
//
// Invariants:
//  1. A port is live exactly while its `name` holds the name handed out;
//     destroying it clears `name` first, so a later look-up of the old name
//     fails and blocked receivers see the change on their next check.
//  2. A message slot goes Empty -> Writing -> Full -> Reading -> Empty, each
//     step by compare-and-swap or by the one thread that owns the slot in
//     the state before; bytes are written only while Writing and read only
//     while Reading. `changes` is bumped (and waiters woken) whenever a slot
//     becomes Full or Empty and when the port goes.
//  3. A slot whose destination is not its port's live name is stale (sent to
//     a port that went): receivers and the next allocation empty it.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "os/kernel/detail.h"
#include "os/kernel/mach.h"

namespace os::kernel {
namespace detail {

int64_t monotonicNanos() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

bool futexWait(std::atomic<uint32_t>& word, uint32_t expected, int64_t deadlineNanos) {
  timespec relative{};
  timespec* limit = nullptr;
  if (deadlineNanos >= 0) {
    int64_t left = deadlineNanos - monotonicNanos();
    if (left <= 0) return false;
    relative.tv_sec = time_t(left / 1'000'000'000);
    relative.tv_nsec = long(left % 1'000'000'000);
    limit = &relative;
  }
  int saved = errno;
  long rc = ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, limit,
                      nullptr, 0);
  bool timedOut = rc != 0 && errno == ETIMEDOUT;
  errno = saved;
  return !timedOut;
}

void futexWakeAll(std::atomic<uint32_t>& word) {
  int saved = errno;
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
  errno = saved;
}

size_t pageSize() { return size_t(::getauxval(AT_PAGESZ)); }

int currentTid() { return int(::syscall(SYS_gettid)); }

long readSmallFile(const char* path, char* buffer, size_t size) {
  if (size == 0) return -1;
  int saved = errno;
  int fd = int(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
  if (fd < 0) {
    errno = saved;
    return -1;
  }
  size_t used = 0;
  while (used + 1 < size) {
    long n = ::syscall(SYS_read, fd, buffer + used, size - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += size_t(n);
  }
  buffer[used] = '\0';
  ::syscall(SYS_close, fd);
  errno = saved;
  return long(used);
}

char* appendDecimal(char* out, uint64_t value) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = char('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  return out;
}

}  // namespace detail

namespace {

constexpr uint32_t kFirstPortIndex = 3;  // 1: the task, 2: the host
constexpr mach_port_t kTaskSelf = (1u << 8) | 3;
constexpr mach_port_t kHostSelf = (2u << 8) | 3;
constexpr uint32_t kThreadPortTag = 0x80000000u;
constexpr mach_port_t kClaiming = 1;  // no port has this name

enum SlotState : uint32_t { kEmpty, kWriting, kFull, kReading };

struct MessageSlot {
  std::atomic<uint32_t> state{kEmpty};
  std::atomic<mach_port_t> destination{0};
  std::atomic<uint64_t> order{0};
  uint32_t size = 0;  // written while Writing, read while Reading
  alignas(8) unsigned char bytes[kMaxMessageSize];
};

struct Port {
  std::atomic<mach_port_t> name{0};
  std::atomic<uint32_t> sendRights{0};
  std::atomic<uint32_t> changes{0};  // futex word
  uint32_t generation = 0;           // changed only by the thread that claimed the port
  MessageSlot slots[kQueueLimit];
};

Port gPorts[kMaxPorts];
std::atomic<uint64_t> gOrder{1};

Port* portFor(mach_port_name_t name) {
  if (name & kThreadPortTag) return nullptr;
  uint32_t index = name >> 8;
  if (index < kFirstPortIndex || index >= kFirstPortIndex + kMaxPorts) return nullptr;
  Port& port = gPorts[index - kFirstPortIndex];
  return port.name.load(std::memory_order_acquire) == name ? &port : nullptr;
}

void changed(Port& port) {
  port.changes.fetch_add(1, std::memory_order_acq_rel);
  detail::futexWakeAll(port.changes);
}

void destroy(Port& port, mach_port_t name) {
  if (!port.name.compare_exchange_strong(name, 0, std::memory_order_acq_rel)) return;
  changed(port);
}

// A disposition as the receiver sees it.
mach_msg_type_name_t received(mach_msg_type_name_t disposition) {
  switch (disposition) {
    case MACH_MSG_TYPE_MOVE_RECEIVE:
      return MACH_MSG_TYPE_MOVE_RECEIVE;
    case MACH_MSG_TYPE_MOVE_SEND:
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MAKE_SEND:
      return MACH_MSG_TYPE_MOVE_SEND;
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
      return MACH_MSG_TYPE_MOVE_SEND_ONCE;
    default:
      return 0;
  }
}

int64_t deadlineAfter(bool timed, mach_msg_timeout_t milliseconds) {
  return timed ? detail::monotonicNanos() + int64_t(milliseconds) * 1'000'000 : -1;
}

mach_msg_return_t sendMessage(const mach_msg_header_t* msg, mach_msg_size_t size, bool timed,
                              mach_msg_timeout_t timeout) {
  if (!msg || size < sizeof(mach_msg_header_t)) return MACH_SEND_MSG_TOO_SMALL;
  if (size > kMaxMessageSize) return MACH_SEND_TOO_LARGE;
  const mach_port_t destination = msg->msgh_remote_port;
  const int64_t deadline = deadlineAfter(timed, timeout);
  for (;;) {
    Port* port = portFor(destination);
    if (!port) return MACH_SEND_INVALID_DEST;
    uint32_t seen = port->changes.load(std::memory_order_acquire);
    for (auto& slot : port->slots) {
      uint32_t expected = kEmpty;
      if (!slot.state.compare_exchange_strong(expected, kWriting, std::memory_order_acquire)) continue;
      std::memcpy(slot.bytes, msg, size);
      slot.size = size;
      // The receiver's view: ports swapped, dispositions in received form.
      auto* header = reinterpret_cast<mach_msg_header_t*>(slot.bytes);
      mach_msg_bits_t bits = msg->msgh_bits;
      header->msgh_bits = (bits & ~0x1f1fu) | MACH_MSGH_BITS(received((bits >> 8) & 0x1f), received(bits & 0x1f));
      header->msgh_remote_port = msg->msgh_local_port;
      header->msgh_local_port = destination;
      header->msgh_size = size;
      slot.destination.store(destination, std::memory_order_relaxed);
      slot.order.store(gOrder.fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
      slot.state.store(kFull, std::memory_order_release);
      changed(*port);
      return MACH_MSG_SUCCESS;
    }
    if (timed && timeout == 0) return MACH_SEND_TIMED_OUT;
    if (!detail::futexWait(port->changes, seen, deadline)) return MACH_SEND_TIMED_OUT;
  }
}

mach_msg_return_t receiveMessage(mach_msg_header_t* msg, mach_msg_size_t capacity, mach_port_t name, bool large,
                                 bool timed, mach_msg_timeout_t timeout) {
  Port* port = portFor(name);
  if (!port) return MACH_RCV_INVALID_NAME;
  const int64_t deadline = deadlineAfter(timed, timeout);
  for (;;) {
    if (port->name.load(std::memory_order_acquire) != name) return MACH_RCV_PORT_DIED;
    uint32_t seen = port->changes.load(std::memory_order_acquire);
    MessageSlot* oldest = nullptr;
    uint64_t oldestOrder = 0;
    for (auto& slot : port->slots) {
      if (slot.state.load(std::memory_order_acquire) != kFull) continue;
      if (slot.destination.load(std::memory_order_relaxed) != name) {
        uint32_t full = kFull;
        if (slot.state.compare_exchange_strong(full, kEmpty, std::memory_order_acq_rel)) changed(*port);
        continue;
      }
      uint64_t order = slot.order.load(std::memory_order_relaxed);
      if (!oldest || order < oldestOrder) {
        oldest = &slot;
        oldestOrder = order;
      }
    }
    if (oldest) {
      uint32_t full = kFull;
      if (!oldest->state.compare_exchange_strong(full, kReading, std::memory_order_acquire)) continue;
      const mach_msg_size_t need = oldest->size + mach_msg_size_t(sizeof(mach_msg_trailer_t));
      if (need > capacity || !msg) {
        if (msg && capacity >= sizeof(mach_msg_header_t)) msg->msgh_size = need;
        oldest->state.store(large ? kFull : kEmpty, std::memory_order_release);
        if (!large) changed(*port);
        return MACH_RCV_TOO_LARGE;
      }
      std::memcpy(msg, oldest->bytes, oldest->size);
      mach_msg_trailer_t trailer{0, mach_msg_size_t(sizeof(mach_msg_trailer_t))};
      std::memcpy(reinterpret_cast<unsigned char*>(msg) + oldest->size, &trailer, sizeof trailer);
      oldest->state.store(kEmpty, std::memory_order_release);
      changed(*port);
      return MACH_MSG_SUCCESS;
    }
    if (timed && timeout == 0) return MACH_RCV_TIMED_OUT;
    if (!detail::futexWait(port->changes, seen, deadline)) return MACH_RCV_TIMED_OUT;
  }
}

// ---- exception ports: one packed entry per type ----
// port (32 bits) | behaviour (15 bits and MACH_EXCEPTION_CODES as bit 15) |
// flavour (16 bits).
std::atomic<uint64_t> gExceptionPorts[EXC_TYPES_COUNT];

uint64_t pack(mach_port_t port, exception_behavior_t behavior, thread_state_flavor_t flavor) {
  uint64_t b = uint64_t(uint32_t(behavior) & 0x7FFF) | ((uint32_t(behavior) & 0x80000000u) ? 0x8000 : 0);
  return (uint64_t(port) << 32) | (b << 16) | uint64_t(uint32_t(flavor) & 0xFFFF);
}
mach_port_t packedPort(uint64_t e) { return mach_port_t(e >> 32); }
exception_behavior_t packedBehavior(uint64_t e) {
  uint32_t b = uint32_t(e >> 16) & 0xFFFF;
  return exception_behavior_t((b & 0x7FFF) | ((b & 0x8000) ? 0x80000000u : 0));
}
thread_state_flavor_t packedFlavor(uint64_t e) { return thread_state_flavor_t(e & 0xFFFF); }

kern_return_t checkRegistration(task_t task, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior,
                                thread_state_flavor_t flavor) {
  if (task != kTaskSelf || (mask & ~EXC_MASK_VALID) != 0) return KERN_INVALID_ARGUMENT;
  if ((uint32_t(behavior) & ~(0x80000000u | 0x7FFFu)) != 0 || flavor < 0 || flavor > 0xFFFF)
    return KERN_INVALID_ARGUMENT;
  if (port == MACH_PORT_NULL) return KERN_SUCCESS;
  if (!portFor(port)) return MACH_SEND_INVALID_RIGHT;
  exception_behavior_t base = behavior & ~MACH_EXCEPTION_CODES;
  if (base != EXCEPTION_DEFAULT && base != EXCEPTION_STATE && base != EXCEPTION_STATE_IDENTITY)
    return KERN_INVALID_ARGUMENT;
  return KERN_SUCCESS;
}

// Adds one type's entry to the grouped output.
void collect(uint64_t entry, exception_type_t type, exception_mask_array_t masks, uint32_t capacity, uint32_t& count,
             exception_port_array_t ports, exception_behavior_array_t behaviors,
             exception_flavor_array_t flavors) {
  for (uint32_t j = 0; j < count; ++j) {
    if (ports[j] == packedPort(entry) && behaviors[j] == packedBehavior(entry) &&
        flavors[j] == packedFlavor(entry)) {
      masks[j] |= 1u << type;
      return;
    }
  }
  if (count >= capacity) return;
  masks[count] = 1u << type;
  ports[count] = packedPort(entry);
  behaviors[count] = packedBehavior(entry);
  flavors[count] = packedFlavor(entry);
  ++count;
}

kern_return_t getOrSwap(bool swap, task_t task, exception_mask_t mask, mach_port_t port,
                        exception_behavior_t behavior, thread_state_flavor_t flavor, exception_mask_array_t masks,
                        mach_msg_type_number_t* masksCnt, exception_port_array_t ports,
                        exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
  if (!masksCnt || !masks || !ports || !behaviors || !flavors) return KERN_INVALID_ARGUMENT;
  kern_return_t check = swap ? checkRegistration(task, mask, port, behavior, flavor)
                             : checkRegistration(task, mask, MACH_PORT_NULL, 0, 0);
  if (check != KERN_SUCCESS) return check;
  uint32_t capacity = *masksCnt < EXC_TYPES_COUNT ? *masksCnt : uint32_t(EXC_TYPES_COUNT);
  uint32_t count = 0;
  const uint64_t replacement = pack(port, behavior, flavor);
  for (exception_type_t type = 1; type < exception_type_t(EXC_TYPES_COUNT); ++type) {
    if ((mask & (1u << type)) == 0) continue;
    uint64_t old = swap ? gExceptionPorts[type].exchange(replacement, std::memory_order_acq_rel)
                        : gExceptionPorts[type].load(std::memory_order_acquire);
    collect(old, type, masks, capacity, count, ports, behaviors, flavors);
  }
  *masksCnt = count;
  return KERN_SUCCESS;
}

#pragma pack(push, 4)
// The request without MACH_EXCEPTION_CODES: 32-bit codes, id 2401.
// A wire layout apart from mach_exception_raise_request_t, as the protocol defines both.
struct exception_raise_request_t {
  mach_msg_header_t Head;
  mach_msg_body_t msgh_body;
  mach_msg_port_descriptor_t thread;
  mach_msg_port_descriptor_t task;
  NDR_record_t NDR;
  exception_type_t exception;
  mach_msg_type_number_t codeCnt;
  exception_data_type_t code[2];
};
#pragma pack(pop)

template <class Request>
mach_msg_size_t fillRequest(Request& r, mach_port_t destination, mach_port_t reply, mach_msg_id_t id,
                            thread_t thread, task_t task, exception_type_t exception,
                            const mach_exception_data_type_t* codes, mach_msg_type_number_t count) {
  std::memset(&r, 0, sizeof r);
  r.Head.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) | MACH_MSGH_BITS_COMPLEX;
  r.Head.msgh_remote_port = destination;
  r.Head.msgh_local_port = reply;
  r.Head.msgh_id = id;
  r.msgh_body.msgh_descriptor_count = 2;
  r.thread.name = thread;
  r.thread.disposition = MACH_MSG_TYPE_MOVE_SEND;
  r.thread.type = MACH_MSG_PORT_DESCRIPTOR;
  r.task.name = task;
  r.task.disposition = MACH_MSG_TYPE_MOVE_SEND;
  r.task.type = MACH_MSG_PORT_DESCRIPTOR;
  r.NDR = NDR_record;
  r.exception = exception;
  r.codeCnt = count;
  for (mach_msg_type_number_t i = 0; i < count; ++i) r.code[i] = decltype(r.code[0])(codes[i]);
  // The unused codes are not sent.
  return mach_msg_size_t(sizeof r - (2 - count) * sizeof r.code[0]);
}

}  // namespace

task_t mach_task_self() { return kTaskSelf; }
host_t mach_host_self() { return kHostSelf; }
thread_t mach_thread_self() { return threadPortForId(detail::currentTid()); }

thread_t threadPortForId(int tid) {
  if (tid <= 0 || tid >= (1 << 23)) return MACH_PORT_NULL;
  return kThreadPortTag | (uint32_t(tid) << 8);
}

int threadIdForPort(thread_t thread) {
  if ((thread & kThreadPortTag) == 0) return 0;
  return int((thread & ~kThreadPortTag) >> 8);
}

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name) {
  if (task != kTaskSelf || right != MACH_PORT_RIGHT_RECEIVE || !name) return KERN_INVALID_ARGUMENT;
  for (uint32_t i = 0; i < kMaxPorts; ++i) {
    Port& port = gPorts[i];
    mach_port_t expected = 0;
    if (!port.name.compare_exchange_strong(expected, kClaiming, std::memory_order_acq_rel)) continue;
    port.generation = port.generation % 255 + 1;
    port.sendRights.store(0, std::memory_order_relaxed);
    for (auto& slot : port.slots) {
      uint32_t full = kFull;
      slot.state.compare_exchange_strong(full, kEmpty, std::memory_order_acq_rel);
    }
    mach_port_t assigned = ((i + kFirstPortIndex) << 8) | port.generation;
    port.name.store(assigned, std::memory_order_release);
    *name = assigned;
    return KERN_SUCCESS;
  }
  return KERN_NO_SPACE;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly) {
  if (task != kTaskSelf) return KERN_INVALID_ARGUMENT;
  Port* port = portFor(name);
  if (!port) return KERN_INVALID_NAME;
  if (poly != name) return KERN_INVALID_VALUE;
  if (polyPoly != MACH_MSG_TYPE_MAKE_SEND && polyPoly != MACH_MSG_TYPE_COPY_SEND) return KERN_INVALID_RIGHT;
  port->sendRights.fetch_add(1, std::memory_order_acq_rel);
  return KERN_SUCCESS;
}

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name) {
  if (task != kTaskSelf) return KERN_INVALID_ARGUMENT;
  if (name == kTaskSelf || name == kHostSelf || threadIdForPort(name) != 0) return KERN_SUCCESS;
  Port* port = portFor(name);
  if (!port) return KERN_INVALID_NAME;
  uint32_t rights = port->sendRights.load(std::memory_order_acquire);
  while (rights > 0) {
    if (port->sendRights.compare_exchange_weak(rights, rights - 1, std::memory_order_acq_rel)) return KERN_SUCCESS;
  }
  destroy(*port, name);
  return KERN_SUCCESS;
}

kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor) {
  kern_return_t check = checkRegistration(task, mask, port, behavior, flavor);
  if (check != KERN_SUCCESS) return check;
  const uint64_t entry = pack(port, behavior, flavor);
  for (exception_type_t type = 1; type < exception_type_t(EXC_TYPES_COUNT); ++type) {
    if (mask & (1u << type)) gExceptionPorts[type].store(entry, std::memory_order_release);
  }
  return KERN_SUCCESS;
}

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_array_t masks,
                                       mach_msg_type_number_t* masksCnt, exception_port_array_t ports,
                                       exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
  return getOrSwap(false, task, mask, MACH_PORT_NULL, 0, 0, masks, masksCnt, ports, behaviors, flavors);
}

kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_array_t masks, mach_msg_type_number_t* masksCnt,
                                        exception_port_array_t ports, exception_behavior_array_t behaviors,
                                        exception_flavor_array_t flavors) {
  return getOrSwap(true, task, mask, port, behavior, flavor, masks, masksCnt, ports, behaviors, flavors);
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t /*notify*/) {
  if (option & MACH_SEND_MSG) {
    mach_msg_return_t sent = sendMessage(msg, send_size, (option & MACH_SEND_TIMEOUT) != 0, timeout);
    if (sent != MACH_MSG_SUCCESS) return sent;
  }
  if (option & MACH_RCV_MSG) {
    return receiveMessage(msg, rcv_size, rcv_name, (option & MACH_RCV_LARGE) != 0, (option & MACH_RCV_TIMEOUT) != 0,
                          timeout);
  }
  return MACH_MSG_SUCCESS;
}

kern_return_t TEST_raiseException(thread_t thread, exception_type_t exception,
                                  const mach_exception_data_type_t* codes, mach_msg_type_number_t codeCount,
                                  task_t task, mach_msg_timeout_t timeoutMilliseconds) {
  if (exception < 1 || exception >= exception_type_t(EXC_TYPES_COUNT) || codeCount > 2 || (codeCount && !codes))
    return KERN_INVALID_ARGUMENT;
  const uint64_t entry = gExceptionPorts[exception].load(std::memory_order_acquire);
  const mach_port_t destination = packedPort(entry);
  const exception_behavior_t behavior = packedBehavior(entry);
  if (destination == MACH_PORT_NULL || !portFor(destination)) return MACH_SEND_INVALID_DEST;
  if ((behavior & ~MACH_EXCEPTION_CODES) != EXCEPTION_DEFAULT) return KERN_NOT_SUPPORTED;

  mach_port_t reply = MACH_PORT_NULL;
  if (mach_port_allocate(kTaskSelf, MACH_PORT_RIGHT_RECEIVE, &reply) != KERN_SUCCESS) return KERN_RESOURCE_SHORTAGE;
  union {
    mach_msg_header_t header;
    mach_exception_raise_request_t wide;
    exception_raise_request_t narrow;
    unsigned char bytes[kMaxMessageSize];
  } buffer;
  const bool wide = (behavior & MACH_EXCEPTION_CODES) != 0;
  const mach_msg_id_t id = wide ? kMachExceptionRaiseId : kMachExceptionRaiseId - 4;
  const mach_msg_size_t size =
      wide ? fillRequest(buffer.wide, destination, reply, id, thread, task, exception, codes, codeCount)
           : fillRequest(buffer.narrow, destination, reply, id, thread, task, exception, codes, codeCount);
  mach_msg_return_t result =
      mach_msg(&buffer.header, MACH_SEND_MSG | MACH_SEND_TIMEOUT, size, 0, MACH_PORT_NULL, timeoutMilliseconds, 0);
  if (result == MACH_MSG_SUCCESS) {
    result = mach_msg(&buffer.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT, 0, sizeof buffer, reply,
                      timeoutMilliseconds, 0);
  }
  mach_port_deallocate(kTaskSelf, reply);
  if (result != MACH_MSG_SUCCESS) return result;
  if (buffer.header.msgh_id != id + 100 || buffer.header.msgh_size < sizeof(mach_exception_raise_reply_t))
    return MIG_REPLY_MISMATCH;
  mach_exception_raise_reply_t answer;
  std::memcpy(&answer, buffer.bytes, sizeof answer);
  return answer.RetCode;
}

}  // namespace os::kernel
