// CameraController: the capture session, the capture device and the meter's
// only source of raw data.
//
// The meter does no frame processing. The controller observes properties of
// the current capture device (white-balance gains, lens position, exposure,
// focus and white-balance adjusting flags, ISO) and republishes each change,
// under a fixed setting name, to the observers registered for that name. The
// white-balance gains are delivered converted, as WhiteBalanceValues.
//
// Design note
//   States: unconfigured -> configured (input and photo output added, session
//   running), once the camera is authorised (at construction, or when the
//   user grants access). A refusal leaves it unconfigured and posts
//   "NoCameraPermissionNotification".
//   Invariants:
//   1. Every session mutation runs on sessionQueue
//      ("com.example.session_access_queue").
//   2. A device is observed at most once: startSession() on the device
//      already observed adds nothing, and a new current device replaces the
//      observations of the previous one (so repeated starts do not multiply
//      the change callbacks).
//   3. Observation callbacks hold the controller weakly; after it is gone
//      they do nothing, and its destructor removes its observations.
//
// Threads: create() and configure() run on the main thread and only enqueue
// work. Observer registration happens on the main thread before the first
// startSession(). Observers are called on the capture device's own queue,
// never on the main queue: they move UI work to the main queue themselves.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "os/avfoundation/avfoundation.h"
#include "os/dispatch/queue.h"

// Setting names under which device changes are republished.
inline constexpr const char* kCameraControlObservableSettingLensPosition = "CameraControlObservableSettingLensPosition";
inline constexpr const char* kCameraControlObservableSettingExposureDuration =
    "CameraControlObservableSettingExposureDuration";
inline constexpr const char* kCameraControlObservableSettingISO = "CameraControlObservableSettingISO";
inline constexpr const char* kCameraControlObservableSettingWBGains = "CameraControlObservableSettingWBGains";
inline constexpr const char* kCameraControlObservableSettingAdjustingFocus =
    "CameraControlObservableSettingAdjustingFocus";
inline constexpr const char* kCameraControlObservableSettingAdjustingExposure =
    "CameraControlObservableSettingAdjustingExposure";
inline constexpr const char* kCameraControlObservableSettingAdjustingWhiteBalance =
    "CameraControlObservableSettingAdjustingWhiteBalance";
// Valid to register under; nothing is ever delivered under it.
inline constexpr const char* kCameraControlObservableSettingExposureTargetOffset =
    "CameraControlObservableSettingExposureTargetOffset";
// A change whose context matches no observation.
inline constexpr const char* kCameraControlUnknownContext = "unknown context";

inline constexpr const char* kNoCameraPermissionNotification = "NoCameraPermissionNotification";
inline constexpr const char* kCameraControllerDidStartSessionNotification = "CameraControllerDidStartSession";

inline constexpr const char* kCameraSessionQueueLabel = "com.example.session_access_queue";
inline constexpr const char* kSampleBufferDelegateQueueLabel = "sample buffer delegate";

// A reading of the white balance: temperature in kelvin and tint. Mutable
// reference type.
class WhiteBalanceValues {
 public:
  WhiteBalanceValues(float temperature, float tint) : temperature(temperature), tint(tint) {}
  float temperature;
  float tint;
};

// What an observer receives: the value as the device supplied it (a number or
// Boolean, boxed gains, a time), or WhiteBalanceValues for the gains.
using CameraSettingValue =
    std::variant<std::monostate, os::Value, AVCaptureWhiteBalanceGains, CMTime, std::shared_ptr<WhiteBalanceValues>>;

class CameraSettingValueObserver {
 public:
  virtual ~CameraSettingValueObserver() = default;
  // cameraSettingWithSetting:valueChanged: -- on the capture device's queue.
  virtual void cameraSettingWithSetting(const std::string& setting, const CameraSettingValue& valueChanged) = 0;
};

// Held by the controller; no operation of the controller calls them.
class CameraControllerDelegate {
 public:
  virtual ~CameraControllerDelegate() = default;
};
class CameraFramesDelegate {
 public:
  virtual ~CameraFramesDelegate() = default;
};

enum class CameraControllePreviewType : int { PreviewLayer = 0, Manual = 1 };

class CameraController : public std::enable_shared_from_this<CameraController>,
                         public AVCaptureVideoDataOutputSampleBufferDelegate {
 public:
  // init(previewType:delegate:): sets the fields, then configure(). The
  // delegate is held weakly.
  static std::shared_ptr<CameraController> create(CameraControllePreviewType previewType,
                                                  std::weak_ptr<CameraControllerDelegate> delegate);
  ~CameraController() override;
  CameraController(const CameraController&) = delete;
  CameraController& operator=(const CameraController&) = delete;

  // Acts on the camera authorisation: configures the session on sessionQueue
  // when authorised (or once access is granted); posts
  // "NoCameraPermissionNotification" when restricted, denied or refused.
  void configure();
  // Runs the block asynchronously on sessionQueue.
  void performOnSessionQueue(os::DispatchBlock block);
  // Session set-up steps; run on sessionQueue.
  void configureSession();
  void configureVideoOutput();
  // Observes the current device (once per device), starts the session and
  // posts "CameraControllerDidStartSession" with this controller as object.
  // Runs on sessionQueue.
  void startSession();
  // Switches between the back and the front camera and restarts; runs on
  // sessionQueue.
  void flipCamera();
  // Applies a zoom factor to the device, clamped to the device's available
  // range; prints the error's description when the device cannot be locked.
  void setZoom(const std::shared_ptr<AVCaptureDevice>& device, CGFloat factor);
  // Connects the layer to the session with resize-aspect-fill gravity.
  void attachPreviewLayer(std::shared_ptr<AVCaptureVideoPreviewLayer> layer);

  // Appends the observer to the list under the setting name; registration
  // order is delivery order, and an observer registered twice is called
  // twice. Observers are held weakly (the main screen owns the controller).
  // Main thread, before the first startSession().
  void registerObserver(const std::shared_ptr<CameraSettingValueObserver>& observer, const std::string& property);

  // The current device's gains with each channel clamped to
  // 1.0 ... maxWhiteBalanceGain (the lower bound first); nullopt without a
  // current device.
  std::optional<AVCaptureWhiteBalanceGains> normalizedGains() const;

  // Fields.
  std::shared_ptr<CameraControllerDelegate> delegate() const { return delegate_.lock(); }
  std::shared_ptr<CameraFramesDelegate> framesDelegate() const { return framesDelegate_.lock(); }
  CameraControllePreviewType previewType() const { return previewType_; }
  bool enableBracketedCapture() const { return enableBracketedCapture_; }
  void setEnableBracketedCapture(bool on) { enableBracketedCapture_ = on; }
  std::shared_ptr<AVCaptureDeviceInput> videoDeviceInput() const;
  std::shared_ptr<AVCaptureVideoPreviewLayer> previewLayer() const;
  std::shared_ptr<AVCaptureDevice> currentCameraDevice() const;
  std::shared_ptr<AVCaptureDevice> backCameraDevice() const;
  std::shared_ptr<AVCaptureDevice> frontCameraDevice() const;
  // The zoom factor last chosen by the main screen (1.0 at start).
  CGFloat currentZoomValue() const { return currentZoomValue_.load(); }
  void setCurrentZoomValue(CGFloat value) { currentZoomValue_.store(value); }
  const std::shared_ptr<os::DispatchQueue>& sessionQueue() const { return sessionQueue_; }
  const std::shared_ptr<AVCaptureSession>& session() const { return session_; }
  const std::shared_ptr<AVCapturePhotoOutput>& stillImageOutput() const { return stillImageOutput_; }
  std::shared_ptr<AVCaptureVideoDataOutput> videoOutput() const;

  // Key-value observation entry: the new value and the context decide. A
  // change without a value or context is ignored.
  void observeValueForKeyPath(const std::string& keyPath, const std::optional<AVObservedValue>& newValue,
                              const void* context);

  // Observations currently registered by this controller; for tests.
  size_t TEST_observationCount() const;

 private:
  struct Passkey {};

 public:
  CameraController(Passkey, CameraControllePreviewType previewType, std::weak_ptr<CameraControllerDelegate> delegate);

 private:
  void handleObservedChange(const std::optional<AVObservedValue>& newValue, const void* context);
  void notifyObservers(const std::string& setting, const CameraSettingValue& value);
  // Adds the device input and the photo output when possible and starts the
  // session. Requires to run on sessionQueue.
  void addInputAndStart(const std::shared_ptr<AVCaptureDeviceInput>& input);
  void removeObservationsLocked();

  std::weak_ptr<CameraControllerDelegate> delegate_;
  std::weak_ptr<CameraFramesDelegate> framesDelegate_;
  const CameraControllePreviewType previewType_;
  std::atomic<bool> enableBracketedCapture_{false};
  std::atomic<CGFloat> currentZoomValue_{1.0};
  const std::shared_ptr<os::DispatchQueue> sessionQueue_;
  const std::shared_ptr<AVCaptureSession> session_;
  const std::shared_ptr<AVCapturePhotoOutput> stillImageOutput_;

  // Observation contexts: the address of each token identifies the
  // observation a change comes from. exposureTargetOffsetContext_ is never
  // observed.
  int64_t lensPositionContext_ = 0;
  int64_t adjustingFocusContext_ = 0;
  int64_t adjustingExposureContext_ = 0;
  int64_t adjustingWhiteBalanceContext_ = 0;
  int64_t exposureDuration_ = 0;
  int64_t ISO_ = 0;
  int64_t exposureTargetOffsetContext_ = 0;
  int64_t deviceWhiteBalanceGainsContext_ = 0;

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::shared_ptr<AVCaptureDeviceInput> videoDeviceInput_;
  std::shared_ptr<AVCaptureVideoPreviewLayer> previewLayer_;
  std::shared_ptr<AVCaptureDevice> currentCameraDevice_;
  std::shared_ptr<AVCaptureDevice> backCameraDevice_;
  std::shared_ptr<AVCaptureDevice> frontCameraDevice_;
  std::shared_ptr<AVCaptureVideoDataOutput> videoOutput_;
  std::weak_ptr<AVCaptureDevice> observedDevice_;
  std::vector<AVKeyValueObservationToken> observationTokens_;
  // The observer registry. Written on the main thread before the first
  // observation exists; read on the device's queue under mutex_.
  std::map<std::string, std::vector<std::weak_ptr<CameraSettingValueObserver>>> controlObservers_;
};
