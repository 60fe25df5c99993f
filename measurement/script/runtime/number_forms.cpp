#include "measurement/script/runtime/number_forms.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>

#include <locale.h>

#include "os/foundation/text.h"

namespace {

// Integers below 2^53 print exactly as ICU prints them; spare it the work.
constexpr double kExactIntegerLimit = 9007199254740992.0;

std::u16string asciiToUTF16(const char* begin, const char* end) { return std::u16string(begin, end); }

locale_t cLocale() {
  static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return locale;
}

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

}  // namespace

std::u16string APMPNumberToString(double value) {
  if (std::isnan(value)) return u"NaN";
  if (std::isinf(value)) return value > 0 ? u"Infinity" : u"-Infinity";
  if (value == 0) return u"0";
  double magnitude = std::fabs(value);
  if (magnitude < kExactIntegerLimit && std::trunc(value) == value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<int64_t>(value));
    return asciiToUTF16(buffer, end);
  }
  std::u16string text;
  if (magnitude >= 0.000001 && magnitude < 1e21) {
    text = os::formatNumber(value, os::NumberNotation::Decimal);
  } else {
    std::u16string scientific = os::formatNumber(value, os::NumberNotation::Scientific);
    text.reserve(scientific.size() + 1);
    for (size_t i = 0; i < scientific.size(); ++i) {
      if (scientific[i] != u'E') {
        text.push_back(scientific[i]);
      } else if (i + 1 < scientific.size() && scientific[i + 1] == u'-') {
        text += u"e-";
        ++i;
      } else {
        text += u"e+";
      }
    }
  }
  std::erase(text, u',');
  return text;
}

double APMPParseNumber(std::u16string_view text) {
  std::u16string_view s = os::trimmingWhitespaceAndNewlines(text);
  if (s.empty()) return 0;
  if (s == u"NaN") return std::nan("");
  if (s == u"Infinity") return INFINITY;
  if (s == u"-Infinity") return -INFINITY;
  // [+-]? (digits [. digits*] | . digits) ([eE] [+-]? digits)?
  size_t i = 0;
  if (s[i] == u'+' || s[i] == u'-') ++i;
  size_t integerDigits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++integerDigits;
  size_t fractionDigits = 0;
  if (i < s.size() && s[i] == u'.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++fractionDigits;
  }
  if (integerDigits + fractionDigits == 0) return std::nan("");
  if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
    ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
    size_t exponentDigits = 0;
    while (i < s.size() && isDigit(s[i])) ++i, ++exponentDigits;
    if (exponentDigits == 0) return std::nan("");
  }
  if (i != s.size()) return std::nan("");
  // Only ASCII is left; strtod_l in the C locale rounds correctly and
  // overflows to an infinity.
  std::string ascii(s.begin(), s.end());
  return strtod_l(ascii.c_str(), nullptr, cLocale());
}

int32_t APMPToInt32(double value) { return static_cast<int32_t>(APMPToUint32(value)); }

uint32_t APMPToUint32(double value) {
  if (!std::isfinite(value)) return 0;
  double truncated = std::trunc(value);
  double reduced = std::fmod(truncated, 4294967296.0);  // exact; sign of the dividend
  if (reduced < 0) reduced += 4294967296.0;
  return static_cast<uint32_t>(reduced);
}

double APMPToInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value == 0 || std::isinf(value)) return value;
  return std::trunc(value);
}
