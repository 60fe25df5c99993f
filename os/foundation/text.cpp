#include "os/foundation/text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/numberformatter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cmath>
#include <memory>
#include <string>

namespace os {
namespace {

std::u16string_view view(const icu::UnicodeString& s) {
  return std::u16string_view(s.getBuffer(), static_cast<size_t>(s.length()));
}

icu::UnicodeString readOnly(std::u16string_view s) {
  return icu::UnicodeString(false, s.data(), static_cast<int32_t>(s.size()));
}

icu::Locale localeFor(std::string_view identifier) {
  if (identifier.empty()) return icu::Locale::getRoot();
  return icu::Locale(std::string(identifier).c_str());
}

const icu::Normalizer2* nfd() {
  static const icu::Normalizer2* instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = icu::Normalizer2::getNFDInstance(status);
    return U_SUCCESS(status) ? n : nullptr;
  }();
  return instance;
}

// The text in canonical decomposition; the input itself when it already is.
icu::UnicodeString decomposed(std::u16string_view text) {
  icu::UnicodeString source = readOnly(text);
  const icu::Normalizer2* n = nfd();
  if (n == nullptr) return source;
  UErrorCode status = U_ZERO_ERROR;
  if (n->isNormalized(source, status) && U_SUCCESS(status)) return source;
  status = U_ZERO_ERROR;
  icu::UnicodeString result = n->normalize(source, status);
  return U_SUCCESS(status) ? result : source;
}

const icu::number::LocalizedNumberFormatter& formatter(NumberNotation notation, int digits) {
  auto make = [](NumberNotation n, int d) {
    auto f = icu::number::NumberFormatter::with()
                 .precision(icu::number::Precision::maxSignificantDigits(d))
                 .roundingMode(UNUM_ROUND_HALFUP)
                 .grouping(UNUM_GROUPING_OFF);
    if (n == NumberNotation::Scientific) f = f.notation(icu::number::Notation::scientific());
    return f.locale(icu::Locale("en_US"));
  };
  // Formatters are immutable and thread-safe; the common ones are made once.
  static const icu::number::LocalizedNumberFormatter decimal = make(NumberNotation::Decimal, kMaximumSignificantDigits);
  static const icu::number::LocalizedNumberFormatter scientific =
      make(NumberNotation::Scientific, kMaximumSignificantDigits);
  if (digits == kMaximumSignificantDigits) return notation == NumberNotation::Decimal ? decimal : scientific;
  thread_local icu::number::LocalizedNumberFormatter other;
  other = make(notation, digits);
  return other;
}

}  // namespace

std::u16string utf16(std::string_view text) {
  if (text.empty()) return {};
  std::u16string result(text.size(), u'\0');  // never more units than bytes
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  result.resize(static_cast<size_t>(length));
  return result;
}

std::string utf8(std::u16string_view text) {
  if (text.empty()) return {};
  std::string result(text.size() * 3, '\0');  // at most three bytes per unit
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length, text.data(),
                     static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  result.resize(static_cast<size_t>(length));
  return result;
}

size_t utf16Length(std::string_view text) {
  if (text.empty()) return 0;
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr,
                       &status);
  return static_cast<size_t>(length);
}

size_t composedCharacterCount(std::string_view text) {
  if (text.empty()) return 0;
  const icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> characters(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !characters) return static_cast<size_t>(unicode.countChar32());
  characters->setText(unicode);
  size_t count = 0;
  for (int32_t at = characters->next(); at != icu::BreakIterator::DONE; at = characters->next()) ++count;
  return count;
}

int compareStrings(std::u16string_view a, std::u16string_view b) {
  if (a == b) return 0;
  icu::UnicodeString da = decomposed(a);
  icu::UnicodeString db = decomposed(b);
  int c = view(da).compare(view(db));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int compareStrings(std::string_view a, std::string_view b) {
  if (a == b) return 0;
  return compareStrings(std::u16string_view(utf16(a)), std::u16string_view(utf16(b)));
}

std::u16string lowercaseString(std::u16string_view text, std::string_view localeIdentifier) {
  icu::UnicodeString s(text.data(), static_cast<int32_t>(text.size()));
  s.toLower(localeFor(localeIdentifier));
  return std::u16string(view(s));
}

std::u16string uppercaseString(std::u16string_view text, std::string_view localeIdentifier) {
  icu::UnicodeString s(text.data(), static_cast<int32_t>(text.size()));
  s.toUpper(localeFor(localeIdentifier));
  return std::u16string(view(s));
}

std::string lowercaseString(std::string_view text, std::string_view localeIdentifier) {
  return utf8(lowercaseString(std::u16string_view(utf16(text)), localeIdentifier));
}

std::string uppercaseString(std::string_view text, std::string_view localeIdentifier) {
  return utf8(uppercaseString(std::u16string_view(utf16(text)), localeIdentifier));
}

bool isWhitespaceOrNewline(char32_t c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  if (c > 0x10FFFF) return false;
  int8_t type = u_charType(static_cast<UChar32>(c));
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

std::u16string_view trimmingWhitespaceAndNewlines(std::u16string_view text) {
  // Every member of the set lies in the basic plane, so units suffice.
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && isWhitespaceOrNewline(text[begin])) ++begin;
  while (end > begin && isWhitespaceOrNewline(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::u16string formatNumber(double value, NumberNotation notation, int maxSignificantDigits) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"∞" : u"-∞";
  if (maxSignificantDigits < 1) maxSignificantDigits = 1;
  UErrorCode status = U_ZERO_ERROR;
  icu::number::FormattedNumber formatted = formatter(notation, maxSignificantDigits).formatDouble(value, status);
  icu::UnicodeString s = formatted.toString(status);
  if (U_FAILURE(status)) return u"NaN";
  return std::u16string(view(s));
}

}  // namespace os
