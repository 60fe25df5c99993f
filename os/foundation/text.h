// os text services over ICU: UTF-16 views of UTF-8 text, plain comparison,
// case mapping, the whitespace-and-newline set and "en_US" number formatting.
//
// Text is UTF-8 std::string at the system's boundaries; callers that count
// positions and lengths in UTF-16 code units (script strings) work on
// std::u16string and convert with utf16()/utf8(). Nothing here throws or
// keeps per-call state; every function may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace os {

// ---- UTF-16 views ----

// The UTF-16 code units of UTF-8 text; ill-formed sequences become U+FFFD.
std::u16string utf16(std::string_view text);
// UTF-8 of UTF-16 text; unpaired surrogates become U+FFFD.
std::string utf8(std::u16string_view text);
// The length of UTF-8 text in UTF-16 code units (as utf16(text).size()).
size_t utf16Length(std::string_view text);
// The number of user-perceived characters (extended grapheme clusters).
size_t composedCharacterCount(std::string_view text);

// ---- comparison ----

// The platform's plain comparison: canonically equivalent texts compare as
// the same; otherwise both texts in canonical decomposition (NFD) are ordered
// by UTF-16 code unit, case-sensitively and independent of any locale.
// Returns -1, 0 or 1.
int compareStrings(std::u16string_view a, std::u16string_view b);
int compareStrings(std::string_view a, std::string_view b);

// ---- case mapping ----

// Full Unicode case mapping (lengths may change: "ß" upper-cases to "SS").
// An empty locale identifier maps independently of any locale; otherwise the
// rules of that locale apply ("tr" maps "i" to "İ"), as ICU reads the
// identifier ("en_US", "tr-TR").
std::u16string lowercaseString(std::u16string_view text, std::string_view localeIdentifier = {});
std::u16string uppercaseString(std::u16string_view text, std::string_view localeIdentifier = {});
std::string lowercaseString(std::string_view text, std::string_view localeIdentifier = {});
std::string uppercaseString(std::string_view text, std::string_view localeIdentifier = {});

// ---- whitespace and newlines ----

// The platform's whitespace-and-newline set: U+0009 to U+000D, U+0085 and
// the Unicode space, line and paragraph separators (Zs, Zl, Zp).
bool isWhitespaceOrNewline(char32_t c);
// The text without leading and trailing members of that set (a view into it).
std::u16string_view trimmingWhitespaceAndNewlines(std::u16string_view text);

// ---- numbers ----

enum class NumberNotation {
  Decimal,     // "1234567", "0.000001", "100000000000000000000"
  Scientific,  // "1E21", "1.5E-7"
};
inline constexpr int kMaximumSignificantDigits = 17;

// A finite number in the "en_US" locale without grouping, rounded half up to at
// most maxSignificantDigits digits, starting from the shortest digits that
// read back as the same double (so 0.1 gives "0.1"). The text is ICU's
// ("-" for negatives, "E" before a scientific exponent, no "+").
// Not-a-number and the infinities give "NaN", "∞" and "-∞".
std::u16string formatNumber(double value, NumberNotation notation,
                            int maxSignificantDigits = kMaximumSignificantDigits);

}  // namespace os
