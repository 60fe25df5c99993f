#include "measurement/store/engine_services/install_environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/tests/test_support.h"
#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/kernel/loader.h"
#include "os/uikit/application.h"

namespace {

namespace k = os::kernel;
using apm_test::MonitoredTest;
using apm_test::StoreTest;
using apm_test::TestBundle;

enum class Image {
  None,            // only the program's own ELF images
  Plain,           // an executable without an encryption command
  Encrypted,       // an executable with LC_ENCRYPTION_INFO_64, crypt ID 1
  CryptIDZero,     // the same with crypt ID 0
  EncryptedDylib,  // a library (not MH_EXECUTE) with the encryption command
  Overrun,         // the encryption command lies beyond sizeofcmds
  Encrypted32,     // a 32-bit executable with LC_ENCRYPTION_INFO
  Wrong32,         // a 32-bit executable with the 64-bit command
};

// Mach-O header bytes registered as a loaded image while the object lives.
// Unless told otherwise the encryption decision is forgotten on both ends, so
// each case decides afresh.
class SyntheticImage {
 public:
  explicit SyntheticImage(Image kind, bool forgetDecision = true) : forgetDecision_(forgetDecision) {
    if (kind == Image::None) return;
    const bool is32 = kind == Image::Encrypted32 || kind == Image::Wrong32;
    k::mach_header_64 header{};
    header.magic = is32 ? k::MH_MAGIC : k::MH_MAGIC_64;
    header.cputype = is32 ? k::CPU_TYPE_ARM : k::CPU_TYPE_ARM64;
    header.filetype = kind == Image::EncryptedDylib ? 6 : k::MH_EXECUTE;
    size_t offset = is32 ? sizeof(k::mach_header) : sizeof(k::mach_header_64);
    std::memcpy(bytes_, &header, offset);

    k::uuid_command uuid{k::LC_UUID, sizeof(k::uuid_command), {1, 2, 3}};
    append(offset, &uuid, sizeof uuid);
    if (kind != Image::Plain) {
      // encryption_info_command_64 is the 32-bit command plus 4 bytes of pad.
      uint8_t command[24] = {};
      k::encryption_info_command encryption{};
      encryption.cmd = kind == Image::Encrypted32 ? k::LC_ENCRYPTION_INFO : k::LC_ENCRYPTION_INFO_64;
      encryption.cmdsize = kind == Image::Encrypted32 ? 20 : 24;
      encryption.cryptid = kind == Image::CryptIDZero ? 0 : 1;
      std::memcpy(command, &encryption, sizeof encryption);
      append(offset, command, encryption.cmdsize);
    }
    auto* mach = reinterpret_cast<k::mach_header*>(bytes_);
    mach->sizeofcmds = static_cast<uint32_t>(offset - (is32 ? sizeof(k::mach_header) : sizeof(k::mach_header_64)));
    if (kind == Image::Overrun) mach->sizeofcmds = sizeof(k::uuid_command);
    registered_ = k::addSyntheticImage(reinterpret_cast<const k::mach_header_64*>(bytes_), 0x100000000, "/App/App");
    EXPECT_TRUE(registered_);
    if (forgetDecision_) APMAEU::TEST_resetEncryptionFlag();
  }
  ~SyntheticImage() {
    if (registered_) k::removeSyntheticImage(reinterpret_cast<const k::mach_header_64*>(bytes_));
    if (forgetDecision_) APMAEU::TEST_resetEncryptionFlag();
  }
  SyntheticImage(const SyntheticImage&) = delete;
  SyntheticImage& operator=(const SyntheticImage&) = delete;

 private:
  void append(size_t& offset, const void* command, size_t size) {
    std::memcpy(bytes_ + offset, command, size);
    reinterpret_cast<k::mach_header*>(bytes_)->ncmds += 1;
    offset += size;
  }

  const bool forgetDecision_;
  alignas(8) uint8_t bytes_[256] = {};
  bool registered_ = false;
};

TEST_F(StoreTest, AppStoreInstallations) {
  struct Case {
    const char* name;
    const char* model;
    Image image;
    bool scInfo;
    bool provisioningProfile;
    bool sandboxReceipt;
    bool receiptCheckOff;
    bool expected;
  };
  const char* device = "iPhone14,2";
  const Case cases[] = {
      {"development build", device, Image::None, false, false, false, false, false},
      {"SC_Info on a device", device, Image::None, true, false, false, false, true},
      {"SC_Info on a simulator", "x86_64", Image::Encrypted, true, false, false, false, false},
      {"SC_Info on a 32-bit simulator", "i386", Image::None, true, false, false, false, false},
      {"SC_Info with a sandbox receipt", device, Image::None, true, false, true, false, false},
      {"sandbox receipt check switched off", device, Image::None, true, false, true, true, true},
      {"plain executable", device, Image::Plain, false, false, false, false, false},
      {"encrypted executable", device, Image::Encrypted, false, false, false, false, true},
      {"encrypted with a provisioning profile", device, Image::Encrypted, false, true, false, false, false},
      {"encrypted with a sandbox receipt", device, Image::Encrypted, false, false, true, false, false},
      {"crypt ID 0", device, Image::CryptIDZero, false, false, false, false, false},
      {"encrypted library, not the executable", device, Image::EncryptedDylib, false, false, false, false, false},
      {"command beyond the load commands", device, Image::Overrun, false, false, false, false, false},
      {"encrypted 32-bit executable", device, Image::Encrypted32, false, false, false, false, true},
      {"32-bit executable with the 64-bit command", device, Image::Wrong32, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestBundle bundle;
    os::DeviceProfile profile;
    profile.modelIdentifier = c.model;
    os::ScopedDeviceProfile scoped(profile);
    SyntheticImage image(c.image);
    if (c.scInfo) bundle.addFolder("SC_Info");
    if (c.provisioningProfile) bundle.addFile("embedded.mobileprovision");
    if (c.sandboxReceipt) bundle.addFile("StoreKit/sandboxReceipt");
    if (c.receiptCheckOff) bundle.setInfo(kAPMAppStoreReceiptURLCheckEnabledKey, "<false/>");
    EXPECT_EQ(APMAEU::isFAS(), c.expected);
    EXPECT_EQ(APMAEU::isASRS(), c.sandboxReceipt && !c.receiptCheckOff);
    EXPECT_EQ(APMAEU::appStoreRURL().has_value(), !c.receiptCheckOff);
  }
}

TEST_F(StoreTest, TheExecutableIsInspectedOncePerProcess) {
  TestBundle bundle;
  APMAEU::TEST_resetEncryptionFlag();
  EXPECT_FALSE(APMAEU::isFAS());
  SyntheticImage late(Image::Encrypted, /*forgetDecision=*/false);
  EXPECT_FALSE(APMAEU::isFAS());
  APMAEU::TEST_resetEncryptionFlag();
  EXPECT_TRUE(APMAEU::isFAS());
  APMAEU::TEST_resetEncryptionFlag();
}

TEST_F(StoreTest, AppExtensionsHaveNoSharedApplication) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path(sandbox_.root()) / "bundles";
  for (const char* name : {"App.app", "Share.appex"}) {
    SCOPED_TRACE(name);
    fs::create_directories(root / name);
    os::Bundle::setMainBundlePath((root / name).string());
    const bool extension = std::string(name).ends_with(".appex");
    EXPECT_EQ(APMAEU::isAEX(), extension);
    EXPECT_EQ(APMAEU::sharedApplication() == nullptr, extension);
    if (!extension) {
      EXPECT_EQ(APMAEU::sharedApplication(), UIApplication::sharedApplication());
    }
  }
  os::Bundle::setMainBundlePath("");
}

class EnvironmentInfoTest : public MonitoredTest {};

TEST_F(EnvironmentInfoTest, TimeZoneOffsetInWholeMinutes) {
  const std::pair<const char*, int32_t> cases[] = {
      {"GMT-03:30", -210}, {"GMT+05:45", 345}, {"Asia/Kathmandu", 345}, {"UTC", 0}, {"GMT-10:00", -600},
  };
  for (const auto& [zone, minutes] : cases) {
    SCOPED_TRACE(zone);
    os::DeviceProfile profile;
    profile.timeZoneIdentifier = zone;
    os::ScopedDeviceProfile scoped(profile);
    EXPECT_EQ(APMEnvironmentInfo::sharedInstance()->timeZoneOffsetMinutes(), minutes);
  }
}

TEST_F(EnvironmentInfoTest, DeviceLanguageAndSystem) {
  struct Case {
    std::vector<std::string> languages;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {{"en-US", "fr-FR"}, "en-us"},
      {{"zh-Hant-TW"}, "zh-hant-tw"},
      {{"de"}, "de"},
      {{}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.languages.empty() ? "none" : c.languages.front());
    os::DeviceProfile profile;
    profile.preferredLanguages = c.languages;
    profile.systemVersion = "16.4.1";
    os::ScopedDeviceProfile scoped(profile);
    EXPECT_EQ(APMEnvironmentInfo::sharedInstance()->userDefaultLanguage(), c.expected);
    EXPECT_EQ(APMEnvironmentInfo::sharedInstance()->deviceOSVersion(), "16.4.1");
    EXPECT_EQ(APMAEU::systemVersion(), "16.4.1");
  }
  const auto sampled = monitor_->TEST_sampledData();
  ASSERT_TRUE(sampled.has_value());
  EXPECT_EQ((*sampled)[2].stringValue(), "1E_110100:Failed to get preferred language");
}

TEST_F(EnvironmentInfoTest, DeviceModelIsReadOnceAndKeptEvenWhenEmpty) {
  os::DeviceProfile profile;
  profile.modelIdentifier = "iPad13,4";
  std::optional<os::ScopedDeviceProfile> scoped(std::in_place, profile);
  APMEnvironmentInfo info;
  EXPECT_EQ(info.deviceModel(), "iPad13,4");
  scoped.reset();
  EXPECT_EQ(info.deviceModel(), "iPad13,4");

  profile.modelIdentifier = "";
  scoped.emplace(profile);
  APMEnvironmentInfo empty;
  EXPECT_EQ(empty.deviceModel(), "");
  profile.modelIdentifier = "iPhone15,3";
  scoped.emplace(profile);
  EXPECT_EQ(empty.deviceModel(), "");
  const auto sampled = monitor_->TEST_sampledData();
  ASSERT_TRUE(sampled.has_value());
  EXPECT_EQ((*sampled)[2].stringValue(), "1E_110100:Failed to get device model");
}

class LaunchStateTest : public StoreTest {
 protected:
  void TearDown() override {
    unsetenv(kAPMActivePrewarmEnvironmentKey);
    APMAppActivityServices::setSharedInstance(nullptr);
    StoreTest::TearDown();
  }
};

TEST_F(LaunchStateTest, ActivePrewarmIsTheVariablesBooleanValue) {
  EXPECT_FALSE(APMIsActivePrewarm());
  const std::pair<const char*, bool> cases[] = {{"1", true}, {"YES", true}, {"true", true}, {"0", false},
                                                {"NO", false}, {"", false}};
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value);
    setenv(kAPMActivePrewarmEnvironmentKey, value, 1);
    EXPECT_EQ(APMIsActivePrewarm(), expected);
  }
}

TEST_F(LaunchStateTest, SceneManifestAndAppActivity) {
  {
    TestBundle bundle;
    EXPECT_FALSE(APMHasSceneManifest());
    bundle.setInfo(kAPMSceneManifestKey, "<dict/>");
    EXPECT_TRUE(APMHasSceneManifest());
  }

  class Reporter : public APMAppActivityServices {
   public:
    bool isAppActive() override { return active; }
    bool active = false;
  };
  EXPECT_FALSE(APMIsAppActive());  // no reporter yet
  auto reporter = std::make_shared<Reporter>();
  APMAppActivityServices::setSharedInstance(reporter);
  EXPECT_FALSE(APMIsAppActive());
  reporter->active = true;
  EXPECT_TRUE(APMIsAppActive());
}

}  // namespace
