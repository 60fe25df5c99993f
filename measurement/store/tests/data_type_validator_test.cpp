#include "measurement/store/engine_services/data_type_validator.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/store/data_type_labels.h"
#include "measurement/store/testing/measurement_services_double.h"
#include "measurement/store/tests/test_support.h"

namespace {

using apm_test::MonitoredTest;
using V = APMDataTypeValidator;

std::string repeat(std::string_view piece, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += piece;
  return out;
}

// U+1D400, a capital letter outside the basic plane: one scalar, two UTF-16
// units.
constexpr const char* kBoldA = "\xF0\x9D\x90\x80";

class DataTypeValidatorTest : public MonitoredTest {};

TEST_F(DataTypeValidatorTest, NamesAndValuesAcceptedAndRefused) {
  using Check = std::function<bool(int64_t*)>;
  struct Case {
    const char* name;
    Check check;
    int64_t failure;      // 0: valid
    int64_t messageCode;  // 0: nothing logged
    int64_t level;
  };
  const auto event = [](os::Value name) { return [name](int64_t* f) { return V::isValidPublicEventName(name, f); }; };
  const auto internalEvent = [](std::string name) {
    return [name](int64_t* f) { return V::isValidInternalEventName(name, f); };
  };
  const auto userName = [](std::string name) {
    return [name](int64_t* f) { return V::isValidPublicUserAttributeName(name, f); };
  };
  const auto userValue = [](std::string text) {
    return [text](int64_t* f) { return V::isValidPublicUserAttributeValue(*APMValue::initWithString(text), f); };
  };
  const auto internalUserValue = [](std::string name, int length) {
    return [name, length](int64_t* f) {
      return V::isValidInternalUserAttributeValue(*APMValue::initWithString(std::string(length, 'v')), name, f);
    };
  };
  const auto currency = [](std::string code) {
    return [code](int64_t* f) { return V::isValidCurrencyCode(*APMValue::initWithString(code), f); };
  };
  const auto array = [](std::string event, std::string param, int64_t count, bool nested) {
    return [=](int64_t* f) { return V::isValidArrayParamForEvent(event, param, count, nested, f); };
  };
  const auto forwarded = [](std::string origin) {
    return [origin](int64_t* f) { return V::isValidForwardedEventOrigin(origin, f); };
  };
  const Case cases[] = {
      // Public event names.
      {"ad_impression is loggable", event("ad_impression"), 0, 0, 0},
      {"screen_view is loggable", event("screen_view"), 0, 0, 0},
      {"first_open is reserved", event("first_open"), 4, 13006, 0},
      {"vivuzuvu_campaign is reserved", event("vivuzuvu_campaign"), 4, 13006, 0},
      {"reserved prefix", event("vivuzuvu_mine"), 4, 13007, 0},
      {"40 characters", event(std::string(40, 'e')), 0, 0, 0},
      {"41 characters", event(std::string(41, 'e')), 2, 13000, 0},
      {"40 letters outside the basic plane", event(repeat(kBoldA, 40)), 0, 0, 0},
      {"letters of any script", event("\xE6\x97\xA5\xE6\x9C\xAC_2"), 0, 0, 0},
      {"leading digit", event("1st"), 3, 13003, 0},
      {"leading underscore", event("_e"), 3, 13003, 0},
      {"letter and U+0301", event("e\xCC\x81"), 3, 13002, 0},
      {"hyphen", event("a-b"), 3, 13002, 0},
      {"empty", event(""), 1, 13001, 0},
      {"nil", [](int64_t* f) { return V::isValidPublicEventName(APMObject(), f); }, 1, 13001, 0},
      {"not a string", event(os::Value(7)), 5, 13000, 0},
      {"invalid UTF-8", event("a\xFF"), 3, 13002, 0},
      {"internal name may start with _", internalEvent("_e"), 0, 0, 0},
      {"internal name may start with a digit", internalEvent("1st"), 0, 0, 0},
      // Parameter names.
      {"reserved parameter prefix", [](int64_t* f) { return V::isValidPublicEventParameterName("dv_p", f); }, 4,
       13008, 0},
      // User properties.
      {"user property name of 24", userName(std::string(24, 'u')), 0, 0, 0},
      {"user property name of 25", userName(std::string(25, 'u')), 2, 13000, 0},
      {"reserved user property name", userName("user_id"), 4, 13009, 0},
      {"reserved user property prefix", userName("devuvo_x"), 4, 13010, 0},
      {"user property value of 36", userValue(std::string(36, 'v')), 0, 0, 0},
      {"user property value of 37", userValue(std::string(37, 'v')), 2, 13000, 3},
      {"empty user property value", userValue(""), 1, 0, 0},
      {"numeric user property value",
       [](int64_t* f) { return V::isValidPublicUserAttributeValue(APMValue::initWithInt64(1LL << 62), f); }, 0, 0, 0},
      {"user property value not an APMValue",
       [](int64_t* f) { return V::isValidPublicUserAttributeValue("text", f); }, 5, 13005, 3},
      // Values that are not UTF-8 were kept and uploaded as "".
      {"user property value not UTF-8", userValue("ok\xC3"), 5, 13000, 3},
      {"parameter value not UTF-8",
       [](int64_t* f) { return V::isValidPublicEventParameterValue(*APMValue::initWithString("\xFFx"), f); }, 5,
       13000, 3},
      {"screen name not UTF-8",
       [](int64_t* f) { return V::isValidScreenParameterValue(os::Value("Meter\xE2\x82"), f); }, 5, 13000, 0},
      {"nil user property value", [](int64_t* f) { return V::isValidPublicUserAttributeValue(APMObject(), f); }, 1,
       13004, 3},
      {"_id takes 256", internalUserValue("_id", 256), 0, 0, 0},
      {"_id refuses 257", internalUserValue("_id", 257), 2, 13000, 3},
      {"_psmvalue takes 512", internalUserValue("_psmvalue", 512), 0, 0, 0},
      {"_psmvalue refuses 513", internalUserValue("_psmvalue", 513), 2, 13000, 3},
      // Numbers and currencies.
      {"int64 is numeric", [](int64_t* f) { return V::isValidNumericValue(APMValue::initWithInt64(3), f); }, 0, 0, 0},
      {"string is not numeric",
       [](int64_t* f) { return V::isValidNumericValue(*APMValue::initWithString("3"), f); }, 8, 13011, 3},
      {"three small letters", currency("usd"), 0, 0, 0},
      {"three letters of another script", currency("\xD0\xB0\xD0\xB1\xD0\xB2"), 0, 0, 0},
      {"a digit", currency("US1"), 9, 13012, 3},
      {"four letters", currency("USDX"), 9, 13012, 3},
      {"three scalars of six UTF-16 units", currency(repeat(kBoldA, 3)), 9, 13012, 3},
      {"number as currency", [](int64_t* f) { return V::isValidCurrencyCode(APMValue::initWithInt64(840), f); }, 9,
       13012, 3},
      // Array parameters.
      {"200 items", array("purchase", "items", 200, false), 0, 0, 0},
      {"201 items", array("purchase", "items", 201, false), 12, 13013, 0},
      {"array outside e-commerce", array("level_up", "items", 1, false), 10, 13013, 0},
      {"array not named items", array("purchase", "products", 1, false), 11, 13013, 0},
      {"nested array", array("purchase", "items", 1, true), 13, 13013, 0},
      {"item not a dictionary", [](int64_t* f) { return V::isValidArrayParamItem(os::Value("x"), f); }, 14, 13014, 0},
      // Origins.
      {"forwarded origin", forwarded("app+dtm"), 0, 0, 0},
      {"origin without +dtm", forwarded("app"), 6, 0, 0},
      {"empty forwarded origin", forwarded(""), 1, 0, 0},
      {"+dtm alone", forwarded("+dtm"), 1, 13001, 0},
      {"forwarded origin of 33", forwarded(std::string(33, 'o') + "+dtm"), 2, 13000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t failure = -1;
    EXPECT_EQ(c.check(&failure), c.failure == 0);
    EXPECT_EQ(failure, c.failure);
    const auto logged = lines();
    if (c.messageCode == 0) {
      EXPECT_TRUE(logged.empty()) << logged.front().code;
    } else {
      ASSERT_EQ(logged.size(), 1u);
      EXPECT_EQ(logged[0].code, c.messageCode);
      EXPECT_EQ(logged[0].level, c.level);
    }
    // Without a failure pointer the check answers and logs the same.
    sink_->clear();
    EXPECT_EQ(c.check(nullptr), c.failure == 0);
    EXPECT_EQ(lines().size(), logged.size());
    sink_->clear();
  }
}

TEST_F(DataTypeValidatorTest, MessagesNameTheDatumAndTheLimit) {
  EXPECT_FALSE(V::isValidPublicEventName(std::string(41, 'e'), nullptr));
  EXPECT_FALSE(V::isValidPublicEventName("first_open", nullptr));
  EXPECT_FALSE(V::isValidPublicUserAttributeName("1x", nullptr));
  EXPECT_FALSE(V::isValidCurrencyCode(*APMValue::initWithString("us"), nullptr));
  EXPECT_FALSE(V::isValidArrayParamForEvent("purchase", "items", 201, false, nullptr));
  std::vector<std::string> messages;
  for (const auto& line : lines()) messages.push_back(line.message);
  EXPECT_EQ(messages, (std::vector<std::string>{
                          "Event name is too long. The maximum supported length is 40: " + std::string(41, 'e'),
                          "Event name is reserved. Ignoring event: first_open",
                          "User property name must start with a letter: 1x",
                          "Event parameter value must contain a 3-letter ISO_4217 currency code. value: us",
                          "Array parameter has too many items. The maximum number of supported items is 200. "
                          "Invalid array size: 201",
                      }));
}

TEST_F(DataTypeValidatorTest, ParameterValueLimitsFollowTheRemoteSettingAtEachCall) {
  const auto text = [](int length) { return *APMValue::initWithString(std::string(length, 'v')); };
  // No engine: the default of 500.
  EXPECT_TRUE(V::isValidPublicEventParameterValue(text(500), nullptr));
  EXPECT_FALSE(V::isValidPublicEventParameterValue(text(501), nullptr));
  EXPECT_TRUE(V::isValidPublicEventParameterValue(text(0), nullptr));

  auto engine = apm_test::MeasurementServicesDouble::install();
  engine->settings().setMaxPublicEventParameterValueLength(100);
  int64_t failure = -1;
  EXPECT_FALSE(V::isValidPublicEventParameterValue(text(101), &failure));
  EXPECT_EQ(failure, 2);
  EXPECT_FALSE(V::isValidScreenParameterValue(std::string(101, 's'), nullptr));
  // Internal values keep at least 256.
  EXPECT_TRUE(V::isValidInternalEventParameterValue(text(256), nullptr));
  EXPECT_FALSE(V::isValidInternalEventParameterValue(text(257), nullptr));

  engine->settings().setMaxPublicEventParameterValueLength(400);
  EXPECT_TRUE(V::isValidPublicEventParameterValue(text(400), nullptr));
  EXPECT_TRUE(V::isValidInternalEventParameterValue(text(400), nullptr));
  EXPECT_FALSE(V::isValidInternalEventParameterValue(text(401), nullptr));
  APMMeasurementServices::setSharedInstance(nullptr);
}

}  // namespace
