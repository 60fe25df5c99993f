// Signal capture, through real signals in fresh child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crash/core/tests/crash_path_main.h"
#include "crash/core/tests/crash_path_support.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_signal.h"
#include "crash/core/zoz_unwind_support.h"

namespace {

using crashpath::findSection;
using crashpath::readRecordLines;
using crashpath::runScenario;
using nlohmann::ordered_json;

// ---- What the child does ----

void sendToSelf(int signal) { ::syscall(SYS_tgkill, ::getpid(), ::gettid(), signal); }

[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void writeThrough(volatile int* pointer) { *pointer = 1; }
volatile uintptr_t gNull = 0;
volatile int gZero = 0;
volatile int gOne = 1;
volatile int gSink = 0;

// A read past the end of a file mapping whose file was cut short.
void readTruncatedMapping(const std::string& directory) {
  const std::string path = directory + "/truncated";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::ftruncate(fd, 8192) != 0) return;
  auto* bytes = static_cast<volatile char*>(::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
  if (bytes == MAP_FAILED) return;
  if (::ftruncate(fd, 0) != 0) return;
  gSink = bytes[4096];
}

// How each signal of the matrix is made.
[[gnu::no_sanitize("undefined")]] void crash(const std::string& kind, const std::string& directory) {
  if (kind == "segv-null") writeThrough(reinterpret_cast<volatile int*>(gNull));
  if (kind == "segv-kill") sendToSelf(SIGSEGV);
  if (kind == "bus") readTruncatedMapping(directory);
  if (kind == "fpe") gSink = gOne / gZero;
  if (kind == "ill") __builtin_trap();
  if (kind == "trap") asm volatile("int3");
  if (kind == "abrt") ::abort();
  if (kind == "sys") sendToSelf(SIGSYS);
}

// The handler that was there before the capture core: it notes whether the
// crashed marker existed when it ran, puts the default back and raises the
// signal again.
char gNotePath[512];
char gMarkerPath[512];
void previousHandler(int signal, siginfo_t*, void*) {
  struct stat info {};
  const char note = ::stat(gMarkerPath, &info) == 0 ? 'A' : 'B';
  const int fd = ::open(gNotePath, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    (void)!::write(fd, &note, 1);
    ::close(fd);
  }
  ::signal(signal, SIG_DFL);
  sendToSelf(signal);
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    parts.push_back(text.substr(start, comma - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

// Argument: kind,thread(main|secondary),previous(yes|no)[,heap-forbidden]
int crashScenario(const std::string& directory, const std::string& argument) {
  const auto parts = split(argument);
  if (parts.size() < 3) return 90;
  const std::string kind = parts[0];
  const bool secondary = parts[1] == "secondary";
  const bool previous = parts[2] == "yes";
  const bool forbidHeap = parts.size() > 3 && parts[3] == "heap-forbidden";
  const bool altStack = parts.size() > 3 && parts[3] == "alt-stack";
  std::snprintf(gNotePath, sizeof gNotePath, "%s/previous-handler", directory.c_str());
  std::snprintf(gMarkerPath, sizeof gMarkerPath, "%s/%s", directory.c_str(), kZOZPreviouslyCrashedFileName);
  if (previous) {
    for (int signal : kZOZHandledSignals) {
      struct sigaction action {};
      action.sa_sigaction = previousHandler;
      action.sa_flags = SA_SIGINFO;
      ::sigaction(signal, &action, nullptr);
    }
  }
  if (!crashpath::startCaptureCore(directory)) return 91;
  const auto body = [&] {
    static char stackMemory[64 * 1024];
    if (altStack) {
      stack_t stack{};
      stack.ss_sp = stackMemory;
      stack.ss_size = sizeof stackMemory;
      ::sigaltstack(&stack, nullptr);
    }
    if (forbidHeap) crashpath::forbidHeap = true;
    crash(kind, directory);
  };
  if (secondary) {
    std::thread thread(body);
    thread.join();
  } else {
    body();
  }
  return 92;  // still alive
}
const bool kCrash = crashpath::registerScenario("crash", crashScenario);

// ---- The matrix ----

struct SignalCase {
  const char* kind;
  int hostSignal;
  uint64_t number;
  const char* name;
  const char* codeName;  // null: written as null
};
const SignalCase kSignalCases[] = {
    {"segv-null", SIGSEGV, 11, "SIGSEGV", nullptr}, {"segv-kill", SIGSEGV, 11, "SIGSEGV", nullptr},
    {"bus", SIGBUS, 10, "SIGBUS", nullptr},          {"fpe", SIGFPE, 8, "SIGFPE", nullptr},
    {"ill", SIGILL, 4, "SIGILL", nullptr},           {"trap", SIGTRAP, 5, "SIGTRAP", nullptr},
    {"abrt", SIGABRT, 6, "SIGABRT", "ABORT"},        {"sys", SIGSYS, 12, "SIGSYS", nullptr},
};

// Checks a crash's signal record; empty when it is as expected.
void expectSignalRecord(const std::string& directory, const SignalCase& c) {
  size_t lineCount = 0;
  const auto lines = readRecordLines(directory + "/signal.zozrecord", &lineCount);
  ASSERT_EQ(lines.size(), lineCount) << "a line did not parse";
  std::vector<std::string> expected = {"signal"};
  expected.insert(expected.end(), crashpath::kCrashPathSections.begin(), crashpath::kCrashPathSections.end());
  ASSERT_EQ(crashpath::sectionNames(lines), expected);
  const ordered_json& signal = lines[0]["signal"];
  EXPECT_EQ(signal["number"], c.number);
  EXPECT_EQ(signal["name"], c.name);
  if (c.codeName) {
    EXPECT_EQ(signal["code_name"], c.codeName);
  } else {
    EXPECT_TRUE(signal["code_name"].is_null());
  }
  EXPECT_TRUE(signal.contains("code") && signal.contains("address") && signal.contains("errno") &&
              signal.contains("time"));
  if (std::string(c.kind) == "segv-null") {
    EXPECT_EQ(signal["address"], 0u);
  }

  const ordered_json& threads = lines[1]["threads"];
  size_t crashed = 0;
  for (const auto& thread : threads) {
    if (thread.value("crashed", false)) {
      ++crashed;
      EXPECT_FALSE(thread["stacktrace"].empty());
      // The first frame is the faulting pc.
      EXPECT_EQ(thread["stacktrace"][0], thread["registers"]["rip"]);
    }
  }
  EXPECT_EQ(crashed, 1u);
  EXPECT_TRUE(crashpath::fileExists(directory + "/" + kZOZPreviouslyCrashedFileName));
}

class SignalMatrixTest : public ::testing::Test {};

TEST_F(SignalMatrixTest, EachSignalOnEachThreadWithAndWithoutAPreviousHandlerIsRecordedAndEndsTheChild) {
  if (!crashpath::suspensionBySignalAvailable()) GTEST_SKIP() << "the thread sanitizer holds back the suspend signal";
  for (const SignalCase& c : kSignalCases) {
    for (const char* thread : {"main", "secondary"}) {
      for (const char* previous : {"no", "yes"}) {
        const std::string label = std::string(c.kind) + "," + thread + "," + previous;
        SCOPED_TRACE(label);
        const std::string directory = crashpath::makeDirectory(std::string(c.kind) + "-" + thread + "-" + previous);
        const auto result = runScenario("crash", directory, label);
        EXPECT_EQ(result.signal, c.hostSignal) << result.describe();
        expectSignalRecord(directory, c);
        const std::string note = crashpath::readFile(directory + "/previous-handler");
        // The previous handler ran once, and after the record was complete.
        EXPECT_EQ(note, std::string(previous) == "yes" ? "A" : "");
      }
    }
  }
}

TEST_F(SignalMatrixTest, TheCrashPathRunsWithTheHeapForbidden) {
  if (!crashpath::heapGuardAvailable()) GTEST_SKIP() << "the sanitizer owns the allocator";
  for (const char* thread : {"main", "secondary"}) {
    SCOPED_TRACE(thread);
    const std::string directory = crashpath::makeDirectory(std::string("heap-") + thread);
    const auto result = runScenario("crash", directory, std::string("segv-null,") + thread + ",no,heap-forbidden");
    // An allocation would have ended the child by SIGABRT.
    EXPECT_EQ(result.signal, SIGSEGV) << result.describe();
    expectSignalRecord(directory, kSignalCases[0]);
  }
}

// The give-back used to stop at reinstalling the saved alternate stack,
// which fails (EPERM) on a thread that runs its handler on an alternate
// stack: the previous handler was then never called. (The saved stack is
// the start-up thread's; under the address sanitizer every thread has one.)
TEST_F(SignalMatrixTest, APreviousHandlerIsCalledWhenTheCrashedThreadRunsOnAnAlternateStack) {
  if (!crashpath::suspensionBySignalAvailable()) GTEST_SKIP() << "the thread sanitizer holds back the suspend signal";
  const std::string directory = crashpath::makeDirectory("alt-stack");
  const auto result = runScenario("crash", directory, "segv-kill,secondary,yes,alt-stack");
  EXPECT_EQ(result.signal, SIGSEGV) << result.describe();
  expectSignalRecord(directory, kSignalCases[1]);
  EXPECT_EQ(crashpath::readFile(directory + "/previous-handler"), "A");
}

// ---- Second crashes ----

int markedScenario(const std::string& directory, const std::string&) {
  if (!crashpath::startCaptureCore(directory)) return 91;
  if (ZOZContextMarkAndCheckIfCrashed()) return 93;
  sendToSelf(SIGSEGV);
  return 92;
}
const bool kMarked = crashpath::registerScenario("marked", markedScenario);

// The unwinder's first message faults: the handler meets a fault of its own.
void faultingObserver(int, const char*) { writeThrough(reinterpret_cast<volatile int*>(gNull)); }
[[gnu::no_sanitize("undefined")]] int faultInHandlerScenario(const std::string& directory, const std::string&) {
  if (!crashpath::startCaptureCore(directory)) return 91;
  TEST_ZOZUnwindSetLogObserver(faultingObserver);
  gSink = gOne / gZero;
  return 92;
}
const bool kFaultInHandler = crashpath::registerScenario("fault-in-handler", faultInHandlerScenario);

TEST(SignalSecondCrashTest, AFaultInsideTheHandlerEndsTheChildByThatSignalWithoutReentry) {
  const std::string directory = crashpath::makeDirectory("fault");
  const auto result = runScenario("fault-in-handler", directory);
  EXPECT_EQ(result.signal, SIGSEGV) << result.describe();
  const auto lines = readRecordLines(directory + "/signal.zozrecord");
  ASSERT_FALSE(lines.empty());
  size_t signals = 0;
  for (const auto& line : lines) signals += line.contains("signal");
  EXPECT_EQ(signals, 1u);
  EXPECT_EQ(lines[0]["signal"]["name"], "SIGFPE");
}

TEST(SignalSecondCrashTest, WithACrashAlreadyMarkedASignalExitsWithStatusOneAndWritesNothing) {
  const std::string directory = crashpath::makeDirectory("marked");
  const auto result = runScenario("marked", directory);
  EXPECT_TRUE(result.exited && result.exitCode == 1) << result.describe();
  EXPECT_EQ(crashpath::readFile(directory + "/signal.zozrecord"), "");
  EXPECT_FALSE(crashpath::fileExists(directory + "/" + kZOZPreviouslyCrashedFileName));
}

// ---- Pure parts ----

TEST(SignalNamesTest, PlatformNumbersNamesAndCodeNames) {
  struct Case {
    int hostSignal;
    int number;
    const char* name;
    const char* codeName;
  } cases[] = {{SIGILL, 4, "SIGILL", nullptr},   {SIGTRAP, 5, "SIGTRAP", nullptr}, {SIGABRT, 6, "SIGABRT", "ABORT"},
               {SIGFPE, 8, "SIGFPE", nullptr},   {SIGBUS, 10, "SIGBUS", nullptr},  {SIGSEGV, 11, "SIGSEGV", nullptr},
               {SIGSYS, 12, "SIGSYS", nullptr},  {SIGPIPE, SIGPIPE, "UNKNOWN", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hostSignal);
    const int number = ZOZSignalPlatformNumber(c.hostSignal);
    EXPECT_EQ(number, c.number);
    const char* name = nullptr;
    const char* codeName = "unset";
    ZOZSignalNameLookup(number, &name, &codeName);
    EXPECT_STREQ(name, c.name);
    EXPECT_EQ(codeName == nullptr, c.codeName == nullptr);
    if (c.codeName && codeName) {
      EXPECT_STREQ(codeName, c.codeName);
    }
  }
}

}  // namespace
