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

TEST(DecimalTest, MultipliesExactlyWithinThirtyEightDigits) {
  struct Case {
    std::string a, b, product;
  };
  const Case cases[] = {
      {"9.99", "1000000", "9990000"},
      {"0.99", "3", "2.97"},
      {"-1.5", "2", "-3"},
      {"-1.5", "-0.5", "0.75"},
      {"0", "-7", "0"},
      {"0.1", "0.1", "0.01"},
      // Products past 64 and 128 bits stay exact.
      {"9223372036854775807", "1000000", "9223372036854775807000000"},
      {"12345678901234567890", "98765432109876543210", "1219326311370217952237463801111263526900"},
      {"1e100", "1e20", "1" + std::string(120, '0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " x " + c.b);
    EXPECT_EQ(Decimal::fromString(c.a).multiplying(Decimal::fromString(c.b)).description(), c.product);
    EXPECT_EQ(Decimal::fromString(c.b).multiplying(Decimal::fromString(c.a)).description(), c.product);
  }
}

TEST(DecimalTest, LongProductsRoundToThirtyEightDigitsAndRangesHold) {
  struct Case {
    std::string a, b, product;
  };
  const std::string tenToThe37PlusOne = "1" + std::string(36, '0') + "1";
  const Case cases[] = {
      // 39 digits ending in 5: rounded away from zero, on either sign.
      {tenToThe37PlusOne, "1.5", "15" + std::string(35, '0') + "2"},
      {tenToThe37PlusOne, "-1.5", "-15" + std::string(35, '0') + "2"},
      // ...99.5 carries through every digit.
      {std::string(38, '3'), "1.5", "5" + std::string(37, '0')},
      // 39 nines: the carry makes a 39th digit, which moves into the exponent.
      {"999", "1001001001001001001001001001001001001", "1" + std::string(39, '0')},
      // 76 digits whose 39th is 0: the rest is cut.
      {std::string(38, '9'), std::string(38, '9'), std::string(37, '9') + "8" + std::string(38, '0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " x " + c.b);
    EXPECT_EQ(Decimal::fromString(c.a).multiplying(Decimal::fromString(c.b)).description(), c.product);
  }
  EXPECT_TRUE(Decimal::fromString("1e100").multiplying(Decimal::fromString("1e100")).isNaN());
  EXPECT_TRUE(Decimal::fromString("1e-100").multiplying(Decimal::fromString("1e-100")).isZero());
  EXPECT_TRUE(Decimal::notANumber().multiplying(Decimal(2)).isNaN());
  EXPECT_TRUE(Decimal(2).multiplying(Decimal::notANumber()).isNaN());
}

}  // namespace
}  // namespace os
