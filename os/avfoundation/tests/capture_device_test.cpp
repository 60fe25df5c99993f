#include "os/avfoundation/capture_device.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "os/avfoundation/capture_session.h"
#include "os/dispatch/manual_clock.h"
#include "os/dispatch/queue.h"

namespace {

using os::CameraSimulator;
using os::CaptureScene;

// Everything one device reported, in order.
struct Recorder {
  struct Change {
    std::string keyPath;
    AVObservedValue value;
    bool onMainThread;
    std::string queueLabel;
  };
  std::mutex mutex;
  std::vector<Change> changes;

  AVKeyValueObserver observer() {
    return [this](const std::string& keyPath, const AVObservedValue& value) {
      std::lock_guard lock(mutex);
      changes.push_back({keyPath, value, os::DispatchQueue::isMainThread(), os::DispatchQueue::currentLabel()});
    };
  }
  std::vector<Change> take() {
    os::dispatch::drainUntilIdle();
    std::lock_guard lock(mutex);
    return std::exchange(changes, {});
  }
  static std::vector<AVCaptureWhiteBalanceGains> gains(const std::vector<Change>& changes) {
    std::vector<AVCaptureWhiteBalanceGains> out;
    for (const auto& c : changes) {
      if (auto g = std::get_if<AVCaptureWhiteBalanceGains>(&c.value)) out.push_back(*g);
    }
    return out;
  }
};

class CaptureDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CameraSimulator::reset();
    CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Authorized);
    device_ = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
    ASSERT_NE(device_, nullptr);
  }
  void TearDown() override {
    if (session_) session_->stopRunning();
    os::dispatch::drainUntilIdle();
    CameraSimulator::reset();
  }

  // Starts a session on the device and lets the first adjustment settle.
  void startStreaming() {
    session_ = AVCaptureSession::create();
    ASSERT_TRUE(session_->addInput(*AVCaptureDeviceInput::deviceInputWithDevice(device_)).has_value());
    session_->startRunning();
    settle();
  }

  // Advances the clock through one whole white-balance adjustment.
  void settle() {
    clock_->advanceNanos(AVCaptureDevice::kWhiteBalanceAdjustmentSteps *
                         AVCaptureDevice::kWhiteBalanceAdjustmentStepNanos);
  }

  double temperatureOf(const AVCaptureWhiteBalanceGains& gains) {
    return device_->temperatureAndTintValuesForDeviceWhiteBalanceGains(gains)->temperature;
  }

  os::ManualClockScope clock_;
  // Observers outlive the device's pending callbacks.
  Recorder recorder_, other_;
  std::shared_ptr<AVCaptureDevice> device_;
  std::shared_ptr<AVCaptureSession> session_;
};

TEST_F(CaptureDeviceTest, SceneChangeAdjustsGainsStepByStepUnderTheClock) {
  Recorder& recorder = recorder_;
  for (const char* keyPath : {kAVKeyPathDeviceWhiteBalanceGains, kAVKeyPathAdjustingWhiteBalance}) {
    ASSERT_TRUE(device_->addObserver(keyPath, recorder.observer()).has_value());
  }
  startStreaming();
  recorder.take();
  const AVCaptureWhiteBalanceGains before = device_->deviceWhiteBalanceGains();
  EXPECT_NEAR(temperatureOf(before), 5000, 5);

  CameraSimulator::setScene(*CaptureScene::lightSource(2800, 0.001));
  auto changes = recorder.take();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].keyPath, kAVKeyPathAdjustingWhiteBalance);
  EXPECT_EQ(std::get<os::Value>(changes[0].value), os::Value(true));
  EXPECT_TRUE(device_->isAdjustingWhiteBalance());

  // Each step moves the gains further towards the scene, all the way.
  double previous = temperatureOf(before);
  for (int i = 1; i <= AVCaptureDevice::kWhiteBalanceAdjustmentSteps; ++i) {
    clock_->advanceNanos(AVCaptureDevice::kWhiteBalanceAdjustmentStepNanos);
    auto stepChanges = recorder.take();
    auto gains = Recorder::gains(stepChanges);
    ASSERT_EQ(gains.size(), 1u) << "step " << i;
    const double t = temperatureOf(gains[0]);
    EXPECT_LT(t, previous) << "step " << i;
    previous = t;
    EXPECT_EQ(device_->isAdjustingWhiteBalance(), i < AVCaptureDevice::kWhiteBalanceAdjustmentSteps);
    for (const auto& c : stepChanges) {
      EXPECT_FALSE(c.onMainThread);
      EXPECT_EQ(c.queueLabel, device_->observationQueue()->label());
    }
  }
  auto settled = device_->temperatureAndTintValuesForDeviceWhiteBalanceGains(device_->deviceWhiteBalanceGains());
  EXPECT_NEAR(settled->temperature, 2800, 28);
  EXPECT_NEAR(settled->tint, 3.0, 0.05);
  EXPECT_FLOAT_EQ(std::min({device_->deviceWhiteBalanceGains().redGain, device_->deviceWhiteBalanceGains().greenGain,
                            device_->deviceWhiteBalanceGains().blueGain}),
                  1.0f);

  // Nothing more is pending once settled.
  clock_->advance(1.0);
  EXPECT_TRUE(recorder.take().empty());
}

TEST_F(CaptureDeviceTest, NewSceneDuringAdjustmentSupersedesTheOldOne) {
  startStreaming();
  CameraSimulator::setScene(*CaptureScene::lightSource(3000));
  clock_->advance(0.1);
  CameraSimulator::setScene(*CaptureScene::lightSource(9000));
  settle();
  EXPECT_FALSE(device_->isAdjustingWhiteBalance());
  EXPECT_NEAR(temperatureOf(device_->deviceWhiteBalanceGains()), 9000, 90);
}

TEST_F(CaptureDeviceTest, DeviceAdjustsOnlyWhileStreaming) {
  CameraSimulator::setScene(*CaptureScene::lightSource(3000));
  clock_->advance(1.0);
  EXPECT_NEAR(temperatureOf(device_->deviceWhiteBalanceGains()), 5000, 5);
  EXPECT_FALSE(device_->isAdjustingWhiteBalance());

  // Starting the session brings the gains to the scene in front.
  startStreaming();
  EXPECT_NEAR(temperatureOf(device_->deviceWhiteBalanceGains()), 3000, 5);

  // Stopping mid-adjustment ends it where it is.
  CameraSimulator::setScene(*CaptureScene::lightSource(7000));
  clock_->advance(0.1);
  session_->stopRunning();
  EXPECT_FALSE(device_->isAdjustingWhiteBalance());
  const auto frozen = device_->deviceWhiteBalanceGains();
  clock_->advance(1.0);
  EXPECT_EQ(device_->deviceWhiteBalanceGains(), frozen);
}

TEST_F(CaptureDeviceTest, GainsStayWithinTheMaximum) {
  CameraSimulator::setMaxWhiteBalanceGain(device_, 2.0f);
  EXPECT_FLOAT_EQ(device_->maxWhiteBalanceGain(), 2.0f);
  CameraSimulator::setScene(*CaptureScene::lightSource(2000));
  startStreaming();
  const auto g = device_->deviceWhiteBalanceGains();
  EXPECT_LE(std::max({g.redGain, g.greenGain, g.blueGain}), 2.0f);
  EXPECT_FLOAT_EQ(g.blueGain, 2.0f);
}

TEST_F(CaptureDeviceTest, ImageScenesUseGreyWorld) {
  // A neutral sRGB image is lit by D65.
  auto grey = CaptureScene::image(4, 2, std::vector<uint8_t>(4 * 2 * 3, 128));
  ASSERT_TRUE(grey.has_value());
  CameraSimulator::setScene(*grey);
  startStreaming();
  EXPECT_NEAR(temperatureOf(device_->deviceWhiteBalanceGains()), 6504, 10);

  // A black image gives grey world nothing: the gains stay.
  const auto before = device_->deviceWhiteBalanceGains();
  CameraSimulator::setScene(*CaptureScene::image(2, 2, std::vector<uint8_t>(12, 0)));
  clock_->advance(1.0);
  EXPECT_EQ(device_->deviceWhiteBalanceGains(), before);

  EXPECT_FALSE(CaptureScene::image(2, 2, std::vector<uint8_t>(11, 0)).has_value());
  EXPECT_FALSE(CaptureScene::image(0, 2, {}).has_value());
  EXPECT_FALSE(CaptureScene::lightSource(NAN).has_value());
  EXPECT_FALSE(CaptureScene::lightSource(500).has_value());
}

TEST_F(CaptureDeviceTest, RemovedObserverIsNotCalled) {
  Recorder &kept = recorder_, &removed = other_;
  ASSERT_TRUE(device_->addObserver(kAVKeyPathDeviceWhiteBalanceGains, kept.observer()).has_value());
  auto token = device_->addObserver(kAVKeyPathDeviceWhiteBalanceGains, removed.observer());
  ASSERT_TRUE(token.has_value());
  device_->removeObserver(*token);
  startStreaming();
  EXPECT_EQ(Recorder::gains(kept.take()).size(), size_t(AVCaptureDevice::kWhiteBalanceAdjustmentSteps));
  EXPECT_TRUE(removed.take().empty());

  auto unknown = device_->addObserver("whiteBalanceMood", kept.observer());
  ASSERT_FALSE(unknown.has_value());
  EXPECT_EQ(unknown.error().domain(), AVFoundationErrorDomain);
}

TEST_F(CaptureDeviceTest, ConfigurationNeedsTheLock) {
  EXPECT_FALSE(device_->setVideoZoomFactor(2.0).has_value());
  ASSERT_TRUE(device_->lockForConfiguration().has_value());
  EXPECT_TRUE(device_->setVideoZoomFactor(3.0).has_value());
  EXPECT_DOUBLE_EQ(device_->videoZoomFactor(), 3.0);
  for (double bad : {0.5, device_->maxAvailableVideoZoomFactor() + 1, double(NAN)}) {
    EXPECT_FALSE(device_->setVideoZoomFactor(bad).has_value()) << bad;
  }
  EXPECT_DOUBLE_EQ(device_->videoZoomFactor(), 3.0);
  EXPECT_GE(device_->activeFormat()->videoMaxZoomFactor(), device_->maxAvailableVideoZoomFactor());
  device_->unlockForConfiguration();
  EXPECT_FALSE(device_->setFocusMode(AVCaptureFocusMode::AutoFocus).has_value());

  CameraSimulator::setLockError(device_, AVMakeError(AVErrorDeviceLockedForConfigurationByAnotherProcess, "busy"));
  auto locked = device_->lockForConfiguration();
  ASSERT_FALSE(locked.has_value());
  EXPECT_EQ(locked.error().code(), AVErrorDeviceLockedForConfigurationByAnotherProcess);
}

TEST_F(CaptureDeviceTest, AutoFocusScanReportsLensPosition) {
  Recorder& recorder = recorder_;
  for (const char* keyPath : {kAVKeyPathAdjustingFocus, kAVKeyPathLensPosition}) {
    ASSERT_TRUE(device_->addObserver(keyPath, recorder.observer()).has_value());
  }
  ASSERT_TRUE(device_->lockForConfiguration().has_value());
  ASSERT_TRUE(device_->isFocusPointOfInterestSupported());
  ASSERT_TRUE(device_->setFocusPointOfInterest({0.25, 1.0}).has_value());
  EXPECT_FALSE(device_->setFocusPointOfInterest({1.5, 0.5}).has_value());
  ASSERT_TRUE(device_->setFocusMode(AVCaptureFocusMode::AutoFocus).has_value());
  device_->unlockForConfiguration();
  EXPECT_TRUE(device_->isAdjustingFocus());
  clock_->advanceNanos(AVCaptureDevice::kAutoAdjustmentNanos);
  EXPECT_FALSE(device_->isAdjustingFocus());
  auto changes = recorder.take();
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].keyPath, kAVKeyPathAdjustingFocus);
  EXPECT_EQ(changes[1].keyPath, kAVKeyPathLensPosition);
  EXPECT_NEAR(std::get<os::Value>(changes[1].value).doubleValue(), device_->lensPosition(), 1e-6);
  EXPECT_EQ(std::get<os::Value>(changes[2].value), os::Value(false));
}

TEST_F(CaptureDeviceTest, FrontCameraHasNoFocusPointButExposes) {
  auto front = AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera,
                                                            AVMediaTypeVideo, AVCaptureDevicePosition::Front);
  ASSERT_NE(front, nullptr);
  ASSERT_TRUE(front->lockForConfiguration().has_value());
  EXPECT_FALSE(front->isFocusPointOfInterestSupported());
  EXPECT_FALSE(front->setFocusPointOfInterest({0.5, 0.5}).has_value());
  EXPECT_FALSE(front->isFocusModeSupported(AVCaptureFocusMode::AutoFocus));
  ASSERT_TRUE(front->isExposurePointOfInterestSupported());
  EXPECT_TRUE(front->setExposurePointOfInterest({0.2, 0.3}).has_value());
  EXPECT_TRUE(front->setExposureMode(AVCaptureExposureMode::AutoExpose).has_value());
  EXPECT_TRUE(front->isAdjustingExposure());
  front->unlockForConfiguration();
  clock_->advanceNanos(AVCaptureDevice::kAutoAdjustmentNanos);
  EXPECT_FALSE(front->isAdjustingExposure());
  EXPECT_EQ(front->exposurePointOfInterest(), (CGPoint{0.2, 0.3}));
}

TEST_F(CaptureDeviceTest, DiscoveryFollowsTheSimulatedHardware) {
  auto all = AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
      {AVCaptureDeviceTypeBuiltInWideAngleCamera}, AVMediaTypeVideo, AVCaptureDevicePosition::Unspecified);
  ASSERT_EQ(all->devices().size(), 2u);
  EXPECT_EQ(all->devices()[0]->position(), AVCaptureDevicePosition::Back);
  EXPECT_EQ(all->devices()[1]->position(), AVCaptureDevicePosition::Front);
  EXPECT_EQ(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeAudio), nullptr);

  CameraSimulator::setDevices({CameraSimulator::defaultDeviceSpecs()[1]});
  EXPECT_EQ(AVCaptureDevice::defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo,
                                                         AVCaptureDevicePosition::Back),
            nullptr);
  auto only = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
  ASSERT_NE(only, nullptr);
  EXPECT_EQ(only->position(), AVCaptureDevicePosition::Front);
}

TEST(CaptureAuthorizationTest, AsksOnceThenAnswersFromTheStatus) {
  CameraSimulator::reset();
  struct Case {
    bool answer;
    AVAuthorizationStatus status;
  };
  for (const Case c : {Case{false, AVAuthorizationStatus::Denied}, Case{true, AVAuthorizationStatus::Authorized}}) {
    CameraSimulator::reset();
    CameraSimulator::setAccessAnswer(AVMediaTypeVideo, c.answer);
    EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::NotDetermined);
    std::mutex mutex;
    std::vector<std::pair<bool, bool>> answers;  // granted, on main thread
    for (int i = 0; i < 2; ++i) {
      AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool granted) {
        std::lock_guard lock(mutex);
        answers.emplace_back(granted, os::DispatchQueue::isMainThread());
      });
    }
    os::dispatch::drainUntilIdle();
    ASSERT_EQ(answers.size(), 2u);
    for (const auto& [granted, onMain] : answers) {
      EXPECT_EQ(granted, c.answer);
      EXPECT_FALSE(onMain);
    }
    EXPECT_EQ(CameraSimulator::accessRequestCount(AVMediaTypeVideo), 1);
    EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), c.status);
  }
  // Restricted is never asked about.
  CameraSimulator::reset();
  CameraSimulator::setAuthorizationStatus(AVMediaTypeVideo, AVAuthorizationStatus::Restricted);
  AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [](bool granted) { EXPECT_FALSE(granted); });
  os::dispatch::drainUntilIdle();
  EXPECT_EQ(CameraSimulator::accessRequestCount(AVMediaTypeVideo), 0);
  CameraSimulator::reset();
}

}  // namespace
