#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measurement/store/conditional_user_property.h"
#include "measurement/store/database.h"
#include "measurement/store/tests/database_test_support.h"

namespace {

using apm_test::DatabaseTest;

std::vector<std::string> namesOf(const auto& records) {
  std::vector<std::string> names;
  for (const auto& record : records) names.push_back(record->name());
  return names;
}

class APMUserAttributesTest : public DatabaseTest {
 protected:
  void set(std::string_view name, const APMValue& value, double timestamp = 1000, std::string_view origin = "app") {
    auto attribute = APMUserAttribute::initWithOrigin(origin, name, value, timestamp);
    ASSERT_TRUE(attribute) << name;
    os::Error error;
    ASSERT_TRUE(database_->updateUserAttribute(attribute, &error)) << error.description();
  }

  static std::shared_ptr<APMConditionalUserProperty> property(std::string name, double created = 1000) {
    auto property = std::make_shared<APMConditionalUserProperty>();
    property->setName(std::move(name));
    property->setOrigin("app");
    property->setValue(*APMValue::initWithString("gold"));
    property->setCreationTimestamp(created);
    property->setTriggerTimeout(60);
    property->setTimeToLive(3600);
    return property;
  }
  void store(const std::shared_ptr<APMConditionalUserProperty>& property) {
    os::Error error;
    ASSERT_TRUE(database_->updateConditionalUserProperty(property, &error)) << error.description();
  }
};

TEST_F(APMUserAttributesTest, ValuesReadBackInTheirOwnType) {
  set("level", APMValue::initWithInt64(12));
  set("ratio", APMValue::initWithDouble(0.25));
  set("tier", *APMValue::initWithString("gold"), 1000, "auto");
  for (const auto& [name, expected] : std::vector<std::pair<std::string, APMValue>>{
           {"level", APMValue::initWithInt64(12)},
           {"ratio", APMValue::initWithDouble(0.25)},
           {"tier", *APMValue::initWithString("gold")}}) {
    SCOPED_TRACE(name);
    auto read = database_->userAttributeWithName(name, nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value(), expected);
    EXPECT_EQ(read->value().valueType(), expected.valueType());
  }
  EXPECT_EQ(database_->userAttributeWithName("tier", nullptr)->origin(), "auto");
  EXPECT_EQ(database_->userAttributeCountForOrigin("app", nullptr), 2);
  EXPECT_EQ(database_->containsUserAttributeWithName("ratio", nullptr), true);
  ASSERT_TRUE(database_->deleteUserAttributeWithName("ratio", nullptr));
  EXPECT_EQ(database_->containsUserAttributeWithName("ratio", nullptr), false);

  os::Error error;
  EXPECT_FALSE(database_->userAttributeWithName("unknown", &error));
  EXPECT_TRUE(error.domain().empty());
  EXPECT_FALSE(database_->userAttributeCountForOrigin("", &error));
  EXPECT_EQ(description(error), "Received empty user property origin for count query");
  EXPECT_FALSE(database_->containsUserAttributeWithName("", &error));
  EXPECT_EQ(description(error), "Received empty user property name for exists query");
  EXPECT_FALSE(database_->updateUserAttribute(nullptr, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_FALSE(database_->updateUserAttribute(APMUserAttribute::initWithOrigin("", "level", APMValue::initWithInt64(1), 0),
                                              &error));
  EXPECT_EQ(description(error), "Received user property with empty origin for getting dictionary representation");
}

TEST_F(APMUserAttributesTest, InternalNamesAreLeftOutWhenAsked) {
  set("_fot", APMValue::initWithInt64(1));
  set("user_id", *APMValue::initWithString("u-1"));
  set("dv_tier", *APMValue::initWithString("x"));
  set("level", APMValue::initWithInt64(3));
  EXPECT_EQ(namesOf(*database_->userAttributesIncludingInternal(false, nullptr)), std::vector<std::string>{"level"});
  EXPECT_EQ(database_->userAttributesIncludingInternal(true, nullptr)->size(), 4u);
  EXPECT_EQ(database_->publicUserAttributeCount(nullptr), 3);
}

// "_ltv_" bound as a LIKE pattern matched any character in place of each
// "_", so "altvz..." counted as a lifetime value; the prefix is matched
// literally now.
TEST_F(APMUserAttributesTest, LifetimeValuesAreThoseNamedWithThePrefixNewestFirst) {
  set("_ltv_USD", APMValue::initWithDouble(4.5), 1000);
  set("altvzEUR", APMValue::initWithDouble(1.0), 3000);
  set("_ltv_EUR", APMValue::initWithDouble(2.5), 2000);
  set("_ltvx", APMValue::initWithDouble(9.0), 4000);
  auto lifetime = database_->allLifetimeValueUserAttributes(nullptr);
  ASSERT_TRUE(lifetime);
  EXPECT_EQ(namesOf(*lifetime), (std::vector<std::string>{"_ltv_EUR", "_ltv_USD"}));
}

TEST_F(APMUserAttributesTest, ConditionalPropertiesRoundTripWithTheirEvents) {
  auto written = property("tier");
  written->setTriggerEventName("level_up");
  written->setTriggeredEvent(event("promoted", 0, {{"level", APMValue::initWithInt64(3)}}));
  written->setExpiredEvent(event("demoted", 0));
  store(written);
  store(property("plain"));

  auto read = database_->conditionalUserPropertyWithName("tier", nullptr);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->origin(), "app");
  EXPECT_EQ(read->value(), written->value());
  EXPECT_EQ(read->creationTimestamp(), 1000);
  EXPECT_EQ(read->triggerTimeout(), 60);
  EXPECT_EQ(read->timeToLive(), 3600);
  EXPECT_EQ(read->triggerEventName(), "level_up");
  EXPECT_FALSE(read->active());
  ASSERT_TRUE(read->triggeredEvent());
  EXPECT_EQ(read->triggeredEvent()->name(), "promoted");
  EXPECT_EQ(read->triggeredEvent()->parameters(), written->triggeredEvent()->parameters());
  EXPECT_FALSE(read->timedOutEvent());
  ASSERT_TRUE(read->expiredEvent());
  EXPECT_EQ(read->expiredEvent()->name(), "demoted");
  auto plain = database_->conditionalUserPropertyWithName("plain", nullptr);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->triggerEventName(), "");
  EXPECT_FALSE(plain->triggeredEvent());

  // A row with a damaged event made every listing fail; it is dropped alone.
  execOnFile("UPDATE conditional_properties SET expired_event = x'ffff' WHERE name = 'tier'");
  os::Error error;
  auto listed = database_->conditionalUserPropertiesWithPrefix("", "", &error);
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), 1u);
  EXPECT_EQ(listed->front()->name(), "plain");
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("tier", &error));
  EXPECT_EQ(error.code(), 0);
  EXPECT_EQ(std::ranges::count(codes(), kAPMDatabaseCodeConditionalRowDropped), 1);

  struct Refused {
    std::shared_ptr<APMConditionalUserProperty> property;
    const char* description;
  };
  auto unnamed = property("");
  auto noOrigin = property("x");
  noOrigin->setOrigin("");
  auto noValue = property("x");
  noValue->setValue(std::nullopt);
  for (const Refused& refused : std::vector<Refused>{
           {nullptr, "Received empty conditional user property for getting dictionary representation"},
           {unnamed, "Received conditional user property with empty name for getting dictionary representation"},
           {noOrigin, "Received conditional user property with empty origin for getting dictionary representation"},
           {noValue, "Received conditional user property with nil value for getting dictionary representation"}}) {
    SCOPED_TRACE(refused.description);
    EXPECT_FALSE(database_->updateConditionalUserProperty(refused.property, &error));
    EXPECT_EQ(error.code(), 3);
    EXPECT_EQ(description(error), refused.description);
  }
}

TEST_F(APMUserAttributesTest, TimedOutExpiredAndTriggeredFollowTheClock) {
  auto waiting = property("waiting", 1000);
  waiting->setTriggerEventName("level_up");
  store(waiting);
  auto active = property("active", 1000);
  active->setActive(true);
  active->setTriggeredTimestamp(1000);
  active->setTimeToLive(100);
  store(active);

  clock_->setWallTime(1059);
  EXPECT_EQ(namesOf(*database_->triggeredConditionalUserPropertiesWithEventName("level_up", nullptr)),
            std::vector<std::string>{"waiting"});
  EXPECT_TRUE(database_->timedOutConditionalUserPropertiesWithError(nullptr)->empty());
  EXPECT_TRUE(database_->triggeredConditionalUserPropertiesWithEventName("other", nullptr)->empty());
  clock_->setWallTime(1061);
  EXPECT_EQ(namesOf(*database_->timedOutConditionalUserPropertiesWithError(nullptr)),
            std::vector<std::string>{"waiting"});
  EXPECT_TRUE(database_->triggeredConditionalUserPropertiesWithEventName("level_up", nullptr)->empty());
  EXPECT_TRUE(database_->expiredConditionalUserPropertiesWithError(nullptr)->empty());
  clock_->setWallTime(1101);
  EXPECT_EQ(namesOf(*database_->expiredConditionalUserPropertiesWithError(nullptr)),
            std::vector<std::string>{"active"});

  os::Error error;
  EXPECT_FALSE(database_->triggeredConditionalUserPropertiesWithEventName("", &error));
  EXPECT_EQ(error.code(), 1);
  ASSERT_TRUE(database_->deleteConditionalUserPropertyWithName("active", nullptr));
  EXPECT_FALSE(database_->conditionalUserPropertyWithName("active", nullptr));
}

// The prefix and the origin were LIKE patterns: "_" in them stood for any
// character. They are matched literally now.
TEST_F(APMUserAttributesTest, ListingFiltersByLiteralPrefixAndOrigin) {
  store(property("_ab_one"));
  store(property("xabyone"));
  auto other = property("_ab_two");
  other->setOrigin("auto");
  store(other);
  struct Case {
    const char* prefix;
    const char* origin;
    std::vector<std::string> names;
  };
  for (const Case& c : std::vector<Case>{
           {"", "", {"_ab_one", "xabyone", "_ab_two"}},
           {"_ab_", "", {"_ab_one", "_ab_two"}},
           {"_ab_", "app", {"_ab_one"}},
           {"", "auto", {"_ab_two"}},
           {"", "a_to", {}},
           {"%", "", {}},
       }) {
    SCOPED_TRACE(testing::Message() << "'" << c.prefix << "' '" << c.origin << "'");
    auto found = database_->conditionalUserPropertiesWithPrefix(c.prefix, c.origin, nullptr);
    ASSERT_TRUE(found);
    EXPECT_EQ(namesOf(*found), c.names);
  }
  os::Error error;
  EXPECT_FALSE(database_->conditionalUserPropertiesWithCondition("", {}, &error));
  EXPECT_EQ(description(error), "Received empty condition for querying a conditional user property");
}

TEST_F(APMUserAttributesTest, TheThousandAndFirstNameIsRefused) {
  execOnFile(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
      "INSERT INTO conditional_properties (name, origin, value, creation_timestamp, active, trigger_timeout, "
      "triggered_timestamp, time_to_live) SELECT 'p' || i, 'app', 'v', 0, 0, 1, 0, 1 FROM n");
  execOnFile(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
      "INSERT INTO user_attributes (name, origin, value, set_timestamp) SELECT 'a' || i, 'app', 'v', 0 FROM n");
  os::Error error;
  EXPECT_FALSE(database_->updateConditionalUserProperty(property("new"), &error));
  EXPECT_EQ(description(error), "Failed to insert data type. Table is full");
  store(property("p1"));
  EXPECT_FALSE(database_->updateUserAttribute(APMUserAttribute::initWithOrigin("app", "new", APMValue::initWithInt64(1), 0),
                                              &error));
  EXPECT_EQ(description(error), "Failed to insert data type. Table is full");
}

}  // namespace
