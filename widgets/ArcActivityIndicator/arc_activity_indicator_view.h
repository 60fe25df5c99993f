// ArcActivityIndicatorView: a busy indicator drawn as a circular arc whose
// stroke start and end are animated while the layer turns; when stopped it
// can show a fixed fraction of the circle (`progress`).
//
// States: stopped (initial) and animating. The view restarts the animations
// of a running indicator on every UIApplicationDidBecomeActiveNotification of
// the default centre while it lives. Main thread only.
#pragma once

#include <memory>
#include <optional>

#include "os/uikit/uikit.h"

inline constexpr const char* kArcActivityRotateAnimationKey = "com.quillmar.animation.rotate";
inline constexpr const char* kArcActivityStrokeAnimationKey = "com.quillmar.animation.stroke";

class ArcActivityIndicatorView : public UIView {
 public:
  explicit ArcActivityIndicatorView(const CGRect& frame = {});
  ~ArcActivityIndicatorView() override;

  bool isAnimating() const { return isAnimating_; }
  // Used by the next startAnimating().
  double duration() const { return duration_; }
  void setDuration(double seconds) { duration_ = seconds; }
  const std::shared_ptr<CAMediaTimingFunction>& timingFunction() const { return timingFunction_; }
  void setTimingFunction(std::shared_ptr<CAMediaTimingFunction> f) { timingFunction_ = std::move(f); }
  // Sets the layer's line width and rebuilds the path.
  CGFloat strokeWidth() const { return strokeWidth_; }
  void setStrokeWidth(CGFloat width);
  // The arc's colour (none: no stroke).
  const std::optional<UIColor>& strokColor() const { return strokColor_; }
  void setStrokColor(std::optional<UIColor> color);
  // Hidden when set and not animating, shown otherwise.
  bool hidesWhenStopped() const { return hidesWhenStopped_; }
  void setHidesWhenStopped(bool on);
  // The layer's stroke end: the fraction of the circle shown when stopped.
  CGFloat progress() const { return progress_; }
  void setProgress(CGFloat progress);
  const std::shared_ptr<CAShapeLayer>& animationLayer() const { return animationLayer_; }
  bool isObserved() const { return isObserved_; }

  void startAnimating();
  void stopAnimating();
  // Restarts the animations of an animating indicator; nothing when stopped.
  void resetAnimating();

  void layoutSubviews() override;
  UIColor tintColor() const override;
  void setTintColor(std::optional<UIColor> color) override;

 private:
  void setUp();
  void updatePath();
  void updateVisibility();

  bool isAnimating_ = false;
  double duration_ = 1.25;
  std::shared_ptr<CAMediaTimingFunction> timingFunction_;
  CGFloat strokeWidth_ = 1.0;
  std::optional<UIColor> strokColor_ = UIColor::whiteColor();
  bool hidesWhenStopped_ = true;
  CGFloat progress_ = 0;
  std::shared_ptr<CAShapeLayer> animationLayer_;
  bool isObserved_ = false;
};
