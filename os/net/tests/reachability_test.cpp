#include "os/net/reachability.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace os
