// Gesture recognizers fed by the window's synthetic touches. A recognizer
// attached to a view sees the touches that begin in that view or below it,
// before the touched view does; when it recognizes (and cancelsTouchesInView)
// the view's touches are cancelled. Actions run on the main thread at each
// change to began, changed, ended (recognized) and cancelled.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "os/uikit/view.h"

enum class UIGestureRecognizerState { Possible = 0, Began = 1, Changed = 2, Ended = 3, Cancelled = 4, Failed = 5 };
inline constexpr UIGestureRecognizerState UIGestureRecognizerStateRecognized = UIGestureRecognizerState::Ended;

class UIGestureRecognizerDelegate {
 public:
  virtual ~UIGestureRecognizerDelegate() = default;
  virtual bool gestureRecognizerShouldBegin(UIGestureRecognizer&) { return true; }
  virtual bool gestureRecognizerShouldReceiveTouch(UIGestureRecognizer&, const UITouch&) { return true; }
};

class UIGestureRecognizer : public std::enable_shared_from_this<UIGestureRecognizer> {
 public:
  using Action = std::function<void(UIGestureRecognizer&)>;
  explicit UIGestureRecognizer(Action action = {});
  virtual ~UIGestureRecognizer() = default;

  void addTarget(Action action);
  void removeAllTargets() { actions_.clear(); }
  UIGestureRecognizerState state() const { return state_; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool on);
  std::shared_ptr<UIView> view() const { return view_.lock(); }
  std::weak_ptr<UIGestureRecognizerDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<UIGestureRecognizerDelegate> d) { delegate_ = std::move(d); }
  bool cancelsTouchesInView() const { return cancelsTouchesInView_; }
  void setCancelsTouchesInView(bool on) { cancelsTouchesInView_ = on; }
  CGPoint locationInView(const UIView* view) const;
  int numberOfTouches() const { return touch_ ? 1 : 0; }

  // Called by the window.
  virtual void touchesBegan(const std::shared_ptr<UITouch>& touch);
  virtual void touchesMoved(const std::shared_ptr<UITouch>& touch);
  virtual void touchesEnded(const std::shared_ptr<UITouch>& touch);
  virtual void touchesCancelled(const std::shared_ptr<UITouch>& touch);
  // Back to possible when a touch sequence is over.
  virtual void reset();
  // True while it waits for more (a second tap) across touch sequences.
  virtual bool isWaitingForMore() const { return false; }

 protected:
  // Moves to `state`; a move out of possible asks the delegate first (a no
  // gives failed). Runs the actions for began, changed, ended, cancelled.
  void setState(UIGestureRecognizerState state);
  const std::shared_ptr<UITouch>& touch() const { return touch_; }

 private:
  friend class UIView;
  std::vector<Action> actions_;
  UIGestureRecognizerState state_ = UIGestureRecognizerState::Possible;
  bool enabled_ = true;
  bool cancelsTouchesInView_ = true;
  std::weak_ptr<UIView> view_;
  std::weak_ptr<UIGestureRecognizerDelegate> delegate_;
  std::shared_ptr<UITouch> touch_;
  CGPoint lastLocation_;  // window space
};

class UITapGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  int numberOfTapsRequired() const { return tapsRequired_; }
  void setNumberOfTapsRequired(int n) { tapsRequired_ = n < 1 ? 1 : n; }
  int numberOfTouchesRequired() const { return 1; }

  void touchesBegan(const std::shared_ptr<UITouch>& touch) override;
  void touchesMoved(const std::shared_ptr<UITouch>& touch) override;
  void touchesEnded(const std::shared_ptr<UITouch>& touch) override;
  void reset() override;
  bool isWaitingForMore() const override { return taps_ > 0 && state() == UIGestureRecognizerState::Possible; }

  // Movement beyond this (points) fails the tap; taps further apart in time fail too.
  static constexpr CGFloat kAllowableMovement = 10;
  static constexpr double kMaximumTapInterval = 0.35;

 private:
  int tapsRequired_ = 1;
  int taps_ = 0;
  CGPoint start_;
  double lastTapTime_ = 0;
};

class UILongPressGestureRecognizer : public UIGestureRecognizer {
 public:
  using UIGestureRecognizer::UIGestureRecognizer;
  double minimumPressDuration() const { return minimumPressDuration_; }
  void setMinimumPressDuration(double s) { minimumPressDuration_ = s >= 0 && std::isfinite(s) ? s : 0.5; }
  CGFloat allowableMovement() const { return allowableMovement_; }
  void setAllowableMovement(CGFloat m) { allowableMovement_ = m; }

  void touchesBegan(const std::shared_ptr<UITouch>& touch) override;
  void touchesMoved(const std::shared_ptr<UITouch>& touch) override;
  void touchesEnded(const std::shared_ptr<UITouch>& touch) override;
  void touchesCancelled(const std::shared_ptr<UITouch>& touch) override;
  void reset() override;

 private:
  double minimumPressDuration_ = 0.5;
  CGFloat allowableMovement_ = 10;
  CGPoint start_;
  uint64_t generation_ = 0;
  bool down_ = false;
};
