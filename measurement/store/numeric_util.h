// Numeric helpers of the measurement library: a secure random 64-bit
// integer, decimal-number strings, and the table from public parameter names
// to the library's internal short names. Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "measurement/store/engine_services/event_names.h"
#include "os/foundation/decimal.h"

// Codes logged through the measurement monitor.
inline constexpr int64_t kAPMNumericCodeRegexUnavailable = 26000;
inline constexpr int64_t kAPMNumericCodeNotNumeric = 26001;
inline constexpr int64_t kAPMNumericCodeNotADecimal = 26002;
inline constexpr int64_t kAPMNumericCodeLossOfPrecision = 26003;
inline constexpr int64_t kAPMNumericCodeRandomFailed = 26004;

// The expression a decimal-number string matches (case-insensitive).
inline constexpr const char* kAPMDecimalNumberPattern = "^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$";

class APMNumericUtil {
 public:
  // Eight bytes from the secure random source. Should the source fail, that
  // is logged (level 5, code 26004, with the C library's error text) and the
  // value is returned as the source left it (0 unless it wrote to it).
  static int64_t randomInt64();
};

// The 64-bit integer a string holds: an optional sign and one or more ASCII
// digits, nothing else, within the int64 range. nullopt otherwise.
std::optional<int64_t> APMInt64FromNumericString(std::string_view string);
// APMInt64FromNumericString has a value.
inline bool APMIsNumericString(std::string_view string) { return APMInt64FromNumericString(string).has_value(); }

// A non-empty string of an optional sign and digits with at most one point:
// "12", "-12.", "+7", ".5", "-0.25". No exponent, grouping or spaces.
bool APMIsDecimalNumberString(std::string_view string);
// The exact decimal the string holds, parsed in the locale "en_US", or
// nullopt with a level-2 log line: 26001 not a decimal-number string, 26002
// not parsable, 26003 more digits than the decimal keeps.
std::optional<os::Decimal> APMDecimalNumberFromString(std::string_view string);

// 54 entries: "dv_screen" and "vivuzuvu_screen" -> "_sn", "engagement_time_msec"
// -> "_et", ...
const APMNameMap& APMPublicToInternalParameterNames();
