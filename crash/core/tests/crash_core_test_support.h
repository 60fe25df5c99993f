// Fixtures for the capture-core tests: a fresh sandbox with a main bundle and
// a report directory, the context started over them, and readers for what it
// leaves on disk.
//
// Scenarios that need a process of their own (a traced start-up) run the
// test program again through runScenarioInFreshProcess: a fresh process has
// no dispatch workers inherited from the test runner. The program's main
// (crash_core_test_main.cpp) dispatches on the scenario's name.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crash/core/tests/record_file_support.h"
#include "crash/core/zoz_context.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/value.h"

namespace crashtest {

inline constexpr const char* kBundleIdentifier = "com.example/drosil";
inline constexpr double kStartTime = 1'700'000'000.0;

// The keys of a JSON object, in order.
std::vector<std::string> keysOf(const nlohmann::ordered_json& object);
// Writes a main bundle's Info.plist at `bundlePath` and makes it the main bundle.
void writeMainBundle(const std::string& bundlePath, const os::Dictionary& info);
// Lower-case hex of bytes.
std::string hex(const uint8_t* bytes, size_t length);

class CrashCoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Init data for the report directory; the limits are arbitrary but fixed.
  std::shared_ptr<ZOZContextInitData> initData() const;
  // ZOZContextInitialize with the init data, then every queued task drained
  // (the context is initialized and protected on return).
  void startContext(const std::shared_ptr<ZOZContextInitData>& data);
  void startContext() { startContext(initData()); }
  // Waits for what the binary-images queue has been given so far.
  void waitForBinaryImages();
  // The internal log's text.
  std::string internalLog() const;

  std::unique_ptr<os::TemporarySandbox> sandbox_;
  std::unique_ptr<os::ManualClockScope> clock_;
  std::string bundlePath_;
  std::string reportPath_;
  std::string crashRootPath_;
};

// Runs this test program again with the scenario's name and argument in its
// environment; returns its exit status, or -1 when it did not exit.
int runScenarioInFreshProcess(const std::string& scenario, const std::string& argument, bool traced);
// Runs the scenario named in the environment, when one is; returns the exit
// status for main, or nullopt when this is an ordinary test run.
std::optional<int> runScenarioFromEnvironment();

}  // namespace crashtest
