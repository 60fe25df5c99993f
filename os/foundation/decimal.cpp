#include "os/foundation/decimal.h"

#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace os {

namespace {

using Mantissa = unsigned __int128;

// 10^38: the mantissa stays below it.
constexpr Mantissa kMantissaLimit = [] {
  Mantissa m = 1;
  for (int i = 0; i < Decimal::kMaxDigits; ++i) m *= 10;
  return m;
}();

std::string digitsOf(Mantissa m) {
  if (m == 0) return "0";
  std::string out;
  while (m > 0) {
    out.insert(out.begin(), char('0' + int(m % 10)));
    m /= 10;
  }
  return out;
}

// The locale's decimal separator as UTF-8; "." when ICU does not know it.
std::string decimalSeparator(std::string_view localeIdentifier) {
  static std::mutex mutex;
  static std::map<std::string, std::string, std::less<>> cache;  // guarded by mutex
  std::lock_guard lock(mutex);
  if (auto it = cache.find(localeIdentifier); it != cache.end()) return it->second;

  std::string separator = ".";
  const std::string locale(localeIdentifier);
  UErrorCode status = U_ZERO_ERROR;
  UNumberFormat* format = unum_open(UNUM_DECIMAL, nullptr, 0, locale.c_str(), nullptr, &status);
  if (U_SUCCESS(status)) {
    UChar symbol[16];
    const int32_t length = unum_getSymbol(format, UNUM_DECIMAL_SEPARATOR_SYMBOL, symbol, 16, &status);
    char utf8[64];
    int32_t utf8Length = 0;
    if (U_SUCCESS(status) && length > 0) u_strToUTF8(utf8, sizeof utf8, &utf8Length, symbol, length, &status);
    if (U_SUCCESS(status) && utf8Length > 0) separator.assign(utf8, size_t(utf8Length));
  }
  if (format != nullptr) unum_close(format);
  cache.emplace(locale, separator);
  return separator;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

Decimal::Decimal(int64_t value)
    : Decimal(value < 0 ? Mantissa(-(value + 1)) + 1 : Mantissa(value), 0, value < 0) {}

Decimal::Decimal(Mantissa mantissa, int exponent, bool negative) {
  if (mantissa == 0) return;  // zero: no sign, no exponent
  // Lossless moves first: trailing zeros into the exponent, and a too large
  // exponent back into the mantissa while it has room.
  while (mantissa % 10 == 0 && exponent < kMaxExponent) {
    mantissa /= 10;
    ++exponent;
  }
  while (exponent > kMaxExponent && mantissa * 10 < kMantissaLimit) {
    mantissa *= 10;
    --exponent;
  }
  // A value too small for the exponent loses its last digits.
  while (exponent < kMinExponent && mantissa != 0) {
    mantissa /= 10;
    ++exponent;
  }
  if (exponent > kMaxExponent) {
    nan_ = true;
    return;
  }
  if (mantissa == 0) return;
  mantissa_ = mantissa;
  exponent_ = exponent;
  negative_ = negative;
}

Decimal Decimal::notANumber() {
  Decimal d;
  d.nan_ = true;
  return d;
}

Decimal Decimal::fromString(std::string_view text, std::string_view localeIdentifier) {
  const std::string separator = decimalSeparator(localeIdentifier);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

  Mantissa mantissa = 0;
  int significant = 0;   // digits held in the mantissa, leading zeros not counted
  int64_t exponent = 0;  // of the mantissa's last digit
  bool anyDigit = false;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    anyDigit = true;
    if (significant < kMaxDigits) {
      mantissa = mantissa * 10 + Mantissa(text[i] - '0');
      if (mantissa != 0) ++significant;
    } else {
      ++exponent;  // an integer digit that does not fit still scales the value
    }
  }
  if (text.substr(i).starts_with(separator)) {
    i += separator.size();
    for (; i < text.size() && isDigit(text[i]); ++i) {
      anyDigit = true;
      if (significant < kMaxDigits) {
        mantissa = mantissa * 10 + Mantissa(text[i] - '0');
        --exponent;
        if (mantissa != 0) ++significant;
      }
    }
  }
  if (!anyDigit) return notANumber();

  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeExponent = text[i++] == '-';
    int64_t given = 0;
    bool exponentDigit = false;
    for (; i < text.size() && isDigit(text[i]); ++i) {
      exponentDigit = true;
      if (given < 100000) given = given * 10 + (text[i] - '0');  // far beyond any range; stops overflow
    }
    if (!exponentDigit) return notANumber();
    exponent += negativeExponent ? -given : given;
  }
  if (i != text.size()) return notANumber();
  if (mantissa == 0) return Decimal();
  if (exponent > 10 * kMaxExponent) return notANumber();
  if (exponent < 10 * kMinExponent) return Decimal();
  return Decimal(mantissa, int(exponent), negative);
}

Decimal Decimal::negated() const {
  Decimal d = *this;
  if (!d.nan_ && d.mantissa_ != 0) d.negative_ = !d.negative_;
  return d;
}

Decimal Decimal::multiplying(const Decimal& other) const {
  if (nan_ || other.nan_) return notANumber();
  if (mantissa_ == 0 || other.mantissa_ == 0) return Decimal();
  // Schoolbook product in base 10^9 limbs, least significant first: each
  // mantissa (below 10^38) has at most five, the product at most ten.
  constexpr uint64_t kBase = 1'000'000'000;
  auto limbsOf = [](Mantissa m) {
    std::vector<uint64_t> limbs;
    for (; m > 0; m /= kBase) limbs.push_back(uint64_t(m % kBase));
    return limbs;
  };
  const std::vector<uint64_t> a = limbsOf(mantissa_), b = limbsOf(other.mantissa_);
  std::vector<uint64_t> product(a.size() + b.size() + 1, 0);
  for (size_t i = 0; i < a.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < b.size(); ++j) {
      // < 10^18 + 10^9 + 10^9: fits 64 bits.
      const uint64_t cell = product[i + j] + a[i] * b[j] + carry;
      product[i + j] = cell % kBase;
      carry = cell / kBase;
    }
    for (size_t k = i + b.size(); carry > 0; ++k) {
      const uint64_t cell = product[k] + carry;
      product[k] = cell % kBase;
      carry = cell / kBase;
    }
  }
  while (product.size() > 1 && product.back() == 0) product.pop_back();
  std::string digits = std::to_string(product.back());
  for (size_t k = product.size() - 1; k-- > 0;) {
    const std::string limb = std::to_string(product[k]);
    digits += std::string(9 - limb.size(), '0') + limb;
  }

  int64_t exponent = int64_t(exponent_) + other.exponent_;
  Mantissa mantissa = 0;
  const size_t kept = std::min(digits.size(), size_t(kMaxDigits));
  for (size_t k = 0; k < kept; ++k) mantissa = mantissa * 10 + Mantissa(digits[k] - '0');
  if (digits.size() > kept) {
    exponent += int64_t(digits.size() - kept);
    if (digits[kept] >= '5' && ++mantissa == kMantissaLimit) {
      mantissa /= 10;
      ++exponent;
    }
  }
  // The exponent lies within [-256, 292]; the constructor brings it into
  // range or gives not-a-number.
  return Decimal(mantissa, int(exponent), negative_ != other.negative_);
}

int Decimal::compare(const Decimal& other) const {
  if (nan_ || other.nan_) return nan_ == other.nan_ ? 0 : (nan_ ? -1 : 1);
  const int signA = mantissa_ == 0 ? 0 : (negative_ ? -1 : 1);
  const int signB = other.mantissa_ == 0 ? 0 : (other.negative_ ? -1 : 1);
  if (signA != signB) return signA < signB ? -1 : 1;
  if (signA == 0) return 0;
  // Same sign: compare magnitudes by the position of the leading digit, then
  // digit by digit.
  const std::string a = digitsOf(mantissa_), b = digitsOf(other.mantissa_);
  const int64_t leadA = int64_t(a.size()) + exponent_, leadB = int64_t(b.size()) + other.exponent_;
  int magnitude = 0;
  if (leadA != leadB) {
    magnitude = leadA < leadB ? -1 : 1;
  } else {
    const size_t n = std::max(a.size(), b.size());
    const std::string pa = a + std::string(n - a.size(), '0'), pb = b + std::string(n - b.size(), '0');
    magnitude = pa < pb ? -1 : (pa == pb ? 0 : 1);
  }
  return signA > 0 ? magnitude : -magnitude;
}

std::string Decimal::description() const {
  if (nan_) return "NaN";
  std::string digits = digitsOf(mantissa_);
  std::string out = negative_ ? "-" : "";
  if (exponent_ >= 0) {
    if (mantissa_ != 0) digits.append(size_t(exponent_), '0');
    return out + digits;
  }
  const size_t fraction = size_t(-exponent_);
  if (digits.size() > fraction) {
    return out + digits.substr(0, digits.size() - fraction) + "." + digits.substr(digits.size() - fraction);
  }
  return out + "0." + std::string(fraction - digits.size(), '0') + digits;
}

double Decimal::doubleValue() const {
  if (nan_) return std::numeric_limits<double>::quiet_NaN();
  return std::strtod(description().c_str(), nullptr);
}

}  // namespace os
