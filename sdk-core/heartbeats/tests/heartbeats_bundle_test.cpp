#include <gtest/gtest.h>

#include <cstring>

#include "os/foundation/json.h"
#include "sdk-core/heartbeats/heartbeats_bundle.h"

using namespace heartbeats;

namespace {
constexpr double kDay = 86400;
os::Date day(int n) { return os::Date::fromTimeIntervalSince1970(1'700'006'400.0 + n * kDay); }
Heartbeat beat(int n, std::string agent = "agent") { return Heartbeat{std::move(agent), day(n), 0, {TimePeriod::daily}}; }
}  // namespace

TEST(HeartbeatsBundleTest, FullRingOverwritesOldestAndForgetsItsDate) {
  RingBuffer ring(30);
  for (int i = 1; i <= 30; ++i) ASSERT_EQ(ring.push(beat(i)).value(), std::nullopt);
  auto replaced = ring.push(beat(31));
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(*replaced, beat(1));
  EXPECT_EQ(ring.tailIndex(), 1);
  EXPECT_EQ(ring.elements().size(), 30u);

  // A bundle whose last-added date is the replaced heartbeat's goes back to
  // distant past, unless the new heartbeat sets it.
  HeartbeatsBundle bundle(2);
  bundle.addHeartbeat(beat(1));
  bundle.addHeartbeat(Heartbeat{"agent", day(2), 0, {}});
  EXPECT_EQ(bundle.lastAddedHeartbeatDates().at(TimePeriod::daily), day(1));
  bundle.addHeartbeat(Heartbeat{"agent", day(3), 0, {}});  // replaces day 1
  EXPECT_EQ(bundle.lastAddedHeartbeatDates().at(TimePeriod::daily), os::Date::distantPast());

  HeartbeatsBundle none(0);
  none.addHeartbeat(beat(1));
  EXPECT_EQ(none.lastAddedHeartbeatDates().at(TimePeriod::daily), os::Date::distantPast());
}

TEST(HeartbeatsBundleTest, OutOfBoundsTailResetsWithDiagnosticAgent) {
  std::vector<std::optional<Heartbeat>> slots(30);
  slots[0] = beat(1);
  auto bundle = HeartbeatsBundle::TEST_make(30, {{TimePeriod::daily, day(1)}}, RingBuffer(slots, 30));
  bundle.addHeartbeat(beat(5, "ua"));
  auto stored = bundle.buffer().elements();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].agent, "ua error/Out-of-bounds-push-at-index-30-to-ring-buffer-withend-index-of-30.");
  EXPECT_EQ(bundle.buffer().tailIndex(), 1);
  EXPECT_EQ(bundle.lastAddedHeartbeatDates().at(TimePeriod::daily), day(5));

  // A damaged tail used to index past the ring when taking a heartbeat.
  auto damaged = HeartbeatsBundle::TEST_make(30, {}, RingBuffer(slots, 31));
  EXPECT_EQ(damaged.takeHeartbeat(day(1)), std::nullopt);
  EXPECT_EQ(damaged.buffer().elements(), std::vector<Heartbeat>{beat(1)});
}

TEST(HeartbeatsBundleTest, TakeAndPayload) {
  // "b" then "a" then "b" in slot order; "a" sorts first.
  HeartbeatsBundle bundle(30);
  bundle.addHeartbeat(beat(1, "b"));
  bundle.addHeartbeat(beat(2, "a"));
  bundle.addHeartbeat(beat(3, "b"));
  auto payload = bundle.makePayload();
  ASSERT_EQ(payload.userAgentPayloads.size(), 2u);
  EXPECT_EQ(payload.userAgentPayloads[0], (UserAgentPayload{"a", {day(2)}}));
  EXPECT_EQ(payload.userAgentPayloads[1], (UserAgentPayload{"b", {day(1), day(3)}}));
  EXPECT_EQ(payload.version, 2);

  EXPECT_EQ(bundle.takeHeartbeat(day(3)), beat(3, "b"));
  EXPECT_EQ(bundle.buffer().tailIndex(), 2);
  // A miss searches back to the first empty slot and keeps everything.
  EXPECT_EQ(bundle.takeHeartbeat(day(9)), std::nullopt);
  EXPECT_EQ(bundle.buffer().elements().size(), 2u);
  EXPECT_EQ(bundle.takeHeartbeat(day(1)), beat(1, "b"));
  EXPECT_EQ(bundle.buffer().elements(), std::vector<Heartbeat>{beat(2, "a")});
}

TEST(HeartbeatsBundleTest, JSONRoundTripAndDamagedInput) {
  HeartbeatsBundle bundle(30);
  bundle.addHeartbeat(beat(1));
  bundle.addHeartbeat(beat(2, "a/b"));
  auto json = os::JSONSerialization::dataWithJSONObject(bundle.jsonValue());
  ASSERT_TRUE(json.has_value());
  auto parsed = os::JSONSerialization::JSONObjectWithData(*json);
  ASSERT_TRUE(parsed.has_value());
  auto back = HeartbeatsBundle::fromJSONValue(*parsed);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, bundle);
  EXPECT_EQ((*parsed)["lastAddedHeartbeatDates"][0], os::Value(1));
  EXPECT_EQ((*parsed)["lastAddedHeartbeatDates"][1].doubleValue(), day(2).timeIntervalSinceReferenceDate());

  const char* rejected[] = {
      R"({"capacity":30,"lastAddedHeartbeatDates":[2,0],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":30,"lastAddedHeartbeatDates":[1],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":30,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[]}})",
      R"({"capacity":"30","lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":30,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[{"agent":"a"}],"tailIndex":0}})",
      // A damaged capacity would make the next reset allocate without bound.
      R"({"capacity":9000000000000,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
      R"({"capacity":-1,"lastAddedHeartbeatDates":[],"buffer":{"circularQueue":[],"tailIndex":0}})",
  };
  for (const char* text : rejected) {
    auto value = os::JSONSerialization::JSONObjectWithData(os::Data::fromString(text));
    ASSERT_TRUE(value.has_value()) << text;
    EXPECT_FALSE(HeartbeatsBundle::fromJSONValue(*value).has_value()) << text;
  }
}

TEST(HeartbeatsPayloadTest, HeaderValueDecodesToTheJSON) {
  HeartbeatsPayload payload;
  payload.userAgentPayloads.push_back({"rez-ios/11.2.0 apple-platform/ios", {day(0), day(1)}});
  const std::string header = payload.headerValue();
  EXPECT_EQ(header.find_first_of("=+/"), std::string::npos);
  auto json = decodeHeaderValue(header);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(*json, payload.jsonValue());
  EXPECT_EQ((*json)["heartbeats"][0]["dates"], os::Value::arrayOf({"2023-11-15", "2023-11-16"}));
  EXPECT_FALSE(HeartbeatsPayload::emptyPayload().headerValue().empty());
  EXPECT_FALSE(decodeHeaderValue("%%%").has_value());
}
