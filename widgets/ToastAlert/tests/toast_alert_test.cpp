#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "os/dispatch/manual_clock.h"
#include "widgets/ToastAlert/toast_alert.h"

namespace {

double presentedOpacity(const UIView& view) {
  return std::get<double>(*view.layer()->presentationLayer()->valueForKeyPath("opacity"));
}

class ToastTest : public testing::Test {
 protected:
  void SetUp() override {
    TEST_clearFeedbackEvents();
    window = std::make_shared<UIWindow>();
    window->makeKeyAndVisible();
  }
  // Advances the clock to `t` seconds after the start of the test.
  void advanceTo(double t) {
    clock->advanceNanos(std::llround(t * 1e9) - std::llround(elapsed * 1e9));
    elapsed = t;
  }
  os::ManualClockScope clock;
  std::shared_ptr<UIWindow> window;
  double elapsed = 0;
};

UIFeedbackEvent notification(UINotificationFeedbackType type) {
  return {UIFeedbackEvent::Kind::Notification, static_cast<int>(type), 1};
}

}  // namespace

TEST_F(ToastTest, TimelineShowsDismissesAndCompletesOnce) {
  auto toast = ToastAlertView::make("Image Saved", std::nullopt, ToastAlertIconPreset::done);
  int completions = 0;
  toast->present(ToastAlertHaptic::success, [&] { ++completions; });
  ASSERT_EQ(toast->superview(), window);
  EXPECT_EQ(TEST_feedbackEvents(), std::vector{notification(UINotificationFeedbackType::Success)});
  EXPECT_EQ(presentedOpacity(*toast), 0);

  advanceTo(0.1);
  EXPECT_GT(presentedOpacity(*toast), 0);
  EXPECT_LT(presentedOpacity(*toast), 1);
  advanceTo(0.2);
  EXPECT_EQ(presentedOpacity(*toast), 1);
  EXPECT_TRUE(toast->transform().isIdentity());
  // The check mark starts stroking once the toast is in.
  ASSERT_EQ(toast->iconView()->layer()->sublayers().size(), 1u);
  EXPECT_NE(toast->iconView()->layer()->sublayers()[0]->animationForKey("animation"), nullptr);

  advanceTo(1.69);
  EXPECT_FALSE(toast->TEST_isDismissing());
  advanceTo(1.7);
  EXPECT_TRUE(toast->TEST_isDismissing());
  advanceTo(1.8);
  EXPECT_EQ(toast->superview(), window);
  EXPECT_EQ(completions, 0);
  advanceTo(1.9);
  EXPECT_EQ(toast->superview(), nullptr);
  EXPECT_EQ(completions, 1);
  advanceTo(5);
  EXPECT_EQ(completions, 1);
}

// A tap and the scheduled dismissal each dismissed the toast, running the
// completion (and a follow-up prompt) twice; the dismissal now runs once.
TEST_F(ToastTest, TapsRacingTheTimerCompleteOnce) {
  auto toast = ToastAlertView::make("Feedback Sent", std::nullopt, ToastAlertIconPreset::heart);
  int completions = 0;
  toast->present(ToastAlertHaptic::success, [&] { ++completions; });
  advanceTo(1.0);
  window->tap(window->frame().mid());
  EXPECT_TRUE(toast->TEST_isDismissing());
  advanceTo(1.1);
  window->tap(window->frame().mid());  // during the dismissal
  advanceTo(1.2);
  EXPECT_EQ(toast->superview(), nullptr);
  EXPECT_EQ(completions, 1);
  advanceTo(1.7);  // the scheduled dismissal comes due
  advanceTo(2.5);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(toast->superview(), nullptr);
}

TEST_F(ToastTest, LayoutFollowsThePreset) {
  struct Case {
    ToastAlertIconPreset preset;
    CGSize icon;
    CGFloat top, bottom;
  };
  const std::vector<Case> cases{
      {ToastAlertIconPreset::done, {112, 112}, 63, 29},  {ToastAlertIconPreset::error, {86, 86}, 63, 29},
      {ToastAlertIconPreset::heart, {112, 77}, 49, 25},  {ToastAlertIconPreset::spinner, {16, 16}, 58, 27},
      {ToastAlertIconPreset::custom(nullptr), {100, 100}, 43, 25},
  };
  for (const auto& c : cases) {
    auto toast = ToastAlertView::make("Title", std::string("A message"), c.preset);
    toast->present(ToastAlertHaptic::none);
    SCOPED_TRACE(c.top);
    EXPECT_EQ(toast->bounds().width(), 250);
    EXPECT_EQ(toast->center(), window->frame().mid());
    EXPECT_EQ(toast->iconView()->frame().size, c.icon);
    EXPECT_EQ(toast->iconView()->frame().minY(), c.top);
    EXPECT_EQ(toast->iconView()->center().x, 125);
    EXPECT_EQ(toast->titleLabel()->frame().minY(), toast->iconView()->frame().maxY() + toast->layout()->spaceBetweenIconAndTitle);
    EXPECT_EQ(toast->titleLabel()->frame().width(), 250 - 32);
    EXPECT_EQ(toast->subtitleLabel()->frame().minY(), toast->titleLabel()->frame().maxY() + 4);
    EXPECT_EQ(toast->bounds().height(), toast->subtitleLabel()->frame().maxY() + c.bottom);
    toast->removeFromSuperview();
  }
}

TEST_F(ToastTest, MessageOnlyAndEmptyToastsSizeFromTheirMargins) {
  auto message = ToastAlertView::makeWithMessage("Copied");
  EXPECT_EQ(message->titleLabel(), nullptr);
  EXPECT_EQ(message->iconView(), nullptr);
  message->present(ToastAlertHaptic::none);
  EXPECT_EQ(message->subtitleLabel()->frame().minY(), 23);
  EXPECT_GT(message->subtitleLabel()->frame().height(), 0);
  EXPECT_EQ(message->bounds().height(), message->subtitleLabel()->frame().maxY() + 23);

  auto empty = ToastAlertView::make(ToastAlertIconPreset::done);
  empty->present(ToastAlertHaptic::none);
  EXPECT_EQ(empty->bounds().size, (CGSize{250, 150 + 29}));
}

TEST_F(ToastTest, SpinnerStaysUntilDismissAllAndCustomDismissesItself) {
  auto spinner = ToastAlertView::make("Working", std::nullopt, ToastAlertIconPreset::spinner);
  EXPECT_FALSE(spinner->dismissByTap());
  EXPECT_FALSE(spinner->dismissInTime());
  auto custom = ToastAlertView::make("Custom", std::nullopt, ToastAlertIconPreset::custom(std::make_shared<UIImage>()));
  EXPECT_TRUE(custom->dismissByTap());
  EXPECT_TRUE(custom->dismissInTime());

  int done = 0;
  spinner->present(ToastAlertHaptic::none, [&] { ++done; });
  EXPECT_TRUE(spinner->gestureRecognizers().empty());
  // A toast inside another view is not one of the window's own.
  auto holder = std::make_shared<UIView>(CGRect{0, 0, 10, 10});
  window->addSubview(holder);
  auto nested = ToastAlertView::makeWithMessage("Nested");
  holder->addSubview(nested);

  advanceTo(10);
  window->tap(window->frame().mid());
  advanceTo(11);
  EXPECT_EQ(spinner->superview(), window);

  ToastAlert::dismissAllAlerts();
  advanceTo(11.2);
  EXPECT_EQ(spinner->superview(), nullptr);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(nested->superview(), holder);
  ToastAlert::dismissAllAlerts();  // nothing left: nothing happens
}

TEST_F(ToastTest, SettingsReadAtPresentAndAtTheEndOfItsAnimation) {
  auto toast = ToastAlertView::make("Title", std::nullopt, ToastAlertIconPreset::done);
  toast->setDismissByTap(false);
  toast->setCornerRadius(20);
  EXPECT_EQ(toast->layer()->cornerRadius(), 20);
  int completions = 0;
  toast->present(ToastAlertHaptic::none, [&] { ++completions; });
  EXPECT_TRUE(toast->gestureRecognizers().empty());
  advanceTo(0.1);
  toast->setDuration(3);  // read when the present animation ends
  advanceTo(1.7);
  EXPECT_FALSE(toast->TEST_isDismissing());
  advanceTo(3.2);
  EXPECT_TRUE(toast->TEST_isDismissing());
  advanceTo(3.4);
  EXPECT_EQ(completions, 1);
}

TEST_F(ToastTest, NoWindowShowsNothing) {
  window.reset();  // no key window any more
  auto toast = ToastAlertView::make("Title", std::nullopt, ToastAlertIconPreset::done);
  int completions = 0;
  toast->present(ToastAlertHaptic::success, [&] { ++completions; });
  advanceTo(5);
  EXPECT_EQ(toast->superview(), nullptr);
  EXPECT_EQ(completions, 0);
  EXPECT_TRUE(TEST_feedbackEvents().empty());
}

TEST_F(ToastTest, ContentColourFollowsTheWindowStyle) {
  auto toast = ToastAlertView::make(ToastAlertIconPreset::done);
  EXPECT_EQ(toast->contentColor(), UIColor::fromRGBA(88.0 / 255, 87.0 / 255, 88.0 / 255));
  UITraitCollection dark;
  dark.userInterfaceStyle = UIUserInterfaceStyle::Dark;
  window->setTraitCollection(dark);
  toast->present(ToastAlertHaptic::none);
  EXPECT_EQ(toast->contentColor(), UIColor::fromRGBA(127.0 / 255, 127.0 / 255, 129.0 / 255));
}

TEST_F(ToastTest, PresetsCompareAndGiveTheirHaptics) {
  auto image = std::make_shared<UIImage>();
  EXPECT_EQ(ToastAlertIconPreset::custom(image), ToastAlertIconPreset::custom(image));
  EXPECT_FALSE(ToastAlertIconPreset::custom(image) == ToastAlertIconPreset::custom(std::make_shared<UIImage>()));
  EXPECT_FALSE(ToastAlertIconPreset::done == ToastAlertIconPreset::heart);

  using T = UINotificationFeedbackType;
  struct Case {
    ToastAlertIconPreset preset;
    std::vector<UIFeedbackEvent> events;
  };
  const std::vector<Case> cases{
      {ToastAlertIconPreset::done, {notification(T::Success)}},
      {ToastAlertIconPreset::heart, {notification(T::Success)}},
      {ToastAlertIconPreset::error, {notification(T::Error)}},
      {ToastAlertIconPreset::spinner, {}},
      {ToastAlertIconPreset::custom(image), {}},
  };
  for (const auto& c : cases) {
    TEST_clearFeedbackEvents();
    ToastAlert::present("Title", std::nullopt, c.preset);
    EXPECT_EQ(TEST_feedbackEvents(), c.events);
    TEST_clearFeedbackEvents();
    ToastAlert::present(c.preset);
    EXPECT_EQ(TEST_feedbackEvents(), c.events);
  }
  // The explicit haptic wins over the preset's.
  TEST_clearFeedbackEvents();
  ToastAlert::present("Title", std::nullopt, ToastAlertIconPreset::done, ToastAlertHaptic::warning);
  ToastAlert::present("Saved", ToastAlertHaptic::error);
  EXPECT_EQ(TEST_feedbackEvents(), (std::vector{notification(T::Warning), notification(T::Error)}));
}

TEST_F(ToastTest, DeclarativeModifierFollowsItsBinding) {
  struct Host {} host;
  bool isPresented = false;
  std::vector<std::string> log;
  auto binding = declarative::Binding<bool>([&] { return isPresented; },
                                            [&](bool v) { log.push_back(v ? "true" : "false"); isPresented = v; });
  auto layout = std::make_shared<ToastAlertLayout>(CGSize{10, 10}, UIEdgeInsets{5, 16, 7, 16}, 3);
  auto evaluate = [&] {
    return &declarative::presentToastAlert(host, binding, "Sent", std::nullopt, 0.5, true, ToastAlertIconPreset::done,
                                           ToastAlertHaptic::success, layout, [&] { log.push_back("completion"); });
  };
  EXPECT_EQ(evaluate(), &host);
  EXPECT_TRUE(window->subviews().empty());

  isPresented = true;
  evaluate();
  ASSERT_EQ(window->subviews().size(), 1u);
  auto toast = std::dynamic_pointer_cast<ToastAlertView>(window->subviews()[0]);
  ASSERT_NE(toast, nullptr);
  EXPECT_EQ(toast->layout(), layout);
  EXPECT_EQ(toast->iconView()->frame().minY(), 5);
  advanceTo(0.69);
  EXPECT_TRUE(isPresented);
  advanceTo(0.9);  // 0.2 in, 0.5 on screen, 0.2 out
  EXPECT_FALSE(isPresented);
  EXPECT_EQ(log, (std::vector<std::string>{"false", "completion"}));

  isPresented = true;
  declarative::presentToastAlert(host, binding, "Copied", 1.0, false, ToastAlertHaptic::none);
  ASSERT_EQ(window->subviews().size(), 1u);
  EXPECT_TRUE(window->subviews()[0]->gestureRecognizers().empty());
  advanceTo(2.3);
  EXPECT_FALSE(isPresented);
}

TEST(ToastIconTest, CheckMarkAndCrossScaleWithTheWidth) {
  auto done = std::make_shared<ToastAlertIconDoneView>(CGRect{0, 0, 112, 112});
  done->animate();
  auto shape = std::dynamic_pointer_cast<CAShapeLayer>(done->layer()->sublayers().at(0));
  ASSERT_NE(shape, nullptr);
  const auto& e = shape->path()->elements();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_NEAR(e[0].points[0].x, 21.952, 1e-9);
  EXPECT_NEAR(e[0].points[0].y, 59.024, 1e-9);
  EXPECT_NEAR(e[1].points[0].x, 52.64, 1e-9);
  EXPECT_NEAR(e[1].points[0].y, 87.024, 1e-9);
  EXPECT_NEAR(e[2].points[0].x, 110.88, 1e-9);
  EXPECT_NEAR(e[2].points[0].y, 28.0, 1e-9);
  EXPECT_EQ(shape->lineWidth(), 9);
  EXPECT_EQ(shape->lineCap(), kCALineCapRound);
  EXPECT_EQ(shape->strokeEnd(), 1);
  EXPECT_EQ(shape->animationForKey("animation")->duration(), 0.3);

  auto cross = std::make_shared<ToastAlertIconErrorView>(CGRect{0, 0, 86, 86});
  cross->animate();
  ASSERT_EQ(cross->layer()->sublayers().size(), 2u);
  auto second = std::dynamic_pointer_cast<CAShapeLayer>(cross->layer()->sublayers()[1]);
  EXPECT_EQ(second->path()->elements()[0].points[0], (CGPoint{0, 86}));
  EXPECT_EQ(second->path()->elements()[1].points[0], (CGPoint{86, 0}));
  EXPECT_EQ(second->animationForKey("animation")->duration(), 0.22);
}

TEST(ToastIconTest, HeartFitsItsFrame) {
  using R = HeartDraw::ResizingBehavior;
  const CGRect canvas{0, 0, 510, 470};
  struct Case {
    R behavior;
    CGRect target, expected;
  };
  const std::vector<Case> cases{
      {R::aspectFit, CGRect{}, canvas},
      {R::aspectFit, canvas, canvas},
      {R::aspectFit, {0, 0, 112, 77}, {(112 - 510 * 77.0 / 470) / 2, 0, 510 * 77.0 / 470, 77}},
      {R::aspectFill, {0, 0, 255, 470}, {(255 - 510.0) / 2, 0, 510, 470}},
      {R::stretch, {0, 0, 255, 470}, {0, 0, 255, 470}},
      {R::center, {100, 100, 10, 10}, {105 - 255, 105 - 235, 510, 470}},
  };
  for (const auto& c : cases) {
    CGRect r = HeartDraw::apply(c.behavior, canvas, c.target);
    EXPECT_NEAR(r.origin.x, c.expected.origin.x, 1e-9);
    EXPECT_NEAR(r.origin.y, c.expected.origin.y, 1e-9);
    EXPECT_NEAR(r.size.width, c.expected.size.width, 1e-9);
    EXPECT_NEAR(r.size.height, c.expected.size.height, 1e-9);
  }
  EXPECT_EQ(HeartDraw::resizingBehavior(3), R::center);
  EXPECT_EQ(HeartDraw::resizingBehavior(4), std::nullopt);
  EXPECT_EQ(HeartDraw::resizingBehavior(-1), std::nullopt);
}

// Writes each preset's toast to /tmp for a person to look at (set
// DROSIL_TOAST_SCREENSHOTS to a folder to enable).
TEST_F(ToastTest, RendersEachPreset) {
  const char* folder = std::getenv("DROSIL_TOAST_SCREENSHOTS");
  if (!folder) GTEST_SKIP() << "DROSIL_TOAST_SCREENSHOTS not set";
  window->setBackgroundColor(UIColor::fromRGBA(0.35, 0.55, 0.8));
  const std::vector<std::pair<std::string, ToastAlertIconPreset>> presets{
      {"done", ToastAlertIconPreset::done}, {"error", ToastAlertIconPreset::error},
      {"heart", ToastAlertIconPreset::heart}, {"spinner", ToastAlertIconPreset::spinner}};
  for (const auto& [name, preset] : presets) {
    auto toast = ToastAlertView::make(name == "heart" ? "Feedback Sent" : "Image Saved",
                                      std::string("Tap to dismiss"), preset);
    toast->present(ToastAlertHaptic::none);
    advanceTo(elapsed + 0.6);  // in, and the icon stroked
    ASSERT_TRUE(window->renderToPNGFile(std::string(folder) + "/toast-" + name + ".png", 1));
    toast->removeFromSuperview();
  }
}
