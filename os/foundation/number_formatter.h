// os::NumberFormatter: numbers read from text in a locale's decimal style, as
// the platform's number formatter with the decimal style reads them
// ("1,234.5" in "en_US"): grouping separators are accepted, and the whole
// text must be the number (no leading or trailing characters).
//
// A formatter is a value; reading keeps no state and may be done from any
// thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/value.h"

namespace os {

enum class NumberFormatterStyle { Decimal = 1 };

class NumberFormatter {
 public:
  explicit NumberFormatter(NumberFormatterStyle style = NumberFormatterStyle::Decimal,
                           std::string localeIdentifier = "en_US")
      : style_(style), locale_(std::move(localeIdentifier)) {}

  NumberFormatterStyle numberStyle() const { return style_; }
  void setNumberStyle(NumberFormatterStyle style) { style_ = style; }
  const std::string& locale() const { return locale_; }
  void setLocale(std::string localeIdentifier) { locale_ = std::move(localeIdentifier); }

  // The number the whole text stands for, or nullopt. Whole numbers within
  // the signed 64-bit range come back as 64-bit integers, everything else as
  // a double.
  std::optional<Number> numberFromString(std::string_view text) const;

 private:
  NumberFormatterStyle style_;
  std::string locale_;
};

}  // namespace os
