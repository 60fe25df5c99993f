#include "app/screens/app_delegate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <string>
#include <vector>

#include "app/preferences/preferences.h"
#include "app/screens/main_storyboard.h"
#include "app/tests/app_test_support.h"
#include "app/watch/watch_link.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/engine/interface/rez_analytics.h"
#include "os/avfoundation/avfoundation.h"
#include "os/dispatch/queue.h"
#include "os/foundation/user_defaults.h"
#include "os/foundation/uuid.h"
#include "sdk-core/core/rez_app.h"

namespace {

using drosil::testing::AppTest;

std::shared_ptr<os::UserDefaults> defaults() { return os::UserDefaults::standardUserDefaults(); }

// Records the two SDK calls of the launch instead of making them.
class RecordingAppDelegate : public AppDelegate {
 public:
  std::vector<std::string> calls;
  std::string userID;
  bool watchDelegateSetFirst = false;

 protected:
  void setAnalyticsUserID(const std::string& identifier) override {
    watchDelegateSetFirst = watchSession()->delegate().get() == static_cast<WCSessionDelegate*>(this);
    calls.push_back("setUserID");
    userID = identifier;
  }
  void configureSDK() override { calls.push_back("configure"); }
};

class AppDelegateTest : public AppTest {};

TEST_F(AppDelegateTest, InstallIdentifierIsMadeOnceAndRepaired) {
  const std::string first = AppDelegate::installIdentifier();
  ASSERT_EQ(first.size(), 36u);
  EXPECT_TRUE(os::UUID::initWithUUIDString(first).has_value());
  for (char c : first) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c))) << first;
  EXPECT_EQ(defaults()->stringForKey(kInstallIdentifierKey), first);

  // A new launch reads the same identifier.
  os::UserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(AppDelegate::installIdentifier(), first);

  // A stored empty string counts as missing.
  defaults()->setObject(os::Value(""), kInstallIdentifierKey);
  const std::string repaired = AppDelegate::installIdentifier();
  EXPECT_EQ(repaired.size(), 36u);
  EXPECT_NE(repaired, first);
}

TEST_F(AppDelegateTest, LaunchActivatesTheWatchThenTagsThenConfigures) {
  auto delegate = std::make_shared<RecordingAppDelegate>();
  ASSERT_TRUE(delegate->compensateManager());
  EXPECT_TRUE(defaults()->objectForKey(kCompensateKey).isBool());  // seeded at construction
  EXPECT_EQ(delegate->watchSession(), WCSession::defaultSession());

  EXPECT_TRUE(delegate->applicationDidFinishLaunchingWithOptions(nullptr, {}));
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"setUserID", "configure"}));
  EXPECT_TRUE(delegate->watchDelegateSetFirst);
  EXPECT_EQ(delegate->userID, defaults()->stringForKey(kInstallIdentifierKey));
  drain();
  EXPECT_EQ(delegate->watchSession()->activationState(), WCSessionActivationState::Activated);
}

TEST_F(AppDelegateTest, HostLaunchConfiguresTheSDKAndClearsTheWatch) {
  registerMainStoryboard();
  os::CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  os::uikit::ApplicationHost host;
  ASSERT_TRUE(host.launch("", kAppDelegateClassName).has_value());
  host.runUntilIdle();

  auto delegate = std::dynamic_pointer_cast<AppDelegate>(UIApplication::sharedApplication()->delegate());
  ASSERT_NE(delegate, nullptr);
  ASSERT_NE(delegate->window(), nullptr);
  EXPECT_TRUE(REZApp::isDefaultAppConfigured());
  // The user ID set before configuration reached the engine's store.
  auto engine = APMMeasurement::sharedInstance();
  ASSERT_NE(engine, nullptr);
  // The ID travels from the facade's queue to the engine's worker queue.
  // The worker may wait on the main queue (the vendor identifier is read
  // there): the main thread drains rather than blocking on it.
  for (const auto& queue : {APMAnalytics::queue(), engine->scheduler()->workerQueue()}) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    queue->async([done] { done->store(true); });
    while (!done->load() && os::dispatch::drainUntilIdle()) {
    }
  }
  ASSERT_NE(engine->database(), nullptr);
  const auto userID = engine->database()->userAttributeWithName(kAPMUserPropertyUserID, nullptr);
  ASSERT_NE(userID, nullptr);
  EXPECT_EQ(userID->value().stringValue(), AppDelegate::installIdentifier());
  EXPECT_EQ(userID->origin(), "app");

  // Becoming active right after launch queued an empty reading; going to the
  // background cancels it and queues another.
  auto session = delegate->watchSession();
  ASSERT_EQ(session->outstandingUserInfoTransfers().size(), 1u);
  ASSERT_TRUE(host.moveToBackground().has_value());
  host.runUntilIdle();
  const auto outstanding = session->outstandingUserInfoTransfers();
  ASSERT_EQ(outstanding.size(), 1u);
  const auto delivered = os::WatchSimulator::deliverUserInfoTransfers();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0], (os::Dictionary{{kWatchWBValueKey, os::Value("")}}));
  ASSERT_TRUE(host.terminate().has_value());
}

}  // namespace
