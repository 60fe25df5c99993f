#include "os/avfoundation/preview_layer.h"

#include <algorithm>

AVCaptureVideoPreviewLayer::AVCaptureVideoPreviewLayer() : connection_(AVCaptureConnection::create()) {}

std::shared_ptr<AVCaptureVideoPreviewLayer> AVCaptureVideoPreviewLayer::layer() {
  auto layer = std::shared_ptr<AVCaptureVideoPreviewLayer>(new AVCaptureVideoPreviewLayer);
  std::weak_ptr<AVCaptureVideoPreviewLayer> weak = layer;
  layer->connection_->enabledChanged_ = [weak](bool enabled) {
    auto self = weak.lock();
    if (!self) return;
    self->frozen_ = enabled ? std::nullopt : self->liveFrame();
  };
  return layer;
}

std::optional<AVCaptureVideoPreviewLayer::Frame> AVCaptureVideoPreviewLayer::liveFrame() const {
  if (!session_ || !session_->isRunning()) return std::nullopt;
  auto device = session_->videoDevice();
  if (!device) return std::nullopt;
  return Frame{os::CameraSimulator::scene(), device->videoZoomFactor()};
}

std::optional<AVCaptureVideoPreviewLayer::Frame> AVCaptureVideoPreviewLayer::currentFrame() const {
  if (!session_) return std::nullopt;
  return connection_->isEnabled() ? liveFrame() : frozen_;
}

std::shared_ptr<AVCaptureVideoPreviewLayer> AVCaptureVideoPreviewLayer::layerWithSession(
    std::shared_ptr<AVCaptureSession> session) {
  auto l = layer();
  l->setSession(std::move(session));
  return l;
}

void AVCaptureVideoPreviewLayer::setSession(std::shared_ptr<AVCaptureSession> session) {
  session_ = std::move(session);
}

os::Status AVCaptureVideoPreviewLayer::setVideoGravity(const AVLayerVideoGravity& gravity) {
  if (gravity != AVLayerVideoGravityResizeAspect && gravity != AVLayerVideoGravityResizeAspectFill &&
      gravity != AVLayerVideoGravityResize) {
    return os::fail(AVMakeError(AVErrorOperationNotAllowed, "Unknown video gravity \"" + gravity + "\"."));
  }
  gravity_ = gravity;
  return {};
}

CGPoint AVCaptureVideoPreviewLayer::captureDevicePointOfInterestForPoint(CGPoint point) const {
  const CGRect b = bounds_.standardized();
  if (b.size.width <= 0 || b.size.height <= 0) return {0.5, 0.5};

  // Sensor size in its own landscape orientation.
  double sensorWidth = 4032, sensorHeight = 3024;
  if (session_) {
    if (auto device = session_->videoDevice()) {
      sensorWidth = device->activeFormat()->width();
      sensorHeight = device->activeFormat()->height();
    }
  }
  const AVCaptureVideoOrientation orientation = connection_->videoOrientation();
  const bool portrait = orientation == AVCaptureVideoOrientation::Portrait ||
                        orientation == AVCaptureVideoOrientation::PortraitUpsideDown;
  const double videoWidth = portrait ? sensorHeight : sensorWidth;
  const double videoHeight = portrait ? sensorWidth : sensorHeight;

  // Where the video lies in the layer.
  double shownWidth = b.size.width, shownHeight = b.size.height;
  if (gravity_ != AVLayerVideoGravityResize) {
    const double sx = b.size.width / videoWidth, sy = b.size.height / videoHeight;
    const double scale = gravity_ == AVLayerVideoGravityResizeAspectFill ? std::max(sx, sy) : std::min(sx, sy);
    shownWidth = videoWidth * scale;
    shownHeight = videoHeight * scale;
  }
  const double left = b.origin.x + (b.size.width - shownWidth) / 2;
  const double top = b.origin.y + (b.size.height - shownHeight) / 2;
  const double px = (point.x - left) / shownWidth;
  const double py = (point.y - top) / shownHeight;

  // From the video as shown to the sensor's frame.
  switch (orientation) {
    case AVCaptureVideoOrientation::LandscapeRight:
      return {px, py};
    case AVCaptureVideoOrientation::LandscapeLeft:
      return {1 - px, 1 - py};
    case AVCaptureVideoOrientation::PortraitUpsideDown:
      return {1 - py, px};
    case AVCaptureVideoOrientation::Portrait:
    default:
      return {py, 1 - px};
  }
}
