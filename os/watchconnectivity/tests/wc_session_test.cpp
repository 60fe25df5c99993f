#include "os/watchconnectivity/wc_session.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"

namespace {

using os::WatchSimulator;

// Writes down every callback as a line, plus what came with it.
class RecordingDelegate : public WCSessionDelegate {
 public:
  void sessionActivationDidCompleteWithStateError(const std::shared_ptr<WCSession>&, WCSessionActivationState state,
                                                  const std::optional<os::Error>& error) override {
    record("activated " + std::to_string(int(state)) + (error ? " error " + std::to_string(error->code()) : ""));
  }
  void sessionDidBecomeInactive(const std::shared_ptr<WCSession>&) override { record("inactive"); }
  void sessionDidDeactivate(const std::shared_ptr<WCSession>&) override { record("deactivated"); }
  void sessionWatchStateDidChange(const std::shared_ptr<WCSession>&) override { record("watch state"); }
  void sessionReachabilityDidChange(const std::shared_ptr<WCSession>& s) override {
    record(s->isReachable() ? "reachable" : "unreachable");
  }
  void sessionDidReceiveUserInfo(const std::shared_ptr<WCSession>&, const os::Dictionary& userInfo) override {
    std::lock_guard lock(mutex);
    received.push_back(userInfo);
    events.push_back("user info");
  }
  void sessionDidReceiveMessageReplyHandler(const std::shared_ptr<WCSession>&, const os::Dictionary& message,
                                            std::function<void(const os::Dictionary&)> reply) override {
    std::lock_guard lock(mutex);
    received.push_back(message);
    events.push_back("message");
    if (replyToMessages) reply({{"ok", os::Value(true)}});
  }
  void sessionDidFinishUserInfoTransferError(const std::shared_ptr<WCSession>&,
                                             const std::shared_ptr<WCSessionUserInfoTransfer>& transfer,
                                             const std::optional<os::Error>& error) override {
    record("finished " + transfer->userInfo().begin()->first + (error ? " error " + std::to_string(error->code()) : ""));
  }

  std::vector<std::string> take() {
    os::dispatch::drainUntilIdle();
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
  }

  std::mutex mutex;
  std::vector<std::string> events;
  std::vector<os::Dictionary> received;
  bool onMainThread = false;
  bool onOtherQueue = false;
  bool replyToMessages = false;

 private:
  void record(std::string line) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(line));
    onMainThread = onMainThread || os::DispatchQueue::isMainThread();
    onOtherQueue = onOtherQueue || os::DispatchQueue::currentLabel() != WCSession::defaultSession()->delegateQueue()->label();
  }
};

class WCSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WatchSimulator::reset();
    session_->setDelegate(delegate_);
  }
  void TearDown() override {
    os::dispatch::drainUntilIdle();
    WatchSimulator::reset();
  }
  std::shared_ptr<WCSession> session_ = WCSession::defaultSession();
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(WCSessionTest, PlayingTheWatch) {
  ASSERT_TRUE(WCSession::isSupported());
  EXPECT_EQ(WCSession::defaultSession(), session_);
  session_->activateSession();
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"activated 2"});
  EXPECT_EQ(session_->activationState(), WCSessionActivationState::Activated);
  EXPECT_TRUE(session_->isPaired());
  EXPECT_TRUE(session_->isWatchAppInstalled());
  EXPECT_FALSE(session_->isReachable());

  WatchSimulator::setReachable(true);
  WatchSimulator::setReachable(true);  // no change, no callback
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"reachable"});
  EXPECT_TRUE(session_->isReachable());

  // Two readings queue up; the first is cancelled, the watch gets the second.
  auto first = session_->transferUserInfo({{"wbValue", os::Value("5000K")}});
  auto second = session_->transferUserInfo({{"zoomValue", os::Value(2.0)}});
  ASSERT_EQ(session_->outstandingUserInfoTransfers().size(), 2u);
  EXPECT_TRUE(first->isTransferring());
  first->cancel();
  EXPECT_FALSE(first->isTransferring());
  ASSERT_EQ(session_->outstandingUserInfoTransfers().size(), 1u);
  EXPECT_EQ(session_->outstandingUserInfoTransfers()[0], second);

  auto delivered = WatchSimulator::deliverUserInfoTransfers();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].at("zoomValue"), os::Value(2.0));
  EXPECT_TRUE(session_->outstandingUserInfoTransfers().empty());
  EXPECT_FALSE(second->isTransferring());
  second->cancel();  // too late: no effect
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"finished zoomValue"});

  // The watch answers with commands and a message.
  WatchSimulator::sendUserInfo({{"takePhoto", os::Value(1)}, {"flipCamera", os::Value(1)}});
  bool replied = false;
  WatchSimulator::sendMessage({{"ping", os::Value(1)}}, [&](const os::Dictionary&) { replied = true; });
  EXPECT_EQ(delegate_->take(), (std::vector<std::string>{"user info", "message"}));
  ASSERT_EQ(delegate_->received.size(), 2u);
  EXPECT_EQ(delegate_->received[0].size(), 2u);
  EXPECT_TRUE(delegate_->received[0].contains("takePhoto"));
  EXPECT_FALSE(replied);

  WatchSimulator::setReachable(false);
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"unreachable"});
  EXPECT_FALSE(delegate_->onMainThread);
  EXPECT_FALSE(delegate_->onOtherQueue);
}

TEST_F(WCSessionTest, TransfersThatCannotBeQueuedFail) {
  // Before activation.
  auto early = session_->transferUserInfo({{"wbValue", os::Value("")}});
  EXPECT_FALSE(early->isTransferring());
  EXPECT_TRUE(session_->outstandingUserInfoTransfers().empty());
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"finished wbValue error 7004"});

  session_->activateSession();
  WatchSimulator::setWatchAppInstalled(false);
  session_->transferUserInfo({{"wbValue", os::Value("")}});
  WatchSimulator::setPaired(false);
  session_->transferUserInfo({{"wbValue", os::Value("")}});
  EXPECT_EQ(delegate_->take(), (std::vector<std::string>{"activated 2", "watch state", "finished wbValue error 7006",
                                                         "watch state", "finished wbValue error 7005"}));
  // An unpaired watch is never in reach.
  WatchSimulator::setReachable(true);
  EXPECT_FALSE(session_->isReachable());
  EXPECT_TRUE(delegate_->take().empty());
}

TEST_F(WCSessionTest, UnsupportedDeviceAndSwitchingWatches) {
  WatchSimulator::setSupported(false);
  EXPECT_FALSE(WCSession::isSupported());
  session_->activateSession();
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"activated 0 error 7002"});
  EXPECT_EQ(session_->activationState(), WCSessionActivationState::NotActivated);

  WatchSimulator::setSupported(true);
  session_->activateSession();
  WatchSimulator::setReachable(true);
  EXPECT_EQ(delegate_->take(), (std::vector<std::string>{"activated 2", "reachable"}));
  WatchSimulator::switchWatch();
  EXPECT_EQ(delegate_->take(), (std::vector<std::string>{"inactive", "deactivated"}));
  EXPECT_FALSE(session_->isReachable());

  // A delegate that has gone away is not called.
  delegate_.reset();
  session_->activateSession();
  os::dispatch::drainUntilIdle();
}

}  // namespace
