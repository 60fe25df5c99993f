#include "os/foundation/regex.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace os {
namespace {

TEST(RegularExpressionTest, FindsMatchesInPartsOrTheWholeText) {
  auto re = RegularExpression::create("^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$");
  ASSERT_TRUE(re);
  struct Case {
    const char* text;
    bool matches;
  };
  for (const Case& c : {Case{"12", true}, Case{"-12.", true}, Case{".5", true}, Case{"-0.25", true},
                        Case{"1e5", false}, Case{"1,000", false}, Case{" 1", false}, Case{".", false},
                        Case{"", false}, Case{"١٢", false}}) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ((*re)->containsMatch(c.text), c.matches);
  }

  auto word = RegularExpression::create("ab+c", RegularExpression::Options::CaseInsensitive);
  ASSERT_TRUE(word);
  EXPECT_EQ((*word)->containsMatch("xxABBCxx"), true);
  EXPECT_EQ((*word)->matchesEntireString("xxABBCxx"), false);
  EXPECT_EQ((*word)->matchesEntireString("aBc"), true);
  EXPECT_EQ((*RegularExpression::create("é+"))->matchesEntireString("ééé"), true);  // UTF-8 text
}

TEST(RegularExpressionTest, AnInvalidPatternIsAnError) {
  auto re = RegularExpression::create("(a");
  ASSERT_FALSE(re);
  EXPECT_EQ(re.error().domain(), kRegularExpressionErrorDomain);
  EXPECT_EQ(re.error().code(), int64_t(RegularExpressionError::InvalidPattern));
  EXPECT_EQ(re.error().userInfo().at(kRegularExpressionPatternKey), Value("(a"));
}

// A pattern that backtracks without end (as one sent by a server may) must
// end with the time-limit error, not hold the thread.
TEST(RegularExpressionTest, ACatastrophicPatternRunsOutOfTime) {
  auto re = RegularExpression::create("(a+)+$", RegularExpression::Options::None, 10);
  ASSERT_TRUE(re);
  auto found = (*re)->containsMatch(std::string(30, 'a') + "b");
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().domain(), kRegularExpressionErrorDomain);
  EXPECT_EQ(found.error().code(), int64_t(RegularExpressionError::TimeLimitExceeded));
  // The same expression still answers texts it can decide in time.
  EXPECT_EQ((*re)->containsMatch("aaab"), false);
  EXPECT_EQ((*re)->containsMatch("aaa"), true);
  // A limit of zero would mean "none" to the engine: it is replaced.
  EXPECT_EQ((*RegularExpression::create("a", RegularExpression::Options::None, 0))->timeLimit(),
            RegularExpression::kDefaultTimeLimit);
}

TEST(RegularExpressionTest, FirstMatchCountsUTF16CodeUnits) {
  using Range = RegularExpression::Range;
  struct Case {
    const char* pattern;
    std::u16string text;
    std::optional<Range> expected;
  } cases[] = {
      {"b+", u"abbc", Range{1, 2}},
      {"b+", u"\U0001F600\u00E9bb", Range{3, 2}},  // a surrogate pair counts two
      {"\\p{So}", u"x\U0001F600", Range{1, 2}},
      {"^b", u"ab", std::nullopt},
      {"c$", u"abc", Range{2, 1}},
      {"x*", u"abc", Range{0, 0}},
      {"z", u"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    auto found = (*RegularExpression::create(c.pattern))->firstMatch(c.text);
    ASSERT_TRUE(found);
    EXPECT_EQ(*found, c.expected);
  }
  auto slow = RegularExpression::create("(a+)+$", RegularExpression::Options::None, 10);
  auto found = (*slow)->firstMatch(std::u16string(30, u'a') + u"b");
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error().code(), int64_t(RegularExpressionError::TimeLimitExceeded));

  // The steps a match took: none for a quick one, some for one that
  // backtracks a while but ends within its limit.
  int32_t steps = -1;
  auto backtracking = RegularExpression::create("(a+)+$", RegularExpression::Options::None, 1000);
  ASSERT_TRUE((*backtracking)->firstMatch(u"aab", &steps));
  EXPECT_EQ(steps, 0);
  auto none = (*backtracking)->firstMatch(std::u16string(18, u'a') + u"b", &steps);
  ASSERT_TRUE(none);
  EXPECT_EQ(*none, std::nullopt);
  EXPECT_GT(steps, 0);
  EXPECT_LT(steps, 1000);
}

TEST(RegularExpressionTest, OneExpressionServesManyThreads) {
  auto re = RegularExpression::create("^[0-9]+$");
  ASSERT_TRUE(re);
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        if ((*re)->containsMatch(std::to_string(i)) != true) ++wrong[t];
        if ((*re)->containsMatch("x" + std::to_string(i)) != false) ++wrong[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace os
