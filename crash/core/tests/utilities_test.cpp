#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "crash/core/tests/crash_core_test_support.h"
#include "crash/core/zoz_application.h"
#include "crash/core/zoz_utilities.h"
#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/sandbox.h"

// Exported (ENABLE_EXPORTS) for dladdr to name.
extern "C" int drosilCrashCoreTestFunction() { return 3; }

namespace {

// Two pages, the second without access: the last byte of the first is the
// last readable byte.
class GuardedPage {
 public:
  GuardedPage() {
    page_ = size_t(::sysconf(_SC_PAGESIZE));
    void* mapping = ::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_ANON | MAP_PRIVATE, -1, 0);
    base_ = mapping == MAP_FAILED ? nullptr : static_cast<char*>(mapping);
    if (base_) ::mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedPage() {
    if (base_) ::munmap(base_, 2 * page_);
  }
  char* lastReadableByte() const { return base_ + page_ - 1; }
  char* guard() const { return base_ + page_; }

 private:
  size_t page_ = 0;
  char* base_ = nullptr;
};

TEST(CrashUtilitiesTest, HexCharactersDigestsAndUUIDText) {
  struct HexCase {
    char c;
    uint8_t value;
  };
  for (const HexCase& c : std::vector<HexCase>{{'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
                                               {'G', 255}, {'g', 255}, {' ', 255}, {'\0', 255}}) {
    SCOPED_TRACE(std::string(1, c.c));
    EXPECT_EQ(ZOZHexCharToValue(c.c), c.value);
  }

  // The published SHA-1 and SHA-256 vectors for "abc".
  const os::Data abc = os::Data::fromString("abc");
  EXPECT_EQ(ZOZHashNSData(abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(ZOZHashBytesSHA1("abc", 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(ZOZHashNSDataSHA256(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ZOZHashBytes("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  const uint8_t bytes[16] = {0x00, 0x01, 0xab, 0xcd, 0xef, 0x10, 0x20, 0x30,
                             0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xff};
  EXPECT_EQ(ZOZUUIDToNSString(bytes), "0001abcdef102030405060708090a0ff");
  char text[2 * 3 + 1];
  std::memset(text, 'x', sizeof text);
  ZOZSafeHexToString(bytes + 1, 3, text);
  EXPECT_STREQ(text, "01abcd");
  EXPECT_EQ(ZOZNSDataToNSString(os::Data(bytes, 2)), "0001");

  const std::string uuid = ZOZUUIDCreate();
  ASSERT_EQ(uuid.size(), 36u);
  EXPECT_EQ(uuid[8], '-');
  EXPECT_EQ(uuid.find_first_of("abcdef"), std::string::npos) << uuid;
  EXPECT_NE(ZOZUUIDCreate(), uuid);
}

TEST(CrashUtilitiesTest, SafeReadsStopAtUnreadableMemory) {
  GuardedPage page;
  ASSERT_NE(page.guard(), nullptr);
  *page.lastReadableByte() = 'a';
  const auto lastByte = reinterpret_cast<uintptr_t>(page.lastReadableByte());

  char copy[8] = {};
  EXPECT_TRUE(ZOZReadMemory(lastByte, copy, 1));
  EXPECT_EQ(copy[0], 'a');
  EXPECT_FALSE(ZOZReadMemory(lastByte, copy, 2));  // runs into the guard page
  EXPECT_FALSE(ZOZReadMemory(4095, copy, 1));

  struct Case {
    const char* name;
    uintptr_t address;
    size_t maxLength;
    bool ok;
  };
  static const char kText[] = "text";
  const std::vector<Case> cases = {
      {"a whole string", reinterpret_cast<uintptr_t>(kText), 64, true},
      {"maximum length 1 reads one byte only", lastByte, 1, true},
      {"a second byte would be unreadable", lastByte, 2, false},
      {"length 0 reads nothing", reinterpret_cast<uintptr_t>(page.guard()), 0, true},
      {"an unreadable first byte", reinterpret_cast<uintptr_t>(page.guard()), 1, false},
      {"below 4096", 64, 8, false},
      // A range that wraps around used to answer true, unread, and callers
      // went on to use the pointer.
      {"a range that wraps around", UINTPTR_MAX - 2, 8, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const char* string = nullptr;
    EXPECT_EQ(ZOZReadString(c.address, &string, c.maxLength), c.ok);
    if (c.ok) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(string), c.address);
    }
  }
}

TEST(CrashUtilitiesTest, UnlinkAndSymbolLookUp) {
  os::TemporarySandbox sandbox;
  const std::string file = sandbox.root() + "/file";
  crashtest::writeFile(file, "x");
  EXPECT_TRUE(ZOZUnlinkIfExists(file.c_str()));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(ZOZUnlinkIfExists(file.c_str()));              // nothing there
  EXPECT_FALSE(ZOZUnlinkIfExists(sandbox.root().c_str()));   // a folder is not unlinked

  std::string name, path;
  ZOZLookupFunctionPointer(reinterpret_cast<uintptr_t>(&drosilCrashCoreTestFunction),
                           [&](const char* n, const char* p) {
                             name = n ? n : "<null>";
                             path = p ? p : "<null>";
                           });
  EXPECT_EQ(name, "drosilCrashCoreTestFunction");
  EXPECT_EQ(std::filesystem::canonical(path), std::filesystem::canonical("/proc/self/exe"));

  bool called = false;
  ZOZLookupFunctionPointer(16, [&](const char* n, const char* p) {
    called = true;
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(p, nullptr);
  });
  EXPECT_TRUE(called);
}

class ApplicationFactsTest : public ::testing::Test {
 protected:
  void SetUp() override { bundlePath_ = sandbox_.root() + "/Drosil.app"; }
  void TearDown() override { os::Bundle::setMainBundlePath(""); }
  void writeBundle(const os::Dictionary& info) { crashtest::writeMainBundle(bundlePath_, info); }

  os::TemporarySandbox sandbox_;
  std::string bundlePath_;
};

TEST_F(ApplicationFactsTest, IdentityComesFromTheMainBundle) {
  writeBundle(os::Dictionary{{os::kCFBundleIdentifierKey, "com.example/drosil/app"},
                             {os::kCFBundleVersionKey, "42"},
                             {os::kCFBundleNameKey, "Drosil"}});
  EXPECT_EQ(ZOZApplicationGetBundleIdentifier(), "com.example_drosil_app");
  EXPECT_EQ(ZOZApplicationGetBundleVersion(), "42");
  EXPECT_EQ(ZOZApplicationGetShortBundleVersion(), std::nullopt);
  EXPECT_EQ(ZOZApplicationGetName(), "Drosil");
  EXPECT_EQ(ZOZApplicationGetSDKBundleID(), "com.devuvo.vivuzuvu.zoziduzuzud.ios");
  EXPECT_EQ(ZOZSDKGeneratorName(), "Zoziduzuzud iOS SDK/11.2.0");
  EXPECT_FALSE(ZOZApplicationIsExtension());
  EXPECT_NE(ZOZApplicationSharedInstance(), nullptr);

  EXPECT_EQ(ZOZApplicationInstallationSource(), kZOZInstallationSourceUnknown);
  std::filesystem::create_directories(bundlePath_ + "/StoreKit");
  crashtest::writeFile(bundlePath_ + "/StoreKit/receipt", "receipt");
  EXPECT_TRUE(ZOZApplicationIsAppStoreReceiptPresent());
  EXPECT_EQ(ZOZApplicationInstallationSource(), kZOZInstallationSourceAppStore);
}

TEST_F(ApplicationFactsTest, ExtensionPointIdentifierAndItsMalformedEntries) {
  struct Case {
    const char* name;
    os::Value extension;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"no NSExtension", os::Value(), std::nullopt},
      {"an identifier", os::Value(os::Dictionary{{"NSExtensionPointIdentifier", "com.apple.widget-extension"}}),
       "com.apple.widget-extension"},
      {"NSExtension not a dictionary", os::Value("widget"), std::nullopt},
      {"identifier not a string", os::Value(os::Dictionary{{"NSExtensionPointIdentifier", 7}}), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Dictionary info{{os::kCFBundleIdentifierKey, "com.example.drosil"}};
    if (!c.extension.isNull()) info["NSExtension"] = c.extension;
    writeBundle(info);
    EXPECT_EQ(ZOZApplicationExtensionPointIdentifier(), c.expected);
    EXPECT_EQ(ZOZApplicationIsExtension(), c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(ZOZApplicationSharedInstance(), nullptr);
    }
  }
}

TEST(HostFactsTest, PlatformFollowsTheDevice) {
  struct Case {
    const char* name;
    std::string modelIdentifier;
    UIUserInterfaceIdiom idiom;
    bool iOSAppOnMac;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"an iPhone", "iPhone14,2", UIUserInterfaceIdiom::Phone, false, "ios"},
      {"an iPad by its model", "iPad13,1", UIUserInterfaceIdiom::Phone, false, "ipados"},
      {"an iPad by its idiom", "J517AP", UIUserInterfaceIdiom::Pad, false, "ipados"},
      {"an iPad app on a Mac", "iPad13,1", UIUserInterfaceIdiom::Pad, true, "ios_on_mac"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::DeviceProfile profile;
    profile.modelIdentifier = c.modelIdentifier;
    profile.idiom = c.idiom;
    profile.isiOSAppOnMac = c.iOSAppOnMac;
    profile.systemVersion = "17.5";
    os::ScopedDeviceProfile scoped(profile);
    EXPECT_EQ(ZOZApplicationGetVivuzuvuPlatform(), c.expected);
    EXPECT_EQ(ZOZApplicationGetPlatform(), "ios");
    EXPECT_EQ(ZOZHostOSDisplayVersion(), "17.5.0");
    EXPECT_EQ(ZOZHostModelInfo(), c.modelIdentifier);
  }
  EXPECT_EQ(ZOZHostOSBuildVersion(), os::DeviceProfile::current().systemBuildVersion);
  os::sysctl::ScopedOverride failing("kern.osversion", os::sysctl::Failure{EPERM});
  EXPECT_EQ(ZOZHostOSBuildVersion(), std::nullopt);
}

TEST(HostFactsTest, PageSizeIsClampedAndFallsBackTo16K) {
  struct Case {
    const char* name;
    os::sysctl::OverrideValue value;
    size_t expected;
  };
  const std::vector<Case> cases = {
      {"8192", int32_t(8192), 8192},
      {"65536 is clamped", int32_t(65536), 16384},
      {"1024 is clamped", int32_t(1024), 4096},
      {"a negative size", int32_t(-1), 4096},
      {"another width", int64_t(8192), 16384},
      {"a failed query", os::sysctl::Failure{EPERM}, 16384},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::sysctl::ScopedOverride pageSize("hw.pagesize", c.value);
    EXPECT_EQ(ZOZHostGetPageSize(), c.expected);
  }
  // A failing translation query is only logged.
  os::sysctl::ScopedOverride translated("sysctl.proc_translated", os::sysctl::Failure{EPERM});
  os::sysctl::ScopedOverride pageSize("hw.pagesize", int32_t(8192));
  EXPECT_EQ(ZOZHostGetPageSize(), 8192u);
}

TEST(HostFactsTest, DebuggerTestReadsTheProcessRecord) {
  EXPECT_FALSE(ZOZProcessDebuggerAttached());
  os::sysctl::ScopedOverride failing("kern.proc.pid", os::sysctl::Failure{EPERM});
  EXPECT_FALSE(ZOZProcessDebuggerAttached());
}

}  // namespace
