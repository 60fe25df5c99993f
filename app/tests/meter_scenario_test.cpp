// The meter on the host: the app launched with its delegate, the simulated
// camera before a scene, the reading on screen and on the watch.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "app/controls/grid_view.h"
#include "app/controls/sliders.h"
#include "app/screens/app_delegate.h"
#include "app/screens/main_storyboard.h"
#include "app/screens/new_landing_view_controller.h"
#include "app/screens/white_balance_reading.h"
#include "app/tests/app_test_support.h"
#include "app/watch/watch_link.h"
#include "os/avfoundation/avfoundation.h"
#include "os/foundation/format.h"
#include "os/uikit/app_host.h"
#include "os/uikit/view_controller.h"

namespace {

using drosil::testing::AppTest;
using os::CameraSimulator;

class MeterScenarioTest : public AppTest {
 protected:
  ~MeterScenarioTest() override {
    if (host_.isLaunched() && !host_.isTerminated()) (void)host_.terminate();
  }

  void launch() {
    registerMainStoryboard();
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
    ASSERT_TRUE(host_.launch("", kAppDelegateClassName).has_value());
    host_.runUntilIdle();
    screen_ = std::dynamic_pointer_cast<NewLandingViewController>(host_.keyWindow()->rootViewController());
    ASSERT_NE(screen_, nullptr);
    ASSERT_NE(screen_->cameraController(), nullptr);
  }
  // Puts the light before the camera and waits until the screen shows its
  // settled reading.
  void showScene(double kelvin) {
    CameraSimulator::setScene(*os::CaptureScene::lightSource(kelvin));
    ASSERT_TRUE(drosil::testing::runUntil(host_, [&] { return drosil::testing::readingSettled(*screen_); }));
  }

  // What the display should show for the device's current state.
  struct Expected {
    float temperature, tint, shown;
  };
  Expected expected(float compensation) {
    auto controller = screen_->cameraController();
    auto device = controller->currentCameraDevice();
    auto values = device->temperatureAndTintValuesForDeviceWhiteBalanceGains(*controller->normalizedGains());
    EXPECT_TRUE(values.has_value());
    return {values->temperature, values->tint, compensation + values->temperature};
  }

  void expectReading(const Expected& e) {
    EXPECT_EQ(screen_->tempReading()->text(), os::format("%.0fK", e.shown));
    EXPECT_EQ(screen_->tintReading()->text(), os::format("%.2f", e.tint));
    const LightSource& source = lightSourceForTemperature(e.shown);
    EXPECT_EQ(screen_->lightTypeLbl()->text(), source.name);
    ASSERT_NE(screen_->lightTypeImg()->image(), nullptr);
    EXPECT_EQ(screen_->lightTypeImg()->image(), UIImage::imageNamed(source.icon));
    EXPECT_EQ(screen_->cctTempSlider()->slider()->value(), temperatureSliderIndex(e.shown));
    EXPECT_EQ(screen_->watchCctTempSlider()->value(), temperatureSliderIndex(e.shown));
  }

  os::uikit::ApplicationHost host_;
  std::shared_ptr<NewLandingViewController> screen_;
};

TEST_F(MeterScenarioTest, DaylightReadingWithAndWithoutCompensation) {
  launch();
  showScene(5500);
  const Expected plain = expected(0);
  EXPECT_NEAR(plain.temperature, 5500, 5);
  expectReading(plain);
  EXPECT_EQ(screen_->tempReading()->text(), os::format("%.0fK", plain.temperature));
  EXPECT_EQ(screen_->cctTempSlider()->slider()->value(), 19);  // the 5400 .. 5700 K band
  EXPECT_TRUE(screen_->compensateBubbleView()->isHidden());
  // Steady: the grid is yellow, and still yellow after its 2 s timer.
  EXPECT_EQ(screen_->gridView()->archColor(), UIColor::systemYellowColor().cgColor());
  host_.runFor(2.5);
  EXPECT_EQ(screen_->gridView()->archColor(), UIColor::systemYellowColor().cgColor());

  // A new compensation shows at once, with the camera idle.
  screen_->compensateManager()->setValue(-300);
  host_.runUntilIdle();
  const Expected compensated = expected(-300);
  EXPECT_EQ(compensated.temperature, plain.temperature);
  expectReading(compensated);
  EXPECT_FALSE(screen_->compensateBubbleView()->isHidden());
  EXPECT_EQ(screen_->compensateBubbleLbl()->text(), "-300K");
  const int before = std::atoi(os::format("%.0f", plain.shown).c_str());
  const int after = std::atoi(screen_->tempReading()->text().c_str());
  EXPECT_EQ(before - after, 300);
  EXPECT_STREQ(lightSourceForTemperature(compensated.shown).name, "Electronic Flash \u2022 Sun Overhead");

  // Back to no compensation hides the bubble again.
  screen_->compensateManager()->setValue(0);
  host_.runUntilIdle();
  EXPECT_TRUE(screen_->compensateBubbleView()->isHidden());
  expectReading(expected(0));
}

TEST_F(MeterScenarioTest, GridIsWhiteWhileAdjustingThenYellow) {
  launch();
  showScene(5500);
  // Midway through an adjustment the last pass saw the camera adjusting.
  CameraSimulator::setScene(*os::CaptureScene::lightSource(3000));
  host_.runFor(AVCaptureDevice::kWhiteBalanceAdjustmentSeconds / 2);
  EXPECT_EQ(screen_->gridView()->archColor(), CGColor::white());
  host_.runFor(3.0);
  EXPECT_EQ(screen_->gridView()->archColor(), UIColor::systemYellowColor().cgColor());
  expectReading(expected(0));
}

TEST_F(MeterScenarioTest, ReachableWatchGetsEveryReadingUnreachableNothing) {
  launch();
  showScene(5500);
  os::WatchSimulator::setReachable(true);
  host_.runUntilIdle();
  (void)os::WatchSimulator::deliverUserInfoTransfers();

  auto device = screen_->cameraController()->currentCameraDevice();
  std::atomic<size_t> passes{0};
  auto token = device->addObserver(kAVKeyPathDeviceWhiteBalanceGains,
                                   [&](const std::string&, const AVObservedValue&) { ++passes; });
  ASSERT_TRUE(token.has_value());
  showScene(2700);
  device->removeObserver(*token);

  std::vector<os::Dictionary> readings;
  for (auto& info : os::WatchSimulator::deliverUserInfoTransfers()) {
    if (info.contains(kWatchSliderKey)) readings.push_back(info);
  }
  ASSERT_GT(passes.load(), 0u);
  EXPECT_EQ(readings.size(), passes.load());
  ASSERT_FALSE(readings.empty());
  const os::Dictionary& last = readings.back();
  EXPECT_EQ(last.size(), 3u);
  EXPECT_EQ(last.at(kWatchWBValueKey), os::Value(screen_->tempReading()->text()));
  EXPECT_EQ(last.at(kWatchZoomValueKey), os::Value(1.0));
  const os::Data* png = last.at(kWatchSliderKey).data();
  ASSERT_NE(png, nullptr);
  auto picture = CGImage::decode(*png);
  ASSERT_TRUE(picture.has_value()) << png->size();
  EXPECT_EQ((*picture)->width(), 180 * 5);
  EXPECT_EQ((*picture)->height(), 23 * 5);

  os::WatchSimulator::setReachable(false);
  host_.runUntilIdle();
  (void)os::WatchSimulator::deliverUserInfoTransfers();
  showScene(8000);
  expectReading(expected(0));  // the screen still follows
  auto delegate = std::dynamic_pointer_cast<AppDelegate>(UIApplication::sharedApplication()->delegate());
  ASSERT_NE(delegate, nullptr);
  EXPECT_TRUE(delegate->watchSession()->outstandingUserInfoTransfers().empty());
}

}  // namespace
