// Mach-shaped access to the process's threads: the real Linux threads.
//
//  - task_threads lists /proc/self/task into pages of its own (mmap; release
//    them with vm_deallocate), in the kernel's order.
//  - Suspension uses a signal of this layer (threadSuspendSignal()). Its
//    handler keeps the interrupted thread's machine context in a fixed slot,
//    acknowledges, and parks the thread until it is resumed. thread_suspend
//    waits for the acknowledgement at most the suspend bound (1 second
//    unless a test sets another): a thread that blocks the signal, or never
//    gets to run, makes the call fail with KERN_OPERATION_TIMED_OUT instead
//    of hanging; the signal stays pending and is ignored when it finally
//    arrives. Suspensions are counted; each needs a resume. A thread cannot
//    suspend itself (KERN_INVALID_ARGUMENT: nothing would wake it).
//  - thread_get_state reads a parked thread's kept context; a running
//    thread has no state to read (KERN_FAILURE).
//  - thread_info gives the identifier record: the kernel thread id and the
//    address of the thread's published queue-label slot (os/dispatch), which
//    another thread reads with vm_read_overwrite.
//  - thread_get_name reads /proc/self/task/<tid>/comm.
//
// A thread port is mach_thread_self() or an entry of task_threads (mach.h).
// A thread that has exited, or has begun to exit (also while a suspension
// waits for it): MACH_SEND_INVALID_DEST.
//
// Every function here is async-signal-safe (system calls, atomics, futex
// waits, fixed tables; no allocation, no lock, no stdio), so a crash handler
// may list, suspend, read and resume the other threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/kernel/mach.h"

namespace os::kernel {

using thread_act_array_t = thread_act_t*;
using thread_state_t = natural_t*;
using thread_flavor_t = natural_t;
using thread_info_t = integer_t*;

// The threads of the own task (another task: KERN_INVALID_ARGUMENT). The
// list lives in pages mapped for it: vm_deallocate(task, address, count *
// sizeof(thread_act_t)) releases them. KERN_RESOURCE_SHORTAGE when
// /proc/self/task cannot be read or the pages cannot be mapped.
kern_return_t task_threads(task_t task, thread_act_array_t* threads, mach_msg_type_number_t* count);
// Unmaps pages that task_threads mapped (the range rounded out to pages).
kern_return_t vm_deallocate(task_t task, vm_address_t address, vm_size_t size);

kern_return_t thread_suspend(thread_act_t thread);
// Suspends every thread of the list but the caller (whose entries are
// skipped), each as thread_suspend would, except that the signals go to all
// of them before any acknowledgement is awaited: the waits overlap and share
// one bound. KERN_SUCCESS when every other entry was suspended; otherwise the
// first failure in list order, its index in *failedIndex (when given). The
// entries that succeeded stay suspended, each needing its thread_resume.
kern_return_t thread_suspend_others(const thread_act_t* threads, mach_msg_type_number_t count,
                                    mach_msg_type_number_t* failedIndex);
kern_return_t thread_resume(thread_act_t thread);

// The x86-64 general registers, instruction pointer and flags.
inline constexpr thread_state_flavor_t x86_THREAD_STATE64 = 4;
struct x86_thread_state64_t {
  uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t rip, rflags, cs, fs, gs;
};
inline constexpr mach_msg_type_number_t x86_THREAD_STATE64_COUNT =
    sizeof(x86_thread_state64_t) / sizeof(natural_t);
// `state` holds *count natural_t words (at least x86_THREAD_STATE64_COUNT;
// KERN_INVALID_ARGUMENT otherwise, or for another flavour, or for the calling
// thread); on success *count is x86_THREAD_STATE64_COUNT.
kern_return_t thread_get_state(thread_act_t thread, thread_state_flavor_t flavor, thread_state_t state,
                               mach_msg_type_number_t* count);
// The registers of a signal handler's machine context (its ucontext_t
// argument, `uap`) as a thread state.
x86_thread_state64_t threadStateFromMachineContext(const void* uap);

inline constexpr thread_flavor_t THREAD_IDENTIFIER_INFO = 4;
struct thread_identifier_info {
  uint64_t thread_id;       // the kernel thread id
  uint64_t thread_handle;   // the pthread_t for the calling thread, else 0
  uint64_t dispatch_qaddr;  // the queue-label slot's address, 0 when none
};
inline constexpr mach_msg_type_number_t THREAD_IDENTIFIER_INFO_COUNT =
    sizeof(thread_identifier_info) / sizeof(natural_t);
kern_return_t thread_info(thread_act_t thread, thread_flavor_t flavor, thread_info_t info,
                          mach_msg_type_number_t* count);

// The thread's name (at most 15 characters on Linux) into `name`, always
// zero-terminated; 0 or an errno value (ESRCH for a thread that is gone,
// ERANGE when `size` is 0).
int thread_get_name(thread_act_t thread, char* name, size_t size);

// The signal that suspends threads (a real-time signal that nothing else in
// the tree uses).
int threadSuspendSignal();
// The bound on waiting for a suspended thread's acknowledgement.
void TEST_setSuspendTimeoutMilliseconds(uint32_t milliseconds);

}  // namespace os::kernel
