// ScrollRulerNumberPicker: a horizontal ruler dragged to pick a number. A
// scale of major and minor ticks scrolls under a fixed indicator line in the
// middle; the value under the indicator is snapped to the major step and
// reported to the delegate on every scroll movement, and when the user lets
// go the scale settles, animated, on the snapped value. It draws lines only.
//
// Geometry (d = minorTicksPerMajorTick, R = maxValue - minValue):
//   S = R / majorValueStep * minorTickDistance * d is the scale's length in
//   points; content offset 0 puts minValue under the indicator, S puts
//   maxValue there. Callers keep maxValue > minValue, majorValueStep > 0 and
//   minorTickDistance > 0.
//
// Must be made with create(): the control is its scroll view's delegate.
// Main thread only, delegate calls included.
#pragma once

#include <memory>
#include <optional>

#include "os/uikit/uikit.h"

// Divisions of one major step: d - 1 minor ticks stand between majors.
enum class MinorTicksPerMajorTick : int { one = 1, two = 2, five = 5 };
// Exactly 1, 2 and 5 are accepted.
std::optional<MinorTicksPerMajorTick> MinorTicksPerMajorTickFromRawValue(int rawValue);

class ScrollRulerNumberPickerDelegate {
 public:
  virtual ~ScrollRulerNumberPickerDelegate() = default;
  // The snapped value of the scale (minValue + currentValue).
  virtual void compensationRulerValueChanged(CGFloat value) = 0;
};

class ScrollRulerNumberPicker : public UIView, public UIScrollViewDelegate {
 public:
  // The storyboard's construction: defaults, the scroll view configured and
  // added, setupLayers() once.
  static std::shared_ptr<ScrollRulerNumberPicker> create(const CGRect& frame = {});
  explicit ScrollRulerNumberPicker(const CGRect& frame = {});

  // Style and scale. Every setter asks for a new layout pass.
  const UIFont& majorLabelFont() const { return majorLabelFont_; }
  void setMajorLabelFont(UIFont f) { majorLabelFont_ = std::move(f); setNeedsLayout(); }
  const UIColor& majorLabelColor() const { return majorLabelColor_; }
  void setMajorLabelColor(UIColor c) { majorLabelColor_ = c; setNeedsLayout(); }
  CGFloat majorLabelOffset() const { return majorLabelOffset_; }
  void setMajorLabelOffset(CGFloat v) { majorLabelOffset_ = v; setNeedsLayout(); }
  CGFloat middleLineLength() const { return middleLineLength_; }
  void setMiddleLineLength(CGFloat v) { middleLineLength_ = v; setNeedsLayout(); }
  CGFloat middleLineWidth() const { return middleLineWidth_; }
  void setMiddleLineWidth(CGFloat v) { middleLineWidth_ = v; setNeedsLayout(); }
  const UIColor& middleLineColor() const { return middleLineColor_; }
  void setMiddleLineColor(UIColor c) { middleLineColor_ = c; setNeedsLayout(); }
  CGFloat topStraightLineWidth() const { return topStraightLineWidth_; }
  void setTopStraightLineWidth(CGFloat v) { topStraightLineWidth_ = v; setNeedsLayout(); }
  const UIColor& topStraightLineColor() const { return topStraightLineColor_; }
  void setTopStraightLineColor(UIColor c) { topStraightLineColor_ = c; setNeedsLayout(); }
  const UIColor& majorTickColor() const { return majorTickColor_; }
  void setMajorTickColor(UIColor c) { majorTickColor_ = c; setNeedsLayout(); }
  CGFloat majorTickLength() const { return majorTickLength_; }
  void setMajorTickLength(CGFloat v) { majorTickLength_ = v; setNeedsLayout(); }
  CGFloat majorTickWidth() const { return majorTickWidth_; }
  void setMajorTickWidth(CGFloat v) { majorTickWidth_ = v; setNeedsLayout(); }
  const UIColor& minorTickColor() const { return minorTickColor_; }
  void setMinorTickColor(UIColor c) { minorTickColor_ = c; setNeedsLayout(); }
  CGFloat minorTickLength() const { return minorTickLength_; }
  void setMinorTickLength(CGFloat v) { minorTickLength_ = v; setNeedsLayout(); }
  CGFloat minorTickWidth() const { return minorTickWidth_; }
  void setMinorTickWidth(CGFloat v) { minorTickWidth_ = v; setNeedsLayout(); }
  MinorTicksPerMajorTick minorTicksPerMajorTick() const { return minorTicksPerMajorTick_; }
  void setMinorTicksPerMajorTick(MinorTicksPerMajorTick v) { minorTicksPerMajorTick_ = v; setNeedsLayout(); }
  CGFloat minorTickDistance() const { return minorTickDistance_; }
  void setMinorTickDistance(CGFloat v) { minorTickDistance_ = v; setNeedsLayout(); }
  CGFloat minValue() const { return minValue_; }
  void setMinValue(CGFloat v) { minValue_ = v; setNeedsLayout(); }
  CGFloat maxValue() const { return maxValue_; }
  void setMaxValue(CGFloat v) { maxValue_ = v; setNeedsLayout(); }
  CGFloat majorValueStep() const { return majorValueStep_; }
  void setMajorValueStep(CGFloat v) { majorValueStep_ = v; setNeedsLayout(); }

  // The snapped value counted from minValue. Writing stores nothing: it
  // scrolls there (not animated, relative) and the scroll callback stores.
  CGFloat currentValue() const { return currentValue_; }
  void setCurrentValue(CGFloat value) { scrollToValue(value, false, false); }

  std::shared_ptr<ScrollRulerNumberPickerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<ScrollRulerNumberPickerDelegate> d) { delegate_ = std::move(d); }

  // Moves the content offset to the value: a value of the scale when
  // isAbsoluteValue, else one counted from minValue. A negative absolute
  // value equal to minValue lands 0.1 value units past the start. An
  // off-grid value is not corrected here: the scale stays where it is put.
  void scrollToValue(CGFloat value, bool animated, bool isAbsoluteValue);
  // Stores the snapped value for a content offset and tells the delegate.
  void updateValue(CGFloat forOffset);
  // Applies colours and widths to the four layers.
  void setupLayers();

  // The scale's length in points (S above).
  CGFloat scaleLength() const;

  const std::shared_ptr<UIScrollView>& scrollView() const { return scrollView_; }
  const std::shared_ptr<CAShapeLayer>& yellowLineLayer() const { return yellowLineLayer_; }
  const std::shared_ptr<CAShapeLayer>& topStraightLineLayer() const { return topStraightLineLayer_; }
  const std::shared_ptr<CAShapeLayer>& majorLineLayer() const { return majorLineLayer_; }
  const std::shared_ptr<CAShapeLayer>& minorLineLayer() const { return minorLineLayer_; }
  const UIBezierPath& majorLinePath() const { return majorLinePath_; }
  const UIBezierPath& minorLinePath() const { return minorLinePath_; }

  void layoutSubviews() override;

  // UIScrollViewDelegate.
  void scrollViewDidScroll(UIScrollView& scrollView) override;
  void scrollViewDidEndDragging(UIScrollView& scrollView, bool willDecelerate) override;
  void scrollViewDidEndDecelerating(UIScrollView& scrollView) override;

 private:
  CGFloat divisions() const { return static_cast<CGFloat>(minorTicksPerMajorTick_); }

  UIFont majorLabelFont_ = UIFont::systemFont(12);
  UIColor majorLabelColor_ = UIColor::blackColor();
  CGFloat majorLabelOffset_ = 24;
  CGFloat middleLineLength_ = 20;
  CGFloat middleLineWidth_ = 2;
  UIColor middleLineColor_ = UIColor::systemYellowColor();
  CGFloat topStraightLineWidth_ = 1;
  UIColor topStraightLineColor_ = UIColor::blackColor();
  UIColor majorTickColor_ = UIColor::whiteColor();
  CGFloat majorTickLength_ = 10;
  CGFloat majorTickWidth_ = 1;
  UIColor minorTickColor_ = UIColor::fromWhite(1.0, 0.4);
  CGFloat minorTickLength_ = 10;
  CGFloat minorTickWidth_ = 1.5;
  MinorTicksPerMajorTick minorTicksPerMajorTick_ = MinorTicksPerMajorTick::two;
  CGFloat minorTickDistance_ = 16;
  CGFloat minValue_ = -1000;
  CGFloat maxValue_ = 1000;
  CGFloat majorValueStep_ = 10;

  CGFloat currentValue_ = 0;
  std::weak_ptr<ScrollRulerNumberPickerDelegate> delegate_;

  const std::shared_ptr<UIScrollView> scrollView_;
  const std::shared_ptr<CAShapeLayer> yellowLineLayer_, topStraightLineLayer_, majorLineLayer_, minorLineLayer_;
  UIBezierPath yellowLinePath_, topStraightLinePath_, majorLinePath_, minorLinePath_;
};
