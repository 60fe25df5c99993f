#include "os/foundation/string_search.h"

#include <gtest/gtest.h>

namespace {

using os::StringRange;
using os::StringSearchOptions;
constexpr auto kNone = StringSearchOptions::None;
constexpr auto kCase = StringSearchOptions::CaseInsensitive;
constexpr auto kAnchored = StringSearchOptions::Anchored;
constexpr auto kBack = StringSearchOptions::Backwards;

TEST(StringSearch, FindsLiterallyOrIgnoringCaseAnchoredOrNot) {
  struct Case {
    const char* text;
    const char* search;
    StringSearchOptions options;
    std::optional<StringRange> expected;
  } cases[] = {
      {"abcabc", "bc", kNone, StringRange{1, 2}},
      {"abcabc", "bc", kBack, StringRange{4, 2}},
      {"abcabc", "BC", kNone, std::nullopt},
      {"abcabc", "BC", kCase, StringRange{1, 2}},
      {"abcabc", "BC", kCase | kBack, StringRange{4, 2}},
      {"abcdef", "ABC", kCase | kAnchored, StringRange{0, 3}},
      {"xabcdef", "ABC", kCase | kAnchored, std::nullopt},
      {"abcxyz", "XYZ", kCase | kAnchored | kBack, StringRange{3, 3}},
      {"abcxyzq", "XYZ", kCase | kAnchored | kBack, std::nullopt},
      {"xy", "xyz", kCase, std::nullopt},
      {"xy", "xyz", kAnchored | kBack, std::nullopt},
      {"abc", "", kNone, std::nullopt},
      {"abc", "", kCase, std::nullopt},
      // Full folding: one code point may fold to several, and positions stay
      // those of the original text.
      {"Stra\xC3\x9F" "e!", "STRASSE", kCase, StringRange{0, 6}},
      {"\xC3\x9F", "s", kCase, std::nullopt},  // never half of a folding
      {"\xF0\x9F\x98\x80" "Ab", "aB", kCase | kAnchored | kBack, StringRange{2, 2}},
      {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9", kCase, StringRange{0, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " / " + c.search + " / " + std::to_string(uint32_t(c.options)));
    EXPECT_EQ(os::rangeOfString(std::string_view(c.text), std::string_view(c.search), c.options), c.expected);
  }
}

}  // namespace
