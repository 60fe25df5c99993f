#include "measurement/store/numeric_util.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "os/foundation/crypto.h"
#include "os/foundation/regex.h"

namespace {

using apm_shorthands::monitor;

// The decimal-number expression, built on first use; a failed build is
// logged and tried again at the next call.
std::shared_ptr<const os::RegularExpression> decimalNumberRegex() {
  static std::mutex mutex;
  // Never destroyed: engine work may parse numbers during exit.
  static auto& regex = *new std::shared_ptr<const os::RegularExpression>();  // guarded by mutex
  std::lock_guard lock(mutex);
  if (!regex) {
    auto built = os::RegularExpression::create(kAPMDecimalNumberPattern,
                                               os::RegularExpression::Options::CaseInsensitive);
    if (!built) {
      monitor()->logWithLevel(2, kAPMNumericCodeRegexUnavailable,
                              "Unable to initialize decimal number regexp. Regex, error", kAPMDecimalNumberPattern,
                              built.error());
      return nullptr;
    }
    regex = std::move(*built);
  }
  return regex;
}

}  // namespace

int64_t APMNumericUtil::randomInt64() {
  int64_t value = 0;
  if (!os::randomBytes(&value, sizeof value)) {
    monitor()->logWithLevel(5, kAPMNumericCodeRandomFailed, "Unable to generate random integer",
                            std::string(std::strerror(errno)));
  }
  return value;
}

std::optional<int64_t> APMInt64FromNumericString(std::string_view string) {
  std::string_view digits = string;
  const bool negative = !digits.empty() && digits.front() == '-';
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  const std::string text = (negative ? "-" : "") + std::string(digits);
  int64_t value = 0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || stop != text.data() + text.size()) return std::nullopt;
  return value;
}

bool APMIsDecimalNumberString(std::string_view string) {
  if (string.empty()) return false;
  auto regex = decimalNumberRegex();
  if (!regex) return false;
  auto found = regex->containsMatch(string);
  return found && *found;
}

std::optional<os::Decimal> APMDecimalNumberFromString(std::string_view string) {
  if (!APMIsDecimalNumberString(string)) {
    monitor()->logWithLevel(2, kAPMNumericCodeNotNumeric, "String value does not represent a numeric value. Value",
                            string);
    return std::nullopt;
  }
  const os::Decimal decimal = os::Decimal::fromString(string, "en_US");
  if (decimal.isNaN()) {
    monitor()->logWithLevel(2, kAPMNumericCodeNotADecimal, "Unable to create a NSDecimalNumber from string value. Value",
                            string);
    return std::nullopt;
  }
  // ".5" and its signed forms are compared as "0.5".
  std::string text(string);
  if (text.starts_with("+.") || text.starts_with("-.") || text.starts_with(".")) {
    std::string rewritten;
    for (char c : text) rewritten += c == '.' ? std::string("0.") : std::string(1, c);
    text = std::move(rewritten);
  }
  // A value the decimal could not hold exactly prints differently from the
  // text it came from.
  const std::string magnitude = (decimal.isNegative() ? decimal.negated() : decimal).description();
  if (text.find(magnitude) == std::string::npos) {
    monitor()->logWithLevel(2, kAPMNumericCodeLossOfPrecision,
                            "Unable to create a NSDecimalNumber from string value: loss of precision. Value", text);
    return std::nullopt;
  }
  return decimal;
}

const APMNameMap& APMPublicToInternalParameterNames() {
  static const APMNameMap map = {
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"vivuzuvu_conversion", "_c"},
      {"vivuzuvu_debug", "_dbg"},
      {"vivuzuvu_error", "_err"},
      {"vivuzuvu_error_length", "_el"},
      {"vivuzuvu_error_value", "_ev"},
      {"vivuzuvu_event_origin", "_o"},
      {"vivuzuvu_feature_rollouts", "_ffr"},
      {"vivuzuvu_previous_class", "_pc"},
      {"vivuzuvu_previous_id", "_pi"},
      {"vivuzuvu_previous_screen", "_pn"},
      {"vivuzuvu_realtime", "_r"},
      {"vivuzuvu_screen", "_sn"},
      {"vivuzuvu_screen_class", "_sc"},
      {"vivuzuvu_screen_id", "_si"},
      {"dv_conversion", "_c"},
      {"dv_debug", "_dbg"},
      {"dv_dedupe_id", "_did"},
      {"dv_error", "_err"},
      {"dv_error_length", "_el"},
      {"dv_error_value", "_ev"},
      {"topic", "_nt"},
      {"dv_event_id", "_eid"},
      {"dv_event_name", "_en"},
      {"dv_event_origin", "_o"},
      {"dv_extra_params_ct", "_epc"},
      {"dv_group_name", "_gn"},
      {"dv_index", "_i"},
      {"dv_list_length", "_ll"},
      {"dv_previous_class", "_pc"},
      {"dv_previous_id", "_pi"},
      {"dv_previous_screen", "_pn"},
      {"dv_realtime", "_r"},
      {"dv_screen", "_sn"},
      {"dv_screen_class", "_sc"},
      {"dv_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_zev_app_id", "_pdvp"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"update_with_analytics", "_uwa"},
  };
  return map;
}
