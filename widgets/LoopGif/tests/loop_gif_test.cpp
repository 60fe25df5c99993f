#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/dispatch/manual_clock.h"
#include "os/testing/test_http_server.h"
#include "widgets/LoopGif/loop_gif.h"
#include "widgets/LoopGif/tests/gif_fixtures.h"

using gif_fixtures::makeGif;

namespace {

struct Events : LoopGifDelegate {
  std::vector<std::string> log;
  void gifDidStartWithSender(LoopGifImageView&) override { log.push_back("start"); }
  void gifDidLoopWithSender(LoopGifImageView&) override { log.push_back("loop"); }
  void gifDidStopWithSender(LoopGifImageView&) override { log.push_back("stop"); }
  void gifURLDidFinishWithSender(LoopGifImageView&) override { log.push_back("finish"); }
  void gifURLDidFailWithSender(LoopGifImageView&, const os::URL&, const std::optional<os::Error>& e) override {
    log.push_back("fail " + (e ? std::to_string(e->code()) : std::string("none")));
  }
};

std::shared_ptr<GifImage> tenStepGif() {
  // Ten frames of 0.1 s: refresh factor 6, ten steps.
  std::vector<gif_fixtures::Frame> frames;
  for (int i = 0; i < 10; ++i) frames.push_back({i % 4, 10});
  return *GifImage::imageWithGifData(makeGif(frames));
}

class PlaybackTest : public testing::Test {
 protected:
  void SetUp() override {
    window = std::make_shared<UIWindow>();
    window->makeKeyAndVisible();
    view = std::make_shared<LoopGifImageView>(CGRect{10, 10, 40, 30});
    view->setDelegate(events);
    window->addSubview(view);
  }
  void ticks(int n) { clock->advanceNanos(n * os::DisplayLink::kFrameNanos); }
  os::ManualClockScope clock;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<LoopGifImageView> view;
  std::shared_ptr<Events> events = std::make_shared<Events>();
  std::shared_ptr<LoopGifManager> manager = std::make_shared<LoopGifManager>(50);
};

}  // namespace

TEST_F(PlaybackTest, LoopCountTwoLoopsOnceThenStops) {
  auto gif = tenStepGif();
  ASSERT_EQ(gif->displayRefreshFactor(), 6);
  view->setGifImage(gif, manager, 2);
  EXPECT_EQ(events->log, std::vector<std::string>{"start"});
  EXPECT_NE(manager->TEST_timer(), nullptr);
  EXPECT_FALSE(view->TEST_frameCacheReady());  // two passes: no cache

  ticks(6);
  EXPECT_EQ(view->currentFrameIndex(), 1);
  ticks(54);  // one pass is 60 ticks
  EXPECT_EQ(view->currentFrameIndex(), 0);
  EXPECT_EQ(events->log, (std::vector<std::string>{"start", "loop"}));
  ticks(60);
  EXPECT_EQ(events->log, (std::vector<std::string>{"start", "loop", "stop"}));
  EXPECT_EQ(view->loopCount(), 0);
  EXPECT_FALSE(view->displaying());
  EXPECT_TRUE(view->isAnimatingGif());
  ticks(120);
  EXPECT_EQ(events->log.size(), 3u);
  EXPECT_EQ(view->currentFrameIndex(), 0);
  EXPECT_TRUE(manager->containsImageView(view));

  // Re-installing on a registered view resets it without a start event.
  view->setGifImage(gif, manager, -1);
  EXPECT_EQ(events->log.size(), 3u);
  ticks(1 + 60 * 3);  // the first tick only resumes displaying
  EXPECT_EQ(events->log, (std::vector<std::string>{"start", "loop", "stop", "loop", "loop", "loop"}));
}

TEST_F(PlaybackTest, FramesAndSteppingStayWithinTheOrder) {
  view->setGifImage(tenStepGif(), manager, -1);
  EXPECT_TRUE(view->TEST_frameCacheReady());
  EXPECT_EQ(view->TEST_frameCacheCount(), 10u);
  view->showFrameForIndexDelta(-1);
  EXPECT_EQ(view->currentFrameIndex(), 9);
  view->showFrameAtIndex(0);
  view->showFrameForIndexDelta(23);
  EXPECT_EQ(view->currentFrameIndex(), 3);
  EXPECT_EQ(view->frameAtIndex(1)->cgImage()->pixel(0, 0), (RGBA8{0, 255, 0, 255}));
  EXPECT_EQ(view->frameAtIndex(10)->cgImage(), nullptr);
  // A negative index read before the start of the display order.
  EXPECT_EQ(view->frameAtIndex(-1)->cgImage(), nullptr);
  view->showFrameAtIndex(-5);
  EXPECT_EQ(view->currentImage()->cgImage(), nullptr);
}

TEST_F(PlaybackTest, OffScreenViewsPauseAndDetachedStoppedViewsLeave) {
  view->setGifImage(tenStepGif(), manager, -1);
  view->setHidden(true);
  ticks(1);
  EXPECT_FALSE(view->displaying());
  EXPECT_FALSE(view->TEST_frameCacheReady());
  const int index = view->currentFrameIndex();
  ticks(30);
  EXPECT_EQ(view->currentFrameIndex(), index);
  view->setHidden(false);
  ticks(1);
  EXPECT_TRUE(view->displaying());
  EXPECT_TRUE(view->TEST_frameCacheReady());

  view->stopAnimatingGif();
  view->removeFromSuperview();
  ticks(1);
  EXPECT_FALSE(manager->containsImageView(view));
  ticks(1);  // nothing left: the link stops
  EXPECT_EQ(manager->TEST_timer(), nullptr);
}

TEST_F(PlaybackTest, MemoryBudgetDecidesCaching) {
  auto sized = [](int64_t mb) {
    auto gif = tenStepGif();
    gif->setImageSize(mb);
    return gif;
  };
  auto small = std::make_shared<LoopGifManager>(10);
  std::vector<std::shared_ptr<LoopGifImageView>> views;
  for (int64_t mb : {6, 4, 1}) {
    auto v = std::make_shared<LoopGifImageView>(CGRect{0, 0, 10, 10});
    window->addSubview(v);
    v->setGifImage(sized(mb), small, -1);
    views.push_back(v);
    if (mb == 4) {
      EXPECT_TRUE(small->haveCache());  // 10 is within 10
    }
  }
  EXPECT_FALSE(small->haveCache());
  EXPECT_FALSE(views[0]->TEST_frameCacheReady());
  EXPECT_FALSE(small->addImageView(views[0]));  // counted once
  EXPECT_EQ(small->TEST_totalGifSize(), 11);
  small->deleteImageView(views[2]);
  EXPECT_TRUE(small->haveCache());
  EXPECT_TRUE(views[0]->TEST_frameCacheReady());
}

TEST(LoopGifUrlTest, SecondLoadComesFromTheCache) {
  os::testing::TestHTTPServer server;
  server.setResponse("/anim.gif", os::testing::ScriptedResponse::ok(makeGif({{0, 10}, {1, 10}}).toString()));
  server.setResponse("/broken.gif", os::testing::ScriptedResponse::ok(makeGif({{0, 10}}).subdata(0, 13).toString()));
  auto window = std::make_shared<UIWindow>();
  auto manager = std::make_shared<LoopGifManager>(50);
  auto events = std::make_shared<Events>();
  auto url = *os::URL::URLWithString(server.URLForPath("/anim.gif"));

  auto first = std::make_shared<LoopGifImageView>(CGRect{0, 0, 20, 20});
  window->addSubview(first);
  first->setDelegate(events);
  auto task = first->setGifFromURL(url, manager, -1, os::URLSession::sharedSession(), true, nullptr);
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(first->subviews().size(), 1u);  // the loader
  ASSERT_TRUE(os::testing::runMainUntil([&] { return !events->log.empty() && events->log.back() == "finish"; }));
  EXPECT_TRUE(first->subviews().empty());
  EXPECT_EQ(events->log, (std::vector<std::string>{"start", "start", "finish"}));

  auto second = std::make_shared<LoopGifImageView>(CGRect{0, 0, 20, 20});
  window->addSubview(second);
  second->setDelegate(events);
  events->log.clear();
  EXPECT_EQ(second->setGifFromURL(url, manager, -1, os::URLSession::sharedSession(), true, nullptr), nullptr);
  EXPECT_EQ(events->log, (std::vector<std::string>{"start", "start", "finish"}));
  EXPECT_TRUE(second->subviews().empty());
  EXPECT_EQ(server.requestCount(), 1u);

  events->log.clear();
  first->setGifFromURL(*os::URL::URLWithString(server.URLForPath("/broken.gif")), manager, -1,
                       os::URLSession::sharedSession(), false, nullptr);
  ASSERT_TRUE(os::testing::runMainUntil([&] { return !events->log.empty(); }));
  EXPECT_EQ(events->log, std::vector<std::string>{"fail 1"});  // noImages
  manager->clear();
}
