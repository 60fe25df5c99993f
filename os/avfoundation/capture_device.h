// AVCaptureDevice: the simulated cameras, their discovery and authorisation,
// and key-value observation of their properties.
//
// Design note (simulation)
//   A scene (os::CaptureScene) stands before every camera. A device streams
//   while a running AVCaptureSession holds an input of it. While it streams,
//   its continuous automatic white balance follows the scene: on a scene
//   change, and when it starts streaming, it moves its gains from where they
//   are to the scene's grey-world gains in kWhiteBalanceAdjustmentSteps steps
//   over kWhiteBalanceAdjustmentSeconds of os::Clock time, reporting
//   isAdjustingWhiteBalance() true until the last step. Target gains are
//   limited to [1, maxWhiteBalanceGain()].
//
//   Invariants:
//   1. Property changes and their observation callbacks are ordered: each
//      change enqueues its callbacks on the device's serial queue while the
//      device's state lock is held.
//   2. A newer adjustment supersedes an older one: steps carry the adjustment
//      generation and a stale step does nothing.
//   3. Callbacks never run with the state lock held, so an observer may call
//      back into the device.
//
// Threads: every method is thread-safe. Observation callbacks run on the
// device's own serial queue, never on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "os/avfoundation/av_error.h"
#include "os/avfoundation/cm_time.h"
#include "os/avfoundation/white_balance.h"
#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "os/graphics/geometry.h"

namespace os {
class DispatchQueue;
class CameraSimulator;
}  // namespace os

using AVMediaType = std::string;
inline constexpr const char* AVMediaTypeVideo = "vide";
inline constexpr const char* AVMediaTypeAudio = "soun";

using AVCaptureDeviceType = std::string;
inline constexpr const char* AVCaptureDeviceTypeBuiltInWideAngleCamera = "AVCaptureDeviceTypeBuiltInWideAngleCamera";

enum class AVCaptureDevicePosition : int { Unspecified = 0, Back = 1, Front = 2 };
enum class AVAuthorizationStatus : int { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };
enum class AVCaptureFocusMode : int { Locked = 0, AutoFocus = 1, ContinuousAutoFocus = 2 };
enum class AVCaptureExposureMode : int { Locked = 0, AutoExpose = 1, ContinuousAutoExposure = 2, Custom = 3 };

// Observable key paths of a capture device.
inline constexpr const char* kAVKeyPathDeviceWhiteBalanceGains = "deviceWhiteBalanceGains";
inline constexpr const char* kAVKeyPathMaxWhiteBalanceGain = "maxWhiteBalanceGain";
inline constexpr const char* kAVKeyPathAdjustingWhiteBalance = "adjustingWhiteBalance";
inline constexpr const char* kAVKeyPathAdjustingFocus = "adjustingFocus";
inline constexpr const char* kAVKeyPathAdjustingExposure = "adjustingExposure";
inline constexpr const char* kAVKeyPathLensPosition = "lensPosition";
inline constexpr const char* kAVKeyPathExposureDuration = "exposureDuration";
inline constexpr const char* kAVKeyPathISO = "ISO";
inline constexpr const char* kAVKeyPathVideoZoomFactor = "videoZoomFactor";

// The new value an observation delivers: numbers and Booleans as os::Value
// (Float or Bool kind; the zoom factor a Double), the gains and the exposure
// duration boxed as their structs.
using AVObservedValue = std::variant<os::Value, AVCaptureWhiteBalanceGains, CMTime>;
using AVKeyValueObserver = std::function<void(const std::string& keyPath, const AVObservedValue& newValue)>;
using AVKeyValueObservationToken = uint64_t;

// A format of a device; only what callers read.
class AVCaptureDeviceFormat {
 public:
  AVCaptureDeviceFormat(double videoMaxZoomFactor, int32_t width, int32_t height)
      : videoMaxZoomFactor_(videoMaxZoomFactor), width_(width), height_(height) {}
  CGFloat videoMaxZoomFactor() const { return videoMaxZoomFactor_; }
  // Sensor dimensions in the sensor's (landscape) orientation.
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }

 private:
  CGFloat videoMaxZoomFactor_;
  int32_t width_;
  int32_t height_;
};

namespace os {

// What stands before the cameras: a light source given by its correlated
// colour temperature and Duv, or an image whose pixels are sRGB. Value type.
class CaptureScene {
 public:
  enum class Kind { LightSource, Image };

  // A light source; a temperature outside the locus (1000..100000 K), a
  // non-finite Duv or a light the sensor cannot see is refused.
  static os::Result<CaptureScene> lightSource(double kelvin, double duv = 0.0);
  // An image of 8-bit sRGB pixels, 3 bytes per pixel, rows top to bottom
  // without padding. Refused when the size does not match or is empty.
  static os::Result<CaptureScene> image(int width, int height, std::vector<uint8_t> rgb);
  // The same from 16-bit sRGB samples, 3 per pixel: the white is the mean of
  // the linear samples at their full depth, in double precision; pixels()
  // holds them rounded to 8 bits (what a photo shows).
  static os::Result<CaptureScene> image16(int width, int height, const std::vector<uint16_t>& rgb);

  Kind kind() const { return kind_; }
  double kelvin() const { return kelvin_; }
  double duv() const { return duv_; }
  int width() const { return width_; }
  int height() const { return height_; }
  const std::vector<uint8_t>& pixels() const { return *pixels_; }

  // The scene's white in XYZ, Y = 1 for a light source; for an image the
  // mean of its linear pixels (grey world). Black image: all zero.
  double whiteX() const { return white_[0]; }
  double whiteY() const { return white_[1]; }
  double whiteZ() const { return white_[2]; }

 private:
  CaptureScene() = default;
  static CaptureScene imageScene(int width, int height, std::vector<uint8_t> pixels, double whiteX, double whiteY,
                                 double whiteZ);
  Kind kind_ = Kind::LightSource;
  double kelvin_ = 0;
  double duv_ = 0;
  int width_ = 0;
  int height_ = 0;
  std::shared_ptr<const std::vector<uint8_t>> pixels_;
  double white_[3] = {0, 0, 0};
};

}  // namespace os

class AVCaptureDevice : public std::enable_shared_from_this<AVCaptureDevice> {
 public:
  // Adjustment of the automatic white balance after a change.
  static constexpr int kWhiteBalanceAdjustmentSteps = 6;
  static constexpr int64_t kWhiteBalanceAdjustmentStepNanos = 50'000'000;
  static constexpr double kWhiteBalanceAdjustmentSeconds =
      kWhiteBalanceAdjustmentSteps * kWhiteBalanceAdjustmentStepNanos / 1e9;
  // Focus and exposure scans after an auto-focus / auto-expose request.
  static constexpr int64_t kAutoAdjustmentNanos = 150'000'000;
  static constexpr float kDefaultMaxWhiteBalanceGain = 8.0f;

  // ---- discovery ----
  // The first device (back before front) that has the media type.
  static std::shared_ptr<AVCaptureDevice> defaultDeviceWithMediaType(const AVMediaType& mediaType);
  // The first device of the type, media type and position (Unspecified: any).
  static std::shared_ptr<AVCaptureDevice> defaultDeviceWithDeviceType(const AVCaptureDeviceType& deviceType,
                                                                      const AVMediaType& mediaType,
                                                                      AVCaptureDevicePosition position);

  // ---- authorisation ----
  static AVAuthorizationStatus authorizationStatusForMediaType(const AVMediaType& mediaType);
  // Asks the user when the status is not determined (the simulation answers,
  // see os::CameraSimulator), else answers from the status. The handler runs
  // once, on a global queue.
  static void requestAccessForMediaType(const AVMediaType& mediaType, std::function<void(bool granted)> handler);

  ~AVCaptureDevice();

  const std::string& uniqueID() const { return uniqueID_; }
  const std::string& localizedName() const { return localizedName_; }
  const AVCaptureDeviceType& deviceType() const { return deviceType_; }
  AVCaptureDevicePosition position() const { return position_; }
  bool hasMediaType(const AVMediaType& mediaType) const { return mediaType == AVMediaTypeVideo; }
  bool isConnected() const;

  // ---- configuration lock ----
  // Setters below need the lock. Locks nest: each successful lock needs one
  // unlock. Fails (AVErrorDeviceLockedForConfigurationByAnotherProcess) when
  // the simulation says another process holds it.
  os::Status lockForConfiguration();
  void unlockForConfiguration();

  // ---- white balance ----
  AVCaptureWhiteBalanceGains deviceWhiteBalanceGains() const;
  float maxWhiteBalanceGain() const;
  bool isAdjustingWhiteBalance() const;
  // The conversions of white_balance.h (gains need not be within range; they
  // must be finite and positive).
  os::Result<AVCaptureWhiteBalanceTemperatureAndTintValues> temperatureAndTintValuesForDeviceWhiteBalanceGains(
      const AVCaptureWhiteBalanceGains& gains) const;
  os::Result<AVCaptureWhiteBalanceGains> deviceWhiteBalanceGainsForTemperatureAndTintValues(
      const AVCaptureWhiteBalanceTemperatureAndTintValues& values) const;

  // ---- zoom ----
  CGFloat videoZoomFactor() const;
  // Needs the lock; refused (AVErrorOperationNotAllowed, factor unchanged)
  // outside [minAvailableVideoZoomFactor, maxAvailableVideoZoomFactor].
  os::Status setVideoZoomFactor(CGFloat factor);
  CGFloat minAvailableVideoZoomFactor() const;
  CGFloat maxAvailableVideoZoomFactor() const;
  std::shared_ptr<const AVCaptureDeviceFormat> activeFormat() const { return activeFormat_; }

  // ---- focus and exposure ----
  // Points of interest are in the sensor's landscape frame, (0,0) top left to
  // (1,1) bottom right. Setters need the lock and a supported feature; a
  // point outside [0,1] x [0,1] is refused. Setting the AutoFocus (AutoExpose)
  // mode runs one scan: adjustingFocus (adjustingExposure) is true for
  // kAutoAdjustmentNanos, then the lens position (exposure) is reported.
  bool isFocusPointOfInterestSupported() const { return focusPointSupported_; }
  bool isFocusModeSupported(AVCaptureFocusMode mode) const;
  CGPoint focusPointOfInterest() const;
  os::Status setFocusPointOfInterest(CGPoint point);
  AVCaptureFocusMode focusMode() const;
  os::Status setFocusMode(AVCaptureFocusMode mode);
  bool isAdjustingFocus() const;
  float lensPosition() const;

  bool isExposurePointOfInterestSupported() const { return true; }
  bool isExposureModeSupported(AVCaptureExposureMode mode) const;
  CGPoint exposurePointOfInterest() const;
  os::Status setExposurePointOfInterest(CGPoint point);
  AVCaptureExposureMode exposureMode() const;
  os::Status setExposureMode(AVCaptureExposureMode mode);
  bool isAdjustingExposure() const;
  CMTime exposureDuration() const;
  float ISO() const;

  // ---- key-value observation ----
  // Calls `observer` with each new value of `keyPath` (one of the kAVKeyPath
  // constants; others are refused with AVErrorOperationNotAllowed). Changes
  // only, not the current value. Callbacks run on the device's queue in
  // change order; one registered twice is called twice.
  os::Result<AVKeyValueObservationToken> addObserver(const std::string& keyPath, AVKeyValueObserver observer);
  // After it returns no further callback of the token starts (one already
  // running may finish). Unknown tokens are ignored.
  void removeObserver(AVKeyValueObservationToken token);
  // The device's queue, on which callbacks run.
  std::shared_ptr<os::DispatchQueue> observationQueue() const { return queue_; }

  // Internal to os/avfoundation.
  struct Access;

 private:
  friend class os::CameraSimulator;
  friend struct Access;

  struct Config {
    std::string uniqueID;
    std::string localizedName;
    AVCaptureDevicePosition position = AVCaptureDevicePosition::Back;
    bool focusPointSupported = true;
    CGFloat maxAvailableVideoZoomFactor = 10.0;
    CGFloat formatMaxZoomFactor = 16.0;
  };
  explicit AVCaptureDevice(const Config& config);

  struct Registration {
    AVKeyValueObservationToken token;
    std::string keyPath;
    std::shared_ptr<AVKeyValueObserver> observer;
  };

  // Enqueues callbacks for a change of keyPath. Requires mutex_.
  void notifyLocked(const std::string& keyPath, AVObservedValue value);
  bool isRegistered(AVKeyValueObservationToken token) const;
  // Starts a white-balance adjustment towards the current scene.
  // Requires mutex_.
  void startWhiteBalanceAdjustmentLocked();
  void whiteBalanceStep(uint64_t generation, int step);
  // Starts one focus or exposure scan: raises `adjusting` (notifying
  // adjustingKeyPath) and, after the scan's time, runs `finish` and lowers it,
  // unless a newer scan of the same kind began meanwhile. Requires mutex_;
  // `finish` runs with mutex_ held.
  void startScanLocked(uint64_t AVCaptureDevice::*generation, bool AVCaptureDevice::*adjusting,
                       const char* adjustingKeyPath, void (*finish)(AVCaptureDevice&));
  // A running session starts or stops using the device.
  void setStreaming(bool streaming);
  void sceneDidChange();
  os::Status requireLockLocked() const;

  const std::string uniqueID_;
  const std::string localizedName_;
  const AVCaptureDeviceType deviceType_ = AVCaptureDeviceTypeBuiltInWideAngleCamera;
  const AVCaptureDevicePosition position_;
  const bool focusPointSupported_;
  const CGFloat maxAvailableVideoZoomFactor_;
  const std::shared_ptr<const AVCaptureDeviceFormat> activeFormat_;
  const std::shared_ptr<os::DispatchQueue> queue_;

  mutable std::mutex mutex_;
  // Everything below is guarded by mutex_.
  std::vector<Registration> registrations_;
  AVKeyValueObservationToken nextToken_ = 1;
  int lockCount_ = 0;
  std::optional<os::Error> lockError_;
  bool connected_ = true;
  int streamingCount_ = 0;  // running sessions that hold an input of this device
  AVCaptureWhiteBalanceGains gains_;
  float maxWhiteBalanceGain_ = kDefaultMaxWhiteBalanceGain;
  bool adjustingWhiteBalance_ = false;
  uint64_t whiteBalanceGeneration_ = 0;
  AVCaptureWhiteBalanceGains adjustmentStart_;
  AVCaptureWhiteBalanceGains adjustmentTarget_;
  CGFloat videoZoomFactor_ = 1.0;
  CGPoint focusPoint_{0.5, 0.5};
  AVCaptureFocusMode focusMode_ = AVCaptureFocusMode::ContinuousAutoFocus;
  bool adjustingFocus_ = false;
  float lensPosition_ = 0.5f;
  uint64_t focusGeneration_ = 0;
  CGPoint exposurePoint_{0.5, 0.5};
  AVCaptureExposureMode exposureMode_ = AVCaptureExposureMode::ContinuousAutoExposure;
  bool adjustingExposure_ = false;
  CMTime exposureDuration_ = CMTimeMake(1, 60);
  float iso_ = 100.0f;
  uint64_t exposureGeneration_ = 0;
};

// Discovers devices of the given types, media type and position
// (Unspecified: any), in the order of the simulated hardware.
class AVCaptureDeviceDiscoverySession {
 public:
  static std::shared_ptr<AVCaptureDeviceDiscoverySession> discoverySessionWithDeviceTypes(
      std::vector<AVCaptureDeviceType> deviceTypes, const AVMediaType& mediaType, AVCaptureDevicePosition position);
  const std::vector<std::shared_ptr<AVCaptureDevice>>& devices() const { return devices_; }

 private:
  std::vector<std::shared_ptr<AVCaptureDevice>> devices_;
};

namespace os {

// The simulation's controls: the hardware, the user's answers and the scene.
// Used by tests and by the program to play the device's and the user's part.
// Thread-safe.
class CameraSimulator {
 public:
  // Default hardware: "Back Camera" (uniqueID "com.drosil.camera.back",
  // focus point supported, zoom 1..10) and "Front Camera"
  // ("com.drosil.camera.front", fixed focus, zoom 1..4), both wide-angle,
  // format 4032 x 3024 with a maximum zoom factor of 16.
  struct DeviceSpec {
    std::string uniqueID;
    std::string localizedName;
    AVCaptureDevicePosition position = AVCaptureDevicePosition::Back;
    bool focusPointSupported = true;
    CGFloat maxAvailableVideoZoomFactor = 10.0;
  };
  static std::vector<DeviceSpec> defaultDeviceSpecs();
  // Replaces the simulated hardware (an empty list: no camera).
  static void setDevices(const std::vector<DeviceSpec>& specs);
  static std::vector<std::shared_ptr<AVCaptureDevice>> devices();

  // Sets the authorisation status directly (as Settings would).
  static void setAuthorizationStatus(const AVMediaType& mediaType, AVAuthorizationStatus status);
  // The user's answer when asked (default: grant).
  static void setAccessAnswer(const AVMediaType& mediaType, bool grant);
  // Number of times the user was asked; for tests.
  static int accessRequestCount(const AVMediaType& mediaType);

  // Puts a scene before the cameras; streaming devices start adjusting.
  // Default: a 5000 K light on the locus.
  static void setScene(const CaptureScene& scene);
  static CaptureScene scene();

  // Per-device knobs.
  static void setMaxWhiteBalanceGain(const std::shared_ptr<AVCaptureDevice>& device, float maxGain);
  // A lock error for lockForConfiguration (nullopt: locks succeed).
  static void setLockError(const std::shared_ptr<AVCaptureDevice>& device, std::optional<os::Error> error);
  // A disconnected device cannot make an input.
  static void setConnected(const std::shared_ptr<AVCaptureDevice>& device, bool connected);

  // Restores the defaults: hardware, statuses NotDetermined, answers grant,
  // default scene. Devices made before are retired: their observers are
  // dropped and adjustments in flight end.
  static void reset();
};

}  // namespace os
