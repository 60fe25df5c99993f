#include "os/foundation/number_formatter.h"

#include <gtest/gtest.h>

namespace {

TEST(NumberFormatter, ReadsTheWholeTextAsADecimalNumberOrNothing) {
  const struct {
    const char* text;
    std::optional<os::Number> expected;
  } cases[] = {
      {"120", os::Number::int64(120)},
      {"-5", os::Number::int64(-5)},
      {"1,200", os::Number::int64(1200)},
      {"1.5", os::Number::float64(1.5)},
      {"9223372036854775807", os::Number::int64(INT64_MAX)},  // exact past 2^53
      {"18446744073709551616", os::Number::float64(18446744073709551616.0)},
      {"", std::nullopt},
      {"abc", std::nullopt},
      {"12abc", std::nullopt},
      {"120 ", std::nullopt},
      {"Fri, 07 Nov 2025 12:00:00 GMT", std::nullopt},
  };
  const os::NumberFormatter formatter(os::NumberFormatterStyle::Decimal);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto number = formatter.numberFromString(c.text);
    ASSERT_EQ(number.has_value(), c.expected.has_value());
    if (!number) continue;
    EXPECT_EQ(*number, *c.expected);
    EXPECT_EQ(number->isFloatingPoint(), c.expected->isFloatingPoint());
  }
}

TEST(NumberFormatter, ReadsTheSeparatorsOfItsLocale) {
  os::NumberFormatter formatter;
  formatter.setLocale("de_DE");
  EXPECT_EQ(formatter.numberFromString("1.234,5"), os::Number::float64(1234.5));
}

}  // namespace
