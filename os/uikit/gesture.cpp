#include "os/uikit/gesture.h"

#include <cmath>

UIGestureRecognizer::UIGestureRecognizer(Action action) {
  if (action) actions_.push_back(std::move(action));
}

void UIGestureRecognizer::addTarget(Action action) {
  if (action) actions_.push_back(std::move(action));
}

void UIGestureRecognizer::setEnabled(bool on) {
  enabled_ = on;
  if (!on && (state_ == UIGestureRecognizerState::Began || state_ == UIGestureRecognizerState::Changed))
    setState(UIGestureRecognizerState::Cancelled);
}

CGPoint UIGestureRecognizer::locationInView(const UIView* view) const {
  auto window = view ? view->window() : nullptr;
  if (!view || !window) return lastLocation_;
  return view->convertPointFromView(lastLocation_, nullptr);
}

void UIGestureRecognizer::touchesBegan(const std::shared_ptr<UITouch>& touch) {
  touch_ = touch;
  lastLocation_ = touch->locationInView(nullptr);
}
void UIGestureRecognizer::touchesMoved(const std::shared_ptr<UITouch>& touch) { lastLocation_ = touch->locationInView(nullptr); }
void UIGestureRecognizer::touchesEnded(const std::shared_ptr<UITouch>& touch) { lastLocation_ = touch->locationInView(nullptr); }
void UIGestureRecognizer::touchesCancelled(const std::shared_ptr<UITouch>&) {
  if (state_ == UIGestureRecognizerState::Began || state_ == UIGestureRecognizerState::Changed)
    setState(UIGestureRecognizerState::Cancelled);
  else if (state_ == UIGestureRecognizerState::Possible)
    setState(UIGestureRecognizerState::Failed);
}

void UIGestureRecognizer::reset() {
  state_ = UIGestureRecognizerState::Possible;
  touch_.reset();
}

void UIGestureRecognizer::setState(UIGestureRecognizerState state) {
  if (state_ == UIGestureRecognizerState::Possible &&
      (state == UIGestureRecognizerState::Began || state == UIGestureRecognizerState::Ended)) {
    if (auto d = delegate_.lock(); d && !d->gestureRecognizerShouldBegin(*this)) state = UIGestureRecognizerState::Failed;
  }
  state_ = state;
  if (state == UIGestureRecognizerState::Possible || state == UIGestureRecognizerState::Failed) return;
  auto keep = shared_from_this();  // an action may drop the last reference
  auto actions = actions_;
  for (auto& a : actions) a(*this);
}

// --- Tap -------------------------------------------------------------------

void UITapGestureRecognizer::touchesBegan(const std::shared_ptr<UITouch>& touch) {
  UIGestureRecognizer::touchesBegan(touch);
  CGPoint p = touch->locationInView(nullptr);
  if (taps_ > 0 && (touch->timestamp() - lastTapTime_ > kMaximumTapInterval ||
                    std::hypot(p.x - start_.x, p.y - start_.y) > kAllowableMovement)) {
    taps_ = 0;
  }
  if (taps_ == 0) start_ = p;
}

void UITapGestureRecognizer::touchesMoved(const std::shared_ptr<UITouch>& touch) {
  UIGestureRecognizer::touchesMoved(touch);
  CGPoint p = touch->locationInView(nullptr);
  if (state() == UIGestureRecognizerState::Possible && std::hypot(p.x - start_.x, p.y - start_.y) > kAllowableMovement)
    setState(UIGestureRecognizerState::Failed);
}

void UITapGestureRecognizer::touchesEnded(const std::shared_ptr<UITouch>& touch) {
  UIGestureRecognizer::touchesEnded(touch);
  if (state() != UIGestureRecognizerState::Possible) return;
  ++taps_;
  lastTapTime_ = touch->timestamp();
  if (taps_ >= tapsRequired_) {
    taps_ = 0;
    setState(UIGestureRecognizerState::Ended);
  }
}

void UITapGestureRecognizer::reset() {
  if (!isWaitingForMore()) taps_ = 0;
  UIGestureRecognizer::reset();
}

// --- Long press ------------------------------------------------------------

void UILongPressGestureRecognizer::touchesBegan(const std::shared_ptr<UITouch>& touch) {
  UIGestureRecognizer::touchesBegan(touch);
  start_ = touch->locationInView(nullptr);
  down_ = true;
  uint64_t gen = ++generation_;
  std::weak_ptr<UIGestureRecognizer> weak = weak_from_this();
  os::uikit::scheduleAt(touch->timestamp() + minimumPressDuration_, [weak, gen] {
    auto self = std::static_pointer_cast<UILongPressGestureRecognizer>(weak.lock());
    if (!self || self->generation_ != gen || !self->down_ || !self->isEnabled()) return;
    if (self->state() != UIGestureRecognizerState::Possible) return;
    self->setState(UIGestureRecognizerState::Began);
    if (self->state() != UIGestureRecognizerState::Began) return;
    auto view = self->view();
    if (auto window = view ? view->window() : nullptr) window->TEST_recognizerDidRecognize(*self);
  });
}

void UILongPressGestureRecognizer::touchesMoved(const std::shared_ptr<UITouch>& touch) {
  UIGestureRecognizer::touchesMoved(touch);
  CGPoint p = touch->locationInView(nullptr);
  if (state() == UIGestureRecognizerState::Possible) {
    if (std::hypot(p.x - start_.x, p.y - start_.y) > allowableMovement_) setState(UIGestureRecognizerState::Failed);
  } else if (state() == UIGestureRecognizerState::Began || state() == UIGestureRecognizerState::Changed) {
    setState(UIGestureRecognizerState::Changed);
  }
}

void UILongPressGestureRecognizer::touchesEnded(const std::shared_ptr<UITouch>& touch) {
  UIGestureRecognizer::touchesEnded(touch);
  down_ = false;
  if (state() == UIGestureRecognizerState::Began || state() == UIGestureRecognizerState::Changed)
    setState(UIGestureRecognizerState::Ended);
  else if (state() == UIGestureRecognizerState::Possible)
    setState(UIGestureRecognizerState::Failed);
}

void UILongPressGestureRecognizer::touchesCancelled(const std::shared_ptr<UITouch>& touch) {
  down_ = false;
  UIGestureRecognizer::touchesCancelled(touch);
}

void UILongPressGestureRecognizer::reset() {
  down_ = false;
  ++generation_;
  UIGestureRecognizer::reset();
}
