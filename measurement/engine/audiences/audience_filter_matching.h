// Audience filter matching: whether one stored audience filter matches one
// event or one user property, and whether a number or string filter is well
// formed.
//
// Every evaluation answers with a three-valued APMFilterOutcome: true, false,
// or nullopt when the filter cannot be evaluated (a malformed filter, a
// missing parameter, a value of the wrong type, a regular expression that
// ran out of time). The caller keeps its stored state for nullopt. Every
// such case is logged through the measurement monitor with its code below;
// nothing here raises.
//
// Numbers written as strings in filters must match kAPMDecimalNumberPattern
// and are compared as exact decimals (os::Decimal, parsed in "en_US"), except
// against a double value, where they are read as doubles and "equal" means
// within one representable step. String filters of type 1 are regular
// expressions from the server: each is compiled anew at every match and runs
// under the os regular expression's time limit.
//
// Pure functions without state; they run on the engine's worker queue but
// may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/messages/message_classes.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/event_records.h"
#include "measurement/store/records.h"
#include "os/foundation/decimal.h"
#include "os/foundation/regex.h"

// true, false, or nullopt for "no outcome".
using APMFilterOutcome = std::optional<bool>;

// ---- Field indices of the filter messages ----
inline constexpr int32_t kAPMEventFilterFilterID = 0;
inline constexpr int32_t kAPMEventFilterEventName = 1;
inline constexpr int32_t kAPMEventFilterParameterFilters = 2;
inline constexpr int32_t kAPMEventFilterCountFilter = 4;
inline constexpr int32_t kAPMEventFilterDynamic = 5;
inline constexpr int32_t kAPMEventFilterSequence = 6;
inline constexpr int32_t kAPMEventFilterSessionScoped = 7;

inline constexpr int32_t kAPMPropertyFilterFilterID = 0;
inline constexpr int32_t kAPMPropertyFilterPropertyName = 1;
inline constexpr int32_t kAPMPropertyFilterValueFilter = 2;
inline constexpr int32_t kAPMPropertyFilterDynamic = 3;
inline constexpr int32_t kAPMPropertyFilterSequence = 4;
inline constexpr int32_t kAPMPropertyFilterSessionScoped = 5;

inline constexpr int32_t kAPMFilterStringFilter = 0;
inline constexpr int32_t kAPMFilterNumberFilter = 1;
inline constexpr int32_t kAPMFilterComplement = 2;
inline constexpr int32_t kAPMFilterParameterName = 3;

inline constexpr int32_t kAPMNumberFilterComparisonType = 0;
inline constexpr int32_t kAPMNumberFilterIsFloat = 1;
inline constexpr int32_t kAPMNumberFilterComparisonValue = 2;
inline constexpr int32_t kAPMNumberFilterMinComparisonValue = 3;
inline constexpr int32_t kAPMNumberFilterMaxComparisonValue = 4;

inline constexpr int32_t kAPMStringFilterMatchType = 0;
inline constexpr int32_t kAPMStringFilterExpression = 1;
inline constexpr int32_t kAPMStringFilterCaseSensitive = 2;
inline constexpr int32_t kAPMStringFilterExpressionList = 3;

// Comparison types of a number filter.
enum class APMNumberFilterComparisonType : int32_t {
  Unknown = 0,  // never valid
  LessThan = 1,
  GreaterThan = 2,
  Equal = 3,
  Between = 4,  // minimum <= value <= maximum
};

// Match types of a string filter. Types above InList pass validation and
// never match.
enum class APMStringFilterMatchType : int32_t {
  Unknown = 0,  // never valid
  RegularExpression = 1,
  BeginsWith = 2,
  EndsWith = 3,
  Contains = 4,
  Exact = 5,
  InList = 6,
};

// ---- Monitor codes (level 1 unless noted) ----
inline constexpr int64_t kAPMAudienceCodeCorruptEventFilter = 6035;
inline constexpr int64_t kAPMAudienceCodeCorruptPropertyFilter = 6036;
inline constexpr int64_t kAPMAudienceCodeNoNumberOrStringFilter = 7000;
inline constexpr int64_t kAPMAudienceCodeStringNotNumeric = 7001;    // level 3
inline constexpr int64_t kAPMAudienceCodeDoubleOutOfRange = 7002;    // level 3
inline constexpr int64_t kAPMAudienceCodeValueNotAString = 7003;     // level 3
inline constexpr int64_t kAPMAudienceCodeEventNameNil = 7005;
inline constexpr int64_t kAPMAudienceCodeEventNameMismatch = 7006;
inline constexpr int64_t kAPMAudienceCodeAggregatesNameMismatch = 7007;
inline constexpr int64_t kAPMAudienceCodeNoParameterName = 7008;
inline constexpr int64_t kAPMAudienceCodeMissingParameter = 7009;    // level 3
inline constexpr int64_t kAPMAudienceCodeStringParameterNoStringFilter = 7010;  // level 3
inline constexpr int64_t kAPMAudienceCodePropertyFilterNil = 7011;
inline constexpr int64_t kAPMAudienceCodeUserPropertyNil = 7012;
inline constexpr int64_t kAPMAudienceCodePropertyNameMismatch = 7013;
inline constexpr int64_t kAPMAudienceCodePropertyFilterNoFilter = 7014;
inline constexpr int64_t kAPMAudienceCodeUnknownPropertyType = 7015;
inline constexpr int64_t kAPMAudienceCodeNoComparisonValue = 8001;
inline constexpr int64_t kAPMAudienceCodeComparisonValueNotANumber = 8002;
inline constexpr int64_t kAPMAudienceCodeNoMinAndMax = 8003;
inline constexpr int64_t kAPMAudienceCodeMinNotANumber = 8004;
inline constexpr int64_t kAPMAudienceCodeMaxNotANumber = 8005;
inline constexpr int64_t kAPMAudienceCodeNoComparisonType = 8006;
inline constexpr int64_t kAPMAudienceCodeUnknownComparisonType = 8007;
inline constexpr int64_t kAPMAudienceCodeInvalidComparisonValue = 8008;
inline constexpr int64_t kAPMAudienceCodeInvalidMinComparisonValue = 8009;
inline constexpr int64_t kAPMAudienceCodeInvalidMaxComparisonValue = 8010;
inline constexpr int64_t kAPMAudienceCodeRealUnknownComparisonType = 8011;
inline constexpr int64_t kAPMAudienceCodeInvalidDoubleComparison = 8012;
inline constexpr int64_t kAPMAudienceCodeInvalidParsedDecimals = 8015;
inline constexpr int64_t kAPMAudienceCodeNoMatchType = 9000;
inline constexpr int64_t kAPMAudienceCodeUnknownMatchType = 9001;
inline constexpr int64_t kAPMAudienceCodeNoExpression = 9002;
inline constexpr int64_t kAPMAudienceCodeNoExpressionList = 9003;
inline constexpr int64_t kAPMAudienceCodeRegexUnparsable = 9004;
inline constexpr int64_t kAPMAudienceCodeEvaluationStringNil = 9005;
inline constexpr int64_t kAPMAudienceCodeInvalidStringFilter = 9006;

// The parsed bounds of one decimal comparison.
class APMAudienceComparisonValues {
 public:
  bool isValid() const { return valid_; }
  void setValid(bool valid) { valid_ = valid; }
  const os::Decimal& comparisonValue() const { return comparisonValue_; }
  void setComparisonValue(os::Decimal value) { comparisonValue_ = value; }
  const os::Decimal& minComparisonValue() const { return minComparisonValue_; }
  void setMinComparisonValue(os::Decimal value) { minComparisonValue_ = value; }
  const os::Decimal& maxComparisonValue() const { return maxComparisonValue_; }
  void setMaxComparisonValue(os::Decimal value) { maxComparisonValue_ = value; }

 private:
  bool valid_ = false;
  os::Decimal comparisonValue_;
  os::Decimal minComparisonValue_;
  os::Decimal maxComparisonValue_;
};

// ---- Entry points of audience evaluation ----

// Decodes the record's EventFilter (6035 and no outcome when it does not
// decode) and evaluates it against the event of the record's event name.
// `aggregates` may be null (a count filter then has no outcome, 7007).
APMFilterOutcome APMEvaluateEventFilterRecord(const APMEventFilter& record, const APMEventParameters& parameters,
                                              const APMEventAggregates* aggregates);
// Decodes the record's PropertyFilter (6036) and evaluates it.
APMFilterOutcome APMEvaluatePropertyFilterRecord(const APMPropertyFilter& record, const APMUserAttribute* property);

// ---- The steps ----

// The event filter against one event: its name, then its count filter
// (session count when session-scoped, else lifetime count), then every
// parameter filter; the first outcome other than true is the answer.
APMFilterOutcome APMEvaluateEventFilter(const APMPBEventFilter& filter, std::string_view eventName,
                                        const APMEventParameters& parameters, const APMEventAggregates* aggregates);
// The property filter against one user property (either may be null).
APMFilterOutcome APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter, const APMUserAttribute* property);
// A value filter against one value; the number filter takes precedence over
// the string filter; the complement flag inverts true and false.
APMFilterOutcome APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value);

bool APMIsValidNumberFilter(const APMPBNumberFilter& filter);
APMFilterOutcome APMCompareDecimalWithNumberFilter(const APMPBNumberFilter& filter, const os::Decimal& value);
APMFilterOutcome APMCompareInt64WithNumberFilter(const APMPBNumberFilter& filter, int64_t value);
APMFilterOutcome APMCompareDoubleWithNumberFilter(const APMPBNumberFilter& filter, double value);

// Whether the string filter is well formed; a type 1 filter's expression
// must compile (case-insensitive unless the filter says case-sensitive), and
// the compiled expression is handed out when `regex` is not null.
bool APMValidateStringFilter(const APMPBStringFilter& filter,
                             std::shared_ptr<const os::RegularExpression>* regex = nullptr);
// The string filter against a string (null: 9005, no outcome). An invalid
// filter, and a regular expression that fails while matching (out of time
// included), give 9006 and no outcome.
APMFilterOutcome APMMatchStringFilter(const APMPBStringFilter& filter, const std::string* string);
