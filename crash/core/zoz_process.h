// The common crash path: after a capture path (signal, Mach exception, fatal
// or on-demand exception) has written its own section, ZOZHandler stops the
// other threads, brings the image table up to date with the loader's list
// (ZOZBinaryImageSafeAddUnlistedImages), writes the state of every thread
// with its unwound stack, the crashed thread's runtime facts, queue and
// thread names, process statistics and a storage section into the same
// record file, creates the crashed marker and lets the threads run again.
//
// Sections, one line each, in this order: "threads", "runtime",
// "dispatch_queue_names", "thread_names", "process_stats", "storage".
// Registers are this machine's x86-64 thread state under the registers' own
// lower-case names (rax ... r15, rip, rflags, cs, fs, gs).
//
// Thread ports name the same thread when they are equal apart from their low
// 8 bits (ZOZProcessSameThread).
//
// ZOZHandler gathers each line of an unbuffered file on its stack and writes
// it when it ends (or every 999 bytes), not token by token; the file must not
// be closed while it runs.
//
// Everything here is async-signal-safe: no allocation, no lock, no stdio.
// It reads only the pre-allocated context, through the safe reads where an
// address may be invalid; the thread list lives in pages that os/kernel maps
// and that the path releases at the end.
#pragma once

#include <cstdint>

#include "crash/core/zoz_file.h"
#include "crash/core/zoz_register_state.h"
#include "os/kernel/mach.h"
#include "os/kernel/threads.h"

struct ZOZProcess {
  os::kernel::task_t task = 0;
  os::kernel::thread_t thisThread = 0;     // the thread running the crash path
  os::kernel::thread_t crashedThread = 0;  // the thread that crashed
  const void* uap = nullptr;               // the crash's ucontext_t, or none
  os::kernel::thread_act_array_t threads = nullptr;
  os::kernel::mach_msg_type_number_t threadCount = 0;  // 0 when the list could not be had
};

// How many repeats of one pc in a row mark a recursion.
inline constexpr uint32_t kZOZRecursionRepeatThreshold = 10;
// Bytes of the crash-information record read per image.
inline constexpr size_t kZOZCrashInfoSize = 56;
// The selector is read when the pc lies in [entry, entry + this].
inline constexpr uintptr_t kZOZMessageDispatchWindow = 66;

bool ZOZProcessSameThread(os::kernel::thread_t a, os::kernel::thread_t b);

// The crash path (see above). `uap` is the signal's ucontext_t or null.
void ZOZHandler(ZOZFile* file, os::kernel::thread_t crashedThread, const void* uap);

bool ZOZProcessInit(ZOZProcess* process, os::kernel::thread_t crashedThread, const void* uap);
// Releases the thread list.
void ZOZProcessDestroy(ZOZProcess* process);
// Every listed thread but the calling one (thisThread), their suspensions
// overlapping; false after a failure, which leaves the other threads
// suspended.
bool ZOZProcessSuspendAllOtherThreads(ZOZProcess* process);
// Every listed thread but thisThread, each tried; false after a failure.
bool ZOZProcessResumeAllOtherThreads(ZOZProcess* process);
// The crashed thread with a machine context: the context's registers; any
// other thread but the current: thread_get_state; the current thread: a
// state built from the caller's frame. False without an output.
bool ZOZProcessGetThreadState(const ZOZProcess* process, os::kernel::thread_t thread, ZOZThreadContext* state);

// One object per listed thread, in list order; a thread whose state cannot
// be read is written as {"registers":{},"stacktrace":[],"unreadable":true,
// "index":i,"name":"..."} and the walk goes on. The crashed thread is always
// written: when the list lacks it (or could not be had) it comes last, and
// the queue and thread names carry an entry for it too. False when a thread
// was unreadable.
bool ZOZProcessRecordAllThreads(ZOZProcess* process, ZOZFile* file);
// Whether the thread list holds the crashed thread.
bool ZOZProcessCrashedThreadListed(const ZOZProcess* process);
void ZOZProcessRecordRuntimeInfo(ZOZProcess* process, ZOZFile* file);
void ZOZProcessRecordDispatchQueueNames(ZOZProcess* process, ZOZFile* file);
void ZOZProcessRecordThreadNames(ZOZProcess* process, ZOZFile* file);
void ZOZProcessRecordStats(ZOZProcess* process, ZOZFile* file);
void ZOZHostWriteDiskUsage(ZOZFile* file);
void ZOZCreateCrashedMarkerFile();

// Masks the first parenthesised UUID in place: the first "(" whose next ")"
// is 37 bytes further on has every character between them but "-" replaced
// by "*".
void ZOZRedactUUID(char* string);

// Copies the machine context's general registers into an x86-64 state.
void ZOZThreadStateFromMachineContext(const void* uap, ZOZThreadContext* state);
