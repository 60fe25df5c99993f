#include "os/dispatch/queue.h"
#include "widgets/ToastAlert/toast_alert.h"

// ---- ToastAlertIconPreset ----

ToastAlertHaptic ToastAlertIconPreset::haptic() const {
  switch (case_) {
    case Case::done: return ToastAlertHaptic::success;
    case Case::error: return ToastAlertHaptic::error;
    case Case::heart: return ToastAlertHaptic::success;
    case Case::spinner: return ToastAlertHaptic::none;
    case Case::custom: return ToastAlertHaptic::none;
  }
  return ToastAlertHaptic::none;
}

std::shared_ptr<UIView> ToastAlertIconPreset::makeIconView() const {
  switch (case_) {
    case Case::done: return std::make_shared<ToastAlertIconDoneView>();
    case Case::error: return std::make_shared<ToastAlertIconErrorView>();
    case Case::heart: return std::make_shared<ToastAlertIconHeartView>();
    case Case::spinner: return ToastAlertSpinnerView::make();
    case Case::custom: break;
  }
  auto view = std::make_shared<UIImageView>(image_);
  view->setContentMode(UIViewContentMode::ScaleAspectFit);
  return view;
}

// ---- ToastAlertLayout ----

ToastAlertLayout::ToastAlertLayout(const ToastAlertIconPreset& preset) {
  using Case = ToastAlertIconPreset::Case;
  switch (preset.presetCase()) {
    case Case::done: *this = ToastAlertLayout({112, 112}, {63, 16, 29, 16}, 35); break;
    case Case::error: *this = ToastAlertLayout({86, 86}, {63, 16, 29, 16}, 39); break;
    case Case::heart: *this = ToastAlertLayout({112, 77}, {49, 16, 25, 16}, 35); break;
    case Case::spinner: *this = ToastAlertLayout({16, 16}, {58, 16, 27, 16}, 39); break;
    case Case::custom: *this = ToastAlertLayout({100, 100}, {43, 16, 25, 16}, 35); break;
  }
}

std::shared_ptr<ToastAlertLayout> ToastAlertLayout::message() {
  return std::make_shared<ToastAlertLayout>(CGSize{100, 100}, UIEdgeInsets{23, 16, 23, 16}, 41);
}

// ---- ToastAlertView ----

ToastAlertView::ToastAlertView(Key) : UIView(CGRect{}) {}

std::shared_ptr<ToastAlertView> ToastAlertView::make(const ToastAlertIconPreset& preset) {
  auto toast = std::make_shared<ToastAlertView>(Key{});
  toast->commonInit();
  toast->setLayout(std::make_shared<ToastAlertLayout>(preset));
  return toast;
}

std::shared_ptr<ToastAlertView> ToastAlertView::make(const std::string& title,
                                                     const std::optional<std::string>& message,
                                                     const ToastAlertIconPreset& preset) {
  auto toast = make(preset);
  toast->addTitleLabel(title);
  if (message) toast->addSubtitleLabel(*message);
  toast->addIconView(preset);
  const bool selfDismissing = preset.presetCase() != ToastAlertIconPreset::Case::spinner;
  toast->dismissInTime_ = selfDismissing;
  toast->dismissByTap_ = selfDismissing;
  return toast;
}

std::shared_ptr<ToastAlertView> ToastAlertView::makeWithMessage(const std::string& message) {
  auto toast = std::make_shared<ToastAlertView>(Key{});
  toast->commonInit();
  toast->setLayout(ToastAlertLayout::message());
  toast->addSubtitleLabel(message);
  toast->dismissInTime_ = true;
  toast->dismissByTap_ = true;
  return toast;
}

void ToastAlertView::commonInit() {
  setPreservesSuperviewLayoutMargins(false);
  setInsetsLayoutMarginsFromSafeArea(false);
  setClipsToBounds(true);
  setBackgroundColor(UIColor::clearColor());
  insertSubview(backgroundView(), 0);
  layer()->setCornerRadius(cornerRadius_);
}

void ToastAlertView::setCornerRadius(CGFloat r) {
  cornerRadius_ = r;
  layer()->setCornerRadius(r);
}

const std::shared_ptr<UIVisualEffectView>& ToastAlertView::backgroundView() {
  if (!backgroundView_) {
    backgroundView_ = std::make_shared<UIVisualEffectView>(UIBlurEffect{UIBlurEffectStyle::SystemThickMaterial});
    backgroundView_->setUserInteractionEnabled(false);
  }
  return backgroundView_;
}

std::shared_ptr<UILabel> ToastAlertView::makeLabel(const std::string& text, const UIFont& font,
                                                   CGFloat lineSpacing) const {
  auto label = std::make_shared<UILabel>();
  label->setFont(font);
  label->setNumberOfLines(0);
  NSParagraphStyle style;
  style.lineSpacing = lineSpacing;
  style.alignment = NSTextAlignment::Center;
  NSAttributes attributes;
  attributes.paragraphStyle = style;
  label->setAttributedText(NSAttributedString(text, attributes));
  label->setTextAlignment(NSTextAlignment::Center);
  label->setTextColor(contentColor());
  return label;
}

void ToastAlertView::addTitleLabel(const std::string& title) {
  UIFont bold = UIFont::boldSystemFont(UIFont::preferredPointSize(UIFontTextStyleTitle2));
  titleLabel_ = makeLabel(title, UIFontMetrics(UIFontTextStyleTitle2).scaledFont(bold), 3);
  addSubview(titleLabel_);
}

void ToastAlertView::addSubtitleLabel(const std::string& subtitle) {
  subtitleLabel_ = makeLabel(subtitle, UIFont::preferredFont(UIFontTextStyleBody), 2);
  addSubview(subtitleLabel_);
}

void ToastAlertView::addIconView(const ToastAlertIconPreset& preset) {
  iconView_ = preset.makeIconView();
  iconView_->setTintColor(contentColor());
  addSubview(iconView_);
}

UIColor ToastAlertView::contentColor() const {
  if (window() && traitCollection().userInterfaceStyle == UIUserInterfaceStyle::Dark) {
    return UIColor::fromRGBA(127.0 / 255, 127.0 / 255, 129.0 / 255, 1);
  }
  return UIColor::fromRGBA(88.0 / 255, 87.0 / 255, 88.0 / 255, 1);
}

void ToastAlertView::present(ToastAlertHaptic haptic, Completion completion) {
  if (!presentWindow()) presentWindow_ = UIApplication::sharedApplication()->keyWindow();
  auto window = presentWindow();
  if (!window) return;

  window->addSubview(shared_from_this());
  completion_ = std::move(completion);
  dismissing_ = false;
  setAlpha(0);
  layoutInPresentWindow();
  setTransform(transform().scaledBy(presentDismissScale_, presentDismissScale_));

  std::weak_ptr<ToastAlertView> weak = std::static_pointer_cast<ToastAlertView>(shared_from_this());
  if (dismissByTap_) {
    addGestureRecognizer(std::make_shared<UITapGestureRecognizer>([weak](UIGestureRecognizer&) {
      if (auto self = weak.lock()) self->dismiss();
    }));
  }

  switch (haptic) {
    case ToastAlertHaptic::success: UINotificationFeedbackGenerator().notificationOccurred(UINotificationFeedbackType::Success); break;
    case ToastAlertHaptic::warning: UINotificationFeedbackGenerator().notificationOccurred(UINotificationFeedbackType::Warning); break;
    case ToastAlertHaptic::error: UINotificationFeedbackGenerator().notificationOccurred(UINotificationFeedbackType::Error); break;
    case ToastAlertHaptic::none: break;
  }

  UIView::animate(
      presentDismissDuration_,
      [this] {
        setAlpha(1);
        setTransform(CGAffineTransformIdentity);
      },
      [weak](bool) {
        auto self = weak.lock();
        if (!self) return;
        if (auto animatable = std::dynamic_pointer_cast<ToastAlertIconAnimatable>(self->iconView_)) animatable->animate();
        if (self->dismissInTime_) {
          // The scheduled dismissal keeps the toast alive until it runs.
          os::DispatchQueue::main()->afterSeconds(self->duration_, [self] { self->dismiss(); });
        }
      });
}

void ToastAlertView::dismiss() {
  // A tap, the timer and explicit calls may all ask; the completion must run once.
  if (dismissing_) return;
  dismissing_ = true;
  std::weak_ptr<ToastAlertView> weak = std::static_pointer_cast<ToastAlertView>(shared_from_this());
  UIView::animate(
      presentDismissDuration_,
      [this] {
        setAlpha(0);
        setTransform(transform().scaledBy(presentDismissScale_, presentDismissScale_));
      },
      [weak](bool) {
        auto self = weak.lock();
        if (!self) return;
        self->removeFromSuperview();
        if (auto completion = std::move(self->completion_)) {
          self->completion_ = nullptr;
          completion();
        }
      });
}

void ToastAlertView::layoutInPresentWindow() {
  auto window = presentWindow();
  if (!window) return;
  setFrame({0, 0, 250, 100});
  setCenter(window->frame().mid());
  setLayoutMargins(layout_->margins);
  sizeToFit();
  setCenter(window->frame().mid());
}

CGSize ToastAlertView::sizeThatFits(CGSize) const {
  // Sizing needs the laid-out subviews, as the platform's sizeThatFits: here does.
  const_cast<ToastAlertView*>(this)->layoutSubviews();
  const UIView* lowest = subtitleLabel_ ? static_cast<const UIView*>(subtitleLabel_.get())
                         : titleLabel_  ? static_cast<const UIView*>(titleLabel_.get())
                                        : iconView_.get();
  const CGFloat bottomMargin = layoutMargins().bottom;
  if (!lowest) return {frame().width(), 150 + bottomMargin};
  return {frame().width(), lowest->frame().maxY() + bottomMargin};
}

void ToastAlertView::layoutSubviews() {
  UIView::layoutSubviews();
  const UIEdgeInsets margins = layoutMargins();
  backgroundView()->setFrame(bounds());

  if (iconView_) {
    iconView_->setFrame({0, margins.top, layout_->iconSize.width, layout_->iconSize.height});
    iconView_->setCenter({bounds().midX(), iconView_->center().y});
  }

  const CGFloat x = margins.left;
  const CGFloat w = frame().width() - margins.left - margins.right;
  auto place = [&](UILabel& label, CGFloat y) {
    label.setFrame({x, y, w, label.frame().height()});
    label.sizeToFit();
    if (label.frame().width() != w) label.setFrame({x, y, w, label.frame().height()});
  };
  if (titleLabel_) place(*titleLabel_, iconView_ ? iconView_->frame().maxY() + layout_->spaceBetweenIconAndTitle : margins.top);
  if (subtitleLabel_) place(*subtitleLabel_, titleLabel_ ? titleLabel_->frame().maxY() + 4 : margins.top);
}
