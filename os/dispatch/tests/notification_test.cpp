#include "os/dispatch/notification.h"

#include <gtest/gtest.h>

#include <thread>

#include "os/dispatch/manual_clock.h"

namespace os {
namespace {

TEST(NotificationTest, BlockObserverRunsOnThePostingThread) {
  auto center = NotificationCenter::create();
  std::thread::id ranOn;
  std::string seenKey;
  auto token = center->addObserverForName(kUIApplicationDidBecomeActiveNotification, nullptr,
                                          std::shared_ptr<DispatchQueue>(), [&](const Notification& n) {
                                            ranOn = std::this_thread::get_id();
                                            seenKey = n.userInfo.count("k") ? "k" : "";
                                          });
  std::thread::id poster;
  std::thread t([&] {
    poster = std::this_thread::get_id();
    Dictionary info;
    info["k"] = Value(1);
    center->postNotificationName(kUIApplicationDidBecomeActiveNotification, nullptr, info);
  });
  t.join();
  EXPECT_EQ(ranOn, poster);
  EXPECT_EQ(seenKey, "k");
  center->removeObserver(token);
  EXPECT_EQ(center->TEST_registrationCount(), 0u);
}

TEST(NotificationTest, MatchesByNameAndObjectWithAnyWildcards) {
  auto center = NotificationCenter::create();
  int a = 0, b = 0;
  struct Case {
    std::string name;
    const void* object;
    int expected;  // deliveries of the three posts below
  } cases[] = {
      {"N", nullptr, 2},  // any object
      {"N", &a, 1},       // that object only
      {"", nullptr, 3},   // anything
      {"", &b, 1},        // any name from b
      {"M", &a, 0},
  };
  std::vector<int> counts(std::size(cases));
  int key[std::size(cases)];
  for (size_t i = 0; i < std::size(cases); ++i)
    center->addObserver(&key[i], [&counts, i](const Notification&) { counts[i]++; }, cases[i].name,
                        cases[i].object);
  center->postNotificationName("N", &a);
  center->postNotificationName("N", nullptr);
  center->postNotificationName("O", &b);
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(counts[i], cases[i].expected) << "case " << i;
  center->removeObserver(&key[2], "N", nullptr);  // partial removal keeps the rest
  EXPECT_EQ(center->TEST_registrationCount(), std::size(cases));
  center->removeObserver(&key[2]);
  EXPECT_EQ(center->TEST_registrationCount(), std::size(cases) - 1);
}

TEST(NotificationTest, ObserversMayRemoveThemselvesAndOthersDuringDelivery) {
  auto center = NotificationCenter::create();
  int first = 0, second = 0, third = 0;
  int k1, k2, k3;
  center->addObserver(&k1, [&](const Notification&) {
    first++;
    center->removeObserver(&k1);
    center->removeObserver(&k2);  // later in this same delivery: must not run
  }, "N", nullptr);
  center->addObserver(&k2, [&](const Notification&) { second++; }, "N", nullptr);
  center->addObserver(&k3, [&](const Notification&) {
    third++;
    center->addObserver(&k1, [&](const Notification&) { first += 100; }, "N", nullptr);  // next post only
  }, "N", nullptr);
  center->postNotificationName("N", nullptr);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(third, 1);
  center->postNotificationName("N", nullptr);
  EXPECT_EQ(first, 101);
  EXPECT_EQ(third, 2);
}

TEST(NotificationTest, QueuedObserverRunsOnItsQueueAndNotAfterRemoval) {
  ManualClockScope clock;
  auto center = NotificationCenter::create();
  auto q = DispatchQueue::serial("com.test.observer");
  std::atomic<int> runs{0};
  std::atomic<bool> onQueue{false};
  auto token = center->addObserverForName("N", nullptr, q, [&](const Notification&) {
    runs++;
    onQueue = q->isCurrent();
  });
  center->postNotificationName("N", nullptr);
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_EQ(runs.load(), 1);
  EXPECT_TRUE(onQueue);
  q->suspend();
  center->postNotificationName("N", nullptr);
  center->removeObserver(token);  // removed while its delivery waits on the queue
  q->resume();
  ASSERT_TRUE(dispatch::drainUntilIdle());
  EXPECT_EQ(runs.load(), 1);
}

}  // namespace
}  // namespace os
