#include "app/controls/sliders.h"

#include <cmath>
#include <numbers>

#include "os/dispatch/queue.h"

namespace detail {

CGRect thinSliderThumbRect(const UISlider& slider, const CGRect& trackRect, float value) {
  float maximum = slider.maximumValue();
  if (maximum == 0) maximum = 1;
  const float fraction = value / maximum;
  const CGFloat x = std::ceil(trackRect.width() * fraction) - 4;
  const CGFloat y = trackRect.midY() - 4;
  return {x, y, 8, 8};
}

}  // namespace detail

CGRect HorizontalSliderThickness::trackRectForBounds(const CGRect& bounds) const {
  return {0, UISlider::trackRectForBounds(bounds).origin.y, bounds.width(), 4};
}

CGRect HorizontalSliderThickness::thumbRectForBounds(const CGRect&, const CGRect& trackRect, float value) const {
  return detail::thinSliderThumbRect(*this, trackRect, value);
}


CGRect CustomThicknessSlider::trackRectForBounds(const CGRect& bounds) const {
  return {0, UISlider::trackRectForBounds(bounds).origin.y, bounds.width(), 8};
}

CGRect CustomThicknessSlider::thumbRectForBounds(const CGRect&, const CGRect& trackRect, float value) const {
  return detail::thinSliderThumbRect(*this, trackRect, value);
}


// ---- HorizontalSlider ----

std::shared_ptr<HorizontalSlider> HorizontalSlider::create(const CGRect& frame) {
  auto view = std::make_shared<HorizontalSlider>(frame);
  view->addSubview(view->slider_);
  return view;
}

HorizontalSlider::HorizontalSlider(const CGRect& frame) : SliderWrapper(frame, 0, 200) { updateSlider(); }

void HorizontalSlider::updateSlider() {
  slider_->setTransform(CGAffineTransform::identity());
  applySettings();
}

void HorizontalSlider::layoutSubviews() {
  UIView::layoutSubviews();
  centreSlider(bounds().width());
}

// ---- VerticalSlider ----

std::shared_ptr<VerticalSlider> VerticalSlider::create(const CGRect& frame) {
  auto view = std::make_shared<VerticalSlider>(frame);
  view->addSubview(view->slider_);
  return view;
}

VerticalSlider::VerticalSlider(const CGRect& frame) : SliderWrapper(frame, -1, 1) { updateSlider(); }

void VerticalSlider::updateSlider() {
  constexpr CGFloat quarter = std::numbers::pi / 2;
  if (ascending_) {
    slider_->setTransform(CGAffineTransform::makeRotation(quarter).scaledBy(1, -1));
  } else {
    slider_->setTransform(CGAffineTransform::makeRotation(-quarter));
  }
  applySettings();
}

CGSize VerticalSlider::intrinsicContentSize() const {
  const CGSize size = slider_->intrinsicContentSize();
  return {size.height, size.width};
}

void VerticalSlider::layoutSubviews() {
  UIView::layoutSubviews();
  centreSlider(bounds().height());
}

// ---- PUGradientSlider ----

void PUGradientSlider::gradientImage(const std::shared_ptr<UISlider>& slider, const std::vector<CGColor>& colors,
                                     CGFloat thickness) {
  if (!slider) return;
  auto layer = CAGradientLayer::layer();
  layer->setFrame({0, 0, slider->bounds().width(), 5});
  layer->setColors(colors);
  layer->setStartPoint({0, 1});
  layer->setEndPoint({1, 1});
  layer->setMasksToBounds(true);
  layer->setCornerRadius(thickness);

  // A size that cannot be drawn pushes no context; never draw into the
  // context that was current before.
  CGContext* before = UIGraphicsGetCurrentContext();
  UIGraphicsBeginImageContextWithOptions(layer->frame().size, false, 0);
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx || ctx == before) return;
  layer->renderInContext(*ctx);
  std::shared_ptr<UIImage> image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  if (!image) return;

  os::DispatchQueue::main()->async([slider, image] {
    slider->setMaximumTrackImage(image, UIControlState::Normal);
    slider->setMinimumTrackImage(image, UIControlState::Normal);
  });
}
