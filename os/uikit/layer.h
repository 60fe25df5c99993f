// Core Animation stand-in: layers, key-path animations and timing.
//
// Design:
//  - A layer holds model values. Animations attached under keys change what
//    presentationLayer() answers and what is rendered; they never change the
//    model. Setting a property never animates implicitly.
//  - Time is CACurrentMediaTime(): os::Clock uptime in seconds. An animation
//    added with beginTime 0 begins when it is added.
//  - When a finite animation's active time has passed, the main run loop (a
//    timer at its end, so a manual clock stepping past the end suffices)
//    marks it finished, removes it when removedOnCompletion, and tells its
//    delegate and completion once, with finished = true. Removing an
//    unfinished animation tells them once with finished = false.
//  - Main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "os/graphics/color.h"
#include "os/graphics/context.h"
#include "os/graphics/geometry.h"
#include "os/graphics/image.h"
#include "os/graphics/path.h"

// Seconds of clock uptime.
double CACurrentMediaTime();

// A value a key path takes.
using CAValue = std::variant<double, CGPoint, CGSize, CGRect, CGAffineTransform, CGColor>;

inline constexpr const char* kCAMediaTimingFunctionLinear = "linear";
inline constexpr const char* kCAMediaTimingFunctionEaseIn = "easeIn";
inline constexpr const char* kCAMediaTimingFunctionEaseOut = "easeOut";
inline constexpr const char* kCAMediaTimingFunctionEaseInEaseOut = "easeInEaseOut";
inline constexpr const char* kCAMediaTimingFunctionDefault = "default";

inline constexpr const char* kCAFillModeRemoved = "removed";
inline constexpr const char* kCAFillModeForwards = "forwards";
inline constexpr const char* kCAFillModeBackwards = "backwards";
inline constexpr const char* kCAFillModeBoth = "both";

inline constexpr const char* kCALineCapButt = "butt";
inline constexpr const char* kCALineCapRound = "round";
inline constexpr const char* kCALineCapSquare = "square";
inline constexpr const char* kCALineJoinMiter = "miter";
inline constexpr const char* kCALineJoinRound = "round";
inline constexpr const char* kCALineJoinBevel = "bevel";
inline constexpr const char* kCAFillRuleNonZero = "non-zero";
inline constexpr const char* kCAFillRuleEvenOdd = "even-odd";

inline constexpr const char* kCAGravityResize = "resize";
inline constexpr const char* kCAGravityResizeAspect = "resizeAspect";
inline constexpr const char* kCAGravityResizeAspectFill = "resizeAspectFill";
inline constexpr const char* kCAGravityCenter = "center";

// A cubic Bézier timing curve from (0,0) to (1,1).
class CAMediaTimingFunction {
 public:
  CAMediaTimingFunction(double c1x, double c1y, double c2x, double c2y) : c1x_(c1x), c1y_(c1y), c2x_(c2x), c2y_(c2y) {}
  // One of the kCAMediaTimingFunction names; an unknown name gives linear.
  static std::shared_ptr<CAMediaTimingFunction> functionWithName(const std::string& name);
  // Progress for a time fraction in 0...1.
  double evaluate(double t) const;
  friend bool operator==(const CAMediaTimingFunction&, const CAMediaTimingFunction&) = default;

 private:
  double c1x_, c1y_, c2x_, c2y_;
};

class CAAnimation;
class CALayer;

class CAAnimationDelegate {
 public:
  virtual ~CAAnimationDelegate() = default;
  virtual void animationDidStart(CAAnimation&) {}
  virtual void animationDidStop(CAAnimation&, bool /*finished*/) {}
};

class CAAnimation : public std::enable_shared_from_this<CAAnimation> {
 public:
  virtual ~CAAnimation() = default;
  virtual std::shared_ptr<CAAnimation> copy() const = 0;

  double duration() const { return duration_; }
  void setDuration(double d) { duration_ = d; }
  // Absolute media time when added to a layer (0: now); relative to the group
  // inside a group.
  double beginTime() const { return beginTime_; }
  void setBeginTime(double t) { beginTime_ = t; }
  double timeOffset() const { return timeOffset_; }
  void setTimeOffset(double t) { timeOffset_ = t; }
  // 0 means once; HUGE_VALF / infinity repeats for ever.
  double repeatCount() const { return repeatCount_; }
  void setRepeatCount(double n) { repeatCount_ = n; }
  bool autoreverses() const { return autoreverses_; }
  void setAutoreverses(bool on) { autoreverses_ = on; }
  double speed() const { return speed_; }
  void setSpeed(double s) { speed_ = s; }
  const std::string& fillMode() const { return fillMode_; }
  void setFillMode(std::string mode) { fillMode_ = std::move(mode); }
  bool isRemovedOnCompletion() const { return removedOnCompletion_; }
  void setRemovedOnCompletion(bool on) { removedOnCompletion_ = on; }
  const std::shared_ptr<CAMediaTimingFunction>& timingFunction() const { return timingFunction_; }
  void setTimingFunction(std::shared_ptr<CAMediaTimingFunction> f) { timingFunction_ = std::move(f); }
  // Held strongly, as the platform does.
  const std::shared_ptr<CAAnimationDelegate>& delegate() const { return delegate_; }
  void setDelegate(std::shared_ptr<CAAnimationDelegate> d) { delegate_ = std::move(d); }
  // Runs once when the animation stops (UIView animations use it for their
  // completion); the delegate is told as well.
  void setCompletion(std::function<void(bool finished)> f) { completion_ = std::move(f); }

  // The effective duration of one iteration (0 becomes 0.25 s, or the group's).
  double effectiveDuration(double inherited = 0.25) const { return duration_ > 0 ? duration_ : inherited; }
  // Iterations x duration (x2 when autoreversing); infinity when repeating for ever.
  double activeDuration(double inherited = 0.25) const;

  // Applies the animation's effect at `parentTime` to `target`, whose values
  // are those below this animation (the model, or earlier animations).
  virtual void apply(CALayer& target, double parentTime, double inheritedDuration) const = 0;

  // Internal: the state the layer keeps for an attached animation.
  bool TEST_isFinished() const { return finished_; }

 protected:
  CAAnimation() = default;
  CAAnimation(const CAAnimation&) = default;
  // Local time of an iteration in 0...1 (timing applied), or none when the
  // animation has no effect at parentTime.
  std::optional<double> progress(double parentTime, double inherited) const;

 private:
  friend class CALayer;
  friend struct CAAnimationEngine;
  double duration_ = 0;
  double beginTime_ = 0;
  double timeOffset_ = 0;
  double repeatCount_ = 0;
  bool autoreverses_ = false;
  double speed_ = 1;
  std::string fillMode_ = kCAFillModeRemoved;
  bool removedOnCompletion_ = true;
  std::shared_ptr<CAMediaTimingFunction> timingFunction_;
  std::shared_ptr<CAAnimationDelegate> delegate_;
  std::function<void(bool)> completion_;
  bool finished_ = false;
  bool stopped_ = false;
};

class CAPropertyAnimation : public CAAnimation {
 public:
  const std::string& keyPath() const { return keyPath_; }
  void setKeyPath(std::string k) { keyPath_ = std::move(k); }
  bool isAdditive() const { return additive_; }
  void setAdditive(bool on) { additive_ = on; }

 protected:
  CAPropertyAnimation() = default;
  CAPropertyAnimation(const CAPropertyAnimation&) = default;

 private:
  std::string keyPath_;
  bool additive_ = false;
};

class CABasicAnimation : public CAPropertyAnimation {
 public:
  static std::shared_ptr<CABasicAnimation> animationWithKeyPath(std::string keyPath);
  std::shared_ptr<CAAnimation> copy() const override { return std::make_shared<CABasicAnimation>(*this); }
  CABasicAnimation() = default;
  CABasicAnimation(const CABasicAnimation&) = default;

  const std::optional<CAValue>& fromValue() const { return from_; }
  void setFromValue(std::optional<CAValue> v) { from_ = std::move(v); }
  const std::optional<CAValue>& toValue() const { return to_; }
  void setToValue(std::optional<CAValue> v) { to_ = std::move(v); }
  const std::optional<CAValue>& byValue() const { return by_; }
  void setByValue(std::optional<CAValue> v) { by_ = std::move(v); }

  void apply(CALayer& target, double parentTime, double inheritedDuration) const override;

 protected:
  // Maps iteration progress to interpolation progress (springs overshoot).
  virtual double shape(double p) const { return p; }

 private:
  std::optional<CAValue> from_, to_, by_;
};

// A damped spring: duration is taken as the settling time when not set.
class CASpringAnimation : public CABasicAnimation {
 public:
  static std::shared_ptr<CASpringAnimation> animationWithKeyPath(std::string keyPath);
  std::shared_ptr<CAAnimation> copy() const override { return std::make_shared<CASpringAnimation>(*this); }
  CASpringAnimation() = default;
  CASpringAnimation(const CASpringAnimation&) = default;
  double mass = 1, stiffness = 100, damping = 10, initialVelocity = 0;
  // Time until the spring is at rest, in seconds.
  double settlingDuration() const;

 protected:
  double shape(double p) const override;
};

class CAAnimationGroup : public CAAnimation {
 public:
  static std::shared_ptr<CAAnimationGroup> animation() { return std::make_shared<CAAnimationGroup>(); }
  std::shared_ptr<CAAnimation> copy() const override;
  CAAnimationGroup() = default;
  CAAnimationGroup(const CAAnimationGroup&) = default;
  const std::vector<std::shared_ptr<CAAnimation>>& animations() const { return animations_; }
  void setAnimations(std::vector<std::shared_ptr<CAAnimation>> a) { animations_ = std::move(a); }
  void apply(CALayer& target, double parentTime, double inheritedDuration) const override;

 private:
  std::vector<std::shared_ptr<CAAnimation>> animations_;
};

class CALayerDelegate {
 public:
  virtual ~CALayerDelegate() = default;
  // Draws the layer's content (the layer's bounds are the context's space).
  virtual void drawLayer(CALayer& layer, CGContext& ctx) = 0;
};

class CALayer : public std::enable_shared_from_this<CALayer> {
 public:
  static std::shared_ptr<CALayer> layer() { return std::make_shared<CALayer>(); }
  CALayer() = default;
  virtual ~CALayer() = default;

  // Geometry. frame is derived from position, bounds, anchorPoint and transform.
  CGRect bounds() const { return bounds_; }
  void setBounds(const CGRect& r) { bounds_ = r; }
  CGPoint position() const { return position_; }
  void setPosition(CGPoint p) { position_ = p; }
  CGPoint anchorPoint() const { return anchorPoint_; }
  void setAnchorPoint(CGPoint p) { anchorPoint_ = p; }
  CGRect frame() const;
  void setFrame(const CGRect& r);
  CGAffineTransform affineTransform() const { return transform_; }
  void setAffineTransform(const CGAffineTransform& t) { transform_ = t; }
  CGFloat zPosition() const { return zPosition_; }
  void setZPosition(CGFloat z) { zPosition_ = z; }

  // Appearance.
  double opacity() const { return opacity_; }
  void setOpacity(double o) { opacity_ = o; }
  bool isHidden() const { return hidden_; }
  void setHidden(bool h) { hidden_ = h; }
  bool masksToBounds() const { return masksToBounds_; }
  void setMasksToBounds(bool m) { masksToBounds_ = m; }
  CGFloat cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(CGFloat r) { cornerRadius_ = r; }
  CGFloat borderWidth() const { return borderWidth_; }
  void setBorderWidth(CGFloat w) { borderWidth_ = w; }
  std::optional<CGColor> borderColor() const { return borderColor_; }
  void setBorderColor(std::optional<CGColor> c) { borderColor_ = c; }
  std::optional<CGColor> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<CGColor> c) { backgroundColor_ = c; }
  std::optional<CGColor> shadowColor() const { return shadowColor_; }
  void setShadowColor(std::optional<CGColor> c) { shadowColor_ = c; }
  double shadowOpacity() const { return shadowOpacity_; }
  void setShadowOpacity(double o) { shadowOpacity_ = o; }
  CGSize shadowOffset() const { return shadowOffset_; }
  void setShadowOffset(CGSize s) { shadowOffset_ = s; }
  CGFloat shadowRadius() const { return shadowRadius_; }
  void setShadowRadius(CGFloat r) { shadowRadius_ = r; }
  const std::optional<CGPath>& shadowPath() const { return shadowPath_; }
  void setShadowPath(std::optional<CGPath> p) { shadowPath_ = std::move(p); }
  const std::shared_ptr<CGImage>& contents() const { return contents_; }
  void setContents(std::shared_ptr<CGImage> image) { contents_ = std::move(image); }
  const std::string& contentsGravity() const { return contentsGravity_; }
  void setContentsGravity(std::string g) { contentsGravity_ = std::move(g); }
  CGFloat contentsScale() const { return contentsScale_; }
  void setContentsScale(CGFloat s) { contentsScale_ = s; }
  const std::string& name() const { return name_; }
  void setName(std::string n) { name_ = std::move(n); }

  // The mask's alpha masks this layer's content; the mask's frame is in this
  // layer's bounds space. A layer used as a mask must have no superlayer.
  const std::shared_ptr<CALayer>& mask() const { return mask_; }
  void setMask(std::shared_ptr<CALayer> m) { mask_ = std::move(m); }

  // Tree. Adding a layer that already has a superlayer moves it; adding a
  // layer to itself or to one of its own sublayers is refused.
  std::vector<std::shared_ptr<CALayer>> sublayers() const { return sublayers_; }
  std::shared_ptr<CALayer> superlayer() const { return superlayer_.lock(); }
  bool addSublayer(const std::shared_ptr<CALayer>& layer);
  bool insertSublayer(const std::shared_ptr<CALayer>& layer, size_t index);
  bool insertSublayerBelow(const std::shared_ptr<CALayer>& layer, const std::shared_ptr<CALayer>& sibling);
  bool insertSublayerAbove(const std::shared_ptr<CALayer>& layer, const std::shared_ptr<CALayer>& sibling);
  void removeFromSuperlayer();
  void setSublayers(const std::vector<std::shared_ptr<CALayer>>& layers);
  bool isDescendantOf(const CALayer& other) const;

  std::weak_ptr<CALayerDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<CALayerDelegate> d) { delegate_ = std::move(d); }
  void setNeedsDisplay() { needsDisplay_ = true; }
  bool needsDisplay() const { return needsDisplay_; }

  // Animations. The animation is copied; an existing one under the key is
  // removed (told finished = false). An empty key gets a unique one.
  void addAnimation(const std::shared_ptr<CAAnimation>& animation, const std::string& key);
  std::shared_ptr<CAAnimation> animationForKey(const std::string& key) const;
  void removeAnimationForKey(const std::string& key);
  void removeAllAnimations();
  std::vector<std::string> animationKeys() const;

  // A copy of the layer (without its own animations) with every attached
  // animation applied at the current media time.
  std::shared_ptr<CALayer> presentationLayer() const;

  // Key-value access used by animations: "position", "position.x",
  // "position.y", "bounds", "bounds.size", "bounds.size.width", ...,
  // "opacity", "transform", "transform.rotation", "transform.rotation.z",
  // "transform.scale", "transform.scale.x", "transform.scale.y",
  // "transform.translation.x", "transform.translation.y", "cornerRadius",
  // "borderWidth", "borderColor", "backgroundColor", "shadowOpacity",
  // "shadowRadius", "shadowOffset", "zPosition"; shape layers add "path"-less
  // "strokeStart", "strokeEnd", "lineWidth", "fillColor", "strokeColor".
  virtual std::optional<CAValue> valueForKeyPath(const std::string& keyPath) const;
  virtual bool setValueForKeyPath(const std::string& keyPath, const CAValue& value);

  // Renders the layer and its sublayers (presentation values) into ctx, in
  // the layer's own bounds space (renderInContext:).
  void renderInContext(CGContext& ctx);
  // Draws this layer's own content (after background, before sublayers).
  virtual void drawInContext(CGContext& ctx);

  // Transform from this layer's bounds space to its superlayer's.
  CGAffineTransform transformToSuperlayer() const;
  // Point conversion between layers of one tree (nullptr: the root's space).
  CGPoint convertPoint(CGPoint p, const CALayer* to) const;
  CGAffineTransform transformToRoot() const;

 protected:
  CALayer(const CALayer& other);
  virtual std::shared_ptr<CALayer> clone() const { return std::shared_ptr<CALayer>(new CALayer(*this)); }
  CGPath roundedBoundsPath() const;

 private:
  friend struct CAAnimationEngine;
  void renderTree(CGContext& ctx, bool applyOwnGeometry);
  void finishAnimation(const std::string& key, bool finished);

  CGRect bounds_;
  CGPoint position_;
  CGPoint anchorPoint_{0.5, 0.5};
  CGAffineTransform transform_;
  CGFloat zPosition_ = 0;
  double opacity_ = 1;
  bool hidden_ = false;
  bool masksToBounds_ = false;
  CGFloat cornerRadius_ = 0;
  CGFloat borderWidth_ = 0;
  std::optional<CGColor> borderColor_ = CGColor::black();
  std::optional<CGColor> backgroundColor_;
  std::optional<CGColor> shadowColor_ = CGColor::black();
  double shadowOpacity_ = 0;
  CGSize shadowOffset_{0, -3};
  CGFloat shadowRadius_ = 3;
  std::optional<CGPath> shadowPath_;
  std::shared_ptr<CGImage> contents_;
  std::string contentsGravity_ = kCAGravityResize;
  CGFloat contentsScale_ = 1;
  std::string name_;
  std::shared_ptr<CALayer> mask_;
  std::vector<std::shared_ptr<CALayer>> sublayers_;
  std::weak_ptr<CALayer> superlayer_;
  std::weak_ptr<CALayerDelegate> delegate_;
  bool needsDisplay_ = false;
  // Attached animations in the order added.
  std::vector<std::pair<std::string, std::shared_ptr<CAAnimation>>> animations_;
};

class CAShapeLayer : public CALayer {
 public:
  static std::shared_ptr<CAShapeLayer> layer() { return std::make_shared<CAShapeLayer>(); }
  CAShapeLayer() = default;

  const std::optional<CGPath>& path() const { return path_; }
  void setPath(std::optional<CGPath> p) { path_ = std::move(p); }
  // Default black fill, no stroke.
  std::optional<CGColor> fillColor() const { return fillColor_; }
  void setFillColor(std::optional<CGColor> c) { fillColor_ = c; }
  std::optional<CGColor> strokeColor() const { return strokeColor_; }
  void setStrokeColor(std::optional<CGColor> c) { strokeColor_ = c; }
  CGFloat lineWidth() const { return lineWidth_; }
  void setLineWidth(CGFloat w) { lineWidth_ = w; }
  const std::string& lineCap() const { return lineCap_; }
  void setLineCap(std::string c) { lineCap_ = std::move(c); }
  const std::string& lineJoin() const { return lineJoin_; }
  void setLineJoin(std::string j) { lineJoin_ = std::move(j); }
  const std::string& fillRule() const { return fillRule_; }
  void setFillRule(std::string r) { fillRule_ = std::move(r); }
  CGFloat strokeStart() const { return strokeStart_; }
  void setStrokeStart(CGFloat s) { strokeStart_ = s; }
  CGFloat strokeEnd() const { return strokeEnd_; }
  void setStrokeEnd(CGFloat e) { strokeEnd_ = e; }
  const std::vector<CGFloat>& lineDashPattern() const { return lineDashPattern_; }
  void setLineDashPattern(std::vector<CGFloat> p) { lineDashPattern_ = std::move(p); }

  std::optional<CAValue> valueForKeyPath(const std::string& keyPath) const override;
  bool setValueForKeyPath(const std::string& keyPath, const CAValue& value) override;
  void drawInContext(CGContext& ctx) override;

 protected:
  CAShapeLayer(const CAShapeLayer&) = default;
  std::shared_ptr<CALayer> clone() const override { return std::shared_ptr<CALayer>(new CAShapeLayer(*this)); }

 private:
  std::optional<CGPath> path_;
  std::optional<CGColor> fillColor_ = CGColor::black();
  std::optional<CGColor> strokeColor_;
  CGFloat lineWidth_ = 1;
  std::string lineCap_ = kCALineCapButt;
  std::string lineJoin_ = kCALineJoinMiter;
  std::string fillRule_ = kCAFillRuleNonZero;
  CGFloat strokeStart_ = 0;
  CGFloat strokeEnd_ = 1;
  std::vector<CGFloat> lineDashPattern_;
};

class CAGradientLayer : public CALayer {
 public:
  static std::shared_ptr<CAGradientLayer> layer() { return std::make_shared<CAGradientLayer>(); }
  CAGradientLayer() = default;

  const std::vector<CGColor>& colors() const { return colors_; }
  void setColors(std::vector<CGColor> c) { colors_ = std::move(c); }
  // Empty: evenly spread.
  const std::vector<CGFloat>& locations() const { return locations_; }
  void setLocations(std::vector<CGFloat> l) { locations_ = std::move(l); }
  // In the unit square of the bounds; defaults (0.5, 0) to (0.5, 1).
  CGPoint startPoint() const { return startPoint_; }
  void setStartPoint(CGPoint p) { startPoint_ = p; }
  CGPoint endPoint() const { return endPoint_; }
  void setEndPoint(CGPoint p) { endPoint_ = p; }

  std::optional<CAValue> valueForKeyPath(const std::string& keyPath) const override;
  bool setValueForKeyPath(const std::string& keyPath, const CAValue& value) override;
  void drawInContext(CGContext& ctx) override;

 protected:
  CAGradientLayer(const CAGradientLayer&) = default;
  std::shared_ptr<CALayer> clone() const override { return std::shared_ptr<CALayer>(new CAGradientLayer(*this)); }

 private:
  std::vector<CGColor> colors_;
  std::vector<CGFloat> locations_;
  CGPoint startPoint_{0.5, 0};
  CGPoint endPoint_{0.5, 1};
};

// Per-frame callbacks on the main run loop's display link, for work that
// moves with every frame (scroll animations). Returns an id for removal.
// Each callback gets the frame's media time.
namespace os::uikit {
uint64_t addFrameCallback(std::function<void(double)> callback);
void removeFrameCallback(uint64_t id);
// Runs `block` on the main run loop at media time `time` (now when past).
void scheduleAt(double time, std::function<void()> block);
}  // namespace os::uikit
