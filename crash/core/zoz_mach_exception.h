// Mach exception capture over the os/kernel stand-in: a port registered as
// the task's exception port for bad access, bad instruction, arithmetic,
// breakpoint and guard exceptions (mask 0x104E, behaviour 0x80000001,
// flavour 5), served by a thread on the pre-allocated Mach stack. An
// exception of the own task is recorded as a "mach_exception" section and
// the common crash path in "mach_exception.zozrecord"; before that the
// original exception ports and signal handlers are put back, so the process
// goes on to die as it would have. The reply carries 0 when the exception
// was recorded and 5 otherwise.
//
// The server and the unregistering are async-signal-safe (they run while the
// other threads are suspended); ZOZMachExceptionInit is ordinary code.
#pragma once

#include "crash/core/zoz_context.h"

inline constexpr os::kernel::exception_mask_t kZOZMachExceptionMask =
    os::kernel::EXC_MASK_BAD_ACCESS | os::kernel::EXC_MASK_BAD_INSTRUCTION | os::kernel::EXC_MASK_ARITHMETIC |
    os::kernel::EXC_MASK_BREAKPOINT | os::kernel::EXC_MASK_GUARD;
inline constexpr os::kernel::exception_behavior_t kZOZMachExceptionBehavior =
    os::kernel::EXCEPTION_DEFAULT | os::kernel::MACH_EXCEPTION_CODES;
inline constexpr os::kernel::thread_state_flavor_t kZOZMachExceptionFlavor = os::kernel::THREAD_STATE_NONE;
inline constexpr const char* kZOZMachExceptionServerThreadName =
    "com.devuvo.vivuzuvu.zoziduzuzud.MachExceptionServer";
inline constexpr size_t kZOZMachReceiveBufferSize = 92;

// Start-up task: reset the record, register, start the server.
void ZOZMachExceptionInit(ZOZMachExceptionReadOnlyContext* context);
os::kernel::kern_return_t ZOZMachExceptionRegister(ZOZMachExceptionReadOnlyContext* context);
bool ZOZMachExceptionThreadStart(ZOZMachExceptionReadOnlyContext* context);
// The server thread's body; returns when receiving or replying fails.
void* ZOZMachExceptionServer(void* context);
bool ZOZMachExceptionUnregister(const ZOZMachExceptionOriginalPorts* originalPorts,
                                os::kernel::exception_mask_t mask);
// The check after start-up: reads the debugger flag, nothing else.
void ZOZMachExceptionCheckHandlers();
// Name and code name of an exception type and its first code; nulls outside
// the table.
void ZOZMachExceptionNameLookup(os::kernel::exception_type_t type, os::kernel::mach_exception_data_type_t code,
                                const char** name, const char** codeName);
