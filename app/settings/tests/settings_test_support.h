// Fixture of the settings tests: the settings screen in its navigation
// controller as the root of a key window, laid out so every row is shown, and
// a way to run the app under a bundle of another version.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/settings/info_plist.h"
#include "app/settings/new_settings_table_view_controller.h"
#include "app/tests/app_test_support.h"
#include "os/corelocation/location.h"
#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/sandbox.h"
#include "os/messageui/mail_compose.h"
#include "os/uikit/uikit.h"

namespace drosil::testing {

class SettingsTest : public AppTest {
 protected:
  SettingsTest() {
    os::LocationSimulator::reset();
    os::MailSimulator::setCanSendMail(true);
    TEST_resetCachedInfoDictionary();
    UIViewController::TEST_clearPresentationLog();
    UIApplication::sharedApplication()->TEST_clearOpenedURLs();
    UIApplication::sharedApplication()->setIdleTimerDisabled(false);
  }
  ~SettingsTest() override {
    if (window_) window_->setRootViewController(nullptr);
    drain();
    os::LocationSimulator::reset();
    os::MailSimulator::setCanSendMail(true);
    TEST_resetCachedInfoDictionary();
    UIApplication::sharedApplication()->setIdleTimerDisabled(false);
  }

  // Shows the screen; every row is on screen afterwards. "hapticKey" is
  // seeded (true) as the app's launch does.
  void showScreen() {
    HapticFeedbackManager haptics;
    screen_ = std::make_shared<NewSettingsTableViewController>();
    nav_ = std::make_shared<UINavigationController>(screen_);
    window_ = std::make_shared<UIWindow>();
    window_->setRootViewController(nav_);
    window_->makeKeyAndVisible();
    window_->layoutIfNeeded();
    drain();
    ASSERT_TRUE(screen_->isViewLoaded());
  }

  // Runs virtual time forward, with the main queue.
  void advance(double seconds) {
    clock().advance(seconds);
    drain();
  }

  // What the screen presents now (the navigation controller presents for it).
  std::shared_ptr<UIViewController> presented() const { return nav_->presentedViewController(); }
  template <class T>
  std::shared_ptr<T> presentedAs() const {
    return std::dynamic_pointer_cast<T>(presented());
  }

  template <class Cell>
  std::shared_ptr<Cell> cell(long section, long row) const {
    return std::dynamic_pointer_cast<Cell>(screen_->cellAt(NSIndexPath::indexPathForRow(row, section)));
  }
  CGFloat feedbackRowHeight() {
    auto table = screen_->tableView();
    table->layoutIfNeeded();
    return table->rectForRowAtIndexPath(NSIndexPath::indexPathForRow(kFeedbackRowIndex, kFeedbackRowSection)).height();
  }

  // From now on the main bundle is a copy of the app's with these Info.plist
  // values (a missing optional leaves the key out).
  void useBundle(std::optional<std::string> shortVersion, std::optional<std::string> build = "7",
                 std::optional<std::string> displayName = "Drosil") {
    const std::string dir = os::Sandbox::current()->root() + "/Bundle-" + std::to_string(++bundles_) + ".app";
    std::filesystem::create_directories(dir);
    std::ofstream plist(dir + "/Info.plist");
    plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
          << "<key>CFBundleIdentifier</key><string>com.drosil.app</string>";
    auto entry = [&](const char* key, const std::optional<std::string>& value) {
      if (value) plist << "<key>" << key << "</key><string>" << *value << "</string>";
    };
    entry("CFBundleShortVersionString", shortVersion);
    entry("CFBundleVersion", build);
    entry("CFBundleDisplayName", displayName);
    plist << "</dict></plist>\n";
    plist.close();
    os::Bundle::setMainBundlePath(dir);
    TEST_resetCachedInfoDictionary();
  }

  std::shared_ptr<NewSettingsTableViewController> screen_;
  std::shared_ptr<UINavigationController> nav_;
  std::shared_ptr<UIWindow> window_;

 private:
  int bundles_ = 0;
};

}  // namespace drosil::testing
