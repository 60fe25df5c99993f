#include "measurement/engine/purchases/lifetime_value_recorder.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <string>
#include <vector>

#include "measurement/store/tests/database_test_support.h"

namespace {

class LifetimeValueRecorderTest : public apm_test::DatabaseTest {
 protected:
  bool record(std::string_view name, APMEventParameters parameters) {
    auto e = event(name, clock_->wallTime(), std::move(parameters));
    EXPECT_TRUE(e) << name;
    return e && APMLifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *e);
  }
  static APMEventParameters money(double value, const char* currency) {
    return {{"value", APMValue::initWithDouble(value)}, {"currency", *APMValue::initWithString(currency)}};
  }
  // Lifetime-value property name -> total, most recent first.
  std::vector<std::pair<std::string, int64_t>> totals() {
    std::vector<std::pair<std::string, int64_t>> out;
    auto all = database_->allLifetimeValueUserAttributes(nullptr);
    EXPECT_TRUE(all);
    if (!all) return out;
    for (const auto& attribute : *all) {
      EXPECT_EQ(attribute->origin(), "auto");
      out.emplace_back(attribute->name(), attribute->value().int64Value());
    }
    return out;
  }
  bool loggedCode(int64_t code) {
    const auto all = codes();
    return std::find(all.begin(), all.end(), code) != all.end();
  }
};

TEST_F(LifetimeValueRecorderTest, PurchasesAddAndRefundsSubtractPerUpperCaseCurrency) {
  using Totals = std::vector<std::pair<std::string, int64_t>>;
  EXPECT_TRUE(record("purchase", money(9.99, "usd")));
  EXPECT_EQ(totals(), (Totals{{"_ltv_USD", 9'990'000}}));
  EXPECT_TRUE(record("refund", money(9.99, "USD")));
  EXPECT_TRUE(record("refund", money(9.99, "usd")));
  EXPECT_EQ(totals(), (Totals{{"_ltv_USD", -9'990'000}}));
  // "_iap" values are micros already; integer e-commerce values are units.
  EXPECT_TRUE(record("_iap", {{"value", APMValue::initWithInt64(1234)}, {"currency", *APMValue::initWithString("usd")}}));
  EXPECT_TRUE(record("ecommerce_purchase",
                     {{"value", APMValue::initWithInt64(2)}, {"currency", *APMValue::initWithString("usd")}}));
  EXPECT_EQ(totals(), (Totals{{"_ltv_USD", -9'990'000 + 1234 + 2'000'000}}));
  EXPECT_TRUE(loggedCode(kAPMLifetimeValueCodeUpdated));
}

TEST_F(LifetimeValueRecorderTest, BadCurrencyOrValueChangesNothingAndLetsTheEventGoOn) {
  struct Case {
    const char* label;
    const char* name;
    APMEventParameters parameters;
    int64_t code;
  };
  const Case cases[] = {
      {"two letters", "purchase", money(1, "US"), kAPMLifetimeValueCodeInvalidCurrency},
      {"numeric currency", "purchase",
       {{"value", APMValue::initWithDouble(1)}, {"currency", APMValue::initWithInt64(840)}},
       kAPMLifetimeValueCodeInvalidCurrency},
      {"no currency", "purchase", {{"value", APMValue::initWithDouble(1)}}, kAPMLifetimeValueCodeInvalidCurrency},
      {"no name from the code", "purchase", money(1, "US$"), kAPMLifetimeValueCodeInvalidCurrency},
      {"text value", "refund",
       {{"value", *APMValue::initWithString("1")}, {"currency", *APMValue::initWithString("EUR")}},
       kAPMLifetimeValueCodeInvalidValue},
      {"no value", "_iap", {{"currency", *APMValue::initWithString("EUR")}}, kAPMLifetimeValueCodeInvalidValue},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_TRUE(record(c.name, c.parameters));
    EXPECT_TRUE(loggedCode(c.code));
  }
  EXPECT_TRUE(record("level_up", money(1, "USD")));
  EXPECT_TRUE(totals().empty());
}

TEST_F(LifetimeValueRecorderTest, ANewCurrencyPastTheLimitRemovesTheLeastRecentOnly) {
  for (const char* currency : {"usd", "eur", "gbp", "jpy"}) {
    EXPECT_TRUE(record("purchase", money(1, currency)));
    clock_->advance(1);
  }
  EXPECT_TRUE(record("purchase", money(2, "usd")));  // now the most recent
  clock_->advance(1);
  EXPECT_TRUE(record("purchase", money(1, "chf")));
  using Totals = std::vector<std::pair<std::string, int64_t>>;
  EXPECT_EQ(totals(), (Totals{{"_ltv_CHF", 1'000'000},
                              {"_ltv_USD", 3'000'000},
                              {"_ltv_JPY", 1'000'000},
                              {"_ltv_GBP", 1'000'000}}));

  // A lower limit still removes one property per new currency.
  services_->settings().setMaxTrackedCurrencies(2);
  clock_->advance(1);
  EXPECT_TRUE(record("purchase", money(1, "cad")));
  EXPECT_EQ(totals().size(), 4u);
  EXPECT_EQ(totals().front().first, "_ltv_CAD");
}

TEST_F(LifetimeValueRecorderTest, AmountsOutsideTheRangeDropTheEvent) {
  EXPECT_FALSE(record("purchase", money(1e13, "usd")));
  EXPECT_TRUE(loggedCode(kAPMLifetimeValueCodeOutOfBounds));
  EXPECT_FALSE(record("_iap", {{"value", APMValue::initWithDouble(1e19)}, {"currency", *APMValue::initWithString("usd")}}));
  EXPECT_TRUE(totals().empty());
}

// The Part leaves a total past the int64 range open; adding wrapped around
// to a large negative total. The sum is checked: out of bounds, total kept.
TEST_F(LifetimeValueRecorderTest, ATotalPassingTheRangeIsOutOfBoundsAndKept) {
  const int64_t nearMax = std::numeric_limits<int64_t>::max() - 10;
  auto iap = [](int64_t micros) {
    return APMEventParameters{{"value", APMValue::initWithInt64(micros)}, {"currency", *APMValue::initWithString("usd")}};
  };
  EXPECT_TRUE(record("_iap", iap(nearMax)));
  EXPECT_FALSE(record("_iap", iap(100)));
  EXPECT_TRUE(loggedCode(kAPMLifetimeValueCodeOutOfBounds));
  EXPECT_EQ(totals().front().second, nearMax);
  EXPECT_TRUE(record("_iap", iap(10)));
  EXPECT_EQ(totals().front().second, std::numeric_limits<int64_t>::max());
}

TEST_F(LifetimeValueRecorderTest, AFailingStoreAnswersNo) {
  execOnFile("DROP TABLE user_attributes");
  EXPECT_FALSE(record("purchase", money(1, "usd")));
  EXPECT_TRUE(loggedCode(kAPMLifetimeValueCodeQueryFailed));
}

}  // namespace
