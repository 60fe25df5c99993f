#include "app/screens/photo/overlay_view_controller.h"

#include <cmath>
#include <numbers>

#include "os/foundation/bundle.h"
#include "os/foundation/console.h"
#include "os/foundation/date_format.h"
#include "os/graphics/path.h"

namespace {

// The slider picture is turned a quarter counter-clockwise and doubled.
constexpr float kSliderPictureAngle = -std::numbers::pi_v<float> / 2;
constexpr CGFloat kSliderPictureScale = 2.0;

std::shared_ptr<UILabel> makeLabel(const CGRect& frame, CGFloat size, CGFloat weight = UIFontWeight::Regular) {
  auto label = std::make_shared<UILabel>(frame);
  label->setFont(UIFont::systemFont(size, weight));
  label->setTextColor(UIColor::whiteColor());
  return label;
}

// The location marker: a white pin with a hole.
std::shared_ptr<UIImage> markerImage() {
  UIGraphicsImageRenderer renderer({14, 20});
  auto image = renderer.image([](UIGraphicsImageRendererContext& renderer) {
    CGContext& ctx = renderer.cgContext();
    CGPath pin;
    pin.addArc({7, 7}, 6.5, std::numbers::pi * 0.8, std::numbers::pi * 0.2, true);
    pin.addLineTo({7, 19.5});
    pin.closeSubpath();
    pin.addEllipse({4.5, 4.5, 5, 5});
    ctx.setFillColor(UIColor::whiteColor().cgColor());
    ctx.beginPath();
    ctx.addPath(pin);
    ctx.fillPath(CGPathFillRule::EvenOdd);
  });
  return image.value_or(nullptr);
}

}  // namespace

// ---- BottomGradientView ----

const std::shared_ptr<CAGradientLayer>& BottomGradientView::gradientLayer() {
  if (!gradientLayer_) {
    gradientLayer_ = CAGradientLayer::layer();
    gradientLayer_->setFrame(bounds());
    gradientLayer_->setColors({UIColor::clearColor().cgColor(), UIColor::fromWhite(0.0, 1.0).cgColor()});
    gradientLayer_->setStartPoint({1.0, 0.0});
    gradientLayer_->setEndPoint({1.0, 1.0});
    layer()->insertSublayer(gradientLayer_, 0);
  }
  return gradientLayer_;
}

void BottomGradientView::layoutSubviews() {
  UIView::layoutSubviews();
  gradientLayer()->setFrame(bounds());
}

// ---- OverlayViewController ----

OverlayViewController::OverlayViewController(const std::optional<std::string>&, const void*) {}

void OverlayViewController::loadView() {
  const CGRect screen = UIScreen::mainScreen().bounds();
  const CGFloat W = screen.width(), H = screen.height();
  auto bundle = os::Bundle::mainBundle();
  auto root = std::make_shared<UIView>(screen);
  root->setBackgroundColor(UIColor::blackColor());
  root->setClipsToBounds(true);

  auto captured = std::make_shared<UIImageView>(screen);
  captured->setContentMode(UIViewContentMode::ScaleAspectFill);
  captured->setClipsToBounds(true);
  root->addSubview(captured);
  capturedImg_ = captured;

  auto gradient = std::make_shared<BottomGradientView>(CGRect{0, H * 0.55, W, H * 0.45});
  root->addSubview(gradient);
  buttomGradient_ = gradient;

  // The slider picture stands at the right edge; its 2x transform scales it
  // about its centre.
  auto slider = std::make_shared<UIImageView>(CGRect{W - 38, H * 0.5 - 120, 16, 100});
  slider->setContentMode(UIViewContentMode::ScaleAspectFit);
  root->addSubview(slider);
  cctTempImg_ = slider;

  auto caption = makeLabel({24, H - 236, 200, 20}, 14);
  caption->setText(bundle->localizedStringForKey("White Balance"));
  root->addSubview(caption);
  auto reading = makeLabel({24, H - 216, 240, 52}, 44, UIFontWeight::Bold);
  root->addSubview(reading);
  readingLbl_ = reading;

  auto tintCaption = makeLabel({W - 124, H - 236, 100, 20}, 14);
  tintCaption->setTextAlignment(NSTextAlignment::Right);
  root->addSubview(tintCaption);
  tintLbl_ = tintCaption;
  auto tint = makeLabel({W - 124, H - 216, 100, 52}, 30, UIFontWeight::Semibold);
  tint->setTextAlignment(NSTextAlignment::Right);
  root->addSubview(tint);
  tintReading_ = tint;

  auto desc = makeLabel({24, H - 156, W - 48, 24}, 17, UIFontWeight::Medium);
  desc->setAdjustsFontSizeToFitWidth(true);
  desc->setMinimumScaleFactor(0.5);
  root->addSubview(desc);
  descLbl_ = desc;

  auto dateTime = makeLabel({24, H - 124, W - 48, 20}, 15);
  root->addSubview(dateTime);
  dateTimeLbl_ = dateTime;

  auto location = std::make_shared<UIView>(CGRect{24, H - 96, W - 48, 22});
  auto marker = std::make_shared<UIImageView>(CGRect{0, 1, 14, 20});
  marker->setImage(markerImage());
  marker->setContentMode(UIViewContentMode::ScaleAspectFit);
  location->addSubview(marker);
  markerImg_ = marker;
  auto address = makeLabel({22, 0, W - 70, 22}, 15);
  address->setAdjustsFontSizeToFitWidth(true);
  address->setMinimumScaleFactor(0.6);
  location->addSubview(address);
  userAddressLbl_ = address;
  root->addSubview(location);
  locationView_ = location;

  setView(root);
}

void OverlayViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  os::Console::writef("lblUserAddress: %s\n", lblUserAddress.c_str());
  if (lblUserAddress.empty()) locationView()->setHidden(true);

  readingLbl()->setText(lblReading.value_or(""));
  tintReading()->setText(tntReading.value_or(""));
  tintLbl()->setText(lblTint.value_or(""));
  capturedImg()->setImage(imgCaptured);
  dateTimeLbl()->setText(lblDateTime.value_or(""));
  userAddressLbl()->setText(lblUserAddress);
  markerImg()->setHidden(isMarkerHidden.value_or(lblUserAddress.empty()));
  descLbl()->setText(lblDesc.value_or(""));

  auto slider = cctTempImg();
  slider->setImage(rotateImage(cctImg, kSliderPictureAngle));
  slider->setTransform(CGAffineTransformMakeScale(kSliderPictureScale, kSliderPictureScale));

  os::Console::writef("tint: %s %s\n", tntReading.value_or("").c_str(), lblTint.value_or("").c_str());
}

// ---- Images ----

std::shared_ptr<UIImage> rotateImage(const std::shared_ptr<UIImage>& image, float radians) {
  if (!image) return nullptr;
  const CGSize size = image->size();
  const CGRect box = CGRectApplyAffineTransform({0, 0, size.width, size.height}, CGAffineTransformMakeRotation(radians));
  const CGSize rotated{std::floor(box.width()), std::floor(box.height())};

  CGContext* before = UIGraphicsGetCurrentContext();
  UIGraphicsBeginImageContextWithOptions(rotated, false, image->scale());
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx || ctx == before) return nullptr;
  ctx->translateBy(rotated.width / 2, rotated.height / 2);
  ctx->rotateBy(radians);
  image->drawInRect({-size.width / 2, -size.height / 2, size.width, size.height});
  auto result = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return result;
}

std::shared_ptr<UIImage> snapshotImage(UIView& view, bool opaque, CGFloat scale) {
  CGContext* before = UIGraphicsGetCurrentContext();
  UIGraphicsBeginImageContextWithOptions(view.bounds().size, opaque, scale);
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx || ctx == before) return std::make_shared<UIImage>();
  view.drawViewHierarchyInRect(view.bounds(), true);
  auto image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image ? image : std::make_shared<UIImage>();
}

// ---- Composition ----

std::shared_ptr<OverlayViewController> makePhotoOverlay(const PhotoOverlayContent& content) {
  auto overlay = std::make_shared<OverlayViewController>(kOverlayViewControllerNibName);
  overlay->lblDateTime = os::DateFormatter(kPhotoOverlayDateFormat).stringFromDate(content.date);
  overlay->lblReading = content.reading.empty() ? std::string(kPhotoOverlayNoReading) : content.reading;
  overlay->imgCaptured = content.photo;
  overlay->lblUserAddress = content.userAddress;
  overlay->lblDesc = content.lightDescription;
  overlay->lblTint = content.tintCaption;
  overlay->tntReading = content.tintValue;
  overlay->cctImg = content.sliderImage;
  overlay->isMarkerHidden = content.userAddress.empty();
  return overlay;
}

std::shared_ptr<UIImage> composePhotoOverlay(const PhotoOverlayContent& content) {
  auto overlay = makePhotoOverlay(content);
  return snapshotImage(*overlay->view());
}
