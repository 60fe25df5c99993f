// The live camera picture of the main screen: PreviewLayerViewController, an
// embedded child whose view (PreviewLayerView) carries the video preview
// layer. It connects the layer to the camera controller's session, keeps the
// layer's frame and video orientation in step with the view, and turns a tap
// into an exposure and focus point of interest with a fading focus frame.
// Every tap is announced as "PreviewLayerTapped" (object "PutViewsBack").
//
// Headless, the preview layer draws nothing itself; PreviewLayerView paints
// the layer's current frame (a light source as its colour, an image as
// itself, enlarged by the device's zoom): live while the session runs, the
// frame of the moment the connection was disabled while it is (a photo being
// taken), black when there is none.
//
// Main thread only; the device configuration of a tap runs later on the
// camera controller's session queue.
#pragma once

#include <memory>

#include "os/avfoundation/avfoundation.h"
#include "os/uikit/uikit.h"
#include "os/uikit/view_controller.h"

class CameraController;

inline constexpr const char* kPreviewLayerTappedNotification = "PreviewLayerTapped";
// An array, not a pointer: one object, so one address in every file that
// compares it (copies of a string literal need not share one).
inline constexpr char kPreviewLayerTappedObject[] = "PutViewsBack";
// The focus frame: image, tag and size (points).
inline constexpr const char* kFocusImageName = "focus";
inline constexpr int kFocusIndicatorTag = 999;
inline constexpr CGFloat kFocusIndicatorSize = 77.76;
inline constexpr double kFocusIndicatorFadeSeconds = 2.0;

// Adopted by the controller the main screen embeds as its camera preview.
class CameraPreviewViewController {
 public:
  virtual ~CameraPreviewViewController() = default;
  virtual std::shared_ptr<CameraController> cameraController() const = 0;
  virtual void setCameraController(std::shared_ptr<CameraController> controller) = 0;
};

class PreviewLayerView : public UIView {
 public:
  explicit PreviewLayerView(const CGRect& frame = {});
  const std::shared_ptr<AVCaptureVideoPreviewLayer>& previewLayer() const { return previewLayer_; }
  void draw(const CGRect& rect) override;

 private:
  const std::shared_ptr<AVCaptureVideoPreviewLayer> previewLayer_;
};

class PreviewLayerViewController : public UIViewController,
                                   public CameraPreviewViewController,
                                   public UIGestureRecognizerDelegate {
 public:
  void loadView() override;
  // Adds the tap recogniser (target this controller, delegate this
  // controller).
  void viewDidLoad() override;
  // Video orientation from the device (portrait unless upside down or
  // landscape), then the layer's frame = the view's bounds.
  void viewDidLayoutSubviews() override;

  std::shared_ptr<CameraController> cameraController() const override { return cameraController_; }
  // Stores the controller and, when non-null, attaches the view's preview
  // layer to its session.
  void setCameraController(std::shared_ptr<CameraController> controller) override;

  // The tap: review-worthy action, "PreviewLayerTapped", then (ended taps
  // only) exposure and focus at the point and the focus frame.
  void focusOnPointOfInterestWithSender(UIGestureRecognizer& sender);

  std::shared_ptr<PreviewLayerView> previewView() const;

 private:
  std::shared_ptr<CameraController> cameraController_;
};
