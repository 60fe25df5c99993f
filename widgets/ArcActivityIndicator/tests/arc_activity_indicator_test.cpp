#include <gtest/gtest.h>

#include <cmath>

#include "os/dispatch/manual_clock.h"
#include "os/dispatch/notification.h"
#include "widgets/ArcActivityIndicator/arc_activity_indicator_view.h"

namespace {

class ArcTest : public testing::Test {
 protected:
  os::ManualClockScope clock;
  std::shared_ptr<ArcActivityIndicatorView> arc = std::make_shared<ArcActivityIndicatorView>(CGRect{0, 0, 40, 20});
};

}  // namespace

TEST_F(ArcTest, StartsStoppedAndShowsNothing) {
  EXPECT_FALSE(arc->isAnimating());
  EXPECT_FALSE(arc->isHidden());  // not hidden until the flag is set again or it has run
  EXPECT_EQ(arc->animationLayer()->strokeEnd(), 0);
  EXPECT_TRUE(arc->isObserved());
  arc->setHidesWhenStopped(true);
  EXPECT_TRUE(arc->isHidden());
  arc->setHidesWhenStopped(false);
  EXPECT_FALSE(arc->isHidden());
}

TEST_F(ArcTest, PathStaysInsideTheBounds) {
  arc->setStrokeWidth(2.5);
  const CGRect box = arc->animationLayer()->path()->pathBoundingBox();
  EXPECT_NEAR(box.midX(), 20, 1e-6);
  EXPECT_NEAR(box.midY(), 10, 1e-6);
  EXPECT_NEAR(box.width() / 2, 8.75, 1e-3);
  EXPECT_EQ(arc->animationLayer()->lineWidth(), 2.5);

  auto zero = std::make_shared<ArcActivityIndicatorView>();
  zero->setStrokeWidth(3);
  EXPECT_FALSE(zero->animationLayer()->path().has_value());  // a zero-size view keeps its (absent) path
}

TEST_F(ArcTest, StartStopAreIdempotentAndFollowVisibility) {
  arc->startAnimating();
  arc->startAnimating();
  EXPECT_TRUE(arc->isAnimating());
  EXPECT_FALSE(arc->isHidden());
  EXPECT_EQ(arc->animationLayer()->animationKeys().size(), 2u);
  auto rotate = arc->animationLayer()->animationForKey(kArcActivityRotateAnimationKey);
  ASSERT_NE(rotate, nullptr);
  EXPECT_NEAR(rotate->duration(), 1.25 / 0.375, 1e-12);
  auto group = std::dynamic_pointer_cast<CAAnimationGroup>(arc->animationLayer()->animationForKey(kArcActivityStrokeAnimationKey));
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->animations().size(), 4u);
  EXPECT_TRUE(std::isinf(group->repeatCount()));

  arc->setHidesWhenStopped(true);  // while animating: stays shown
  EXPECT_FALSE(arc->isHidden());
  arc->stopAnimating();
  EXPECT_TRUE(arc->isHidden());
  EXPECT_TRUE(arc->animationLayer()->animationKeys().empty());
  arc->setHidden(false);
  arc->stopAnimating();  // already stopped: nothing changes, visibility included
  EXPECT_FALSE(arc->isHidden());
}

TEST_F(ArcTest, BecomingActiveRestartsWithTheNewDuration) {
  arc->startAnimating();
  arc->setDuration(2.5);
  EXPECT_NEAR(arc->animationLayer()->animationForKey(kArcActivityStrokeAnimationKey)->duration(), 1.25, 1e-12);
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationDidBecomeActiveNotification, nullptr);
  EXPECT_NEAR(arc->animationLayer()->animationForKey(kArcActivityStrokeAnimationKey)->duration(), 2.5, 1e-12);

  arc->stopAnimating();
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationDidBecomeActiveNotification, nullptr);
  EXPECT_FALSE(arc->isAnimating());
  // A released indicator is no longer told.
  arc.reset();
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationDidBecomeActiveNotification, nullptr);
}

TEST_F(ArcTest, ProgressAndTintSetTheLayer) {
  arc->setProgress(0.5);
  EXPECT_EQ(arc->animationLayer()->strokeEnd(), 0.5);
  arc->setTintColor(UIColor::yellowColor());
  EXPECT_EQ(arc->strokColor(), UIColor::yellowColor());
  EXPECT_EQ(arc->tintColor(), UIColor::yellowColor());
  EXPECT_EQ(arc->animationLayer()->strokeColor(), UIColor::yellowColor().cgColor());
  arc->setStrokColor(std::nullopt);
  EXPECT_FALSE(arc->animationLayer()->strokeColor().has_value());
}
