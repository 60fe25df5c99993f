#include "os/foundation/decimal.h"

#include <gtest/gtest.h>

#include <string>

namespace os {
namespace {

TEST(DecimalTest, ParsesExactlyAndPrintsTheShortestExactText) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"1.50", "1.5"},
      {"+.5", "0.5"},
      {"-.5", "-0.5"},
      {"007", "7"},
      {"12.", "12"},
      {"-0", "0"},
      {"0.000", "0"},
      {"120000", "120000"},
      {"0.00125", "0.00125"},
      {"1e5", "100000"},
      {"2.5E-3", "0.0025"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
      // Digits beyond the 38 the mantissa keeps are dropped, not rounded.
      {"123456789012345678901234567890123456789", "123456789012345678901234567890123456780"},
      {"0.123456789012345678901234567890123456789", "0.12345678901234567890123456789012345678"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Decimal::fromString(c.text).description(), c.expected);
  }
  EXPECT_EQ(Decimal::fromString("1e127").description(), "1" + std::string(127, '0'));
  EXPECT_EQ(Decimal::fromString("1e-128").description(), "0." + std::string(127, '0') + "1");
}

TEST(DecimalTest, AnythingButAWholeNumberIsNotANumber) {
  for (const char* text : {"", ".", "+", "-", "e5", "1e", "1e+", "1,000", " 1", "1 ", "1.2.3", "0x10", "abc", "1e999"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(Decimal::fromString(text).isNaN());
  }
  EXPECT_EQ(Decimal::notANumber().description(), "NaN");
}

TEST(DecimalTest, TheLocaleGivesTheDecimalSeparator) {
  EXPECT_EQ(Decimal::fromString("1,25", "de_DE").description(), "1.25");
  EXPECT_TRUE(Decimal::fromString("1.25", "de_DE").isNaN());
  EXPECT_TRUE(Decimal::fromString("1,25", "en_US").isNaN());
}

TEST(DecimalTest, ComparesAndNegatesByValue) {
  const Decimal half = Decimal::fromString("0.5");
  EXPECT_EQ(half, Decimal::fromString("0.50"));
  EXPECT_LT(half.negated(), Decimal());
  EXPECT_LT(Decimal(-10), Decimal(-9));
  EXPECT_LT(Decimal::fromString("99.99"), Decimal(100));
  EXPECT_GT(Decimal::fromString("1e3"), Decimal::fromString("999.999"));
  EXPECT_EQ(Decimal(int64_t{-12}).negated().description(), "12");
  EXPECT_EQ(Decimal().negated().description(), "0");
  EXPECT_TRUE(Decimal::notANumber().negated().isNaN());
  EXPECT_LT(Decimal::notANumber(), Decimal(-1));
  EXPECT_DOUBLE_EQ(Decimal::fromString("-2.25").doubleValue(), -2.25);
}

}  // namespace
}  // namespace os
