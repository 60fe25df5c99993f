#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "os/dispatch/manual_clock.h"
#include "widgets/RepeatStepper/repeat_stepper.h"

namespace {

struct Recorder : RepeatStepperDelegate {
  std::vector<std::string>* log;
  explicit Recorder(std::vector<std::string>* l) : log(l) {}
  void RepeatStepperDidDecrement() override { log->push_back("didDecrement"); }
  void RepeatStepperDidIncrement() override { log->push_back("didIncrement"); }
  void RepeatStepperMaxValueClamped() override { log->push_back("maxClamped"); }
  void RepeatStepperMinValueClamped() override { log->push_back("minClamped"); }
  void RepeatStepperDidEndLongPress() override { log->push_back("didEndLongPress"); }
};

class StepperTest : public testing::Test {
 protected:
  void SetUp() override {
    dec = std::make_shared<UIButton>(CGRect{20, 100, 44, 44});
    inc = std::make_shared<UIButton>(CGRect{200, 100, 44, 44});
    stepper = RepeatStepper::make(dec, inc);
    stepper->delegate(delegate)
        .valueChangedCallback([this](RepeatStepper& s) { log.push_back("changed " + format(s.value())); })
        .incrementCallback([this](RepeatStepper&) { log.push_back("incrementCallback"); })
        .decrementCallback([this](RepeatStepper&) { log.push_back("decrementCallback"); })
        .maxValueClampedCallback([this](RepeatStepper&) { log.push_back("maxCallback"); })
        .minValueClampedCallback([this](RepeatStepper&) { log.push_back("minCallback"); })
        .longPressEndedCallback([this](RepeatStepper&) { log.push_back("endedCallback"); });
    stepper->addTarget([this](UIControl&) { ++events; }, UIControlEvents::ValueChanged);
  }
  static std::string format(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
  }
  os::ManualClockScope clock;
  std::shared_ptr<UIButton> dec, inc;
  std::shared_ptr<RepeatStepper> stepper;
  std::vector<std::string> log;
  std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>(&log);
  int events = 0;
};

using Log = std::vector<std::string>;

// A long press whose state the test sets, as the window's touches would.
class TestLongPress : public UILongPressGestureRecognizer {
 public:
  using UILongPressGestureRecognizer::UILongPressGestureRecognizer;
  void move(UIGestureRecognizerState s) { setState(s); }
};

// Holds `button` down: began now, then the stepper's own timer repeats.
std::shared_ptr<TestLongPress> press(const std::shared_ptr<RepeatStepper>& stepper, const std::shared_ptr<UIButton>& button) {
  std::weak_ptr<RepeatStepper> weak = stepper;
  auto recognizer = std::make_shared<TestLongPress>([weak](UIGestureRecognizer& r) {
    if (auto s = weak.lock()) s->didLongPress(r);
  });
  button->addGestureRecognizer(recognizer);
  recognizer->move(UIGestureRecognizerState::Began);
  return recognizer;
}

}  // namespace

TEST(RoundingBehaviorTest, RoundsTheDecimalForm) {
  struct Case {
    RoundingMode mode;
    double in, out;
  };
  const std::vector<Case> cases{
      {RoundingMode::bankers, 0.125, 0.12}, {RoundingMode::bankers, 0.135, 0.14}, {RoundingMode::bankers, 0.1251, 0.13},
      {RoundingMode::bankers, -0.125, -0.12}, {RoundingMode::bankers, 0.005, 0.0}, {RoundingMode::bankers, 1.1 + 2.2, 3.3},
      {RoundingMode::bankers, 99.999, 100}, {RoundingMode::plain, 0.125, 0.13}, {RoundingMode::plain, -0.125, -0.13},
      {RoundingMode::down, -0.121, -0.13}, {RoundingMode::down, 0.129, 0.12}, {RoundingMode::up, 0.121, 0.13},
      {RoundingMode::up, 0.0001, 0.01}, {RoundingMode::bankers, 1e20, 1e20}, {RoundingMode::bankers, 0, 0},
  };
  for (const auto& c : cases) {
    RoundingBehavior b;
    b.roundingMode = c.mode;
    EXPECT_EQ(b.round(c.in), c.out) << c.in << " mode " << static_cast<int>(c.mode);
  }
  EXPECT_TRUE(std::isnan(RoundingBehavior().round(NAN)));
}

TEST_F(StepperTest, StepsClampAndWrap) {
  EXPECT_EQ(stepper->value(), 0);
  EXPECT_EQ(stepper->maximumValue(), 100);
  EXPECT_TRUE(stepper->autoRepeat());
  EXPECT_EQ(stepper->autoRepeatInterval(), 0.1);

  stepper->decrementValue();  // at the minimum: refused, no event
  EXPECT_EQ(log, (Log{"minClamped", "minCallback"}));
  EXPECT_EQ(events, 0);

  log.clear();
  stepper->incrementStepValue(0.125).incrementValue();
  EXPECT_EQ(stepper->value(), 0.12);  // the half goes to the even digit
  EXPECT_EQ(log, (Log{"changed 0.12", "didIncrement", "incrementCallback"}));

  log.clear();
  stepper->wraps(true).value(100);
  stepper->incrementValue();
  EXPECT_EQ(stepper->value(), 0);
  EXPECT_EQ(log, (Log{"changed 100", "changed 0"}));  // a wrap is no step
  stepper->decrementValue();
  EXPECT_EQ(stepper->value(), 100);
}

TEST_F(StepperTest, WritesClampAndReportOnlyChanges) {
  stepper->setValue(5);
  stepper->setValue(5);
  EXPECT_EQ(events, 1);
  stepper->setValue(100);
  stepper->setValue(150);  // differs from 100 before clamping: one more event
  EXPECT_EQ(stepper->value(), 100);
  EXPECT_EQ(events, 3);
  stepper->setValue(-3);
  EXPECT_EQ(stepper->value(), 0);
  // New bounds leave the value alone until the next write.
  stepper->setMaximumValue(-1);
  EXPECT_EQ(stepper->value(), 0);
}

TEST_F(StepperTest, IntervalOfZeroSwitchesAutoRepeatOff) {
  stepper->setAutoRepeatInterval(0);
  EXPECT_EQ(stepper->autoRepeatInterval(), 0.1);
  EXPECT_FALSE(stepper->autoRepeat());
  stepper->setAutoRepeat(true);
  EXPECT_TRUE(stepper->autoRepeat());

  stepper->setAutoRepeat(false);
  auto held = press(stepper, inc);
  clock->advance(2);
  EXPECT_FALSE(stepper->TEST_isRepeating());
  held->move(UIGestureRecognizerState::Ended);
  EXPECT_EQ(stepper->value(), 0);
}

TEST_F(StepperTest, ButtonsStepOnTouchUpInside) {
  inc->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
  inc->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
  dec->sendActionsForControlEvents(UIControlEvents::TouchUpInside);
  EXPECT_EQ(stepper->value(), 1);
  EXPECT_EQ(inc->gestureRecognizers().size(), 1u);
  EXPECT_NE(std::dynamic_pointer_cast<UILongPressGestureRecognizer>(dec->gestureRecognizers().at(0)), nullptr);
}

TEST_F(StepperTest, HoldingRepeatsUntilTheBoundEndsTheRun) {
  stepper->setValue(98);
  log.clear();
  auto held = press(stepper, inc);  // recognised: the first step comes one interval later
  EXPECT_TRUE(stepper->TEST_isRepeating());
  EXPECT_EQ(stepper->value(), 98);
  clock->advance(0.1);
  EXPECT_EQ(stepper->value(), 99);
  clock->advance(0.1);
  EXPECT_EQ(stepper->value(), 100);
  clock->advance(0.1);
  EXPECT_FALSE(stepper->TEST_isRepeating());
  EXPECT_EQ(log, (Log{"changed 99", "didIncrement", "incrementCallback", "changed 100", "didIncrement",
                      "incrementCallback", "didEndLongPress", "endedCallback", "maxClamped", "maxCallback"}));
  log.clear();
  clock->advance(1);
  held->move(UIGestureRecognizerState::Ended);  // the run is over: no second end event
  EXPECT_EQ(log, Log{});
  EXPECT_EQ(stepper->value(), 100);

  // Holding the decrement button, released after three steps.
  auto down = press(stepper, dec);
  clock->advance(0.3);
  down->move(UIGestureRecognizerState::Cancelled);
  EXPECT_EQ(stepper->value(), 97);
  EXPECT_EQ(log.back(), "endedCallback");
  clock->advance(1);
  EXPECT_EQ(stepper->value(), 97);
}
