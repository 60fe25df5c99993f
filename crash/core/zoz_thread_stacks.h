// Alternate signal stacks for every thread of the process, so that a thread
// that overflows its own stack still runs the crash handler (sigaltstack is
// per thread).
//
//  - The thread that loads the program (the main thread) gets one while the
//    program starts, before main().
//  - pthread_create is wrapped for the whole executable that links the
//    capture core: every thread created through it afterwards (the SDK's,
//    a library's, or one made with plain pthread_create) gets one before its
//    start routine runs. The wrapper hands creation to the next definition in
//    the lookup order (the C library, or a sanitizer's interceptor).
//  - A thread that already has an alternate stack in force keeps it.
//  - A stack is kZOZThreadSignalStackSize bytes above a guard page, mapped
//    for the thread and unmapped when the thread ends (a thread-specific
//    key's destructor), after it has been taken out of use.
//
// Ordinary code; nothing here runs in a signal handler.
#pragma once

#include <signal.h>

#include <cstddef>

inline constexpr size_t kZOZThreadSignalStackSize = 256 * 1024;

// Gives the calling thread an alternate stack unless one is in force. True
// when the thread has one afterwards.
bool ZOZThreadStacksInstallForCurrentThread();
// Whether `stack` is the one this module mapped for the calling thread.
bool ZOZThreadStacksIsOwnStack(const stack_t& stack);
