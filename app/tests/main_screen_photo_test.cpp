// The main screen's photo capture, its watch commands and the geotag, with
// the simulated camera, watch, location and photo library.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "app/controls/grid_view.h"
#include "app/preferences/preferences.h"
#include "app/screens/app_delegate.h"
#include "app/screens/main_storyboard.h"
#include "app/screens/new_landing_view_controller.h"
#include "app/screens/photo/geotag_location.h"
#include "app/screens/photo/overlay_view_controller.h"
#include "app/screens/photo/preview_view_controller.h"
#include "app/settings/new_settings_table_view_controller.h"
#include "app/tests/app_test_support.h"
#include "app/watch/watch_link.h"
#include "os/avfoundation/avfoundation.h"
#include "os/corelocation/location.h"
#include "os/dispatch/notification.h"
#include "os/foundation/user_defaults.h"
#include "os/photos/photo_library.h"
#include "os/uikit/alert.h"
#include "os/uikit/app_host.h"
#include "os/watchconnectivity/wc_session.h"
#include "sdk-core/core/rez_app.h"
#include "widgets/ToastAlert/toast_alert.h"

namespace {

using drosil::testing::AppTest;
using drosil::testing::readingSettled;
using drosil::testing::runUntil;
using os::CameraSimulator;
using os::PhotoLibrarySimulator;
using os::WatchSimulator;

class MainScreenPhotoTest : public AppTest {
 protected:
  ~MainScreenPhotoTest() override {
    if (host_->isLaunched() && !host_->isTerminated()) (void)host_->terminate();
  }

  // Launches before a 5500 K light and waits for its reading.
  void launch() {
    registerMainStoryboard();
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
    CameraSimulator::setScene(*os::CaptureScene::lightSource(5500));
    ASSERT_TRUE(host_->launch("", kAppDelegateClassName).has_value());
    screen_ = std::dynamic_pointer_cast<NewLandingViewController>(host_->keyWindow()->rootViewController());
    ASSERT_NE(screen_, nullptr);
    ASSERT_TRUE(waitFor([&] { return readingSettled(*screen_); }));
  }
  // Runs the app until `produced` holds (work on the camera's and the
  // watch's threads takes what real time it takes).
  bool waitFor(const std::function<bool()>& produced) { return runUntil(*host_, produced); }
  static size_t savedPhotos() { return PhotoLibrarySimulator::savedPhotoPaths().size(); }
  // Whether a transfer holding `key` is queued for the watch.
  static bool queuedTransferHolds(const char* key) {
    for (const auto& t : WCSession::defaultSession()->outstandingUserInfoTransfers()) {
      if (t->userInfo().contains(key)) return true;
    }
    return false;
  }
  static void press(const std::shared_ptr<UIButton>& button) {
    button->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
  }
  std::shared_ptr<PreviewViewController> preview() const {
    return std::dynamic_pointer_cast<PreviewViewController>(screen_->presentedViewController());
  }
  std::shared_ptr<UIAlertController> alert() const {
    return std::dynamic_pointer_cast<UIAlertController>(screen_->presentedViewController());
  }
  bool toastShown() const {
    for (const auto& v : host_->keyWindow()->subviews()) {
      if (std::dynamic_pointer_cast<ToastAlertView>(v)) return true;
    }
    return false;
  }
  static bool isJPEGFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char magic[3] = {};
    in.read(reinterpret_cast<char*>(magic), 3);
    return magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF;
  }

  std::unique_ptr<os::uikit::ApplicationHost> host_ = std::make_unique<os::uikit::ApplicationHost>();
  std::shared_ptr<NewLandingViewController> screen_;
};

TEST_F(MainScreenPhotoTest, ScreenCaptureOpensThePreviewWhoseSaveStoresTheOverlay) {
  launch();
  const std::string reading = screen_->tempReading()->text();
  ASSERT_FALSE(reading.empty());
  auto connection = screen_->cameraController()->previewLayer()->connection();

  press(screen_->createLogBtn());
  // While the shutter runs: no second capture, frozen preview, green grid.
  EXPECT_FALSE(screen_->createLogBtn()->isUserInteractionEnabled());
  EXPECT_TRUE(screen_->createLogActivity()->isAnimating());
  EXPECT_FALSE(connection->isEnabled());
  EXPECT_TRUE(screen_->gridView()->isUpdateBlocked());

  ASSERT_TRUE(waitFor([&] { return preview() != nullptr; }));
  EXPECT_TRUE(screen_->createLogBtn()->isUserInteractionEnabled());
  EXPECT_FALSE(screen_->createLogActivity()->isAnimating());
  EXPECT_TRUE(connection->isEnabled());
  auto shown = preview();
  ASSERT_NE(screen_->imageToPass(), nullptr);
  EXPECT_EQ(shown->passedImage, screen_->imageToPass());
  EXPECT_TRUE(PhotoLibrarySimulator::savedPhotoPaths().empty());

  auto overlay = screen_->lastPhotoOverlay();
  ASSERT_NE(overlay, nullptr);
  EXPECT_EQ(overlay->readingLbl()->text(), reading);
  EXPECT_EQ(overlay->tintReading()->text(), screen_->tintReading()->text());
  EXPECT_TRUE(std::regex_match(overlay->dateTimeLbl()->text(),
                               std::regex(R"(\d\d:\d\d • [A-Z][a-z]{2} \d{1,2}, \d{4})")))
      << overlay->dateTimeLbl()->text();
  EXPECT_TRUE(overlay->locationView()->isHidden());
  EXPECT_TRUE(overlay->markerImg()->isHidden());
  host_->runFor(kGridCaptureBlockSeconds);  // at least that long since the shutter
  EXPECT_FALSE(screen_->gridView()->isUpdateBlocked());

  press(shown->saveBtn());
  ASSERT_TRUE(waitFor([&] { return savedPhotos() == 1; }));
  auto saved = PhotoLibrarySimulator::savedPhotoPaths();
  EXPECT_TRUE(isJPEGFile(saved[0]));
}

// While the shutter ran the preview drew nothing (black) instead of holding
// the frame it showed when the photo was taken.
TEST_F(MainScreenPhotoTest, PreviewHoldsItsFrameWhileThePhotoIsTaken) {
  launch();
  auto preview = screen_->previewViewController()->view();
  auto centre = [&] {
    auto image = snapshotImage(*preview, true, 1);
    return image->cgImage()->pixel(image->cgImage()->width() / 2, image->cgImage()->height() / 2);
  };
  const RGBA8 live = centre();
  ASSERT_NE(live, (RGBA8{0, 0, 0, 255}));

  press(screen_->createLogBtn());
  CameraSimulator::setScene(*os::CaptureScene::lightSource(2000));
  EXPECT_EQ(centre(), live);  // held, neither black nor the new light

  // Back from the photo's preview, the picture is live again.
  ASSERT_TRUE(waitFor([&] { return this->preview() != nullptr; }));
  this->preview()->dismissAction();
  ASSERT_TRUE(waitFor([&] { return screen_->presentedViewController() == nullptr; }));
  EXPECT_NE(centre(), live);
  EXPECT_NE(centre(), (RGBA8{0, 0, 0, 255}));
}

TEST_F(MainScreenPhotoTest, NoReadingYetShowsNA) {
  launch();
  screen_->tempReading()->setText("");
  press(screen_->createLogBtn());
  ASSERT_TRUE(waitFor([&] { return screen_->lastPhotoOverlay() != nullptr; }));
  EXPECT_EQ(screen_->lastPhotoOverlay()->readingLbl()->text(), kPhotoOverlayNoReading);
}

TEST_F(MainScreenPhotoTest, WatchPhotoIsSavedWithoutPreview) {
  struct Case {
    PHAuthorizationStatus permission;
    size_t saved;
  };
  for (const Case& c : {Case{PHAuthorizationStatus::Authorized, 1}, Case{PHAuthorizationStatus::Denied, 0}}) {
    SCOPED_TRACE(static_cast<int>(c.permission));
    launch();
    PhotoLibrarySimulator::setAuthorizationStatus(c.permission);
    const size_t before = savedPhotos();
    os::NotificationCenter::defaultCenter()->postNotificationName(kWatchTakePhotoCommand, nullptr);
    // The answer: the toast of a saved photo, or the refusal's alert.
    ASSERT_TRUE(waitFor([&] { return c.saved ? toastShown() : alert() != nullptr; }));
    EXPECT_EQ(preview(), nullptr);
    EXPECT_EQ(savedPhotos() - before, c.saved);
    EXPECT_FALSE(screen_->watchPhotoRequests().hasPendingRequest());
    if (c.saved) {
      EXPECT_TRUE(toastShown());
      EXPECT_EQ(alert(), nullptr);
    } else {
      // Refused library: the alert with its way into the settings.
      auto refused = alert();
      ASSERT_NE(refused, nullptr);
      EXPECT_EQ(refused->title(), "Couldn't Save");
      EXPECT_EQ(refused->message(), "Make sure Drosil has permission to add photos.");
      ASSERT_EQ(refused->actions().size(), 2u);
      EXPECT_EQ(refused->actions()[0]->title(), "App Settings");
      EXPECT_EQ(refused->actions()[1]->title(), "Okay");
      ASSERT_TRUE(refused->TEST_chooseAction("App Settings").has_value());
      ASSERT_TRUE(waitFor([] { return !UIApplication::sharedApplication()->TEST_openedURLs().empty(); }));
      auto opened = UIApplication::sharedApplication()->TEST_openedURLs();
      ASSERT_EQ(opened.size(), 1u);
      EXPECT_EQ(opened[0].url.absoluteString(), UIApplicationOpenSettingsURLString);
    }
    (void)host_->terminate();
    host_ = std::make_unique<os::uikit::ApplicationHost>();
    UIStoryboard::TEST_reset();
    REZApp::resetApps();
  }
}

// A watch request whose capture failed (the session was not running) used to
// leave a flag set that turned the next on-screen photo into a save.
TEST_F(MainScreenPhotoTest, FailedWatchCaptureLeavesNoRequestBehind) {
  launch();
  auto session = screen_->cameraController()->session();
  session->stopRunning();
  os::NotificationCenter::defaultCenter()->postNotificationName(kWatchTakePhotoCommand, nullptr);
  // The failed capture came back (the command ran: it marked a request).
  ASSERT_TRUE(waitFor([&] { return !screen_->watchPhotoRequests().hasPendingRequest(); }));
  host_->runUntilIdle();
  EXPECT_EQ(screen_->lastPhotoOverlay(), nullptr);

  session->startRunning();
  press(screen_->createLogBtn());
  ASSERT_TRUE(waitFor([&] { return preview() != nullptr; }));
  EXPECT_TRUE(PhotoLibrarySimulator::savedPhotoPaths().empty());
}

TEST_F(MainScreenPhotoTest, WatchCommandsTakeThePhotoThenFlip) {
  WatchSimulator::setPaired(true);
  WatchSimulator::setWatchAppInstalled(true);
  launch();
  ASSERT_EQ(screen_->cameraController()->currentCameraDevice()->position(), AVCaptureDevicePosition::Back);
  WatchSimulator::sendUserInfo({{kWatchTakePhotoCommand, os::Value(1)}, {kWatchFlipCameraCommand, os::Value(1)}});
  auto front = [&] {
    return screen_->cameraController()->currentCameraDevice()->position() == AVCaptureDevicePosition::Front;
  };
  ASSERT_TRUE(waitFor([&] { return savedPhotos() == 1 && front() && toastShown() && readingSettled(*screen_); }));
  EXPECT_EQ(preview(), nullptr);

  // Zoom: the next step, and the watch told (only while reachable). Coming
  // into reach queues the full payload first.
  WatchSimulator::setReachable(true);
  ASSERT_TRUE(waitFor([] { return queuedTransferHolds(kWatchCompensationValueKey); }));
  (void)WatchSimulator::deliverUserInfoTransfers();
  WatchSimulator::sendUserInfo({{kWatchChangeZoomCommand, os::Value(1)}});
  ASSERT_TRUE(waitFor([] { return queuedTransferHolds(kWatchZoomValueKey); }));
  EXPECT_EQ(screen_->cameraController()->currentZoomValue(), 2.0);
  auto delivered = WatchSimulator::deliverUserInfoTransfers();
  ASSERT_FALSE(delivered.empty());
  EXPECT_EQ(delivered.back(), (os::Dictionary{{kWatchZoomValueKey, os::Value(2.0)}}));
}

TEST_F(MainScreenPhotoTest, ReachabilityResendsTheReadingAndTheFullPayload) {
  WatchSimulator::setPaired(true);
  WatchSimulator::setWatchAppInstalled(true);
  WatchSimulator::setReachable(true);
  os::UserDefaults::standardUserDefaults()->setDouble(150, kCompensateKey);
  launch();
  const std::string reading = screen_->tempReading()->text();
  ASSERT_FALSE(reading.empty());
  // The watch goes away with the reading still queued (its delegate call
  // done), then comes back: the reading is sent again, then the full payload.
  WatchSimulator::setReachable(false);
  host_->runUntilIdle();
  WatchSimulator::setReachable(true);
  ASSERT_TRUE(waitFor([] { return queuedTransferHolds(kWatchCompensationValueKey); }));

  auto delivered = WatchSimulator::deliverUserInfoTransfers();
  ASSERT_GE(delivered.size(), 2u);
  const os::Dictionary& full = delivered.back();
  EXPECT_EQ(full.at(kWatchWBValueKey), os::Value(reading));
  EXPECT_EQ(full.at(kWatchCompensationValueKey), os::Value(150.0));
  EXPECT_EQ(full.at(kWatchZoomValueKey), os::Value(1.0));
  ASSERT_NE(full.at(kWatchSliderKey).data(), nullptr);
  EXPECT_FALSE(full.at(kWatchSliderKey).data()->empty());
  // Before it: the last queued reading, sent again.
  const os::Dictionary& resent = delivered[delivered.size() - 2];
  EXPECT_EQ(resent.at(kWatchWBValueKey), os::Value(reading));
  EXPECT_FALSE(resent.contains(kWatchCompensationValueKey));
}

TEST_F(MainScreenPhotoTest, GeotagPutsThePlaceOnTheNextPhoto) {
  os::LocationSimulator::setPlacemarks({std::make_shared<CLPlacemark>(
      CLPlacemark::Fields{.name = std::string("Baker Street"), .administrativeArea = std::string("Greater London")})});
  GeoTagManager().setIsGeoTagEnabled(true);
  launch();
  ASSERT_NE(screen_->geoTagLocation()->locationManager(), nullptr);
  os::LocationSimulator::setLocation(std::make_shared<CLLocation>(51.52, -0.16));
  ASSERT_TRUE(waitFor([&] { return screen_->userAddress() == "Baker Street, Greater London"; }));

  press(screen_->createLogBtn());
  ASSERT_TRUE(waitFor([&] { return preview() != nullptr; }));
  auto overlay = screen_->lastPhotoOverlay();
  ASSERT_NE(overlay, nullptr);
  EXPECT_EQ(overlay->userAddressLbl()->text(), "Baker Street, Greater London");
  EXPECT_FALSE(overlay->locationView()->isHidden());
  EXPECT_FALSE(overlay->markerImg()->isHidden());
  preview()->dismissAction();
  ASSERT_TRUE(waitFor([&] { return screen_->presentedViewController() == nullptr; }));

  // Off: the address goes and a later fix brings nothing back.
  screen_->geoTagManager()->setIsGeoTagEnabled(false);
  os::LocationSimulator::setLocation(std::make_shared<CLLocation>(48.85, 2.35));
  host_->runUntilIdle();
  EXPECT_EQ(screen_->userAddress(), "");
  press(screen_->createLogBtn());
  ASSERT_TRUE(waitFor([&] { return screen_->lastPhotoOverlay() != overlay; }));
  EXPECT_TRUE(screen_->lastPhotoOverlay()->locationView()->isHidden());
  EXPECT_TRUE(screen_->lastPhotoOverlay()->markerImg()->isHidden());
}

TEST_F(MainScreenPhotoTest, SettingsOpenFullScreenAndTheMeterRestartsOnReturn) {
  launch();
  press(screen_->settingsBtn());
  ASSERT_TRUE(waitFor([&] { return screen_->presentedViewController() != nullptr; }));
  auto settings = screen_->presentedViewController();
  EXPECT_NE(std::dynamic_pointer_cast<UINavigationController>(settings), nullptr);
  EXPECT_EQ(settings->modalPresentationStyle(), UIModalPresentationStyle::FullScreen);
  // The meter leaves the window, so it appears again on return.
  EXPECT_EQ(screen_->view()->window(), nullptr);
  screen_->dismissViewControllerAnimated(false);
  ASSERT_TRUE(waitFor([&] { return screen_->presentedViewController() == nullptr; }));
  EXPECT_NE(screen_->view()->window(), nullptr);
}

// The grid's 2-s return-to-yellow timer held the screen strongly, so a screen
// that was gone lived on and answered the next launch's watch (a photo saved
// twice).
TEST_F(MainScreenPhotoTest, OnlyAScreenOnDisplayAnswersTheWatchAndALeftScreenIsDestroyed) {
  launch();
  auto zoom = [&] { return screen_->cameraController()->currentZoomValue(); };
  auto watchAsksZoom = [&] {
    os::NotificationCenter::defaultCenter()->postNotificationName(kWatchChangeZoomCommand, nullptr);
    host_->runUntilIdle();
  };
  // Covered by the settings it presents, it still answers.
  press(screen_->settingsBtn());
  ASSERT_TRUE(waitFor([&] { return screen_->presentedViewController() != nullptr; }));
  watchAsksZoom();
  EXPECT_EQ(zoom(), 2.0);
  screen_->dismissViewControllerAnimated(false);
  ASSERT_TRUE(waitFor([&] { return screen_->presentedViewController() == nullptr; }));

  // Out of the window it does not; back in, it does again.
  auto window = host_->keyWindow();
  window->setRootViewController(std::make_shared<UIViewController>());
  watchAsksZoom();
  EXPECT_EQ(zoom(), 2.0);
  window->setRootViewController(screen_);
  watchAsksZoom();
  EXPECT_NE(zoom(), 2.0);

  // Left for good, with the grid's timer still pending, it goes.
  window->setRootViewController(std::make_shared<UIViewController>());
  std::weak_ptr<NewLandingViewController> left = screen_;
  screen_.reset();
  drain();
  EXPECT_TRUE(left.expired());
}

}  // namespace
