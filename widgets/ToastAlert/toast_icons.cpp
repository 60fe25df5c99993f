#include <cmath>

#include "widgets/ToastAlert/toast_alert.h"

namespace {

constexpr const char* kStrokeAnimationKey = "animation";
constexpr CGFloat kStrokeLineWidth = 9;

// Adds a shape layer for `path` to `view` and animates its stroke end from 0 to 1.
void animateStroke(UIView& view, const CGPath& path, double duration) {
  auto layer = CAShapeLayer::layer();
  layer->setPath(path);
  layer->setFillColor(CGColor::clear());
  layer->setStrokeColor(view.tintColor().cgColor());
  layer->setLineWidth(kStrokeLineWidth);
  layer->setLineCap(kCALineCapRound);
  layer->setLineJoin(kCALineJoinRound);
  layer->setStrokeEnd(0);
  view.layer()->addSublayer(layer);

  auto animation = CABasicAnimation::animationWithKeyPath("strokeEnd");
  animation->setFromValue(0.0);
  animation->setToValue(1.0);
  animation->setDuration(duration);
  animation->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut));
  layer->setStrokeEnd(1);
  layer->addAnimation(animation, kStrokeAnimationKey);
}

CGPath line(CGPoint from, CGPoint to) {
  CGPath path;
  path.moveTo(from);
  path.addLineTo(to);
  return path;
}

}  // namespace

void ToastAlertIconDoneView::animate() {
  const CGFloat w = frame().width();
  CGPath path;
  path.moveTo({0.196 * w, 0.527 * w});
  path.addLineTo({0.47 * w, 0.777 * w});
  path.addLineTo({0.99 * w, 0.25 * w});
  animateStroke(*this, path, 0.3);
}

void ToastAlertIconErrorView::animate() {
  animateFirstStroke();
  animateSecondStroke();
}

void ToastAlertIconErrorView::animateFirstStroke() {
  const CGFloat w = frame().width();
  animateStroke(*this, line({0, 0}, {w, w}), 0.22);
}

void ToastAlertIconErrorView::animateSecondStroke() {
  const CGFloat w = frame().width();
  animateStroke(*this, line({0, w}, {w, 0}), 0.22);
}

ToastAlertIconHeartView::ToastAlertIconHeartView() : UIView(CGRect{}) { setBackgroundColor(UIColor::clearColor()); }

void ToastAlertIconHeartView::draw(const CGRect& rect) {
  UIView::draw(rect);
  HeartDraw::drawWithFrame(rect, HeartDraw::ResizingBehavior::aspectFit, tintColor());
}

ToastAlertSpinnerView::ToastAlertSpinnerView(Key) : UIView(CGRect{}) {
  activityIndicatorView_ = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyle::Large);
  setBackgroundColor(UIColor::clearColor());
}

std::shared_ptr<ToastAlertSpinnerView> ToastAlertSpinnerView::make() {
  auto view = std::make_shared<ToastAlertSpinnerView>(Key{});
  view->addSubview(view->activityIndicatorView_);
  view->activityIndicatorView_->startAnimating();
  return view;
}

void ToastAlertSpinnerView::layoutSubviews() {
  UIView::layoutSubviews();
  activityIndicatorView_->sizeToFit();
  activityIndicatorView_->setCenter({frame().width() / 2, frame().height() / 2});
}

std::optional<HeartDraw::ResizingBehavior> HeartDraw::resizingBehavior(int rawValue) {
  if (rawValue < 0 || rawValue > 3) return std::nullopt;
  return static_cast<ResizingBehavior>(rawValue);
}

CGRect HeartDraw::apply(ResizingBehavior behavior, const CGRect& source, const CGRect& target) {
  if (source == target || target.isZero()) return source;
  CGFloat sx = std::fabs(target.width() / source.width());
  CGFloat sy = std::fabs(target.height() / source.height());
  switch (behavior) {
    case ResizingBehavior::aspectFit: sx = sy = std::fmin(sx, sy); break;
    case ResizingBehavior::aspectFill: sx = sy = std::fmax(sx, sy); break;
    case ResizingBehavior::stretch: break;
    case ResizingBehavior::center: sx = sy = 1; break;
  }
  CGRect s = source.standardized();
  CGSize size{s.size.width * sx, s.size.height * sy};
  return {target.minX() + (target.width() - size.width) / 2, target.minY() + (target.height() - size.height) / 2,
          size.width, size.height};
}

void HeartDraw::drawWithFrame(const CGRect& frame, ResizingBehavior resizing, const UIColor& fillColor) {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx) return;
  ctx->saveGState();
  CGRect r = apply(resizing, {0, 0, kCanvasWidth, kCanvasHeight}, frame);
  ctx->translateBy(r.minX(), r.minY());
  ctx->scaleBy(r.width() / kCanvasWidth, r.height() / kCanvasHeight);

  CGPath path;
  path.moveTo({255, 469.6});
  path.addLineTo({219.3, 433.9});
  path.addCurveTo({86.7, 316.6}, {0, 237.55}, {0, 140.65});
  path.addCurveTo({0, 61.6}, {61.2, 0.4}, {140.25, 0.4});
  path.addCurveTo({183.6, 0.4}, {226.95, 20.8}, {255, 53.95});
  path.addCurveTo({283.05, 20.8}, {326.4, 0.4}, {369.75, 0.4});
  path.addCurveTo({448.8, 0.4}, {510, 61.6}, {510, 140.65});
  path.addCurveTo({510, 237.55}, {423.3, 316.6}, {290.7, 433.9});
  path.addLineTo({255, 469.6});
  path.closeSubpath();

  ctx->setFillColor(fillColor.cgColor());
  ctx->beginPath();
  ctx->addPath(path);
  ctx->fillPath();
  ctx->restoreGState();
}
