#include "os/foundation/number_formatter.h"

#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <charconv>
#include <cmath>
#include <memory>
#include <string>

#include "os/foundation/text.h"

namespace os {
namespace {

struct FormatCloser {
  void operator()(UNumberFormat* format) const { unum_close(format); }
};
using FormatPtr = std::unique_ptr<UNumberFormat, FormatCloser>;

// ICU formats are not thread-safe: each call opens its own.
FormatPtr openFormat(const std::string& locale) {
  UErrorCode status = U_ZERO_ERROR;
  FormatPtr format(unum_open(UNUM_DECIMAL, nullptr, 0, locale.c_str(), nullptr, &status));
  if (U_FAILURE(status)) return nullptr;
  return format;
}

// 2^63: the first double past the signed 64-bit range.
constexpr double kInt64Bound = 9223372036854775808.0;

}  // namespace

std::optional<Number> NumberFormatter::numberFromString(std::string_view text) const {
  if (text.empty()) return std::nullopt;
  FormatPtr format = openFormat(locale_);
  if (!format) return std::nullopt;
  const std::u16string units = utf16(text);
  const auto* chars = reinterpret_cast<const UChar*>(units.data());
  const auto length = static_cast<int32_t>(units.size());

  UErrorCode status = U_ZERO_ERROR;
  int32_t position = 0;
  const double value = unum_parseDouble(format.get(), chars, length, &position, &status);
  if (U_FAILURE(status) || position != length || std::isnan(value)) return std::nullopt;
  if (std::isfinite(value) && std::trunc(value) == value && value >= -kInt64Bound && value <= kInt64Bound) {
    // Read again exactly: a double has only 53 bits of mantissa.
    char digits[64];
    status = U_ZERO_ERROR;
    position = 0;
    const int32_t n = unum_parseDecimal(format.get(), chars, length, &position, digits, sizeof digits, &status);
    int64_t whole = 0;
    if (U_SUCCESS(status) && n > 0 && n < int32_t(sizeof digits)) {
      auto [end, ec] = std::from_chars(digits, digits + n, whole);
      if (ec == std::errc() && end == digits + n) return Number::int64(whole);
    }
  }
  return Number::float64(value);
}

}  // namespace os
