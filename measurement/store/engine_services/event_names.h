// Event names of the measurement library: the table from long event names to
// the library's short internal names and its reverse, the ad-impression
// table, the error codes carried by "_err" with their names, the name lists
// (conversions, e-commerce events, item parameters, screen parameters) and
// the public-name test. The tables are made once and never change;
// thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

using APMNameMap = std::map<std::string, std::string, std::less<>>;
using APMNameSet = std::set<std::string, std::less<>>;

inline constexpr int64_t kAPMEventNamesCodeNameEmpty = 18003;

// The short name of both "dv_campaign" and "vivuzuvu_campaign", and the one
// long name it maps back to: the long name without the legacy prefix, as the
// debug descriptions show it.
inline constexpr const char* kAPMCampaignEventShortName = "_cmp";
inline constexpr const char* kAPMCampaignEventLongName = "dv_campaign";

// Codes carried by the "_err" parameter.
inline constexpr int64_t kAPMErrorCodeNoError = 0;
inline constexpr int64_t kAPMErrorCodeInvalidZEVAppID = 1;
inline constexpr int64_t kAPMErrorCodeInvalidEventName = 2;
inline constexpr int64_t kAPMErrorCodeInvalidParameterName = 3;
inline constexpr int64_t kAPMErrorCodeInvalidParameterValue = 4;
inline constexpr int64_t kAPMErrorCodeParameterLimitReached = 5;
inline constexpr int64_t kAPMErrorCodeInvalidUserPropertyName = 6;
inline constexpr int64_t kAPMErrorCodeUserPropertyValueTooLong = 7;
inline constexpr int64_t kAPMErrorCodeEventLimitReached = 8;
inline constexpr int64_t kAPMErrorCodeUserPropertyLimitReached = 9;
inline constexpr int64_t kAPMErrorCodeConversionEventLimitReached = 10;
inline constexpr int64_t kAPMErrorCodeEventIsBlocked = 11;
inline constexpr int64_t kAPMErrorCodeUserPropertyIsBlocked = 12;
inline constexpr int64_t kAPMErrorCodeEventNameIsReserved = 13;
inline constexpr int64_t kAPMErrorCodeParameterNameIsReserved = 14;
inline constexpr int64_t kAPMErrorCodeUserPropertyNameIsReserved = 15;
inline constexpr int64_t kAPMErrorCodePublicEventLimitReached = 16;
inline constexpr int64_t kAPMErrorCodeTooManyExtraParamEvents = 17;
inline constexpr int64_t kAPMErrorCodeValueIsNotNumeric = 18;
inline constexpr int64_t kAPMErrorCodeCurrencyCodeIsMissingOrInvalid = 19;
inline constexpr int64_t kAPMErrorCodeInvalidArrayParamName = 20;
inline constexpr int64_t kAPMErrorCodeInvalidArrayParamEventName = 21;
inline constexpr int64_t kAPMErrorCodeInvalidArrayParamNesting = 22;
inline constexpr int64_t kAPMErrorCodeCustomParamsInArrayElement = 23;
inline constexpr int64_t kAPMErrorCodeTooManyDefaultEventParameters = 26;  // no name
inline constexpr int64_t kAPMErrorCodeArrayInDefaultEventParameters = 27;  // no name
inline constexpr int64_t kAPMErrorCodeItemScopedCustomParameterLimitReached = 28;

// 32 entries: "first_open" -> "_f", "session_start" -> "_s", ... (both
// "dv_campaign" and "vivuzuvu_campaign" give "_cmp").
const APMNameMap& APMEventNameMap();
// Short name -> long name; "_cmp" -> kAPMCampaignEventLongName.
const APMNameMap& APMEventShortToLongNameMap();
// One entry: "ad_impression" -> "_ai".
const APMNameMap& APMAdImpressionEventNameMap();
// "NoError", "InvalidZEVAppID", ... for the codes that have a name (not 24
// to 27); nullopt for the others.
std::optional<std::string_view> APMErrorCodeName(int64_t code);

// "ecommerce_purchase", "_f", "_iap", "purchase", "refund".
const APMNameSet& APMConversionEventNames();
// The events that may carry an array parameter.
bool APMIsEcommerceEventName(std::string_view name);
// Parameter names of items that are not custom ("item_id", "price", ...).
const APMNameSet& APMItemParameterNames();
// "_sn", "_sc", "_si".
const APMNameSet& APMScreenParameterNames();

// A non-empty name that does not begin with "_". An empty name is logged
// (level 2, code 18003) and is not public.
bool APMIsPublicName(std::string_view name);
