// Event parameters: the error parameters ("_err", "_ev", "_el") and error
// events, the cleaning every event's parameters pass at creation (names and
// values checked, arrays of items cleaned, custom parameters limited), the
// value/currency check of conversions, trimming to a count of custom names,
// and cutting text to a length in code points.
//
// Cleaning never fails: what is refused is left out and recorded in "_err"
// (the first error only), "_ev" (the offending name or value, cut to a
// length with "...") and "_el" (its full length in code points, or an
// array's item count). Names are ordered as the platform's plain comparison
// orders them (os::compareStrings), never by bytes.
//
// Pure functions apart from the monitor's log lines, the remote settings
// they read (APMMeasurementServices::remoteConfig()) and the error events,
// which leave through the facade (APMAnalyticsServices); thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "measurement/store/engine_services/event.h"
#include "measurement/store/value.h"
#include "os/foundation/value.h"

inline constexpr const char* kAPMErrorEventName = "_err";
inline constexpr const char* kAPMErrorCodeParameter = "_err";
inline constexpr const char* kAPMErrorValueParameter = "_ev";
inline constexpr const char* kAPMErrorLengthParameter = "_el";
// The longest "_ev" of a refused name.
inline constexpr int kAPMErrorNameMaxLength = 40;
// What "_ev" shows for no name.
inline constexpr const char* kAPMErrorNoName = "(nil)";
inline constexpr const char* kAPMTrimmingEllipsis = "...";

// Monitor codes.
inline constexpr int64_t kAPMCleaningCodeNameNotAString = 18002;      // level 2
inline constexpr int64_t kAPMCleaningCodeEventNameEmpty = 18004;      // level 2
inline constexpr int64_t kAPMCleaningCodeCurrencyMissing = 18014;     // level 3
inline constexpr int64_t kAPMCleaningCodeUnsupportedValue = 18015;    // level 3
inline constexpr int64_t kAPMCleaningCodeItemCustomParameters = 18016;  // level 0
inline constexpr int64_t kAPMCleaningCodeTooManyParameters = 18017;   // level 1

// ---- Error parameters and error events ----

// With "_ev" and "_el" both absent: "_ev" = the name ("(nil)" for none) cut
// to `maxLength` code points with "..." when longer, and "_el" = the value's
// length in code points (a string), its item count (an array), or 0 (no
// value, another value).
void APMAddErrorDescription(APMEventParameters& parameters, std::optional<std::string_view> name, int maxLength,
                            const os::Value* value);
// "_err" = code unless "_err" is present.
void APMSetErrorCode(APMEventParameters& parameters, int64_t code);
// With none of "_err", "_ev", "_el" present: "_err" = code, then the error
// description.
void APMRecordError(APMEventParameters& parameters, int64_t code, std::optional<std::string_view> name,
                    int maxLength, const os::Value* value);
// For a code other than 0: the internal event "_err" of origin "auto" with
// "_err" = code.
void APMLogErrorEvent(int64_t code);
// The same, with "_ev" and "_el" for the name; the value counts only when
// longer than `maxLength` or the code is 4 or 7.
void APMLogErrorEventWithValue(int64_t code, std::optional<std::string_view> name, int maxLength,
                               const os::Value* value);
// The parameters as plain values (for the facade and for logs).
os::Dictionary APMPlainParameters(const APMEventParameters& parameters);

// ---- Events and names ----

// Named "_err". An empty name is logged (18004) and is not.
bool APMIsErrorEvent(const APMEvent& event);
bool APMIsNotErrorEventName(std::string_view name);
// "_assc", "_assr", or "_iap" with "subscription" = int64 1.
bool APMIsSubscriptionEvent(const APMEvent& event);
// The items of all array parameters (the caller adds 1 for the event).
int64_t APMEffectiveEventCount(const APMEvent& event);
// Any of "_si", "_sc", "_sn".
bool APMHasScreenParameters(const APMParameterObjects& parameters);
// Those of "_sn", "_sc", "_si" that are present.
APMParameterObjects APMScreenParametersFrom(const APMParameterObjects& parameters);

// ---- Cleaning ----

// Names that APMIsPublicName accepts; with `isItem`, not counting the item
// parameter names.
int64_t APMCustomParameterCount(const APMEventParameters& parameters, bool isItem);
// Above `limit` custom names, removes custom names from the greatest in
// os::compareStrings order down until at most `limit` remain.
void APMTrimParameters(APMEventParameters& parameters, int64_t limit, bool isItem);
// Without "value", true. A "value" that is not a number is removed with
// "_err" 18 for "value"; a number with a "currency" that is not a currency
// code is removed with "_err" 19 for "currency" (18014); both false.
bool APMCheckValueAndCurrency(APMEventParameters& parameters);
// The cleaned parameters. `eventName` empty: none.
// Internal rules (the internal value length, no public checks) hold for an
// event named by a long name of APMEventNameMap or by a name beginning with
// "_"; the public flag adds the public name and value checks. Items (the
// elements of an "items" array of an e-commerce event) are cleaned the same
// way with `isItem` and keep at most the item limit of custom names.
APMEventParameters APMCleanParameters(const APMParameterObjects& parameters, std::string_view eventName,
                                      bool isPublic, bool isItem);
// An array parameter's items cleaned: the array must pass
// APMDataTypeValidator::isValidArrayParamForEvent (over 200 items keeps the
// first 200; another failure gives nullopt); each item must be a dictionary
// (else left out with "_err" 4 for "<name>[<index>]" in `errors`) and is
// cleaned as an item. The array check's
// failure code goes to `failureCode`.
std::optional<APMValue> APMCleanArrayParameter(const os::Array& items, std::string_view paramName,
                                               std::string_view eventName, APMEventParameters& errors, bool isItem,
                                               bool isPublic, int64_t* failureCode);

// The first `maxLength` code points of the text followed by "...".
std::string APMStringByTrimming(std::string_view text, size_t maxLength);
