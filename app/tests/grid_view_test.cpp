#include "app/controls/grid_view.h"

#include <gtest/gtest.h>

#include "app/tests/app_test_support.h"

namespace {

using drosil::testing::AppTest;

class GridViewTest : public AppTest {
 protected:
  static std::shared_ptr<CAShapeLayer> shape(const GridView& grid, size_t i) {
    return std::dynamic_pointer_cast<CAShapeLayer>(grid.layer()->sublayers().at(i));
  }
  static std::vector<CGPoint> endPoints(const CGPath& path) {
    std::vector<CGPoint> points;
    for (const auto& e : path.elements()) {
      if (e.type == CGPathElement::Type::MoveToPoint || e.type == CGPathElement::Type::AddLineToPoint) {
        points.push_back(e.points[0]);
      } else if (e.type == CGPathElement::Type::AddCurveToPoint) {
        points.push_back(e.points[2]);
      }
    }
    return points;
  }
  static void expectNear(CGPoint a, CGPoint b) {
    EXPECT_NEAR(a.x, b.x, 1e-9);
    EXPECT_NEAR(a.y, b.y, 1e-9);
  }
};

TEST_F(GridViewTest, DrawsBracketsOutlineAndThirds) {
  auto grid = std::make_shared<GridView>(CGRect{0, 0, 300, 400});
  grid->layoutSubviews();
  ASSERT_EQ(grid->layer()->sublayers().size(), 9u);

  // Top-left bracket: down the edge from (0, 45) to (0, 20), a quarter circle
  // to (20, 0), on to (45, 0).
  auto topLeft = shape(*grid, 0);
  ASSERT_TRUE(topLeft && topLeft->path());
  const auto points = endPoints(*topLeft->path());
  ASSERT_GE(points.size(), 4u);
  expectNear(points.front(), {0, 45});
  expectNear(points[1], {0, 20});
  expectNear(points[points.size() - 2], {20, 0});
  expectNear(points.back(), {45, 0});
  EXPECT_EQ(topLeft->lineWidth(), 3);
  EXPECT_EQ(topLeft->strokeColor(), CGColor::clear());
  EXPECT_FALSE(topLeft->fillColor().has_value());

  const CGFloat thirds[][4] = {{100, 0, 100, 400}, {200, 0, 200, 400}, {0, 400.0 / 3, 300, 400.0 / 3},
                               {0, 800.0 / 3, 300, 800.0 / 3}};
  for (size_t i = 0; i < 4; ++i) {
    auto line = shape(*grid, 5 + i);
    ASSERT_TRUE(line && line->path());
    const auto ends = endPoints(*line->path());
    ASSERT_EQ(ends.size(), 2u);
    expectNear(ends[0], {thirds[i][0], thirds[i][1]});
    expectNear(ends[1], {thirds[i][2], thirds[i][3]});
    EXPECT_EQ(line->strokeColor(), (CGColor{1, 1, 1, 0.2}));
    EXPECT_EQ(line->lineWidth(), 1);
  }
  auto outline = shape(*grid, 4);
  ASSERT_TRUE(outline && outline->path());
  const CGRect box = outline->path()->boundingBox();
  EXPECT_NEAR(box.minX(), 0, 1e-9);
  EXPECT_NEAR(box.minY(), 0, 1e-9);
  EXPECT_NEAR(box.maxX(), 300, 1e-9);
  EXPECT_NEAR(box.maxY(), 400, 1e-9);
}

TEST_F(GridViewTest, BlockedUpdatesLetOnlyGreenThrough) {
  auto grid = std::make_shared<GridView>(CGRect{0, 0, 300, 400});
  const CGColor yellow = UIColor::systemYellowColor().cgColor();
  const CGColor green = UIColor::systemGreenColor().cgColor();

  grid->updateArchColor(CGColor::white());
  EXPECT_EQ(grid->archColor(), CGColor::white());
  EXPECT_EQ(shape(*grid, 0)->strokeColor(), CGColor::white());
  grid->updateArchColor(CGColor::white());
  EXPECT_EQ(grid->layer()->sublayers().size(), 9u);

  grid->setIsUpdateBlocked(true);
  grid->updateArchColor(yellow);
  EXPECT_EQ(grid->archColor(), CGColor::white());
  grid->updateArchColor(green);
  EXPECT_EQ(grid->archColor(), green);
  EXPECT_EQ(grid->layer()->sublayers().size(), 9u);

  grid->setIsUpdateBlocked(false);
  grid->updateArchColor(yellow);
  EXPECT_EQ(grid->archColor(), yellow);
}

TEST_F(GridViewTest, EmptyViewDrawsWithoutFailing) {
  for (CGRect frame : {CGRect{0, 0, 0, 400}, CGRect{0, 0, 300, 0}, CGRect{}}) {
    auto grid = std::make_shared<GridView>(frame);
    grid->layoutSubviews();
    EXPECT_EQ(grid->layer()->sublayers().size(), 9u);
  }
}

}  // namespace
