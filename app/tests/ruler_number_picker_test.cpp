// The compensation ruler: tick geometry, snapping, scrolling to values and
// the settling after a drag.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "app/controls/ruler_number_picker.h"
#include "app/tests/app_test_support.h"

namespace {

using drosil::testing::AppTest;

class Recorder : public ScrollRulerNumberPickerDelegate {
 public:
  void compensationRulerValueChanged(CGFloat value) override { values.push_back(value); }
  std::vector<CGFloat> values;
};

// x positions of the segments' first points.
std::vector<CGFloat> tickXs(const UIBezierPath& path) {
  std::vector<CGFloat> xs;
  for (const auto& e : path.cgPath().elements()) {
    if (e.type == CGPathElement::Type::MoveToPoint) xs.push_back(e.points[0].x);
  }
  return xs;
}

class RulerTest : public AppTest {
 protected:
  RulerTest() {
    ruler_ = ScrollRulerNumberPicker::create({0, 0, 300, 44});
    ruler_->setDelegate(recorder_);
    ruler_->layoutIfNeeded();
  }
  CGFloat last() const { return recorder_->values.empty() ? NAN : recorder_->values.back(); }

  std::shared_ptr<ScrollRulerNumberPicker> ruler_;
  std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
};

TEST_F(RulerTest, DefaultScaleTicksAndContentSize) {
  EXPECT_EQ(ruler_->scaleLength(), 6400);
  EXPECT_EQ(ruler_->scrollView()->contentSize().width, 300 + 6400);
  const auto majors = tickXs(ruler_->majorLinePath());
  const auto minors = tickXs(ruler_->minorLinePath());
  ASSERT_EQ(majors.size(), 201u);
  ASSERT_EQ(minors.size(), 200u);
  EXPECT_EQ(majors.front(), 150);  // minValue under the indicator at offset 0
  EXPECT_EQ(majors[1] - majors[0], 32);
  EXPECT_EQ(minors.front(), 150 + 16);
  EXPECT_EQ(majors.back(), 150 + 6400);
  EXPECT_LT(minors.back(), majors.back());  // none after maxValue
  EXPECT_EQ(ruler_->alpha(), 0.5);
}

TEST_F(RulerTest, DivisionsChangeTickSpacing) {
  struct Case {
    int raw;
    size_t majors, minors;
    CGFloat spacing;
  };
  for (const Case& c : {Case{1, 201, 0, 16}, Case{5, 201, 800, 80}}) {
    auto divisions = MinorTicksPerMajorTickFromRawValue(c.raw);
    ASSERT_TRUE(divisions.has_value());
    ruler_->setMinorTicksPerMajorTick(*divisions);
    ruler_->layoutIfNeeded();
    const auto majors = tickXs(ruler_->majorLinePath());
    EXPECT_EQ(majors.size(), c.majors) << c.raw;
    EXPECT_EQ(tickXs(ruler_->minorLinePath()).size(), c.minors) << c.raw;
    EXPECT_EQ(majors[1] - majors[0], c.spacing) << c.raw;
  }
  for (int raw : {0, 3, 4, 10, -1}) EXPECT_FALSE(MinorTicksPerMajorTickFromRawValue(raw).has_value()) << raw;
}

TEST_F(RulerTest, RangeNotAWholeNumberOfSteps) {
  ruler_->setMinValue(0);
  ruler_->setMaxValue(24);
  ruler_->layoutIfNeeded();
  EXPECT_NEAR(ruler_->scaleLength(), 76.8, 1e-9);
  EXPECT_EQ(tickXs(ruler_->majorLinePath()).size(), 3u);  // 0, 10, 20
  EXPECT_EQ(tickXs(ruler_->minorLinePath()).size(), 2u);  // 5, 15; not 25

  // With 25 the last minor tick is drawn, and the end snaps up past maxValue.
  ruler_->setMaxValue(25);
  ruler_->layoutIfNeeded();
  EXPECT_EQ(tickXs(ruler_->minorLinePath()).size(), 3u);
  ruler_->updateValue(ruler_->scaleLength());
  EXPECT_EQ(last(), 30);
}

TEST_F(RulerTest, SnappingToTheMajorStep) {
  struct Case {
    CGFloat offset, reported;
  };
  for (const Case& c : {Case{3200, 0}, Case{3215.68, 0}, Case{3216, 10}, Case{0, -1000}, Case{6400, 1000},
                        Case{3180, -10}, Case{3184, 0}}) {
    ruler_->updateValue(c.offset);
    EXPECT_NEAR(last(), c.reported, 1e-9) << c.offset;
    EXPECT_NEAR(ruler_->currentValue(), c.reported + 1000, 1e-9) << c.offset;
  }
}

TEST_F(RulerTest, ScrollingToValues) {
  struct Case {
    CGFloat value;
    bool absolute;
    CGFloat offset, reported;
  };
  for (const Case& c : {Case{250, true, 4000, 250}, Case{-1000, true, 0.32, -1000}, Case{5, true, 3216, 10},
                        Case{40, false, 128, -960}}) {
    ruler_->scrollToValue(c.value, false, c.absolute);
    EXPECT_NEAR(ruler_->scrollView()->contentOffset().x, c.offset, 1e-9) << c.value;
    EXPECT_NEAR(last(), c.reported, 1e-9) << c.value;
  }
  // Writing currentValue scrolls; the callback stores the snapped value.
  ruler_->setCurrentValue(40);
  EXPECT_EQ(ruler_->currentValue(), 40);
}

TEST_F(RulerTest, ReleaseSettlesOnTheStepAnimated) {
  auto window = std::make_shared<UIWindow>(CGRect{0, 0, 300, 44});
  window->addSubview(ruler_);
  window->makeKeyAndVisible();
  ruler_->scrollToValue(0, false, true);
  // 3.2 points per kelvin: a 230-point drag is 71.875 K; held still, then let go.
  window->sendTouch({280, 22}, UITouchPhase::Began);
  clock().advance(0.02);
  window->sendTouch({50, 22}, UITouchPhase::Moved);
  clock().advance(0.1);
  window->sendTouch({50, 22}, UITouchPhase::Moved);
  EXPECT_NEAR(last(), 70, 1e-9);
  window->sendTouch({50, 22}, UITouchPhase::Ended);
  drain();
  clock().advance(1.0);
  drain();
  EXPECT_EQ(last(), 70);
  EXPECT_NEAR(ruler_->scrollView()->contentOffset().x, 3200 + 70 * 3.2, 1e-6);
}

}  // namespace
