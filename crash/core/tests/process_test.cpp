// The common crash path's process and thread state, read back from the
// records that crashing children leave.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "crash/core/tests/crash_path_main.h"
#include "crash/core/tests/crash_path_support.h"
#include "crash/core/tests/macho_fixture.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_process.h"
#include "os/dispatch/queue.h"
#include "os/kernel/loader.h"
#include "os/kernel/threads.h"
#include "os/testing/child_process.h"
#include "os/runtime/runtime.h"

namespace {

using crashpath::findSection;
using crashpath::readRecordLines;
using crashpath::runScenario;
using nlohmann::ordered_json;

constexpr const char* kBlockedQueueLabel = "com.example.crash-path.blocked";
constexpr const char* kSelector = "viewDidAppear:";
constexpr const char* kCrashInfoMessage = "assertion failed (01234567-89AB-CDEF-0123-456789ABCDEF) in the model";
constexpr const char* kRedactedMessage = "assertion failed (********-****-****-****-************) in the model";

size_t countThreads() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void writeThrough(volatile int* pointer) { *pointer = 1; }
volatile uintptr_t gNull = 0;

// Twenty threads: the main one (which crashes), the capture core's, one
// blocked in a serial queue's block, the rest named workers.
int manyThreadsScenario(const std::string& directory, const std::string&) {
  if (!crashpath::startCaptureCore(directory)) return 91;
  std::atomic<bool> release{false};
  std::atomic<int> started{0};
  auto queue = os::DispatchQueue::serial(kBlockedQueueLabel);
  queue->async([&] {
    started.fetch_add(1);
    while (!release.load()) ::pause();
  });
  while (started.load() < 1) std::this_thread::yield();
  std::vector<std::thread> workers;
  for (int i = 0; countThreads() < 20; ++i) {
    workers.emplace_back([&release, &started, i] {
      char name[16];
      std::snprintf(name, sizeof name, "worker-%d", i);
      ::pthread_setname_np(::pthread_self(), name);
      started.fetch_add(1);
      while (!release.load()) ::pause();
    });
    while (started.load() < i + 2) std::this_thread::yield();
  }
  if (countThreads() != 20) return 93;
  writeThrough(reinterpret_cast<volatile int*>(gNull));
  return 92;
}
const bool kManyThreads = crashpath::registerScenario("many-threads", manyThreadsScenario);

// Deep recursion on a thread with a small stack and an alternate signal
// stack of its own. The large frame makes the overflow fault inside the
// function's body, on the store to the pad after a first instruction, not on
// its entry
// (the unwinder looks the faulting pc up less one, as it does a return
// address, so a fault right after the frame is set up would be looked up
// before it).
volatile int gStop = 0;
[[gnu::noinline]] int recurse(int depth) {
  volatile char pad[2048];
  asm volatile("nop" : : "r"(&pad[0]) : "memory");
  pad[0] = char(depth);
  if (gStop) return pad[0];
  return recurse(depth + 1) + pad[0];
}
int recursionScenario(const std::string& directory, const std::string&) {
  if (!crashpath::startCaptureCore(directory)) return 91;
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setstacksize(&attributes, 512 * 1024);
  pthread_t thread;
  ::pthread_create(
      &thread, &attributes,
      [](void*) -> void* {
        static char altStack[64 * 1024];
        stack_t stack{};
        stack.ss_sp = altStack;
        stack.ss_size = sizeof altStack;
        ::sigaltstack(&stack, nullptr);
        return reinterpret_cast<void*>(intptr_t(recurse(0)));
      },
      nullptr);
  ::pthread_join(thread, nullptr);
  return 92;
}
const bool kRecursion = crashpath::registerScenario("recursion", recursionScenario);

// A message to a dead object faults inside the dispatcher; an image carries
// a crash-information message; the process's resident size is noted.
struct CrashInfo {
  uint64_t version, message, signature, backtrace, message2, reserved, reserved2;
};
CrashInfo gCrashInfo;
int runtimeScenario(const std::string& directory, const std::string&) {
  crashtest::MachOSpec spec;
  spec.segments = {{"__TEXT", 0, 0x1000, {}}, {"__DATA", 0x1000, 0x1000, {{"__crash_info", 0x1100, 0x40}}}};
  static crashtest::SyntheticImage image(spec, directory + "/Crashy.framework/Crashy");
  gCrashInfo = {5, reinterpret_cast<uint64_t>(kCrashInfoMessage), 0, 0, 0, 0, 0};
  const intptr_t slide = intptr_t(reinterpret_cast<uintptr_t>(&gCrashInfo)) - 0x1100;
  if (!os::kernel::addSyntheticImage(image.header(), slide, image.path())) return 94;
  if (!crashpath::startCaptureCore(directory)) return 91;

  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  if (FILE* note = std::fopen((directory + "/resident").c_str(), "w")) {
    std::fprintf(note, "%ld", resident * ::sysconf(_SC_PAGESIZE));
    std::fclose(note);
  }
  void* dead = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  os::runtime::objc_msgSend(static_cast<os::runtime::Object*>(dead), kSelector, nullptr);
  return 92;
}
const bool kRuntime = crashpath::registerScenario("runtime", runtimeScenario);

std::vector<ordered_json> signalRecord(const std::string& directory) {
  return readRecordLines(directory + "/signal.zozrecord");
}

TEST(ProcessStateTest, TwentyThreadsAreRecordedWithRegistersStacksQueuesAndNames) {
  if (!crashpath::suspensionBySignalAvailable()) GTEST_SKIP() << "the thread sanitizer holds back the suspend signal";
  const std::string directory = crashpath::makeDirectory("threads");
  const auto result = runScenario("many-threads", directory);
  ASSERT_EQ(result.signal, SIGSEGV) << result.describe();
  const auto lines = signalRecord(directory);
  const ordered_json* threads = findSection(lines, "threads");
  const ordered_json* queues = findSection(lines, "dispatch_queue_names");
  const ordered_json* names = findSection(lines, "thread_names");
  ASSERT_TRUE(threads && queues && names);
  ASSERT_EQ(threads->size(), 20u);
  EXPECT_EQ(queues->size(), 20u);
  EXPECT_EQ(names->size(), 20u);

  const std::vector<std::string> registerNames = {"rax", "rbx", "rcx", "rdx", "rdi", "rsi", "rbp",
                                                  "rsp", "r8",  "r9",  "r10", "r11", "r12", "r13",
                                                  "r14", "r15", "rip", "rflags", "cs", "fs", "gs"};
  size_t crashed = 0;
  for (const auto& thread : *threads) {
    std::vector<std::string> keys;
    for (auto it = thread["registers"].begin(); it != thread["registers"].end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, registerNames);
    EXPECT_FALSE(thread["stacktrace"].empty());
    crashed += thread.value("crashed", false);
  }
  EXPECT_EQ(crashed, 1u);
  std::set<std::string> nameSet(names->begin(), names->end());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(nameSet.count("worker-" + std::to_string(i))) << i;
  std::set<std::string> queueSet(queues->begin(), queues->end());
  EXPECT_TRUE(queueSet.count(kBlockedQueueLabel));
}

TEST(ProcessStateTest, InfiniteRecursionKeepsTheDistinctPcsAndOneRepeatedPc) {
  if (!crashpath::suspensionBySignalAvailable()) GTEST_SKIP() << "the thread sanitizer holds back the suspend signal";
  const std::string directory = crashpath::makeDirectory("recursion");
  const auto result = runScenario("recursion", directory);
  ASSERT_EQ(result.signal, SIGSEGV) << result.describe();
  const auto lines = signalRecord(directory);
  const ordered_json* threads = findSection(lines, "threads");
  ASSERT_TRUE(threads);
  const ordered_json* crashed = nullptr;
  for (const auto& thread : *threads) {
    if (thread.value("crashed", false)) crashed = &thread;
  }
  ASSERT_TRUE(crashed);
  ASSERT_TRUE(crashed->contains("repeated_pc") && crashed->contains("repeat_count"));
  const uint64_t repeated = (*crashed)["repeated_pc"];
  const auto& trace = (*crashed)["stacktrace"];
  EXPECT_LT(trace.size(), 100u);
  // The repeated pc appears only up to the threshold; the recursion (512 KiB
  // of 2 KiB frames) was far deeper.
  size_t occurrences = 0;
  for (const auto& pc : trace) occurrences += pc == repeated;
  EXPECT_EQ(occurrences, kZOZRecursionRepeatThreshold);
  EXPECT_GT((*crashed)["repeat_count"].get<uint64_t>(), 100u);
}

TEST(ProcessStateTest, RuntimeFactsSelectorCrashInformationAndResidentSize) {
  const std::string directory = crashpath::makeDirectory("runtime");
  const auto result = runScenario("runtime", directory);
  ASSERT_EQ(result.signal, SIGSEGV) << result.describe();
  const auto lines = signalRecord(directory);
  const ordered_json* runtime = findSection(lines, "runtime");
  ASSERT_TRUE(runtime);
  EXPECT_EQ((*runtime)["objc_selector"], kSelector);
  EXPECT_EQ((*runtime)["crash_info_entries"], ordered_json::array({crashpath::hex(kRedactedMessage)}));

  // "resident" is the task's own resident size (it used to repeat "active").
  const ordered_json* stats = findSection(lines, "process_stats");
  ASSERT_TRUE(stats);
  const double noted = std::stod(crashpath::readFile(directory + "/resident"));
  const double resident = (*stats)["resident"].get<double>();
  EXPECT_GT(resident, noted * 0.5);
  EXPECT_LT(resident, noted * 2.0);
  EXPECT_EQ((*stats)["freeMem"], (*stats)["free_mem"]);
  EXPECT_EQ(*findSection(lines, "storage"), (ordered_json{{"free", 0}, {"total", 0}}));
}

// The suspension of every other thread goes on past a thread that cannot be
// suspended; so must the resumption, else the threads listed after it stay
// parked for good.
TEST(ProcessStateTest, AThreadThatCannotBeSuspendedKeepsNoOtherParked) {
  const auto result = os::testing::runInChild([]() -> std::string {
    namespace k = os::kernel;
    k::TEST_setSuspendTimeoutMilliseconds(100);
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::atomic<uint64_t> count{0};
    std::thread blocker([&] {
      sigset_t set;
      sigemptyset(&set);
      sigaddset(&set, k::threadSuspendSignal());
      pthread_sigmask(SIG_BLOCK, &set, nullptr);
      ++ready;
      while (!stop) std::this_thread::yield();
    });
    std::thread worker([&] {
      ++ready;
      while (!stop) count.fetch_add(1);
    });
    while (ready < 2) std::this_thread::yield();
    ZOZProcess process;
    std::string report;
    if (!ZOZProcessInit(&process, k::mach_thread_self(), nullptr)) report = "no thread list";
    if (report.empty() && ZOZProcessSuspendAllOtherThreads(&process)) report = "the blocker was suspended";
    if (report.empty() && ZOZProcessResumeAllOtherThreads(&process)) report = "every resumption succeeded";
    ZOZProcessDestroy(&process);
    const uint64_t seen = count.load();
    while (report.empty() && count.load() == seen) std::this_thread::yield();  // bounded by the child's alarm
    stop = true;
    blocker.join();
    worker.join();
    return report;
  });
  EXPECT_TRUE(result.succeeded()) << result.describe();
}

TEST(ProcessStateTest, RedactUUIDMasksOnlyTheFirstParenthesisedUUID) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {kCrashInfoMessage, kRedactedMessage},
      {"(short) then (01234567-89AB-CDEF-0123-456789ABCDEF)", "(short) then (********-****-****-****-************)"},
      {"no uuid here", "no uuid here"},
      {"(01234567-89AB-CDEF-0123-456789ABCDEF) (01234567-89AB-CDEF-0123-456789ABCDEF)",
       "(********-****-****-****-************) (01234567-89AB-CDEF-0123-456789ABCDEF)"},
      {"unclosed (01234567", "unclosed (01234567"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string text = c.in;
    ZOZRedactUUID(text.data());
    EXPECT_EQ(text, c.out);
  }
}

}  // namespace
