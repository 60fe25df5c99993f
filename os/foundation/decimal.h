// os::Decimal: the platform's decimal number. A value is a sign, a mantissa of
// at most 38 decimal digits and a power-of-ten exponent in [-128, 127], or
// not-a-number. It holds numbers given as text exactly, prints them back and
// multiplies (prices in millionths of a currency unit need no other
// arithmetic).
//
// Parsing reads "[+-]digits[<separator>digits][(e|E)[+-]digits]" as a whole,
// where the separator is the decimal separator of the given locale (from
// ICU; "." for "en_US"). Anything else, including grouping separators and
// surrounding spaces, gives not-a-number. Significant digits beyond the 38
// the mantissa keeps are dropped (the value is truncated towards zero, not
// rounded); a value whose exponent cannot be represented is not-a-number.
//
// The textual form is exact and locale-independent: "1.5", "-0.25", "7",
// "120000" (no exponent notation, no trailing zeros after the point, no
// sign on zero), "NaN" for not-a-number.
//
// Value type; thread-safe.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace os {

class Decimal {
 public:
  static constexpr int kMaxDigits = 38;
  static constexpr int kMinExponent = -128;
  static constexpr int kMaxExponent = 127;

  // Zero.
  constexpr Decimal() = default;
  explicit Decimal(int64_t value);
  static Decimal notANumber();
  // The number held by `text` in the locale's notation, else not-a-number.
  static Decimal fromString(std::string_view text, std::string_view localeIdentifier = "en_US");

  bool isNaN() const { return nan_; }
  bool isZero() const { return !nan_ && mantissa_ == 0; }
  bool isNegative() const { return negative_; }
  // The value times -1 (not-a-number stays so).
  Decimal negated() const;
  // The product. Exact while it fits 38 digits; longer products are rounded
  // to 38 significant digits, halves away from zero. A product too large for
  // the exponent range is not-a-number, one too small loses its last digits
  // (down to zero), as a parsed value does. Not-a-number in either operand
  // gives not-a-number.
  Decimal multiplying(const Decimal& other) const;

  // -1, 0 or 1 by value; not-a-number orders before every number and equals
  // itself, as the platform's decimal comparison does.
  int compare(const Decimal& other) const;
  friend bool operator==(const Decimal& a, const Decimal& b) { return a.compare(b) == 0; }
  friend std::strong_ordering operator<=>(const Decimal& a, const Decimal& b) { return a.compare(b) <=> 0; }

  // The exact textual form (see above).
  std::string description() const;
  // The nearest double.
  double doubleValue() const;

 private:
  using Mantissa = unsigned __int128;
  // Normalises: strips trailing zeros into the exponent, clears the sign of
  // zero; not-a-number when the exponent leaves its range.
  Decimal(Mantissa mantissa, int exponent, bool negative);

  Mantissa mantissa_ = 0;
  int exponent_ = 0;
  bool negative_ = false;
  bool nan_ = false;
};

}  // namespace os
