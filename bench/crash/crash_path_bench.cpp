// A child process of 20 threads (each with its alternate signal stack), with
// a library opened after start-up, dies by SIGSEGV: the time from the signal to
// its death (as its parent sees it) with the capture core recording the
// crash, against the same child dying by the default disposition, in one
// run. Counters: capture_ms, default_ms and extra_ms (their difference, to
// be kept under 50 ms), per crash.
//
// The child is this program again (fresh process, no inherited dispatch
// pool), told by its environment what to do; it writes the monotonic time
// just before raising the signal to a pipe its parent reads after reaping.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/ratio_reporter.h"
#include "crash/core/zoz_context.h"
#include "os/dispatch/queue.h"

extern char** environ;

namespace {

constexpr const char* kModeVariable = "DROSIL_CRASH_BENCH_MODE";
constexpr const char* kPipeVariable = "DROSIL_CRASH_BENCH_FD";
constexpr const char* kDirectoryVariable = "DROSIL_CRASH_BENCH_DIRECTORY";
constexpr size_t kThreads = 20;

int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

size_t countThreads() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) count += !entry.path().empty();
  return count;
}

// The child: optionally the capture core, then 20 threads, then the signal.
[[noreturn]] void runChild(bool capture, int fd, const std::string& directory) {
  if (capture) {
    auto data = std::make_shared<ZOZContextInitData>();
    data->rootPath = directory;
    data->previouslyCrashedFileRootPath = directory;
    data->sessionId = "bench";
    data->maxLogSize = 64000;
    data->maxKeyValues = 64;
    if (!ZOZContextInitialize(data) || !os::dispatch::drainUntilIdle()) ::_exit(2);
  }
  // A library opened after start-up: the crash path reads it from the
  // loader's list (the threads below get their alternate stacks as they start).
  if (!::dlopen("libz.so.1", RTLD_NOW)) ::_exit(5);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  while (countThreads() < kThreads) {
    threads.emplace_back([&stop] {
      while (!stop.load()) ::pause();
    });
    while (countThreads() < threads.size() + 1 && countThreads() < kThreads) std::this_thread::yield();
  }
  const int64_t before = monotonicNanos();
  if (::write(fd, &before, sizeof before) != sizeof before) ::_exit(3);
  ::syscall(SYS_tgkill, ::getpid(), ::gettid(), SIGSEGV);
  ::_exit(4);
}

// One crash: nanoseconds from the child's signal to its reaping; 0 on failure.
int64_t crashOnce(bool capture, const std::string& directory) {
  int fds[2];
  if (::pipe(fds) != 0) return 0;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
  environment.push_back(std::string(kModeVariable) + "=" + (capture ? "capture" : "default"));
  environment.push_back(std::string(kPipeVariable) + "=" + std::to_string(fds[1]));
  environment.push_back(std::string(kDirectoryVariable) + "=" + directory);
  environment.push_back("DROSIL_HOME=" + directory + "/home");
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  char* argv[] = {program.data(), nullptr};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    ::alarm(60);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  const int64_t reaped = monotonicNanos();
  int64_t before = 0;
  const bool read = ::read(fds[0], &before, sizeof before) == sizeof before;
  ::close(fds[0]);
  if (!read || !WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) return 0;
  return reaped - before;
}

size_t recordLines(const std::string& path) {
  std::ifstream in(path);
  size_t lines = 0;
  for (std::string line; std::getline(in, line);) ++lines;
  return lines;
}

void BM_CrashToDeath(benchmark::State& state) {
  const std::string base = std::filesystem::temp_directory_path().string() + "/crash-bench-" + std::to_string(::getpid());
  double captureTotal = 0, defaultTotal = 0;
  int64_t runs = 0;
  for (auto _ : state) {
    const std::string directory = base + "/" + std::to_string(runs);
    std::filesystem::create_directories(directory + "/home");
    const int64_t withCapture = crashOnce(true, directory);
    const int64_t withDefault = crashOnce(false, directory);
    // The record is complete: the signal section and the six of the crash path.
    if (withCapture == 0 || withDefault == 0 || recordLines(directory + "/signal.zozrecord") != 7) {
      state.SkipWithError("the child did not crash as expected");
      break;
    }
    state.SetIterationTime(double(withCapture) / 1e9);
    captureTotal += double(withCapture) / 1e6;
    defaultTotal += double(withDefault) / 1e6;
    ++runs;
    std::filesystem::remove_all(directory);
  }
  std::filesystem::remove_all(base);
  if (runs > 0) {
    state.counters["capture_ms"] = captureTotal / double(runs);
    state.counters["default_ms"] = defaultTotal / double(runs);
    state.counters["extra_ms"] = (captureTotal - defaultTotal) / double(runs);
  }
}
BENCHMARK(BM_CrashToDeath)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (const char* mode = std::getenv(kModeVariable)) {
    const char* fd = std::getenv(kPipeVariable);
    const char* directory = std::getenv(kDirectoryVariable);
    runChild(std::string(mode) == "capture", fd ? std::atoi(fd) : -1, directory ? directory : "");
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  char extra[32];
  std::snprintf(extra, sizeof extra, "%.1f ms", reporter.counter("BM_CrashToDeath", "extra_ms"));
  bench::printFigure("extra time of a 20-thread crash with capture / without", extra, "< 50 ms");
  return 0;
}
