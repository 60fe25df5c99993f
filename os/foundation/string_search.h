// os::rangeOfString: the platform's search for one string inside another,
// literal or ignoring case, optionally anchored and from the end.
//
// Positions and lengths are counted in UTF-16 code units of the text
// searched. Ignoring case compares both texts under full Unicode case
// folding ("Straße" contains "STRASSE"); a match never starts or ends inside
// the folding of one code point. A literal search compares code units. An
// empty search string is never found, as on the platform. Pure; may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace os {

enum class StringSearchOptions : uint32_t {
  None = 0,
  CaseInsensitive = 1u << 0,
  // Forwards: the match must begin at the start of the text; backwards: it
  // must end at the text's end.
  Anchored = 1u << 1,
  // The last match rather than the first.
  Backwards = 1u << 2,
};

constexpr StringSearchOptions operator|(StringSearchOptions a, StringSearchOptions b) {
  return StringSearchOptions(uint32_t(a) | uint32_t(b));
}
constexpr bool hasOption(StringSearchOptions options, StringSearchOptions option) {
  return (uint32_t(options) & uint32_t(option)) != 0;
}

struct StringRange {
  size_t location = 0;
  size_t length = 0;
  friend bool operator==(const StringRange&, const StringRange&) = default;
};

// The range of the first (or, backwards, the last) match; nullopt for none.
std::optional<StringRange> rangeOfString(std::u16string_view text, std::u16string_view search,
                                         StringSearchOptions options = StringSearchOptions::None);
// UTF-8 texts; the range still in UTF-16 code units of `text`.
std::optional<StringRange> rangeOfString(std::string_view text, std::string_view search,
                                         StringSearchOptions options = StringSearchOptions::None);

}  // namespace os
