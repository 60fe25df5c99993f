#include <gtest/gtest.h>

#include <cmath>

#include "os/dispatch/manual_clock.h"
#include "os/uikit/uikit.h"

namespace {

class StopCounter : public CAAnimationDelegate {
 public:
  void animationDidStop(CAAnimation&, bool finished) override {
    ++stops;
    lastFinished = finished;
  }
  int stops = 0;
  bool lastFinished = false;
};

double presented(const std::shared_ptr<CALayer>& layer, const char* keyPath) {
  return std::get<double>(*layer->presentationLayer()->valueForKeyPath(keyPath));
}

class AnimationTest : public testing::Test {
 protected:
  os::ManualClockScope clock;
};

}  // namespace

TEST_F(AnimationTest, FadeReachesItsEndExactlyAtTheEndAndCompletesOnce) {
  auto view = std::make_shared<UIView>(CGRect{0, 0, 10, 10});
  int completions = 0;
  bool finished = false;
  UIView::animate(0.2, [&] { view->setAlpha(0); }, [&](bool f) { ++completions; finished = f; });
  EXPECT_EQ(view->alpha(), 0);  // the model changes at once
  EXPECT_EQ(presented(view->layer(), "opacity"), 1);
  clock->advance(0.1);
  double mid = presented(view->layer(), "opacity");
  EXPECT_GT(mid, 0.1);
  EXPECT_LT(mid, 0.9);
  EXPECT_EQ(completions, 0);
  clock->advance(0.1);
  EXPECT_EQ(presented(view->layer(), "opacity"), 0);
  EXPECT_EQ(completions, 1);
  EXPECT_TRUE(finished);
  EXPECT_TRUE(view->layer()->animationKeys().empty());
  clock->advance(1);
  EXPECT_EQ(completions, 1);
}

TEST_F(AnimationTest, KeyedRotationHoldsItsEndWhenKeptAndStopsOnce) {
  auto layer = CALayer::layer();
  auto counter = std::make_shared<StopCounter>();
  auto spin = CABasicAnimation::animationWithKeyPath("transform.rotation");
  spin->setFromValue(0.0);
  spin->setToValue(M_PI / 2);
  spin->setDuration(0.2);
  spin->setRemovedOnCompletion(false);
  spin->setFillMode(kCAFillModeForwards);
  spin->setDelegate(counter);
  layer->addAnimation(spin, "rotate");
  clock->advance(0.1);
  EXPECT_NEAR(presented(layer, "transform.rotation"), M_PI / 4, 1e-9);  // linear without a timing function
  clock->advance(0.1);
  EXPECT_NEAR(presented(layer, "transform.rotation"), M_PI / 2, 1e-12);
  EXPECT_EQ(counter->stops, 1);
  EXPECT_TRUE(counter->lastFinished);
  clock->advance(1);
  EXPECT_EQ(counter->stops, 1);
  EXPECT_NE(layer->animationForKey("rotate"), nullptr);
  EXPECT_NEAR(presented(layer, "transform.rotation"), M_PI / 2, 1e-12);
  EXPECT_EQ(layer->affineTransform(), CGAffineTransformIdentity);  // the model is untouched
}

TEST_F(AnimationTest, EndlessAnimationsStopOnlyWhenRemoved) {
  auto layer = CAShapeLayer::layer();
  layer->setStrokeEnd(0);
  auto counter = std::make_shared<StopCounter>();
  // The arc spinner's stroke group: d = 1.25, four linear children.
  double d = 1.25;
  auto child = [&](const char* key, double begin, double dur, double from, double to) {
    auto a = CABasicAnimation::animationWithKeyPath(key);
    a->setBeginTime(begin);
    a->setDuration(dur);
    a->setFromValue(from);
    a->setToValue(to);
    return a;
  };
  auto group = CAAnimationGroup::animation();
  group->setAnimations({child("strokeStart", 0, d / 1.5, 0, 0.25), child("strokeEnd", 0, d / 1.5, 0, 1),
                        child("strokeStart", d / 1.5, d / 3, 0.25, 1), child("strokeEnd", d / 1.5, d / 3, 1, 1)});
  group->setDuration(d);
  group->setRepeatCount(INFINITY);
  group->setRemovedOnCompletion(false);
  group->setDelegate(counter);
  layer->addAnimation(group, "stroke");

  clock->advance(d / 3);
  EXPECT_NEAR(presented(layer, "strokeStart"), 0.125, 1e-9);
  EXPECT_NEAR(presented(layer, "strokeEnd"), 0.5, 1e-9);
  clock->advance(d / 1.5 + d / 6 - d / 3);
  EXPECT_NEAR(presented(layer, "strokeStart"), 0.625, 1e-6);
  EXPECT_NEAR(presented(layer, "strokeEnd"), 1.0, 1e-6);
  clock->advance(d);  // next cycle, same place
  EXPECT_NEAR(presented(layer, "strokeStart"), 0.625, 1e-6);
  clock->advance(100);
  EXPECT_EQ(counter->stops, 0);
  layer->removeAnimationForKey("stroke");
  EXPECT_EQ(counter->stops, 1);
  EXPECT_FALSE(counter->lastFinished);
  EXPECT_EQ(presented(layer, "strokeEnd"), 0);
  layer->removeAnimationForKey("stroke");
  EXPECT_EQ(counter->stops, 1);
}

TEST_F(AnimationTest, DelayedSpringAndReplacedAnimations) {
  auto view = std::make_shared<UIView>(CGRect{0, 0, 10, 10});
  std::vector<bool> results;
  // Delay: the old value holds until the animation begins.
  UIView::animate(0.2, 0.1, UIViewAnimationOptions::CurveLinear, [&] { view->setCenter({100, 5}); },
                  [&](bool f) { results.push_back(f); });
  clock->advance(0.05);
  EXPECT_EQ(view->layer()->presentationLayer()->position(), (CGPoint{5, 5}));
  clock->advance(0.15);  // halfway through the movement
  EXPECT_NEAR(view->layer()->presentationLayer()->position().x, 52.5, 1e-6);
  // A new animation of the same property replaces the first, which reports unfinished.
  UIView::animateWithSpring(0.5, 0, 0.5, 0, 0, [&] { view->setCenter({0, 5}); }, [&](bool f) { results.push_back(f); });
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0]);
  clock->advance(0.25);
  EXPECT_LT(view->layer()->presentationLayer()->position().x, 10);  // an underdamped spring overshoots
  clock->advance(0.25);
  EXPECT_EQ(view->layer()->presentationLayer()->position(), (CGPoint{0, 5}));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_TRUE(results[1]);
  // A block that changes nothing still completes, later and finished.
  bool ran = false;
  UIView::animate(0.2, [] {}, [&](bool f) { ran = f; });
  EXPECT_FALSE(ran);
  clock->advance(0.01);
  EXPECT_TRUE(ran);
}

TEST(TimingFunctionTest, NamedCurves) {
  struct Case {
    const char* name;
    double at, expected;
  } cases[] = {{kCAMediaTimingFunctionLinear, 0.3, 0.3},       {kCAMediaTimingFunctionEaseInEaseOut, 0.5, 0.5},
               {kCAMediaTimingFunctionEaseIn, 0.5, 0.3153},      {kCAMediaTimingFunctionEaseOut, 0.5, 0.6847},
               {kCAMediaTimingFunctionEaseInEaseOut, 1.0, 1.0}, {"unknown", 0.25, 0.25}};
  for (const auto& c : cases)
    EXPECT_NEAR(CAMediaTimingFunction::functionWithName(c.name)->evaluate(c.at), c.expected, 1e-3) << c.name;
}
