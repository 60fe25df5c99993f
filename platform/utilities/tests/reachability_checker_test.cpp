#include "platform/utilities/reachability_checker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "os/foundation/system_log.h"
#include "os/testing/network_namespace.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/network.h"

namespace {

using os::SCNetworkReachabilityFlags;

class RecordingDelegate : public DAZReachabilityDelegate {
 public:
  void reachability(DAZReachabilityChecker&, DAZReachabilityStatus status) override { statuses.push_back(status); }
  std::vector<DAZReachabilityStatus> statuses;
};

// A substitute system: counts calls, can fail on purpose, and keeps the
// callback so a test can deliver flags.
struct FakeSystem {
  int creates = 0, schedules = 0, unschedules = 0, releases = 0;
  bool failSchedule = false;
  os::SCNetworkReachabilityCallBack callback;

  DAZReachabilityApi api() {
    return DAZReachabilityApi{
        .createWithNameFn = [this](const std::string& host) {
          ++creates;
          return os::SCNetworkReachabilityCreateWithName(host);
        },
        .setCallbackFn = [this](const os::SCNetworkReachabilityRef&, os::SCNetworkReachabilityCallBack cb) {
          callback = std::move(cb);
          return true;
        },
        .scheduleWithRunLoopFn = [this](const os::SCNetworkReachabilityRef&, os::RunLoop&,
                                        const std::string& mode) {
          EXPECT_EQ(mode, os::kRunLoopCommonModes);
          ++schedules;
          return !failSchedule;
        },
        .unscheduleFromRunLoopFn = [this](const os::SCNetworkReachabilityRef&, os::RunLoop&,
                                          const std::string&) {
          ++unschedules;
          return true;
        },
        .releaseFn = [this](const os::SCNetworkReachabilityRef&) { ++releases; },
    };
  }
  void deliver(SCNetworkReachabilityFlags flags) { callback(nullptr, flags); }
};

class ReachabilityCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAZLoggerTEST_reset();
    DAZSetLoggerLevel(DAZLoggerLevel::Debug);
  }
  void TearDown() override {
    os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
    os::RunLoop::main().runUntilIdle();
    DAZLoggerTEST_flush();
    DAZLoggerTEST_reset();
  }
  std::vector<std::string> logLines() {
    DAZLoggerTEST_flush();
    std::vector<std::string> out;
    for (const auto& r : capture_.records()) {
      if (r.category == kDAZReachabilityLogCategory) out.push_back(r.message);
    }
    return out;
  }

  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  os::LogCapture capture_;
};

TEST_F(ReachabilityCheckerTest, EmptyHostIsRefused) {
  EXPECT_EQ(DAZReachabilityChecker::initWithReachabilityDelegate(delegate_, ""), nullptr);
  EXPECT_EQ(logLines(), std::vector<std::string>{" - [DAZReachability][I-REA902001] Invalid host specified"});
}

TEST_F(ReachabilityCheckerTest, StatusForFlags) {
  using S = DAZReachabilityStatus;
  const struct {
    SCNetworkReachabilityFlags flags;
    S status;
  } cases[] = {
      {0, S::NotReachable},
      {0x40000, S::NotReachable},
      {0x2, S::ViaWifi},
      {0x2 | 0x40000, S::ViaCellular},
      {0x2 | 0x4 | 0x8, S::ViaWifi},
      {0x2 | 0x4 | 0x20, S::ViaWifi},
      {0x2 | 0x4 | 0x8 | 0x40000, S::ViaCellular},
      {0x2 | 0x4 | 0x8 | 0x10, S::NotReachable},
      {0x2 | 0x4, S::NotReachable},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DAZReachabilityChecker::statusForFlags(c.flags), c.status) << std::hex << c.flags;
  }
}

TEST_F(ReachabilityCheckerTest, ReportsChangesOnceAndStopsSilently) {
  FakeSystem system;
  auto checker = DAZReachabilityChecker::initWithReachabilityDelegate(delegate_, "api.example.test");
  ASSERT_NE(checker, nullptr);
  checker->setReachabilityApi(system.api());
  EXPECT_FALSE(checker->isActive());
  ASSERT_TRUE(checker->start());
  ASSERT_TRUE(checker->start());
  EXPECT_EQ(system.creates, 1);
  EXPECT_TRUE(checker->isActive());

  system.deliver(0x2);
  system.deliver(0x2 | 0x4 | 0x8);  // same status: not told again
  system.deliver(0x2 | 0x40000);
  system.deliver(0);
  EXPECT_EQ(delegate_->statuses, (std::vector<DAZReachabilityStatus>{
                                     DAZReachabilityStatus::ViaWifi, DAZReachabilityStatus::ViaCellular,
                                     DAZReachabilityStatus::NotReachable}));
  EXPECT_EQ(checker->reachabilityStatus(), DAZReachabilityStatus::NotReachable);

  // The table cannot change while running.
  FakeSystem other;
  checker->setReachabilityApi(other.api());
  checker->stop();
  EXPECT_EQ(system.unschedules, 1);
  EXPECT_EQ(system.releases, 1);
  EXPECT_EQ(other.unschedules, 0);
  EXPECT_EQ(checker->reachabilityStatus(), DAZReachabilityStatus::Unknown);
  EXPECT_EQ(delegate_->statuses.size(), 3u);

  EXPECT_EQ(logLines(), (std::vector<std::string>{
                            " - [DAZReachability][I-REA902003] Monitoring the network status",
                            " - [DAZReachability][I-REA902003] Monitoring the network status",
                            " - [DAZReachability][I-REA902004] Network status has changed. Code:2, status:Connected",
                            " - [DAZReachability][I-REA902004] Network status has changed. Code:3, status:Connected",
                            " - [DAZReachability][I-REA902004] Network status has changed. Code:1, status:Disconnected",
                            " - [DAZReachability][I-REA902000] Cannot change reachability API while reachability is "
                            "running. Call stop first.",
                        }));
}

TEST_F(ReachabilityCheckerTest, FailedSchedulingReleasesTheReference) {
  FakeSystem system;
  system.failSchedule = true;
  auto checker = DAZReachabilityChecker::initWithReachabilityDelegate(delegate_, "api.example.test");
  checker->setReachabilityApi(system.api());
  EXPECT_FALSE(checker->start());
  EXPECT_FALSE(checker->isActive());
  EXPECT_EQ(system.releases, 1);
  EXPECT_EQ(logLines(), std::vector<std::string>{" - [DAZReachability][I-REA902002] Failed to start reachability handle"});
}

TEST_F(ReachabilityCheckerTest, WatchesTheHostThroughTheSystemOnTheMainThread) {
  SCNetworkReachabilityFlags flags = os::kSCNetworkReachabilityFlagsReachable;
  os::SCNetworkReachabilityTEST_setFlagsProvider([&](const std::string&) { return flags; });
  auto checker = DAZReachabilityChecker::initWithReachabilityDelegate(delegate_, "api.example.test");
  ASSERT_TRUE(checker->start());
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(delegate_->statuses, std::vector<DAZReachabilityStatus>{DAZReachabilityStatus::ViaWifi});

  flags |= os::kSCNetworkReachabilityFlagsIsWWAN;
  os::SCNetworkReachabilityRecheck();
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(checker->reachabilityStatus(), DAZReachabilityStatus::ViaCellular);

  // A cleared delegate hears nothing more; a destroyed checker stops.
  checker->setReachabilityDelegate({});
  flags = 0;
  os::SCNetworkReachabilityRecheck();
  os::RunLoop::main().runUntilIdle();
  EXPECT_EQ(delegate_->statuses.size(), 2u);
  EXPECT_EQ(checker->reachabilityStatus(), DAZReachabilityStatus::NotReachable);
  checker.reset();
  flags = os::kSCNetworkReachabilityFlagsReachable;
  os::SCNetworkReachabilityRecheck();
  os::RunLoop::main().runUntilIdle();
}

// The network client in a network of its own: not connected while loopback
// is down, connected once it comes up, with nobody asking for a recheck.
// Exit code 0 when that holds.
int networkFollowsLoopbackScenario() {
  if (!os::testing::enterPrivateNetwork()) return 10;
  auto network = DAZNetwork::initWithReachabilityHost("localhost");
  if (!network) return 11;
  auto runUntil = [](const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (std::chrono::steady_clock::now() > limit) return false;
      os::RunLoop::main().runOnce(os::kDefaultRunLoopMode, os::DispatchTime::fromNow(0.1));
    }
    return true;
  };
  if (!runUntil([&] { return network->reachabilityChecker()->reachabilityStatus() != DAZReachabilityStatus::Unknown; })) {
    return 12;
  }
  if (network->isNetworkConnected()) return 13;
  if (!os::testing::setLoopbackUp(true)) return 14;
  if (!runUntil([&] { return network->isNetworkConnected(); })) return 15;
  return 0;
}

// isNetworkConnected kept its start-up value: the interfaces were never
// watched after start.
TEST(DAZNetworkReachabilityTest, ConnectedFollowsTheInterfaces) {
  if (!os::testing::canEnterPrivateNetwork()) GTEST_SKIP() << "this host allows no network namespace of our own";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(networkFollowsLoopbackScenario()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
