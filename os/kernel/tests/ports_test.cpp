#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "os/kernel/mach.h"

namespace os::kernel {
namespace {

const task_t kSelf = mach_task_self();

// What the exception server saw, written before it replies (the reply's
// delivery orders it before the raising thread reads it).
struct ServerLog {
  mach_port_t port = MACH_PORT_NULL;
  int handled = 0;
  mach_msg_size_t size = 0;
  mach_exception_raise_request_t request{};
  mach_msg_trailer_t trailer{};
  mach_msg_return_t exitedWith = MACH_MSG_SUCCESS;
};

// The server loop as crash capture runs it: a 92-byte receive buffer, a
// 36-byte reply (5 for a message from another task).
void* serveExceptions(void* argument) {
  auto* log = static_cast<ServerLog*>(argument);
  for (;;) {
    union {
      mach_msg_header_t header;
      unsigned char bytes[92];
    } buffer;
    mach_msg_return_t r = mach_msg(&buffer.header, MACH_RCV_MSG | MACH_RCV_LARGE, 0, sizeof buffer, log->port,
                                   MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (r != MACH_MSG_SUCCESS) {
      log->exitedWith = r;
      return nullptr;
    }
    log->size = buffer.header.msgh_size;
    std::memset(&log->request, 0, sizeof log->request);
    std::memcpy(&log->request, buffer.bytes, log->size);
    std::memcpy(&log->trailer, buffer.bytes + log->size, sizeof log->trailer);
    ++log->handled;
    mach_exception_raise_reply_t reply{};
    reply.Head.msgh_bits = log->request.Head.msgh_bits & 0x1f;
    reply.Head.msgh_size = sizeof reply;
    reply.Head.msgh_remote_port = log->request.Head.msgh_remote_port;
    reply.Head.msgh_local_port = MACH_PORT_NULL;
    reply.Head.msgh_id = log->request.Head.msgh_id + 100;
    reply.NDR = NDR_record;
    reply.RetCode = log->request.task.name == kSelf ? KERN_SUCCESS : KERN_FAILURE;
    if (mach_msg(&reply.Head, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE,
                 MACH_PORT_NULL) != MACH_MSG_SUCCESS) {
      log->exitedWith = KERN_FAILURE;
      return nullptr;
    }
  }
}

struct ExceptionPorts {
  exception_mask_t masks[EXC_TYPES_COUNT] = {};
  mach_port_t ports[EXC_TYPES_COUNT] = {};
  exception_behavior_t behaviors[EXC_TYPES_COUNT] = {};
  thread_state_flavor_t flavors[EXC_TYPES_COUNT] = {};
  mach_msg_type_number_t count = EXC_TYPES_COUNT;
};

TEST(ExceptionPortsTest, InjectedExceptionReachesTheServerAndItsReplyComesBack) {
  constexpr exception_mask_t kMask = 0x104E;
  constexpr exception_behavior_t kBehavior = EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES;
  ServerLog log;
  ASSERT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &log.port), KERN_SUCCESS);
  ASSERT_EQ(mach_port_insert_right(kSelf, log.port, log.port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
  // An earlier owner of one type, so that the originals come back in two groups.
  mach_port_t earlier;
  ASSERT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &earlier), KERN_SUCCESS);
  ASSERT_EQ(task_set_exception_ports(kSelf, EXC_MASK_BREAKPOINT, earlier, EXCEPTION_DEFAULT, THREAD_STATE_NONE),
            KERN_SUCCESS);

  ExceptionPorts original;
  ASSERT_EQ(task_swap_exception_ports(kSelf, kMask, log.port, kBehavior, THREAD_STATE_NONE, original.masks,
                                      &original.count, original.ports, original.behaviors, original.flavors),
            KERN_SUCCESS);
  ASSERT_EQ(original.count, 2u);
  EXPECT_EQ(original.masks[0], kMask & ~EXC_MASK_BREAKPOINT);
  EXPECT_EQ(original.ports[0], MACH_PORT_NULL);
  EXPECT_EQ(original.masks[1], EXC_MASK_BREAKPOINT);
  EXPECT_EQ(original.ports[1], earlier);
  EXPECT_EQ(original.behaviors[1], EXCEPTION_DEFAULT);
  EXPECT_EQ(original.flavors[1], THREAD_STATE_NONE);

  // The server runs on a stack of its own, as the crash server does. The
  // thread sanitizer keeps a thread's static TLS on its stack and needs more.
#if defined(__SANITIZE_THREAD__)
  constexpr size_t kStack = 4 << 20;
#else
  constexpr size_t kStack = 262144;
#endif
  void* stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(stack, MAP_FAILED);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  ASSERT_EQ(pthread_attr_setstack(&attributes, stack, kStack), 0);
  pthread_t server;
  ASSERT_EQ(pthread_create(&server, &attributes, serveExceptions, &log), 0);
  pthread_attr_destroy(&attributes);

  const thread_t faulting = mach_thread_self();
  const mach_exception_data_type_t codes[2] = {1, 0};
  EXPECT_EQ(TEST_raiseException(faulting, EXC_BAD_ACCESS, codes, 2, kSelf, 10000), KERN_SUCCESS);
  EXPECT_EQ(log.handled, 1);
  EXPECT_EQ(log.size, 84u);
  EXPECT_EQ(log.trailer.msgh_trailer_size, 8u);
  EXPECT_EQ(log.request.Head.msgh_id, kMachExceptionRaiseId);
  EXPECT_EQ(log.request.Head.msgh_local_port, log.port);
  EXPECT_NE(log.request.Head.msgh_remote_port, MACH_PORT_NULL);  // the reply port
  EXPECT_EQ(log.request.Head.msgh_bits & MACH_MSGH_BITS_COMPLEX, MACH_MSGH_BITS_COMPLEX);
  EXPECT_EQ(log.request.Head.msgh_bits & 0x1f, MACH_MSG_TYPE_MOVE_SEND_ONCE);
  EXPECT_EQ(log.request.msgh_body.msgh_descriptor_count, 2u);
  EXPECT_EQ(log.request.thread.name, faulting);
  EXPECT_EQ(log.request.task.name, kSelf);
  EXPECT_EQ(log.request.exception, EXC_BAD_ACCESS);
  ASSERT_EQ(log.request.codeCnt, 2u);
  EXPECT_EQ(log.request.code[0], 1);
  EXPECT_EQ(log.request.code[1], 0);

  // Sent as another task: the server sees that task's port and refuses.
  mach_port_t otherTask;
  ASSERT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &otherTask), KERN_SUCCESS);
  EXPECT_EQ(TEST_raiseException(faulting, EXC_ARITHMETIC, codes, 1, otherTask, 10000), KERN_FAILURE);
  EXPECT_EQ(log.handled, 2);
  EXPECT_EQ(log.request.task.name, otherTask);
  EXPECT_EQ(log.request.codeCnt, 1u);
  EXPECT_EQ(log.size, 76u);  // the unused code is not sent

  // Unregistering as crash capture does: each original entry back, the rest
  // of the mask to no port. The task's ports are then what they were.
  exception_mask_t rest = kMask;
  for (mach_msg_type_number_t i = 0; i < original.count; ++i) {
    EXPECT_EQ(task_set_exception_ports(kSelf, original.masks[i], original.ports[i], original.behaviors[i],
                                       original.flavors[i]),
              KERN_SUCCESS);
    rest &= ~original.masks[i];
  }
  EXPECT_EQ(task_set_exception_ports(kSelf, rest, MACH_PORT_NULL, kBehavior, THREAD_STATE_NONE), KERN_SUCCESS);
  ExceptionPorts now;
  ASSERT_EQ(task_get_exception_ports(kSelf, kMask, now.masks, &now.count, now.ports, now.behaviors, now.flavors),
            KERN_SUCCESS);
  ASSERT_EQ(now.count, original.count);
  for (mach_msg_type_number_t i = 0; i < now.count; ++i) {
    EXPECT_EQ(now.masks[i], original.masks[i]);
    EXPECT_EQ(now.ports[i], original.ports[i]);
    EXPECT_EQ(now.behaviors[i], original.behaviors[i]);
    EXPECT_EQ(now.flavors[i], original.flavors[i]);
  }
  // Nobody listens for bad access any more: the kernel would go on to the signal.
  EXPECT_EQ(TEST_raiseException(faulting, EXC_BAD_ACCESS, codes, 2, kSelf, 10000), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(log.handled, 2);

  // Dropping the send right and then the receive right ends the server's wait.
  EXPECT_EQ(mach_port_deallocate(kSelf, log.port), KERN_SUCCESS);
  EXPECT_EQ(mach_port_deallocate(kSelf, log.port), KERN_SUCCESS);
  timespec limit{};
  ::clock_gettime(CLOCK_REALTIME, &limit);
  limit.tv_sec += 10;
  ASSERT_EQ(pthread_timedjoin_np(server, nullptr, &limit), 0);
  // Gone while it waited, or before it came back to wait.
  EXPECT_TRUE(log.exitedWith == MACH_RCV_PORT_DIED || log.exitedWith == MACH_RCV_INVALID_NAME) << log.exitedWith;
  ::munmap(stack, kStack);
  EXPECT_EQ(task_set_exception_ports(kSelf, EXC_MASK_BREAKPOINT, MACH_PORT_NULL, 0, 0), KERN_SUCCESS);
  EXPECT_EQ(mach_port_deallocate(kSelf, earlier), KERN_SUCCESS);
  EXPECT_EQ(mach_port_deallocate(kSelf, otherTask), KERN_SUCCESS);
}

mach_msg_return_t sendId(mach_port_t to, mach_msg_id_t id, mach_port_t reply = MACH_PORT_NULL) {
  struct {
    mach_msg_header_t header;
    uint32_t payload[4];
  } message{};
  message.header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
  message.header.msgh_remote_port = to;
  message.header.msgh_local_port = reply;
  message.header.msgh_id = id;
  return mach_msg(&message.header, MACH_SEND_MSG | MACH_SEND_TIMEOUT, sizeof message, 0, MACH_PORT_NULL, 0,
                  MACH_PORT_NULL);
}

struct Received {
  mach_msg_return_t result;
  mach_msg_header_t header;
};
Received receiveFrom(mach_port_t port, mach_msg_option_t extra = 0, mach_msg_size_t room = 128,
                     mach_msg_timeout_t timeout = 0) {
  union {
    mach_msg_header_t header;
    unsigned char bytes[128];
  } buffer{};
  mach_msg_return_t r = mach_msg(&buffer.header, MACH_RCV_MSG | MACH_RCV_TIMEOUT | extra, 0, room, port, timeout,
                                 MACH_PORT_NULL);
  return {r, buffer.header};
}

// Waits (at most 10 s) until the thread sleeps in the kernel, as a blocked
// receive does: its state in /proc turns to S.
bool waitUntilAsleep(int tid) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  while (std::chrono::steady_clock::now() < limit) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S') return true;
    std::this_thread::yield();
  }
  return false;
}

TEST(PortsTest, MessagesQueueInOrderWithinTheirLimits) {
  mach_port_t port, reply;
  ASSERT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
  ASSERT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &reply), KERN_SUCCESS);
  EXPECT_EQ(receiveFrom(port).result, MACH_RCV_TIMED_OUT);
  EXPECT_EQ(receiveFrom(port, 0, 128, 20).result, MACH_RCV_TIMED_OUT);

  for (mach_msg_id_t id = 0; id < mach_msg_id_t(kQueueLimit); ++id) ASSERT_EQ(sendId(port, id, reply), MACH_MSG_SUCCESS);
  EXPECT_EQ(sendId(port, 99), MACH_SEND_TIMED_OUT);  // full

  // Too small a buffer: kept with MACH_RCV_LARGE (the size needed reported), dropped without.
  const mach_msg_size_t needed = sizeof(mach_msg_header_t) + 16 + sizeof(mach_msg_trailer_t);
  Received small = receiveFrom(port, MACH_RCV_LARGE, 32);
  EXPECT_EQ(small.result, MACH_RCV_TOO_LARGE);
  EXPECT_EQ(small.header.msgh_size, needed);
  Received first = receiveFrom(port);
  ASSERT_EQ(first.result, MACH_MSG_SUCCESS);
  EXPECT_EQ(first.header.msgh_id, 0);
  EXPECT_EQ(first.header.msgh_remote_port, reply);
  EXPECT_EQ(first.header.msgh_local_port, port);
  EXPECT_EQ(first.header.msgh_bits, MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, MACH_MSG_TYPE_MOVE_SEND));
  EXPECT_EQ(receiveFrom(port, 0, 32).result, MACH_RCV_TOO_LARGE);  // id 1 dropped
  for (mach_msg_id_t id = 2; id < mach_msg_id_t(kQueueLimit); ++id) {
    Received next = receiveFrom(port);
    ASSERT_EQ(next.result, MACH_MSG_SUCCESS);
    EXPECT_EQ(next.header.msgh_id, id);
  }

  // A receiver blocked without a time-out learns that the port went.
  // Static: a waiter that is never woken outlives the test.
  static std::atomic<mach_msg_return_t> blocked;
  static std::atomic<int> waiterTid;
  blocked = MACH_MSG_SUCCESS;
  waiterTid = 0;
  std::thread waiter([port] {
    union {
      mach_msg_header_t header;
      unsigned char bytes[128];
    } buffer;
    waiterTid = int(::gettid());
    blocked = mach_msg(&buffer.header, MACH_RCV_MSG, 0, sizeof buffer, port, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  });
  while (waiterTid == 0) std::this_thread::yield();
  ASSERT_TRUE(waitUntilAsleep(waiterTid));
  EXPECT_EQ(mach_port_deallocate(kSelf, port), KERN_SUCCESS);  // no send right: the receive right goes
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (blocked == MACH_MSG_SUCCESS && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
  if (blocked == MACH_MSG_SUCCESS) {
    waiter.detach();
    FAIL() << "the blocked receiver was not woken";
  }
  waiter.join();
  EXPECT_EQ(blocked.load(), MACH_RCV_PORT_DIED);
  EXPECT_EQ(sendId(port, 1), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(receiveFrom(port).result, MACH_RCV_INVALID_NAME);
  EXPECT_EQ(mach_port_deallocate(kSelf, port), KERN_INVALID_NAME);
  // The slot comes back under another name.
  mach_port_t again;
  ASSERT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &again), KERN_SUCCESS);
  EXPECT_EQ(receiveFrom(again).result, MACH_RCV_TIMED_OUT);
  EXPECT_EQ(mach_port_deallocate(kSelf, again), KERN_SUCCESS);
  EXPECT_EQ(mach_port_deallocate(kSelf, reply), KERN_SUCCESS);
}

TEST(PortsTest, RightsAndRegistrationsRefuseBadInput) {
  mach_port_t port;
  EXPECT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_SEND, &port), KERN_INVALID_ARGUMENT);
  EXPECT_EQ(mach_port_allocate(mach_host_self(), MACH_PORT_RIGHT_RECEIVE, &port), KERN_INVALID_ARGUMENT);
  ASSERT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
  EXPECT_EQ(mach_port_insert_right(kSelf, port + 0x100, port + 0x100, MACH_MSG_TYPE_MAKE_SEND), KERN_INVALID_NAME);
  EXPECT_EQ(mach_port_insert_right(kSelf, port, port + 1, MACH_MSG_TYPE_MAKE_SEND), KERN_INVALID_VALUE);
  EXPECT_EQ(mach_port_insert_right(kSelf, port, port, MACH_MSG_TYPE_MOVE_RECEIVE), KERN_INVALID_RIGHT);
  EXPECT_EQ(mach_port_deallocate(kSelf, mach_thread_self()), KERN_SUCCESS);

  struct Case {
    const char* label;
    task_t task;
    exception_mask_t mask;
    mach_port_t port;
    exception_behavior_t behavior;
    kern_return_t expected;
  };
  const Case cases[] = {
      {"another task", mach_host_self(), EXC_MASK_BAD_ACCESS, port, EXCEPTION_DEFAULT, KERN_INVALID_ARGUMENT},
      {"mask bit 0", kSelf, 1, port, EXCEPTION_DEFAULT, KERN_INVALID_ARGUMENT},
      {"mask bit 14", kSelf, 1u << 14, port, EXCEPTION_DEFAULT, KERN_INVALID_ARGUMENT},
      {"no such port", kSelf, EXC_MASK_BAD_ACCESS, port + 0x100, EXCEPTION_DEFAULT, MACH_SEND_INVALID_RIGHT},
      {"behaviour 7", kSelf, EXC_MASK_BAD_ACCESS, port, 7, KERN_INVALID_ARGUMENT},
      {"state identity", kSelf, EXC_MASK_BAD_ACCESS, port, EXCEPTION_STATE_IDENTITY, KERN_SUCCESS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(task_set_exception_ports(c.task, c.mask, c.port, c.behavior, THREAD_STATE_NONE), c.expected);
  }
  // Only the default behaviour is delivered.
  EXPECT_EQ(TEST_raiseException(mach_thread_self(), EXC_BAD_ACCESS, nullptr, 0, kSelf, 100), KERN_NOT_SUPPORTED);
  EXPECT_EQ(TEST_raiseException(mach_thread_self(), 14, nullptr, 0, kSelf, 100), KERN_INVALID_ARGUMENT);
  EXPECT_EQ(task_set_exception_ports(kSelf, EXC_MASK_BAD_ACCESS, MACH_PORT_NULL, 0, 0), KERN_SUCCESS);

  // The port table is bounded.
  std::vector<mach_port_t> all{port};
  for (mach_port_t p; mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &p) == KERN_SUCCESS;) all.push_back(p);
  EXPECT_EQ(all.size(), kMaxPorts);
  EXPECT_EQ(mach_port_allocate(kSelf, MACH_PORT_RIGHT_RECEIVE, &port), KERN_NO_SPACE);
  for (auto p : all) EXPECT_EQ(mach_port_deallocate(kSelf, p), KERN_SUCCESS);
}

}  // namespace
}  // namespace os::kernel
