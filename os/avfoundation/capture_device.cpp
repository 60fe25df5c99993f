#include "os/avfoundation/capture_device.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>

#include "os/avfoundation/capture_device_access.h"
#include "os/avfoundation/colour_science.h"
#include "os/dispatch/queue.h"
#include "os/foundation/format.h"

using namespace os::avfoundation::detail;

namespace os {
namespace {

// The simulation's process-wide state. Lock order: a device's mutex may be
// held while taking this one, never the other way round.
struct Simulation {
  std::mutex mutex;
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;      // guarded by mutex
  std::map<std::string, AVAuthorizationStatus> statuses;      // guarded by mutex
  std::map<std::string, bool> answers;                        // guarded by mutex
  std::map<std::string, int> requests;                        // guarded by mutex
  std::optional<CaptureScene> scene;                          // guarded by mutex
};

Simulation& simulation() {
  static Simulation* s = new Simulation;  // never destroyed: devices' queues may outlive static teardown
  return *s;
}

CaptureScene defaultScene() { return *CaptureScene::lightSource(5000.0, 0.0); }

std::shared_ptr<AVCaptureDevice> makeDevice(const CameraSimulator::DeviceSpec& spec) {
  return AVCaptureDevice::Access::make(spec);
}

// Requires simulation().mutex.
void ensureDevicesLocked(Simulation& s) {
  static bool initialised = false;
  if (initialised) return;
  initialised = true;
  for (const auto& spec : CameraSimulator::defaultDeviceSpecs()) s.devices.push_back(makeDevice(spec));
}

const std::array<double, 256>& srgbDecodeTable() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = srgbDecode(i / 255.0);
    return t;
  }();
  return table;
}

// Linear values of every 16-bit sRGB sample.
const std::vector<double>& srgbDecodeTable16() {
  static const std::vector<double> table = [] {
    std::vector<double> t(65536);
    for (size_t i = 0; i < t.size(); ++i) t[i] = srgbDecode(static_cast<double>(i) / 65535.0);
    return t;
  }();
  return table;
}

// The grey-world white of RGB samples: the mean of their linear values,
// decoded through `decode`, as XYZ.
template <class Sample, class Table>
XYZ meanWhite(const std::vector<Sample>& rgb, const Table& decode) {
  double r = 0, g = 0, b = 0;
  for (size_t i = 0; i < rgb.size(); i += 3) {
    r += decode[rgb[i]];
    g += decode[rgb[i + 1]];
    b += decode[rgb[i + 2]];
  }
  const double n = static_cast<double>(rgb.size() / 3);
  return xyzFromLinearSRGB(r / n, g / n, b / n);
}

// A point of interest lies within the unit square.
os::Status checkPointOfInterest(CGPoint p) {
  if (p.x >= 0 && p.x <= 1 && p.y >= 0 && p.y <= 1) return {};
  return os::fail(AVMakeError(AVErrorOperationNotAllowed, "A point of interest lies within (0,0)-(1,1)."));
}

}  // namespace

// ---- CaptureScene ----

os::Result<CaptureScene> CaptureScene::lightSource(double kelvin, double duv) {
  if (!std::isfinite(kelvin) || !std::isfinite(duv)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "A light source needs a finite temperature and Duv."));
  }
  // The sensor must see the light with every channel positive.
  auto gains = gainsForTemperatureAndTint({static_cast<float>(kelvin), static_cast<float>(duv * 3000)});
  if (!gains) return os::fail(gains.error());
  CaptureScene scene;
  scene.kind_ = Kind::LightSource;
  scene.kelvin_ = kelvin;
  scene.duv_ = duv;
  const XYZ white = xyzFromUV(uvFromCCTDuv(kelvin, duv));
  scene.white_[0] = white.X;
  scene.white_[1] = white.Y;
  scene.white_[2] = white.Z;
  return scene;
}

os::Result<CaptureScene> CaptureScene::image(int width, int height, std::vector<uint8_t> rgb) {
  if (width <= 0 || height <= 0 || rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed,
                                "An image scene needs width x height x 3 bytes of RGB pixels."));
  }
  const XYZ white = meanWhite(rgb, srgbDecodeTable());
  return imageScene(width, height, std::move(rgb), white.X, white.Y, white.Z);
}

os::Result<CaptureScene> CaptureScene::image16(int width, int height, const std::vector<uint16_t>& rgb) {
  if (width <= 0 || height <= 0 || rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed,
                                "An image scene needs width x height x 3 samples of RGB pixels."));
  }
  const XYZ white = meanWhite(rgb, srgbDecodeTable16());
  std::vector<uint8_t> shown(rgb.size());
  for (size_t i = 0; i < rgb.size(); ++i) shown[i] = static_cast<uint8_t>((rgb[i] * 255u + 32767u) / 65535u);
  return imageScene(width, height, std::move(shown), white.X, white.Y, white.Z);
}

CaptureScene CaptureScene::imageScene(int width, int height, std::vector<uint8_t> pixels, double whiteX, double whiteY,
                                      double whiteZ) {
  CaptureScene scene;
  scene.kind_ = Kind::Image;
  scene.width_ = width;
  scene.height_ = height;
  scene.pixels_ = std::make_shared<const std::vector<uint8_t>>(std::move(pixels));
  scene.white_[0] = whiteX;
  scene.white_[1] = whiteY;
  scene.white_[2] = whiteZ;
  return scene;
}

// ---- CameraSimulator ----

std::vector<CameraSimulator::DeviceSpec> CameraSimulator::defaultDeviceSpecs() {
  return {
      {"com.drosil.camera.back", "Back Camera", AVCaptureDevicePosition::Back, true, 10.0},
      {"com.drosil.camera.front", "Front Camera", AVCaptureDevicePosition::Front, false, 4.0},
  };
}

void CameraSimulator::setDevices(const std::vector<DeviceSpec>& specs) {
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;
  for (const auto& spec : specs) devices.push_back(makeDevice(spec));
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  ensureDevicesLocked(s);
  s.devices = std::move(devices);
}

std::vector<std::shared_ptr<AVCaptureDevice>> CameraSimulator::devices() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  ensureDevicesLocked(s);
  return s.devices;
}

void CameraSimulator::setAuthorizationStatus(const AVMediaType& mediaType, AVAuthorizationStatus status) {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.statuses[mediaType] = status;
}

void CameraSimulator::setAccessAnswer(const AVMediaType& mediaType, bool grant) {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.answers[mediaType] = grant;
}

int CameraSimulator::accessRequestCount(const AVMediaType& mediaType) {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  auto it = s.requests.find(mediaType);
  return it == s.requests.end() ? 0 : it->second;
}

void CameraSimulator::setScene(const CaptureScene& scene) {
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;
  {
    auto& s = simulation();
    std::lock_guard lock(s.mutex);
    ensureDevicesLocked(s);
    s.scene = scene;
    devices = s.devices;
  }
  for (const auto& device : devices) device->sceneDidChange();
}

CaptureScene CameraSimulator::scene() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  if (!s.scene) s.scene = defaultScene();
  return *s.scene;
}

void CameraSimulator::setMaxWhiteBalanceGain(const std::shared_ptr<AVCaptureDevice>& device, float maxGain) {
  if (!device || !std::isfinite(maxGain) || maxGain < 1.0f) return;
  std::lock_guard lock(device->mutex_);
  device->maxWhiteBalanceGain_ = maxGain;
  device->notifyLocked(kAVKeyPathMaxWhiteBalanceGain, os::Value(maxGain));
  if (device->streamingCount_ > 0) device->startWhiteBalanceAdjustmentLocked();
}

void CameraSimulator::setLockError(const std::shared_ptr<AVCaptureDevice>& device, std::optional<os::Error> error) {
  if (!device) return;
  std::lock_guard lock(device->mutex_);
  device->lockError_ = std::move(error);
}

void CameraSimulator::setConnected(const std::shared_ptr<AVCaptureDevice>& device, bool connected) {
  if (!device) return;
  std::lock_guard lock(device->mutex_);
  device->connected_ = connected;
}

void CameraSimulator::reset() {
  std::vector<std::shared_ptr<AVCaptureDevice>> devices;
  for (const auto& spec : defaultDeviceSpecs()) devices.push_back(makeDevice(spec));
  auto& s = simulation();
  {
    std::lock_guard lock(s.mutex);
    ensureDevicesLocked(s);
    s.devices.swap(devices);
    s.statuses.clear();
    s.answers.clear();
    s.requests.clear();
    s.scene = defaultScene();
  }
  // Retire the old devices: whoever still holds one hears nothing more from
  // it, and adjustments in flight end, so no callback outlives the reset.
  for (auto& device : devices) {
    std::lock_guard lock(device->mutex_);
    device->registrations_.clear();
    device->connected_ = false;
    device->adjustingWhiteBalance_ = false;
    ++device->whiteBalanceGeneration_;
    ++device->focusGeneration_;
    ++device->exposureGeneration_;
  }
}

}  // namespace os

// ---- AVCaptureDevice ----

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::Access::make(const os::CameraSimulator::DeviceSpec& spec) {
  Config config;
  config.uniqueID = spec.uniqueID;
  config.localizedName = spec.localizedName;
  config.position = spec.position;
  config.focusPointSupported = spec.focusPointSupported;
  config.maxAvailableVideoZoomFactor = spec.maxAvailableVideoZoomFactor;
  return std::shared_ptr<AVCaptureDevice>(new AVCaptureDevice(config));
}

void AVCaptureDevice::Access::beginStreaming(AVCaptureDevice& device) { device.setStreaming(true); }
void AVCaptureDevice::Access::endStreaming(AVCaptureDevice& device) { device.setStreaming(false); }

AVCaptureDevice::AVCaptureDevice(const Config& config)
    : uniqueID_(config.uniqueID),
      localizedName_(config.localizedName),
      position_(config.position),
      focusPointSupported_(config.focusPointSupported),
      maxAvailableVideoZoomFactor_(config.maxAvailableVideoZoomFactor),
      activeFormat_(std::make_shared<AVCaptureDeviceFormat>(config.formatMaxZoomFactor, 4032, 3024)),
      queue_(os::DispatchQueue::serial("com.drosil.avfoundation.device." + config.uniqueID)) {
  // Until it first streams, the device holds the gains of a 5000 K light.
  gains_ = *gainsForTemperatureAndTint({5000.0f, 0.0f});
  if (!focusPointSupported_) focusMode_ = AVCaptureFocusMode::Locked;
}

AVCaptureDevice::~AVCaptureDevice() = default;

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithMediaType(const AVMediaType& mediaType) {
  for (const auto& device : os::CameraSimulator::devices()) {
    if (device->hasMediaType(mediaType)) return device;
  }
  return nullptr;
}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithDeviceType(const AVCaptureDeviceType& deviceType,
                                                                              const AVMediaType& mediaType,
                                                                              AVCaptureDevicePosition position) {
  for (const auto& device : os::CameraSimulator::devices()) {
    if (device->deviceType() == deviceType && device->hasMediaType(mediaType) &&
        (position == AVCaptureDevicePosition::Unspecified || device->position() == position)) {
      return device;
    }
  }
  return nullptr;
}

AVAuthorizationStatus AVCaptureDevice::authorizationStatusForMediaType(const AVMediaType& mediaType) {
  auto& s = os::simulation();
  std::lock_guard lock(s.mutex);
  auto it = s.statuses.find(mediaType);
  return it == s.statuses.end() ? AVAuthorizationStatus::NotDetermined : it->second;
}

void AVCaptureDevice::requestAccessForMediaType(const AVMediaType& mediaType,
                                                std::function<void(bool granted)> handler) {
  bool granted;
  {
    auto& s = os::simulation();
    std::lock_guard lock(s.mutex);
    auto& status = s.statuses.try_emplace(mediaType, AVAuthorizationStatus::NotDetermined).first->second;
    if (status == AVAuthorizationStatus::NotDetermined) {
      ++s.requests[mediaType];
      auto answer = s.answers.find(mediaType);
      const bool grant = answer == s.answers.end() || answer->second;
      status = grant ? AVAuthorizationStatus::Authorized : AVAuthorizationStatus::Denied;
    }
    granted = status == AVAuthorizationStatus::Authorized;
  }
  if (!handler) return;
  os::DispatchQueue::global()->async([handler = std::move(handler), granted] { handler(granted); });
}

bool AVCaptureDevice::isConnected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

// ---- configuration lock ----

os::Status AVCaptureDevice::lockForConfiguration() {
  std::lock_guard lock(mutex_);
  if (lockError_) return os::fail(*lockError_);
  ++lockCount_;
  return {};
}

void AVCaptureDevice::unlockForConfiguration() {
  std::lock_guard lock(mutex_);
  if (lockCount_ > 0) --lockCount_;
}

os::Status AVCaptureDevice::requireLockLocked() const {
  if (lockCount_ == 0) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed,
                                "The device must be locked for configuration to change this setting."));
  }
  return {};
}

// ---- white balance ----

AVCaptureWhiteBalanceGains AVCaptureDevice::deviceWhiteBalanceGains() const {
  std::lock_guard lock(mutex_);
  return gains_;
}

float AVCaptureDevice::maxWhiteBalanceGain() const {
  std::lock_guard lock(mutex_);
  return maxWhiteBalanceGain_;
}

bool AVCaptureDevice::isAdjustingWhiteBalance() const {
  std::lock_guard lock(mutex_);
  return adjustingWhiteBalance_;
}

os::Result<AVCaptureWhiteBalanceTemperatureAndTintValues>
AVCaptureDevice::temperatureAndTintValuesForDeviceWhiteBalanceGains(const AVCaptureWhiteBalanceGains& gains) const {
  return temperatureAndTintForGains(gains);
}

os::Result<AVCaptureWhiteBalanceGains> AVCaptureDevice::deviceWhiteBalanceGainsForTemperatureAndTintValues(
    const AVCaptureWhiteBalanceTemperatureAndTintValues& values) const {
  return gainsForTemperatureAndTint(values);
}

std::optional<AVCaptureWhiteBalanceGains> AVCaptureDevice::Access::targetGains(const os::CaptureScene& scene,
                                                                               float maxGain) {
  CameraRGB rgb = cameraRGBFromXYZ({scene.whiteX(), scene.whiteY(), scene.whiteZ()});
  const double brightest = std::max({rgb.r, rgb.g, rgb.b});
  // A black scene gives grey world nothing to work with: the gains stay.
  if (!(brightest > 0) || !std::isfinite(brightest)) return std::nullopt;
  // A channel the scene does not excite would need an infinite gain; the
  // limit below caps it.
  const double floor = brightest * 1e-6;
  rgb = {std::max(rgb.r, floor), std::max(rgb.g, floor), std::max(rgb.b, floor)};
  auto gains = gainsForCameraRGB(rgb);
  if (!gains) return std::nullopt;
  gains->redGain = std::min(gains->redGain, maxGain);
  gains->greenGain = std::min(gains->greenGain, maxGain);
  gains->blueGain = std::min(gains->blueGain, maxGain);
  return *gains;
}

void AVCaptureDevice::startWhiteBalanceAdjustmentLocked() {
  auto target = Access::targetGains(os::CameraSimulator::scene(), maxWhiteBalanceGain_);
  if (!target) return;
  const uint64_t generation = ++whiteBalanceGeneration_;
  adjustmentStart_ = gains_;
  adjustmentTarget_ = *target;
  if (!adjustingWhiteBalance_) {
    adjustingWhiteBalance_ = true;
    notifyLocked(kAVKeyPathAdjustingWhiteBalance, os::Value(true));
  }
  std::weak_ptr<AVCaptureDevice> weak = weak_from_this();
  for (int step = 1; step <= kWhiteBalanceAdjustmentSteps; ++step) {
    queue_->after(os::DispatchTime::fromNowNanos(kWhiteBalanceAdjustmentStepNanos * step), [weak, generation, step] {
      if (auto device = weak.lock()) device->whiteBalanceStep(generation, step);
    });
  }
}

void AVCaptureDevice::whiteBalanceStep(uint64_t generation, int step) {
  std::lock_guard lock(mutex_);
  if (generation != whiteBalanceGeneration_ || streamingCount_ == 0) return;
  if (step >= kWhiteBalanceAdjustmentSteps) {
    gains_ = adjustmentTarget_;
  } else {
    // Geometric interpolation: equal ratios per step, as exposure-like
    // quantities move.
    const double f = static_cast<double>(step) / kWhiteBalanceAdjustmentSteps;
    auto mix = [f](float a, float b) { return static_cast<float>(std::exp(std::log(a) * (1 - f) + std::log(b) * f)); };
    gains_ = {mix(adjustmentStart_.redGain, adjustmentTarget_.redGain),
              mix(adjustmentStart_.greenGain, adjustmentTarget_.greenGain),
              mix(adjustmentStart_.blueGain, adjustmentTarget_.blueGain)};
  }
  notifyLocked(kAVKeyPathDeviceWhiteBalanceGains, gains_);
  if (step >= kWhiteBalanceAdjustmentSteps) {
    adjustingWhiteBalance_ = false;
    notifyLocked(kAVKeyPathAdjustingWhiteBalance, os::Value(false));
  }
}

void AVCaptureDevice::setStreaming(bool streaming) {
  std::lock_guard lock(mutex_);
  if (!streaming && streamingCount_ == 0) return;
  streamingCount_ += streaming ? 1 : -1;
  if (streamingCount_ > 1 || (!streaming && streamingCount_ > 0)) return;
  if (streaming) {
    startWhiteBalanceAdjustmentLocked();
  } else {
    ++whiteBalanceGeneration_;
    if (adjustingWhiteBalance_) {
      adjustingWhiteBalance_ = false;
      notifyLocked(kAVKeyPathAdjustingWhiteBalance, os::Value(false));
    }
  }
}

void AVCaptureDevice::sceneDidChange() {
  std::lock_guard lock(mutex_);
  if (streamingCount_ > 0) startWhiteBalanceAdjustmentLocked();
}

// ---- zoom ----

CGFloat AVCaptureDevice::videoZoomFactor() const {
  std::lock_guard lock(mutex_);
  return videoZoomFactor_;
}

os::Status AVCaptureDevice::setVideoZoomFactor(CGFloat factor) {
  std::lock_guard lock(mutex_);
  if (auto status = requireLockLocked(); !status) return status;
  if (!(factor >= minAvailableVideoZoomFactor() && factor <= maxAvailableVideoZoomFactor_)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed,
                                os::format("Zoom factor %g is outside %g to %g.", factor,
                                           minAvailableVideoZoomFactor(), maxAvailableVideoZoomFactor_)));
  }
  videoZoomFactor_ = factor;
  notifyLocked(kAVKeyPathVideoZoomFactor, os::Value(factor));
  return {};
}

CGFloat AVCaptureDevice::minAvailableVideoZoomFactor() const { return 1.0; }
CGFloat AVCaptureDevice::maxAvailableVideoZoomFactor() const { return maxAvailableVideoZoomFactor_; }

// ---- focus and exposure ----

void AVCaptureDevice::startScanLocked(uint64_t AVCaptureDevice::*generation, bool AVCaptureDevice::*adjusting,
                                      const char* adjustingKeyPath, void (*finish)(AVCaptureDevice&)) {
  const uint64_t current = ++(this->*generation);
  if (!(this->*adjusting)) {
    this->*adjusting = true;
    notifyLocked(adjustingKeyPath, os::Value(true));
  }
  std::weak_ptr<AVCaptureDevice> weak = weak_from_this();
  queue_->after(os::DispatchTime::fromNowNanos(kAutoAdjustmentNanos),
                [weak, current, generation, adjusting, adjustingKeyPath, finish] {
                  auto device = weak.lock();
                  if (!device) return;
                  std::lock_guard lock(device->mutex_);
                  if (current != (*device).*generation) return;
                  finish(*device);
                  (*device).*adjusting = false;
                  device->notifyLocked(adjustingKeyPath, os::Value(false));
                });
}

bool AVCaptureDevice::isFocusModeSupported(AVCaptureFocusMode mode) const {
  return focusPointSupported_ || mode == AVCaptureFocusMode::Locked;
}

CGPoint AVCaptureDevice::focusPointOfInterest() const {
  std::lock_guard lock(mutex_);
  return focusPoint_;
}

os::Status AVCaptureDevice::setFocusPointOfInterest(CGPoint point) {
  std::lock_guard lock(mutex_);
  if (auto status = requireLockLocked(); !status) return status;
  if (!focusPointSupported_) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "This device has no focus point of interest."));
  }
  if (auto status = os::checkPointOfInterest(point); !status) return status;
  focusPoint_ = point;
  return {};
}

AVCaptureFocusMode AVCaptureDevice::focusMode() const {
  std::lock_guard lock(mutex_);
  return focusMode_;
}

os::Status AVCaptureDevice::setFocusMode(AVCaptureFocusMode mode) {
  std::lock_guard lock(mutex_);
  if (auto status = requireLockLocked(); !status) return status;
  if (!isFocusModeSupported(mode)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "This device does not support the focus mode."));
  }
  focusMode_ = mode;
  if (mode != AVCaptureFocusMode::AutoFocus) return {};
  startScanLocked(&AVCaptureDevice::focusGeneration_, &AVCaptureDevice::adjustingFocus_, kAVKeyPathAdjustingFocus,
                  [](AVCaptureDevice& device) {
                    // Nearer subjects sit lower in the frame: a simple distance model.
                    device.lensPosition_ = static_cast<float>(0.2 + 0.6 * device.focusPoint_.y);
                    device.notifyLocked(kAVKeyPathLensPosition, os::Value(device.lensPosition_));
                  });
  return {};
}

bool AVCaptureDevice::isAdjustingFocus() const {
  std::lock_guard lock(mutex_);
  return adjustingFocus_;
}

float AVCaptureDevice::lensPosition() const {
  std::lock_guard lock(mutex_);
  return lensPosition_;
}

bool AVCaptureDevice::isExposureModeSupported(AVCaptureExposureMode mode) const {
  return mode != AVCaptureExposureMode::Custom;
}

CGPoint AVCaptureDevice::exposurePointOfInterest() const {
  std::lock_guard lock(mutex_);
  return exposurePoint_;
}

os::Status AVCaptureDevice::setExposurePointOfInterest(CGPoint point) {
  std::lock_guard lock(mutex_);
  if (auto status = requireLockLocked(); !status) return status;
  if (auto status = os::checkPointOfInterest(point); !status) return status;
  exposurePoint_ = point;
  return {};
}

AVCaptureExposureMode AVCaptureDevice::exposureMode() const {
  std::lock_guard lock(mutex_);
  return exposureMode_;
}

os::Status AVCaptureDevice::setExposureMode(AVCaptureExposureMode mode) {
  std::lock_guard lock(mutex_);
  if (auto status = requireLockLocked(); !status) return status;
  if (!isExposureModeSupported(mode)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "This device does not support the exposure mode."));
  }
  exposureMode_ = mode;
  if (mode != AVCaptureExposureMode::AutoExpose) return {};
  startScanLocked(&AVCaptureDevice::exposureGeneration_, &AVCaptureDevice::adjustingExposure_,
                  kAVKeyPathAdjustingExposure, [](AVCaptureDevice& device) {
                    // The simulated scene is evenly lit: the metered exposure does not
                    // depend on the point, but the scan reports it as a device does.
                    device.notifyLocked(kAVKeyPathExposureDuration, device.exposureDuration_);
                    device.notifyLocked(kAVKeyPathISO, os::Value(device.iso_));
                  });
  return {};
}

bool AVCaptureDevice::isAdjustingExposure() const {
  std::lock_guard lock(mutex_);
  return adjustingExposure_;
}

CMTime AVCaptureDevice::exposureDuration() const {
  std::lock_guard lock(mutex_);
  return exposureDuration_;
}

float AVCaptureDevice::ISO() const {
  std::lock_guard lock(mutex_);
  return iso_;
}

// ---- key-value observation ----

os::Result<AVKeyValueObservationToken> AVCaptureDevice::addObserver(const std::string& keyPath,
                                                                    AVKeyValueObserver observer) {
  static const char* const kKeyPaths[] = {
      kAVKeyPathDeviceWhiteBalanceGains, kAVKeyPathMaxWhiteBalanceGain, kAVKeyPathAdjustingWhiteBalance,
      kAVKeyPathAdjustingFocus,          kAVKeyPathAdjustingExposure,   kAVKeyPathLensPosition,
      kAVKeyPathExposureDuration,        kAVKeyPathISO,                 kAVKeyPathVideoZoomFactor,
  };
  if (std::none_of(std::begin(kKeyPaths), std::end(kKeyPaths), [&](const char* k) { return keyPath == k; })) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "A capture device has no key path \"" + keyPath + "\"."));
  }
  if (!observer) return os::fail(AVMakeError(AVErrorOperationNotAllowed, "An observer needs a callback."));
  std::lock_guard lock(mutex_);
  const AVKeyValueObservationToken token = nextToken_++;
  registrations_.push_back({token, keyPath, std::make_shared<AVKeyValueObserver>(std::move(observer))});
  return token;
}

void AVCaptureDevice::removeObserver(AVKeyValueObservationToken token) {
  std::lock_guard lock(mutex_);
  std::erase_if(registrations_, [token](const Registration& r) { return r.token == token; });
}

bool AVCaptureDevice::isRegistered(AVKeyValueObservationToken token) const {
  std::lock_guard lock(mutex_);
  return std::any_of(registrations_.begin(), registrations_.end(),
                     [token](const Registration& r) { return r.token == token; });
}

void AVCaptureDevice::notifyLocked(const std::string& keyPath, AVObservedValue value) {
  std::vector<std::pair<AVKeyValueObservationToken, std::shared_ptr<AVKeyValueObserver>>> targets;
  for (const auto& r : registrations_) {
    if (r.keyPath == keyPath) targets.emplace_back(r.token, r.observer);
  }
  if (targets.empty()) return;
  std::weak_ptr<AVCaptureDevice> weak = weak_from_this();
  queue_->async([weak, keyPath, value = std::move(value), targets = std::move(targets)] {
    auto device = weak.lock();
    if (!device) return;
    for (const auto& [token, observer] : targets) {
      if (device->isRegistered(token)) (*observer)(keyPath, value);
    }
  });
}

// ---- discovery session ----

std::shared_ptr<AVCaptureDeviceDiscoverySession> AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
    std::vector<AVCaptureDeviceType> deviceTypes, const AVMediaType& mediaType, AVCaptureDevicePosition position) {
  auto session = std::shared_ptr<AVCaptureDeviceDiscoverySession>(new AVCaptureDeviceDiscoverySession);
  for (const auto& device : os::CameraSimulator::devices()) {
    const bool typeMatches =
        std::find(deviceTypes.begin(), deviceTypes.end(), device->deviceType()) != deviceTypes.end();
    if (typeMatches && device->hasMediaType(mediaType) &&
        (position == AVCaptureDevicePosition::Unspecified || device->position() == position)) {
      session->devices_.push_back(device);
    }
  }
  return session;
}
