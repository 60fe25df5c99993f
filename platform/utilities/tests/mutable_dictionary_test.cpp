#include "platform/utilities/mutable_dictionary.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

TEST(DAZMutableDictionaryTest, ReadAfterQueuedWriteSeesIt) {
  auto dictionary = std::make_shared<DAZMutableDictionary<>>();
  dictionary->setObjectForKey(os::Value(1), "a");
  EXPECT_EQ(dictionary->objectForKey("a"), os::Value(1));
  dictionary->setObjectForKeyedSubscript(os::Value("two"), "b");
  EXPECT_EQ(dictionary->objectForKeyedSubscript("b"), os::Value("two"));
  EXPECT_EQ(dictionary->count(), 2u);
  EXPECT_EQ(dictionary->objectForKey("missing"), std::nullopt);
  EXPECT_EQ(dictionary->description(), os::Value(os::Dictionary{{"a", 1}, {"b", "two"}}).description());

  dictionary->removeObjectForKey("a");
  EXPECT_EQ(dictionary->count(), 1u);
  dictionary->removeAllObjects();
  EXPECT_EQ(dictionary->count(), 0u);
}

TEST(DAZMutableDictionaryTest, SnapshotIsNotChangedByLaterWrites) {
  DAZMutableDictionary<> dictionary;
  dictionary.setObjectForKey(os::Value(1), "a");
  const auto snapshot = dictionary.dictionary();
  dictionary.setObjectForKey(os::Value(2), "a");
  dictionary.setObjectForKey(os::Value(3), "c");
  EXPECT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot.at("a"), os::Value(1));
  EXPECT_EQ(dictionary.objectForKey("a"), os::Value(2));
}

// A nil object through either setter used to store a null entry (or, on the
// platform, raise on the queue); it now removes the key.
TEST(DAZMutableDictionaryTest, NilObjectRemovesTheKey) {
  DAZMutableDictionary<> values;
  values.setObjectForKey(os::Value(1), "a");
  values.setObjectForKey(os::Value(2), "b");
  values.setObjectForKey(os::Value(3), "c");
  values.setObjectForKeyedSubscript(std::nullopt, "a");
  values.setObjectForKey(os::Value(), "b");
  values.setObjectForKey(nullptr, "c");
  EXPECT_EQ(values.count(), 0u);

  DAZMutableDictionary<std::function<void()>> handlers;
  handlers.setObjectForKey([] {}, "h");
  EXPECT_EQ(handlers.count(), 1u);
  handlers.setObjectForKey(std::function<void()>(), "h");
  EXPECT_EQ(handlers.count(), 0u);

  DAZMutableDictionary<std::shared_ptr<int>> objects;
  objects.setObjectForKey(std::make_shared<int>(1), "o");
  objects.setObjectForKeyedSubscript(nullptr, "o");
  EXPECT_EQ(objects.count(), 0u);
}

TEST(DAZMutableDictionaryTest, ConcurrentWritersLoseNothing) {
  auto dictionary = std::make_shared<DAZMutableDictionary<int>>();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([dictionary, t] {
      for (int i = 0; i < 250; ++i) {
        dictionary->setObjectForKey(i, std::to_string(t) + ":" + std::to_string(i));
        (void)dictionary->count();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(dictionary->count(), 1000u);
  EXPECT_EQ(dictionary->objectForKey("3:249"), 249);
}

}  // namespace
