// Names and monitor codes of the engine's user properties, ad-personalisation
// decision and session-ID query (APMMeasurement, sessions/user_properties.cpp).
//
// User properties live in the store's user_attributes table, one row per
// name. The engine sets and removes them on its worker queue:
//   - a new public property is accepted while fewer than
//     maxPublicUserProperties (25..100) public ones are stored, a new
//     non-public one while its origin holds fewer than 25 non-public ones
//     (public ones count only against their own limit); replacing a stored
//     one is never limited. A refusal logs 23084 and the "_err" event 9;
//   - "_id" set to another value than the stored one resets the session
//     stitching token and deletes "_lair"; removing "_id" resets the token;
//   - with analytics disabled set and remove only log; reads still answer.
// Read callbacks run on the global background queue, the session-ID
// completion on the worker queue.
#pragma once

#include <cstdint>

// ---- Names ----
inline constexpr const char* kAPMUserPropertyUserID = "_id";
inline constexpr const char* kAPMUserPropertyLastAdvertisingIDReset = "_lair";
inline constexpr const char* kAPMAllowAdPersonalizationSignalsPlistKey =
    "DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
inline constexpr const char* kAPMRegistrationWithAdNetworkEnabledPlistKey =
    "DEVUVO_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED";
// The limit of stored non-public properties per origin, and the answer of
// maxUserPropertiesForOrigin for every origin.
inline constexpr int kAPMMaxUserPropertiesPerOrigin = 25;

// ---- Session-ID errors (code 13) ----
inline constexpr const char* kAPMSessionIDDeallocatedDescription = "Analytics deallocated";
inline constexpr const char* kAPMSessionIDAnalyticsDisabledDescription = "Analytics disabled";
inline constexpr const char* kAPMSessionIDExpiredDescription = "Session expired";
inline constexpr const char* kAPMSessionIDNotFoundDescription = "Session ID not found";

// ---- Monitor codes (level) ----
inline constexpr int64_t kAPMUserPropertyCodeRemoveNil = 23074;             // 3
inline constexpr int64_t kAPMUserPropertyCodeRemoveDisabled = 23076;        // 7
inline constexpr int64_t kAPMUserPropertyCodeRemoveFailed = 23077;          // 1
inline constexpr int64_t kAPMUserPropertyCodeRemoved = 23078;               // 7
inline constexpr int64_t kAPMUserPropertyCodeSetNil = 23079;                // 3
inline constexpr int64_t kAPMUserPropertyCodeSetDisabled = 23081;           // 7
inline constexpr int64_t kAPMUserPropertyCodeExistsQueryFailed = 23082;     // 1
inline constexpr int64_t kAPMUserPropertyCodeCountQueryFailed = 23083;      // 1
inline constexpr int64_t kAPMUserPropertyCodeLimitReached = 23084;          // 3
inline constexpr int64_t kAPMUserPropertyCodeSetFailed = 23085;             // 1
inline constexpr int64_t kAPMUserPropertyCodeSet = 23087;                   // 7
inline constexpr int64_t kAPMUserPropertyCodeNilAttributeCallback = 23088;  // 0
inline constexpr int64_t kAPMUserPropertyCodeReadFailed = 23089;            // 1
inline constexpr int64_t kAPMUserPropertyCodeNilPropertiesCallback = 23090; // 0
inline constexpr int64_t kAPMUserPropertyCodeReadAllFailed = 23091;         // 1
inline constexpr int64_t kAPMUserPropertyCodeInvalidStored = 23092;         // 3
inline constexpr int64_t kAPMUserPropertyCodeEmptyMaxOrigin = 23093;        // 0
inline constexpr int64_t kAPMUserPropertyCodeNilMaxCallback = 23094;        // 0
