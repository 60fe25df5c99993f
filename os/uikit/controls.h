// Controls and content views: UIControl with target-action, UIButton,
// UISwitch, UISlider, UIScrollView, UILabel, UIImageView,
// UIActivityIndicatorView, UIVisualEffectView, and UIBezierPath.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/uikit/view.h"

// Control events (bit mask).
namespace UIControlEvents {
inline constexpr unsigned TouchDown = 1 << 0, TouchDownRepeat = 1 << 1, TouchDragInside = 1 << 2,
                          TouchDragOutside = 1 << 3, TouchDragEnter = 1 << 4, TouchDragExit = 1 << 5,
                          TouchUpInside = 1 << 6, TouchUpOutside = 1 << 7, TouchCancel = 1 << 8,
                          ValueChanged = 1 << 12, PrimaryActionTriggered = 1 << 13, AllTouchEvents = 0x0FFF,
                          AllEvents = 0xFFFFFFFF;
}
// Control states (bit mask; Normal is 0).
namespace UIControlState {
inline constexpr unsigned Normal = 0, Highlighted = 1 << 0, Disabled = 1 << 1, Selected = 1 << 2,
                          Focused = 1 << 3, Application = 0x00FF0000, Reserved = 0xFF000000;
}

class UIControl : public UIView {
 public:
  using Action = std::function<void(UIControl&)>;
  using UIView::UIView;

  // Returns a token for removeTarget. Actions run in the order added.
  uint64_t addTarget(Action action, unsigned events);
  void removeTarget(uint64_t token);
  void sendActionsForControlEvents(unsigned events);

  bool isEnabled() const { return enabled_; }
  virtual void setEnabled(bool on);
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool on);
  bool isHighlighted() const { return highlighted_; }
  virtual void setHighlighted(bool on);
  bool isTracking() const { return tracking_; }
  bool isTouchInside() const { return touchInside_; }
  unsigned state() const;

  // Tracking hooks, as the platform's.
  virtual bool beginTrackingWithTouch(const UITouch& touch, const UIEvent& event);
  virtual bool continueTrackingWithTouch(const UITouch& touch, const UIEvent& event);
  virtual void endTrackingWithTouch(const UITouch* touch, const UIEvent& event);
  virtual void cancelTrackingWithEvent(const UIEvent* event);

  void touchesBegan(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  void touchesMoved(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  void touchesEnded(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  void touchesCancelled(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  // Taps recognized by ancestors do not steal a control's touches.
  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;

 protected:
  virtual void stateDidChange() { setNeedsLayout(); }

 private:
  struct Target {
    uint64_t token;
    Action action;
    unsigned events;
  };
  std::vector<Target> targets_;
  uint64_t nextToken_ = 1;
  bool enabled_ = true, selected_ = false, highlighted_ = false, tracking_ = false, touchInside_ = false;
};

class UILabel : public UIView {
 public:
  explicit UILabel(const CGRect& frame = {});
  const std::string& text() const { return text_; }
  void setText(std::string text);
  // Setting attributed text sets text; setting text drops attributes.
  const std::optional<NSAttributedString>& attributedText() const { return attributed_; }
  void setAttributedText(std::optional<NSAttributedString> text);
  const UIFont& font() const { return font_; }
  void setFont(UIFont font);
  const UIColor& textColor() const { return textColor_; }
  void setTextColor(UIColor color);
  NSTextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(NSTextAlignment a);
  int numberOfLines() const { return numberOfLines_; }
  void setNumberOfLines(int n);
  NSLineBreakMode lineBreakMode() const { return lineBreakMode_; }
  void setLineBreakMode(NSLineBreakMode m);
  bool adjustsFontSizeToFitWidth() const { return adjustsFontSize_; }
  void setAdjustsFontSizeToFitWidth(bool on);
  CGFloat minimumScaleFactor() const { return minimumScaleFactor_; }
  void setMinimumScaleFactor(CGFloat f);

  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override;
  void draw(const CGRect& rect) override;
  // The font the text is drawn with in the current bounds (shrunk to fit the
  // width when adjustsFontSizeToFitWidth, down to minimumScaleFactor).
  UIFont effectiveFont() const;

 private:
  os::graphics::TextStyle style(const UIFont& font) const;
  std::string text_;
  std::optional<NSAttributedString> attributed_;
  UIFont font_ = UIFont::systemFont(17);
  UIColor textColor_ = UIColor::labelColor();
  NSTextAlignment alignment_ = NSTextAlignment::Natural;
  int numberOfLines_ = 1;
  NSLineBreakMode lineBreakMode_ = NSLineBreakMode::ByTruncatingTail;
  bool adjustsFontSize_ = false;
  CGFloat minimumScaleFactor_ = 0;
};

class UIImageView : public UIView {
 public:
  explicit UIImageView(std::shared_ptr<UIImage> image = nullptr);
  explicit UIImageView(const CGRect& frame);
  const std::shared_ptr<UIImage>& image() const { return image_; }
  void setImage(std::shared_ptr<UIImage> image);
  const std::shared_ptr<UIImage>& highlightedImage() const { return highlightedImage_; }
  void setHighlightedImage(std::shared_ptr<UIImage> image);
  bool isHighlighted() const { return highlighted_; }
  void setHighlighted(bool on);
  void setContentMode(UIViewContentMode mode) override;
  CGSize intrinsicContentSize() const override;
  CGSize sizeThatFits(CGSize size) const override;
  void tintColorDidChange() override { updateContents(); }

 private:
  void updateContents();
  std::shared_ptr<UIImage> image_, highlightedImage_;
  bool highlighted_ = false;
};

enum class UIButtonType { Custom = 0, System = 1 };

class UIButton : public UIControl {
 public:
  explicit UIButton(UIButtonType type = UIButtonType::System);
  explicit UIButton(const CGRect& frame);
  UIButtonType buttonType() const { return type_; }

  // Per-state values; a state without its own falls back to normal.
  void setTitle(std::optional<std::string> title, unsigned state);
  std::optional<std::string> titleForState(unsigned state) const;
  void setTitleColor(std::optional<UIColor> color, unsigned state);
  std::optional<UIColor> titleColorForState(unsigned state) const;
  void setImage(std::shared_ptr<UIImage> image, unsigned state);
  std::shared_ptr<UIImage> imageForState(unsigned state) const;
  void setBackgroundImage(std::shared_ptr<UIImage> image, unsigned state);
  std::shared_ptr<UIImage> backgroundImageForState(unsigned state) const;
  std::optional<std::string> currentTitle() const { return titleForState(state()); }
  std::shared_ptr<UIImage> currentImage() const { return imageForState(state()); }
  const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
  const std::shared_ptr<UIImageView>& imageView() const { return imageView_; }
  UIEdgeInsets contentEdgeInsets() const { return contentInsets_; }
  void setContentEdgeInsets(const UIEdgeInsets& i) { contentInsets_ = i; setNeedsLayout(); }

  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override { return sizeThatFits({}); }

 protected:
  void stateDidChange() override;

 private:
  void ensureParts();
  void applyState();
  template <class T>
  static std::optional<T> lookup(const std::map<unsigned, T>& m, unsigned state);
  UIButtonType type_;
  std::map<unsigned, std::string> titles_;
  std::map<unsigned, UIColor> titleColors_;
  std::map<unsigned, std::shared_ptr<UIImage>> images_, backgroundImages_;
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UIImageView> imageView_, backgroundView_;
  UIEdgeInsets contentInsets_;
};

class UISwitch : public UIControl {
 public:
  explicit UISwitch(const CGRect& frame = {});
  bool isOn() const { return on_; }
  void setOn(bool on, bool animated = false);
  std::optional<UIColor> onTintColor() const { return onTint_; }
  void setOnTintColor(std::optional<UIColor> c) { onTint_ = c; setNeedsDisplay(); }
  CGSize sizeThatFits(CGSize) const override { return {51, 31}; }
  CGSize intrinsicContentSize() const override { return {51, 31}; }
  void endTrackingWithTouch(const UITouch* touch, const UIEvent& event) override;
  void draw(const CGRect& rect) override;

 private:
  bool on_ = false;
  std::optional<UIColor> onTint_;
};

class UISlider : public UIControl {
 public:
  explicit UISlider(const CGRect& frame = {});
  float value() const { return value_; }
  // Clamped to minimum...maximum; a NaN is refused.
  void setValue(float value, bool animated = false);
  float minimumValue() const { return minimum_; }
  void setMinimumValue(float v);
  float maximumValue() const { return maximum_; }
  void setMaximumValue(float v);
  bool isContinuous() const { return continuous_; }
  void setContinuous(bool on) { continuous_ = on; }
  std::optional<UIColor> minimumTrackTintColor() const { return minTint_; }
  void setMinimumTrackTintColor(std::optional<UIColor> c) { minTint_ = c; setNeedsLayout(); }
  std::optional<UIColor> maximumTrackTintColor() const { return maxTint_; }
  void setMaximumTrackTintColor(std::optional<UIColor> c) { maxTint_ = c; setNeedsLayout(); }
  std::optional<UIColor> thumbTintColor() const { return thumbTint_; }
  void setThumbTintColor(std::optional<UIColor> c) { thumbTint_ = c; setNeedsLayout(); }
  void setThumbImage(std::shared_ptr<UIImage> image, unsigned state);
  std::shared_ptr<UIImage> thumbImageForState(unsigned state) const;
  void setMinimumTrackImage(std::shared_ptr<UIImage> image, unsigned state);
  std::shared_ptr<UIImage> minimumTrackImageForState(unsigned state) const;
  void setMaximumTrackImage(std::shared_ptr<UIImage> image, unsigned state);
  std::shared_ptr<UIImage> maximumTrackImageForState(unsigned state) const;
  std::shared_ptr<UIImage> currentThumbImage() const { return thumbImageForState(state()); }

  // Geometry hooks (trackRectForBounds:, thumbRectForBounds:trackRect:value:).
  virtual CGRect trackRectForBounds(const CGRect& bounds) const;
  virtual CGRect thumbRectForBounds(const CGRect& bounds, const CGRect& trackRect, float value) const;

  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override { return {UIViewNoIntrinsicMetric, 31}; }
  void layoutSubviews() override;
  bool beginTrackingWithTouch(const UITouch& touch, const UIEvent& event) override;
  bool continueTrackingWithTouch(const UITouch& touch, const UIEvent& event) override;
  void endTrackingWithTouch(const UITouch* touch, const UIEvent& event) override;

 protected:
  void stateDidChange() override { setNeedsLayout(); }

 private:
  void trackTo(const UITouch& touch);
  float value_ = 0, minimum_ = 0, maximum_ = 1;
  bool continuous_ = true;
  std::optional<UIColor> minTint_, maxTint_, thumbTint_;
  std::map<unsigned, std::shared_ptr<UIImage>> thumbImages_, minTrackImages_, maxTrackImages_;
  std::shared_ptr<UIImageView> minTrackView_, maxTrackView_, thumbView_;
};

class UIScrollView;

class UIScrollViewDelegate {
 public:
  virtual ~UIScrollViewDelegate() = default;
  virtual void scrollViewDidScroll(UIScrollView&) {}
  virtual void scrollViewWillBeginDragging(UIScrollView&) {}
  virtual void scrollViewDidEndDragging(UIScrollView&, bool /*willDecelerate*/) {}
  virtual void scrollViewWillBeginDecelerating(UIScrollView&) {}
  virtual void scrollViewDidEndDecelerating(UIScrollView&) {}
  virtual void scrollViewDidEndScrollingAnimation(UIScrollView&) {}
};

// Content offset is the bounds origin. Dragging follows touches; a release
// with speed decelerates frame by frame on the display link; animated
// offsets move over kAnimationDuration, telling the delegate at each frame.
class UIScrollView : public UIView {
 public:
  static constexpr double kAnimationDuration = 0.3;
  explicit UIScrollView(const CGRect& frame = {});
  ~UIScrollView() override;

  CGSize contentSize() const { return contentSize_; }
  void setContentSize(CGSize s);
  CGPoint contentOffset() const { return bounds().origin; }
  void setContentOffset(CGPoint offset, bool animated = false);
  UIEdgeInsets contentInset() const { return contentInset_; }
  void setContentInset(const UIEdgeInsets& i) { contentInset_ = i; }
  bool bounces() const { return bounces_; }
  void setBounces(bool on) { bounces_ = on; }
  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool on) { scrollEnabled_ = on; }
  bool showsHorizontalScrollIndicator() const { return showsH_; }
  void setShowsHorizontalScrollIndicator(bool on) { showsH_ = on; }
  bool showsVerticalScrollIndicator() const { return showsV_; }
  void setShowsVerticalScrollIndicator(bool on) { showsV_ = on; }
  bool isDragging() const { return dragging_; }
  bool isTracking() const { return tracking_; }
  bool isDecelerating() const { return decelerating_; }
  std::weak_ptr<UIScrollViewDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<UIScrollViewDelegate> d) { delegate_ = std::move(d); }
  // The offsets the content may take (bounces aside).
  CGPoint minimumContentOffset() const;
  CGPoint maximumContentOffset() const;

  void touchesBegan(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  void touchesMoved(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  void touchesEnded(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;
  void touchesCancelled(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) override;

 private:
  void moveTo(CGPoint offset);
  CGPoint clamped(CGPoint p) const;
  void stopMotion();
  void startMotion(std::function<bool(double)> step);
  CGSize contentSize_;
  UIEdgeInsets contentInset_;
  bool bounces_ = true, scrollEnabled_ = true, showsH_ = true, showsV_ = true;
  bool dragging_ = false, tracking_ = false, decelerating_ = false;
  std::weak_ptr<UIScrollViewDelegate> delegate_;
  CGPoint lastTouch_, velocity_;
  double lastTouchTime_ = 0;
  uint64_t frameCallback_ = 0;
};

enum class UIActivityIndicatorViewStyle { Medium = 100, Large = 101 };

class UIActivityIndicatorView : public UIView {
 public:
  explicit UIActivityIndicatorView(UIActivityIndicatorViewStyle style = UIActivityIndicatorViewStyle::Medium);
  void startAnimating();
  void stopAnimating();
  bool isAnimating() const { return animating_; }
  bool hidesWhenStopped() const { return hidesWhenStopped_; }
  void setHidesWhenStopped(bool on);
  UIActivityIndicatorViewStyle style() const { return style_; }
  std::optional<UIColor> color() const { return color_; }
  void setColor(std::optional<UIColor> c) { color_ = c; }
  CGSize sizeThatFits(CGSize) const override;
  CGSize intrinsicContentSize() const override { return sizeThatFits({}); }
  void draw(const CGRect& rect) override;

 private:
  UIActivityIndicatorViewStyle style_;
  std::optional<UIColor> color_;
  bool animating_ = false, hidesWhenStopped_ = true;
};

enum class UIBlurEffectStyle {
  ExtraLight = 0, Light = 1, Dark = 2, Regular = 4, Prominent = 5, SystemUltraThinMaterial = 6, SystemThinMaterial = 7,
  SystemMaterial = 8, SystemThickMaterial = 9, SystemChromeMaterial = 10
};

struct UIBlurEffect {
  UIBlurEffectStyle style = UIBlurEffectStyle::Regular;
};

// Blur is drawn as a translucent tint of the style's colour.
class UIVisualEffectView : public UIView {
 public:
  explicit UIVisualEffectView(std::optional<UIBlurEffect> effect = std::nullopt);
  std::optional<UIBlurEffect> effect() const { return effect_; }
  void setEffect(std::optional<UIBlurEffect> e);
  const std::shared_ptr<UIView>& contentView();
  void layoutSubviews() override;
  void traitCollectionDidChange(const UITraitCollection&) override { applyEffect(); }

 private:
  void applyEffect();
  std::optional<UIBlurEffect> effect_;
  std::shared_ptr<UIView> contentView_;
};

// A path with drawing attributes; fill and stroke draw into the current context.
class UIBezierPath {
 public:
  UIBezierPath() = default;
  explicit UIBezierPath(CGPath path) : path_(std::move(path)) {}
  static std::shared_ptr<UIBezierPath> bezierPath() { return std::make_shared<UIBezierPath>(); }
  static std::shared_ptr<UIBezierPath> withRect(const CGRect& r);
  static std::shared_ptr<UIBezierPath> withOvalInRect(const CGRect& r);
  static std::shared_ptr<UIBezierPath> withRoundedRect(const CGRect& r, CGFloat cornerRadius);
  static std::shared_ptr<UIBezierPath> withArcCenter(CGPoint center, CGFloat radius, CGFloat startAngle, CGFloat endAngle,
                                                     bool clockwise);

  void moveToPoint(CGPoint p) { path_.moveTo(p); }
  void addLineToPoint(CGPoint p) { path_.addLineTo(p); }
  void addCurveToPoint(CGPoint end, CGPoint control1, CGPoint control2) { path_.addCurveTo(control1, control2, end); }
  void addQuadCurveToPoint(CGPoint end, CGPoint control) { path_.addQuadCurveTo(control, end); }
  void addArcWithCenter(CGPoint c, CGFloat r, CGFloat start, CGFloat end, bool clockwise) { path_.addArc(c, r, start, end, clockwise); }
  void appendPath(const UIBezierPath& other) { path_.addPath(other.path_); }
  void closePath() { path_.closeSubpath(); }
  void removeAllPoints() { path_.removeAllPoints(); }
  void applyTransform(const CGAffineTransform& t) { path_ = path_.applying(t); }
  bool isEmpty() const { return path_.isEmpty(); }
  CGRect bounds() const { return path_.boundingBox(); }
  std::optional<CGPoint> currentPoint() const { return path_.currentPoint(); }
  bool containsPoint(CGPoint p) const { return path_.contains(p, usesEvenOddFillRule ? CGPathFillRule::EvenOdd : CGPathFillRule::Winding); }
  const CGPath& cgPath() const { return path_; }

  CGFloat lineWidth = 1;
  CGLineCap lineCapStyle = CGLineCap::Butt;
  CGLineJoin lineJoinStyle = CGLineJoin::Miter;
  bool usesEvenOddFillRule = false;

  // Draw with the current context's fill or stroke colour (set with setFill/setStroke).
  void fill() const;
  void stroke() const;

 private:
  CGPath path_;
};

// UIColor setFill / setStroke on the current context.
void UIColorSetFill(const UIColor& color);
void UIColorSetStroke(const UIColor& color);
