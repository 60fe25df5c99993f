#include "widgets/ArcActivityIndicator/arc_activity_indicator_view.h"

#include <cmath>
#include <limits>

#include "os/dispatch/notification.h"

ArcActivityIndicatorView::ArcActivityIndicatorView(const CGRect& frame) : UIView(frame) { setUp(); }

ArcActivityIndicatorView::~ArcActivityIndicatorView() {
  if (isObserved_) {
    isObserved_ = false;
    os::NotificationCenter::defaultCenter()->removeObserver(this);
  }
}

void ArcActivityIndicatorView::setUp() {
  setBackgroundColor(UIColor::clearColor());
  timingFunction_ = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut);
  if (!isObserved_) {
    isObserved_ = true;
    // The registration is removed in the destructor, so `this` outlives it.
    os::NotificationCenter::defaultCenter()->addObserver(
        this, [this](const os::Notification&) { resetAnimating(); }, os::kUIApplicationDidBecomeActiveNotification,
        nullptr);
  }
  if (!animationLayer_) {
    animationLayer_ = CAShapeLayer::layer();
    layer()->addSublayer(animationLayer_);
  }
  animationLayer_->setFillColor(std::nullopt);
  animationLayer_->setStrokeColor(strokColor_ ? std::optional<CGColor>(strokColor_->cgColor()) : std::nullopt);
  animationLayer_->setLineWidth(strokeWidth_);
  animationLayer_->setStrokeStart(0);
  animationLayer_->setStrokeEnd(0);
}

void ArcActivityIndicatorView::setStrokeWidth(CGFloat width) {
  strokeWidth_ = width;
  animationLayer_->setLineWidth(width);
  updatePath();
}

void ArcActivityIndicatorView::setStrokColor(std::optional<UIColor> color) {
  strokColor_ = std::move(color);
  animationLayer_->setStrokeColor(strokColor_ ? std::optional<CGColor>(strokColor_->cgColor()) : std::nullopt);
}

void ArcActivityIndicatorView::setHidesWhenStopped(bool on) {
  hidesWhenStopped_ = on;
  updateVisibility();
}

void ArcActivityIndicatorView::setProgress(CGFloat progress) {
  progress_ = progress;
  animationLayer_->setStrokeEnd(progress);
}

UIColor ArcActivityIndicatorView::tintColor() const { return strokColor_ ? *strokColor_ : UIView::tintColor(); }

void ArcActivityIndicatorView::setTintColor(std::optional<UIColor> color) { setStrokColor(std::move(color)); }

void ArcActivityIndicatorView::updateVisibility() { setHidden(hidesWhenStopped_ && !isAnimating_); }

void ArcActivityIndicatorView::layoutSubviews() {
  UIView::layoutSubviews();
  updatePath();
}

void ArcActivityIndicatorView::updatePath() {
  const CGRect f = frame();
  if (f.isZero()) return;
  animationLayer_->setFrame({0, 0, f.width(), f.height()});
  const CGRect b = bounds();
  const CGFloat radius = std::fmin(b.height() / 2, b.width() / 2) - strokeWidth_ / 2;
  auto path = UIBezierPath::withArcCenter(b.mid(), radius, 0, 2 * M_PI, true);
  animationLayer_->setPath(path->cgPath());
}

void ArcActivityIndicatorView::startAnimating() {
  if (isAnimating_) return;
  const double d = duration_;
  const double forever = std::numeric_limits<double>::infinity();

  auto rotate = CABasicAnimation::animationWithKeyPath("transform.rotation");
  rotate->setFromValue(0.0);
  rotate->setToValue(2 * M_PI);
  rotate->setDuration(d / 0.375);
  rotate->setRepeatCount(forever);
  rotate->setRemovedOnCompletion(false);
  animationLayer_->addAnimation(rotate, kArcActivityRotateAnimationKey);

  auto stroke = [&](const char* keyPath, double begin, double length, double from, double to) {
    auto a = CABasicAnimation::animationWithKeyPath(keyPath);
    a->setBeginTime(begin);
    a->setDuration(length);
    a->setFromValue(from);
    a->setToValue(to);
    a->setTimingFunction(timingFunction_);
    return a;
  };
  auto group = CAAnimationGroup::animation();
  group->setDuration(d);
  group->setRepeatCount(forever);
  group->setRemovedOnCompletion(false);
  group->setAnimations({stroke("strokeStart", 0, d / 1.5, 0, 0.25), stroke("strokeEnd", 0, d / 1.5, 0, 1),
                        stroke("strokeStart", d / 1.5, d / 3, 0.25, 1.0), stroke("strokeEnd", d / 1.5, d / 3, 1.0, 1.0)});
  animationLayer_->addAnimation(group, kArcActivityStrokeAnimationKey);

  isAnimating_ = true;
  if (hidesWhenStopped_) setHidden(false);
}

void ArcActivityIndicatorView::stopAnimating() {
  if (!isAnimating_) return;
  animationLayer_->removeAnimationForKey(kArcActivityRotateAnimationKey);
  animationLayer_->removeAnimationForKey(kArcActivityStrokeAnimationKey);
  isAnimating_ = false;
  if (hidesWhenStopped_) setHidden(true);
}

void ArcActivityIndicatorView::resetAnimating() {
  if (!isAnimating_) return;
  stopAnimating();
  startAnimating();
}
