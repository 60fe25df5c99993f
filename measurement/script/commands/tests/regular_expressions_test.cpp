#include "measurement/script/commands/regular_expressions.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ScriptRegularExpressions, FindTheFirstMatchInCodeUnits) {
  using Range = os::RegularExpression::Range;
  EXPECT_EQ(APMPFirstMatch(u"b+", u"abbc").value(), (Range{1, 2}));
  EXPECT_EQ(APMPFirstMatch(u"B", u"abc").value(), std::nullopt);  // case-sensitive
  EXPECT_EQ(APMPFirstMatch(u"a.c", u"a\nc").value(), std::nullopt);
  EXPECT_EQ(APMPFirstMatch(u"^b$", u"a\nb").value(), std::nullopt);  // anchors at the ends only
  auto invalid = APMPFirstMatch(u"[", u"abc");
  ASSERT_FALSE(invalid.has_value());
  EXPECT_EQ(invalid.error().domain(), os::kRegularExpressionErrorDomain);
  EXPECT_EQ(invalid.error().code(), int64_t(os::RegularExpressionError::InvalidPattern));
}

// Mend: a pattern sent with a program ran without a time limit, so one that
// backtracks without end held the worker queue for good. ICU counts the limit
// in match steps, so the test asserts the error, not a time.
TEST(ScriptRegularExpressions, AHostilePatternRunsOutOfTime) {
  auto found = APMPFirstMatch(u"(a+)+$", std::u16string(40, u'a') + u"b");
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(found.error().domain(), os::kRegularExpressionErrorDomain);
  EXPECT_EQ(found.error().code(), int64_t(os::RegularExpressionError::TimeLimitExceeded));
}

}  // namespace
