#include "app/controls/sliders.h"

#include <gtest/gtest.h>

#include "app/screens/white_balance_reading.h"
#include "app/tests/app_test_support.h"

namespace {

using drosil::testing::AppTest;

class SlidersTest : public AppTest {};

TEST_F(SlidersTest, ThumbRectangleFollowsValueOverMaximum) {
  struct Case {
    float maximum;
    CGFloat trackWidth;
    float value;
    CGFloat x;
  };
  const Case cases[] = {
      {37, 200, 0, -4}, {37, 200, 37, 196}, {37, 200, 18.5f, 96}, {37, 200, 1, 2},
      // A maximum of 0 divides by 1.
      {0, 100, 0.5f, 46},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    CustomThicknessSlider custom;
    HorizontalSliderThickness horizontal;
    for (UISlider* slider : {static_cast<UISlider*>(&custom), static_cast<UISlider*>(&horizontal)}) {
      slider->setMinimumValue(0);
      slider->setMaximumValue(c.maximum);
      const CGRect track{0, 10, c.trackWidth, 8};
      EXPECT_EQ(slider->thumbRectForBounds({}, track, c.value), CGRect(c.x, 10, 8, 8));
    }
  }
}

TEST_F(SlidersTest, TrackRectanglesAreThin) {
  const CGRect bounds{0, 0, 300, 31};
  UISlider plain;
  const CGFloat y = plain.trackRectForBounds(bounds).origin.y;
  EXPECT_EQ(HorizontalSliderThickness().trackRectForBounds(bounds), CGRect(0, y, 300, 4));
  EXPECT_EQ(CustomThicknessSlider().trackRectForBounds(bounds), CGRect(0, y, 300, 8));
}

TEST_F(SlidersTest, VerticalSliderRunsTheWrapperHeight) {
  auto wrapper = VerticalSlider::create({0, 0, 40, 200});
  ASSERT_EQ(wrapper->slider()->superview(), wrapper);
  wrapper->layoutIfNeeded();
  EXPECT_EQ(wrapper->slider()->bounds().width(), 200);
  EXPECT_EQ(wrapper->slider()->center(), CGPoint(20, 100));
  const CGSize inner = wrapper->slider()->intrinsicContentSize();
  EXPECT_EQ(wrapper->intrinsicContentSize(), CGSize(inner.height, inner.width));

  // Minimum at the bottom: the quarter turn is anticlockwise.
  const CGAffineTransform t = wrapper->slider()->transform();
  EXPECT_NEAR(t.b, -1, 1e-12);
  wrapper->setAscending(true);
  EXPECT_NEAR(wrapper->slider()->transform().b, 1, 1e-12);
  EXPECT_NEAR(wrapper->slider()->transform().c, 1, 1e-12);
}

TEST_F(SlidersTest, WrapperSettersRecopyEverySetting) {
  auto wrapper = VerticalSlider::create({0, 0, 40, 200});
  EXPECT_EQ(wrapper->slider()->minimumValue(), -1);
  EXPECT_EQ(wrapper->slider()->maximumValue(), 1);
  // The screen changes the inner slider directly; the next update copies the
  // wrapper's own values back.
  wrapper->slider()->setMinimumValue(0);
  wrapper->slider()->setMaximumValue(37);
  wrapper->setIsContinuous(false);
  EXPECT_EQ(wrapper->slider()->minimumValue(), -1);
  EXPECT_EQ(wrapper->slider()->maximumValue(), 1);
  EXPECT_FALSE(wrapper->slider()->isContinuous());

  auto horizontal = HorizontalSlider::create({0, 0, 300, 31});
  horizontal->setMaximumValue(10);
  horizontal->setValue(20);  // clamped by the slider
  EXPECT_EQ(horizontal->value(), 10);
  horizontal->layoutIfNeeded();
  EXPECT_EQ(horizontal->slider()->bounds().width(), 300);
}

TEST_F(SlidersTest, GradientTrackArrivesOnTheMainQueue) {
  auto slider = std::make_shared<CustomThicknessSlider>(CGRect{0, 0, 100, 31});
  const auto ramp = kelvinColorRamp();
  PUGradientSlider::gradientImage(slider, {ramp.begin(), ramp.end()}, 4);
  EXPECT_EQ(slider->maximumTrackImageForState(UIControlState::Normal), nullptr);
  drain();
  auto image = slider->maximumTrackImageForState(UIControlState::Normal);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->size(), CGSize(100, 5));
  EXPECT_EQ(slider->minimumTrackImageForState(UIControlState::Normal), image);

  // Warm at the left end, cold at the right, along the middle row.
  const auto& bitmap = image->cgImage();
  ASSERT_NE(bitmap, nullptr);
  const int mid = bitmap->height() / 2;
  const RGBA8 left = bitmap->pixel(bitmap->width() / 10, mid);
  const RGBA8 right = bitmap->pixel(bitmap->width() * 9 / 10, mid);
  EXPECT_GT(left.r, left.b);
  EXPECT_GT(right.b, right.r);

  // Zero width: nothing rendered, the track left as it was.
  auto empty = std::make_shared<CustomThicknessSlider>();
  PUGradientSlider::gradientImage(empty, {ramp.begin(), ramp.end()}, 4);
  drain();
  EXPECT_EQ(empty->maximumTrackImageForState(UIControlState::Normal), nullptr);
}

}  // namespace
