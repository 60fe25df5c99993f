#include "app/camera/camera_controller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <vector>

#include "app/tests/app_test_support.h"
#include "os/dispatch/notification.h"

namespace {

using drosil::testing::AppTest;
using os::CameraSimulator;

class RecordingObserver : public CameraSettingValueObserver {
 public:
  struct Call {
    std::string setting;
    CameraSettingValue value;
  };
  void cameraSettingWithSetting(const std::string& setting, const CameraSettingValue& value) override {
    std::lock_guard lock(mutex_);
    calls_.push_back({setting, value});
  }
  std::vector<Call> calls(const std::string& setting) {
    std::lock_guard lock(mutex_);
    std::vector<Call> out;
    for (const auto& c : calls_) {
      if (c.setting == setting) out.push_back(c);
    }
    return out;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<Call> calls_;
};

class CameraControllerTest : public AppTest {
 protected:
  CameraControllerTest() {
    os::NotificationCenter::defaultCenter()->addObserver(
        this, [this](const os::Notification&) { ++noPermission_; }, kNoCameraPermissionNotification, nullptr);
  }
  ~CameraControllerTest() override { os::NotificationCenter::defaultCenter()->removeObserver(this); }

  std::shared_ptr<CameraController> make() {
    auto controller = CameraController::create(CameraControllePreviewType::PreviewLayer, {});
    drain();
    return controller;
  }
  void start(const std::shared_ptr<CameraController>& controller) {
    controller->performOnSessionQueue([controller] { controller->startSession(); });
    drain();
  }
  void flip(const std::shared_ptr<CameraController>& controller) {
    controller->performOnSessionQueue([controller] { controller->flipCamera(); });
    drain();
  }
  // Lets one white-balance adjustment run to its end.
  void settle() { clock().advance(AVCaptureDevice::kWhiteBalanceAdjustmentSeconds + 0.1); }
  static void setScene(double kelvin) { CameraSimulator::setScene(*os::CaptureScene::lightSource(kelvin)); }

  std::atomic<int> noPermission_{0};
};

TEST_F(CameraControllerTest, RefusedPermissionPostsOnceAndConfiguresNothing) {
  struct Case {
    AVAuthorizationStatus status;
    bool answer;
  };
  for (const Case& c : {Case{AVAuthorizationStatus::Denied, true}, Case{AVAuthorizationStatus::Restricted, true},
                        Case{AVAuthorizationStatus::NotDetermined, false}}) {
    SCOPED_TRACE(static_cast<int>(c.status));
    CameraSimulator::reset();
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, c.status);
    CameraSimulator::setAccessAnswer(AVMediaTypeVideo, c.answer);
    noPermission_ = 0;
    auto controller = make();
    EXPECT_EQ(noPermission_, 1);
    EXPECT_TRUE(controller->session()->inputs().empty());
    EXPECT_TRUE(controller->session()->outputs().empty());

    // A later start still observes the default device and runs the empty session.
    start(controller);
    EXPECT_EQ(controller->TEST_observationCount(), 7u);
    EXPECT_TRUE(controller->session()->isRunning());
  }
}

TEST_F(CameraControllerTest, AuthorisedOrGrantedConfiguresTheBackCamera) {
  for (auto status : {AVAuthorizationStatus::Authorized, AVAuthorizationStatus::NotDetermined}) {
    CameraSimulator::reset();
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, status);
    auto controller = make();
    EXPECT_EQ(noPermission_, 0);
    ASSERT_NE(controller->currentCameraDevice(), nullptr);
    EXPECT_EQ(controller->currentCameraDevice(), controller->backCameraDevice());
    EXPECT_EQ(controller->frontCameraDevice()->position(), AVCaptureDevicePosition::Front);
    EXPECT_EQ(controller->session()->inputs().size(), 1u);
    EXPECT_EQ(controller->session()->videoDevice(), controller->backCameraDevice());
    ASSERT_EQ(controller->session()->outputs().size(), 1u);
    EXPECT_EQ(controller->session()->outputs()[0], controller->stillImageOutput());
    EXPECT_TRUE(controller->session()->isRunning());
    // The video output is made but never joins the session.
    EXPECT_NE(controller->videoOutput(), nullptr);
  }
}

TEST_F(CameraControllerTest, FlipSwitchesCamerasAndObservesOnlyTheCurrentOne) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  start(controller);
  auto back = controller->backCameraDevice();
  flip(controller);
  EXPECT_EQ(controller->currentCameraDevice(), controller->frontCameraDevice());
  EXPECT_EQ(controller->session()->videoDevice(), controller->frontCameraDevice());
  flip(controller);
  EXPECT_EQ(controller->currentCameraDevice(), back);
  EXPECT_EQ(controller->session()->inputs().size(), 1u);
  EXPECT_EQ(controller->session()->videoDevice(), back);
  EXPECT_EQ(controller->TEST_observationCount(), 7u);
}

TEST_F(CameraControllerTest, OnlyAFrontCamera) {
  auto specs = CameraSimulator::defaultDeviceSpecs();
  std::erase_if(specs, [](const auto& s) { return s.position == AVCaptureDevicePosition::Back; });
  CameraSimulator::setDevices(specs);
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  EXPECT_EQ(controller->currentCameraDevice(), nullptr);
  EXPECT_TRUE(controller->session()->inputs().empty());

  // Absent equals absent: the flip picks the front camera and observes it.
  flip(controller);
  ASSERT_NE(controller->currentCameraDevice(), nullptr);
  EXPECT_EQ(controller->currentCameraDevice()->position(), AVCaptureDevicePosition::Front);
  EXPECT_EQ(controller->session()->inputs().size(), 1u);
  EXPECT_EQ(controller->TEST_observationCount(), 7u);
}

TEST_F(CameraControllerTest, DeliversConvertedGainsToEachRegistrationInOrder) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  auto first = std::make_shared<RecordingObserver>();
  auto second = std::make_shared<RecordingObserver>();
  controller->registerObserver(first, kCameraControlObservableSettingWBGains);
  controller->registerObserver(first, kCameraControlObservableSettingWBGains);
  controller->registerObserver(second, kCameraControlObservableSettingAdjustingWhiteBalance);
  start(controller);
  settle();
  first->clear();
  second->clear();

  setScene(3200);
  settle();
  auto device = controller->currentCameraDevice();
  const auto gains = first->calls(kCameraControlObservableSettingWBGains);
  ASSERT_GE(gains.size(), 2u);
  EXPECT_EQ(gains.size() % 2, 0u);
  // Registered twice: each change arrives twice, back to back.
  const auto* a = std::get_if<std::shared_ptr<WhiteBalanceValues>>(&gains[gains.size() - 2].value);
  const auto* b = std::get_if<std::shared_ptr<WhiteBalanceValues>>(&gains.back().value);
  ASSERT_TRUE(a && b);
  EXPECT_EQ((*a)->temperature, (*b)->temperature);
  const auto expected = device->temperatureAndTintValuesForDeviceWhiteBalanceGains(device->deviceWhiteBalanceGains());
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ((*b)->temperature, expected->temperature);
  EXPECT_EQ((*b)->tint, expected->tint);
  EXPECT_NEAR((*b)->temperature, 3200, 10);

  // Other settings arrive as the device supplied them.
  const auto adjusting = second->calls(kCameraControlObservableSettingAdjustingWhiteBalance);
  ASSERT_FALSE(adjusting.empty());
  const auto* flag = std::get_if<os::Value>(&adjusting.back().value);
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(*flag, os::Value(false));
  EXPECT_TRUE(second->calls(kCameraControlObservableSettingWBGains).empty());
}

// A restart used to add the device's seven observations again, repeating
// every change callback once per start.
TEST_F(CameraControllerTest, RestartDoesNotObserveTwice) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  auto observer = std::make_shared<RecordingObserver>();
  controller->registerObserver(observer, kCameraControlObservableSettingWBGains);
  start(controller);
  start(controller);
  start(controller);
  EXPECT_EQ(controller->TEST_observationCount(), 7u);
  settle();
  observer->clear();
  auto device = controller->currentCameraDevice();
  std::atomic<size_t> changes{0};
  auto token = device->addObserver(kAVKeyPathDeviceWhiteBalanceGains,
                                   [&](const std::string&, const AVObservedValue&) { ++changes; });
  ASSERT_TRUE(token.has_value());
  setScene(7000);
  settle();
  device->removeObserver(*token);
  drain();
  ASSERT_GT(changes.load(), 0u);
  EXPECT_EQ(observer->calls(kCameraControlObservableSettingWBGains).size(), changes.load());
}

TEST_F(CameraControllerTest, ObserversAreNotKeptAliveAndControllerGoesQuietly) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  auto observer = std::make_shared<RecordingObserver>();
  std::weak_ptr<RecordingObserver> weakObserver = observer;
  controller->registerObserver(observer, kCameraControlObservableSettingWBGains);
  start(controller);
  observer.reset();
  EXPECT_TRUE(weakObserver.expired());
  setScene(4000);
  settle();  // no observer: nothing to call, nothing breaks

  std::weak_ptr<CameraController> weakController = controller;
  controller->session()->stopRunning();
  controller.reset();
  drain();
  EXPECT_TRUE(weakController.expired());
}

TEST_F(CameraControllerTest, UnknownContextAndMissingValues) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  auto observer = std::make_shared<RecordingObserver>();
  controller->registerObserver(observer, kCameraControlUnknownContext);
  controller->registerObserver(observer, kCameraControlObservableSettingLensPosition);
  int elsewhere = 0;
  controller->observeValueForKeyPath("x", AVObservedValue(os::Value(1.0f)), &elsewhere);
  controller->observeValueForKeyPath("x", std::nullopt, &elsewhere);
  controller->observeValueForKeyPath("x", AVObservedValue(os::Value(1.0f)), nullptr);
  EXPECT_EQ(observer->calls(kCameraControlUnknownContext).size(), 1u);
  EXPECT_TRUE(observer->calls(kCameraControlObservableSettingLensPosition).empty());
}

TEST_F(CameraControllerTest, NormalizedGainsAreClampedToTheDeviceRange) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  start(controller);
  setScene(2500);  // warm light: a large blue gain
  settle();
  auto device = controller->currentCameraDevice();
  const AVCaptureWhiteBalanceGains raw = device->deviceWhiteBalanceGains();
  ASSERT_GT(raw.blueGain, 1.5f);
  CameraSimulator::setMaxWhiteBalanceGain(device, 1.5f);
  const auto clamped = controller->normalizedGains();
  ASSERT_TRUE(clamped.has_value());
  EXPECT_EQ(clamped->blueGain, 1.5f);
  EXPECT_EQ(clamped->redGain, std::min(std::max(raw.redGain, 1.0f), 1.5f));
  EXPECT_GE(clamped->greenGain, 1.0f);
}

// The zoom steps 1, 2 and 3 were applied unchecked; a device with a smaller
// range refused the factor and kept its old zoom.
TEST_F(CameraControllerTest, ZoomIsClampedToTheDeviceRange) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto specs = CameraSimulator::defaultDeviceSpecs();
  for (auto& s : specs) s.maxAvailableVideoZoomFactor = 2.5;
  CameraSimulator::setDevices(specs);
  auto controller = make();
  auto device = controller->currentCameraDevice();
  const std::pair<CGFloat, CGFloat> cases[] = {{2.0, 2.0}, {3.0, 2.5}, {0.5, 1.0}, {1.0, 1.0}};
  for (const auto& [factor, expected] : cases) {
    controller->setZoom(device, factor);
    EXPECT_EQ(device->videoZoomFactor(), expected) << factor;
  }
  controller->setZoom(device, std::numeric_limits<CGFloat>::quiet_NaN());
  EXPECT_EQ(device->videoZoomFactor(), 1.0);

  // A lock failure leaves the zoom as it was.
  CameraSimulator::setLockError(device, AVMakeError(AVErrorDeviceLockedForConfigurationByAnotherProcess, "locked"));
  controller->setZoom(device, 2.0);
  EXPECT_EQ(device->videoZoomFactor(), 1.0);
}

TEST_F(CameraControllerTest, StartPostsWithTheControllerAndAttachesPreview) {
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
  auto controller = make();
  std::vector<const void*> objects;
  std::mutex mutex;
  os::NotificationCenter::defaultCenter()->addObserver(
      &objects,
      [&](const os::Notification& n) {
        std::lock_guard lock(mutex);
        objects.push_back(n.object);
      },
      kCameraControllerDidStartSessionNotification, nullptr);
  start(controller);
  start(controller);
  os::NotificationCenter::defaultCenter()->removeObserver(&objects);
  EXPECT_EQ(objects, (std::vector<const void*>{controller.get(), controller.get()}));

  auto layer = AVCaptureVideoPreviewLayer::layer();
  controller->attachPreviewLayer(layer);
  EXPECT_EQ(layer->session(), controller->session());
  EXPECT_EQ(layer->videoGravity(), AVLayerVideoGravityResizeAspectFill);
  EXPECT_EQ(controller->previewLayer(), layer);
}

}  // namespace
