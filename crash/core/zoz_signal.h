// Signal capture: the fatal signals of the process are caught on the
// pre-allocated alternate stack, recorded as a "signal" section followed by
// the common crash path (zoz_process.h) in "signal.zozrecord", and given
// back to whoever handled them before.
//
// Handled signals, in loop and slot order: SIGABRT, SIGBUS, SIGFPE, SIGILL,
// SIGSEGV, SIGSYS, SIGTRAP. Records and the name lookup use the platform's
// numbers (SIGABRT 6, SIGBUS 10, SIGFPE 8, SIGILL 4, SIGSEGV 11, SIGSYS 12,
// SIGTRAP 5): the host's SIGBUS and SIGSYS are translated.
//
// After the give-back, a signal that would not come back by itself (anything
// but a SIGSEGV, SIGBUS, SIGILL or SIGFPE raised by the faulting
// instruction: a signal sent by kill or raise, SIGABRT, SIGTRAP, SIGSYS) and
// that no previous handler took is raised again with the default
// disposition in place, so the process dies by it.
//
// The pre-allocated alternate stack is installed on the thread that runs
// ZOZSignalInitialize (sigaltstack is per thread); every other thread has
// one of its own (zoz_thread_stacks.h), so a stack overflow is recorded on
// any thread.
//
// ZOZSignalHandler, ZOZSignalSafeRemoveHandlers,
// ZOZSignalSafeInstallPreexistingHandlers, ZOZSignalNameLookup and
// ZOZSignalPlatformNumber are async-signal-safe. ZOZSignalInitialize and
// ZOZSignalCheckHandlers are ordinary code.
#pragma once

#include <signal.h>

#include <cstddef>

#include "crash/core/zoz_context.h"

inline constexpr int kZOZHandledSignals[kZOZSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL,
                                                            SIGSEGV, SIGSYS, SIGTRAP};
// The link that ends the debugger warning.
inline constexpr const char* kZOZGettingStartedURL = "https://docs.zoziduzuzud.invalid/getting-started";

// Start-up task: resets "signal.zozrecord", installs the alternate stack and
// the handlers, keeping the previous ones in `context`.
void ZOZSignalInitialize(ZOZSignalReadOnlyContext* context);
void ZOZSignalHandler(int signal, siginfo_t* info, void* uap);
// The default disposition for the handled signals (SIGABRT only when asked).
void ZOZSignalSafeRemoveHandlers(bool includeAbort);
// Defaults in place, then the saved alternate stack and previous actions;
// the previous handler of `signal` (not for -1) is called with the three
// arguments. False when a step failed.
bool ZOZSignalSafeInstallPreexistingHandlers(const ZOZSignalReadOnlyContext* context, int signal, siginfo_t* info,
                                             void* uap);
// The check after start-up: a debugger warning in the internal log, or a
// line on the standard error stream per handled signal whose handler is not
// ZOZSignalHandler.
void ZOZSignalCheckHandlers();
// Platform number to name ("UNKNOWN" for others) and code name (only
// SIGABRT's "ABORT"; null otherwise).
void ZOZSignalNameLookup(int number, const char** name, const char** codeName);
// The platform's number of a host signal.
int ZOZSignalPlatformNumber(int hostSignal);
