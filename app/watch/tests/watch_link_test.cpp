// The phone's side of the watch link, with the watch played by
// os::WatchSimulator.
#include "app/watch/watch_link.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/screens/app_delegate.h"
#include "app/screens/new_landing_view_controller.h"
#include "app/tests/app_test_support.h"
#include "app/watch/watch_photo_requests.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"

namespace {

using drosil::testing::AppTest;
using os::WatchSimulator;

class WatchLinkTest : public AppTest {
 protected:
  WatchLinkTest() {
    auto center = os::NotificationCenter::defaultCenter();
    for (const char* name : {kWatchChangeZoomCommand, kWatchTakePhotoCommand, kWatchFlipCameraCommand,
                             kRefreshTheWatchAppNotification}) {
      center->addObserver(
          this,
          [this, name](const os::Notification&) {
            std::lock_guard lock(mutex_);
            posted_.push_back(name);
            postedOnMain_ = postedOnMain_ || os::DispatchQueue::isMainThread();
          },
          name, nullptr);
    }
    session_->setDelegate(std::weak_ptr<WCSessionDelegate>(delegate_));
    session_->activateSession();
    drain();
  }
  ~WatchLinkTest() override { os::NotificationCenter::defaultCenter()->removeObserver(this); }

  std::vector<std::string> takePosted() {
    drain();
    std::lock_guard lock(mutex_);
    return std::exchange(posted_, {});
  }
  std::vector<os::Dictionary> outstanding() const {
    std::vector<os::Dictionary> out;
    for (const auto& transfer : session_->outstandingUserInfoTransfers()) out.push_back(transfer->userInfo());
    return out;
  }

  const std::shared_ptr<AppDelegate> delegate_ = std::make_shared<AppDelegate>();
  const std::shared_ptr<WCSession> session_ = delegate_->watchSession();
  std::mutex mutex_;
  std::vector<std::string> posted_;  // guarded by mutex_
  bool postedOnMain_ = false;        // guarded by mutex_
};

TEST_F(WatchLinkTest, ReceivedCommandsArePostedInOrderOnTheSessionQueue) {
  const struct {
    os::Dictionary userInfo;
    std::vector<std::string> posted;
  } cases[] = {
      {{{"takePhoto", os::Value(1)}, {"flipCamera", os::Value(1)}}, {"takePhoto", "flipCamera"}},
      {{{"flipCamera", os::Value(true)}, {"changeZoom", os::Value("")}, {"takePhoto", os::Value(0)}},
       {"changeZoom", "takePhoto", "flipCamera"}},
      {{{"zoom", os::Value(2)}, {"wbValue", os::Value("5000K")}}, {}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    WatchSimulator::sendUserInfo(c.userInfo);
    EXPECT_EQ(takePosted(), c.posted);
  }
  std::lock_guard lock(mutex_);
  EXPECT_FALSE(postedOnMain_);
}

TEST_F(WatchLinkTest, MessagesAreNeitherHandledNorAnswered) {
  bool replied = false;
  WatchSimulator::sendMessage({{"takePhoto", os::Value(1)}}, [&](const os::Dictionary&) { replied = true; });
  EXPECT_TRUE(takePosted().empty());
  EXPECT_FALSE(replied);
}

TEST_F(WatchLinkTest, BecomingReachableResendsTheLastTransferAndRefreshes) {
  // Nothing outstanding: only the refresh.
  WatchSimulator::setReachable(true);
  EXPECT_EQ(takePosted(), std::vector<std::string>{kRefreshTheWatchAppNotification});
  EXPECT_TRUE(outstanding().empty());

  // Going away does nothing at all.
  session_->transferUserInfo(watchZoomPayload(2.0));
  session_->transferUserInfo(watchClearPayload());
  WatchSimulator::setReachable(false);
  EXPECT_TRUE(takePosted().empty());
  EXPECT_EQ(outstanding().size(), 2u);

  // Back again: the last one is queued once more and none is cancelled.
  WatchSimulator::setReachable(true);
  EXPECT_EQ(takePosted(), std::vector<std::string>{kRefreshTheWatchAppNotification});
  EXPECT_EQ(outstanding(), (std::vector<os::Dictionary>{watchZoomPayload(2.0), watchClearPayload(),
                                                        watchClearPayload()}));
}

TEST_F(WatchLinkTest, ClearWatchCancelsWhatIsQueuedAndSendsAnEmptyReading) {
  auto reading = session_->transferUserInfo(watchReadingPayload("5433K", os::Data(), 1.0));
  auto zoom = session_->transferUserInfo(watchZoomPayload(3.0));
  delegate_->clearWatch();
  EXPECT_FALSE(reading->isTransferring());
  EXPECT_FALSE(zoom->isTransferring());
  EXPECT_EQ(WatchSimulator::deliverUserInfoTransfers(),
            (std::vector<os::Dictionary>{os::Dictionary{{"wbValue", os::Value("")}}}));
}

TEST_F(WatchLinkTest, PayloadsCarryTheContractKeysAndKinds) {
  const os::Data png(std::vector<uint8_t>{0x89, 'P', 'N', 'G'});
  const os::Dictionary full = watchFullPayload("6500K", -200.0, png, 2.0);
  EXPECT_EQ(full.size(), 4u);
  EXPECT_EQ(full.at("wbValue"), os::Value("6500K"));
  EXPECT_EQ(full.at("watchSlider"), os::Value(png));
  for (const char* key : {"compensationValue", "zoomValue"}) {
    ASSERT_TRUE(full.at(key).isNumber()) << key;
    EXPECT_EQ(full.at(key).number()->kind(), os::Number::Kind::Double) << key;
  }
  EXPECT_EQ(full.at("compensationValue"), os::Value(-200.0));
  EXPECT_EQ(full.at("zoomValue"), os::Value(2.0));

  const os::Dictionary reading = watchReadingPayload("6500K", png, 2.0);
  EXPECT_EQ(reading.size(), 3u);
  EXPECT_FALSE(reading.contains(kWatchCompensationValueKey));
  EXPECT_EQ(watchZoomPayload(4.0), (os::Dictionary{{"zoomValue", os::Value(4.0)}}));
}

// A watch request used to be a bare flag: a request whose capture never
// started, or came back without a picture, stayed set and made the next
// on-screen photo a save instead of a preview.
TEST(WatchPhotoRequestsTest, ARequestCountsOnlyForTheCaptureItStarted) {
  WatchPhotoRequests requests;
  EXPECT_FALSE(requests.takeRequest(7));

  requests.markRequested(7);
  EXPECT_TRUE(requests.hasPendingRequest());
  EXPECT_FALSE(requests.takeRequest(8));  // an on-screen capture meanwhile is previewed
  EXPECT_TRUE(requests.takeRequest(7));   // the watch's photo, with or without data
  EXPECT_FALSE(requests.hasPendingRequest());
  EXPECT_FALSE(requests.takeRequest(9));  // nothing left to turn the next one into a save
}

}  // namespace
