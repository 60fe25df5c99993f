// RepeatStepper: a control around two caller-supplied buttons that decrease
// and increase a value between a minimum and a maximum. Every step is rounded
// as a decimal number (banker's rounding to two places by default), may wrap
// at the ends, and repeats while a button is held down.
//
// States: idle, and repeating while `longPressTimer` runs. A recognised long
// press starts repeating; release, cancellation, failure, or a step that would
// pass a bound ends it. Changes are reported through the value-changed
// control event, a weakly held delegate and optional callbacks.
//
// Main thread only: control events, gesture recognisers and the repeat timer
// all run on the main run loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "os/dispatch/run_loop.h"
#include "os/uikit/uikit.h"

// NSRoundingMode.
enum class RoundingMode : uint8_t { plain = 0, down = 1, up = 2, bankers = 3 };

// The decimal rounding of each stepped value (NSDecimalNumberHandler).
struct RoundingBehavior {
  RoundingMode roundingMode = RoundingMode::bankers;
  int16_t scale = 2;
  bool raiseOnExactness = false;
  bool raiseOnOverflow = false;
  bool raiseOnUnderflow = false;
  bool raiseOnDivideByZero = true;

  // `value` taken as the decimal number that prints as its shortest form,
  // rounded to `scale` digits after the point, and back to the nearest
  // double. Non-finite values are answered unchanged.
  double round(double value) const;
};

// Every operation optional.
class RepeatStepperDelegate {
 public:
  virtual ~RepeatStepperDelegate() = default;
  virtual void RepeatStepperDidDecrement() {}
  virtual void RepeatStepperDidIncrement() {}
  virtual void RepeatStepperMaxValueClamped() {}
  virtual void RepeatStepperMinValueClamped() {}
  virtual void RepeatStepperDidEndLongPress() {}
};

class RepeatStepper : public UIControl {
 public:
  using Callback = std::function<void(RepeatStepper&)>;
  struct Key {
   private:
    friend class RepeatStepper;
    Key() = default;
  };

  // init(decrementButton:incrementButton:): wires touch-up-inside of each
  // button to its step and a long-press recogniser on each to didLongPress.
  static std::shared_ptr<RepeatStepper> make(std::shared_ptr<UIButton> decrementButton,
                                             std::shared_ptr<UIButton> incrementButton);
  RepeatStepper(Key, std::shared_ptr<UIButton> decrementButton, std::shared_ptr<UIButton> incrementButton);
  ~RepeatStepper() override;

  // Properties. Writing `value` runs the value rule (clamp, event, callback
  // when it differs from the previous value).
  bool autoRepeat() const { return autoRepeat_; }
  void setAutoRepeat(bool on);
  double autoRepeatInterval() const { return autoRepeatInterval_; }
  // 0 or less stores 0.1 and switches auto-repeat off.
  void setAutoRepeatInterval(double seconds);
  bool wraps() const { return wraps_; }
  void setWraps(bool on) { wraps_ = on; }
  double minimumValue() const { return minimumValue_; }
  void setMinimumValue(double v) { minimumValue_ = v; }
  double maximumValue() const { return maximumValue_; }
  void setMaximumValue(double v) { maximumValue_ = v; }
  double decrementStepValue() const { return decrementStepValue_; }
  void setDecrementStepValue(double v) { decrementStepValue_ = v; }
  double incrementStepValue() const { return incrementStepValue_; }
  void setIncrementStepValue(double v) { incrementStepValue_ = v; }
  const RoundingBehavior& roundingBehavior() const { return roundingBehavior_; }
  void setRoundingBehavior(const RoundingBehavior& b) { roundingBehavior_ = b; }
  std::shared_ptr<RepeatStepperDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<RepeatStepperDelegate> d) { delegate_ = std::move(d); }
  double value() const { return value_; }
  void setValue(double v);
  const Callback& valueChangedCallback() const { return valueChangedCallback_; }
  void setValueChangedCallback(Callback c) { valueChangedCallback_ = std::move(c); }
  const Callback& decrementCallback() const { return decrementCallback_; }
  void setDecrementCallback(Callback c) { decrementCallback_ = std::move(c); }
  const Callback& incrementCallback() const { return incrementCallback_; }
  void setIncrementCallback(Callback c) { incrementCallback_ = std::move(c); }
  const Callback& maxValueClampedCallback() const { return maxValueClampedCallback_; }
  void setMaxValueClampedCallback(Callback c) { maxValueClampedCallback_ = std::move(c); }
  const Callback& minValueClampedCallback() const { return minValueClampedCallback_; }
  void setMinValueClampedCallback(Callback c) { minValueClampedCallback_ = std::move(c); }
  const Callback& longPressEndedCallback() const { return longPressEndedCallback_; }
  void setLongPressEndedCallback(Callback c) { longPressEndedCallback_ = std::move(c); }
  const std::shared_ptr<UIButton>& decrementButton() const { return decrementButton_; }
  const std::shared_ptr<UIButton>& incrementButton() const { return incrementButton_; }

  // Chainable configuration: each sets as the property does and answers the stepper.
  RepeatStepper& autoRepeat(bool on) { setAutoRepeat(on); return *this; }
  RepeatStepper& autoRepeatInterval(double s) { setAutoRepeatInterval(s); return *this; }
  RepeatStepper& wraps(bool on) { setWraps(on); return *this; }
  RepeatStepper& minimumValue(double v) { setMinimumValue(v); return *this; }
  RepeatStepper& maximumValue(double v) { setMaximumValue(v); return *this; }
  RepeatStepper& decrementStepValue(double v) { setDecrementStepValue(v); return *this; }
  RepeatStepper& incrementStepValue(double v) { setIncrementStepValue(v); return *this; }
  // Both step values.
  RepeatStepper& stepValue(double v) { setDecrementStepValue(v); setIncrementStepValue(v); return *this; }
  RepeatStepper& roundingBehavior(const RoundingBehavior& b) { setRoundingBehavior(b); return *this; }
  RepeatStepper& delegate(std::weak_ptr<RepeatStepperDelegate> d) { setDelegate(std::move(d)); return *this; }
  RepeatStepper& value(double v) { setValue(v); return *this; }
  RepeatStepper& valueChangedCallback(Callback c) { setValueChangedCallback(std::move(c)); return *this; }
  RepeatStepper& decrementCallback(Callback c) { setDecrementCallback(std::move(c)); return *this; }
  RepeatStepper& incrementCallback(Callback c) { setIncrementCallback(std::move(c)); return *this; }
  RepeatStepper& maxValueClampedCallback(Callback c) { setMaxValueClampedCallback(std::move(c)); return *this; }
  RepeatStepper& minValueClampedCallback(Callback c) { setMinValueClampedCallback(std::move(c)); return *this; }
  // Both clamped callbacks.
  RepeatStepper& valueClampedCallback(const Callback& c) {
    setMaxValueClampedCallback(c);
    setMinValueClampedCallback(c);
    return *this;
  }
  RepeatStepper& longPressEndedCallback(Callback c) { setLongPressEndedCallback(std::move(c)); return *this; }

  // One step each; a step past a bound is refused (and ends a repeat run)
  // unless `wraps`, which jumps to the other end.
  RepeatStepper& decrementValue();
  RepeatStepper& incrementValue();
  // The long-press action of both buttons.
  void didLongPress(UIGestureRecognizer& recognizer);

  bool TEST_isRepeating() const { return longPressTimer_ != nullptr; }

 private:
  void wireButtons();
  void endLongPress();

  bool autoRepeat_ = true;
  double autoRepeatInterval_ = 0.1;
  bool wraps_ = false;
  double minimumValue_ = 0;
  double maximumValue_ = 100;
  double decrementStepValue_ = 1;
  double incrementStepValue_ = 1;
  RoundingBehavior roundingBehavior_;
  std::weak_ptr<RepeatStepperDelegate> delegate_;
  double value_ = 0;
  Callback valueChangedCallback_;
  Callback decrementCallback_;
  Callback incrementCallback_;
  Callback maxValueClampedCallback_;
  Callback minValueClampedCallback_;
  Callback longPressEndedCallback_;
  std::shared_ptr<os::Timer> longPressTimer_;
  std::shared_ptr<UIButton> decrementButton_;
  std::shared_ptr<UIButton> incrementButton_;
};
