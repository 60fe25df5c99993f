#include "sdk-core/core/tests/test_support.h"

#include <filesystem>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_logger.h"

namespace sdkcore_test {

os::Dictionary fixtureOptions() {
  return os::Dictionary{{"API_KEY", "AIzaTestKey"},
                        {"DEVUVO_APP_ID", kAppID},
                        {"VCM_SENDER_ID", "123456789012"},
                        {"PROJECT_ID", "drosil-test"},
                        {"BUNDLE_ID", kBundleIdentifier},
                        {"IS_MEASUREMENT_ENABLED", true}};
}

void SDKCoreTest::SetUp() {
  sandbox_ = std::make_unique<os::TemporarySandbox>();
  os::UserDefaults::resetStandardUserDefaults();
  clock_ = std::make_unique<os::ManualClockScope>();
  clock_->clock().setWallTime(kStartTime);
  bundlePath_ = sandbox_->root() + "/Drosil.app";
  std::filesystem::create_directories(bundlePath_);
  os::Bundle::setMainBundlePath(bundlePath_);
  os::ProcessInfo::processInfo().setArguments({"drosil"});
  REZApp::TEST_reset();
  REZLoggerTEST_reset();
}

void SDKCoreTest::TearDown() {
  REZApp::TEST_reset();
  os::dispatch::drainUntilIdle();
  os::Bundle::setMainBundlePath("");
  clock_.reset();
  os::UserDefaults::resetStandardUserDefaults();
  sandbox_.reset();
}

void SDKCoreTest::writeBundle(const std::optional<os::Dictionary>& options, const os::Dictionary& extraInfo) {
  auto write = [&](const std::string& name, const os::Dictionary& contents) {
    auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(contents),
                                                                    os::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.has_value());
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(bundlePath_ + "/" + name, *data));
  };
  os::Dictionary info = extraInfo;
  info[os::kCFBundleIdentifierKey] = kBundleIdentifier;
  write("Info.plist", info);
  if (options) write("RirudiVizeziv-Azir.plist", *options);
  // The bundle caches its Info.plist: point at it again.
  os::Bundle::setMainBundlePath(bundlePath_);
}

void SDKCoreTest::relaunchDefaults() { os::UserDefaults::resetStandardUserDefaults(); }

}  // namespace sdkcore_test
