#include <gtest/gtest.h>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/device_profile.h"
#include "os/uikit/uikit.h"

namespace {

class TouchTest : public testing::Test {
 protected:
  void SetUp() override {
    window = std::make_shared<UIWindow>(CGRect{0, 0, 320, 480});
    button = std::make_shared<UIButton>(CGRect{100, 100, 80, 40});
    button->addTarget([this](UIControl&) { ++taps; }, UIControlEvents::TouchUpInside);
    window->addSubview(button);
  }
  os::ManualClockScope clock;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIButton> button;
  int taps = 0;
};

class Recorder : public UIScrollViewDelegate {
 public:
  void scrollViewDidScroll(UIScrollView& s) override { offsets.push_back(s.contentOffset().x); }
  void scrollViewWillBeginDragging(UIScrollView&) override { events.push_back("begin"); }
  void scrollViewDidEndDragging(UIScrollView& s, bool decelerate) override {
    events.push_back(std::string(decelerate ? "end+decel" : "end") + (s.isDragging() ? "(dragging)" : ""));
  }
  void scrollViewDidEndDecelerating(UIScrollView&) override { events.push_back("stopped"); }
  void scrollViewDidEndScrollingAnimation(UIScrollView&) override { events.push_back("animated"); }
  std::vector<double> offsets;
  std::vector<std::string> events;
};

}  // namespace

TEST_F(TouchTest, TapInsideButtonFiresOnceOutsideNever) {
  window->tap({140, 120});
  EXPECT_EQ(taps, 1);
  for (CGPoint outside : {CGPoint{99, 120}, CGPoint{180, 120}, CGPoint{140, 140}, CGPoint{10, 10}, CGPoint{-5, 500}})
    window->tap(outside);
  EXPECT_EQ(taps, 1);
  // Pressed inside, released outside: no tap, and a disabled or hidden button takes none.
  window->sendTouch({140, 120}, UITouchPhase::Began);
  EXPECT_TRUE(button->isHighlighted());
  window->sendTouch({300, 300}, UITouchPhase::Moved);
  window->sendTouch({300, 300}, UITouchPhase::Ended);
  EXPECT_FALSE(button->isHighlighted());
  button->setEnabled(false);
  window->tap({140, 120});
  button->setEnabled(true);
  button->setHidden(true);
  window->tap({140, 120});
  EXPECT_EQ(taps, 1);
  // A move or an end with no touch down is dropped.
  window->sendTouch({140, 120}, UITouchPhase::Ended);
  EXPECT_EQ(taps, 1);
}

TEST_F(TouchTest, TapRecognizerOnAncestorLeavesButtonsAlone) {
  int recognized = 0;
  auto tap = std::make_shared<UITapGestureRecognizer>([&](UIGestureRecognizer& r) {
    if (r.state() == UIGestureRecognizerState::Ended) ++recognized;
  });
  window->addGestureRecognizer(tap);
  window->tap({140, 120});  // on the button
  EXPECT_EQ(taps, 1);
  EXPECT_EQ(recognized, 0);
  window->tap({20, 20});  // elsewhere
  EXPECT_EQ(recognized, 1);
  // A touch that wanders off is no tap.
  window->sendTouch({20, 20}, UITouchPhase::Began);
  window->sendTouch({60, 20}, UITouchPhase::Moved);
  window->sendTouch({60, 20}, UITouchPhase::Ended);
  EXPECT_EQ(recognized, 1);

  struct Veto : UIGestureRecognizerDelegate {
    bool gestureRecognizerShouldBegin(UIGestureRecognizer&) override { return false; }
  };
  auto veto = std::make_shared<Veto>();
  tap->setDelegate(veto);
  window->tap({20, 20});
  EXPECT_EQ(recognized, 1);
  EXPECT_EQ(tap->state(), UIGestureRecognizerState::Possible);
}

TEST_F(TouchTest, LongPressBeginsAfterItsDurationAndCancelsTheButton) {
  std::vector<UIGestureRecognizerState> states;
  auto press = std::make_shared<UILongPressGestureRecognizer>([&](UIGestureRecognizer& r) { states.push_back(r.state()); });
  press->setMinimumPressDuration(0.5);
  button->addGestureRecognizer(press);
  int cancels = 0;
  button->addTarget([&](UIControl&) { ++cancels; }, UIControlEvents::TouchCancel);

  window->sendTouch({140, 120}, UITouchPhase::Began);
  clock->advance(0.4);
  EXPECT_TRUE(states.empty());
  clock->advance(0.1);
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0], UIGestureRecognizerState::Began);
  EXPECT_EQ(cancels, 1);
  window->sendTouch({150, 120}, UITouchPhase::Moved);
  window->sendTouch({150, 120}, UITouchPhase::Ended);
  EXPECT_EQ(states, (std::vector{UIGestureRecognizerState::Began, UIGestureRecognizerState::Changed,
                                 UIGestureRecognizerState::Ended}));
  EXPECT_EQ(taps, 0);

  // Lifted early: a plain tap, no press.
  states.clear();
  window->sendTouch({140, 120}, UITouchPhase::Began);
  clock->advance(0.2);
  window->sendTouch({140, 120}, UITouchPhase::Ended);
  clock->advance(1);
  EXPECT_TRUE(states.empty());
  EXPECT_EQ(taps, 1);
}

TEST_F(TouchTest, ScrollViewAnimatesAndDragsWithDelegateCallbacks) {
  auto scroll = std::make_shared<UIScrollView>(CGRect{0, 200, 200, 50});
  scroll->setContentSize({1200, 50});
  scroll->setBounces(false);
  auto recorder = std::make_shared<Recorder>();
  scroll->setDelegate(recorder);
  window->addSubview(scroll);

  scroll->setContentOffset({400, 0}, true);
  EXPECT_EQ(scroll->contentOffset().x, 0);
  clock->advance(0.5);
  EXPECT_EQ(scroll->contentOffset(), (CGPoint{400, 0}));
  EXPECT_GT(recorder->offsets.size(), 5u);
  EXPECT_TRUE(std::is_sorted(recorder->offsets.begin(), recorder->offsets.end()));
  EXPECT_EQ(recorder->events, std::vector<std::string>{"animated"});

  // A slow drag ends without deceleration; the offset never leaves the content.
  recorder->events.clear();
  window->sendTouch({100, 225}, UITouchPhase::Began);
  clock->advance(0.5);
  window->sendTouch({90, 225}, UITouchPhase::Moved);
  clock->advance(0.5);
  window->sendTouch({90, 225}, UITouchPhase::Ended);
  EXPECT_EQ(scroll->contentOffset().x, 410);
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"begin", "end"}));

  // A fast flick decelerates to a stop at the end of the content.
  recorder->events.clear();
  window->sendTouch({150, 225}, UITouchPhase::Began);
  clock->advance(0.016);
  window->sendTouch({50, 225}, UITouchPhase::Moved);
  window->sendTouch({50, 225}, UITouchPhase::Ended);
  EXPECT_TRUE(scroll->isDecelerating());
  clock->advance(5);
  EXPECT_FALSE(scroll->isDecelerating());
  EXPECT_EQ(scroll->contentOffset().x, 1000);
  EXPECT_EQ(recorder->events, (std::vector<std::string>{"begin", "end+decel", "stopped"}));
}

TEST_F(TouchTest, SliderUsesOverriddenGeometryAndTracksTouches) {
  struct Thin : UISlider {
    using UISlider::UISlider;
    CGRect trackRectForBounds(const CGRect& b) const override { return {0, UISlider::trackRectForBounds(b).minY(), b.width(), 8}; }
    CGRect thumbRectForBounds(const CGRect&, const CGRect& t, float v) const override {
      float m = maximumValue() == 0 ? 1 : maximumValue();
      return {std::ceil(t.width() * (v / m)) - 4, t.midY() - 4, 8, 8};
    }
  };
  auto slider = std::make_shared<Thin>(CGRect{0, 300, 200, 31});
  slider->setMaximumValue(37);
  window->addSubview(slider);
  std::vector<float> values;
  slider->addTarget([&](UIControl& c) { values.push_back(static_cast<UISlider&>(c).value()); }, UIControlEvents::ValueChanged);
  window->sendTouch({100, 315}, UITouchPhase::Began);
  window->sendTouch({400, 315}, UITouchPhase::Moved);  // beyond the end: clamped
  window->sendTouch({400, 315}, UITouchPhase::Ended);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_FLOAT_EQ(values[0], 18.5f);
  EXPECT_FLOAT_EQ(values[1], 37.f);
  struct Case { float v; double x; } cases[] = {{0, -4}, {37, 196}, {18.5f, 96}, {1, 2}};
  for (auto c : cases) EXPECT_EQ(slider->thumbRectForBounds({}, slider->trackRectForBounds({0, 0, 200, 31}), c.v).origin.x, c.x);
  slider->setValue(NAN);
  EXPECT_FLOAT_EQ(slider->value(), 37.f);
  slider->setValue(-5, true);
  EXPECT_FLOAT_EQ(slider->value(), 0.f);
}

TEST_F(TouchTest, SliderWithTrackImagesSettles) {
  // Re-setting the same track image invalidated the slider's layout from its
  // own layoutSubviews, so a slider in a window laid out on every pass forever.
  auto slider = std::make_shared<UISlider>(CGRect{0, 300, 200, 31});
  auto image = std::make_shared<UIImage>();
  slider->setMinimumTrackImage(image, UIControlState::Normal);
  slider->setMaximumTrackImage(image, UIControlState::Normal);
  window->addSubview(slider);
  // The first pass adds the track and thumb views; the second must settle.
  for (int pass = 0; pass < 3 && slider->needsLayout(); ++pass) window->layoutIfNeeded();
  EXPECT_FALSE(slider->needsLayout());
}

TEST(LayoutTest, ConstraintsAutoresizingMarginsAndConversion) {
  auto root = std::make_shared<UIView>(CGRect{0, 0, 300, 200});
  auto centred = std::make_shared<UIView>();
  centred->setTranslatesAutoresizingMaskIntoConstraints(false);
  root->addSubview(centred);
  NSLayoutConstraint::activateConstraints({centred->widthAnchor().constraintEqualToConstant(100),
                                           centred->heightAnchor().constraintEqualToConstant(50),
                                           centred->centerXAnchor().constraintEqualToAnchor(root->centerXAnchor()),
                                           centred->centerYAnchor().constraintEqualToAnchor(root->centerYAnchor())});
  auto pinned = std::make_shared<UIView>();
  pinned->setTranslatesAutoresizingMaskIntoConstraints(false);
  root->addSubview(pinned);
  NSLayoutConstraint::activateConstraints({pinned->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(), 10),
                                           root->trailingAnchor().constraintEqualToAnchor(pinned->trailingAnchor(), 10),
                                           pinned->topAnchor().constraintEqualToAnchor(root->topAnchor()),
                                           pinned->heightAnchor().constraintEqualToConstant(20)});
  auto flexible = std::make_shared<UIView>(CGRect{0, 0, 300, 200});
  flexible->setAutoresizingMask(UIViewAutoresizing::FlexibleWidth | UIViewAutoresizing::FlexibleHeight);
  root->addSubview(flexible);
  root->layoutIfNeeded();
  EXPECT_EQ(centred->frame(), CGRect(100, 75, 100, 50));
  EXPECT_EQ(pinned->frame(), CGRect(10, 0, 280, 20));

  root->setFrame({0, 0, 400, 100});
  root->layoutIfNeeded();
  EXPECT_EQ(centred->frame(), CGRect(150, 25, 100, 50));
  EXPECT_EQ(flexible->frame(), CGRect(0, 0, 400, 100));

  centred->setTransform(CGAffineTransformMakeScale(2, 2));
  CGPoint p = centred->convertPointToView({0, 0}, root.get());
  EXPECT_EQ(p, (CGPoint{100, 0}));
  EXPECT_EQ(centred->convertPointFromView(p, root.get()), (CGPoint{0, 0}));
  EXPECT_EQ(centred->frame(), CGRect(100, 0, 200, 100));

  // The toast's margins: own margins only, no safe area, no superview's.
  auto window = std::make_shared<UIWindow>(CGRect{0, 0, 390, 844});
  window->setSafeAreaInsets({47, 0, 34, 0});
  auto top = std::make_shared<UIView>(CGRect{0, 0, 250, 100});
  window->addSubview(top);
  top->setLayoutMargins({23, 16, 23, 16});
  EXPECT_EQ(top->layoutMargins(), (UIEdgeInsets{70, 16, 23, 16}));
  top->setInsetsLayoutMarginsFromSafeArea(false);
  EXPECT_EQ(top->layoutMargins(), (UIEdgeInsets{23, 16, 23, 16}));
}

TEST(DeviceTest, ProfileTraitsAndFeedback) {
  os::DeviceProfile pad;
  pad.model = "iPad";
  pad.idiom = UIUserInterfaceIdiom::Pad;
  pad.screenWidth = 820;
  pad.screenHeight = 1180;
  pad.screenScale = 2;
  os::ScopedDeviceProfile scoped(pad);
  EXPECT_EQ(UIDevice::currentDevice()->model(), "iPad");
  EXPECT_EQ(UIScreen::mainScreen().scale(), 2);
  auto window = std::make_shared<UIWindow>();
  EXPECT_EQ(window->bounds().size, (CGSize{820, 1180}));
  EXPECT_EQ(window->traitCollection().horizontalSizeClass, UIUserInterfaceSizeClass::Regular);

  struct Watcher : UIView {
    int changes = 0;
    void traitCollectionDidChange(const UITraitCollection&) override { ++changes; }
  };
  auto watcher = std::make_shared<Watcher>();
  window->addSubview(watcher);  // its traits change on entering the window
  watcher->changes = 0;
  auto traits = window->windowTraitCollection();
  traits.userInterfaceStyle = UIUserInterfaceStyle::Dark;
  window->setTraitCollection(traits);
  EXPECT_EQ(watcher->changes, 1);
  EXPECT_EQ(watcher->traitCollection().userInterfaceStyle, UIUserInterfaceStyle::Dark);

  TEST_clearFeedbackEvents();
  UIImpactFeedbackGenerator(UIImpactFeedbackStyle::Light).impactOccurred();
  UINotificationFeedbackGenerator().notificationOccurred(UINotificationFeedbackType::Success);
  EXPECT_EQ(TEST_feedbackEvents(), (std::vector<UIFeedbackEvent>{{UIFeedbackEvent::Kind::Impact, 0, 1.0},
                                                                 {UIFeedbackEvent::Kind::Notification, 0, 1.0}}));

  auto app = UIApplication::sharedApplication();
  int expired = 0;
  auto id = app->beginBackgroundTask("upload", [&] { ++expired; });
  EXPECT_NE(id, UIBackgroundTaskInvalid);
  app->TEST_expireBackgroundTasks();
  app->TEST_expireBackgroundTasks();
  EXPECT_EQ(expired, 1);
  app->endBackgroundTask(id);
  app->endBackgroundTask(id);
  app->endBackgroundTask(UIBackgroundTaskInvalid);
  EXPECT_TRUE(app->TEST_activeBackgroundTaskNames().empty());
}
