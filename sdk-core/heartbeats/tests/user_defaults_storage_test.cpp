#include "sdk-core/heartbeats/user_defaults_storage.h"

#include <gtest/gtest.h>

#include "os/dispatch/manual_clock.h"
#include "os/dispatch/queue.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/user_defaults.h"
#include "sdk-core/heartbeats/heartbeat_controller.h"

using namespace heartbeats;

namespace {

constexpr const char* kKey = "heartbeats-test";

class UserDefaultsStorageTest : public ::testing::Test {
 protected:
  void TearDown() override { os::dispatch::drainUntilIdle(); }
  os::TemporarySandbox sandbox_;
  os::ManualClockScope clock_;
  std::shared_ptr<os::UserDefaults> defaults_ = os::UserDefaults::initWithSuiteName("com.drosil.heartbeat-test");
};

TEST_F(UserDefaultsStorageTest, KeepsBytesUnderItsKey) {
  UserDefaultsStorage storage(defaults_, kKey);
  ASSERT_FALSE(storage.readValue().has_value());
  EXPECT_EQ(storage.readValue().error(), StorageError::readError);

  const os::Data bytes = os::Data::fromString("{\"capacity\":30}");
  ASSERT_TRUE(storage.writeValue(bytes).has_value());
  EXPECT_EQ(storage.readValue().value_or(os::Data()), bytes);
  EXPECT_EQ(defaults_->dataForKey(kKey), bytes);

  // Nothing removes the key; a value that is not data reads as none.
  ASSERT_TRUE(storage.writeValue(std::nullopt).has_value());
  EXPECT_TRUE(defaults_->objectForKey(kKey).isNull());
  defaults_->setObject(os::Value("text"), kKey);
  ASSERT_FALSE(storage.readValue().has_value());
  EXPECT_EQ(storage.readValue().error(), StorageError::readError);
}

TEST_F(UserDefaultsStorageTest, CarriesAHeartbeatStore) {
  auto storage = HeartbeatStorage::TEST_make("1:1:ios:1", std::make_shared<UserDefaultsStorage>(defaults_, kKey));
  HeartbeatController controller(storage, [] { return os::Date::now(); });
  controller.log("agent/1");
  storage->updateSync([](auto bundle) { return bundle; });
  EXPECT_TRUE(defaults_->dataForKey(kKey).has_value());
  auto payload = controller.flush();
  ASSERT_EQ(payload.userAgentPayloads.size(), 1u);
  EXPECT_EQ(payload.userAgentPayloads[0].agent, "agent/1");
  EXPECT_TRUE(controller.flush().isEmpty());
}

}  // namespace
