// AVCaptureSession with its inputs and outputs: device inputs, the photo
// output (photos of the simulated scene as JPEG), the video data output and
// connections.
//
// A running session makes the devices of its inputs stream (their automatic
// white balance follows the scene, capture_device.h). Between
// beginConfiguration and commitConfiguration, input changes take effect on
// the devices at the commit.
//
// Threads: every method is thread-safe. startRunning and stopRunning return
// once the change is made, as the platform's blocking calls do. Photo
// delegates are called on the photo output's own queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/avfoundation/capture_device.h"
#include "os/foundation/data.h"
#include "os/foundation/error.h"

namespace os {
class DispatchQueue;
}

class AVCaptureSession;

enum class AVCaptureVideoOrientation : int { Portrait = 1, PortraitUpsideDown = 2, LandscapeRight = 3, LandscapeLeft = 4 };
enum class AVCaptureFlashMode : int { Off = 0, On = 1, Auto = 2 };

using AVCaptureSessionPreset = std::string;
inline constexpr const char* AVCaptureSessionPresetPhoto = "AVCaptureSessionPresetPhoto";
inline constexpr const char* AVCaptureSessionPresetHigh = "AVCaptureSessionPresetHigh";
inline constexpr const char* AVCaptureSessionPresetMedium = "AVCaptureSessionPresetMedium";
inline constexpr const char* AVCaptureSessionPresetLow = "AVCaptureSessionPresetLow";

// A connection between a session's input and an output or a preview layer.
class AVCaptureConnection {
 public:
  static std::shared_ptr<AVCaptureConnection> create() { return std::make_shared<AVCaptureConnection>(); }

  // A disabled connection delivers nothing (a preview freezes).
  bool isEnabled() const;
  void setEnabled(bool enabled);
  bool isVideoOrientationSupported() const { return true; }
  AVCaptureVideoOrientation videoOrientation() const;
  void setVideoOrientation(AVCaptureVideoOrientation orientation);

 private:
  friend class AVCaptureVideoPreviewLayer;
  // Told of every change of the enabled state, on the changing thread,
  // outside the lock (the preview layer freezes its frame).
  std::function<void(bool enabled)> enabledChanged_;
  mutable std::mutex mutex_;
  bool enabled_ = true;                                                         // guarded by mutex_
  AVCaptureVideoOrientation orientation_ = AVCaptureVideoOrientation::Portrait;  // guarded by mutex_
};

class AVCaptureInput {
 public:
  virtual ~AVCaptureInput() = default;
};

class AVCaptureDeviceInput final : public AVCaptureInput {
 public:
  // Fails with AVErrorApplicationIsNotAuthorizedToUseDevice unless video is
  // authorised, with AVErrorDeviceNotConnected for a null or disconnected
  // device.
  static os::Result<std::shared_ptr<AVCaptureDeviceInput>> deviceInputWithDevice(
      const std::shared_ptr<AVCaptureDevice>& device);
  const std::shared_ptr<AVCaptureDevice>& device() const { return device_; }

 private:
  explicit AVCaptureDeviceInput(std::shared_ptr<AVCaptureDevice> device) : device_(std::move(device)) {}
  std::shared_ptr<AVCaptureDevice> device_;
};

class AVCaptureOutput {
 public:
  virtual ~AVCaptureOutput() = default;
  // The connection to the session's video input; null outside a session.
  std::shared_ptr<AVCaptureConnection> connection() const;

  // Internal to os/avfoundation: joins a session unless already in one.
  bool attachIfFree(const std::shared_ptr<AVCaptureSession>& session);
  void detach();

 protected:
  std::shared_ptr<AVCaptureSession> session() const;

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<AVCaptureSession> session_;        // guarded by mutex_
  std::shared_ptr<AVCaptureConnection> connection_;  // guarded by mutex_
};

class AVCapturePhotoSettings {
 public:
  // Default settings: JPEG, flash off, stabilisation off; a fresh uniqueID.
  static std::shared_ptr<AVCapturePhotoSettings> photoSettings();

  int64_t uniqueID() const { return uniqueID_; }
  AVCaptureFlashMode flashMode() const { return flashMode_; }
  void setFlashMode(AVCaptureFlashMode mode) { flashMode_ = mode; }
  bool isAutoStillImageStabilizationEnabled() const { return autoStillImageStabilization_; }
  void setAutoStillImageStabilizationEnabled(bool enabled) { autoStillImageStabilization_ = enabled; }

 private:
  explicit AVCapturePhotoSettings(int64_t uniqueID) : uniqueID_(uniqueID) {}
  int64_t uniqueID_;
  AVCaptureFlashMode flashMode_ = AVCaptureFlashMode::Off;
  bool autoStillImageStabilization_ = false;
};

class AVCapturePhoto {
 public:
  AVCapturePhoto(int64_t settingsID, std::optional<os::Data> jpeg, int width, int height)
      : settingsID_(settingsID), jpeg_(std::move(jpeg)), width_(width), height_(height) {}
  // The photo as a JPEG file; nullopt when the capture failed.
  const std::optional<os::Data>& fileDataRepresentation() const { return jpeg_; }
  // uniqueID of the settings it was taken with.
  int64_t settingsUniqueID() const { return settingsID_; }
  int pixelWidth() const { return width_; }
  int pixelHeight() const { return height_; }

 private:
  int64_t settingsID_;
  std::optional<os::Data> jpeg_;
  int width_;
  int height_;
};

class AVCapturePhotoOutput;

class AVCapturePhotoCaptureDelegate {
 public:
  virtual ~AVCapturePhotoCaptureDelegate() = default;
  // captureOutput:didFinishProcessingPhoto:error: -- once per capture, on
  // the output's queue. On failure the photo has no file data and the error
  // says why.
  virtual void captureOutput(const std::shared_ptr<AVCapturePhotoOutput>& output,
                             const std::shared_ptr<AVCapturePhoto>& photo, const std::optional<os::Error>& error) = 0;
};

class AVCapturePhotoOutput final : public AVCaptureOutput, public std::enable_shared_from_this<AVCapturePhotoOutput> {
 public:
  static std::shared_ptr<AVCapturePhotoOutput> create();

  // Takes a photo of the scene with the device's current white balance. The
  // delegate is held until it has been called. Without a running session
  // with a video input the delegate gets AVErrorSessionNotRunning. A null
  // delegate makes the call do nothing; null settings mean the defaults.
  void capturePhotoWithSettings(std::shared_ptr<AVCapturePhotoSettings> settings,
                                std::shared_ptr<AVCapturePhotoCaptureDelegate> delegate);

 private:
  AVCapturePhotoOutput();
  std::shared_ptr<os::DispatchQueue> queue_;
};

class AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  virtual ~AVCaptureVideoDataOutputSampleBufferDelegate() = default;
};

// Frames are not simulated: a video data output never calls its delegate.
class AVCaptureVideoDataOutput final : public AVCaptureOutput {
 public:
  static std::shared_ptr<AVCaptureVideoDataOutput> create() { return std::make_shared<AVCaptureVideoDataOutput>(); }
  // The delegate is held weakly.
  void setSampleBufferDelegate(const std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate>& delegate,
                               std::shared_ptr<os::DispatchQueue> queue);
  std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> sampleBufferDelegate() const;
  std::shared_ptr<os::DispatchQueue> sampleBufferCallbackQueue() const;

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate_;  // guarded by mutex_
  std::shared_ptr<os::DispatchQueue> queue_;                               // guarded by mutex_
};

class AVCaptureSession : public std::enable_shared_from_this<AVCaptureSession> {
 public:
  static std::shared_ptr<AVCaptureSession> create();
  ~AVCaptureSession();

  // One device input per session; a null input, one already added, or a
  // second device input cannot be added.
  bool canAddInput(const std::shared_ptr<AVCaptureInput>& input) const;
  // Refused (AVErrorOperationNotAllowed) when canAddInput is false.
  os::Status addInput(const std::shared_ptr<AVCaptureInput>& input);
  void removeInput(const std::shared_ptr<AVCaptureInput>& input);
  std::vector<std::shared_ptr<AVCaptureInput>> inputs() const;

  // An output can be in one session once.
  bool canAddOutput(const std::shared_ptr<AVCaptureOutput>& output) const;
  os::Status addOutput(const std::shared_ptr<AVCaptureOutput>& output);
  void removeOutput(const std::shared_ptr<AVCaptureOutput>& output);
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs() const;

  // Default AVCaptureSessionPresetHigh. Unknown presets are refused.
  AVCaptureSessionPreset sessionPreset() const;
  bool canSetSessionPreset(const AVCaptureSessionPreset& preset) const;
  os::Status setSessionPreset(const AVCaptureSessionPreset& preset);

  // Nesting brackets; device changes take effect at the outermost commit.
  // An unmatched commit is ignored.
  void beginConfiguration();
  void commitConfiguration();

  void startRunning();
  void stopRunning();
  bool isRunning() const;

  // The device of the session's video input, or null.
  std::shared_ptr<AVCaptureDevice> videoDevice() const;

 private:
  AVCaptureSession() = default;
  bool canAddInputLocked(const std::shared_ptr<AVCaptureInput>& input) const;
  // Brings the devices' streaming in line with the session. Requires mutex_.
  void updateStreamingLocked();

  mutable std::mutex mutex_;
  // Everything below is guarded by mutex_.
  std::vector<std::shared_ptr<AVCaptureInput>> inputs_;
  std::vector<std::shared_ptr<AVCaptureOutput>> outputs_;
  AVCaptureSessionPreset preset_ = AVCaptureSessionPresetHigh;
  int configurationDepth_ = 0;
  bool running_ = false;
  std::vector<std::shared_ptr<AVCaptureDevice>> streaming_;  // devices told to stream
};
