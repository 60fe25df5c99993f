// The crash matrix: each way a process meets its end, in a fresh child that
// runs the capture core. For each case the child dies by the original
// signal and leaves a record naming it, with the crashed thread marked and
// its frames resolving to the child's own functions; the next launch (this
// runner) symbolicates the report and packages it for the transport.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "crash/core/tests/crash_path_support.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_process_report.h"
#include "crash/reporting/zoz_report_adapter.h"
#include "os/dispatch/queue.h"
#include "os/kernel/threads.h"

// The child's functions that the frames must name (exported, so that dladdr
// names them).
namespace crashmatrix {
volatile int* volatile gNull = nullptr;
volatile int gZero = 0;
volatile int gSink = 0;

[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crashNow(const std::string& kind) {
  if (kind == "segv") *gNull = 1;
  if (kind == "abrt") ::abort();
  if (kind == "fpe") gSink = gSink / gZero;
  if (kind == "ill") __builtin_trap();
  if (kind == "bus") ::raise(SIGBUS);
  if (kind == "throw") throw std::runtime_error("no one catches this");
  gSink = gSink + 1;
}

// Frames large enough to overflow a default stack in a few thousand calls.
[[gnu::noinline]] int recurseDeep(int depth) {
  volatile char pad[4096];
  pad[0] = char(depth);
  asm volatile("" : : "r"(&pad[0]) : "memory");
  if (gSink < 0) return pad[0];
  return recurseDeep(depth + 1) + pad[0];
}

void* runOnPlainThread(void* kind) {
  const std::string what = static_cast<const char*>(kind);
  if (what == "overflow") return reinterpret_cast<void*>(intptr_t(recurseDeep(0)));
  crashNow(what);
  return nullptr;
}
}  // namespace crashmatrix

namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;

// Runs `kind` on a thread made with plain pthread_create (code that knows
// nothing of the SDK) and waits for it.
void onPlainThread(const char* kind) {
  pthread_t thread;
  if (::pthread_create(&thread, nullptr, crashmatrix::runOnPlainThread, const_cast<char*>(kind)) != 0) return;
  ::pthread_join(thread, nullptr);
}

// Argument: the case's name.
int matrixScenario(const std::string& directory, const std::string& name) {
  os::kernel::TEST_setSuspendTimeoutMilliseconds(200);
  if (!crashpath::startCaptureCore(directory)) return 91;
  if (name == "overflow-main") crashmatrix::recurseDeep(0);
  if (name == "overflow-pthread") onPlainThread("overflow");
  if (name == "throw-secondary") onPlainThread("throw");
  if (name == "overflow-pool") {
    os::DispatchQueue::global()->async([] { crashmatrix::recurseDeep(0); });
    for (;;) ::pause();  // the worker ends the process
  }
  if (name == "blocked-thread") {
    // A thread that blocks every signal (so it cannot be suspended or read),
    // listed before the thread that crashes.
    std::atomic<bool> blocking{false};
    std::thread blocker([&] {
      sigset_t all;
      ::sigfillset(&all);
      ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
      blocking = true;
      for (;;) ::pause();
    });
    while (!blocking) std::this_thread::yield();
    blocker.detach();
    onPlainThread("segv");
  }
  if (name == "dlopen") {
    // Opened with the system loader after start-up: the image table has not
    // heard of it.
    void* library = ::dlopen(DROSIL_CRASH_MATRIX_LIBRARY, RTLD_NOW);
    auto* enter = library ? reinterpret_cast<void (*)(volatile int*)>(::dlsym(library, "crashlibrary_enter")) : nullptr;
    if (!enter) return 93;
    enter(crashmatrix::gNull);
  }
  crashmatrix::crashNow(name);
  return 92;  // still alive
}
const bool kMatrix = crashpath::registerScenario("crash-matrix", matrixScenario);

struct MatrixCase {
  const char* name;
  int signal;            // how the child dies
  const char* record;    // the record naming it
  const char* function;  // a frame of the crashed thread resolves to it
};
const MatrixCase kCases[] = {
    {"segv", SIGSEGV, "SIGSEGV", "crashmatrix::crashNow("},
    {"abrt", SIGABRT, "SIGABRT", "crashmatrix::crashNow("},
    {"bus", SIGBUS, "SIGBUS", "crashmatrix::crashNow("},
    {"fpe", SIGFPE, "SIGFPE", "crashmatrix::crashNow("},
    {"ill", SIGILL, "SIGILL", "crashmatrix::crashNow("},
    {"throw", SIGABRT, "SIGABRT", "crashmatrix::crashNow("},
    {"throw-secondary", SIGABRT, "SIGABRT", "crashmatrix::crashNow("},
    {"overflow-main", SIGSEGV, "SIGSEGV", "crashmatrix::recurseDeep("},
    {"overflow-pool", SIGSEGV, "SIGSEGV", "crashmatrix::recurseDeep("},
    {"overflow-pthread", SIGSEGV, "SIGSEGV", "crashmatrix::recurseDeep("},
    {"blocked-thread", SIGSEGV, "SIGSEGV", "crashmatrix::crashNow("},
    {"dlopen", SIGSEGV, "SIGSEGV", "crashlibrary::crashInLoadedLibrary("},
};

class CrashMatrixTest : public reportingtest::ReportingTest {};

// Stack overflows used to die unrecorded (the alternate stack was on one
// pool worker only); a thread that could not be read ended the thread list
// before the crashed one; a library opened after start-up gave frames no
// image. Each of those is a case here.
TEST_F(CrashMatrixTest, EveryCaseIsRecordedSymbolicatedAndPackagedAndDiesByItsSignal) {
  // The next launch resolves the library's frames as it resolves its own:
  // with the library loaded.
  void* library = ::dlopen(DROSIL_CRASH_MATRIX_LIBRARY, RTLD_NOW);
  ASSERT_TRUE(library) << ::dlerror();
  for (const MatrixCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string directory = crashpath::makeDirectory(c.name);
    const auto result = crashpath::runScenario("crash-matrix", directory, c.name);
    EXPECT_EQ(result.signal, c.signal) << result.describe();

    const auto lines = crashpath::readRecordLines(directory + "/signal.zozrecord");
    const ordered_json* signal = crashpath::findSection(lines, "signal");
    const ordered_json* threads = crashpath::findSection(lines, "threads");
    ASSERT_TRUE(signal && threads) << crashpath::readFile(directory + "/signal.zozrecord");
    EXPECT_EQ((*signal)["name"], c.record);
    EXPECT_TRUE(crashpath::fileExists(directory + "/" + kZOZPreviouslyCrashedFileName));
    size_t crashed = threads->size(), unreadable = 0;
    for (size_t i = 0; i < threads->size(); ++i) {
      if ((*threads)[i].value("crashed", false)) crashed = i;
      unreadable += (*threads)[i].value("unreadable", false);
    }
    ASSERT_LT(crashed, threads->size());
#if !defined(__SANITIZE_THREAD__)
    // The thread sanitizer holds the suspend signal back, so there the other
    // threads read as unreadable; the crashed one is still recorded whole.
    EXPECT_EQ(unreadable, std::string(c.name) == "blocked-thread" ? 1u : 0u);
#endif
    if (std::string(c.name).starts_with("throw")) {
      const auto exception = crashpath::readRecordLines(directory + "/exception.zozrecord");
      ASSERT_FALSE(exception.empty());
      EXPECT_EQ(exception[0]["exception"]["type"], "c++");
    }

    // The next launch: symbolicated, then packaged.
    auto report = ZOZInternalReport::reportWithPath(directory);
    ASSERT_TRUE(report);
    std::make_shared<ZOZProcessReportOperation>(report, std::make_shared<ZOZSymbolResolver>())->start();
    const auto symbolicated = crashpath::readRecordLines(directory + "/signal.zozrecord.symbolicated");
    ASSERT_EQ(symbolicated.size(), 1u);
    bool named = false;
    for (const auto& frame : symbolicated[0]["threads"][crashed]) {
      named |= frame["symbol"].is_string() && frame["symbol"].get<std::string>().starts_with(c.function);
    }
    EXPECT_TRUE(named) << symbolicated[0]["threads"][crashed].dump();
    ZOZReportAdapter adapter(directory, "1:123:ios:abc", nullptr, "fiid", "token");
    const auto bytes = adapter.transportBytes();
    ASSERT_TRUE(bytes.has_value());
    const std::string packaged(reinterpret_cast<const char*>(bytes->bytes()), bytes->length());
    EXPECT_NE(packaged.find("signal.zozrecord.symbolicated"), std::string::npos);
    EXPECT_NE(packaged.find(c.function), std::string::npos);
  }
  ::dlclose(library);
}

}  // namespace
