#include <gtest/gtest.h>

#include "crash/core/tests/macho_fixture.h"
#include "crash/core/zoz_utilities.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "os/foundation/bundle.h"
#include "crash/reporting/zoz_application_identifier_model.h"

namespace reportingtest {
[[gnu::noinline]] int applicationIdentifierAnchor() { return 7; }
}  // namespace reportingtest

namespace {

namespace k = os::kernel;
using reportingtest::ReportingTest;

crashtest::FatSlice slice(int32_t subtype, uint8_t uuidByte, uint32_t minimum, uint32_t sdk) {
  crashtest::MachOSpec spec;
  spec.cputype = k::CPU_TYPE_ARM64;
  spec.cpusubtype = subtype;
  std::array<uint8_t, 16> uuid;
  uuid.fill(uuidByte);
  spec.uuid = uuid;
  spec.versionMinCommand = k::LC_VERSION_MIN_IPHONEOS;
  spec.minimumVersion = minimum;
  spec.sdkVersion = sdk;
  return {k::CPU_TYPE_ARM64, subtype, crashtest::buildMachO(spec)};
}

using AppIdentifierTest = ReportingTest;

TEST_F(AppIdentifierTest, FatExecutableHashesItsSlicesInArchitectureOrder) {
  const std::string path = sandbox_->root() + "/fat";
  // "arm64e" first in the file; the last slice walked gives the versions.
  crashtest::writeBytes(path, crashtest::buildFat({slice(k::CPU_SUBTYPE_ARM64E, 0xEE, 0x000E0000, 0x00110200),
                                                   slice(k::CPU_SUBTYPE_ARM64_ALL, 0xAA, 0x000F0100, 0x00110203)}));
  auto model = ZOZApplicationIdentifierModel::initWithExecutablePath(path);
  ASSERT_TRUE(model);
  const std::string arm64(32, 'a'), arm64e(32, 'e');
  EXPECT_EQ(model->architectureUUIDMap(), (std::map<std::string, std::string>{{"arm64", arm64}, {"arm64e", arm64e}}));
  const std::string concatenated = arm64 + arm64e;
  EXPECT_EQ(model->buildInstanceID(), ZOZHashBytesSHA1(concatenated.data(), concatenated.size()));
  EXPECT_EQ(model->minimumSDKString(), "15.1.0");
  EXPECT_EQ(model->builtSDKString(), "17.2.3");

  EXPECT_FALSE(ZOZApplicationIdentifierModel::initWithExecutablePath(sandbox_->root() + "/missing"));
}

TEST_F(AppIdentifierTest, TheRunningProgramIsOneSliceNamedByItsBuildID) {
  auto model = ZOZApplicationIdentifierModel::init();
  ASSERT_TRUE(model);
  const auto self = reportingtest::imageDetailsForAddress(
      reinterpret_cast<uintptr_t>(&reportingtest::applicationIdentifierAnchor));
  ASSERT_EQ(model->architectureUUIDMap().size(), 1u);
  EXPECT_EQ(model->architectureUUIDMap().begin()->second, self.uuidString);
  const std::string uuid = self.uuidString;
  EXPECT_EQ(model->buildInstanceID(), ZOZHashBytesSHA1(uuid.data(), uuid.size()));
  EXPECT_EQ(model->builtSDKString(), "0.0.0");
  EXPECT_EQ(model->minimumSDKString(), "0.0.0");
}

TEST_F(AppIdentifierTest, BundleValuesAreReadAfresh) {
  auto model = ZOZApplicationIdentifierModel::init();
  ASSERT_TRUE(model);
  EXPECT_EQ(model->bundleID(), "com.example_drosil");
  EXPECT_EQ(model->platform(), "ios");
  EXPECT_EQ(model->displayName(), "42");  // neither display name nor name
  EXPECT_EQ(model->installSource(), 1);
  writeInfo(os::Dictionary{{os::kCFBundleIdentifierKey, "com.example.meter"},
                           {os::kCFBundleVersionKey, "45"},
                           {os::kCFBundleShortVersionStringKey, "2.1"},
                           {os::kCFBundleNameKey, "Meter"}});
  EXPECT_EQ(model->synthesizedVersion(), "2.1 (45)");
  EXPECT_EQ(model->displayName(), "Meter");
  EXPECT_EQ(model->bundleID(), "com.example.meter");
}

}  // namespace
