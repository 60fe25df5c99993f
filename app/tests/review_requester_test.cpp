// The review-worthy action counter: the 20th action of a build asks for the
// rating prompt once; a new build may ask again.
#include <gtest/gtest.h>

#include "app/screens/review_requester.h"
#include "app/settings/info_plist.h"
#include "app/tests/app_test_support.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/user_defaults.h"
#include "os/storekit/store_review.h"
#include "os/uikit/app_host.h"

namespace {

using drosil::testing::AppTest;

class ReviewRequesterTest : public AppTest {
 protected:
  ReviewRequesterTest() {
    TEST_resetCachedInfoDictionary();
    SKStoreReviewController::TEST_clearRequests();
  }
  ~ReviewRequesterTest() override {
    for (const auto& scene : UIApplication::sharedApplication()->connectedScenes()) {
      UIApplication::sharedApplication()->TEST_disconnectScene(scene);
    }
    SKStoreReviewController::TEST_clearRequests();
  }
  static void record(int times) {
    for (int i = 0; i < times; ++i) ReviewRequester::recordReviewWorthyAction();
  }
  static int64_t count() { return os::UserDefaults::standardUserDefaults()->integerForKey(kReviewWorthyActionCountKey); }
  static std::optional<std::string> lastVersion() {
    return os::UserDefaults::standardUserDefaults()->stringForKey(kLastReviewRequestAppVersionKey);
  }
  std::shared_ptr<UIWindowScene> activeScene() {
    auto scene = std::make_shared<UIWindowScene>();
    scene->setActivationState(UISceneActivationState::ForegroundActive);
    UIApplication::sharedApplication()->TEST_connectScene(scene);
    return scene;
  }
};

TEST_F(ReviewRequesterTest, TwentiethActionOfABuildAsksOnce) {
  auto scene = activeScene();
  const std::string build = *infoPlistString("CFBundleVersion");
  record(19);
  EXPECT_TRUE(SKStoreReviewController::TEST_requests().empty());
  EXPECT_EQ(count(), 19);
  record(1);
  ASSERT_EQ(SKStoreReviewController::TEST_requests().size(), 1u);
  EXPECT_EQ(SKStoreReviewController::TEST_requests()[0].scene, scene);
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(lastVersion(), build);

  // The same build: the count grows past 20 without asking again.
  record(25);
  EXPECT_EQ(SKStoreReviewController::TEST_requests().size(), 1u);
  EXPECT_EQ(count(), 25);

  // After an update the next action asks again.
  os::UserDefaults::standardUserDefaults()->setObject(os::Value("0"), kLastReviewRequestAppVersionKey);
  record(1);
  EXPECT_EQ(SKStoreReviewController::TEST_requests().size(), 2u);
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(lastVersion(), build);
}

TEST_F(ReviewRequesterTest, NoActiveSceneStillRestartsTheCount) {
  auto inactive = std::make_shared<UIWindowScene>();
  inactive->setActivationState(UISceneActivationState::Background);
  UIApplication::sharedApplication()->TEST_connectScene(inactive);
  record(20);
  EXPECT_TRUE(SKStoreReviewController::TEST_requests().empty());
  EXPECT_EQ(count(), 0);
  EXPECT_EQ(lastVersion(), infoPlistString("CFBundleVersion"));
}

TEST_F(ReviewRequesterTest, BeforeOS14AsksWithoutAScene) {
  os::DeviceProfile profile = os::DeviceProfile::current();
  profile.systemVersion = "13.7";
  os::ScopedDeviceProfile scoped(profile);
  record(20);
  ASSERT_EQ(SKStoreReviewController::TEST_requests().size(), 1u);
  EXPECT_EQ(SKStoreReviewController::TEST_requests()[0].scene, nullptr);
}

TEST_F(ReviewRequesterTest, FirstForegroundActiveSceneInOrder) {
  auto background = std::make_shared<UIWindowScene>();
  background->setActivationState(UISceneActivationState::Background);
  auto first = std::make_shared<UIWindowScene>();
  first->setActivationState(UISceneActivationState::ForegroundActive);
  auto second = std::make_shared<UIWindowScene>();
  second->setActivationState(UISceneActivationState::ForegroundActive);
  EXPECT_EQ(ReviewRequester::foregroundActiveScene({background, first, second}), first);
  EXPECT_EQ(ReviewRequester::foregroundActiveScene({background}), nullptr);
}

}  // namespace
