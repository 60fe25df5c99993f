// AVCaptureVideoPreviewLayer, its non-visual part: the session it shows, its
// video gravity, its connection and the conversion of layer points to the
// device's points of interest. (Its drawing joins the layer tree once it
// derives from CALayer; bounds() and setBounds() already match CALayer's.)
// What it shows, for the view that draws it, is currentFrame(): live while
// the connection is enabled, the frame of the moment it was disabled while
// it is not.
//
// Main thread only, like every layer.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/avfoundation/capture_session.h"
#include "os/foundation/error.h"
#include "os/graphics/geometry.h"

using AVLayerVideoGravity = std::string;
inline constexpr const char* AVLayerVideoGravityResizeAspect = "AVLayerVideoGravityResizeAspect";
inline constexpr const char* AVLayerVideoGravityResizeAspectFill = "AVLayerVideoGravityResizeAspectFill";
inline constexpr const char* AVLayerVideoGravityResize = "AVLayerVideoGravityResize";

class AVCaptureVideoPreviewLayer {
 public:
  static std::shared_ptr<AVCaptureVideoPreviewLayer> layer();
  static std::shared_ptr<AVCaptureVideoPreviewLayer> layerWithSession(std::shared_ptr<AVCaptureSession> session);

  const std::shared_ptr<AVCaptureSession>& session() const { return session_; }
  void setSession(std::shared_ptr<AVCaptureSession> session);

  // Default AVLayerVideoGravityResizeAspect; an unknown gravity is refused
  // (AVErrorOperationNotAllowed) and the gravity stays.
  const AVLayerVideoGravity& videoGravity() const { return gravity_; }
  os::Status setVideoGravity(const AVLayerVideoGravity& gravity);

  // The connection from the session's video to this layer; null without a
  // session. Disabling it freezes the preview; its orientation says how the
  // video is turned on screen.
  std::shared_ptr<AVCaptureConnection> connection() const { return session_ ? connection_ : nullptr; }

  CGRect bounds() const { return bounds_; }
  void setBounds(const CGRect& bounds) { bounds_ = bounds; }

  // A point in the layer's bounds to the device's point of interest: the
  // sensor's landscape frame, (0,0) top left to (1,1) bottom right, through
  // the gravity's scaling and cropping and the connection's orientation.
  // Points outside the shown video map outside [0,1]. Empty bounds give the
  // centre (0.5, 0.5).
  CGPoint captureDevicePointOfInterestForPoint(CGPoint point) const;

  // A frame of the video: what stood before the camera and the device's
  // zoom factor.
  struct Frame {
    os::CaptureScene scene;
    CGFloat zoom = 1;
  };
  // What the layer shows: the live frame while its session runs with a video
  // device and the connection is enabled; while the connection is disabled,
  // the frame that was live when it was disabled (none when nothing was);
  // nothing otherwise.
  std::optional<Frame> currentFrame() const;

 private:
  AVCaptureVideoPreviewLayer();
  std::optional<Frame> liveFrame() const;
  std::optional<Frame> frozen_;  // the frame kept while the connection is disabled
  std::shared_ptr<AVCaptureSession> session_;
  AVLayerVideoGravity gravity_ = AVLayerVideoGravityResizeAspect;
  std::shared_ptr<AVCaptureConnection> connection_;
  CGRect bounds_;
};
