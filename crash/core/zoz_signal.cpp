// Signal capture (see zoz_signal.h).
#include "crash/core/zoz_signal.h"

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "crash/core/zoz_file.h"
#include "crash/core/zoz_process.h"
#include "crash/core/zoz_sdk_log.h"
#include "crash/core/zoz_thread_stacks.h"
#include "crash/core/zoz_utilities.h"

namespace {

uint64_t nowSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return uint64_t(now.tv_sec);
}

bool isDefault(const struct sigaction& action) {
  return !(action.sa_flags & SA_SIGINFO) && action.sa_handler == SIG_DFL;
}

bool isFunction(const struct sigaction& action) {
  if (action.sa_flags & SA_SIGINFO) return action.sa_sigaction != nullptr;
  return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN && action.sa_handler != nullptr;
}

// A saved alternate stack worth reinstalling: one that was in force.
bool hasSavedStack(const stack_t& stack) { return stack.ss_sp != nullptr && !(stack.ss_flags & SS_DISABLE); }

bool installAltStack(ZOZSignalReadOnlyContext* context) {
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  stack_t stack{};
  stack.ss_sp = readonly ? readonly->signalStack : nullptr;
  stack.ss_size = kZOZSignalStackSize;
  stack.ss_flags = 0;
  if (!stack.ss_sp || ::sigaltstack(&stack, &context->originalStack) != 0) {
    ZOZSDKLogError("Unable to setup stack %s", ::strerrorname_np(errno));
    return false;
  }
  // This thread's own stack (zoz_thread_stacks.h) is released when the
  // thread ends: it is nothing to give back.
  if (ZOZThreadStacksIsOwnStack(context->originalStack)) context->originalStack = stack_t{};
  return true;
}

// The give-back; *called tells whether a previous handler of `signal` ran.
bool installPreexisting(const ZOZSignalReadOnlyContext* context, int signal, siginfo_t* info, void* uap,
                        bool* called) {
  ZOZSignalSafeRemoveHandlers(true);
  // A thread running on an alternate stack cannot change it (EPERM): the
  // handlers are given back all the same, else the previous owner of the
  // signal would never see it.
  stack_t current{};
  const bool onAltStack = ::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK);
  if (hasSavedStack(context->originalStack) && !onAltStack &&
      ::sigaltstack(&context->originalStack, nullptr) != 0) {
    ZOZSDKLogError("Unable to setup stack %s", ::strerrorname_np(errno));
    return false;
  }
  bool result = true;
  for (size_t i = 0; i < kZOZSignalCount; ++i) {
    const struct sigaction& action = context->originalActions[i];
    if (isDefault(action)) continue;
    if (::sigaction(kZOZHandledSignals[i], &action, nullptr) != 0) {
      ZOZSDKLogError("Unable to install handler for %d (%s)", kZOZHandledSignals[i], ::strerrorname_np(errno));
      result = false;
    }
    if (signal < 0 || signal != kZOZHandledSignals[i] || !isFunction(action)) continue;
    if (called) *called = true;
    if (action.sa_flags & SA_SIGINFO) {
      action.sa_sigaction(signal, info, uap);
    } else {
      action.sa_handler(signal);
    }
  }
  return result;
}

void recordSignal(int signal, siginfo_t* info, void* uap, int savedErrno) {
  if (ZOZContextMarkAndCheckIfCrashed()) {
    ZOZSDKLogError("Error: aborting signal handler because crash has already occurred");
    ::_exit(1);
  }
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  ZOZFile file;
  if (!readonly->signal.path || !ZOZFileInitWithPathMode(&file, readonly->signal.path, true, false)) {
    ZOZSDKLogError("Unable to open signal file");
    return;
  }
  ZOZFileWriteSectionStart(&file, "signal");
  ZOZFileWriteHashStart(&file);
  if (info) {
    const int number = ZOZSignalPlatformNumber(signal);
    const char* name = nullptr;
    const char* codeName = nullptr;
    ZOZSignalNameLookup(number, &name, &codeName);
    ZOZFileWriteHashEntryUint64(&file, "number", uint64_t(number));
    ZOZFileWriteHashEntryUint64(&file, "code", uint64_t(int64_t(info->si_code)));
    ZOZFileWriteHashEntryUint64(&file, "address", uint64_t(reinterpret_cast<uintptr_t>(info->si_addr)));
    ZOZFileWriteHashEntryString(&file, "name", name);
    ZOZFileWriteHashEntryString(&file, "code_name", codeName);
  }
  ZOZFileWriteHashEntryUint64(&file, "errno", uint64_t(int64_t(savedErrno)));
  ZOZFileWriteHashEntryUint64(&file, "time", nowSeconds());
  ZOZFileWriteHashEnd(&file);
  ZOZFileWriteSectionEnd(&file);
  ZOZHandler(&file, os::kernel::mach_thread_self(), uap);
  ZOZFileClose(&file);
}

// A fault of the instruction re-executes when the handler returns; anything
// else must be raised again to end the process.
bool comesBackByItself(int signal, const siginfo_t* info) {
  const bool fault = signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
  return fault && info && info->si_code > 0;
}

}  // namespace

int ZOZSignalPlatformNumber(int hostSignal) {
  switch (hostSignal) {
    case SIGBUS:
      return 10;
    case SIGSYS:
      return 12;
    default:
      return hostSignal;
  }
}

void ZOZSignalNameLookup(int number, const char** name, const char** codeName) {
  const char* n = "UNKNOWN";
  const char* c = nullptr;
  switch (number) {
    case 4: n = "SIGILL"; break;
    case 5: n = "SIGTRAP"; break;
    case 6: n = "SIGABRT"; c = "ABORT"; break;
    case 8: n = "SIGFPE"; break;
    case 10: n = "SIGBUS"; break;
    case 11: n = "SIGSEGV"; break;
    case 12: n = "SIGSYS"; break;
    default: break;
  }
  if (name) *name = n;
  if (codeName) *codeName = c;
}

void ZOZSignalInitialize(ZOZSignalReadOnlyContext* context) {
  if (!context) return;
  if (context->path && !ZOZUnlinkIfExists(context->path)) {
    ZOZSDKLogError("Unable to reset the signal log file %s", ::strerrorname_np(errno));
  }
  installAltStack(context);
  for (size_t i = 0; i < kZOZSignalCount; ++i) {
    struct sigaction action {};
    action.sa_sigaction = ZOZSignalHandler;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    struct sigaction previous {};
    std::memset(&context->originalActions[i], 0, sizeof(struct sigaction));
    if (::sigaction(kZOZHandledSignals[i], &action, &previous) != 0) {
      ZOZSDKLogError("Unable to install handler for %d (%s)", kZOZHandledSignals[i], ::strerrorname_np(errno));
      continue;
    }
    if (!isDefault(previous)) context->originalActions[i] = previous;
  }
}

void ZOZSignalSafeRemoveHandlers(bool includeAbort) {
  for (int signal : kZOZHandledSignals) {
    if (signal == SIGABRT && !includeAbort) continue;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigemptyset(&action.sa_mask);
    if (::sigaction(signal, &action, nullptr) != 0) {
      ZOZSDKLogError("Unable to set default handler for %d (%s)", signal, ::strerrorname_np(errno));
    }
  }
}

bool ZOZSignalSafeInstallPreexistingHandlers(const ZOZSignalReadOnlyContext* context, int signal, siginfo_t* info,
                                             void* uap) {
  if (!context) return false;
  return installPreexisting(context, signal, info, uap, nullptr);
}

void ZOZSignalHandler(int signal, siginfo_t* info, void* uap) {
  const int savedErrno = errno;
  errno = 0;
  ZOZSDKLogDebug("Signal: %d", signal);
  ZOZSignalSafeRemoveHandlers(true);
  sigset_t all;
  ::sigfillset(&all);
  if (::sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0) {
    ZOZSDKLogError("Unable to unmask signals - we risk infinite recursion here");
  }
  if (reinterpret_cast<uintptr_t>(uap) < kZOZMinimumValidAddress) uap = nullptr;

  bool taken = false;
  if (zozContext.readonly) {
    recordSignal(signal, info, uap, savedErrno);
    installPreexisting(&zozContext.readonly->signal, signal, info, uap, &taken);
  }
  if (!taken && !comesBackByItself(signal, info)) {
    // The default disposition is in place: this ends the process.
    ::raise(signal);
  }
  errno = savedErrno;
}

void ZOZSignalCheckHandlers() {
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  if (readonly && readonly->debuggerAttached) {
    ZOZSDKLogWarn(
        "[Zoziduzuzud] App is attached to a debugger, to see the crash reports please detach from the debugger, %s",
        kZOZGettingStartedURL);
    return;
  }
  for (int signal : kZOZHandledSignals) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) != 0) {
      std::fprintf(stderr, "Unable to read signal handler\n");
      continue;
    }
    const bool ours = (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == ZOZSignalHandler;
    if (ours) continue;
    const void* function = (action.sa_flags & SA_SIGINFO) ? reinterpret_cast<const void*>(action.sa_sigaction)
                                                          : reinterpret_cast<const void*>(action.sa_handler);
    Dl_info info{};
    const char* image = (function && ::dladdr(function, &info) != 0) ? info.dli_fname : nullptr;
    const char* name = nullptr;
    ZOZSignalNameLookup(ZOZSignalPlatformNumber(signal), &name, nullptr);
    std::fprintf(stderr, "[Zoziduzuzud] The signal %s has a non-Zoziduzuzud handler (%s).  This will interfere with reporting.\n",
                 name, image ? image : "(null)");
  }
}
