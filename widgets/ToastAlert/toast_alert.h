// The toast module: ToastAlertView (a blurred, rounded, self-presenting toast
// with an optional animated icon, a title and a message), its icon views, and
// the one-call and declarative presenters.
//
// Views here hold subviews, so the ones that build subviews at construction
// are made through static `make` factories (a view can only take subviews once
// it is owned by a std::shared_ptr). Main thread only; nothing is persisted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/uikit/uikit.h"

class ToastAlertView;

// ---- Values ----

enum class ToastAlertHaptic : uint8_t { success = 0, warning = 1, error = 2, none = 3 };

// The icon choice: four plain cases and `custom`, which carries an image.
class ToastAlertIconPreset {
 public:
  enum class Case { custom, done, error, heart, spinner };
  // A plain case (`custom` without an image shows an empty image view).
  ToastAlertIconPreset(Case c) : case_(c) {}  // NOLINT: implicit, as a case is written
  static ToastAlertIconPreset custom(std::shared_ptr<UIImage> image) {
    ToastAlertIconPreset p(Case::custom);
    p.image_ = std::move(image);
    return p;
  }
  static const ToastAlertIconPreset done, error, heart, spinner;

  Case presetCase() const { return case_; }
  const std::shared_ptr<UIImage>& image() const { return image_; }
  // success for done and heart, error for error, none for spinner and custom.
  ToastAlertHaptic haptic() const;
  // A new icon view for the preset.
  std::shared_ptr<UIView> makeIconView() const;

  // Custom images compare by object identity.
  friend bool operator==(const ToastAlertIconPreset& a, const ToastAlertIconPreset& b) {
    return a.case_ == b.case_ && (a.case_ != Case::custom || a.image_ == b.image_);
  }

 private:
  Case case_;
  std::shared_ptr<UIImage> image_;
};
inline const ToastAlertIconPreset ToastAlertIconPreset::done{ToastAlertIconPreset::Case::done};
inline const ToastAlertIconPreset ToastAlertIconPreset::error{ToastAlertIconPreset::Case::error};
inline const ToastAlertIconPreset ToastAlertIconPreset::heart{ToastAlertIconPreset::Case::heart};
inline const ToastAlertIconPreset ToastAlertIconPreset::spinner{ToastAlertIconPreset::Case::spinner};

// Geometry of a toast: a shared, mutable reference object.
class ToastAlertLayout {
 public:
  // Icon 100 x 100, margins 43 / 16 / 25 / 16, spacing 41.
  ToastAlertLayout() = default;
  ToastAlertLayout(CGSize iconSize, UIEdgeInsets margins, CGFloat spaceBetweenIconAndTitle)
      : iconSize(iconSize), margins(margins), spaceBetweenIconAndTitle(spaceBetweenIconAndTitle) {}
  // The geometry of a preset's toast.
  explicit ToastAlertLayout(const ToastAlertIconPreset& preset);
  // Icon 100 x 100, margins 23 / 16 / 23 / 16, spacing 41: a message-only toast.
  static std::shared_ptr<ToastAlertLayout> message();

  CGSize iconSize{100, 100};
  UIEdgeInsets margins{43, 16, 25, 16};
  CGFloat spaceBetweenIconAndTitle = 41;
};

// ---- Icons ----

class ToastAlertIconAnimatable {
 public:
  virtual ~ToastAlertIconAnimatable() = default;
  // Starts the icon's own animation; each call adds another set of layers.
  virtual void animate() = 0;
};

// A check mark stroked in 0.3 s when animated; it scales with the view's width.
class ToastAlertIconDoneView : public UIView, public ToastAlertIconAnimatable {
 public:
  explicit ToastAlertIconDoneView(const CGRect& frame = {}) : UIView(frame) {}
  void animate() override;
};

// A cross of two strokes drawn together in 0.22 s each when animated.
class ToastAlertIconErrorView : public UIView, public ToastAlertIconAnimatable {
 public:
  explicit ToastAlertIconErrorView(const CGRect& frame = {}) : UIView(frame) {}
  void animate() override;
  void animateFirstStroke();
  void animateSecondStroke();
};

// A filled heart in the tint colour, fitted (aspect fit) into the view.
class ToastAlertIconHeartView : public UIView {
 public:
  ToastAlertIconHeartView();
  void draw(const CGRect& rect) override;
};

// The platform's large activity indicator, turning from construction, centred.
class ToastAlertSpinnerView : public UIView {
 public:
  struct Key {
   private:
    friend class ToastAlertSpinnerView;
    Key() = default;
  };
  explicit ToastAlertSpinnerView(Key);
  static std::shared_ptr<ToastAlertSpinnerView> make();
  const std::shared_ptr<UIActivityIndicatorView>& activityIndicatorView() const { return activityIndicatorView_; }
  void layoutSubviews() override;

 private:
  std::shared_ptr<UIActivityIndicatorView> activityIndicatorView_;
};

// Draws the heart outline (a 510 x 470 canvas) into the current graphics context.
class HeartDraw {
 public:
  enum class ResizingBehavior { aspectFit = 0, aspectFill = 1, stretch = 2, center = 3 };
  // None for a raw value outside 0...3.
  static std::optional<ResizingBehavior> resizingBehavior(int rawValue);
  // The rectangle `source` takes when fitted into `target`.
  static CGRect apply(ResizingBehavior behavior, const CGRect& source, const CGRect& target);
  // Fills the heart fitted into `frame`. Does nothing without a current context.
  static void drawWithFrame(const CGRect& frame, ResizingBehavior resizing, const UIColor& fillColor);
  static constexpr CGFloat kCanvasWidth = 510, kCanvasHeight = 470;
};

// ---- The toast ----

// Lifecycle: built -> shown (in the window) -> dismissing -> removed. A toast
// is presented once; its dismissal runs once, whatever mix of taps, the timer
// and explicit calls asks for it, so `completion` runs at most once.
class ToastAlertView : public UIView {
 public:
  struct Key {
   private:
    friend class ToastAlertView;
    Key() = default;
  };
  using Completion = std::function<void()>;

  // init(preset:): no icon and no label; the preset's layout.
  static std::shared_ptr<ToastAlertView> make(const ToastAlertIconPreset& preset);
  // init(title:message:preset:): title, optional message and the preset's
  // icon; a spinner neither dismisses by tap nor in time, the rest do both.
  static std::shared_ptr<ToastAlertView> make(const std::string& title, const std::optional<std::string>& message,
                                              const ToastAlertIconPreset& preset);
  // init(message:): the message in the subtitle style, no title, no icon.
  static std::shared_ptr<ToastAlertView> makeWithMessage(const std::string& message);
  explicit ToastAlertView(Key);

  const Completion& completion() const { return completion_; }
  void setCompletion(Completion c) { completion_ = std::move(c); }
  CGFloat cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(CGFloat r);
  // Read when presented.
  bool dismissByTap() const { return dismissByTap_; }
  void setDismissByTap(bool on) { dismissByTap_ = on; }
  // Read when the present animation ends, as is `duration`.
  bool dismissInTime() const { return dismissInTime_; }
  void setDismissInTime(bool on) { dismissInTime_ = on; }
  double duration() const { return duration_; }
  void setDuration(double seconds) { duration_ = seconds; }
  const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
  void setTitleLabel(std::shared_ptr<UILabel> l) { titleLabel_ = std::move(l); }
  const std::shared_ptr<UILabel>& subtitleLabel() const { return subtitleLabel_; }
  void setSubtitleLabel(std::shared_ptr<UILabel> l) { subtitleLabel_ = std::move(l); }
  const std::shared_ptr<UIView>& iconView() const { return iconView_; }
  void setIconView(std::shared_ptr<UIView> v) { iconView_ = std::move(v); }
  // The blur behind the content, made on first use.
  const std::shared_ptr<UIVisualEffectView>& backgroundView();
  std::shared_ptr<UIWindow> presentWindow() const { return presentWindow_.lock(); }
  void setPresentWindow(const std::shared_ptr<UIWindow>& w) { presentWindow_ = w; }
  double presentDismissDuration() const { return presentDismissDuration_; }
  void setPresentDismissDuration(double s) { presentDismissDuration_ = s; }
  double presentDismissScale() const { return presentDismissScale_; }
  void setPresentDismissScale(double s) { presentDismissScale_ = s; }
  const std::shared_ptr<ToastAlertLayout>& layout() const { return layout_; }
  void setLayout(std::shared_ptr<ToastAlertLayout> l) { layout_ = l ? std::move(l) : std::make_shared<ToastAlertLayout>(); }

  void addTitleLabel(const std::string& title);
  void addSubtitleLabel(const std::string& subtitle);
  void addIconView(const ToastAlertIconPreset& preset);
  // Grey for labels and icons, lighter in a dark window.
  UIColor contentColor() const;

  // Shows the toast in `presentWindow` (the key window when unset) with the
  // haptic, then dismisses it after `duration` when `dismissInTime`. Without a
  // window nothing happens and the completion is dropped.
  void present(ToastAlertHaptic haptic, Completion completion = {});
  // Fades and shrinks the toast out, removes it and runs `completion`. Only
  // the first call of a presentation does anything.
  void dismiss();
  void layoutInPresentWindow();

  void layoutSubviews() override;
  CGSize sizeThatFits(CGSize size) const override;

  bool TEST_isDismissing() const { return dismissing_; }

 private:
  void commonInit();
  std::shared_ptr<UILabel> makeLabel(const std::string& text, const UIFont& font, CGFloat lineSpacing) const;

  Completion completion_;
  CGFloat cornerRadius_ = 8;
  bool dismissByTap_ = true;
  bool dismissInTime_ = true;
  double duration_ = 1.5;
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UILabel> subtitleLabel_;
  std::shared_ptr<UIView> iconView_;
  std::shared_ptr<UIVisualEffectView> backgroundView_;
  std::weak_ptr<UIWindow> presentWindow_;
  double presentDismissDuration_ = 0.2;
  double presentDismissScale_ = 0.8;
  std::shared_ptr<ToastAlertLayout> layout_ = std::make_shared<ToastAlertLayout>();
  bool dismissing_ = false;
};

// ---- Presenters ----

// One-call presenters; a namespace with no instances.
class ToastAlert {
 public:
  ToastAlert() = delete;
  static void present(const std::string& title, const std::optional<std::string>& message,
                      const ToastAlertIconPreset& preset, ToastAlertHaptic haptic,
                      ToastAlertView::Completion completion = {});
  // The preset's haptic.
  static void present(const std::string& title, const std::optional<std::string>& message,
                      const ToastAlertIconPreset& preset, ToastAlertView::Completion completion = {});
  static void present(const std::string& message, ToastAlertHaptic haptic, ToastAlertView::Completion completion = {});
  // An empty toast of the preset's layout, with the preset's haptic.
  static void present(const ToastAlertIconPreset& preset, ToastAlertView::Completion completion = {});
  // Dismisses every toast that is a direct subview of one of the application's windows.
  static void dismissAllAlerts();
};

// ---- Declarative presenters ----
//
// A small stand-in for a declarative view host: a modifier is evaluated each
// time the host evaluates the view it is applied to, and answers that view
// unchanged. While the binding is true an evaluation presents a toast, and the
// binding turns false once that toast has been dismissed.
namespace declarative {

// A two-way binding to a value the caller owns.
template <class T>
class Binding {
 public:
  Binding(std::function<T()> get, std::function<void(T)> set) : get_(std::move(get)), set_(std::move(set)) {}
  // A binding to a variable that outlives it.
  static Binding to(T& variable) {
    return Binding([&variable] { return variable; }, [&variable](T v) { variable = std::move(v); });
  }
  T wrappedValue() const { return get_(); }
  void setWrappedValue(T v) const { set_(std::move(v)); }

 private:
  std::function<T()> get_;
  std::function<void(T)> set_;
};

namespace detail {
void presentToastAlert(const Binding<bool>& isPresented, const std::string& title,
                       const std::optional<std::string>& message, double duration, bool dismissByTap,
                       const ToastAlertIconPreset& preset, ToastAlertHaptic haptic,
                       std::shared_ptr<ToastAlertLayout> layout, ToastAlertView::Completion completion);
void presentToastAlert(const Binding<bool>& isPresented, const std::string& message, double duration,
                       bool dismissByTap, ToastAlertHaptic haptic, ToastAlertView::Completion completion);
}  // namespace detail

// With title, optional message and icon; `layout` replaces the preset's.
template <class View>
const View& presentToastAlert(const View& view, const Binding<bool>& isPresented, const std::string& title,
                              const std::optional<std::string>& message, double duration, bool dismissByTap,
                              const ToastAlertIconPreset& preset, ToastAlertHaptic haptic,
                              std::shared_ptr<ToastAlertLayout> layout = nullptr,
                              ToastAlertView::Completion completion = {}) {
  detail::presentToastAlert(isPresented, title, message, duration, dismissByTap, preset, haptic, std::move(layout),
                            std::move(completion));
  return view;
}

// Message only.
template <class View>
const View& presentToastAlert(const View& view, const Binding<bool>& isPresented, const std::string& message,
                              double duration, bool dismissByTap, ToastAlertHaptic haptic,
                              ToastAlertView::Completion completion = {}) {
  detail::presentToastAlert(isPresented, message, duration, dismissByTap, haptic, std::move(completion));
  return view;
}

}  // namespace declarative
