// Mach-shaped ports, task exception ports and messages, inside the process.
//
// Linux has no ports; crash capture needs the least of them: a receive right
// that a server thread blocks on, a task's exception ports by mask, and the
// exception request and reply messages. This layer keeps them in the process:
//
//  - A port name is (index << 8) | generation, so that two names of one port
//    differ only in their low 8 bits. At most kMaxPorts ports exist at once;
//    each queues at most kQueueLimit messages of at most kMaxMessageSize
//    bytes. A send copies the message into a fixed slot of the destination;
//    a receive copies it out and appends an 8-byte trailer, so a receiver of
//    an 84-byte exception request needs a 92-byte buffer.
//  - Rights are reduced to what callers do: a receive right is the port; a
//    send right made from it is a count on the same name. Any name of a live
//    port may be sent to from any thread of the process.
//  - A thread port names a kernel thread: 0x80000000 | (tid << 8). The task
//    port (mach_task_self) and the host port are fixed names; other "tasks"
//    are ports a test allocates and sends as (TEST_raiseException).
//  - The task's exception ports: one (port, behaviour, flavour) entry per
//    exception type 1..13, changed by mask. Only the own task has them.
//  - No exception reaches a port by itself (faults become signals here).
//    TEST_raiseException plays the kernel: it sends the request for a chosen
//    thread to the port registered for the type and blocks for the reply.
//
// Async-signal-safety: every function here allocates nothing and takes no
// lock (fixed tables, atomics and futex waits), so the exception server may
// run while other threads are suspended at any point, and mach_msg may be
// called from a signal handler. A blocking receive without MACH_RCV_TIMEOUT
// waits until a message comes or the port is deallocated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os::kernel {

// ---- Types ----
using natural_t = uint32_t;
using integer_t = int32_t;
using kern_return_t = int;
using mach_port_name_t = uint32_t;
using mach_port_t = mach_port_name_t;
using task_t = mach_port_t;
using thread_t = mach_port_t;
using thread_act_t = mach_port_t;
using host_t = mach_port_t;
using mach_port_right_t = natural_t;
using mach_msg_type_name_t = natural_t;
using mach_msg_type_number_t = natural_t;
using mach_msg_bits_t = uint32_t;
using mach_msg_size_t = uint32_t;
using mach_msg_id_t = int32_t;
using mach_msg_option_t = int32_t;
using mach_msg_timeout_t = natural_t;
using mach_msg_return_t = kern_return_t;
using exception_type_t = int;
using exception_mask_t = uint32_t;
using exception_behavior_t = int;
using thread_state_flavor_t = int;
using mach_exception_data_type_t = int64_t;
using exception_data_type_t = int32_t;
using exception_mask_array_t = exception_mask_t*;
using exception_port_array_t = mach_port_t*;
using exception_behavior_array_t = exception_behavior_t*;
using exception_flavor_array_t = thread_state_flavor_t*;
using vm_address_t = uintptr_t;
using vm_size_t = uintptr_t;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_t MACH_PORT_DEAD = ~mach_port_t(0);

// ---- Return codes ----
inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
inline constexpr kern_return_t KERN_NO_SPACE = 3;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_NOT_SUPPORTED = 46;
inline constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;
inline constexpr kern_return_t MIG_REPLY_MISMATCH = -301;

inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DATA = 0x10000002;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_TIMED_OUT = 0x10000004;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_RIGHT = 0x10000007;
inline constexpr mach_msg_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
inline constexpr mach_msg_return_t MACH_SEND_TOO_LARGE = 0x1000000e;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;

// ---- Limits of this layer ----
inline constexpr size_t kMaxPorts = 128;
inline constexpr size_t kQueueLimit = 8;
inline constexpr size_t kMaxMessageSize = 256;

// ---- Special ports ----
// The own task, the host, the calling thread. The thread port needs no
// deallocation (mach_port_deallocate accepts it and does nothing).
task_t mach_task_self();
host_t mach_host_self();
thread_t mach_thread_self();
// Thread ports and kernel thread ids, both ways; 0 for anything else.
thread_t threadPortForId(int tid);
int threadIdForPort(thread_t thread);

// ---- Ports ----
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;

inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;

// A new port of the own task with its receive right. KERN_INVALID_ARGUMENT
// for another task or a right other than RECEIVE, KERN_NO_SPACE when
// kMaxPorts ports exist.
kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name);
// Adds a send right to the port under its own name (`poly` must equal `name`;
// `polyPoly` MAKE_SEND or COPY_SEND). KERN_INVALID_NAME for a name that is
// not a live port, KERN_INVALID_VALUE for another name, KERN_INVALID_RIGHT
// for another disposition.
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly);
// Drops one send right; a port without send rights drops its receive right,
// which destroys it: its queued messages go, blocked receivers get
// MACH_RCV_PORT_DIED and later sends MACH_SEND_INVALID_DEST. Thread, task
// and host ports are accepted and unchanged. KERN_INVALID_NAME for a name
// that is not a live port.
kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name);

// ---- Exception ports of the task ----
inline constexpr exception_type_t EXC_BAD_ACCESS = 1;
inline constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
inline constexpr exception_type_t EXC_ARITHMETIC = 3;
inline constexpr exception_type_t EXC_EMULATION = 4;
inline constexpr exception_type_t EXC_SOFTWARE = 5;
inline constexpr exception_type_t EXC_BREAKPOINT = 6;
inline constexpr exception_type_t EXC_SYSCALL = 7;
inline constexpr exception_type_t EXC_MACH_SYSCALL = 8;
inline constexpr exception_type_t EXC_RPC_ALERT = 9;
inline constexpr exception_type_t EXC_CRASH = 10;
inline constexpr exception_type_t EXC_RESOURCE = 11;
inline constexpr exception_type_t EXC_GUARD = 12;
inline constexpr exception_type_t EXC_CORPSE_NOTIFY = 13;
// Entries of the arrays that get and swap fill.
inline constexpr size_t EXC_TYPES_COUNT = 14;

inline constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1u << EXC_BAD_ACCESS;
inline constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1u << EXC_BAD_INSTRUCTION;
inline constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1u << EXC_ARITHMETIC;
inline constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1u << EXC_BREAKPOINT;
inline constexpr exception_mask_t EXC_MASK_GUARD = 1u << EXC_GUARD;
// Every type 1..13; other bits are refused.
inline constexpr exception_mask_t EXC_MASK_VALID = 0x3FFE;

inline constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;
inline constexpr exception_behavior_t EXCEPTION_STATE = 2;
inline constexpr exception_behavior_t EXCEPTION_STATE_IDENTITY = 3;
inline constexpr exception_behavior_t MACH_EXCEPTION_CODES = int(0x80000000u);
// The flavour a registration passes when it wants no thread state.
inline constexpr thread_state_flavor_t THREAD_STATE_NONE = 5;

// Sets the port, behaviour and flavour of every type in `mask`. The port is
// MACH_PORT_NULL or a live port (else MACH_SEND_INVALID_RIGHT); with a port,
// the behaviour is one of the three above, optionally with
// MACH_EXCEPTION_CODES, and the flavour 0..65535 (else KERN_INVALID_ARGUMENT,
// as for a mask outside EXC_MASK_VALID or another task).
kern_return_t task_set_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                       exception_behavior_t behavior, thread_state_flavor_t flavor);
// The entries of the types in `mask`, one output entry per distinct (port,
// behaviour, flavour) with the union of its types' bits, in type order. On
// entry *masksCnt is the arrays' capacity (at most EXC_TYPES_COUNT used); on
// return the number filled. Entries without a port are included.
kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_array_t masks,
                                       mach_msg_type_number_t* masksCnt, exception_port_array_t ports,
                                       exception_behavior_array_t behaviors, exception_flavor_array_t flavors);
// get and set in one step: returns the entries that were in force.
kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_array_t masks, mach_msg_type_number_t* masksCnt,
                                        exception_port_array_t ports, exception_behavior_array_t behaviors,
                                        exception_flavor_array_t flavors);

// ---- Messages ----
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_type_name_t remote, mach_msg_type_name_t local) {
  return remote | (local << 8);
}
inline constexpr uint32_t MACH_MSG_PORT_DESCRIPTOR = 0;

inline constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x1;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x2;
inline constexpr mach_msg_option_t MACH_RCV_LARGE = 0x4;
inline constexpr mach_msg_option_t MACH_SEND_TIMEOUT = 0x10;
inline constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x100;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

struct mach_msg_header_t {
  mach_msg_bits_t msgh_bits;
  mach_msg_size_t msgh_size;
  mach_port_t msgh_remote_port;
  mach_port_t msgh_local_port;
  mach_port_name_t msgh_voucher_port;
  mach_msg_id_t msgh_id;
};
struct mach_msg_body_t {
  mach_msg_size_t msgh_descriptor_count;
};
struct mach_msg_port_descriptor_t {
  mach_port_t name;
  mach_msg_size_t pad1;
  uint16_t pad2;
  uint8_t disposition;
  uint8_t type;
};
struct mach_msg_trailer_t {
  uint32_t msgh_trailer_type;
  mach_msg_size_t msgh_trailer_size;
};
struct NDR_record_t {
  uint8_t mig_vers, if_vers, reserved1, mig_encoding, int_rep, char_rep, float_rep, reserved2;
};
inline constexpr NDR_record_t NDR_record = {0, 0, 0, 0, 1, 0, 0, 0};

// The exception request (EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, id 2405)
// and its reply (id 2505), in their wire layouts.
inline constexpr mach_msg_id_t kMachExceptionRaiseId = 2405;
#pragma pack(push, 4)
struct mach_exception_raise_request_t {
  mach_msg_header_t Head;
  mach_msg_body_t msgh_body;
  mach_msg_port_descriptor_t thread;
  mach_msg_port_descriptor_t task;
  NDR_record_t NDR;
  exception_type_t exception;
  mach_msg_type_number_t codeCnt;
  mach_exception_data_type_t code[2];
};
struct mach_exception_raise_reply_t {
  mach_msg_header_t Head;
  NDR_record_t NDR;
  kern_return_t RetCode;
};
#pragma pack(pop)
static_assert(sizeof(mach_exception_raise_request_t) == 84);
static_assert(sizeof(mach_exception_raise_reply_t) == 36);

// Sends and/or receives, as `option` says (send first).
// Send: `send_size` bytes of `msg` (at least a header, at most
// kMaxMessageSize) go to msgh_remote_port; the receiver sees the header with
// the two ports swapped (its remote port is the sender's local, the reply
// port) and their dispositions in received form. A full queue blocks the
// sender (MACH_SEND_TIMEOUT bounds it: MACH_SEND_TIMED_OUT). A name that is
// no live port: MACH_SEND_INVALID_DEST.
// Receive: the oldest message of `rcv_name` into `msg` (`rcv_size` bytes,
// room for the trailer included), msgh_size being the message's size without
// the trailer. Too small a buffer: MACH_RCV_TOO_LARGE with msgh_size set to
// the room needed; the message stays queued with MACH_RCV_LARGE and is
// dropped without it. MACH_RCV_TIMEOUT bounds the wait by `timeout`
// milliseconds (MACH_RCV_TIMED_OUT); MACH_RCV_INVALID_NAME for a name that is
// no live port; MACH_RCV_PORT_DIED when the port goes while waiting.
// `notify` is ignored. Interruption by a signal (such as a suspension) only
// resumes the wait.
mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t send_size,
                           mach_msg_size_t rcv_size, mach_port_name_t rcv_name, mach_msg_timeout_t timeout,
                           mach_port_name_t notify);

// Plays the kernel for a fault of `thread`: builds the exception request for
// the port registered for `exception` (with the registration's behaviour:
// 64-bit codes and id 2405 with MACH_EXCEPTION_CODES, else 32-bit codes and
// id 2401; only EXCEPTION_DEFAULT is delivered), with `thread` and `task` in
// its descriptors and a reply port of its own, sends it, and blocks for the
// reply at most `timeoutMilliseconds`. Returns the reply's return code;
// MACH_SEND_INVALID_DEST when no live port is registered for the type (the
// kernel would go on to the signal); KERN_NOT_SUPPORTED for another
// behaviour; MACH_RCV_TIMED_OUT without a reply in time; MIG_REPLY_MISMATCH
// for a reply of the wrong id or size; KERN_INVALID_ARGUMENT for a type
// outside 1..13 or more than two codes.
kern_return_t TEST_raiseException(thread_t thread, exception_type_t exception,
                                  const mach_exception_data_type_t* codes, mach_msg_type_number_t codeCount,
                                  task_t task, mach_msg_timeout_t timeoutMilliseconds);

}  // namespace os::kernel
