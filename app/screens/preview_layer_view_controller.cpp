#include "app/screens/preview_layer_view_controller.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "app/camera/camera_controller.h"
#include "app/screens/review_requester.h"
#include "app/screens/white_balance_reading.h"
#include "os/dispatch/notification.h"
#include "os/foundation/console.h"

namespace {

// The scene's picture for an image scene, made once per scene image.
std::shared_ptr<CGImage> sceneImage(const os::CaptureScene& scene) {
  // The cached scene keeps its pixels alive, so their address names them.
  static std::optional<os::CaptureScene> cachedScene;
  static std::shared_ptr<CGImage> cached;
  const std::vector<uint8_t>& rgb = scene.pixels();
  if (cachedScene && &cachedScene->pixels() == &rgb) return cached;
  auto image = std::make_shared<CGImage>(scene.width(), scene.height(), true);
  for (int y = 0; y < scene.height(); ++y) {
    uint8_t* row = image->mutablePixels() + static_cast<size_t>(y) * image->stride();
    for (int x = 0; x < scene.width(); ++x) {
      const uint8_t* p = &rgb[(static_cast<size_t>(y) * scene.width() + x) * 3];
      // Premultiplied ARGB32 in native (little-endian) order: B, G, R, A.
      row[x * 4 + 0] = p[2];
      row[x * 4 + 1] = p[1];
      row[x * 4 + 2] = p[0];
      row[x * 4 + 3] = 0xFF;
    }
  }
  cachedScene = scene;
  cached = image;
  return image;
}

void configure(const std::shared_ptr<AVCaptureDevice>& device, const std::function<void(AVCaptureDevice&)>& change) {
  if (!device->lockForConfiguration()) return;
  change(*device);
  device->unlockForConfiguration();
}

}  // namespace

PreviewLayerView::PreviewLayerView(const CGRect& frame)
    : UIView(frame), previewLayer_(AVCaptureVideoPreviewLayer::layer()) {
  setBackgroundColor(UIColor::blackColor());
}

void PreviewLayerView::draw(const CGRect& rect) {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  const auto frame = previewLayer_->currentFrame();
  if (!ctx || !frame) return;
  const CGFloat zoom = std::max<CGFloat>(1, frame->zoom);
  const os::CaptureScene& scene = frame->scene;
  ctx->saveGState();
  ctx->clip(rect);
  if (scene.kind() == os::CaptureScene::Kind::Image && scene.width() > 0 && scene.height() > 0) {
    // Aspect fill, as the layer's gravity, enlarged about the centre by the zoom.
    const double s = std::max(rect.width() / scene.width(), rect.height() / scene.height()) * zoom;
    const CGSize size{scene.width() * s, scene.height() * s};
    ctx->drawImage(*sceneImage(scene),
                   {rect.midX() - size.width / 2, rect.midY() - size.height / 2, size.width, size.height});
  } else {
    // A lit wall: the light's colour, falling off towards the bottom.
    const CGColor light = kelvinColor(scene.kelvin());
    const int bands = 48;
    for (int i = 0; i < bands; ++i) {
      const CGFloat t = static_cast<CGFloat>(i) / (bands - 1);
      const CGFloat shade = 0.72 - 0.4 * t;
      ctx->setFillColor(CGColor::sRGB(light.red * shade, light.green * shade, light.blue * shade));
      const CGFloat h = rect.height() / bands;
      ctx->fill({rect.minX(), rect.minY() + h * i, rect.width(), h + 1});
    }
  }
  ctx->restoreGState();
}

void PreviewLayerViewController::loadView() { setView(std::make_shared<PreviewLayerView>(UIScreen::mainScreen().bounds())); }

std::shared_ptr<PreviewLayerView> PreviewLayerViewController::previewView() const {
  return std::dynamic_pointer_cast<PreviewLayerView>(viewIfLoaded());
}

void PreviewLayerViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  std::weak_ptr<PreviewLayerViewController> weak =
      std::static_pointer_cast<PreviewLayerViewController>(shared_from_this());
  auto tap = std::make_shared<UITapGestureRecognizer>([weak](UIGestureRecognizer& sender) {
    if (auto self = weak.lock()) self->focusOnPointOfInterestWithSender(sender);
  });
  tap->setDelegate(std::weak_ptr<UIGestureRecognizerDelegate>(weak.lock()));
  view()->addGestureRecognizer(tap);
}

void PreviewLayerViewController::viewDidLayoutSubviews() {
  UIViewController::viewDidLayoutSubviews();
  auto view = previewView();
  if (!view) return;
  const auto& layer = view->previewLayer();
  if (auto connection = layer->connection(); connection && connection->isVideoOrientationSupported()) {
    AVCaptureVideoOrientation orientation = AVCaptureVideoOrientation::Portrait;
    switch (UIDevice::currentDevice()->orientation()) {
      case UIDeviceOrientation::PortraitUpsideDown:
      case UIDeviceOrientation::LandscapeLeft:
      case UIDeviceOrientation::LandscapeRight:
        // The raw values carry over number for number.
        orientation = static_cast<AVCaptureVideoOrientation>(UIDevice::currentDevice()->orientation());
        break;
      default:
        break;
    }
    connection->setVideoOrientation(orientation);
  }
  layer->setBounds(view->bounds());
}

void PreviewLayerViewController::setCameraController(std::shared_ptr<CameraController> controller) {
  cameraController_ = std::move(controller);
  if (cameraController_) {
    loadViewIfNeeded();
    cameraController_->attachPreviewLayer(previewView()->previewLayer());
  }
}

void PreviewLayerViewController::focusOnPointOfInterestWithSender(UIGestureRecognizer& sender) {
  ReviewRequester::recordReviewWorthyAction();
  os::NotificationCenter::defaultCenter()->postNotificationName(kPreviewLayerTappedNotification,
                                                               kPreviewLayerTappedObject);
  if (sender.state() != UIGestureRecognizerState::Ended) return;
  auto view = this->view();
  const CGPoint location = sender.locationInView(view.get());

  auto controller = cameraController_;
  if (!controller) {
    os::Console::writef("Expected a previewLayer\n");
    return;
  }
  auto layer = controller->previewLayer();
  const auto pointOfInterest = [&] { return layer ? layer->captureDevicePointOfInterestForPoint(location) : location; };
  CGPoint point = pointOfInterest();
  if (auto device = controller->currentCameraDevice()) {
    controller->performOnSessionQueue([device, point] {
      configure(device, [point](AVCaptureDevice& d) {
        if (!d.isExposurePointOfInterestSupported()) return;
        (void)d.setExposurePointOfInterest(point);
        (void)d.setExposureMode(AVCaptureExposureMode::AutoExpose);
      });
    });
    controller->performOnSessionQueue([device, point] {
      configure(device, [point](AVCaptureDevice& d) {
        if (!d.isFocusPointOfInterestSupported()) return;
        (void)d.setFocusPointOfInterest(point);
        (void)d.setFocusMode(AVCaptureFocusMode::AutoFocus);
      });
    });
  }

  if (!layer) {
    os::Console::writef("Expected a previewLayer\n");
    return;
  }
  auto device = controller->currentCameraDevice();
  if (!device) {
    os::Console::writef("Expected a device\n");
    return;
  }
  point = pointOfInterest();
  if (device->isFocusPointOfInterestSupported() && device->isFocusModeSupported(AVCaptureFocusMode::AutoFocus)) {
    if (device->lockForConfiguration()) {
      (void)device->setFocusPointOfInterest(point);
      (void)device->setFocusMode(AVCaptureFocusMode::AutoFocus);
      device->unlockForConfiguration();
    } else {
      os::Console::writef("unable to focus\n");
    }
  }

  const CGPoint at = sender.locationInView(view.get());
  const CGFloat half = kFocusIndicatorSize / 2;
  auto indicator = std::make_shared<UIImageView>(CGRect{at.x - half, at.y - half, kFocusIndicatorSize, kFocusIndicatorSize});
  indicator->setImage(UIImage::imageNamed(kFocusImageName));
  indicator->setTag(kFocusIndicatorTag);
  for (auto old = view->viewWithTag(kFocusIndicatorTag); old; old = view->viewWithTag(kFocusIndicatorTag)) {
    old->removeFromSuperview();
  }
  view->addSubview(indicator);
  UIView::animate(kFocusIndicatorFadeSeconds, [indicator] { indicator->setAlpha(0.0); });
}
