#include "os/uikit/controls.h"

#include <algorithm>
#include <cmath>

#include "os/uikit/gesture.h"

// --- UIControl -------------------------------------------------------------

uint64_t UIControl::addTarget(Action action, unsigned events) {
  if (!action || events == 0) return 0;
  uint64_t token = nextToken_++;
  targets_.push_back({token, std::move(action), events});
  return token;
}

void UIControl::removeTarget(uint64_t token) {
  std::erase_if(targets_, [token](const Target& t) { return t.token == token; });
}

void UIControl::sendActionsForControlEvents(unsigned events) {
  auto keep = shared_from_this();
  auto targets = targets_;
  for (auto& t : targets)
    if (t.events & events) t.action(*this);
}

unsigned UIControl::state() const {
  unsigned s = UIControlState::Normal;
  if (highlighted_) s |= UIControlState::Highlighted;
  if (!enabled_) s |= UIControlState::Disabled;
  if (selected_) s |= UIControlState::Selected;
  return s;
}

void UIControl::setEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (!on) highlighted_ = false;
  stateDidChange();
}
void UIControl::setSelected(bool on) {
  if (on == selected_) return;
  selected_ = on;
  stateDidChange();
}
void UIControl::setHighlighted(bool on) {
  if (on == highlighted_) return;
  highlighted_ = on;
  stateDidChange();
}

bool UIControl::beginTrackingWithTouch(const UITouch&, const UIEvent&) { return true; }
bool UIControl::continueTrackingWithTouch(const UITouch&, const UIEvent&) { return true; }
void UIControl::endTrackingWithTouch(const UITouch*, const UIEvent&) {}
void UIControl::cancelTrackingWithEvent(const UIEvent*) {}

void UIControl::touchesBegan(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) {
  if (!enabled_ || touches.empty()) return;
  touchInside_ = true;
  tracking_ = beginTrackingWithTouch(*touches[0], event);
  setHighlighted(true);
  sendActionsForControlEvents(UIControlEvents::TouchDown);
}

void UIControl::touchesMoved(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) {
  if (!enabled_ || touches.empty()) return;
  bool inside = bounds().contains(touches[0]->locationInView(this));
  bool was = touchInside_;
  touchInside_ = inside;
  setHighlighted(inside);
  if (tracking_) tracking_ = continueTrackingWithTouch(*touches[0], event);
  unsigned events = inside ? UIControlEvents::TouchDragInside : UIControlEvents::TouchDragOutside;
  if (inside != was) events |= inside ? UIControlEvents::TouchDragEnter : UIControlEvents::TouchDragExit;
  sendActionsForControlEvents(events);
}

void UIControl::touchesEnded(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) {
  if (!enabled_ || touches.empty()) return;
  bool inside = bounds().contains(touches[0]->locationInView(this));
  touchInside_ = inside;
  if (tracking_) endTrackingWithTouch(touches[0].get(), event);
  tracking_ = false;
  setHighlighted(false);
  sendActionsForControlEvents(inside ? UIControlEvents::TouchUpInside | UIControlEvents::PrimaryActionTriggered
                                     : UIControlEvents::TouchUpOutside);
  touchInside_ = false;
}

void UIControl::touchesCancelled(const std::vector<std::shared_ptr<UITouch>>&, const UIEvent& event) {
  if (tracking_) cancelTrackingWithEvent(&event);
  tracking_ = false;
  touchInside_ = false;
  setHighlighted(false);
  sendActionsForControlEvents(UIControlEvents::TouchCancel);
}

bool UIControl::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  bool tap = dynamic_cast<UITapGestureRecognizer*>(&recognizer) != nullptr;
  return !(tap && recognizer.view().get() != this);
}

// --- UILabel ---------------------------------------------------------------

UILabel::UILabel(const CGRect& frame) : UIView(frame) {
  setUserInteractionEnabled(false);
  setOpaque(false);
}

void UILabel::setText(std::string text) {
  if (!attributed_ && text == text_) return;
  text_ = std::move(text);
  attributed_.reset();
  setNeedsDisplay();
  invalidateIntrinsicContentSize();
}

void UILabel::setAttributedText(std::optional<NSAttributedString> text) {
  attributed_ = std::move(text);
  text_ = attributed_ ? attributed_->string() : std::string();
  if (attributed_) {
    NSAttributes a = attributed_->attributesAtStart();
    if (a.font) font_ = *a.font;
    if (a.foregroundColor) textColor_ = *a.foregroundColor;
    if (a.paragraphStyle) alignment_ = a.paragraphStyle->alignment;
  }
  invalidateIntrinsicContentSize();
}

void UILabel::setFont(UIFont font) { font_ = std::move(font); invalidateIntrinsicContentSize(); }
void UILabel::setTextColor(UIColor color) { textColor_ = color; }
void UILabel::setTextAlignment(NSTextAlignment a) { alignment_ = a; }
void UILabel::setNumberOfLines(int n) { numberOfLines_ = std::max(0, n); invalidateIntrinsicContentSize(); }
void UILabel::setLineBreakMode(NSLineBreakMode m) { lineBreakMode_ = m; }
void UILabel::setAdjustsFontSizeToFitWidth(bool on) { adjustsFontSize_ = on; }
void UILabel::setMinimumScaleFactor(CGFloat f) { minimumScaleFactor_ = std::isfinite(f) ? std::clamp(f, 0.0, 1.0) : 0; }

os::graphics::TextStyle UILabel::style(const UIFont& font) const {
  os::graphics::TextStyle s;
  s.font = font.spec();
  s.color = textColor_.resolved(traitCollection().userInterfaceStyle);
  s.alignment = alignment_;
  s.lineBreakMode = lineBreakMode_;
  s.numberOfLines = numberOfLines_;
  if (attributed_) {
    if (auto p = attributed_->paragraphStyle()) {
      s.lineSpacing = p->lineSpacing;
      s.alignment = p->alignment;
    }
    for (const auto& run : attributed_->runs()) {
      os::graphics::TextRun r;
      r.start = run.start;
      r.length = run.length;
      if (run.attributes.font) r.font = run.attributes.font->spec();
      if (run.attributes.foregroundColor) r.color = run.attributes.foregroundColor->cgColor();
      r.kern = run.attributes.kern;
      s.runs.push_back(r);
    }
  }
  return s;
}

UIFont UILabel::effectiveFont() const {
  if (!adjustsFontSize_ || text_.empty() || numberOfLines_ != 1) return font_;
  CGFloat width = bounds().width();
  if (width <= 0) return font_;
  CGFloat natural = os::graphics::measureText(text_, style(font_), 0).width;
  if (natural <= width) return font_;
  CGFloat minSize = font_.pointSize() * (minimumScaleFactor_ > 0 ? minimumScaleFactor_ : 0.05);
  CGFloat size = std::max(minSize, font_.pointSize() * width / natural);
  // Widths are not exactly linear in size: step down until it fits.
  for (int i = 0; i < 20 && size > minSize; ++i) {
    if (os::graphics::measureText(text_, style(font_.withSize(size)), 0).width <= width) break;
    size = std::max(minSize, size * 0.98);
  }
  return font_.withSize(size);
}

CGSize UILabel::sizeThatFits(CGSize size) const {
  if (text_.empty()) return {0, 0};
  CGFloat maxWidth = numberOfLines_ == 1 ? 0 : size.width;
  CGSize s = os::graphics::measureText(text_, style(font_), maxWidth > 0 ? maxWidth : 0);
  return {std::ceil(s.width), std::ceil(s.height)};
}

CGSize UILabel::intrinsicContentSize() const {
  CGFloat width = numberOfLines_ == 1 ? 0 : bounds().width();
  return sizeThatFits({width, 0});
}

void UILabel::draw(const CGRect& rect) {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx || text_.empty()) return;
  UIFont font = effectiveFont();
  auto s = style(font);
  CGFloat width = rect.width();
  // Single lines are laid out unwrapped, truncated to the width.
  CGSize size = os::graphics::measureText(text_, s, width);
  CGFloat y = rect.minY() + std::max(0.0, (rect.height() - size.height) / 2);
  os::graphics::drawText(*ctx, text_, s, {rect.minX(), y, width, size.height});
}

// --- UIImageView -----------------------------------------------------------

UIImageView::UIImageView(std::shared_ptr<UIImage> image) : UIView(CGRect{{0, 0}, image ? image->size() : CGSize{}}) {
  setUserInteractionEnabled(false);
  setImage(std::move(image));
}

UIImageView::UIImageView(const CGRect& frame) : UIView(frame) { setUserInteractionEnabled(false); }

void UIImageView::setImage(std::shared_ptr<UIImage> image) {
  // The same image again changes nothing; invalidating would make a superview
  // that sets its image views in layoutSubviews lay out forever.
  if (image == image_) return;
  image_ = std::move(image);
  updateContents();
  invalidateIntrinsicContentSize();
}

void UIImageView::setHighlightedImage(std::shared_ptr<UIImage> image) {
  highlightedImage_ = std::move(image);
  updateContents();
}

void UIImageView::setHighlighted(bool on) {
  highlighted_ = on;
  updateContents();
}

void UIImageView::setContentMode(UIViewContentMode mode) {
  UIView::setContentMode(mode);
  updateContents();
}

void UIImageView::updateContents() {
  auto shown = highlighted_ && highlightedImage_ ? highlightedImage_ : image_;
  if (!shown || !shown->cgImage()) {
    layer()->setContents(nullptr);
    return;
  }
  auto cg = shown->cgImage();
  if (shown->renderingMode() == UIImageRenderingMode::AlwaysTemplate) {
    // Template images take the tint colour through their alpha.
    CGColor tint = tintColor().cgColor();
    auto tinted = std::make_shared<CGImage>(cg->width(), cg->height(), false);
    for (int y = 0; y < cg->height(); ++y) {
      auto* dst = reinterpret_cast<uint32_t*>(tinted->mutablePixels() + size_t(y) * tinted->stride());
      for (int x = 0; x < cg->width(); ++x) {
        double a = cg->pixel(x, y).a / 255.0 * tint.alpha;
        auto c = [a](double v) { return static_cast<uint32_t>(std::lround(v * a * 255)); };
        dst[x] = (c(1) << 24) | (c(tint.red) << 16) | (c(tint.green) << 8) | c(tint.blue);
      }
    }
    cg = tinted;
  }
  layer()->setContents(cg);
  layer()->setContentsScale(shown->scale());
  switch (contentMode()) {
    case UIViewContentMode::ScaleAspectFit: layer()->setContentsGravity(kCAGravityResizeAspect); break;
    case UIViewContentMode::ScaleAspectFill: layer()->setContentsGravity(kCAGravityResizeAspectFill); break;
    case UIViewContentMode::Center: layer()->setContentsGravity(kCAGravityCenter); break;
    default: layer()->setContentsGravity(kCAGravityResize); break;
  }
}

CGSize UIImageView::intrinsicContentSize() const {
  return image_ ? image_->size() : CGSize{UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric};
}

CGSize UIImageView::sizeThatFits(CGSize) const { return image_ ? image_->size() : CGSize{}; }

// --- UIButton --------------------------------------------------------------

UIButton::UIButton(UIButtonType type) : type_(type) { ensureParts(); }
UIButton::UIButton(const CGRect& frame) : UIControl(frame), type_(UIButtonType::Custom) { ensureParts(); }

void UIButton::ensureParts() {
  titleLabel_ = std::make_shared<UILabel>();
  titleLabel_->setFont(UIFont::systemFont(15));
  titleLabel_->setTextAlignment(NSTextAlignment::Center);
  imageView_ = std::make_shared<UIImageView>();
  imageView_->setContentMode(UIViewContentMode::Center);
  backgroundView_ = std::make_shared<UIImageView>();
}

template <class T>
std::optional<T> UIButton::lookup(const std::map<unsigned, T>& m, unsigned state) {
  if (auto it = m.find(state); it != m.end()) return it->second;
  // Most specific single state first, then normal.
  for (unsigned s : {UIControlState::Disabled, UIControlState::Highlighted, UIControlState::Selected})
    if (state & s)
      if (auto it = m.find(s); it != m.end()) return it->second;
  if (auto it = m.find(UIControlState::Normal); it != m.end()) return it->second;
  return std::nullopt;
}

void UIButton::setTitle(std::optional<std::string> title, unsigned state) {
  if (title) titles_[state] = *title; else titles_.erase(state);
  stateDidChange();
}
std::optional<std::string> UIButton::titleForState(unsigned state) const { return lookup(titles_, state); }
void UIButton::setTitleColor(std::optional<UIColor> color, unsigned state) {
  if (color) titleColors_.insert_or_assign(state, *color); else titleColors_.erase(state);
  stateDidChange();
}
std::optional<UIColor> UIButton::titleColorForState(unsigned state) const {
  if (auto c = lookup(titleColors_, state)) return c;
  if (type_ == UIButtonType::System) return (state & UIControlState::Disabled) ? UIColor::systemGrayColor() : tintColor();
  return UIColor::whiteColor();
}
void UIButton::setImage(std::shared_ptr<UIImage> image, unsigned state) {
  if (image) images_[state] = std::move(image); else images_.erase(state);
  stateDidChange();
  invalidateIntrinsicContentSize();
}
std::shared_ptr<UIImage> UIButton::imageForState(unsigned state) const { return lookup(images_, state).value_or(nullptr); }
void UIButton::setBackgroundImage(std::shared_ptr<UIImage> image, unsigned state) {
  if (image) backgroundImages_[state] = std::move(image); else backgroundImages_.erase(state);
  stateDidChange();
}
std::shared_ptr<UIImage> UIButton::backgroundImageForState(unsigned state) const {
  return lookup(backgroundImages_, state).value_or(nullptr);
}

void UIButton::stateDidChange() {
  setNeedsLayout();
  applyState();
}

// Shows the current state's title and images. Only what changed is set: a
// change marks the button for layout again, and layout applies the state, so
// setting unchanged values would relayout without end.
void UIButton::applyState() {
  // The current title is shown at once, as the platform's label is.
  std::string title = currentTitle().value_or("");
  if (titleLabel_->text() != title || titleLabel_->attributedText()) titleLabel_->setText(title);
  if (auto c = titleColorForState(state()); c && !(titleLabel_->textColor() == *c)) titleLabel_->setTextColor(*c);
  if (auto image = currentImage(); imageView_->image() != image) imageView_->setImage(image);
  if (auto image = backgroundImageForState(state()); backgroundView_->image() != image) backgroundView_->setImage(image);
}

void UIButton::layoutSubviews() {
  UIControl::layoutSubviews();
  applyState();
  for (UIView* v : {static_cast<UIView*>(backgroundView_.get()), static_cast<UIView*>(imageView_.get()), static_cast<UIView*>(titleLabel_.get())})
    if (v->superview().get() != this) addSubview(v->shared_from_this());
  CGRect content = UIEdgeInsetsInsetRect(bounds(), contentInsets_);
  backgroundView_->setFrame(bounds());
  backgroundView_->setHidden(!backgroundView_->image());
  CGSize img = imageView_->image() ? imageView_->image()->size() : CGSize{};
  bool hasTitle = !titleLabel_->text().empty();
  CGSize text = hasTitle ? titleLabel_->sizeThatFits({content.width(), 0}) : CGSize{};
  text.width = std::min(text.width, std::max(0.0, content.width() - img.width));
  CGFloat total = img.width + text.width;
  CGFloat x = content.midX() - total / 2;
  imageView_->setFrame({x, content.midY() - img.height / 2, img.width, img.height});
  imageView_->setHidden(!imageView_->image());
  titleLabel_->setFrame({x + img.width, content.midY() - text.height / 2, text.width, text.height});
  titleLabel_->setHidden(!hasTitle);
}

CGSize UIButton::sizeThatFits(CGSize) const {
  CGSize img = currentImage() ? currentImage()->size() : CGSize{};
  auto title = currentTitle();
  CGSize text = title && !title->empty() ? titleLabel_->sizeThatFits({0, 0}) : CGSize{};
  if (title && titleLabel_->text() != *title) {
    UILabel probe;
    probe.setFont(titleLabel_->font());
    probe.setText(*title);
    text = probe.sizeThatFits({0, 0});
  }
  return {img.width + text.width + contentInsets_.left + contentInsets_.right,
          std::max(img.height, text.height) + contentInsets_.top + contentInsets_.bottom};
}

// --- UISwitch --------------------------------------------------------------

UISwitch::UISwitch(const CGRect& frame) : UIControl(CGRect{frame.origin, {51, 31}}) {}

void UISwitch::setOn(bool on, bool) {
  on_ = on;
  setNeedsDisplay();
}

void UISwitch::endTrackingWithTouch(const UITouch* touch, const UIEvent&) {
  if (!touch || !bounds().contains(touch->locationInView(this))) return;
  setOn(!on_, true);
  sendActionsForControlEvents(UIControlEvents::ValueChanged);
}

void UISwitch::draw(const CGRect& rect) {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx) return;
  CGFloat r = rect.height() / 2;
  CGColor track = on_ ? onTint_.value_or(UIColor::systemGreenColor()).cgColor() : CGColor::gray(0.9);
  ctx->setFillColor(track);
  ctx->beginPath();
  ctx->addPath(CGPath::roundedRect(rect, r, r));
  ctx->fillPath();
  CGFloat knob = rect.height() - 4;
  CGFloat x = on_ ? rect.maxX() - 2 - knob : rect.minX() + 2;
  ctx->setFillColor(CGColor::white());
  ctx->beginPath();
  ctx->addPath(CGPath::ellipse({x, rect.minY() + 2, knob, knob}));
  ctx->fillPath();
}

// --- UISlider --------------------------------------------------------------

UISlider::UISlider(const CGRect& frame) : UIControl(frame) {
  minTrackView_ = std::make_shared<UIImageView>();
  maxTrackView_ = std::make_shared<UIImageView>();
  thumbView_ = std::make_shared<UIImageView>();
}

void UISlider::setValue(float value, bool animated) {
  if (std::isnan(value)) return;
  value_ = std::clamp(value, minimum_, std::max(minimum_, maximum_));
  setNeedsLayout();
  if (animated && window()) UIView::animate(0.3, [this] { layoutIfNeeded(); });
}

void UISlider::setMinimumValue(float v) {
  if (std::isnan(v)) return;
  minimum_ = v;
  if (maximum_ < minimum_) maximum_ = minimum_;
  setValue(value_);
}

void UISlider::setMaximumValue(float v) {
  if (std::isnan(v)) return;
  maximum_ = v;
  if (minimum_ > maximum_) minimum_ = maximum_;
  setValue(value_);
}

namespace {
std::shared_ptr<UIImage> stateImage(const std::map<unsigned, std::shared_ptr<UIImage>>& m, unsigned state) {
  if (auto it = m.find(state); it != m.end()) return it->second;
  if (auto it = m.find(UIControlState::Normal); it != m.end()) return it->second;
  return nullptr;
}
void putImage(std::map<unsigned, std::shared_ptr<UIImage>>& m, std::shared_ptr<UIImage> image, unsigned state) {
  if (image) m[state] = std::move(image); else m.erase(state);
}
}  // namespace

void UISlider::setThumbImage(std::shared_ptr<UIImage> image, unsigned state) { putImage(thumbImages_, std::move(image), state); setNeedsLayout(); }
std::shared_ptr<UIImage> UISlider::thumbImageForState(unsigned state) const { return stateImage(thumbImages_, state); }
void UISlider::setMinimumTrackImage(std::shared_ptr<UIImage> image, unsigned state) { putImage(minTrackImages_, std::move(image), state); setNeedsLayout(); }
std::shared_ptr<UIImage> UISlider::minimumTrackImageForState(unsigned state) const { return stateImage(minTrackImages_, state); }
void UISlider::setMaximumTrackImage(std::shared_ptr<UIImage> image, unsigned state) { putImage(maxTrackImages_, std::move(image), state); setNeedsLayout(); }
std::shared_ptr<UIImage> UISlider::maximumTrackImageForState(unsigned state) const { return stateImage(maxTrackImages_, state); }

CGRect UISlider::trackRectForBounds(const CGRect& b) const {
  return {b.minX() + 2, b.midY() - 2, std::max(0.0, b.width() - 4), 4};
}

CGRect UISlider::thumbRectForBounds(const CGRect&, const CGRect& track, float value) const {
  CGSize thumb = currentThumbImage() ? currentThumbImage()->size() : CGSize{28, 28};
  float span = maximum_ - minimum_;
  double f = span > 0 ? std::clamp((value - minimum_) / span, 0.0f, 1.0f) : 0.0;
  return {track.minX() - 2 + (track.width() + 4 - thumb.width) * f, track.midY() - thumb.height / 2, thumb.width, thumb.height};
}

CGSize UISlider::sizeThatFits(CGSize size) const { return {size.width > 0 ? size.width : 100, 31}; }

void UISlider::layoutSubviews() {
  UIControl::layoutSubviews();
  for (auto* v : {maxTrackView_.get(), minTrackView_.get(), thumbView_.get()})
    if (v->superview().get() != this) addSubview(v->shared_from_this());
  CGRect track = trackRectForBounds(bounds());
  CGRect thumb = thumbRectForBounds(bounds(), track, value_);
  auto minImage = minimumTrackImageForState(state()), maxImage = maximumTrackImageForState(state());
  CGFloat split = std::clamp(thumb.midX(), track.minX(), track.maxX());
  // Track images are shown whole under their part of the track.
  minTrackView_->setImage(minImage);
  maxTrackView_->setImage(maxImage);
  minTrackView_->setClipsToBounds(true);
  maxTrackView_->setClipsToBounds(true);
  minTrackView_->setContentMode(UIViewContentMode::Left);
  minTrackView_->setFrame({track.minX(), track.minY(), split - track.minX(), track.height()});
  maxTrackView_->setFrame({split, track.minY(), track.maxX() - split, track.height()});
  if (minImage) minTrackView_->layer()->setContentsGravity(kCAGravityResize);
  minTrackView_->setBackgroundColor(minImage ? std::nullopt : std::optional(minTint_.value_or(tintColor())));
  maxTrackView_->setBackgroundColor(maxImage ? std::nullopt : std::optional(maxTint_.value_or(UIColor::fromWhite(0.85))));
  if (minImage && maxImage && minImage == maxImage) {
    // One image for both: the whole track shows it, uncut.
    minTrackView_->setFrame(track);
    maxTrackView_->setHidden(true);
  } else {
    maxTrackView_->setHidden(false);
  }
  auto thumbImage = currentThumbImage();
  thumbView_->setImage(thumbImage);
  thumbView_->setFrame(thumb);
  thumbView_->setBackgroundColor(thumbImage ? std::nullopt : std::optional(thumbTint_.value_or(UIColor::whiteColor())));
  thumbView_->layer()->setCornerRadius(thumbImage ? 0 : thumb.height() / 2);
  thumbView_->layer()->setBorderWidth(thumbImage ? 0 : 0.5);
  thumbView_->layer()->setBorderColor(CGColor::gray(0, 0.15));
}

void UISlider::trackTo(const UITouch& touch) {
  CGRect track = trackRectForBounds(bounds());
  CGPoint p = touch.locationInView(this);
  double f = track.width() > 0 ? std::clamp((p.x - track.minX()) / track.width(), 0.0, 1.0) : 0;
  float old = value_;
  setValue(static_cast<float>(minimum_ + f * (maximum_ - minimum_)));
  layoutIfNeeded();
  if (continuous_ && value_ != old) sendActionsForControlEvents(UIControlEvents::ValueChanged);
}

bool UISlider::beginTrackingWithTouch(const UITouch& touch, const UIEvent&) {
  trackTo(touch);
  return true;
}

bool UISlider::continueTrackingWithTouch(const UITouch& touch, const UIEvent&) {
  trackTo(touch);
  return true;
}

void UISlider::endTrackingWithTouch(const UITouch* touch, const UIEvent&) {
  if (touch) trackTo(*touch);
  if (!continuous_) sendActionsForControlEvents(UIControlEvents::ValueChanged);
}

// --- UIScrollView ----------------------------------------------------------

UIScrollView::UIScrollView(const CGRect& frame) : UIView(frame) { setClipsToBounds(true); }

UIScrollView::~UIScrollView() {
  if (frameCallback_) os::uikit::removeFrameCallback(frameCallback_);
}

void UIScrollView::setContentSize(CGSize s) {
  if (!std::isfinite(s.width) || !std::isfinite(s.height)) return;
  contentSize_ = s;
}

CGPoint UIScrollView::minimumContentOffset() const { return {-contentInset_.left, -contentInset_.top}; }

CGPoint UIScrollView::maximumContentOffset() const {
  CGPoint lo = minimumContentOffset();
  return {std::max(lo.x, contentSize_.width + contentInset_.right - bounds().width()),
          std::max(lo.y, contentSize_.height + contentInset_.bottom - bounds().height())};
}

CGPoint UIScrollView::clamped(CGPoint p) const {
  CGPoint lo = minimumContentOffset(), hi = maximumContentOffset();
  return {std::clamp(p.x, lo.x, hi.x), std::clamp(p.y, lo.y, hi.y)};
}

void UIScrollView::moveTo(CGPoint offset) {
  if (!std::isfinite(offset.x) || !std::isfinite(offset.y)) return;
  CGRect b = bounds();
  if (b.origin == offset) return;
  b.origin = offset;
  setBounds(b);
  // As on the platform, a scroll view lays out again as it scrolls (tables
  // bring rows into view there).
  setNeedsLayout();
  if (auto d = delegate_.lock()) d->scrollViewDidScroll(*this);
}

void UIScrollView::stopMotion() {
  if (frameCallback_) os::uikit::removeFrameCallback(frameCallback_);
  frameCallback_ = 0;
}

void UIScrollView::startMotion(std::function<bool(double)> step) {
  stopMotion();
  std::weak_ptr<UIView> weak = weak_from_this();
  frameCallback_ = os::uikit::addFrameCallback([weak, step = std::move(step)](double now) {
    auto self = std::static_pointer_cast<UIScrollView>(weak.lock());
    if (self && !step(now)) self->stopMotion();
  });
}

void UIScrollView::setContentOffset(CGPoint offset, bool animated) {
  if (!std::isfinite(offset.x) || !std::isfinite(offset.y)) return;
  decelerating_ = false;
  if (!animated) {
    stopMotion();
    moveTo(offset);
    return;
  }
  CGPoint from = contentOffset();
  double start = CACurrentMediaTime();
  auto ease = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut);
  startMotion([this, from, offset, start, ease](double now) {
    double t = std::clamp((now - start) / kAnimationDuration, 0.0, 1.0);
    double p = ease->evaluate(t);
    moveTo(t >= 1 ? offset : CGPoint{from.x + (offset.x - from.x) * p, from.y + (offset.y - from.y) * p});
    if (t < 1) return true;
    if (auto d = delegate_.lock()) d->scrollViewDidEndScrollingAnimation(*this);
    return false;
  });
}

void UIScrollView::touchesBegan(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent&) {
  if (!scrollEnabled_ || touches.empty()) return;
  stopMotion();
  if (decelerating_) {
    decelerating_ = false;
    if (auto d = delegate_.lock()) d->scrollViewDidEndDecelerating(*this);
  }
  tracking_ = true;
  lastTouch_ = touches[0]->locationInView(nullptr);
  lastTouchTime_ = touches[0]->timestamp();
  velocity_ = {};
}

void UIScrollView::touchesMoved(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent&) {
  if (!tracking_ || touches.empty()) return;
  CGPoint p = touches[0]->locationInView(nullptr);
  CGPoint delta{p.x - lastTouch_.x, p.y - lastTouch_.y};
  if (!dragging_) {
    dragging_ = true;
    if (auto d = delegate_.lock()) d->scrollViewWillBeginDragging(*this);
  }
  double dt = touches[0]->timestamp() - lastTouchTime_;
  if (dt > 0) velocity_ = {-delta.x / dt, -delta.y / dt};
  lastTouch_ = p;
  lastTouchTime_ = touches[0]->timestamp();
  CGPoint target{contentOffset().x - delta.x, contentOffset().y - delta.y};
  CGPoint lo = minimumContentOffset(), hi = maximumContentOffset();
  if (contentSize_.width <= bounds().width()) target.x = contentOffset().x;
  if (contentSize_.height <= bounds().height()) target.y = contentOffset().y;
  moveTo(bounces_ ? target : CGPoint{std::clamp(target.x, lo.x, hi.x), std::clamp(target.y, lo.y, hi.y)});
}

void UIScrollView::touchesEnded(const std::vector<std::shared_ptr<UITouch>>&, const UIEvent&) {
  tracking_ = false;
  if (!dragging_) return;
  dragging_ = false;
  bool outOfBounds = clamped(contentOffset()) != contentOffset();
  bool decelerate = outOfBounds || std::hypot(velocity_.x, velocity_.y) > 50;
  // The delegate sees isDragging already false, as on the platform.
  if (auto d = delegate_.lock()) d->scrollViewDidEndDragging(*this, decelerate);
  if (!decelerate) return;
  decelerating_ = true;
  if (auto d = delegate_.lock()) d->scrollViewWillBeginDecelerating(*this);
  double last = CACurrentMediaTime();
  startMotion([this, last](double now) mutable {
    double dt = std::max(0.0, now - last);
    last = now;
    // Velocity decays by 0.998 per millisecond (the platform's normal rate).
    double decay = std::pow(0.998, dt * 1000);
    velocity_ = {velocity_.x * decay, velocity_.y * decay};
    CGPoint next{contentOffset().x + velocity_.x * dt, contentOffset().y + velocity_.y * dt};
    CGPoint c = clamped(next);
    if (c != next) {
      // Past an edge: settle on it.
      velocity_ = {c.x != next.x ? 0 : velocity_.x, c.y != next.y ? 0 : velocity_.y};
      next = c;
    }
    moveTo(next);
    if (std::hypot(velocity_.x, velocity_.y) > 5) return true;
    decelerating_ = false;
    if (auto d = delegate_.lock()) d->scrollViewDidEndDecelerating(*this);
    return false;
  });
}

void UIScrollView::touchesCancelled(const std::vector<std::shared_ptr<UITouch>>& touches, const UIEvent& event) {
  touchesEnded(touches, event);
}

// --- UIActivityIndicatorView -----------------------------------------------

UIActivityIndicatorView::UIActivityIndicatorView(UIActivityIndicatorViewStyle style) : style_(style) {
  CGSize s = sizeThatFits({});
  setFrame({{0, 0}, s});
  setHidden(true);
  setUserInteractionEnabled(false);
}

CGSize UIActivityIndicatorView::sizeThatFits(CGSize) const {
  return style_ == UIActivityIndicatorViewStyle::Large ? CGSize{37, 37} : CGSize{20, 20};
}

void UIActivityIndicatorView::startAnimating() {
  if (animating_) return;
  animating_ = true;
  setHidden(false);
  auto spin = CABasicAnimation::animationWithKeyPath("transform.rotation");
  spin->setFromValue(0.0);
  spin->setToValue(2 * M_PI);
  spin->setDuration(1);
  spin->setRepeatCount(INFINITY);
  layer()->addAnimation(spin, "spin");
}

void UIActivityIndicatorView::stopAnimating() {
  if (!animating_) return;
  animating_ = false;
  layer()->removeAnimationForKey("spin");
  if (hidesWhenStopped_) setHidden(true);
}

void UIActivityIndicatorView::setHidesWhenStopped(bool on) {
  hidesWhenStopped_ = on;
  if (!animating_) setHidden(on);
}

void UIActivityIndicatorView::draw(const CGRect& rect) {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx) return;
  CGColor c = color_.value_or(UIColor::systemGrayColor()).cgColor();
  CGPoint mid = rect.mid();
  CGFloat r = std::min(rect.width(), rect.height()) / 2;
  ctx->saveGState();
  ctx->setLineWidth(r * 0.2);
  ctx->setLineCap(CGLineCap::Round);
  for (int i = 0; i < 8; ++i) {
    double a = i * M_PI / 4;
    ctx->setStrokeColor(c.withAlpha(c.alpha * (0.25 + 0.75 * i / 7.0)));
    CGPath spoke;
    spoke.moveTo({mid.x + std::cos(a) * r * 0.45, mid.y + std::sin(a) * r * 0.45});
    spoke.addLineTo({mid.x + std::cos(a) * r * 0.9, mid.y + std::sin(a) * r * 0.9});
    ctx->beginPath();
    ctx->addPath(spoke);
    ctx->strokePath();
  }
  ctx->restoreGState();
}

// --- UIVisualEffectView ----------------------------------------------------

UIVisualEffectView::UIVisualEffectView(std::optional<UIBlurEffect> effect) : effect_(effect) { applyEffect(); }

void UIVisualEffectView::setEffect(std::optional<UIBlurEffect> e) {
  effect_ = e;
  applyEffect();
}

const std::shared_ptr<UIView>& UIVisualEffectView::contentView() {
  if (!contentView_) {
    contentView_ = std::make_shared<UIView>(bounds());
    addSubview(contentView_);
  }
  return contentView_;
}

void UIVisualEffectView::layoutSubviews() {
  UIView::layoutSubviews();
  if (contentView_) contentView_->setFrame(bounds());
}

void UIVisualEffectView::applyEffect() {
  if (!effect_) {
    setBackgroundColor(std::nullopt);
    return;
  }
  bool dark = traitCollection().userInterfaceStyle == UIUserInterfaceStyle::Dark;
  CGColor tint;
  switch (effect_->style) {
    case UIBlurEffectStyle::ExtraLight: tint = CGColor::gray(0.97, 0.82); break;
    case UIBlurEffectStyle::Light: tint = CGColor::gray(0.97, 0.7); break;
    case UIBlurEffectStyle::Dark: tint = CGColor::gray(0.11, 0.73); break;
    default: tint = dark ? CGColor::gray(0.15, 0.9) : CGColor::gray(0.94, 0.9); break;
  }
  setBackgroundColor(UIColor(tint));
}

// --- UIBezierPath ----------------------------------------------------------

std::shared_ptr<UIBezierPath> UIBezierPath::withRect(const CGRect& r) { return std::make_shared<UIBezierPath>(CGPath::rect(r)); }
std::shared_ptr<UIBezierPath> UIBezierPath::withOvalInRect(const CGRect& r) { return std::make_shared<UIBezierPath>(CGPath::ellipse(r)); }
std::shared_ptr<UIBezierPath> UIBezierPath::withRoundedRect(const CGRect& r, CGFloat radius) {
  return std::make_shared<UIBezierPath>(CGPath::roundedRect(r, radius, radius));
}
std::shared_ptr<UIBezierPath> UIBezierPath::withArcCenter(CGPoint c, CGFloat radius, CGFloat start, CGFloat end, bool clockwise) {
  auto p = std::make_shared<UIBezierPath>();
  p->path_.addArc(c, radius, start, end, clockwise);
  return p;
}

void UIBezierPath::fill() const {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx) return;
  ctx->beginPath();
  ctx->addPath(path_);
  ctx->fillPath(usesEvenOddFillRule ? CGPathFillRule::EvenOdd : CGPathFillRule::Winding);
}

void UIBezierPath::stroke() const {
  CGContext* ctx = UIGraphicsGetCurrentContext();
  if (!ctx) return;
  ctx->saveGState();
  ctx->setLineWidth(lineWidth);
  ctx->setLineCap(lineCapStyle);
  ctx->setLineJoin(lineJoinStyle);
  ctx->beginPath();
  ctx->addPath(path_);
  ctx->strokePath();
  ctx->restoreGState();
}

void UIColorSetFill(const UIColor& color) {
  if (CGContext* ctx = UIGraphicsGetCurrentContext()) ctx->setFillColor(color.cgColor());
}

void UIColorSetStroke(const UIColor& color) {
  if (CGContext* ctx = UIGraphicsGetCurrentContext()) ctx->setStrokeColor(color.cgColor());
}
