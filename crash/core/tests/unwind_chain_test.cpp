// The unwinder on this machine's real stacks: a signal handler in a forked
// child walks the interrupted thread from its machine context.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sched.h>
#include <string>
#include <vector>

#include "crash/core/tests/unwind_chain.h"
#include "crash/core/tests/unwind_test_support.h"
#include "crash/core/zoz_dwarf_cfi.h"
#include "crash/core/zoz_process.h"
#include "crash/core/zoz_unwinder.h"
#include "os/kernel/threads.h"
#include "os/testing/child_process.h"

using namespace unwind_test;

namespace {

constexpr size_t kMaxFrames = 64;
int gReportPipe = -1;
alignas(16) uint8_t gSignalStack[256 * 1024];

// Walks the interrupted thread and writes its pcs to the pipe; returning
// re-runs the faulting store under the default action.
void reportStack(int, siginfo_t*, void* context) {
  ZOZThreadContext state;
  ZOZThreadStateFromMachineContext(context, &state);
  ZOZUnwindContext unwind;
  uint64_t pcs[kMaxFrames];
  size_t count = 0;
  if (ZOZUnwindInit(&unwind, &state)) {
    while (count < kMaxFrames && ZOZUnwindNextFrame(&unwind)) pcs[count++] = ZOZUnwindGetPC(&unwind);
  }
  const char* bytes = reinterpret_cast<const char*>(pcs);
  for (size_t done = 0, size = count * sizeof pcs[0]; done < size;) {
    const ssize_t n = ::write(gReportPipe, bytes + done, size - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(gReportPipe);
}

std::string symbolName(uint64_t address) {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(address), &info) == 0 || !info.dli_sname) return "?";
  return info.dli_sname;
}

TEST(UnwindChain, WalksTwentyRealFramesFromASignalHandler) {
  ImageTable images;
  images.addLoadedImages();
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    gReportPipe = fds[1];
    ::alarm(30);
    stack_t stack{};
    stack.ss_sp = gSignalStack;
    stack.ss_size = sizeof gSignalStack;
    ::sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = reportStack;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGSEGV, &action, nullptr);
    drosilUnwindChainCaller(1);
    ::_exit(3);  // the chain never returns
  }
  ::close(fds[1]);
  std::vector<uint64_t> pcs;
  uint64_t pc = 0;
  size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(fds[0], reinterpret_cast<char*>(&pc) + got, sizeof pc - got);
    if (n <= 0) break;
    got += size_t(n);
    if (got == sizeof pc) {
      pcs.push_back(pc);
      got = 0;
    }
  }
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;

  // The child is a copy of this process: its addresses name the same code.
  // Return addresses are named by the call before them.
  std::vector<std::string> names;
  for (size_t i = 0; i < pcs.size(); ++i) names.push_back(symbolName(i == 0 ? pcs[i] : pcs[i] - 1));
  std::vector<std::string> expected;
  for (int n = 20; n >= 1; --n) {
    expected.push_back("drosilUnwindChain" + std::string(n < 10 ? "0" : "") + std::to_string(n));
  }
  expected.push_back("drosilUnwindChainCaller");
  std::string walked;
  for (const std::string& name : names) walked += name + "\n";
  ASSERT_GE(names.size(), expected.size()) << walked;
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + long(expected.size())), expected) << walked;
}

// The kernel's scheduling state of thread `tid` of this process ('S' while
// it sleeps in a system call).
char threadState(uint32_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
}

// The names of the frames of a thread that sleeps, walked while it is
// suspended.
std::vector<std::string> walkSleepingThread(uint32_t port, std::string* error) {
  const uint32_t tid = (port & 0x7FFFFFFFu) >> 8;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (threadState(tid) != 'S') {
    if (std::chrono::steady_clock::now() > deadline) {
      *error = "the thread never slept";
      return {};
    }
    sched_yield();
  }
  namespace k = os::kernel;
  if (k::thread_suspend(port) != k::KERN_SUCCESS) {
    *error = "thread_suspend failed";
    return {};
  }
  ZOZThreadContext state;
  state.layout = ZOZRegisterLayout::X86_64;
  k::mach_msg_type_number_t count = k::x86_THREAD_STATE64_COUNT;
  const bool haveState = k::thread_get_state(port, k::x86_THREAD_STATE64,
                                             reinterpret_cast<k::natural_t*>(&state.x86_64), &count) == k::KERN_SUCCESS;
  // Walked twice: the second time with the section cache of the crash path,
  // which must not change a frame.
  std::vector<uint64_t> pcs, cachedPCs;
  for (std::vector<uint64_t>* walk : {&pcs, &cachedPCs}) {
    std::optional<ZOZDwarfSectionCache> sections;
    if (walk == &cachedPCs) sections.emplace();
    ZOZUnwindContext unwind;
    if (haveState && ZOZUnwindInit(&unwind, &state)) {
      while (walk->size() < kMaxFrames && ZOZUnwindNextFrame(&unwind)) walk->push_back(ZOZUnwindGetPC(&unwind));
    }
  }
  k::thread_resume(port);
  if (!haveState) *error = "thread_get_state failed";
  if (cachedPCs != pcs) *error = "the walk with a section cache differs";
  std::vector<std::string> names;
  for (size_t i = 0; i < pcs.size(); ++i) names.push_back(symbolName(i == 0 ? pcs[i] : pcs[i] - 1));
  return names;
}

// Compiled code, the C library's included, saves and restores its rules
// around early returns (remember_state, restore_state, restore): a walk from
// a condition wait gets through them to the thread's own function.
TEST(UnwindChain, WalksAThreadBlockedInTheCLibrary) {
  const os::testing::ChildResult result = os::testing::runInChild([]() -> std::string {
    ImageTable images;
    images.addLoadedImages();
    DrosilUnwindWaiter waiter;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, drosilUnwindWaitingThread, &waiter) != 0) return "pthread_create failed";
    while (waiter.port.load() == 0) sched_yield();
    std::string error;
    LogCapture log;
    const std::vector<std::string> names = walkSleepingThread(waiter.port.load(), &error);
    pthread_mutex_lock(&waiter.mutex);
    waiter.released = true;
    pthread_cond_signal(&waiter.condition);
    pthread_mutex_unlock(&waiter.mutex);
    pthread_join(thread, nullptr);
    if (!error.empty()) return error;

    std::string walked;
    for (const std::string& name : names) walked += " " + name;
    size_t wait = 0;
    while (wait < names.size() && names[wait] != "pthread_cond_wait") ++wait;
    size_t own = wait;
    while (own < names.size() && names[own] != "drosilUnwindWaitingThread") ++own;
    if (wait == names.size() || own == names.size()) return "walked:" + walked;
    // The thread's entry in the C library marks its return address undefined:
    // the walk ends there, not on a refused instruction.
    if (log.has("Error: Unimplemented DWARF instruction 0x%x") || log.has("Failed to compute DWARF registers"))
      return "the walk ended on an error:" + walked + "\n" + log.recent(10);
    return "";
  });
  EXPECT_TRUE(result.succeeded()) << result.describe();
}

}  // namespace
