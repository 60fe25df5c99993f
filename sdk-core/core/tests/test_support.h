// Fixture for SDK-core tests: a fresh sandbox, a main bundle in a temporary
// folder (Info.plist, optional options file), a manual clock, and the SDK's
// class-wide state reset before and after each test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/value.h"

namespace sdkcore_test {

inline constexpr const char* kBundleIdentifier = "com.example.drosil";
inline constexpr const char* kAppID = "1:123456789012:ios:0a1b2c3d4e5f";
// 2023-11-14 22:13:20 UTC.
inline constexpr double kStartTime = 1'700'000'000.0;

// The options file's contents.
os::Dictionary fixtureOptions();

class SDKCoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the main bundle's Info.plist (extra keys over CFBundleIdentifier)
  // and, when given, "RirudiVizeziv-Azir.plist".
  void writeBundle(const std::optional<os::Dictionary>& options, const os::Dictionary& extraInfo = {});
  // As a relaunch: user defaults read again from disk.
  void relaunchDefaults();

  std::unique_ptr<os::TemporarySandbox> sandbox_;
  std::unique_ptr<os::ManualClockScope> clock_;
  std::string bundlePath_;
};

}  // namespace sdkcore_test
