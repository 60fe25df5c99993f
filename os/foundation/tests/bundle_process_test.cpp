#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/process_info.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"

namespace os {
namespace {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = sandbox.root() + "/Drosil.app";
    write("Info.plist", *PropertyListSerialization::dataWithPropertyList(
                            Value(Dictionary{{kCFBundleIdentifierKey, Value("com.example.drosil")},
                                             {"VivuzuvuAppDelegateProxyEnabled", Value(false)}}),
                            PropertyListSerialization::Format::Binary));
    write("RirudiVizeziv-Azir.plist", Data::fromString("<plist/>"));
    write("Resources/icon.png", Data::fromString("png"));
    write("de.lproj/Localizable.strings",
          Data::fromString("/* greeting */\n\"Hello\" = \"Hallo\";\n// c\n\"Quote \\\"x\\\"\" = \"Zitat\";\n"));
    write("en.lproj/Localizable.strings", Data::fromString("\"Hello\" = \"Hello!\";"));
    write("Frameworks/Util.framework/Info.plist", Data::fromString("not a plist"));
    write("Frameworks/Util.framework/data.json", Data::fromString("{}"));
    Bundle::setMainBundlePath(root);
  }
  void TearDown() override { Bundle::setMainBundlePath(""); }
  void write(const std::string& rel, const Data& data) {
    std::string path = root + "/" + rel;
    ASSERT_TRUE(FileManager::defaultManager().createDirectoryAtPath(path.substr(0, path.rfind('/')), true));
    ASSERT_TRUE(FileManager::defaultManager().createFileAtPath(path, data));
  }

  TemporarySandbox sandbox;
  std::string root;
};

TEST_F(BundleTest, InfoDictionaryAndResources) {
  auto main = Bundle::mainBundle();
  EXPECT_EQ(main->bundlePath(), root);
  EXPECT_EQ(main->bundleIdentifier(), "com.example.drosil");
  EXPECT_EQ(main->objectForInfoDictionaryKey("VivuzuvuAppDelegateProxyEnabled"), Value(false));
  EXPECT_TRUE(main->objectForInfoDictionaryKey("Missing").isNull());
  EXPECT_EQ(main->pathForResource("RirudiVizeziv-Azir", "plist"), root + "/RirudiVizeziv-Azir.plist");
  EXPECT_EQ(main->pathForResource("icon", "png"), root + "/Resources/icon.png");
  EXPECT_EQ(main->pathForResource("icon.png", "png"), root + "/Resources/icon.png");
  EXPECT_EQ(main->pathForResource("embedded", "mobileprovision"), std::nullopt);
  EXPECT_EQ(main->pathForResource("../Drosil.app/Info", "plist"), std::nullopt);
  EXPECT_EQ(main->appStoreReceiptURL(), root + "/StoreKit/receipt");
  write("StoreKit/sandboxReceipt", Data::fromString("r"));
  EXPECT_EQ(main->appStoreReceiptURL(), root + "/StoreKit/sandboxReceipt");

  auto util = Bundle::bundleNamed("Util");
  ASSERT_NE(util, nullptr);
  EXPECT_TRUE(util->infoDictionary().empty());  // unreadable Info.plist: empty, not a crash
  EXPECT_EQ(util->pathForResource("data", "json"), root + "/Frameworks/Util.framework/data.json");
  EXPECT_EQ(Bundle::bundleForClass("APMInfoPlistFileUtil"), main);
  Bundle::setBundleNameForClass("UtilClass", "Util");
  EXPECT_EQ(Bundle::bundleForClass("UtilClass"), util);
  EXPECT_EQ(Bundle::bundleNamed("Nope"), nullptr);
}

TEST_F(BundleTest, LocalizedStringsFollowThePreferredLanguage) {
  DeviceProfile german;
  german.preferredLanguages = {"de-DE"};
  {
    ScopedDeviceProfile profile(german);
    Bundle::setMainBundlePath(root);
    auto main = Bundle::mainBundle();
    EXPECT_EQ(main->localizedStringForKey("Hello"), "Hallo");
    EXPECT_EQ(main->localizedStringForKey("Quote \"x\""), "Zitat");
    EXPECT_EQ(main->localizedStringForKey("Untranslated"), "Untranslated");
    EXPECT_EQ(main->localizedStringForKey("Untranslated", "Fallback"), "Fallback");
  }
  Bundle::setMainBundlePath(root);
  EXPECT_EQ(Bundle::mainBundle()->localizedStringForKey("Hello"), "Hello!");
  EXPECT_EQ(Bundle::mainBundle()->localizedStringForKey("Hello", "", "Missing"), "Hello");
  EXPECT_EQ(parseStringsFile("\"a\" = \"b\""), std::nullopt);  // missing ";"
}

TEST_F(BundleTest, PreferredLocalizationsMatchThePreferredLanguages) {
  const struct {
    std::vector<std::string> languages;
    std::vector<std::string> expected;
  } cases[] = {
      {{"de-DE"}, {"de"}},        // by the base language
      {{"fr", "en-GB"}, {"en"}},  // the first the bundle has
      {{"fr"}, {"de"}},           // none: the first in order
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.languages.front());
    DeviceProfile profile;
    profile.preferredLanguages = c.languages;
    ScopedDeviceProfile scoped(profile);
    EXPECT_EQ(Bundle::mainBundle()->preferredLocalizations(), c.expected);
  }
  auto bare = Bundle::bundleNamed("Util");
  ASSERT_NE(bare, nullptr);
  EXPECT_TRUE(bare->preferredLocalizations().empty());
}

TEST(DeviceProfileTest, CountryCodeOfTheLocale) {
  const struct {
    const char* locale;
    std::optional<std::string> expected;
  } cases[] = {
      {"en_US", "US"}, {"de-AT", "AT"}, {"zh_Hans_CN", "CN"}, {"en", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    DeviceProfile profile;
    profile.localeIdentifier = c.locale;
    EXPECT_EQ(profile.countryCode(), c.expected);
  }
}

TEST(ProcessInfoTest, ActivitiesLastFromBeginToEnd) {
  auto& info = ProcessInfo::processInfo();
  auto first = info.beginActivityWithOptions(ActivitySuddenTerminationDisabled, "first");
  auto second = info.beginActivityWithOptions(0xC000, "second");
  ASSERT_EQ(info.activeActivities().size(), 2u);
  EXPECT_EQ(info.activeActivities()[1].options, 0xC000u);
  info.endActivity(first);
  info.endActivity(first);  // once is enough
  info.endActivity(nullptr);
  ASSERT_EQ(info.activeActivities().size(), 1u);
  EXPECT_EQ(info.activeActivities()[0].reason, "second");
  info.endActivity(second);
  EXPECT_TRUE(info.activeActivities().empty());
}

TEST(ProcessInfoTest, ArgumentsVersionAndDevice) {
  auto& info = ProcessInfo::processInfo();
  const char* argv[] = {"/usr/bin/drosil", "-REZDebugEnabled"};
  info.setArguments(2, argv);
  EXPECT_EQ(info.arguments(), (std::vector<std::string>{"/usr/bin/drosil", "-REZDebugEnabled"}));
  EXPECT_EQ(info.processIdentifier(), ::getpid());
  EXPECT_FALSE(info.processName().empty());
  EXPECT_FALSE(info.environment().empty());

  DeviceProfile pad;
  pad.modelIdentifier = "iPad13,4";
  pad.idiom = UIUserInterfaceIdiom::Pad;
  pad.systemVersion = "16.4.1";
  ScopedDeviceProfile profile(pad);
  EXPECT_EQ(info.operatingSystemVersion(), (OperatingSystemVersion{16, 4, 1}));
  struct Case {
    OperatingSystemVersion v;
    bool atLeast;
  };
  for (auto c : {Case{{13, 0, 0}, true}, Case{{16, 4, 1}, true}, Case{{16, 4, 2}, false}, Case{{16, 10, 0}, false},
                 Case{{17, 0, 0}, false}})
    EXPECT_EQ(info.isOperatingSystemAtLeastVersion(c.v), c.atLeast) << c.v.majorVersion << "." << c.v.minorVersion;
  EXPECT_EQ(OperatingSystemVersion::parse("17"), (OperatingSystemVersion{17, 0, 0}));
  EXPECT_EQ(OperatingSystemVersion::parse("x.y"), (OperatingSystemVersion{0, 0, 0}));

  EXPECT_EQ(sysctl::stringValue("hw.machine"), "iPad13,4");
  EXPECT_EQ(sysctl::stringValue("hw.nothing"), std::nullopt);
  EXPECT_GT(*sysctl::int64Value("hw.pagesize"), 0);
  EXPECT_GT(*sysctl::int64Value("kern.boottime"), 0);
  EXPECT_FALSE(sysctl::isDebuggerAttached());
  pad.isSimulator = true;
  DeviceProfile::setCurrent(pad);
  EXPECT_NE(sysctl::stringValue("hw.machine"), "iPad13,4");
}

// The platform call as a caller that expects a 4-byte integer uses it.
TEST(SysctlTest, FourByteReadsSeeOverridesWidthsAndFailures) {
  struct Case {
    const char* label;
    std::optional<sysctl::OverrideValue> value;
    int rc;
    int error;
    size_t width;
    int32_t read;
  };
  const int32_t realPageSize = int32_t(::sysconf(_SC_PAGESIZE));
  const Case cases[] = {
      {"natural", std::nullopt, 0, 0, 4, realPageSize},
      {"8192", int32_t(8192), 0, 0, 4, 8192},
      {"65536", int32_t(65536), 0, 0, 4, 65536},
      {"1024", int32_t(1024), 0, 0, 4, 1024},
      {"another width", int64_t(8192), -1, ENOMEM, 4, -7},
      {"missing", sysctl::Failure{}, -1, ENOENT, 4, -7},
      {"refused", sysctl::Failure{EPERM}, -1, EPERM, 4, -7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::optional<sysctl::ScopedOverride> scoped;
    if (c.value) scoped.emplace("hw.pagesize", *c.value);
    int32_t value = -7;
    size_t size = sizeof value;
    errno = 0;
    EXPECT_EQ(sysctl::sysctlbyname("hw.pagesize", &value, &size, nullptr, 0), c.rc);
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(size, c.width);
    EXPECT_EQ(value, c.read);
  }
  // Gone with its scope.
  EXPECT_EQ(sysctl::int64Value("hw.pagesize"), realPageSize);
}

TEST(SysctlTest, WidthQueriesStringsAndProcessRecord) {
  // A larger buffer takes the value and reports its true width.
  sysctl::ScopedOverride wide("hw.pagesize", int64_t(65536));
  int64_t big = 0;
  size_t size = sizeof big;
  ASSERT_EQ(sysctl::sysctlbyname("hw.pagesize", &big, &size, nullptr, 0), 0);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(big, 65536);
  EXPECT_EQ(sysctl::int64Value("hw.pagesize"), 65536);

  size = 0;
  ASSERT_EQ(sysctl::sysctlbyname("kern.osversion", nullptr, &size, nullptr, 0), 0);
  EXPECT_EQ(size, DeviceProfile::current().systemBuildVersion.size() + 1);
  char text[128];
  size = sizeof text;
  ASSERT_EQ(sysctl::sysctlbyname("hw.model", text, &size, nullptr, 0), 0);
  EXPECT_STREQ(text, DeviceProfile::current().hardwareModel.c_str());
  int32_t one = 1;
  size = sizeof text;
  EXPECT_EQ(sysctl::sysctlbyname("hw.model", text, &size, &one, sizeof one), -1);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(sysctl::sysctlbyname("hw.nothing", text, &size, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);

  int mib[4] = {sysctl::CTL_KERN, sysctl::KERN_PROC, sysctl::KERN_PROC_PID, int(::getpid())};
  sysctl::kinfo_proc info;
  info.kp_proc.p_flag = -1;
  size = sizeof info;
  ASSERT_EQ(sysctl::sysctl(mib, 4, &info, &size, nullptr, 0), 0);
  EXPECT_EQ(size, sizeof info);
  EXPECT_EQ(info.kp_proc.p_pid, ::getpid());
  EXPECT_EQ(info.kp_proc.p_flag & sysctl::P_TRACED, 0);
  {
    sysctl::ScopedOverride broken("kern.proc.pid", sysctl::Failure{EINVAL});
    EXPECT_EQ(sysctl::sysctl(mib, 4, &info, &size, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
  }
  mib[3] = -5;
  EXPECT_EQ(sysctl::sysctl(mib, 4, &info, &size, nullptr, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(sysctl::sysctl(mib, 3, &info, &size, nullptr, 0), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(SystemLogTest, LinesReachSinksAndFileByEnabledType) {
  auto log = Log::create("com.devuvo.utilities.logger", "[DAZLogger]");
  EXPECT_EQ(log, Log::create("com.devuvo.utilities.logger", "[DAZLogger]"));
  EXPECT_TRUE(log->isEnabled(LogType::Error));
  EXPECT_FALSE(log->isEnabled(LogType::Debug));
  TemporarySandbox sandbox;
  std::string file = sandbox.root() + "/log.txt";
  ASSERT_TRUE(Log::setOutputFile(file));
  {
    LogCapture capture;
    EXPECT_TRUE(log->isEnabled(LogType::Debug));  // a capture sees everything
    log->debug("detail");
    log->error("I-COR000023 Invalid logger level, 8");
    auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].type, LogType::Debug);
    EXPECT_EQ(records[1].subsystem, "com.devuvo.utilities.logger");
    EXPECT_EQ(records[1].category, "[DAZLogger]");
  }
  log->debug("dropped");
  Log::setOutputFile("");
  std::string text = FileManager::defaultManager().contentsAtPath(file)->toString();
  EXPECT_NE(text.find("Error [com.devuvo.utilities.logger:[DAZLogger]] I-COR000023 Invalid logger level, 8\n"),
            std::string::npos);
  EXPECT_EQ(text.find("dropped"), std::string::npos);
}

}  // namespace
}  // namespace os
