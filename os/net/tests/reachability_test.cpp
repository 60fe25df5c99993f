#include "os/net/reachability.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "os/foundation/device_profile.h"
#include "os/testing/network_namespace.h"

namespace os {
namespace {

class ReachabilityTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
    RunLoop::main().runUntilIdle();
  }
};

TEST_F(ReachabilityTest, EmptyHostHasNoReference) {
  EXPECT_EQ(SCNetworkReachabilityCreateWithName(""), nullptr);
  SCNetworkReachabilityFlags flags = 99;
  EXPECT_FALSE(SCNetworkReachabilityGetFlags(nullptr, &flags));
  EXPECT_EQ(flags, 99u);
}

TEST_F(ReachabilityTest, LoopbackHostIsLocalWhenLoopbackIsUp) {
  const SCNetworkReachabilityFlags flags = SCNetworkReachabilityFlagsFromInterfaces("127.0.0.1");
  if (flags == 0) GTEST_SKIP() << "loopback interface is down";
  EXPECT_EQ(flags, kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsLocalAddress |
                       kSCNetworkReachabilityFlagsIsDirect);
  EXPECT_EQ(SCNetworkReachabilityFlagsFromInterfaces("localhost"), flags);
  // A remote name never counts the loopback interface.
  EXPECT_EQ(SCNetworkReachabilityFlagsFromInterfaces("example.org") & kSCNetworkReachabilityFlagsIsLocalAddress, 0u);
}

TEST_F(ReachabilityTest, ScheduledReferenceReportsInitialFlagsThenChangesOnly) {
  SCNetworkReachabilityFlags provided = kSCNetworkReachabilityFlagsReachable;
  SCNetworkReachabilityTEST_setFlagsProvider([&](const std::string& host) {
    return host == "api.example.test" ? provided : 0u;
  });
  auto ref = SCNetworkReachabilityCreateWithName("api.example.test");
  ASSERT_NE(ref, nullptr);
  SCNetworkReachabilityFlags flags = 0;
  ASSERT_TRUE(SCNetworkReachabilityGetFlags(ref, &flags));
  EXPECT_EQ(flags, kSCNetworkReachabilityFlagsReachable);

  std::vector<SCNetworkReachabilityFlags> seen;
  ASSERT_TRUE(SCNetworkReachabilitySetCallback(ref, [&](const SCNetworkReachabilityRef& target, auto f) {
    EXPECT_EQ(target, ref);
    EXPECT_TRUE(DispatchQueue::isMainThread());
    seen.push_back(f);
  }));
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(ref, RunLoop::main(), kRunLoopCommonModes));
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(seen, (std::vector<SCNetworkReachabilityFlags>{kSCNetworkReachabilityFlagsReachable}));

  SCNetworkReachabilityRecheck();  // nothing changed
  provided = kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN;
  SCNetworkReachabilityRecheck();
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen.back(), kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN);

  // After unscheduling no callback arrives, even for one already posted.
  provided = 0;
  SCNetworkReachabilityRecheck();
  ASSERT_TRUE(SCNetworkReachabilityUnscheduleFromRunLoop(ref, RunLoop::main(), kRunLoopCommonModes));
  EXPECT_FALSE(SCNetworkReachabilityUnscheduleFromRunLoop(ref, RunLoop::main(), kRunLoopCommonModes));
  RunLoop::main().runUntilIdle();
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(ReachabilityTest, TheZeroAddressFollowsTheDevicesNetworkOnAQueue) {
  sockaddr_in zero{};
  zero.sin_family = AF_INET;
  auto ref = SCNetworkReachabilityCreateWithAddress(reinterpret_cast<const sockaddr*>(&zero));
  ASSERT_NE(ref, nullptr);
  sockaddr unknown{};
  unknown.sa_family = AF_UNIX;
  EXPECT_EQ(SCNetworkReachabilityCreateWithAddress(&unknown), nullptr);
  EXPECT_EQ(SCNetworkReachabilityCreateWithAddress(nullptr), nullptr);

  auto queue = DispatchQueue::serial("com.test.reachability");
  std::mutex mutex;
  std::vector<SCNetworkReachabilityFlags> seen;  // guarded by mutex
  ASSERT_TRUE(SCNetworkReachabilitySetCallback(ref, [&](const SCNetworkReachabilityRef&, auto flags) {
    EXPECT_TRUE(queue->isCurrent());
    std::lock_guard lock(mutex);
    seen.push_back(flags);
  }));
  auto seenNow = [&] {
    queue->sync([] {});
    std::lock_guard lock(mutex);
    return seen;
  };

  DeviceProfile device;
  device.network = DeviceNetwork::WiFi;
  ScopedDeviceProfile profile(device);
  ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(ref, queue));
  EXPECT_FALSE(SCNetworkReachabilityScheduleWithRunLoop(ref, RunLoop::main(), kRunLoopCommonModes));
  device.network = DeviceNetwork::Mobile;
  DeviceProfile::setCurrent(device);
  device.network = DeviceNetwork::None;
  DeviceProfile::setCurrent(device);
  constexpr auto kReachable = kSCNetworkReachabilityFlagsReachable;
  EXPECT_EQ(seenNow(), (std::vector<SCNetworkReachabilityFlags>{
                           kReachable, kReachable | kSCNetworkReachabilityFlagsIsWWAN, 0}));
  SCNetworkReachabilityFlags flags = 99;
  ASSERT_TRUE(SCNetworkReachabilityGetFlags(ref, &flags));
  EXPECT_EQ(flags, 0u);

  // Loopback is reachable whatever the device's network.
  EXPECT_TRUE(SCNetworkReachabilityGetFlags(SCNetworkReachabilityCreateWithName("127.0.0.1"), &flags));
  EXPECT_EQ(flags, SCNetworkReachabilityFlagsFromInterfaces("127.0.0.1"));

  ASSERT_TRUE(SCNetworkReachabilitySetDispatchQueue(ref, nullptr));
  EXPECT_FALSE(SCNetworkReachabilityTEST_isWatching());
  device.network = DeviceNetwork::WiFi;
  DeviceProfile::setCurrent(device);
  EXPECT_EQ(seenNow().size(), 3u);
}

TEST_F(ReachabilityTest, WatcherRunsOnlyWhileSomethingIsScheduled) {
  EXPECT_FALSE(SCNetworkReachabilityTEST_isWatching());
  auto a = SCNetworkReachabilityCreateWithName("a.example.test");
  auto b = SCNetworkReachabilityCreateWithName("b.example.test");
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(a, RunLoop::main(), kRunLoopCommonModes));
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(b, RunLoop::main(), kRunLoopCommonModes));
  EXPECT_TRUE(SCNetworkReachabilityTEST_isWatching());
  ASSERT_TRUE(SCNetworkReachabilityUnscheduleFromRunLoop(a, RunLoop::main(), kRunLoopCommonModes));
  EXPECT_TRUE(SCNetworkReachabilityTEST_isWatching());
  // Releasing a scheduled reference unschedules it; the last one stops the
  // watcher.
  b.reset();
  EXPECT_FALSE(SCNetworkReachabilityTEST_isWatching());
  ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(a, RunLoop::main(), kRunLoopCommonModes));
  EXPECT_TRUE(SCNetworkReachabilityTEST_isWatching());
  ASSERT_TRUE(SCNetworkReachabilityUnscheduleFromRunLoop(a, RunLoop::main(), kRunLoopCommonModes));
  EXPECT_FALSE(SCNetworkReachabilityTEST_isWatching());
}

// Where the kernel's notifications cannot be had the watcher reads the
// interfaces on its own; references come and go while it does (released on
// either thread).
TEST_F(ReachabilityTest, PollingWatcherSeesChangesWhileReferencesComeAndGo) {
  SCNetworkReachabilityTEST_setPollInterval(1);
  std::atomic<SCNetworkReachabilityFlags> provided{0};
  SCNetworkReachabilityTEST_setFlagsProvider([&](const std::string&) { return provided.load(); });
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    std::vector<SCNetworkReachabilityFlags> seen;
    auto ref = SCNetworkReachabilityCreateWithName("api.example.test");
    SCNetworkReachabilitySetCallback(ref, [&](const SCNetworkReachabilityRef&, SCNetworkReachabilityFlags f) {
      seen.push_back(f);
    });
    ASSERT_TRUE(SCNetworkReachabilityScheduleWithRunLoop(ref, RunLoop::main(), kRunLoopCommonModes));
    const SCNetworkReachabilityFlags next = round % 2 ? 0 : kSCNetworkReachabilityFlagsReachable;
    provided = next;  // nobody asks for a recheck
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((seen.empty() || seen.back() != next) && std::chrono::steady_clock::now() < limit) {
      RunLoop::main().runOnce(kDefaultRunLoopMode, DispatchTime::fromNow(0.1));
    }
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), next);
    // The watcher may hold the last reference for a moment: it stops when
    // that one goes.
    ref.reset();
    const auto stopLimit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (SCNetworkReachabilityTEST_isWatching() && std::chrono::steady_clock::now() < stopLimit) {
      std::this_thread::yield();
    }
    EXPECT_FALSE(SCNetworkReachabilityTEST_isWatching());
  }
  SCNetworkReachabilityTEST_setPollInterval(0);
}

// Runs the main run loop until `done` holds; false after `seconds` of real
// time.
bool runMainUntil(const std::function<bool()>& done, double seconds) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    RunLoop::main().runOnce(kDefaultRunLoopMode, DispatchTime::fromNow(0.1));
  }
  return true;
}

// In a network of its own (loopback down), a reference to localhost is
// unreachable, becomes reachable when loopback comes up, with nobody calling
// for a recheck, and the watcher is gone after it is unscheduled. Exit code 0
// when all of that holds.
int loopbackComesUpScenario() {
  if (!testing::enterPrivateNetwork()) return 10;
  std::vector<SCNetworkReachabilityFlags> seen;
  auto ref = SCNetworkReachabilityCreateWithName("localhost");
  SCNetworkReachabilitySetCallback(ref, [&](const SCNetworkReachabilityRef&, SCNetworkReachabilityFlags f) {
    seen.push_back(f);
  });
  if (!SCNetworkReachabilityScheduleWithRunLoop(ref, RunLoop::main(), kRunLoopCommonModes)) return 11;
  if (!runMainUntil([&] { return !seen.empty(); }, 30) || seen.back() != 0) return 12;
  if (!testing::setLoopbackUp(true)) return 13;
  if (!runMainUntil([&] { return (seen.back() & kSCNetworkReachabilityFlagsReachable) != 0; }, 60)) return 14;
  if (seen.back() != (kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsLocalAddress |
                      kSCNetworkReachabilityFlagsIsDirect)) {
    return 15;
  }
  if (!testing::setLoopbackUp(false)) return 16;
  if (!runMainUntil([&] { return seen.back() == 0; }, 60)) return 17;
  if (!SCNetworkReachabilityUnscheduleFromRunLoop(ref, RunLoop::main(), kRunLoopCommonModes)) return 18;
  return SCNetworkReachabilityTEST_isWatching() ? 19 : 0;
}

// Reachability never changed after start: nothing watched the interfaces, so
// only an explicit recheck (tests) saw a change.
TEST(ReachabilityWatcherTest, FollowsTheHostsInterfaces) {
  if (!testing::canEnterPrivateNetwork()) GTEST_SKIP() << "this host allows no network namespace of our own";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(loopbackComesUpScenario()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace os
