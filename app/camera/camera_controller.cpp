#include "app/camera/camera_controller.h"

#include <algorithm>
#include <cmath>

#include "os/dispatch/notification.h"
#include "os/foundation/console.h"

std::shared_ptr<CameraController> CameraController::create(CameraControllePreviewType previewType,
                                                           std::weak_ptr<CameraControllerDelegate> delegate) {
  auto controller = std::make_shared<CameraController>(Passkey{}, previewType, std::move(delegate));
  controller->configure();
  return controller;
}

CameraController::CameraController(Passkey, CameraControllePreviewType previewType,
                                   std::weak_ptr<CameraControllerDelegate> delegate)
    : delegate_(std::move(delegate)),
      previewType_(previewType),
      sessionQueue_(os::DispatchQueue::create(kCameraSessionQueueLabel, os::DispatchQueue::Attributes::Serial,
                                              os::QualityOfService::Default)),
      session_(AVCaptureSession::create()),
      stillImageOutput_(AVCapturePhotoOutput::create()),
      currentCameraDevice_(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo)) {}

CameraController::~CameraController() {
  std::lock_guard lock(mutex_);
  removeObservationsLocked();
}

void CameraController::removeObservationsLocked() {
  if (auto device = observedDevice_.lock()) {
    for (auto token : observationTokens_) device->removeObserver(token);
  }
  observationTokens_.clear();
  observedDevice_.reset();
}

// ---- Fields ----

std::shared_ptr<AVCaptureDeviceInput> CameraController::videoDeviceInput() const {
  std::lock_guard lock(mutex_);
  return videoDeviceInput_;
}
std::shared_ptr<AVCaptureVideoPreviewLayer> CameraController::previewLayer() const {
  std::lock_guard lock(mutex_);
  return previewLayer_;
}
std::shared_ptr<AVCaptureDevice> CameraController::currentCameraDevice() const {
  std::lock_guard lock(mutex_);
  return currentCameraDevice_;
}
std::shared_ptr<AVCaptureDevice> CameraController::backCameraDevice() const {
  std::lock_guard lock(mutex_);
  return backCameraDevice_;
}
std::shared_ptr<AVCaptureDevice> CameraController::frontCameraDevice() const {
  std::lock_guard lock(mutex_);
  return frontCameraDevice_;
}
std::shared_ptr<AVCaptureVideoDataOutput> CameraController::videoOutput() const {
  std::lock_guard lock(mutex_);
  return videoOutput_;
}

size_t CameraController::TEST_observationCount() const {
  std::lock_guard lock(mutex_);
  return observationTokens_.size();
}

// ---- Authorisation and set-up ----

void CameraController::configure() {
  std::weak_ptr<CameraController> weak = weak_from_this();
  auto configureAll = [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->performOnSessionQueue([weak] {
      if (auto s = weak.lock()) s->configureSession();
    });
    os::Console::writef("configureVideoOutput called\n");
    self->performOnSessionQueue([weak] {
      if (auto s = weak.lock()) s->configureVideoOutput();
    });
  };
  auto noPermission = [] {
    os::NotificationCenter::defaultCenter()->postNotificationName(kNoCameraPermissionNotification, nullptr);
  };

  switch (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo)) {
    case AVAuthorizationStatus::Restricted:
    case AVAuthorizationStatus::Denied:
      noPermission();
      break;
    case AVAuthorizationStatus::Authorized:
      configureAll();
      break;
    case AVAuthorizationStatus::NotDetermined:
      AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [configureAll, noPermission](bool granted) {
        if (granted) {
          configureAll();
        } else {
          noPermission();
        }
      });
      break;
  }
}

void CameraController::performOnSessionQueue(os::DispatchBlock block) { sessionQueue_->async(std::move(block)); }

void CameraController::addInputAndStart(const std::shared_ptr<AVCaptureDeviceInput>& input) {
  if (!session_->canAddInput(input)) return;
  if (!session_->addInput(input)) return;
  if (session_->canAddOutput(stillImageOutput_)) {
    (void)session_->addOutput(stillImageOutput_);
    session_->startRunning();
  }
}

void CameraController::configureSession() {
  auto discovery = AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
      {AVCaptureDeviceTypeBuiltInWideAngleCamera}, AVMediaTypeVideo, AVCaptureDevicePosition::Unspecified);
  std::shared_ptr<AVCaptureDeviceInput> input;
  {
    std::lock_guard lock(mutex_);
    for (const auto& device : discovery->devices()) {
      if (device->position() == AVCaptureDevicePosition::Back) backCameraDevice_ = device;
      if (device->position() == AVCaptureDevicePosition::Front) frontCameraDevice_ = device;
    }
    currentCameraDevice_ = backCameraDevice_;
    if (!currentCameraDevice_) return;
    // A creation error is swallowed: no input, nothing posted.
    if (auto made = AVCaptureDeviceInput::deviceInputWithDevice(currentCameraDevice_)) input = *made;
    videoDeviceInput_ = input;
  }
  if (input) addInputAndStart(input);
}

void CameraController::configureVideoOutput() {
  auto output = AVCaptureVideoDataOutput::create();
  // No frames are delivered: the output never joins the session.
  output->setSampleBufferDelegate(shared_from_this(), os::DispatchQueue::serial(kSampleBufferDelegateQueueLabel));
  std::shared_ptr<AVCaptureDeviceInput> input;
  {
    std::lock_guard lock(mutex_);
    videoOutput_ = output;
    input = videoDeviceInput_;
  }
  if (input) addInputAndStart(input);
}

void CameraController::attachPreviewLayer(std::shared_ptr<AVCaptureVideoPreviewLayer> layer) {
  if (layer) {
    layer->setSession(session_);
    (void)layer->setVideoGravity(AVLayerVideoGravityResizeAspectFill);
  }
  std::lock_guard lock(mutex_);
  previewLayer_ = std::move(layer);
}

// ---- Session start and observation ----

void CameraController::startSession() {
  {
    std::lock_guard lock(mutex_);
    auto device = currentCameraDevice_;
    if (device && observedDevice_.lock() != device) {
      removeObservationsLocked();
      std::weak_ptr<CameraController> weak = weak_from_this();
      const std::pair<const char*, const void*> observations[] = {
          {kAVKeyPathLensPosition, &lensPositionContext_},
          {kAVKeyPathAdjustingFocus, &adjustingFocusContext_},
          {kAVKeyPathAdjustingExposure, &adjustingExposureContext_},
          {kAVKeyPathAdjustingWhiteBalance, &adjustingWhiteBalanceContext_},
          {kAVKeyPathExposureDuration, &exposureDuration_},
          {kAVKeyPathISO, &ISO_},
          {kAVKeyPathDeviceWhiteBalanceGains, &deviceWhiteBalanceGainsContext_},
      };
      for (const auto& [keyPath, context] : observations) {
        auto token = device->addObserver(keyPath, [weak, context](const std::string& path, const AVObservedValue& value) {
          if (auto self = weak.lock()) self->observeValueForKeyPath(path, value, context);
        });
        if (token) observationTokens_.push_back(*token);
      }
      observedDevice_ = device;
    }
  }
  session_->startRunning();
  os::NotificationCenter::defaultCenter()->postNotificationName(kCameraControllerDidStartSessionNotification, this);
}

void CameraController::observeValueForKeyPath(const std::string&, const std::optional<AVObservedValue>& newValue,
                                              const void* context) {
  handleObservedChange(newValue, context);
}

void CameraController::handleObservedChange(const std::optional<AVObservedValue>& newValue, const void* context) {
  if (!newValue || !context) return;
  const char* setting = kCameraControlUnknownContext;
  if (context == &lensPositionContext_) {
    setting = kCameraControlObservableSettingLensPosition;
  } else if (context == &exposureDuration_) {
    setting = kCameraControlObservableSettingExposureDuration;
  } else if (context == &ISO_) {
    setting = kCameraControlObservableSettingISO;
  } else if (context == &deviceWhiteBalanceGainsContext_) {
    setting = kCameraControlObservableSettingWBGains;
  } else if (context == &adjustingFocusContext_) {
    setting = kCameraControlObservableSettingAdjustingFocus;
  } else if (context == &adjustingExposureContext_) {
    setting = kCameraControlObservableSettingAdjustingExposure;
  } else if (context == &adjustingWhiteBalanceContext_) {
    setting = kCameraControlObservableSettingAdjustingWhiteBalance;
  }

  CameraSettingValue value = std::visit([](const auto& v) -> CameraSettingValue { return v; }, *newValue);
  if (context == &deviceWhiteBalanceGainsContext_) {
    if (const auto* gains = std::get_if<AVCaptureWhiteBalanceGains>(&*newValue)) {
      // The gains as observed, not clamped; unconvertible gains pass unchanged.
      if (auto device = currentCameraDevice()) {
        if (auto converted = device->temperatureAndTintValuesForDeviceWhiteBalanceGains(*gains)) {
          value = std::make_shared<WhiteBalanceValues>(converted->temperature, converted->tint);
        }
      }
    }
  }
  notifyObservers(setting, value);
}

void CameraController::registerObserver(const std::shared_ptr<CameraSettingValueObserver>& observer,
                                        const std::string& property) {
  std::lock_guard lock(mutex_);
  controlObservers_[property].push_back(observer);
}

void CameraController::notifyObservers(const std::string& setting, const CameraSettingValue& value) {
  std::vector<std::weak_ptr<CameraSettingValueObserver>> observers;
  {
    std::lock_guard lock(mutex_);
    auto it = controlObservers_.find(setting);
    if (it == controlObservers_.end()) return;
    observers = it->second;
  }
  for (const auto& weak : observers) {
    if (auto observer = weak.lock()) observer->cameraSettingWithSetting(setting, value);
  }
}

std::optional<AVCaptureWhiteBalanceGains> CameraController::normalizedGains() const {
  auto device = currentCameraDevice();
  if (!device) return std::nullopt;
  AVCaptureWhiteBalanceGains gains = device->deviceWhiteBalanceGains();
  const float maxGain = device->maxWhiteBalanceGain();
  auto clamp = [maxGain](float g) { return std::min(std::max(g, 1.0f), maxGain); };
  return AVCaptureWhiteBalanceGains{clamp(gains.redGain), clamp(gains.greenGain), clamp(gains.blueGain)};
}

// ---- Flip and zoom ----

void CameraController::flipCamera() {
  std::shared_ptr<AVCaptureDeviceInput> input;
  {
    std::lock_guard lock(mutex_);
    if (currentCameraDevice_ == backCameraDevice_) {
      currentCameraDevice_ = frontCameraDevice_;
    } else if (currentCameraDevice_ == frontCameraDevice_) {
      currentCameraDevice_ = backCameraDevice_;
    }
  }
  for (const auto& existing : session_->inputs()) session_->removeInput(existing);
  {
    std::lock_guard lock(mutex_);
    if (!currentCameraDevice_) return;
    if (auto made = AVCaptureDeviceInput::deviceInputWithDevice(currentCameraDevice_)) input = *made;
    videoDeviceInput_ = input;
  }
  if (input && session_->canAddInput(input) && session_->addInput(input)) {
    std::weak_ptr<CameraController> weak = weak_from_this();
    performOnSessionQueue([weak] {
      if (auto self = weak.lock()) self->startSession();
    });
  }
}

void CameraController::setZoom(const std::shared_ptr<AVCaptureDevice>& device, CGFloat factor) {
  if (!device) return;
  if (!std::isfinite(factor)) {
    os::Console::writef("zoom factor %f refused\n", factor);
    return;
  }
  // Devices support different ranges; the chosen steps (1, 2, 3) may lie outside.
  factor = std::clamp(factor, device->minAvailableVideoZoomFactor(), device->maxAvailableVideoZoomFactor());
  if (auto locked = device->lockForConfiguration(); !locked) {
    os::Console::writef("%s\n", locked.error().localizedDescription().c_str());
    return;
  }
  if (auto set = device->setVideoZoomFactor(factor); !set) {
    os::Console::writef("%s\n", set.error().localizedDescription().c_str());
  }
  device->unlockForConfiguration();
}
