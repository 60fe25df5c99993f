#include "os/graphics/geometry.h"

#include <gtest/gtest.h>

#include <cmath>

#include "os/graphics/path.h"

TEST(GeometryTest, RectSetOperations) {
  CGRect a(0, 0, 10, 10), b(5, 5, 10, 10);
  EXPECT_EQ(a.intersection(b), CGRect(5, 5, 5, 5));
  EXPECT_EQ(a.unionWith(b), CGRect(0, 0, 15, 15));
  EXPECT_TRUE(a.intersection(CGRect(20, 20, 1, 1)).isNull());
  // Negative sizes are standardised.
  EXPECT_EQ(CGRect(10, 10, -10, -10).standardized(), a);
  EXPECT_TRUE(a.contains(CGPoint{0, 0}));
  EXPECT_FALSE(a.contains(CGPoint{10, 5}));  // half-open
  EXPECT_TRUE(a.insetBy(6, 6).isNull());
}

TEST(GeometryTest, TransformsComposeInPlatformOrder) {
  // Scale then translate: the translation is applied in scaled space.
  auto t = CGAffineTransformTranslate(CGAffineTransformMakeScale(2, 2), 5, 0);
  EXPECT_EQ(CGPointApplyAffineTransform({1, 1}, t), (CGPoint{12, 2}));
  auto r = CGAffineTransformMakeRotation(M_PI / 2);
  CGPoint p = CGPointApplyAffineTransform({1, 0}, r);
  EXPECT_NEAR(p.x, 0, 1e-12);
  EXPECT_NEAR(p.y, 1, 1e-12);  // y down: a positive angle turns clockwise on screen
  auto inv = t.inverted();
  CGPoint back = CGPointApplyAffineTransform(CGPointApplyAffineTransform({3, 4}, t), inv);
  EXPECT_NEAR(back.x, 3, 1e-12);
  EXPECT_NEAR(back.y, 4, 1e-12);
  // A singular transform is left as it is rather than producing NaNs.
  auto singular = CGAffineTransformMakeScale(0, 1);
  EXPECT_EQ(singular.inverted(), singular);
  EXPECT_EQ(CGRectApplyAffineTransform(CGRect(0, 0, 10, 20), r).size.width, 20);
}

TEST(PathTest, ArcDirectionsAndBounds) {
  CGPath full;
  full.addArc({20, 10}, 8.75, 0, 2 * M_PI, true);
  CGRect box = full.pathBoundingBox();
  EXPECT_NEAR(box.minX(), 11.25, 1e-3);
  EXPECT_NEAR(box.maxY(), 18.75, 1e-3);

  // Quarter arc from pi to 3pi/2 clockwise goes through the top-left corner region.
  CGPath q;
  q.moveTo({0, 45});
  q.addArc({20, 20}, 20, M_PI, 3 * M_PI / 2, true);
  q.addLineTo({45, 0});
  ASSERT_TRUE(q.currentPoint());
  EXPECT_EQ(*q.currentPoint(), (CGPoint{45, 0}));
  CGRect qb = q.pathBoundingBox();
  EXPECT_NEAR(qb.minX(), 0, 1e-9);
  EXPECT_NEAR(qb.minY(), 0, 1e-9);
  EXPECT_NEAR(qb.maxX(), 45, 1e-9);

  // Counter-clockwise from 0 to pi/2 takes the long way round (three quarters).
  CGPath ccw;
  ccw.addArc({0, 0}, 10, 0, M_PI / 2, false);
  EXPECT_NEAR(ccw.pathBoundingBox().minY(), -10, 1e-6);

  // Non-finite input adds nothing.
  CGPath bad;
  bad.addArc({0, 0}, NAN, 0, 1, true);
  EXPECT_TRUE(bad.isEmpty());
}

TEST(PathTest, ContainsHonoursFillRule) {
  CGPath p;
  p.addRect({0, 0, 100, 100});
  p.addRect({25, 25, 50, 50});
  EXPECT_TRUE(p.contains({50, 50}, CGPathFillRule::Winding));
  EXPECT_FALSE(p.contains({50, 50}, CGPathFillRule::EvenOdd));
  EXPECT_TRUE(p.contains({10, 10}, CGPathFillRule::EvenOdd));
  EXPECT_FALSE(p.contains({150, 10}));
}
