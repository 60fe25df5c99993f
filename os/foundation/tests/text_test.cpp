#include "os/foundation/text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

TEST(Text, UTF16ViewsCountCodeUnitsAndReplaceWhatCannotBeEncoded) {
  const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80";  // a, é, U+1F600
  EXPECT_EQ(os::utf16(text), std::u16string(u"a\u00E9\U0001F600"));
  EXPECT_EQ(os::utf16Length(text), 4u);
  EXPECT_EQ(os::utf8(os::utf16(text)), text);
  // Half of a surrogate pair has no UTF-8 form; broken UTF-8 has no UTF-16 one.
  EXPECT_EQ(os::utf8(std::u16string(1, char16_t(0xD83D))), "\xEF\xBF\xBD");
  EXPECT_EQ(os::utf16("a\xFF"), std::u16string(u"a\uFFFD"));
}

TEST(Text, CountsUserPerceivedCharacters) {
  struct Case {
    const char* text;
    size_t characters;
  };
  for (const Case& c : {Case{"", 0}, Case{"abc", 3}, Case{"e\xCC\x81", 1}, Case{"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2},
                        Case{"\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 1}}) {
    EXPECT_EQ(os::composedCharacterCount(c.text), c.characters) << c.text;
  }
}

TEST(Text, PlainComparisonOrdersByCodeUnitAfterCanonicalDecomposition) {
  struct Case {
    std::u16string a, b;
    int expected;
  } cases[] = {
      {u"a", u"b", -1},
      {u"B", u"a", -1},  // upper case first: no case folding
      {u"10", u"9", -1},
      {u"", u"a", -1},
      {u"\u00E9", u"e\u0301", 0},    // precomposed and decomposed é
      {u"\u00E9", u"f", -1},         // é decomposes to e + accent, so before f
      {u"\U0001F600", u"\uFFFF", -1},  // code units, not code points
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(os::utf8(c.a) + " / " + os::utf8(c.b));
    EXPECT_EQ(os::compareStrings(std::u16string_view(c.a), std::u16string_view(c.b)), c.expected);
    EXPECT_EQ(os::compareStrings(std::u16string_view(c.b), std::u16string_view(c.a)), -c.expected);
  }
  EXPECT_EQ(os::compareStrings(std::string_view("\xC3\xA9"), std::string_view("e\xCC\x81")), 0);
}

TEST(Text, CaseMappingIsFullAndOptionallyLocal) {
  EXPECT_EQ(os::uppercaseString(std::u16string_view(u"stra\u00DFe")), u"STRASSE");
  EXPECT_EQ(os::lowercaseString(std::u16string_view(u"I\u0130")), u"ii\u0307");
  EXPECT_EQ(os::uppercaseString(std::u16string_view(u"i"), "tr_TR"), u"\u0130");
  EXPECT_EQ(os::lowercaseString(std::u16string_view(u"I"), "tr_TR"), u"\u0131");
  EXPECT_EQ(os::uppercaseString(std::u16string_view(u"i"), "en_US"), u"I");
  EXPECT_EQ(os::uppercaseString(std::string_view("stra\xC3\x9F" "e")), "STRASSE");
}

TEST(Text, TrimsTheWhitespaceAndNewlineSetOnly) {
  EXPECT_EQ(os::trimmingWhitespaceAndNewlines(u"\t\n\u0085\u3000 a b\u2028\u00A0"), u"a b");
  // A zero-width space is a format character, not whitespace.
  EXPECT_EQ(os::trimmingWhitespaceAndNewlines(u"\u200Ba"), u"\u200Ba");
  EXPECT_EQ(os::trimmingWhitespaceAndNewlines(u" \r\n "), u"");
}

TEST(Text, FormatsNumbersInEnglishWithoutGroupingFromShortestDigits) {
  struct Case {
    double value;
    os::NumberNotation notation;
    std::u16string expected;
  } cases[] = {
      {0.1, os::NumberNotation::Decimal, u"0.1"},
      {1234567, os::NumberNotation::Decimal, u"1234567"},
      {1e20, os::NumberNotation::Decimal, u"100000000000000000000"},
      {-2.5, os::NumberNotation::Decimal, u"-2.5"},
      {0.000001, os::NumberNotation::Decimal, u"0.000001"},
      {1.0 / 3, os::NumberNotation::Decimal, u"0.3333333333333333"},
      {123456789012345678.0, os::NumberNotation::Decimal, u"123456789012345680"},
      {1e21, os::NumberNotation::Scientific, u"1E21"},
      {1.5e-7, os::NumberNotation::Scientific, u"1.5E-7"},
      {-1.7976931348623157e308, os::NumberNotation::Scientific, u"-1.7976931348623157E308"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(os::formatNumber(c.value, c.notation), c.expected);
  }
  // Half up at the last kept digit.
  EXPECT_EQ(os::formatNumber(0.125, os::NumberNotation::Decimal, 2), u"0.13");
  EXPECT_EQ(os::formatNumber(-0.125, os::NumberNotation::Decimal, 2), u"-0.13");
  EXPECT_EQ(os::formatNumber(std::numeric_limits<double>::quiet_NaN(), os::NumberNotation::Decimal), u"NaN");
}

}  // namespace
