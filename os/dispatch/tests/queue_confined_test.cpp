#include "os/dispatch/queue_confined.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Failure {
  std::string name, queue, current;
};
std::vector<Failure> gFailures;  // the test thread and the queue's blocks take turns (sync)

void recordFailure(const char* name, const std::string& queueLabel, const std::string& currentLabel) {
  gFailures.push_back({name, queueLabel, currentLabel});
}

class QueueConfinedTest : public ::testing::Test {
 protected:
  QueueConfinedTest() {
    gFailures.clear();
    previous_ = os::setQueueCheckFailureHandler(&recordFailure);
  }
  ~QueueConfinedTest() override {
    os::setQueueCheckFailureHandler(previous_);
    os::setQueueChecksEnabled(true);
  }
  os::QueueCheckFailureHandler previous_ = nullptr;
};

TEST_F(QueueConfinedTest, TestExecutablesCheck) { EXPECT_TRUE(os::queueChecksEnabled()); }

TEST_F(QueueConfinedTest, AccessIsCheckedAgainstTheOwningQueue) {
  auto owner = os::DispatchQueue::serial("owner");
  auto other = os::DispatchQueue::serial("other");
  auto child = os::DispatchQueue::create("child", os::DispatchQueue::Attributes::Serial,
                                         os::QualityOfService::Unspecified, owner);
  os::QueueConfined<int> count(owner, "count", 1);

  owner->sync([&] { count = count + 1; });
  child->sync([&] { ++count.get(); });  // a queue that targets the owner runs on it
  EXPECT_TRUE(gFailures.empty());

  other->sync([&] { (void)count.get(); });
  (void)static_cast<int&>(count);
  ASSERT_EQ(gFailures.size(), 2u);
  EXPECT_EQ(gFailures[0].name, "count");
  EXPECT_EQ(gFailures[0].queue, "owner");
  EXPECT_EQ(gFailures[0].current, "other");
  EXPECT_EQ(gFailures[1].current, os::DispatchQueue::currentLabel());

  os::setQueueChecksEnabled(false);
  count = 5;
  EXPECT_EQ(gFailures.size(), 2u);
  owner->sync([&] { EXPECT_EQ(count.get(), 5); });
}

TEST_F(QueueConfinedTest, CheckQueueFailsOffTheQueueAndWithoutOne) {
  auto owner = os::DispatchQueue::serial("owner");
  owner->sync([&] { os::checkQueue(owner.get(), "step"); });
  EXPECT_TRUE(gFailures.empty());

  os::checkQueue(owner.get(), "step");
  owner->sync([&] { os::checkQueue(nullptr, "orphan"); });
  ASSERT_EQ(gFailures.size(), 2u);
  EXPECT_EQ(gFailures[0].name, "step");
  EXPECT_EQ(gFailures[0].queue, "owner");
  EXPECT_EQ(gFailures[1].name, "orphan");
  EXPECT_EQ(gFailures[1].queue, "");
}

TEST(QueueConfinedDeathTest, TheDefaultHandlerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto owner = os::DispatchQueue::serial("owner");
  os::QueueConfined<std::vector<int>> ids(owner, "ids");
  EXPECT_DEATH(ids.get().push_back(1), "ids touched off its queue \"owner\"");
}

}  // namespace
