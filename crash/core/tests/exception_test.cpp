// Uncaught exceptions and the terminate handler in fresh child processes,
// and exceptions recorded on demand.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "crash/core/tests/crash_path_support.h"
#include "crash/core/zoz_demangle.h"
#include "crash/core/zoz_exception.h"
#include "crash/core/zoz_user_logging.h"
#include "os/foundation/error.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/logger.h"

namespace {

using crashpath::hex;
using crashpath::readRecordLines;
using nlohmann::ordered_json;

std::string gDirectory;

void writeNote(const std::string& name, const std::string& text) {
  if (FILE* out = std::fopen((gDirectory + "/" + name).c_str(), "w")) {
    std::fputs(text.c_str(), out);
    std::fclose(out);
  }
}

// The terminate handler that was there before: notes whether the exception
// record was complete when it ran, and leaves with status 7.
void previousTerminate() {
  const auto lines = crashpath::readRecordLines(gDirectory + "/exception.zozrecord");
  writeNote("previous-terminate", lines.size() == 7 ? "after" : "before");
  ::_exit(7);
}

[[noreturn]] void throwIt(const std::string& kind) {
  if (kind == "c-string") throw "meter broke";
  if (kind == "runtime-error") throw std::runtime_error("lamp too dim");
  os::Exception exception("NSInvalidArgumentException", "bad gain");
  std::string addresses;
  for (uintptr_t address : exception.callStackReturnAddresses()) addresses += std::to_string(address) + " ";
  writeNote("addresses", addresses);
  throw exception;
}

int uncaughtScenario(const std::string& directory, const std::string& kind) {
  gDirectory = directory;
  if (kind == "previous") std::set_terminate(previousTerminate);
  if (!crashpath::startCaptureCore(directory)) return 91;
  throwIt(kind == "previous" ? "c-string" : kind);
}
const bool kUncaught = crashpath::registerScenario("uncaught", uncaughtScenario);

const ordered_json& exceptionSection(const std::vector<ordered_json>& lines) {
  static const ordered_json none;
  return lines.empty() || !lines[0].contains("exception") ? none : lines[0]["exception"];
}

TEST(UncaughtExceptionTest, TheActiveExceptionIsRecordedByItsKind) {
  struct Case {
    const char* kind;
    const char* type;
    std::string name;
    std::string reason;
  } cases[] = {{"c-string", "c++", "const char *", "meter broke"},
               {"runtime-error", "c++", "std::runtime_error", "lamp too dim"},
               {"os-exception", "objective-c", "NSInvalidArgumentException", "bad gain"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    const std::string directory = crashpath::makeDirectory(c.kind);
    const auto result = crashpath::runScenario("uncaught", directory, c.kind);
    EXPECT_EQ(result.signal, SIGABRT) << result.describe();
    size_t lineCount = 0;
    const auto lines = readRecordLines(directory + "/exception.zozrecord", &lineCount);
    ASSERT_EQ(lines.size(), lineCount);
    std::vector<std::string> expected = {"exception"};
    expected.insert(expected.end(), crashpath::kCrashPathSections.begin(), crashpath::kCrashPathSections.end());
    ASSERT_EQ(crashpath::sectionNames(lines), expected);
    const ordered_json& exception = exceptionSection(lines);
    EXPECT_EQ(exception["type"], c.type);
    EXPECT_EQ(exception["name"], hex(c.name));
    EXPECT_EQ(exception["reason"], hex(c.reason));
    EXPECT_FALSE(exception.contains("rollouts"));
    if (std::string(c.kind) == "os-exception") {
      std::string pcs;
      for (const auto& frame : exception["frames"]) pcs += std::to_string(frame["pc"].get<uint64_t>()) + " ";
      EXPECT_EQ(pcs, crashpath::readFile(directory + "/addresses"));
      EXPECT_FALSE(pcs.empty());
    } else {
      EXPECT_FALSE(exception.contains("frames"));
    }
  }
}

TEST(UncaughtExceptionTest, APreviousTerminateHandlerRunsAfterTheRecord) {
  const std::string directory = crashpath::makeDirectory("previous");
  const auto result = crashpath::runScenario("uncaught", directory, "previous");
  EXPECT_TRUE(result.exited && result.exitCode == 7) << result.describe();
  EXPECT_EQ(crashpath::readFile(directory + "/previous-terminate"), "after");
}

// A custom exception first (so the current report has custom-exception
// files), then a fatal on-demand one; its directory's path is noted.
int onDemandScenario(const std::string& directory, const std::string&) {
  gDirectory = directory + "/active/launch";
  std::filesystem::create_directories(gDirectory);
  if (!crashpath::startCaptureCore(gDirectory)) return 91;
  ZOZExceptionRecord(ZOZExceptionTypeCustom, "Custom", "first", {}, std::nullopt);
  if (!std::filesystem::exists(gDirectory + "/" + kZOZCustomExceptionAFileName)) return 93;
  ZOZStackFrame frame;
  frame.address = 0x1234;
  frame.symbol = "measure()";
  frame.lineNumber = 42;
  auto path = ZOZExceptionRecordOnDemand(ZOZExceptionTypeCustom, "OnDemand", "fatal one", {frame}, true, 3, 1);
  if (!path) return 94;
  writeNote("on-demand-path", *path);
  return 0;
}
const bool kOnDemand = crashpath::registerScenario("on-demand", onDemandScenario);

TEST(OnDemandExceptionTest, AFatalOnDemandExceptionMakesANewReportWithItsRecordAndMarker) {
  const std::string directory = crashpath::makeDirectory("on-demand");
  const auto result = crashpath::runScenario("on-demand", directory);
  ASSERT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  const std::string current = directory + "/active/launch";
  const std::string created = crashpath::readFile(current + "/on-demand-path");
  ASSERT_EQ(std::filesystem::path(created).parent_path(), std::filesystem::path(directory + "/active"));
  EXPECT_EQ(std::filesystem::path(created).filename().string().size(), 32u);

  EXPECT_TRUE(crashpath::fileExists(created + "/custom_fatal.zozrecord"));
  EXPECT_EQ(crashpath::readFile(created + "/custom_fatal.zozrecord"), "");
  const auto lines = readRecordLines(created + "/exception.zozrecord");
  ASSERT_GE(lines.size(), 1u);
  const ordered_json& exception = exceptionSection(lines);
  EXPECT_EQ(exception["type"], "custom");
  EXPECT_EQ(exception["frames"][0]["symbol"], hex("measure()"));
  EXPECT_EQ(exception["frames"][0]["line"], 42);
  EXPECT_EQ(crashpath::sectionNames(lines).back(), "storage");
  // The copy carried the custom exception; the current report lost its files.
  EXPECT_TRUE(crashpath::fileExists(created + "/custom_exception_a.zozrecord"));
  EXPECT_FALSE(crashpath::fileExists(current + "/custom_exception_a.zozrecord"));
  const auto kv = readRecordLines(created + "/internal_incremental_kv.zozrecord");
  ASSERT_EQ(kv.size(), 2u);
  EXPECT_EQ(kv[0]["kv"]["key"], hex(kZOZOnDemandRecordedExceptionsKey));
  EXPECT_EQ(kv[0]["kv"]["value"], hex("3"));
  EXPECT_EQ(kv[1]["kv"]["value"], hex("1"));
}

// A message before start-up goes only to the SDK logger.
int earlyLogScenario(const std::string& directory, const std::string&) {
  os::LogCapture capture;
  ZOZLog("too early %d", 1);
  DAZLoggerTEST_flush();
  if (capture.recordsContaining("cannot be recorded. The message was: \ntoo early 1").empty()) return 93;
  if (!crashpath::startCaptureCore(directory)) return 91;
  ZOZLog("in time %d", 2);
  const auto lines = crashpath::readRecordLines(directory + "/log_a.zozrecord");
  if (lines.size() != 1 || lines[0]["log"]["msg"] != hex("in time 2")) return 94;
  return 0;
}
const bool kEarlyLog = crashpath::registerScenario("early-log", earlyLogScenario);

TEST(UserLogTest, AMessageBeforeStartUpReachesOnlyTheSDKLogger) {
  const std::string directory = crashpath::makeDirectory("early");
  const auto result = crashpath::runScenario("early-log", directory);
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

TEST(DemangleTest, MangledNamesDemangleAndOtherTextStays) {
  EXPECT_EQ(demangleCppSymbol(typeid(std::runtime_error).name()), "std::runtime_error");
  EXPECT_EQ(demangleCppSymbol("_ZN2os9ExceptionD2Ev"), "os::Exception::~Exception()");
  EXPECT_EQ(demangleCppSymbol("plain text"), "plain text");
}

}  // namespace
