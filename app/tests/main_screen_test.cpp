// The main meter screen on the host: load state, the no-camera screen, the
// button area's layouts, the buttons, the ruler and the preview's tap.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "app/controls/ruler_number_picker.h"
#include "app/preferences/preferences.h"
#include "app/screens/app_delegate.h"
#include "app/screens/main_storyboard.h"
#include "app/screens/new_landing_view_controller.h"
#include "app/screens/preview_layer_view_controller.h"
#include "app/screens/review_requester.h"
#include "app/settings/info_plist.h"
#include "app/tests/app_test_support.h"
#include "app/watch/watch_link.h"
#include "os/avfoundation/avfoundation.h"
#include "os/dispatch/notification.h"
#include "os/foundation/user_defaults.h"
#include "os/storekit/store_review.h"
#include "os/uikit/app_host.h"
#include "os/watchconnectivity/wc_session.h"
#include "sdk-core/core/rez_app.h"

namespace {

using drosil::testing::AppTest;
using drosil::testing::readingSettled;
using drosil::testing::runUntil;
using os::CameraSimulator;

class MainScreenTest : public AppTest {
 protected:
  MainScreenTest() {
    TEST_resetCachedInfoDictionary();
    SKStoreReviewController::TEST_clearRequests();
  }
  ~MainScreenTest() override {
    if (host_->isLaunched() && !host_->isTerminated()) {
      // The device's orientation outlives the app: the next test starts upright.
      host_->rotate(UIDeviceOrientation::Portrait);
      (void)host_->terminate();
    }
    UIApplication::sharedApplication()->setIdleTimerDisabled(false);
    SKStoreReviewController::TEST_clearRequests();
  }

  // Launches; the main queue is not run, so load-time deferred work waits.
  void launch(AVAuthorizationStatus status = AVAuthorizationStatus::Authorized) {
    registerMainStoryboard();
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, status);
    refused_ = status != AVAuthorizationStatus::Authorized;
    ASSERT_TRUE(host_->launch("", kAppDelegateClassName).has_value());
    screen_ = std::dynamic_pointer_cast<NewLandingViewController>(host_->keyWindow()->rootViewController());
    ASSERT_NE(screen_, nullptr);
  }
  // Waits for what the launch starts: the reading of the settled camera, or,
  // with the camera refused, the no-camera screen.
  void settle() {
    ASSERT_TRUE(runUntil(*host_, [&] {
      return refused_ ? !screen_->accessBoundryView()->isHidden() : readingSettled(*screen_);
    }));
  }
  static void press(const std::shared_ptr<UIButton>& button) {
    button->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
  }
  static size_t lightTaps() {
    size_t n = 0;
    for (const auto& e : TEST_feedbackEvents()) {
      if (e.kind == UIFeedbackEvent::Kind::Impact && e.style == static_cast<int>(UIImpactFeedbackStyle::Light)) ++n;
    }
    return n;
  }

  std::unique_ptr<os::uikit::ApplicationHost> host_ = std::make_unique<os::uikit::ApplicationHost>();
  std::shared_ptr<NewLandingViewController> screen_;
  bool refused_ = false;
};

TEST_F(MainScreenTest, StoredCompensationShowsInBubbleAndRuler) {
  struct Case {
    double stored;
    bool bubbleHidden;
    const char* bubble;
    CGFloat offset;
  };
  for (const Case& c : {Case{0, true, "0K", 3200}, Case{250, false, "250K", 4000}, Case{-300, false, "-300K", 2240}}) {
    SCOPED_TRACE(c.stored);
    os::UserDefaults::standardUserDefaults()->setDouble(c.stored, kCompensateKey);
    launch();
    EXPECT_EQ(screen_->compensateBubbleView()->isHidden(), c.bubbleHidden);
    EXPECT_EQ(screen_->compensateBubbleLbl()->text(), c.bubble);
    EXPECT_EQ(screen_->oldCompensateValue(), static_cast<int>(c.stored));
    EXPECT_EQ(screen_->rulerView()->scrollView()->contentOffset().x, 0);  // not before the next turn
    host_->runUntilIdle();
    EXPECT_EQ(screen_->rulerView()->scrollView()->contentOffset().x, c.offset);
    EXPECT_EQ(screen_->compensateManager()->value(), c.stored);
    EXPECT_TRUE(TEST_feedbackEvents().empty());  // the load scroll gives no tick
    ASSERT_TRUE(host_->terminate().has_value());
    host_ = std::make_unique<os::uikit::ApplicationHost>();
    REZApp::resetApps();
    TEST_clearFeedbackEvents();
  }
}

TEST_F(MainScreenTest, RefusedCameraShowsThePermissionScreen) {
  launch(AVAuthorizationStatus::Denied);
  EXPECT_TRUE(screen_->accessBoundryView()->isHidden());  // applied on the main queue
  host_->runUntilIdle();
  EXPECT_FALSE(screen_->accessBoundryView()->isHidden());
  EXPECT_EQ(screen_->cameraRestrictedLbl()->text(), "Camera Access is Required");
  EXPECT_EQ(screen_->cameraRestrictedSubLbl()->text(), "Drosil app uses camera to determine the white balance.");
  EXPECT_EQ(screen_->allowCameraBtn()->titleForState(UIControlState::Normal), "Allow Camera");
  EXPECT_FALSE(screen_->createLogBtn()->isUserInteractionEnabled());
  EXPECT_FALSE(screen_->flipCameraBtn()->isUserInteractionEnabled());
  EXPECT_TRUE(screen_->zoomBtn()->isUserInteractionEnabled());

  // "Allow Camera" opens the app's settings page.
  press(screen_->allowCameraBtn());
  host_->runUntilIdle();
  auto opened = UIApplication::sharedApplication()->TEST_openedURLs();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].url.absoluteString(), UIApplicationOpenSettingsURLString);
  EXPECT_EQ(os::UserDefaults::standardUserDefaults()->integerForKey(kReviewWorthyActionCountKey), 1);
}

// With the camera refused a reading pass still ran (the compensation at load
// asked for one) and showed the idle device's gains as a made-up reading.
TEST_F(MainScreenTest, RefusedCameraNeverStartsTheReading) {
  launch(AVAuthorizationStatus::Denied);
  settle();
  screen_->compensateManager()->setValue(120);
  CameraSimulator::setScene(*os::CaptureScene::lightSource(3000));
  host_->runUntilIdle();
  EXPECT_EQ(screen_->tempReading()->text(), "");
  EXPECT_EQ(screen_->tintReading()->text(), "");
  EXPECT_EQ(screen_->lightTypeLbl()->text(), "");
}

// A photo the watch asked for, finishing (without a picture), gave the
// refused camera's photo button its touches back.
TEST_F(MainScreenTest, RefusedCameraKeepsThePhotoButtonOffAfterAWatchPhoto) {
  launch(AVAuthorizationStatus::Denied);
  settle();
  ASSERT_FALSE(screen_->createLogBtn()->isUserInteractionEnabled());
  os::NotificationCenter::defaultCenter()->postNotificationName(kWatchTakePhotoCommand, nullptr);
  // The capture came back (without a picture), and its end ran.
  ASSERT_TRUE(runUntil(*host_, [&] { return !screen_->watchPhotoRequests().hasPendingRequest(); }));
  host_->runUntilIdle();
  EXPECT_FALSE(screen_->createLogBtn()->isUserInteractionEnabled());
  EXPECT_FALSE(screen_->flipCameraBtn()->isUserInteractionEnabled());
}

TEST_F(MainScreenTest, ZoomTapsCycleAndTellTheWatch) {
  launch();
  settle();
  os::WatchSimulator::setReachable(true);
  host_->runUntilIdle();
  (void)os::WatchSimulator::deliverUserInfoTransfers();
  auto device = screen_->cameraController()->currentCameraDevice();
  auto delegate = std::dynamic_pointer_cast<AppDelegate>(UIApplication::sharedApplication()->delegate());
  ASSERT_NE(delegate, nullptr);

  struct Step {
    double factor;
    const char* image;
  };
  for (const Step& s : {Step{2, "zoom-2x"}, Step{3, "zoom-3x"}, Step{1, "zoom-1x"}}) {
    delegate->watchSession()->transferUserInfo({{"pending", os::Value(true)}});
    press(screen_->zoomBtn());
    EXPECT_EQ(screen_->cameraController()->currentZoomValue(), s.factor);
    EXPECT_EQ(device->videoZoomFactor(), s.factor);  // applied at once
    host_->runUntilIdle();
    EXPECT_EQ(screen_->zoomBtn()->imageForState(UIControlState::Normal), UIImage::imageNamed(s.image));
    // The pending transfer was cancelled; only the zoom went out.
    auto sent = os::WatchSimulator::deliverUserInfoTransfers();
    ASSERT_EQ(sent.size(), 1u) << s.factor;
    EXPECT_EQ(sent[0], watchZoomPayload(s.factor));
  }
  EXPECT_EQ(screen_->counter(), 2.0);
}

TEST_F(MainScreenTest, CompensationButtonTogglesThePanel) {
  launch();
  settle();
  ASSERT_FALSE(screen_->isCompensationPanelOpen());
  EXPECT_EQ(screen_->compensationView()->alpha(), 0);
  const CGFloat h = screen_->buttonsView()->frame().height();
  const CGFloat cw = screen_->compensateBtnView()->frame().width();

  press(screen_->compensateBtn());
  EXPECT_FALSE(screen_->isInitial());
  EXPECT_TRUE(screen_->isCompensationPanelOpen());
  EXPECT_EQ(screen_->compensationView()->transform(), CGAffineTransformMakeTranslation(0, -h));
  EXPECT_EQ(screen_->compensationView()->alpha(), 1);
  EXPECT_EQ(screen_->zoomBtn()->transform(), CGAffineTransformMakeTranslation(0, -h));
  EXPECT_EQ(screen_->compensateBtnView()->transform(), CGAffineTransformMakeTranslation(-2 * cw, 0));
  EXPECT_EQ(screen_->compensateBubbleView()->alpha(), 0);
  // Animated over 0.5 s.
  EXPECT_FALSE(screen_->compensationView()->layer()->animationKeys().empty());
  host_->runFor(0.6);
  EXPECT_TRUE(screen_->compensationView()->layer()->animationKeys().empty());

  press(screen_->compensateBtn());
  EXPECT_FALSE(screen_->isCompensationPanelOpen());
  EXPECT_TRUE(screen_->compensationView()->transform().isIdentity());

  // A tap on the preview closes an open panel.
  press(screen_->compensateBtn());
  os::NotificationCenter::defaultCenter()->postNotificationName(kPreviewLayerTappedNotification, nullptr);
  EXPECT_FALSE(screen_->isCompensationPanelOpen());
}

// The blur behind the open panel was never made (the field stayed null).
TEST_F(MainScreenTest, CompensationPanelOpensOverTheBlur) {
  launch();
  settle();
  auto blur = screen_->buttonBlurView();
  ASSERT_NE(blur, nullptr);
  EXPECT_EQ(blur->superview(), screen_->view());
  EXPECT_EQ(blur->alpha(), 0);
  press(screen_->compensateBtn());
  host_->runFor(0.6);
  EXPECT_EQ(blur->alpha(), CGFloat(0.3));
  os::NotificationCenter::defaultCenter()->postNotificationName(kPreviewLayerTappedNotification, nullptr);
  host_->runFor(0.6);
  EXPECT_EQ(blur->alpha(), 0);
}

TEST_F(MainScreenTest, LandscapeRotatesTheRulerAndCloses) {
  launch();
  settle();
  press(screen_->compensateBtn());
  host_->rotate(UIDeviceOrientation::LandscapeLeft);
  host_->runUntilIdle();
  EXPECT_FALSE(screen_->isCompensationPanelOpen());
  const auto turn = CGAffineTransformMakeRotation(-std::numbers::pi / 2);
  EXPECT_EQ(screen_->rulerView()->transform(), turn);
  EXPECT_EQ(screen_->compensationLbl()->transform(), turn);
  press(screen_->compensateBtn());
  EXPECT_EQ(screen_->compensationView()->transform(),
            CGAffineTransformMakeTranslation(-screen_->buttonsView()->frame().width(), 0));
}

TEST_F(MainScreenTest, RulerTicksOnlyAfterTheButtonWasPressed) {
  launch();
  settle();
  TEST_clearFeedbackEvents();
  auto ruler = screen_->rulerView();
  for (CGFloat v : {0.0, 10.0, 20.0, 30.0}) ruler->scrollToValue(v, false, true);
  EXPECT_EQ(lightTaps(), 0u);
  EXPECT_EQ(screen_->compensateManager()->value(), 30);

  press(screen_->compensateBtn());
  TEST_clearFeedbackEvents();
  for (CGFloat v : {40.0, 40.0, 50.0, 60.0}) ruler->scrollToValue(v, false, true);
  EXPECT_EQ(lightTaps(), 3u);  // the repeat of 40 moves nothing
  host_->runUntilIdle();
  EXPECT_EQ(screen_->compensationReading()->text(), "60K");
  EXPECT_EQ(screen_->compensateBubbleLbl()->text(), "60K");

  // With haptics off no button ticks, but each still counts.
  os::UserDefaults::standardUserDefaults()->setBool(false, kHapticManagerKey);
  TEST_clearFeedbackEvents();
  const int64_t before = os::UserDefaults::standardUserDefaults()->integerForKey(kReviewWorthyActionCountKey);
  press(screen_->zoomBtn());
  ruler->scrollToValue(100, false, true);
  EXPECT_EQ(lightTaps(), 0u);
  EXPECT_EQ(os::UserDefaults::standardUserDefaults()->integerForKey(kReviewWorthyActionCountKey), before + 1);
}

TEST_F(MainScreenTest, PreviewTapPostsAndLeavesOneFocusFrame) {
  launch();
  settle();
  int posts = 0;
  const void* object = nullptr;
  auto token = os::NotificationCenter::defaultCenter()->addObserverForName(
      kPreviewLayerTappedNotification, nullptr, std::shared_ptr<os::DispatchQueue>(), [&](const os::Notification& n) {
        ++posts;
        object = n.object;
      });
  auto window = host_->keyWindow();
  window->tap({120, 300});
  host_->runFor(0.2);
  window->tap({200, 400});
  host_->runFor(0.5);
  os::NotificationCenter::defaultCenter()->removeObserver(token);

  EXPECT_EQ(posts, 2);
  // Mended: the object was a pointer to a string literal, whose copies in two
  // files need not share an address (they did not under AddressSanitizer).
  EXPECT_EQ(object, static_cast<const void*>(kPreviewLayerTappedObject));
  auto preview = screen_->previewViewController()->view();
  size_t frames = 0;
  for (const auto& v : preview->subviews()) frames += v->tag() == kFocusIndicatorTag;
  EXPECT_EQ(frames, 1u);
  auto device = screen_->cameraController()->currentCameraDevice();
  const CGPoint expected =
      screen_->cameraController()->previewLayer()->captureDevicePointOfInterestForPoint({200, 400});
  EXPECT_NEAR(device->focusPointOfInterest().x, expected.x, 1e-9);
  EXPECT_NEAR(device->focusPointOfInterest().y, expected.y, 1e-9);
}

// The screen's own tap-to-focus was never attached to anything, and it set
// the exposure point as well as the focus.
TEST_F(MainScreenTest, TapOnTheCameraAreaFocusesOnly) {
  launch();
  settle();
  // Only the screen's recogniser: the preview's own tap sets exposure too.
  for (const auto& r : screen_->previewViewController()->view()->gestureRecognizers()) r->setEnabled(false);
  auto device = screen_->cameraController()->currentCameraDevice();
  const CGPoint exposureBefore = device->exposurePointOfInterest();
  const CGPoint at{90, 520};
  const CGPoint expected = screen_->cameraController()->previewLayer()->captureDevicePointOfInterestForPoint(
      screen_->cameraView()->convertPointToView(at, screen_->previewViewController()->view().get()));
  ASSERT_NE(expected, device->focusPointOfInterest());

  host_->keyWindow()->tap(screen_->cameraView()->convertPointToView(at, nullptr));
  ASSERT_TRUE(runUntil(*host_, [&] {
    const CGPoint focus = device->focusPointOfInterest();
    return std::abs(focus.x - expected.x) < 1e-9 && std::abs(focus.y - expected.y) < 1e-9;
  }));
  host_->runUntilIdle();
  EXPECT_EQ(device->exposurePointOfInterest(), exposureBefore);
  EXPECT_EQ(os::UserDefaults::standardUserDefaults()->integerForKey(kReviewWorthyActionCountKey), 0);
}

TEST_F(MainScreenTest, TwentyButtonPressesAskForOneReview) {
  launch();
  settle();
  for (int i = 0; i < 20; ++i) press(i % 2 ? screen_->zoomBtn() : screen_->compensateBtn());
  ASSERT_EQ(SKStoreReviewController::TEST_requests().size(), 1u);
  EXPECT_EQ(SKStoreReviewController::TEST_requests()[0].scene, host_->windowScene());
  for (int i = 0; i < 20; ++i) press(screen_->zoomBtn());
  EXPECT_EQ(SKStoreReviewController::TEST_requests().size(), 1u);
}

TEST_F(MainScreenTest, AlwaysOnKeepsTheScreenAwake) {
  os::UserDefaults::standardUserDefaults()->setBool(true, kAlwaysOnEnableKey);
  launch();
  EXPECT_TRUE(UIApplication::sharedApplication()->isIdleTimerDisabled());
}

}  // namespace
