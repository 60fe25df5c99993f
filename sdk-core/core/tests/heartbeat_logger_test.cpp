#include "os/dispatch/queue.h"
#include "sdk-core/core/rez_heartbeat_logger.h"
#include "sdk-core/core/tests/test_support.h"
#include "sdk-core/heartbeats/heartbeats_bundle.h"

using namespace sdkcore_test;

using HeartbeatLoggerTest = SDKCoreTest;

TEST_F(HeartbeatLoggerTest, HeaderValueCarriesEachDayOnce) {
  REZHeartbeatLogger logger(kAppID, [] { return std::string("agent/1 rez-ios/11.2.0"); });
  EXPECT_EQ(logger.headerValue(), std::nullopt);

  logger.log();
  clock_->clock().advance(3600);
  logger.log();  // same UTC day
  clock_->clock().advance(86400);
  logger.log();  // next day

  auto header = logger.headerValue();
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->find_first_of("=+/"), std::string::npos);
  auto json = heartbeats::decodeHeaderValue(*header);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ((*json)["version"], os::Value(2));
  ASSERT_EQ((*json)["heartbeats"].count(), 1u);
  EXPECT_EQ((*json)["heartbeats"][0]["agent"], os::Value("agent/1 rez-ios/11.2.0"));
  EXPECT_EQ((*json)["heartbeats"][0]["dates"],
            os::Value::arrayOf({"2023-11-14", "2023-11-15"}));

  // Handed out once: nothing new, no header.
  EXPECT_EQ(logger.headerValue(), std::nullopt);
  logger.log();  // same day as the last one sent
  EXPECT_EQ(logger.headerValue(), std::nullopt);
}

TEST_F(HeartbeatLoggerTest, HeartbeatCodeForToday) {
  REZHeartbeatLogger logger(kAppID, [] { return std::string("agent"); });
  logger.log();
  EXPECT_EQ(logger.heartbeatCodeForToday(), 2);
  EXPECT_EQ(logger.heartbeatCodeForToday(), 0);
}

TEST_F(HeartbeatLoggerTest, DefaultProviderUsesTheSDKUserAgent) {
  REZHeartbeatLogger logger(kAppID);
  logger.log();
  auto json = heartbeats::decodeHeaderValue(logger.headerValue().value_or(""));
  ASSERT_TRUE(json.has_value());
  EXPECT_NE((*json)["heartbeats"][0]["agent"].stringValue().find("rez-ios/11.2.0"), std::string::npos);
}
