#include "widgets/RepeatStepper/repeat_stepper.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

double RoundingBehavior::round(double value) const {
  if (!std::isfinite(value) || value == 0) return value;
  // The shortest decimal form, as d.ddddde±X: the decimal number the value stands for.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  std::string text(buf, res.ptr);
  const size_t e = text.find('e');
  std::string digits = text.substr(0, e);
  if (digits.size() > 1) digits.erase(1, 1);  // drop the point
  const int exponent = std::atoi(text.c_str() + e + 1);
  const bool negative = value < 0;

  // Digits before the point: exponent + 1; keep those and `scale` more.
  const long keep = static_cast<long>(exponent) + 1 + scale;
  if (keep >= static_cast<long>(digits.size())) return value;  // already exact at this scale
  std::string kept = keep > 0 ? digits.substr(0, static_cast<size_t>(keep)) : std::string();
  std::string rest = keep > 0 ? digits.substr(static_cast<size_t>(keep)) : digits;
  // With keep < 0 the first dropped digit lies further right than rest[0].
  const bool beyondHalf = keep < 0;
  const bool restNonZero = rest.find_first_not_of('0') != std::string::npos;

  int64_t magnitude = 0;
  for (char c : kept) magnitude = magnitude * 10 + (c - '0');
  bool up = false;
  switch (roundingMode) {
    case RoundingMode::plain: up = !beyondHalf && rest[0] >= '5'; break;
    case RoundingMode::down: up = negative && restNonZero; break;
    case RoundingMode::up: up = !negative && restNonZero; break;
    case RoundingMode::bankers:
      if (beyondHalf || rest[0] < '5') {
        up = false;
      } else if (rest[0] > '5' || rest.find_first_not_of('0', 1) != std::string::npos) {
        up = true;
      } else {
        up = magnitude % 2 != 0;  // exactly half: to the even digit
      }
      break;
  }
  if (up) ++magnitude;
  // magnitude x 10^-scale, parsed so that the nearest double is chosen.
  std::string result = (negative ? "-" : "") + std::to_string(magnitude) + "e" + std::to_string(-scale);
  double out = 0;
  std::from_chars(result.data(), result.data() + result.size(), out);
  return out;
}

RepeatStepper::RepeatStepper(Key, std::shared_ptr<UIButton> decrementButton, std::shared_ptr<UIButton> incrementButton)
    : UIControl(CGRect{}), decrementButton_(std::move(decrementButton)), incrementButton_(std::move(incrementButton)) {}

RepeatStepper::~RepeatStepper() {
  if (longPressTimer_) longPressTimer_->invalidate();
}

std::shared_ptr<RepeatStepper> RepeatStepper::make(std::shared_ptr<UIButton> decrementButton,
                                                   std::shared_ptr<UIButton> incrementButton) {
  auto stepper = std::make_shared<RepeatStepper>(Key{}, std::move(decrementButton), std::move(incrementButton));
  stepper->wireButtons();
  return stepper;
}

void RepeatStepper::wireButtons() {
  // The buttons may outlive the stepper: their actions hold it weakly.
  std::weak_ptr<RepeatStepper> weak = std::static_pointer_cast<RepeatStepper>(shared_from_this());
  auto longPress = [weak](UIGestureRecognizer& r) {
    if (auto self = weak.lock()) self->didLongPress(r);
  };
  if (decrementButton_) {
    decrementButton_->addTarget([weak](UIControl&) { if (auto self = weak.lock()) self->decrementValue(); },
                                UIControlEvents::TouchUpInside);
    decrementButton_->addGestureRecognizer(std::make_shared<UILongPressGestureRecognizer>(longPress));
  }
  if (incrementButton_) {
    incrementButton_->addTarget([weak](UIControl&) { if (auto self = weak.lock()) self->incrementValue(); },
                                UIControlEvents::TouchUpInside);
    incrementButton_->addGestureRecognizer(std::make_shared<UILongPressGestureRecognizer>(longPress));
  }
}

void RepeatStepper::setAutoRepeat(bool on) { autoRepeat_ = on && autoRepeatInterval_ > 0; }

void RepeatStepper::setAutoRepeatInterval(double seconds) {
  if (!(seconds > 0)) {
    autoRepeatInterval_ = 0.1;
    autoRepeat_ = false;
    return;
  }
  autoRepeatInterval_ = seconds;
}

void RepeatStepper::setValue(double v) {
  const double previous = value_;
  value_ = v;
  if (v == previous) return;
  if (minimumValue_ > value_) value_ = minimumValue_;
  else if (maximumValue_ < value_) value_ = maximumValue_;
  sendActionsForControlEvents(UIControlEvents::ValueChanged);
  if (valueChangedCallback_) valueChangedCallback_(*this);
}

RepeatStepper& RepeatStepper::decrementValue() {
  const double candidate = roundingBehavior_.round(value_ - decrementStepValue_);
  if (wraps_ && candidate < minimumValue_) {
    setValue(maximumValue_);
  } else if (candidate >= minimumValue_) {
    setValue(candidate);
    if (auto d = delegate()) d->RepeatStepperDidDecrement();
    if (decrementCallback_) decrementCallback_(*this);
  } else {
    endLongPress();
    if (auto d = delegate()) d->RepeatStepperMinValueClamped();
    if (minValueClampedCallback_) minValueClampedCallback_(*this);
  }
  return *this;
}

RepeatStepper& RepeatStepper::incrementValue() {
  const double candidate = roundingBehavior_.round(value_ + incrementStepValue_);
  if (wraps_ && candidate > maximumValue_) {
    setValue(minimumValue_);
  } else if (candidate <= maximumValue_) {
    setValue(candidate);
    if (auto d = delegate()) d->RepeatStepperDidIncrement();
    if (incrementCallback_) incrementCallback_(*this);
  } else {
    endLongPress();
    if (auto d = delegate()) d->RepeatStepperMaxValueClamped();
    if (maxValueClampedCallback_) maxValueClampedCallback_(*this);
  }
  return *this;
}

void RepeatStepper::didLongPress(UIGestureRecognizer& recognizer) {
  if (!autoRepeat_) return;
  switch (recognizer.state()) {
    case UIGestureRecognizerState::Began: {
      if (longPressTimer_) return;
      const bool increments = recognizer.view() && recognizer.view() == incrementButton_;
      std::weak_ptr<RepeatStepper> weak = std::static_pointer_cast<RepeatStepper>(shared_from_this());
      longPressTimer_ = os::Timer::scheduledTimer(autoRepeatInterval_, true, [weak, increments](os::Timer&) {
        auto self = weak.lock();
        if (!self) return;
        if (increments) self->incrementValue();
        else self->decrementValue();
      });
      break;
    }
    case UIGestureRecognizerState::Ended:
    case UIGestureRecognizerState::Cancelled:
    case UIGestureRecognizerState::Failed:
      endLongPress();
      break;
    default:
      break;
  }
}

void RepeatStepper::endLongPress() {
  if (!longPressTimer_) return;
  longPressTimer_->invalidate();
  longPressTimer_ = nullptr;
  if (auto d = delegate()) d->RepeatStepperDidEndLongPress();
  if (longPressEndedCallback_) longPressEndedCallback_(*this);
}
