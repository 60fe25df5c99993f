// Colours from text and integers, the closure tap and the controls segue.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "app/controls/view_utilities.h"
#include "app/tests/app_test_support.h"

namespace {

using drosil::testing::AppTest;

struct RGBA {
  CGFloat r, g, b, a;
};

RGBA components(const UIColor& c) {
  RGBA out{};
  c.getRGBA(&out.r, &out.g, &out.b, &out.a);
  return out;
}

TEST(UIColorFromHexTest, AcceptedTexts) {
  struct Case {
    const char* text;
    std::optional<float> alpha;
    RGBA expected;
  };
  const Case cases[] = {
      {"FFD600", 0.3f, {1, 214 / 255.0, 0, static_cast<double>(0.3f)}},
      {"#FFD600", 0.3f, {1, 214 / 255.0, 0, static_cast<double>(0.3f)}},
      {"F5F5F5", std::nullopt, {245 / 255.0, 245 / 255.0, 245 / 255.0, 1}},
      {"FFF", std::nullopt, {1, 1, 1, 1}},
      {"F00A", std::nullopt, {1, 0, 0, 170 / 255.0}},
      {"F00A", 0.5f, {1, 0, 0, 0.5}},
      {"FF00007F", std::nullopt, {1, 0, 0, 127 / 255.0}},
      {"FF00007F", 1.0f, {1, 0, 0, 1}},
      {"+FFF", std::nullopt, {0, 1, 1, 1}},  // the sign counts: RGBA of 0FFF
  };
  for (const Case& c : cases) {
    auto colour = UIColorFromHex(c.text, c.alpha);
    ASSERT_TRUE(colour.has_value()) << c.text;
    const RGBA got = components(*colour);
    EXPECT_NEAR(got.r, c.expected.r, 1e-12) << c.text;
    EXPECT_NEAR(got.g, c.expected.g, 1e-12) << c.text;
    EXPECT_NEAR(got.b, c.expected.b, 1e-12) << c.text;
    EXPECT_NEAR(got.a, c.expected.a, 1e-12) << c.text;
  }
}

TEST(UIColorFromHexTest, RefusedTexts) {
  for (const char* text : {"12345", "1234567", "", "#", "##FFF", "0xFFF", "GGG", " FFF", "FFF ", "-", "+",
                           "FFFFFFFFFFFFFFFFFF"}) {
    EXPECT_FALSE(UIColorFromHex(text).has_value()) << '"' << text << '"';
  }
}

TEST(UIColorFromRGBTest, RangeAndComponents) {
  const RGBA black = components(*UIColorFromRGB(0, 0.3f));
  EXPECT_EQ(black.r + black.g + black.b, 0);
  EXPECT_NEAR(black.a, 0.3, 1e-6);
  const RGBA white = components(*UIColorFromRGB(0xFFFFFF, 1));
  EXPECT_EQ(white.r + white.g + white.b + white.a, 4);
  EXPECT_NEAR(components(*UIColorFromRGB(0x123456, 1)).g, 0x34 / 255.0, 1e-12);
  EXPECT_FALSE(UIColorFromRGB(0x1000000, 1).has_value());
  EXPECT_FALSE(UIColorFromRGB(-1, 1).has_value());
}

TEST(MyTapGestureRecognizerTest, HandleTapRunsTheClosureOnce) {
  MyTapGestureRecognizer tap;
  handleTap(tap);  // no closure: nothing
  int runs = 0;
  tap.action = [&] { ++runs; };
  handleTap(tap);
  EXPECT_EQ(runs, 1);
}

class ControlsSegueTest : public AppTest {};

TEST_F(ControlsSegueTest, SwapsChildrenInsideTheHostView) {
  auto source = std::make_shared<UIViewController>();
  auto host = std::make_shared<UIView>(CGRect{0, 0, 200, 100});
  source->view()->addSubview(host);
  auto first = std::make_shared<UIViewController>();
  auto second = std::make_shared<UIViewController>();

  ControlsSegue toFirst("controls", source, first);
  toFirst.hostView = host;
  toFirst.perform();
  ControlsSegue toSecond("controls", source, second);
  toSecond.hostView = host;
  toSecond.currentViewController = first;
  toSecond.perform();

  ASSERT_EQ(host->subviews().size(), 1u);
  EXPECT_EQ(host->subviews()[0], second->view());
  EXPECT_EQ(second->view()->frame(), host->bounds());
  ASSERT_EQ(source->childViewControllers().size(), 1u);
  EXPECT_EQ(source->childViewControllers()[0], second);
  EXPECT_EQ(first->parentViewController(), nullptr);
}

// Mended: a segue performed with no host view used to have nowhere to put the
// destination; it now leaves everything as it was instead of failing.
TEST_F(ControlsSegueTest, WithoutAHostViewNothingChanges) {
  auto source = std::make_shared<UIViewController>();
  auto current = std::make_shared<UIViewController>();
  source->addChildViewController(current);
  ControlsSegue segue("controls", source, std::make_shared<UIViewController>());
  segue.currentViewController = current;
  segue.perform();
  ASSERT_EQ(source->childViewControllers().size(), 1u);
  EXPECT_EQ(source->childViewControllers()[0], current);
}

}  // namespace
