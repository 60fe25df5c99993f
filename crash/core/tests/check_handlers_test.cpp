// The checks after start-up: each names the handlers that took over from the
// capture core (signals on the standard error stream, terminate and
// uncaught-exception handlers through the SDK logger), and with a debugger
// attached only the signal check speaks, in the internal log.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "crash/core/tests/crash_path_support.h"
#include "crash/core/zoz_allocator.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_exception.h"
#include "crash/core/zoz_mach_exception.h"
#include "crash/core/zoz_signal.h"
#include "os/foundation/error.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/logger.h"

// Named by dladdr in the checks' messages.
extern "C" void drosilForeignSignalHandler(int) {}
extern "C" void drosilForeignTerminate() { std::abort(); }
extern "C" void drosilForeignUncaught(const os::Exception&) {}

namespace {

int keepWritable(void*, size_t, int) { return 0; }

// Argument: "clean", "foreign" (a foreign SIGBUS, terminate and
// uncaught-exception handler) or "debugger" (the same foreign handlers, with
// a debugger attached). The checks' standard error goes to "stderr" and the
// SDK logger's warnings to "logger" in the directory, and the image that
// holds the foreign handlers, as the loader names it, to "image".
int checksScenario(const std::string& directory, const std::string& argument) {
  const bool debugger = argument == "debugger";
  // The read-only context stays writable, so that the scenario can mark a
  // debugger attached after start-up.
  if (debugger) ZOZAllocatorTEST_setProtectFunction(keepWritable);
  if (!crashpath::startCaptureCore(directory)) return 91;
  if (debugger) zozContext.readonly->debuggerAttached = true;
  if (argument != "clean") {
    struct sigaction action {};
    action.sa_handler = drosilForeignSignalHandler;
    ::sigaction(SIGBUS, &action, nullptr);
    std::set_terminate(drosilForeignTerminate);
    os::Exception::setUncaughtExceptionHandler(drosilForeignUncaught);
  }
  if (!std::freopen((directory + "/stderr").c_str(), "w", stderr)) return 92;
  os::LogCapture capture;
  ZOZSignalCheckHandlers();
  ZOZMachExceptionCheckHandlers();
  ZOZExceptionCheckHandlers();
  DAZLoggerTEST_flush();
  std::fflush(stderr);
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(drosilForeignSignalHandler), &info) == 0 || !info.dli_fname) return 93;
  std::ofstream(directory + "/image") << info.dli_fname;
  std::ofstream logger(directory + "/logger");
  for (const auto& record : capture.recordsContaining("Warning: ")) logger << record.message << "\n";
  return 0;
}
const bool kChecks = crashpath::registerScenario("checks", checksScenario);

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(CheckHandlersTest, NameTheHandlersThatAreNotOursUnlessADebuggerIsAttached) {
  struct Case {
    const char* argument;
    bool foreignNamed;  // one line per foreign handler, naming it and its image
    bool debuggerWarning;
  };
  const Case cases[] = {
      {"clean", false, false},
      {"foreign", true, false},
      {"debugger", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    const std::string directory = crashpath::makeDirectory(std::string("checks-") + c.argument);
    const auto result = crashpath::runScenario("checks", directory, c.argument);
    ASSERT_TRUE(result.exited && result.exitCode == 0) << result.describe();
    const std::string image = crashpath::readFile(directory + "/image");
    ASSERT_FALSE(image.empty());

    const std::string errors = crashpath::readFile(directory + "/stderr");
    EXPECT_EQ(occurrences(errors, "[Zoziduzuzud] The signal"), c.foreignNamed ? 1u : 0u) << errors;
    EXPECT_EQ(occurrences(errors, "[Zoziduzuzud] The signal SIGBUS has a non-Zoziduzuzud handler (" + image +
                                      ").  This will interfere with reporting.\n"),
              c.foreignNamed ? 1u : 0u)
        << errors;

    const std::string logger = crashpath::readFile(directory + "/logger");
    EXPECT_EQ(occurrences(logger, "Warning: "), c.foreignNamed ? 2u : 0u) << logger;
    EXPECT_EQ(occurrences(logger, "Warning: std::get_terminate is 'drosilForeignTerminate' in '" + image + "'\n"),
              c.foreignNamed ? 1u : 0u)
        << logger;
    EXPECT_EQ(
        occurrences(logger, "Warning: NSUncaughtExceptionHandler is 'drosilForeignUncaught' in '" + image + "'\n"),
        c.foreignNamed ? 1u : 0u)
        << logger;

    const std::string internal = crashpath::readFile(directory + "/sdk.log");
    EXPECT_EQ(occurrences(internal, std::string("App is attached to a debugger, to see the crash reports please "
                                                "detach from the debugger, ") +
                                        kZOZGettingStartedURL),
              c.debuggerWarning ? 1u : 0u)
        << internal;
  }
}

}  // namespace
