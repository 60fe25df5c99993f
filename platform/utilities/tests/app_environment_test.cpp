#include "platform/utilities/app_environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/process_info.h"
#include "os/foundation/system_log.h"
#include "os/net/reachability.h"
#include "platform/utilities/logger.h"

namespace {

namespace fs = std::filesystem;

// A main bundle in a fresh folder, installed while the object lives.
class TestBundle {
 public:
  explicit TestBundle(const std::string& name = "Drosil.app") {
    std::string pattern = (fs::temp_directory_path() / "daz_bundle_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    path_ = root_ / name;
    fs::create_directories(path_);
    os::Bundle::setMainBundlePath(path_.string());
  }
  ~TestBundle() {
    os::Bundle::setMainBundlePath("");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  void addFolder(const std::string& relative) { fs::create_directories(path_ / relative); }
  void addFile(const std::string& relative, const std::string& text = "x") {
    fs::create_directories((path_ / relative).parent_path());
    std::ofstream(path_ / relative) << text;
  }
  void setReceiptCheck(const std::string& plistValue) {
    addFile("Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>VivuzuvuAppStoreReceiptURLCheckEnabled</key>" +
                plistValue + "</dict></plist>\n");
  }

 private:
  fs::path root_;
  fs::path path_;
};

os::DeviceProfile simulatorProfile() {
  os::DeviceProfile profile;
  profile.isSimulator = true;
  return profile;
}

// The executable's encryption was fixed at "not encrypted", so the rules
// that hang on it never ran.
TEST(DAZAppEnvironmentUtilTest, StoreBuildRules) {
  struct Case {
    const char* name;
    bool simulator;
    bool encrypted;
    bool scInfo;
    bool provisioningProfile;
    bool sandboxReceipt;
    const char* receiptCheck;  // Info.plist value of the check key, or null
    bool expected;
  };
  const Case cases[] = {
      {"plain device build", false, false, false, false, false, nullptr, false},
      {"encrypted device build", false, true, false, false, false, nullptr, true},
      {"encrypted with a provisioning profile", false, true, false, true, false, nullptr, false},
      {"encrypted on a simulator", true, true, false, false, false, nullptr, false},
      {"encrypted with a sandbox receipt", false, true, false, false, true, nullptr, false},
      {"encrypted, sandbox receipt check switched off", false, true, false, false, true, "<false/>", true},
      {"SC_Info on a device", false, false, true, false, false, nullptr, true},
      {"SC_Info beats a provisioning profile", false, true, true, true, false, nullptr, true},
      {"SC_Info on a simulator", true, true, true, false, false, nullptr, false},
      {"SC_Info with a sandbox receipt", false, true, true, false, true, nullptr, false},
      {"sandbox receipt check switched off", false, false, true, false, true, "<false/>", true},
      {"check key that is not a number is ignored", false, false, true, false, true, "<string>NO</string>", false},
  };
  auto& process = os::ProcessInfo::processInfo();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestBundle bundle;
    os::ScopedDeviceProfile profile(c.simulator ? simulatorProfile() : os::DeviceProfile());
    process.setMainExecutableCryptID(c.encrypted ? 1 : 0);
    if (c.scInfo) bundle.addFolder("SC_Info");
    if (c.provisioningProfile) bundle.addFile("embedded.mobileprovision");
    if (c.sandboxReceipt) bundle.addFile("StoreKit/sandboxReceipt");
    if (c.receiptCheck != nullptr) bundle.setReceiptCheck(c.receiptCheck);
    EXPECT_EQ(DAZAppEnvironmentUtil::isFromAppStore(), c.expected);
  }
  process.setMainExecutableCryptID(0);
}

TEST(DAZAppEnvironmentUtilTest, DeviceComesFromTheProfileNotTheHost) {
  {
    os::ScopedDeviceProfile profile{os::DeviceProfile()};
    EXPECT_EQ(DAZAppEnvironmentUtil::deviceModel(), "iPhone14,2");
    EXPECT_EQ(DAZAppEnvironmentUtil::deviceSimulatorModel(), "iPhone14,2");
    EXPECT_FALSE(DAZAppEnvironmentUtil::isSimulator());
    EXPECT_EQ(DAZAppEnvironmentUtil::systemVersion(), "17.5");
    EXPECT_EQ(DAZAppEnvironmentUtil::getSysctlEntry("no.such.name"), std::nullopt);
  }
  os::ScopedDeviceProfile profile(simulatorProfile());
  EXPECT_TRUE(DAZAppEnvironmentUtil::isSimulator());
  EXPECT_NE(DAZAppEnvironmentUtil::deviceModel(), "iPhone14,2");
}

TEST(DAZAppEnvironmentUtilTest, PlatformNames) {
  os::DeviceProfile phone;
  os::DeviceProfile pad;
  pad.model = "iPad";
  pad.idiom = UIUserInterfaceIdiom::Pad;
  os::DeviceProfile padIdiomOnly;
  padIdiomOnly.idiom = UIUserInterfaceIdiom::Pad;
  os::DeviceProfile onMac;
  onMac.isiOSAppOnMac = true;
  os::DeviceProfile onMacOldSystem = onMac;
  onMacOldSystem.systemVersion = "13.7";
  const struct {
    const os::DeviceProfile& profile;
    const char* platform;
    const char* devicePlatform;
  } cases[] = {
      {phone, "ios", "ios"},
      {pad, "ios", "ipados"},
      {padIdiomOnly, "ios", "ipados"},
      {onMac, "ios_on_mac", "ios_on_mac"},
      {onMacOldSystem, "ios", "ios"},
  };
  for (const auto& c : cases) {
    os::ScopedDeviceProfile profile(c.profile);
    EXPECT_EQ(DAZAppEnvironmentUtil::applePlatform(), c.platform);
    EXPECT_EQ(DAZAppEnvironmentUtil::appleDevicePlatform(), c.devicePlatform);
  }
  EXPECT_EQ(DAZAppEnvironmentUtil::deploymentType(), "swiftpm");
}

TEST(DAZAppEnvironmentUtilTest, AppExtensionByBundleName) {
  {
    TestBundle app("Drosil.app");
    EXPECT_FALSE(DAZAppEnvironmentUtil::isAppExtension());
  }
  TestBundle extension("Widget.appex");
  EXPECT_TRUE(DAZAppEnvironmentUtil::isAppExtension());
}

TEST(DAZNetworkInfoTest, NetworkTypeFollowsReachabilityFlags) {
  const struct {
    os::SCNetworkReachabilityFlags flags;
    DAZNetworkType type;
  } cases[] = {
      {0, DAZNetworkType::None},
      {os::kSCNetworkReachabilityFlagsIsWWAN, DAZNetworkType::None},
      {os::kSCNetworkReachabilityFlagsReachable, DAZNetworkType::Other},
      {os::kSCNetworkReachabilityFlagsReachable | os::kSCNetworkReachabilityFlagsIsWWAN, DAZNetworkType::Mobile},
  };
  for (const auto& c : cases) {
    os::SCNetworkReachabilityTEST_setFlagsProvider([&](const std::string&) { return c.flags; });
    EXPECT_EQ(DAZNetworkInfo::getNetworkType(), c.type) << c.flags;
  }
  os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);

  EXPECT_EQ(DAZNetworkInfo::getNetworkRadioType(), "");
  DAZNetworkInfo::getNetworkInfo()->TEST_setServiceCurrentRadioAccessTechnology(
      {{"0000000100000001", "CTRadioAccessTechnologyLTE"}});
  EXPECT_EQ(DAZNetworkInfo::getNetworkRadioType(), "CTRadioAccessTechnologyLTE");
  DAZNetworkInfo::getNetworkInfo()->TEST_setServiceCurrentRadioAccessTechnology({});
}

// The logger's policy in a store build: the level may go down, never up to
// notice or beyond, and forced debug is refused.
TEST(DAZLoggerStoreBuildTest, LevelCannotBeRaisedInStoreBuild) {
  DAZLoggerTEST_reset();
  TestBundle bundle;
  bundle.addFolder("SC_Info");
  os::ScopedDeviceProfile profile{os::DeviceProfile()};
  ASSERT_TRUE(DAZAppEnvironmentUtil::isFromAppStore());

  os::LogCapture capture;
  DAZSetLoggerLevel(DAZLoggerLevel::Warning);
  EXPECT_TRUE(DAZIsLoggableLevel(DAZLoggerLevel::Warning));
  EXPECT_FALSE(DAZIsLoggableLevel(DAZLoggerLevel::Notice));
  DAZSetLoggerLevel(DAZLoggerLevel::Debug);
  DAZLoggerForceDebug();
  EXPECT_FALSE(DAZIsLoggableLevel(DAZLoggerLevel::Notice));
  DAZLoggerTEST_flush();
  EXPECT_TRUE(capture.recordsContaining("I-COR").empty());  // refused silently
  DAZLoggerTEST_reset();
}

}  // namespace
