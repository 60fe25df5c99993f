#include "measurement/engine/audiences/audience_filter_matching.h"

#include <cmath>
#include <limits>

#include "measurement/engine/audiences/tests/audience_test_support.h"
#include "os/foundation/regex.h"

namespace apm_audience_test {
namespace {

using CT = APMNumberFilterComparisonType;
using MT = APMStringFilterMatchType;

APMValue str(const char* text) { return *APMValue::initWithString(APMObject(text)); }
APMValue i64(int64_t value) { return APMValue::initWithInt64(value); }
APMValue dbl(double value) { return APMValue::initWithDouble(value); }

std::string show(const APMFilterOutcome& outcome) { return outcome ? (*outcome ? "YES" : "NO") : "none"; }

using MatchingTest = AudienceTest;

TEST_F(MatchingTest, NumberFiltersCompareIntegersStringsAndDoubles) {
  const double onePointOne = 0.1;
  const double oneStepUp = std::nextafter(onePointOne, 1.0);
  const double twoStepsUp = std::nextafter(oneStepUp, 1.0);
  const double threeStepsUp = std::nextafter(twoStepsUp, 1.0);
  const double oneStepDown = std::nextafter(onePointOne, 0.0);
  struct Case {
    std::shared_ptr<APMPBNumberFilter> filter;
    APMValue value;
    APMFilterOutcome expected;
  } cases[] = {
      // Between, both bounds included, for every kind of value.
      {betweenFilter("1", "5"), i64(1), true},
      {betweenFilter("1", "5"), i64(5), true},
      {betweenFilter("1", "5"), i64(0), false},
      {betweenFilter("1", "5"), i64(6), false},
      {betweenFilter("1", "5"), str("1"), true},
      {betweenFilter("1", "5"), str("5"), true},
      {betweenFilter("1", "5"), str("0.999"), false},
      {betweenFilter("1", "5"), str("5.001"), false},
      {betweenFilter("1", "5"), dbl(1.0), true},
      {betweenFilter("1", "5"), dbl(5.0), true},
      {betweenFilter("1", "5"), dbl(0.999), false},
      {betweenFilter("1", "5"), dbl(5.001), false},
      // Double equality: within one representable step, bounds exclusive.
      {numberFilter(CT::Equal, "0.1"), dbl(onePointOne), true},
      {numberFilter(CT::Equal, "0.1"), dbl(oneStepUp), true},
      {numberFilter(CT::Equal, "0.1"), dbl(oneStepDown), true},
      {numberFilter(CT::Equal, "0.1"), dbl(twoStepsUp), false},
      {numberFilter(CT::Equal, "0.1"), dbl(threeStepsUp), false},
      // Decimal equality is exact.
      {numberFilter(CT::Equal, "0.1"), str("0.10"), true},
      {numberFilter(CT::Equal, "0.1"), str("0.1000000000000000001"), false},
      {numberFilter(CT::Equal, "-7"), i64(-7), true},
      {numberFilter(CT::Equal, "+7"), i64(7), true},
      // A string compares as a decimal number, not as text.
      {numberFilter(CT::GreaterThan, "10"), str("12"), true},
      {numberFilter(CT::GreaterThan, "10"), str("9"), false},
      {numberFilter(CT::LessThan, ".5"), str("0.25"), true},
      {numberFilter(CT::LessThan, "5."), dbl(4.5), true},
      {numberFilter(CT::LessThan, "-1"), i64(std::numeric_limits<int64_t>::min()), true},
      {numberFilter(CT::GreaterThan, "9223372036854775806"), i64(std::numeric_limits<int64_t>::max()), true},
      // No outcome: exponent notation, not finite, not a number at all.
      {numberFilter(CT::GreaterThan, "10"), str("1e3"), std::nullopt},
      {numberFilter(CT::GreaterThan, "10"), dbl(std::nan("")), std::nullopt},
      {numberFilter(CT::GreaterThan, "10"), dbl(std::numeric_limits<double>::infinity()), std::nullopt},
      {numberFilter(CT::GreaterThan, "10"), str("ten"), std::nullopt},
      // Malformed filters have no outcome either.
      {numberFilter(CT::GreaterThan, "1e3"), i64(5), std::nullopt},
      {numberFilter(CT::GreaterThan), i64(5), std::nullopt},
      {numberFilter(CT::Unknown, "1"), i64(5), std::nullopt},
      {numberFilter(CT(9), "1"), dbl(5), std::nullopt},
      {numberFilter(CT::Between, std::nullopt, "1"), i64(5), std::nullopt},
      {numberFilter(CT::LessThan, std::string(400, '9')), dbl(5), std::nullopt},  // beyond the doubles
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.description());
    EXPECT_EQ(show(APMEvaluateFilter(*valueFilter(c.filter), c.value)), show(c.expected));
  }
}

TEST_F(MatchingTest, NoOutcomeIsLoggedWithItsCode) {
  struct Case {
    std::shared_ptr<APMPBFilter> filter;
    APMValue value;
    int64_t code;
  } cases[] = {
      {valueFilter(numberFilter(CT::GreaterThan, "10")), str("1e3"), kAPMAudienceCodeStringNotNumeric},
      {valueFilter(numberFilter(CT::GreaterThan, "10")), dbl(std::nan("")), kAPMAudienceCodeDoubleOutOfRange},
      {valueFilter(numberFilter(CT::GreaterThan, "10")), dbl(-INFINITY), kAPMAudienceCodeDoubleOutOfRange},
      {valueFilter(nullptr), i64(1), kAPMAudienceCodeNoNumberOrStringFilter},
      {valueFilter(nullptr, stringFilter(MT::Exact, "a")), i64(1), kAPMAudienceCodeValueNotAString},
      {valueFilter(numberFilter(CT::GreaterThan)), i64(1), kAPMAudienceCodeInvalidComparisonValue},
      {valueFilter(numberFilter(CT::Unknown, "1")), i64(1), kAPMAudienceCodeUnknownComparisonType},
      {valueFilter(numberFilter(CT(5), "1")), i64(1), kAPMAudienceCodeRealUnknownComparisonType},
      {valueFilter(numberFilter(CT::LessThan, std::string(400, '9'))), dbl(1), kAPMAudienceCodeInvalidDoubleComparison},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    clearLog();
    EXPECT_EQ(APMEvaluateFilter(*c.filter, c.value), std::nullopt);
    EXPECT_TRUE(logged(c.code)) << testing::PrintToString(codes());
  }
  // Both bounds of a between filter are checked and reported.
  clearLog();
  EXPECT_FALSE(APMIsValidNumberFilter(*numberFilter(CT::Between, std::nullopt, "x", "")));
  EXPECT_EQ(codes(), (std::vector<int64_t>{kAPMAudienceCodeInvalidMinComparisonValue,
                                           kAPMAudienceCodeInvalidMaxComparisonValue}));
  clearLog();
  auto noType = APMPBNumberFilter::initWithMessageInfo(nullptr);
  EXPECT_FALSE(APMIsValidNumberFilter(*noType));
  EXPECT_EQ(codes(), std::vector<int64_t>{kAPMAudienceCodeNoComparisonType});
}

TEST_F(MatchingTest, StringFiltersMatchAsTheirTypeSays) {
  struct Case {
    std::shared_ptr<APMPBStringFilter> filter;
    const char* string;
    APMFilterOutcome expected;
  } cases[] = {
      {stringFilter(MT::BeginsWith, "Abc"), "abcdef", true},
      {stringFilter(MT::BeginsWith, "Abc", true), "abcdef", false},
      {stringFilter(MT::BeginsWith, "Abc", false), "Abcdef", true},
      {stringFilter(MT::BeginsWith, "bcd"), "abcdef", false},
      {stringFilter(MT::EndsWith, "xyz"), "xy", false},
      {stringFilter(MT::EndsWith, "xyz", true), "xy", false},
      {stringFilter(MT::EndsWith, "XYZ"), "abcxyz", true},
      {stringFilter(MT::EndsWith, "XYZ", true), "abcxyz", false},
      {stringFilter(MT::EndsWith, "xy"), "xyz", false},
      {stringFilter(MT::Contains, "CD"), "abcdef", true},
      {stringFilter(MT::Contains, "CD", true), "abcdef", false},
      {stringFilter(MT::Exact, "ABC"), "abc", true},
      {stringFilter(MT::Exact, "ABC"), "abcd", false},
      {stringFilter(MT::Exact, "ABC", true), "abc", false},
      {stringFilter(MT::Exact, "Stra\xC3\x9F" "e"), "STRASSE", false},  // same folding, not the same length
      {stringFilter(MT::InList, std::nullopt, std::nullopt, {"a", "B"}), "b", true},
      {stringFilter(MT::InList, std::nullopt, true, {"a", "B"}), "b", false},
      {stringFilter(MT::InList, std::nullopt, std::nullopt, {"a", "B"}), "c", false},
      {stringFilter(MT::RegularExpression, "b+"), "abbc", true},
      {stringFilter(MT::RegularExpression, "^b+$"), "abbc", false},
      {stringFilter(MT::RegularExpression, "B+"), "abbc", true},
      {stringFilter(MT::RegularExpression, "B+", true), "abbc", false},
      // A type the client does not know passes validation and never matches.
      {stringFilter(MT(7), "abc"), "abc", false},
      // Malformed filters have no outcome.
      {stringFilter(MT::RegularExpression, "("), "(", std::nullopt},
      {stringFilter(MT::Exact), "abc", std::nullopt},
      {stringFilter(MT::InList), "abc", std::nullopt},
      {stringFilter(MT::Unknown, "abc"), "abc", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.string);
    const std::string string = c.string;
    EXPECT_EQ(show(APMMatchStringFilter(*c.filter, &string)), show(c.expected));
  }
  EXPECT_EQ(APMMatchStringFilter(*stringFilter(MT::Exact, "a"), nullptr), std::nullopt);
  EXPECT_TRUE(logged(kAPMAudienceCodeEvaluationStringNil));
}

TEST_F(MatchingTest, StringFilterValidityAndTheCompiledExpression) {
  struct Case {
    std::shared_ptr<APMPBStringFilter> filter;
    bool valid;
    std::optional<int64_t> code;
  } cases[] = {
      {stringFilter(MT::RegularExpression, "b+"), true, std::nullopt},
      {stringFilter(MT::RegularExpression, "(unclosed"), false, kAPMAudienceCodeRegexUnparsable},
      {stringFilter(MT::RegularExpression), false, kAPMAudienceCodeNoExpression},
      {stringFilter(MT::InList, std::nullopt, std::nullopt, {"a"}), true, std::nullopt},
      {stringFilter(MT::InList, "a"), false, kAPMAudienceCodeNoExpressionList},
      {stringFilter(MT::Unknown, "a"), false, kAPMAudienceCodeUnknownMatchType},
      {stringFilter(MT(7), "a"), true, std::nullopt},
      {stringFilter(MT(7)), false, kAPMAudienceCodeNoExpression},
      {APMPBStringFilter::initWithMessageInfo(nullptr), false, kAPMAudienceCodeNoMatchType},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code.value_or(0));
    clearLog();
    EXPECT_EQ(APMValidateStringFilter(*c.filter), c.valid);
    if (c.code) {
      EXPECT_EQ(codes(), std::vector<int64_t>{*c.code});
    }
  }
  std::shared_ptr<const os::RegularExpression> regex;
  ASSERT_TRUE(APMValidateStringFilter(*stringFilter(MT::RegularExpression, "b+"), &regex));
  ASSERT_TRUE(regex);
  EXPECT_EQ(regex->options(), os::RegularExpression::Options::CaseInsensitive);
}

// A server-given expression that backtracks without end must not hold the
// worker queue: it runs out of time and the filter has no outcome.
TEST_F(MatchingTest, RunawayExpressionEndsWithinTheTimeLimitWithoutOutcome) {
  const std::string text = std::string(30, 'a') + "b";
  EXPECT_EQ(APMMatchStringFilter(*stringFilter(MT::RegularExpression, "(a+)+$"), &text), std::nullopt);
  const auto line = this->line(kAPMAudienceCodeInvalidStringFilter);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->level, 1);
  ASSERT_EQ(line->contexts.size(), 1u);
  ASSERT_TRUE(line->contexts[0].error());
  EXPECT_EQ(line->contexts[0].error()->domain(), os::kRegularExpressionErrorDomain);
  EXPECT_EQ(line->contexts[0].error()->code(), int64_t(os::RegularExpressionError::TimeLimitExceeded));
}

TEST_F(MatchingTest, ComplementFlipsYesAndNoButNeverNone) {
  struct Case {
    APMValue value;
    APMFilterOutcome plain;
  } cases[] = {{str("abc"), true}, {str("xyz"), false}, {i64(3), std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.description());
    auto filter = stringFilter(MT::Exact, "abc");
    EXPECT_EQ(APMEvaluateFilter(*valueFilter(nullptr, filter), c.value), c.plain);
    const APMFilterOutcome flipped = c.plain ? APMFilterOutcome(!*c.plain) : std::nullopt;
    EXPECT_EQ(APMEvaluateFilter(*valueFilter(nullptr, filter, true), c.value), flipped);
  }
}

TEST_F(MatchingTest, EventFiltersCheckNameCountAndEveryParameter) {
  APMEventParameters parameters{{"value", str("12")}, {"level", i64(3)}, {"items", *APMValue::initWithArray(APMObject(os::Value(os::Array{})))}};
  APMEventAggregates aggregates("_e", /*lifetime*/ 10, /*bundle*/ 1, /*session*/ 2, 0);
  auto greaterThan10 = numberFilter(CT::GreaterThan, "10");
  auto sessionCountIs2 = numberFilter(CT::Equal, "2");
  struct Case {
    const char* name;
    std::shared_ptr<APMPBEventFilter> filter;
    const char* eventName;
    APMFilterOutcome expected;
    std::optional<int64_t> code;
  } cases[] = {
      {"name only", eventFilter(1, "_e"), "_e", true, std::nullopt},
      {"other name", eventFilter(1, "_f"), "_e", std::nullopt, kAPMAudienceCodeEventNameMismatch},
      {"no name", eventFilter(1, std::nullopt), "_e", std::nullopt, kAPMAudienceCodeEventNameMismatch},
      {"empty event name", eventFilter(1, "_e"), "", std::nullopt, kAPMAudienceCodeEventNameNil},
      {"session count", eventFilter(1, "_e", {}, sessionCountIs2, {.sessionScoped = true}), "_e", true, std::nullopt},
      {"lifetime count", eventFilter(1, "_e", {}, sessionCountIs2), "_e", false, std::nullopt},
      // A string parameter against a number-only filter has no outcome; with a
      // string filter beside it the number filter decides.
      {"string param, number filter", eventFilter(1, "_e", {valueFilter(greaterThan10, nullptr, false, "value")}),
       "_e", std::nullopt, kAPMAudienceCodeStringParameterNoStringFilter},
      {"string param, both filters",
       eventFilter(1, "_e", {valueFilter(greaterThan10, stringFilter(MT::Exact, "nope"), false, "value")}), "_e",
       true, std::nullopt},
      {"integer param", eventFilter(1, "_e", {valueFilter(numberFilter(CT::Equal, "3"), nullptr, false, "level")}),
       "_e", true, std::nullopt},
      {"array param", eventFilter(1, "_e", {valueFilter(numberFilter(CT::Equal, "3"), nullptr, false, "items")}),
       "_e", std::nullopt, std::nullopt},
      {"first NO ends", eventFilter(1, "_e", {valueFilter(numberFilter(CT::Equal, "4"), nullptr, false, "level"),
                                              valueFilter(greaterThan10, nullptr, false, "value")}),
       "_e", false, std::nullopt},
      {"missing param", eventFilter(1, "_e", {valueFilter(greaterThan10, nullptr, false, "absent")}), "_e",
       std::nullopt, kAPMAudienceCodeMissingParameter},
      {"no param name", eventFilter(1, "_e", {valueFilter(greaterThan10)}), "_e", std::nullopt,
       kAPMAudienceCodeNoParameterName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearLog();
    EXPECT_EQ(show(APMEvaluateEventFilter(*c.filter, c.eventName, parameters, &aggregates)), show(c.expected));
    if (c.code) {
      EXPECT_TRUE(logged(*c.code)) << testing::PrintToString(codes());
    }
  }
  // Aggregates of another event give a count filter no outcome.
  APMEventAggregates other("_f", 10, 1, 2, 0);
  EXPECT_EQ(APMEvaluateEventFilter(*eventFilter(1, "_e", {}, sessionCountIs2), "_e", {}, &other), std::nullopt);
  EXPECT_TRUE(logged(kAPMAudienceCodeAggregatesNameMismatch));
}

TEST_F(MatchingTest, PropertyFiltersAndStoredRecords) {
  auto attribute = APMUserAttribute::initWithOrigin("app", "level", i64(7), 1000);
  ASSERT_TRUE(attribute);
  auto greaterThan5 = valueFilter(numberFilter(CT::GreaterThan, "5"));
  EXPECT_EQ(APMEvaluatePropertyFilter(propertyFilter(1, "level", greaterThan5).get(), attribute.get()), true);
  struct Case {
    std::shared_ptr<APMPBPropertyFilter> filter;
    std::shared_ptr<APMUserAttribute> property;
    int64_t code;
  } cases[] = {
      {nullptr, attribute, kAPMAudienceCodePropertyFilterNil},
      {propertyFilter(1, "level", greaterThan5), nullptr, kAPMAudienceCodeUserPropertyNil},
      {propertyFilter(1, "score", greaterThan5), attribute, kAPMAudienceCodePropertyNameMismatch},
      {propertyFilter(1, "level", nullptr), attribute, kAPMAudienceCodePropertyFilterNoFilter},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    clearLog();
    EXPECT_EQ(APMEvaluatePropertyFilter(c.filter.get(), c.property.get()), std::nullopt);
    EXPECT_TRUE(logged(c.code)) << testing::PrintToString(codes());
  }

  // Records decode their filter; one that does not decode has no outcome.
  EXPECT_EQ(APMEvaluatePropertyFilterRecord(*propertyFilterRow(4, *propertyFilter(1, "level", greaterThan5)),
                                            attribute.get()),
            true);
  EXPECT_EQ(APMEvaluateEventFilterRecord(*eventFilterRow(4, *eventFilter(1, "_e")), {}, nullptr), true);
  const uint8_t garbage[] = {0xFF, 0xFF, 0xFF};
  APMEventFilter corruptEvent(4, 1, "_e", os::Data(garbage, sizeof garbage), false, true, false);
  APMPropertyFilter emptyProperty(4, 1, "level", os::Data(), false, false, false);
  clearLog();
  EXPECT_EQ(APMEvaluateEventFilterRecord(corruptEvent, {}, nullptr), std::nullopt);
  EXPECT_EQ(APMEvaluatePropertyFilterRecord(emptyProperty, attribute.get()), std::nullopt);
  EXPECT_EQ(codes(), (std::vector<int64_t>{kAPMAudienceCodeCorruptEventFilter, kAPMAudienceCodeCorruptPropertyFilter}));
}

}  // namespace
}  // namespace apm_audience_test
