// Views, windows, the screen, touches and a small constraint set.
//
// Views are references (std::shared_ptr, enable_shared_from_this); a view
// owns its subviews and its layer, its superview is weak. A view's geometry
// lives in its layer: frame, bounds, center and transform are the layer's
// frame, bounds, position and affine transform. Inside UIView::animate the
// animatable setters (frame, bounds, center, transform, alpha,
// backgroundColor) add layer animations from the presented value to the new
// model value. Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/uikit/image.h"
#include "os/uikit/layer.h"
#include "os/uikit/types.h"

class UIView;
class UIWindow;
class UIGestureRecognizer;
class UIViewController;  // view_controller.h
class UIWindowScene;     // app_host.h

class UIScreen {
 public:
  // The device's screen, as the device profile in force describes it.
  static UIScreen& mainScreen();
  CGRect bounds() const;
  CGFloat scale() const;
};

enum class UITouchPhase { Began = 0, Moved = 1, Stationary = 2, Ended = 3, Cancelled = 4 };

class UITouch {
 public:
  UITouchPhase phase() const { return phase_; }
  double timestamp() const { return timestamp_; }
  int tapCount() const { return tapCount_; }
  std::shared_ptr<UIView> view() const { return view_.lock(); }
  std::shared_ptr<UIWindow> window() const { return window_.lock(); }
  // The location in a view's space (nullptr: the window's).
  CGPoint locationInView(const UIView* view) const;
  CGPoint previousLocationInView(const UIView* view) const;

 private:
  friend class UIWindow;
  UITouchPhase phase_ = UITouchPhase::Began;
  double timestamp_ = 0;
  int tapCount_ = 1;
  CGPoint location_, previous_;  // window space
  std::weak_ptr<UIView> view_;
  std::weak_ptr<UIWindow> window_;
};

struct UIEvent {
  double timestamp = 0;
};

enum class UIViewContentMode {
  ScaleToFill = 0, ScaleAspectFit = 1, ScaleAspectFill = 2, Redraw = 3, Center = 4, Top = 5, Bottom = 6, Left = 7, Right = 8
};

namespace UIViewAutoresizing {
inline constexpr unsigned None = 0, FlexibleLeftMargin = 1 << 0, FlexibleWidth = 1 << 1, FlexibleRightMargin = 1 << 2,
                          FlexibleTopMargin = 1 << 3, FlexibleHeight = 1 << 4, FlexibleBottomMargin = 1 << 5;
}

namespace UIViewAnimationOptions {
inline constexpr unsigned None = 0, AllowUserInteraction = 1 << 1, BeginFromCurrentState = 1 << 2, Repeat = 1 << 3,
                          Autoreverse = 1 << 4, CurveEaseInOut = 0 << 16, CurveEaseIn = 1 << 16,
                          CurveEaseOut = 2 << 16, CurveLinear = 3 << 16;
}

inline constexpr CGFloat UIViewNoIntrinsicMetric = -1;

enum class NSLayoutAttribute { Left, Right, Top, Bottom, Leading, Trailing, Width, Height, CenterX, CenterY, NotAnAttribute };

class NSLayoutConstraint;

// An anchor: one attribute of one view.
struct NSLayoutAnchor {
  std::weak_ptr<UIView> view;
  NSLayoutAttribute attribute;
  std::shared_ptr<NSLayoutConstraint> constraintEqualToAnchor(const NSLayoutAnchor& other, CGFloat constant = 0) const;
  // Width and height only.
  std::shared_ptr<NSLayoutConstraint> constraintEqualToConstant(CGFloat constant) const;
};

// item.attribute = multiplier x toItem.toAttribute + constant (equality
// only). Active constraints are solved in the layout pass of the superview
// of `item`; a constraint whose views are not related that way is ignored.
class NSLayoutConstraint : public std::enable_shared_from_this<NSLayoutConstraint> {
 public:
  friend class UIView;
  static std::shared_ptr<NSLayoutConstraint> constraintWithItem(const std::shared_ptr<UIView>& item, NSLayoutAttribute attribute,
                                                                const std::shared_ptr<UIView>& toItem,
                                                                NSLayoutAttribute toAttribute, CGFloat multiplier,
                                                                CGFloat constant);
  static void activateConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints);
  static void deactivateConstraints(const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints);
  bool isActive() const { return active_; }
  void setActive(bool active);
  CGFloat constant() const { return constant_; }
  void setConstant(CGFloat c);
  CGFloat multiplier() const { return multiplier_; }
  std::shared_ptr<UIView> firstItem() const { return item_.lock(); }
  std::shared_ptr<UIView> secondItem() const { return toItem_.lock(); }
  NSLayoutAttribute firstAttribute() const { return attribute_; }
  NSLayoutAttribute secondAttribute() const { return toAttribute_; }

 private:
  std::weak_ptr<UIView> item_, toItem_;
  NSLayoutAttribute attribute_ = NSLayoutAttribute::NotAnAttribute, toAttribute_ = NSLayoutAttribute::NotAnAttribute;
  CGFloat multiplier_ = 1, constant_ = 0;
  bool active_ = false;
};

class UIView : public std::enable_shared_from_this<UIView>, public CALayerDelegate {
 public:
  explicit UIView(const CGRect& frame = {});
  ~UIView() override;
  template <class T = UIView, class... Args>
  static std::shared_ptr<T> make(Args&&... args) {
    return std::make_shared<T>(std::forward<Args>(args)...);
  }

  const std::shared_ptr<CALayer>& layer() const { return layer_; }

  // Geometry.
  CGRect frame() const { return layer_->frame(); }
  void setFrame(const CGRect& frame);
  CGRect bounds() const { return layer_->bounds(); }
  void setBounds(const CGRect& bounds);
  CGPoint center() const { return layer_->position(); }
  void setCenter(CGPoint center);
  CGAffineTransform transform() const { return layer_->affineTransform(); }
  void setTransform(const CGAffineTransform& t);

  // Appearance.
  CGFloat alpha() const { return layer_->opacity(); }
  void setAlpha(CGFloat alpha);
  bool isHidden() const { return layer_->isHidden(); }
  virtual void setHidden(bool hidden);
  std::optional<UIColor> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::optional<UIColor> color);
  bool clipsToBounds() const { return layer_->masksToBounds(); }
  void setClipsToBounds(bool clips) { layer_->setMasksToBounds(clips); }
  bool isOpaque() const { return opaque_; }
  void setOpaque(bool opaque) { opaque_ = opaque; }
  UIViewContentMode contentMode() const { return contentMode_; }
  virtual void setContentMode(UIViewContentMode mode) { contentMode_ = mode; }
  // Inherited from the superview when not set; system blue at the top.
  virtual UIColor tintColor() const;
  virtual void setTintColor(std::optional<UIColor> color);
  virtual void tintColorDidChange() {}
  int tag() const { return tag_; }
  void setTag(int tag) { tag_ = tag; }
  std::shared_ptr<UIView> viewWithTag(int tag);
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool on) { userInteractionEnabled_ = on; }
  UIUserInterfaceStyle overrideUserInterfaceStyle() const { return overrideStyle_; }
  void setOverrideUserInterfaceStyle(UIUserInterfaceStyle s);

  // Hierarchy. Adding a view to itself or to one of its own subviews is refused.
  std::shared_ptr<UIView> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
  virtual std::shared_ptr<UIWindow> window() const;
  void addSubview(const std::shared_ptr<UIView>& view);
  void insertSubview(const std::shared_ptr<UIView>& view, size_t index);
  void insertSubviewBelow(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling);
  void insertSubviewAbove(const std::shared_ptr<UIView>& view, const std::shared_ptr<UIView>& sibling);
  void removeFromSuperview();
  void bringSubviewToFront(const std::shared_ptr<UIView>& view);
  void sendSubviewToBack(const std::shared_ptr<UIView>& view);
  bool isDescendantOfView(const UIView* view) const;
  virtual void willMoveToSuperview(const std::shared_ptr<UIView>&) {}
  virtual void didMoveToSuperview() {}
  virtual void didMoveToWindow() {}
  virtual void didAddSubview(const std::shared_ptr<UIView>&) {}
  virtual void willRemoveSubview(const std::shared_ptr<UIView>&) {}

  // Layout.
  void setNeedsLayout();
  bool needsLayout() const { return needsLayout_; }
  void layoutIfNeeded();
  // The base pass applies autoresizing's result and the constraints of subviews.
  virtual void layoutSubviews();
  virtual CGSize sizeThatFits(CGSize size) const;
  void sizeToFit();
  virtual CGSize intrinsicContentSize() const { return {UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric}; }
  void invalidateIntrinsicContentSize() { if (auto s = superview()) s->setNeedsLayout(); }
  unsigned autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }
  bool autoresizesSubviews() const { return autoresizesSubviews_; }
  void setAutoresizesSubviews(bool on) { autoresizesSubviews_ = on; }
  bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool on) { translatesMask_ = on; }
  // The margins in force: the stored ones, grown by the safe area (when
  // insetsLayoutMarginsFromSafeArea) and the superview's margins (when
  // preservesSuperviewLayoutMargins) where they reach into this view.
  UIEdgeInsets layoutMargins() const;
  void setLayoutMargins(const UIEdgeInsets& m);
  virtual void layoutMarginsDidChange() {}
  bool preservesSuperviewLayoutMargins() const { return preservesSuperviewMargins_; }
  void setPreservesSuperviewLayoutMargins(bool on) { preservesSuperviewMargins_ = on; }
  bool insetsLayoutMarginsFromSafeArea() const { return insetsFromSafeArea_; }
  void setInsetsLayoutMarginsFromSafeArea(bool on) { insetsFromSafeArea_ = on; }
  // The window's safe-area insets where they overlap this view.
  virtual UIEdgeInsets safeAreaInsets() const;

  // Constraints and anchors.
  NSLayoutAnchor leadingAnchor() { return {weak_from_this(), NSLayoutAttribute::Leading}; }
  NSLayoutAnchor trailingAnchor() { return {weak_from_this(), NSLayoutAttribute::Trailing}; }
  NSLayoutAnchor leftAnchor() { return {weak_from_this(), NSLayoutAttribute::Left}; }
  NSLayoutAnchor rightAnchor() { return {weak_from_this(), NSLayoutAttribute::Right}; }
  NSLayoutAnchor topAnchor() { return {weak_from_this(), NSLayoutAttribute::Top}; }
  NSLayoutAnchor bottomAnchor() { return {weak_from_this(), NSLayoutAttribute::Bottom}; }
  NSLayoutAnchor widthAnchor() { return {weak_from_this(), NSLayoutAttribute::Width}; }
  NSLayoutAnchor heightAnchor() { return {weak_from_this(), NSLayoutAttribute::Height}; }
  NSLayoutAnchor centerXAnchor() { return {weak_from_this(), NSLayoutAttribute::CenterX}; }
  NSLayoutAnchor centerYAnchor() { return {weak_from_this(), NSLayoutAttribute::CenterY}; }
  // The active constraints that position this view.
  std::vector<std::shared_ptr<NSLayoutConstraint>> constraints() const { return constraints_; }

  // Coordinates. A null view means the window's space.
  CGPoint convertPointToView(CGPoint p, const UIView* view) const;
  CGPoint convertPointFromView(CGPoint p, const UIView* view) const;
  CGRect convertRectToView(const CGRect& r, const UIView* view) const;
  CGRect convertRectFromView(const CGRect& r, const UIView* view) const;

  // Traits: the window's, with this view's or an ancestor's style override.
  UITraitCollection traitCollection() const;
  virtual void traitCollectionDidChange(const UITraitCollection& previous) { (void)previous; }

  // Drawing: called with the view's bounds while a render context is current.
  virtual void draw(const CGRect& rect);
  void setNeedsDisplay() { layer_->setNeedsDisplay(); }
  // Renders the hierarchy (presented values) into the current image context,
  // scaled into rect. Returns false without a current context.
  bool drawViewHierarchyInRect(const CGRect& rect, bool afterScreenUpdates);
  // The view rendered at `scale` (0: the screen's), or an error for an empty size.
  os::Result<std::shared_ptr<UIImage>> renderImage(CGFloat scale = 0);

  // Touches and hit-testing.
  virtual std::shared_ptr<UIView> hitTest(CGPoint point, const UIEvent* event);
  virtual bool pointInside(CGPoint point, const UIEvent* event) const;
  // Responder: the default passes touches on to the superview.
  virtual void touchesBegan(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event);
  virtual void touchesMoved(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event);
  virtual void touchesEnded(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event);
  virtual void touchesCancelled(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event);
  // Asked of the touched view before a recognizer on it or an ancestor begins.
  virtual bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer);
  void addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  void removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  const std::vector<std::shared_ptr<UIGestureRecognizer>>& gestureRecognizers() const { return recognizers_; }

  // Animation.
  static void animate(double duration, double delay, unsigned options, const std::function<void()>& animations,
                      std::function<void(bool)> completion = {});
  static void animate(double duration, const std::function<void()>& animations, std::function<void(bool)> completion = {}) {
    animate(duration, 0, UIViewAnimationOptions::None, animations, std::move(completion));
  }
  // Damping ratio 0...1 (1: no overshoot); velocity in distances per second.
  static void animateWithSpring(double duration, double delay, double dampingRatio, double velocity, unsigned options,
                                const std::function<void()>& animations, std::function<void(bool)> completion = {});
  static void performWithoutAnimation(const std::function<void()>& actions);
  static bool areAnimationsEnabled();

  // CALayerDelegate.
  void drawLayer(CALayer& layer, CGContext& ctx) override;

 protected:
  // Called by subclasses that change how traits flow (the window).
  void notifyTraitChange(const UITraitCollection& previous);
  void notifyTintChange();
  virtual void didMoveToWindowTree();

 private:
  friend class UIWindow;
  friend class NSLayoutConstraint;
  friend class UIViewController;
  void recordAnimation(const char* keyPath);
  void boundsSizeChanged(CGSize old);
  void applyConstraints();
  void insertSubviewAt(const std::shared_ptr<UIView>& view, size_t index);

  std::shared_ptr<CALayer> layer_;
  std::vector<std::shared_ptr<UIView>> subviews_;
  std::weak_ptr<UIView> superview_;
  std::vector<std::shared_ptr<UIGestureRecognizer>> recognizers_;
  std::vector<std::shared_ptr<NSLayoutConstraint>> constraints_;
  std::optional<UIColor> backgroundColor_;
  std::optional<UIColor> tintColor_;
  UIViewContentMode contentMode_ = UIViewContentMode::ScaleToFill;
  UIUserInterfaceStyle overrideStyle_ = UIUserInterfaceStyle::Unspecified;
  UIEdgeInsets layoutMargins_{8, 8, 8, 8};
  unsigned autoresizingMask_ = UIViewAutoresizing::None;
  int tag_ = 0;
  bool opaque_ = true;
  bool userInteractionEnabled_ = true;
  bool autoresizesSubviews_ = true;
  bool translatesMask_ = true;
  bool preservesSuperviewMargins_ = false;
  bool insetsFromSafeArea_ = true;
  bool needsLayout_ = true;
  // The controller whose view this is (set by UIViewController).
  std::weak_ptr<UIViewController> viewController_;
};

// Posted (object: the window) when a window stops being the key window
// because another one is made key; the new one is key by then.
inline constexpr const char* kUIWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";

class UIWindow : public UIView {
 public:
  // A window the size of the main screen.
  UIWindow();
  explicit UIWindow(const CGRect& frame);
  ~UIWindow() override;

  std::shared_ptr<UIWindow> window() const override;
  void makeKeyAndVisible();
  // Makes this the key window; the previous key window, if another, posts
  // kUIWindowDidResignKeyNotification.
  void makeKeyWindow();
  bool isKeyWindow() const;

  // Owned by the window. Its view fills the window (flexible width and
  // height) and replaces the previous root's view; while the window is
  // visible the controllers get their appearance calls.
  const std::shared_ptr<UIViewController>& rootViewController() const { return rootViewController_; }
  void setRootViewController(std::shared_ptr<UIViewController> vc);
  // True once made key and visible (and not hidden since).
  bool isVisible() const { return visible_ && !isHidden(); }
  void setHidden(bool hidden) override;

  // The scene the window belongs to: the one set, else the application's
  // first connected window scene.
  std::shared_ptr<UIWindowScene> windowScene() const;
  void setWindowScene(const std::shared_ptr<UIWindowScene>& scene) { windowScene_ = scene; }

  UITraitCollection windowTraitCollection() const { return traits_; }
  // Changes the traits (rotation, dark mode) and tells every view below.
  void setTraitCollection(const UITraitCollection& traits);
  UIEdgeInsets safeAreaInsets() const override { return safeArea_; }
  void setSafeAreaInsets(const UIEdgeInsets& insets);

  // Synthetic touches, one finger, at a point in window space. A began
  // touch hit-tests; moves and the end go to the same view and recognizers.
  void sendTouch(CGPoint point, UITouchPhase phase);
  // A touch down and up at the same point.
  void tap(CGPoint point);
  // Lays the tree out and writes it as a PNG image at `scale` (0: the
  // screen's); the file is replaced atomically, through os::FileManager.
  os::Status renderToPNGFile(const std::string& path, CGFloat scale = 0);

  // Internal: a recognizer that recognized on its own (a long press timer).
  void TEST_recognizerDidRecognize(UIGestureRecognizer& recognizer);

 private:
  void deliver(UITouchPhase phase);
  static void notifyAppearance(UIView& view, bool visible);
  std::shared_ptr<UIViewController> rootViewController_;
  std::weak_ptr<UIWindowScene> windowScene_;
  bool visible_ = false;
  UITraitCollection traits_;
  UIEdgeInsets safeArea_;
  std::shared_ptr<UITouch> touch_;
  std::vector<std::shared_ptr<UIGestureRecognizer>> touchRecognizers_;
  bool viewTouchCancelled_ = false;
};
