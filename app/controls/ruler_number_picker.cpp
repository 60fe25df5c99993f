#include "app/controls/ruler_number_picker.h"

#include <cmath>

std::optional<MinorTicksPerMajorTick> MinorTicksPerMajorTickFromRawValue(int rawValue) {
  switch (rawValue) {
    case 1:
      return MinorTicksPerMajorTick::one;
    case 2:
      return MinorTicksPerMajorTick::two;
    case 5:
      return MinorTicksPerMajorTick::five;
    default:
      return std::nullopt;
  }
}

std::shared_ptr<ScrollRulerNumberPicker> ScrollRulerNumberPicker::create(const CGRect& frame) {
  auto ruler = std::make_shared<ScrollRulerNumberPicker>(frame);
  ruler->scrollView_->setDelegate(std::weak_ptr<UIScrollViewDelegate>(ruler));
  ruler->addSubview(ruler->scrollView_);
  ruler->setupLayers();
  return ruler;
}

ScrollRulerNumberPicker::ScrollRulerNumberPicker(const CGRect& frame)
    : UIView(frame),
      scrollView_(std::make_shared<UIScrollView>()),
      yellowLineLayer_(CAShapeLayer::layer()),
      topStraightLineLayer_(CAShapeLayer::layer()),
      majorLineLayer_(CAShapeLayer::layer()),
      minorLineLayer_(CAShapeLayer::layer()) {
  scrollView_->setShowsVerticalScrollIndicator(false);
  scrollView_->setShowsHorizontalScrollIndicator(false);
  scrollView_->setBounces(false);
}

CGFloat ScrollRulerNumberPicker::scaleLength() const {
  return (maxValue_ - minValue_) / majorValueStep_ * minorTickDistance_ * divisions();
}

void ScrollRulerNumberPicker::setupLayers() {
  const std::pair<CAShapeLayer*, std::pair<const UIColor*, CGFloat>> styles[] = {
      {yellowLineLayer_.get(), {&middleLineColor_, middleLineWidth_}},
      {topStraightLineLayer_.get(), {&topStraightLineColor_, topStraightLineWidth_}},
      {majorLineLayer_.get(), {&majorTickColor_, majorTickWidth_}},
      {minorLineLayer_.get(), {&minorTickColor_, minorTickWidth_}},
  };
  for (const auto& [layer, style] : styles) {
    layer->setFillColor(CGColor::clear());
    layer->setStrokeColor(style.first->cgColor());
    layer->setLineCap(kCALineCapSquare);
    layer->setLineWidth(style.second);
  }
}

void ScrollRulerNumberPicker::layoutSubviews() {
  UIView::layoutSubviews();
  setAlpha(0.5);
  setupLayers();
  majorLinePath_.removeAllPoints();
  minorLinePath_.removeAllPoints();
  yellowLinePath_.removeAllPoints();

  const CGRect b = bounds();
  const CGFloat W = b.width(), H = b.height();
  scrollView_->setFrame(b);
  yellowLineLayer_->setFrame(b);

  const CGFloat indicatorFoot = H - 10 - middleLineWidth_ / 2;
  yellowLinePath_.moveToPoint({W / 2, indicatorFoot});
  yellowLinePath_.addLineToPoint({W / 2, indicatorFoot - middleLineLength_});
  yellowLineLayer_->setPath(yellowLinePath_.cgPath());
  layer()->addSublayer(yellowLineLayer_);

  const CGFloat S = scaleLength();
  scrollView_->setContentSize({W + S, H});
  for (const auto& l : {topStraightLineLayer_, majorLineLayer_, minorLineLayer_}) l->setFrame({0, 0, W + S, H});

  const CGFloat d = divisions();
  const CGFloat y0 = H - 10 - topStraightLineWidth_ / 2;
  // The value accumulates by repeated addition, as the scale is read.
  for (CGFloat v = minValue_; v <= maxValue_; v += majorValueStep_) {
    const CGFloat x = W / 2 + (v - minValue_) / majorValueStep_ * minorTickDistance_ * d;
    majorLinePath_.moveToPoint({x, y0});
    majorLinePath_.addLineToPoint({x, y0 - majorTickLength_});
    for (int i = 1; i < static_cast<int>(d); ++i) {
      if (v + majorValueStep_ * i / d > maxValue_) continue;
      const CGFloat xi = x + minorTickDistance_ * i;
      minorLinePath_.moveToPoint({xi, y0});
      minorLinePath_.addLineToPoint({xi, y0 - minorTickLength_});
    }
  }
  majorLineLayer_->setPath(majorLinePath_.cgPath());
  minorLineLayer_->setPath(minorLinePath_.cgPath());
  for (const auto& l : {topStraightLineLayer_, majorLineLayer_, minorLineLayer_}) scrollView_->layer()->addSublayer(l);
}

void ScrollRulerNumberPicker::updateValue(CGFloat forOffset) {
  // Multiplied first: on-grid offsets then give whole values (3216 of 6400
  // over 2000 is exactly 1005, which snaps up).
  const CGFloat x = (maxValue_ - minValue_) * forOffset / scaleLength();
  const CGFloat r = std::fmod(x, majorValueStep_);
  currentValue_ = r < majorValueStep_ * 0.5 ? x - r : x - r + majorValueStep_;
  if (auto d = delegate()) d->compensationRulerValueChanged(minValue_ + currentValue_);
}

void ScrollRulerNumberPicker::scrollToValue(CGFloat value, bool animated, bool isAbsoluteValue) {
  const CGFloat R = maxValue_ - minValue_, S = scaleLength();
  CGFloat offset;
  if (isAbsoluteValue) {
    offset = (value - minValue_) * S / R;
    // Exactly at the start a negative value is placed just past it.
    if (std::signbit(value) && offset == 0) offset = S * (value - (minValue_ - 0.1)) / R;
  } else {
    offset = S * value / R;
  }
  scrollView_->setContentOffset({offset, 0}, animated);
}

void ScrollRulerNumberPicker::scrollViewDidScroll(UIScrollView& scrollView) {
  updateValue(scrollView.contentOffset().x);
}

void ScrollRulerNumberPicker::scrollViewDidEndDragging(UIScrollView& scrollView, bool) {
  if (scrollView.isDragging()) return;
  updateValue(scrollView.contentOffset().x);
  scrollToValue(currentValue_, true, false);
}

void ScrollRulerNumberPicker::scrollViewDidEndDecelerating(UIScrollView& scrollView) {
  updateValue(scrollView.contentOffset().x);
  scrollToValue(currentValue_, true, false);
}
