#include "measurement/store/records.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/data_type_labels.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/tests/test_support.h"

namespace {

class RecordsTest : public apm_test::MonitoredTest {
 protected:
  // Codes of the lines logged since the last call.
  std::vector<int64_t> newCodes() {
    auto all = codes();
    std::vector<int64_t> fresh(all.begin() + static_cast<long>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }
  // Monitorable lines so far (levels 1, 2, 4, 5): the sampled record's
  // population.
  int64_t monitored() {
    auto sampled = monitor_->TEST_sampledData();
    return sampled ? (*sampled)[1].int64Value() : 0;
  }
  size_t seen_ = 0;
};

using Type = APMValue::Type;

TEST_F(RecordsTest, ValuesKeepTheTypeTheyWereMadeWith) {
  const APMValue existing = APMValue::initWithInt64(9);
  struct Case {
    const char* what;
    APMObject object;
    bool allowArray;
    std::optional<Type> type;  // nullopt: refused
    int64_t code;              // logged on refusal
  } cases[] = {
      {"true", os::Value(true), false, Type::Int64, 0},
      {"2.0", os::Value(2.0), false, Type::Double, 0},
      {"float", os::Value(1.5f), false, Type::Double, 0},
      {"uint8", os::Value(os::Number::uint8(7)), false, Type::Int64, 0},
      {"string", "text", false, Type::String, 0},
      {"APMValue", existing, false, Type::Int64, 0},
      {"array allowed", os::Value::arrayOf({os::Value(1)}), true, Type::Array, 0},
      {"array not allowed", os::Value::arrayOf({os::Value(1)}), false, std::nullopt, kAPMValueCodeUnsupportedObject},
      {"dictionary", os::Value::emptyDictionary(), true, std::nullopt, kAPMValueCodeUnsupportedObject},
      {"null object", os::Value(), true, std::nullopt, kAPMValueCodeUnsupportedObject},
      {"nil", nullptr, true, std::nullopt, kAPMValueCodeNilObject},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto value = APMValue::valueFromObject(c.object, c.allowArray);
    ASSERT_EQ(value.has_value(), c.type.has_value());
    if (value) {
      EXPECT_EQ(value->valueType(), *c.type);
      EXPECT_TRUE(newCodes().empty());
    } else {
      EXPECT_EQ(newCodes(), std::vector<int64_t>{c.code});
    }
  }
  EXPECT_EQ(APMValue::valueFromObject(os::Value(true))->int64Value(), 1);
  EXPECT_EQ(APMValue::valueFromObject(existing), existing);

  // An int64 5 is not a double 5.0, and neither answers for the other.
  const APMValue integer = APMValue::initWithInt64(5);
  const APMValue real = APMValue::initWithDouble(5.0);
  EXPECT_NE(integer, real);
  EXPECT_NE(integer.hash(), real.hash());
  EXPECT_EQ(integer.int64Value(), 5);
  EXPECT_EQ(integer.doubleValue(), 0.0);
  EXPECT_EQ(real.int64Value(), 0);
  EXPECT_EQ(real.doubleValue(), 5.0);
  EXPECT_FALSE(integer.stringValue());
  EXPECT_EQ(integer, APMValue::initWithInt64(5));
  // Equality asks for an APMValue exactly; a copy of a subclass is one.
  const RURIValue ruri(integer);
  EXPECT_FALSE(integer.isEqual(ruri));
  EXPECT_TRUE(ruri.isEqual(integer));
  EXPECT_TRUE(integer.isEqual(APMValue(ruri)));

  EXPECT_FALSE(APMValue::initWithString(os::Value(1)));
  EXPECT_FALSE(APMValue::initWithArray(nullptr));
  EXPECT_FALSE(APMValue::initWithArray("items"));
  EXPECT_EQ(newCodes(), (std::vector<int64_t>{kAPMValueCodeNotAString, kAPMValueCodeNilArray, kAPMValueCodeNotAnArray}));
}

TEST_F(RecordsTest, DataTypeLabelsAndTheValueCheck) {
  EXPECT_EQ(APMDataTypeDisplayName(10, " cannot be nil"), "Object cannot be nil");
  EXPECT_EQ(APMDataTypeDisplayName(4, ""), "User property name");
  EXPECT_EQ(APMDataTypeDisplayName(9), "Conditional user property value");

  int64_t failure = -1;
  EXPECT_TRUE(APMIsValidAPMValue(APMValue::initWithInt64(1), 3, &failure));
  EXPECT_EQ(failure, 0);
  EXPECT_FALSE(APMIsValidAPMValue(nullptr, 5, nullptr));
  EXPECT_FALSE(APMIsValidAPMValue("text", 3, &failure));
  EXPECT_EQ(failure, 5);
  auto logged = lines();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].code, kAPMValueCheckCodeNil);
  EXPECT_EQ(logged[0].level, 3);
  EXPECT_EQ(logged[0].message, "User property value cannot be nil");
  EXPECT_EQ(logged[1].code, kAPMValueCheckCodeNotAValue);
  EXPECT_EQ(logged[1].message, "Event parameter value must be a APMValue instance. value: NSString");
}

TEST_F(RecordsTest, InternalUserPropertyNamesAndValues) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // one code point, two UTF-16 units
  std::string emojis;
  for (int i = 0; i < 36; ++i) emojis += emoji;
  struct NameCase {
    APMObject name;
    int64_t failure;
  } names[] = {
      {"_ln", 0},
      {"1st", 0},
      {"caf\xC3\xA9_ok", 0},
      {std::string(24, 'a'), 0},
      {std::string(25, 'a'), 2},
      {"ab-c", 3},
      {"e\xCC\x81", 3},  // e with a combining acute accent
      {"", 1},
      {nullptr, 1},
      {os::Value(7), 5},
  };
  for (const auto& c : names) {
    SCOPED_TRACE(c.name.description());
    int64_t failure = -1;
    EXPECT_EQ(APMDataTypeValidator::isValidInternalUserAttributeName(c.name, &failure), c.failure == 0);
    EXPECT_EQ(failure, c.failure);
    for (const auto& line : lines()) EXPECT_EQ(line.level, 0) << "names are refused as errors";
  }

  struct ValueCase {
    const char* name;
    std::optional<APMValue> value;  // nullopt: nil
    int64_t failure;
  } values[] = {
      {"level", APMValue::initWithString(std::string(36, 'v')), 0},
      {"level", APMValue::initWithString(emojis), 0},
      {"level", APMValue::initWithString(std::string(37, 'v')), 2},
      {"level", APMValue::initWithString(""), 1},
      {"level", APMValue::initWithInt64(1LL << 60), 0},
      {"level", std::nullopt, 1},
      {"_id", APMValue::initWithString(std::string(256, 'v')), 0},
      {"_id", APMValue::initWithString(std::string(257, 'v')), 2},
      {"_dvbraid", APMValue::initWithString(std::string(256, 'v')), 0},
      {"_psmvalue", APMValue::initWithString(std::string(512, 'v')), 0},
      {"_psmvalue", APMValue::initWithString(std::string(513, 'v')), 2},
  };
  for (const auto& c : values) {
    SCOPED_TRACE(std::string(c.name) + " " + (c.value ? c.value->description() : "nil"));
    int64_t failure = -1;
    const APMObject object = c.value ? APMObject(*c.value) : APMObject();
    EXPECT_EQ(APMDataTypeValidator::isValidInternalUserAttributeValue(object, c.name, &failure), c.failure == 0);
    EXPECT_EQ(failure, c.failure);
  }
  // Value refusals are warnings; an empty value is refused without one.
  newCodes();
  EXPECT_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue(*APMValue::initWithString(""), "x", nullptr));
  EXPECT_TRUE(newCodes().empty());
  EXPECT_FALSE(APMDataTypeValidator::isValidInternalUserAttributeValue("raw string", "x", nullptr));
  auto last = lines().back();
  EXPECT_EQ(last.code, kAPMValueCheckCodeNotAValue);
  EXPECT_EQ(last.level, 3);
}

TEST_F(RecordsTest, UserAttributesAreCheckedAndConvertToTheirMessage) {
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "bad-name", APMValue::initWithInt64(1), 1));
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("app", "level", *APMValue::initWithString(std::string(37, 'x')), 1));

  struct Case {
    APMValue value;
    int32_t field;  // -1: no value field
  } cases[] = {
      {APMValue::initWithDouble(2.5), 5},
      {APMValue::initWithInt64(-3), 3},
      {*APMValue::initWithString("gold"), 2},
      {*APMValue::initWithArray(os::Value::arrayOf({os::Value(1)})), -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.description());
    auto attribute = APMUserAttribute::initWithOrigin("app", "level", c.value, 1.9999);
    ASSERT_TRUE(attribute);
    auto message = attribute->protoUserAttribute();
    EXPECT_EQ(APMPBGetString(message.get(), 1), "level");
    EXPECT_EQ(APMPBGetInt64(message.get(), 0), 1999);
    for (int32_t field : {2, 3, 4, 5}) EXPECT_EQ(APMPBHasField(message.get(), field), field == c.field) << field;
  }
  EXPECT_TRUE(APMUserAttribute::initWithOrigin("app", "level", APMValue::initWithInt64(1), 0)->isPublic());
  EXPECT_FALSE(APMUserAttribute::initWithOrigin("auto", "_ln", APMValue::initWithInt64(1), 0)->isPublic());

  EXPECT_EQ(APMUserPropertyShortNames().size(), 10u);
  EXPECT_EQ(APMUserPropertyShortNames().at("user_id"), "_id");
  EXPECT_EQ(APMUserPropertyShortNames().at("session_user_engagement"), "_se");
}

TEST_F(RecordsTest, RawEventDataNeedsAnEventAndARow) {
  auto event = APMEvent::initWithOrigin("app", false, "_s", 10, 0, {});
  EXPECT_FALSE(APMRawEventData::initWithRawEvent(nullptr, 1, 2));
  EXPECT_FALSE(APMRawEventData::initWithRawEvent(event, -1, 2));
  auto data = APMRawEventData::initWithRawEvent(event, 0, 42000);
  ASSERT_TRUE(data);
  EXPECT_EQ(data->rawEvent(), event);
  EXPECT_EQ(data->metadataFingerprint(), 42000);
  EXPECT_EQ(newCodes(), (std::vector<int64_t>{kAPMRawEventDataCodeInvalidEvent, kAPMRawEventDataCodeInvalidRowID}));
}

TEST_F(RecordsTest, SequenceTimestampsKeepWholeSecondsOnceAndConvertByFilter) {
  EXPECT_FALSE(APMSequenceTimestampsCache::initWithAudienceID(std::nullopt));
  auto cache = APMSequenceTimestampsCache::initWithAudienceID(3);
  ASSERT_TRUE(cache);
  cache->addEventFilterTimestamp(10.2, 7);
  cache->addEventFilterTimestamp(10.7, 7);
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(7), (std::vector<double>{10.2}));
  cache->addEventFilterTimestamp(9.0, 7);  // earlier: kept, with a warning
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(7), (std::vector<double>{10.2, 9.0}));
  cache->setUserPropertyTimestamp(5, 2);
  cache->setUserPropertyTimestamp(3, 2);
  EXPECT_EQ(cache->sequenceTimestampsForFilterID(2), (std::vector<double>{3}));
  cache->addEventFilterTimestamp(1, std::nullopt);
  EXPECT_FALSE(cache->sequenceTimestampsForFilterID(std::nullopt));
  EXPECT_FALSE(cache->sequenceTimestampsForFilterID(99));

  // Both warnings are level 5: monitored, never printed.
  EXPECT_TRUE(newCodes().empty());
  EXPECT_EQ(monitored(), 2);

  auto results = cache->sequenceFilterResultTimestamps();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(APMPBGetInt32(results[0].get(), 0), 2);
  EXPECT_EQ(APMPBGetArray(results[0].get(), 1), os::Array({os::Value(3)}));
  EXPECT_EQ(APMPBGetInt32(results[1].get(), 0), 7);
  EXPECT_EQ(APMPBGetArray(results[1].get(), 1), os::Array({os::Value(9), os::Value(10)}));
  EXPECT_TRUE(APMSequenceTimestampsCache::initWithAudienceID(1)->sequenceFilterResultTimestamps().empty());
}

TEST_F(RecordsTest, EventsConvertToTheirMessageAndBack) {
  APMEventParameters parameters{{"level", APMValue::initWithInt64(3)},
                                {"score", APMValue::initWithDouble(2.5)},
                                {"name", *APMValue::initWithString("hero")}};
  auto event = APMEvent::initWithOrigin("app", true, "level_up", 1700000000.1239, 0, parameters);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->parameters().at("_o"), *APMValue::initWithString("app"));
  auto message = event->protoEvent();
  EXPECT_FALSE(APMPBHasField(message.get(), 3)) << "no previous time";
  EXPECT_EQ(APMPBGetInt64(message.get(), 2), 1700000000123);

  auto decoded = APMPBEvent::initWithBuffer(*message->protoBuffer());
  ASSERT_TRUE(decoded);
  auto back = APMEvent::initWithEventProto(*decoded);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "level_up");
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->timestamp(), 1700000000.123);
  EXPECT_EQ(back->parameters(), event->parameters());

  auto withPrevious = APMEvent::initWithOrigin("auto", false, "_e", 20, 10.5, {});
  EXPECT_EQ(APMPBGetInt64(withPrevious->protoEvent().get(), 3), 10500);

  // An origin that is not a string, or none, makes no event.
  auto broken = APMPBEvent::initWithBuffer(*message->protoBuffer());
  auto params = *APMPBGetArray<APMPBEventParam>(broken.get(), 0);
  for (auto& param : params) {
    if (APMPBGetString(param.get(), 0) == "_o") {
      APMPBSetString(param.get(), 1, std::nullopt);
      APMPBSetInt64(param.get(), 2, 1);
    }
  }
  APMPBSetArray(broken.get(), 0, params);
  const int64_t before = monitored();
  EXPECT_FALSE(APMEvent::initWithEventProto(*broken));
  EXPECT_EQ(monitored(), before + 1) << "15001, at a monitor-only level";
  APMPBSetArray(broken.get(), 0, nullptr);
  EXPECT_FALSE(APMEvent::initWithEventProto(*broken));
}

TEST_F(RecordsTest, AnArrayParameterBecomesOneUnnamedParameterPerItem) {
  const os::Value items = os::Value::arrayOf({
      os::Value{{"item_id", os::Value("a")}, {"price", os::Value(1.5)}},
      os::Value{{"item_id", os::Value("b")}, {"nested", os::Value::arrayOf({os::Value(1)})}},
      os::Value("not an item"),
  });
  auto event = APMEvent::initWithOrigin("app", true, "purchase", 1, 0,
                                        {{"items", *APMValue::initWithArray(items)}});
  const int64_t before = monitored();
  auto message = event->protoEvent();
  EXPECT_EQ(monitored(), before + 2) << "16007 and 16005, at a monitor-only level";

  auto params = *APMPBGetArray<APMPBEventParam>(message.get(), 0);
  ASSERT_EQ(params.size(), 2u);  // "_o", "items"
  EXPECT_EQ(APMPBGetString(params[1].get(), 0), "items");
  auto elements = *APMPBGetArray<APMPBEventParam>(params[1].get(), 5);
  ASSERT_EQ(elements.size(), 2u);
  for (const auto& element : elements) EXPECT_FALSE(APMPBHasField(element.get(), 0)) << "elements are unnamed";
  auto first = *APMPBGetArray<APMPBEventParam>(elements[0].get(), 5);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(APMPBGetString(first[0].get(), 0), "item_id");
  EXPECT_EQ(APMPBGetString(first[0].get(), 1), "a");
  EXPECT_EQ(APMPBGetDouble(first[1].get(), 4), 1.5);
  EXPECT_EQ(APMPBGetArray<APMPBEventParam>(elements[1].get(), 5)->size(), 1u) << "the nested array is left out";
}

}  // namespace
