// Alternate signal stacks for every thread (see zoz_thread_stacks.h).
#include "crash/core/zoz_thread_stacks.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using CreateFunction = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

pthread_key_t gStackKey;
pthread_once_t gStackKeyOnce = PTHREAD_ONCE_INIT;
bool gStackKeyValid = false;

size_t pageSize() {
  static const size_t size = size_t(::sysconf(_SC_PAGESIZE));
  return size;
}
size_t mappingSize() { return kZOZThreadSignalStackSize + pageSize(); }

// Runs when a thread that got a stack here ends: the stack leaves use first
// (unless the thread is on it, which cannot happen once its routine has
// returned), then its pages go.
void releaseStack(void* mapping) {
  if (!mapping) return;
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == static_cast<char*>(mapping) + pageSize()) {
    if (current.ss_flags & SS_ONSTACK) return;  // keep the pages rather than pull them from under it
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    if (::sigaltstack(&off, nullptr) != 0) return;
  }
  ::munmap(mapping, mappingSize());
}

void createKey() { gStackKeyValid = ::pthread_key_create(&gStackKey, releaseStack) == 0; }

struct StartRoutine {
  void* (*routine)(void*);
  void* argument;
};

void* startWithStack(void* bundle) {
  const StartRoutine start = *static_cast<StartRoutine*>(bundle);
  std::free(bundle);
  ZOZThreadStacksInstallForCurrentThread();
  return start.routine(start.argument);
}

CreateFunction nextCreate() {
  static const CreateFunction next = reinterpret_cast<CreateFunction>(::dlsym(RTLD_NEXT, "pthread_create"));
  return next;
}

// The main thread's, while the program starts.
[[gnu::constructor]] void installForMainThread() { ZOZThreadStacksInstallForCurrentThread(); }

}  // namespace

bool ZOZThreadStacksInstallForCurrentThread() {
  stack_t current{};
  if (::sigaltstack(nullptr, &current) != 0) return false;
  if (!(current.ss_flags & SS_DISABLE)) return true;
  ::pthread_once(&gStackKeyOnce, createKey);
  if (!gStackKeyValid) return false;
  void* mapping = ::mmap(nullptr, mappingSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                         -1, 0);
  if (mapping == MAP_FAILED) return false;
  // The guard page below: an overflow of the handler itself faults there
  // instead of writing into a neighbouring mapping.
  ::mprotect(mapping, pageSize(), PROT_NONE);
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(mapping) + pageSize();
  stack.ss_size = kZOZThreadSignalStackSize;
  if (::sigaltstack(&stack, nullptr) != 0 || ::pthread_setspecific(gStackKey, mapping) != 0) {
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    ::sigaltstack(&off, nullptr);
    ::munmap(mapping, mappingSize());
    return false;
  }
  return true;
}

bool ZOZThreadStacksIsOwnStack(const stack_t& stack) {
  if (!gStackKeyValid || !stack.ss_sp) return false;
  const void* mapping = ::pthread_getspecific(gStackKey);
  return mapping && stack.ss_sp == static_cast<const char*>(mapping) + pageSize();
}

// Every thread the executable creates starts on startWithStack. A start that
// cannot be wrapped (no memory for the bundle) goes ahead without a stack.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) noexcept {
  const CreateFunction next = nextCreate();
  if (!next) return EAGAIN;
  auto* bundle = static_cast<StartRoutine*>(std::malloc(sizeof(StartRoutine)));
  if (!bundle) return next(thread, attributes, routine, argument);
  *bundle = {routine, argument};
  const int result = next(thread, attributes, startWithStack, bundle);
  if (result != 0) std::free(bundle);
  return result;
}
