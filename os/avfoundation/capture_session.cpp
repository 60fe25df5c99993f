#include "os/avfoundation/capture_session.h"

#include <algorithm>
#include <atomic>

#include "os/avfoundation/capture_device_access.h"
#include "os/avfoundation/photo_render.h"
#include "os/dispatch/queue.h"

// ---- AVCaptureConnection ----

bool AVCaptureConnection::isEnabled() const {
  std::lock_guard lock(mutex_);
  return enabled_;
}

void AVCaptureConnection::setEnabled(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    if (enabled_ == enabled) return;
    enabled_ = enabled;
  }
  if (enabledChanged_) enabledChanged_(enabled);
}

AVCaptureVideoOrientation AVCaptureConnection::videoOrientation() const {
  std::lock_guard lock(mutex_);
  return orientation_;
}

void AVCaptureConnection::setVideoOrientation(AVCaptureVideoOrientation orientation) {
  std::lock_guard lock(mutex_);
  orientation_ = orientation;
}

// ---- AVCaptureDeviceInput ----

os::Result<std::shared_ptr<AVCaptureDeviceInput>> AVCaptureDeviceInput::deviceInputWithDevice(
    const std::shared_ptr<AVCaptureDevice>& device) {
  if (!device || !device->isConnected()) {
    return os::fail(AVMakeError(AVErrorDeviceNotConnected, "The capture device is not connected."));
  }
  if (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo) != AVAuthorizationStatus::Authorized) {
    return os::fail(AVMakeError(AVErrorApplicationIsNotAuthorizedToUseDevice,
                                "The application is not authorized to use the camera."));
  }
  return std::shared_ptr<AVCaptureDeviceInput>(new AVCaptureDeviceInput(device));
}

// ---- AVCaptureOutput ----

std::shared_ptr<AVCaptureConnection> AVCaptureOutput::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

bool AVCaptureOutput::attachIfFree(const std::shared_ptr<AVCaptureSession>& session) {
  std::lock_guard lock(mutex_);
  if (connection_) return false;
  session_ = session;
  connection_ = AVCaptureConnection::create();
  return true;
}

void AVCaptureOutput::detach() {
  std::lock_guard lock(mutex_);
  session_.reset();
  connection_.reset();
}

std::shared_ptr<AVCaptureSession> AVCaptureOutput::session() const {
  std::lock_guard lock(mutex_);
  return session_.lock();
}

// ---- AVCapturePhotoSettings ----

std::shared_ptr<AVCapturePhotoSettings> AVCapturePhotoSettings::photoSettings() {
  static std::atomic<int64_t> nextID{1};
  return std::shared_ptr<AVCapturePhotoSettings>(new AVCapturePhotoSettings(nextID++));
}

// ---- AVCapturePhotoOutput ----

AVCapturePhotoOutput::AVCapturePhotoOutput() : queue_(os::DispatchQueue::serial("com.drosil.avfoundation.photo")) {}

std::shared_ptr<AVCapturePhotoOutput> AVCapturePhotoOutput::create() {
  return std::shared_ptr<AVCapturePhotoOutput>(new AVCapturePhotoOutput);
}

void AVCapturePhotoOutput::capturePhotoWithSettings(std::shared_ptr<AVCapturePhotoSettings> settings,
                                                    std::shared_ptr<AVCapturePhotoCaptureDelegate> delegate) {
  if (!delegate) return;
  if (!settings) settings = AVCapturePhotoSettings::photoSettings();
  auto self = shared_from_this();
  const int64_t settingsID = settings->uniqueID();
  auto owner = session();
  auto device = owner && owner->isRunning() ? owner->videoDevice() : nullptr;
  if (!device) {
    queue_->async([self, delegate, settingsID] {
      delegate->captureOutput(self, std::make_shared<AVCapturePhoto>(settingsID, std::nullopt, 0, 0),
                              AVMakeError(AVErrorSessionNotRunning, "The capture session is not running."));
    });
    return;
  }
  // The exposure happens now; processing and encoding follow on the queue.
  const os::CaptureScene scene = os::CameraSimulator::scene();
  const AVCaptureWhiteBalanceGains gains = device->deviceWhiteBalanceGains();
  queue_->async([self, delegate, settingsID, scene, gains] {
    using namespace os::avfoundation::detail;
    const RGBImage image = renderScene(scene, gains);
    os::Data jpeg = encodeJPEG(image);
    if (jpeg.empty()) {
      delegate->captureOutput(self, std::make_shared<AVCapturePhoto>(settingsID, std::nullopt, 0, 0),
                              AVMakeError(AVErrorUnknown, "The photo could not be encoded."));
      return;
    }
    delegate->captureOutput(self, std::make_shared<AVCapturePhoto>(settingsID, std::move(jpeg), image.width, image.height),
                            std::nullopt);
  });
}

// ---- AVCaptureVideoDataOutput ----

void AVCaptureVideoDataOutput::setSampleBufferDelegate(
    const std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>& delegate,
    std::shared_ptr<os::DispatchQueue> queue) {
  std::lock_guard lock(mutex_);
  delegate_ = delegate;
  queue_ = std::move(queue);
}

std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> AVCaptureVideoDataOutput::sampleBufferDelegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

std::shared_ptr<os::DispatchQueue> AVCaptureVideoDataOutput::sampleBufferCallbackQueue() const {
  std::lock_guard lock(mutex_);
  return queue_;
}

// ---- AVCaptureSession ----

namespace {

std::shared_ptr<AVCaptureDevice> deviceOf(const std::shared_ptr<AVCaptureInput>& input) {
  auto deviceInput = std::dynamic_pointer_cast<AVCaptureDeviceInput>(input);
  return deviceInput ? deviceInput->device() : nullptr;
}

bool isKnownPreset(const AVCaptureSessionPreset& preset) {
  for (const char* known : {AVCaptureSessionPresetPhoto, AVCaptureSessionPresetHigh, AVCaptureSessionPresetMedium,
                            AVCaptureSessionPresetLow}) {
    if (preset == known) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<AVCaptureSession> AVCaptureSession::create() {
  return std::shared_ptr<AVCaptureSession>(new AVCaptureSession);
}

AVCaptureSession::~AVCaptureSession() {
  for (const auto& device : streaming_) AVCaptureDevice::Access::endStreaming(*device);
}

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureInput>& input) const {
  std::lock_guard lock(mutex_);
  return canAddInputLocked(input);
}

bool AVCaptureSession::canAddInputLocked(const std::shared_ptr<AVCaptureInput>& input) const {
  if (!input) return false;
  if (std::find(inputs_.begin(), inputs_.end(), input) != inputs_.end()) return false;
  // A single-camera session takes one device input.
  if (deviceOf(input)) {
    return std::none_of(inputs_.begin(), inputs_.end(), [](const auto& i) { return deviceOf(i) != nullptr; });
  }
  return true;
}

os::Status AVCaptureSession::addInput(const std::shared_ptr<AVCaptureInput>& input) {
  std::lock_guard lock(mutex_);
  if (!canAddInputLocked(input)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "The session cannot add this input."));
  }
  inputs_.push_back(input);
  updateStreamingLocked();
  return {};
}

void AVCaptureSession::removeInput(const std::shared_ptr<AVCaptureInput>& input) {
  std::lock_guard lock(mutex_);
  std::erase(inputs_, input);
  updateStreamingLocked();
}

std::vector<std::shared_ptr<AVCaptureInput>> AVCaptureSession::inputs() const {
  std::lock_guard lock(mutex_);
  return inputs_;
}

bool AVCaptureSession::canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const {
  if (!output) return false;
  {
    std::lock_guard lock(mutex_);
    if (std::find(outputs_.begin(), outputs_.end(), output) != outputs_.end()) return false;
  }
  // Not in another session either.
  return output->connection() == nullptr;
}

os::Status AVCaptureSession::addOutput(const std::shared_ptr<AVCaptureOutput>& output) {
  std::lock_guard lock(mutex_);
  if (!output || std::find(outputs_.begin(), outputs_.end(), output) != outputs_.end() ||
      !output->attachIfFree(shared_from_this())) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "The session cannot add this output."));
  }
  outputs_.push_back(output);
  return {};
}

void AVCaptureSession::removeOutput(const std::shared_ptr<AVCaptureOutput>& output) {
  bool removed;
  {
    std::lock_guard lock(mutex_);
    removed = std::erase(outputs_, output) > 0;
  }
  if (removed) output->detach();
}

std::vector<std::shared_ptr<AVCaptureOutput>> AVCaptureSession::outputs() const {
  std::lock_guard lock(mutex_);
  return outputs_;
}

AVCaptureSessionPreset AVCaptureSession::sessionPreset() const {
  std::lock_guard lock(mutex_);
  return preset_;
}

bool AVCaptureSession::canSetSessionPreset(const AVCaptureSessionPreset& preset) const { return isKnownPreset(preset); }

os::Status AVCaptureSession::setSessionPreset(const AVCaptureSessionPreset& preset) {
  if (!isKnownPreset(preset)) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "Unknown session preset \"" + preset + "\"."));
  }
  std::lock_guard lock(mutex_);
  preset_ = preset;
  return {};
}

void AVCaptureSession::beginConfiguration() {
  std::lock_guard lock(mutex_);
  ++configurationDepth_;
}

void AVCaptureSession::commitConfiguration() {
  std::lock_guard lock(mutex_);
  if (configurationDepth_ == 0) return;
  if (--configurationDepth_ == 0) updateStreamingLocked();
}

void AVCaptureSession::startRunning() {
  std::lock_guard lock(mutex_);
  running_ = true;
  updateStreamingLocked();
}

void AVCaptureSession::stopRunning() {
  std::lock_guard lock(mutex_);
  running_ = false;
  updateStreamingLocked();
}

bool AVCaptureSession::isRunning() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::shared_ptr<AVCaptureDevice> AVCaptureSession::videoDevice() const {
  std::lock_guard lock(mutex_);
  for (const auto& input : inputs_) {
    if (auto device = deviceOf(input)) return device;
  }
  return nullptr;
}

void AVCaptureSession::updateStreamingLocked() {
  if (configurationDepth_ > 0) return;
  std::vector<std::shared_ptr<AVCaptureDevice>> wanted;
  if (running_) {
    for (const auto& input : inputs_) {
      if (auto device = deviceOf(input)) wanted.push_back(device);
    }
  }
  for (const auto& device : streaming_) {
    if (std::find(wanted.begin(), wanted.end(), device) == wanted.end()) AVCaptureDevice::Access::endStreaming(*device);
  }
  for (const auto& device : wanted) {
    if (std::find(streaming_.begin(), streaming_.end(), device) == streaming_.end()) {
      AVCaptureDevice::Access::beginStreaming(*device);
    }
  }
  streaming_ = std::move(wanted);
}
