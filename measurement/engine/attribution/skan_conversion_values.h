// SKAdNetwork conversion values: names, windows and monitor codes of the
// engine's conversion-value fetch (APMMeasurement, skan_conversion_values.cpp).
//
// Design note.
// 1. Triggers: an upload that leaves nothing to send (after the first-window
//    or initial delay on "SKAN conversion value delay fetch"), the app
//    becoming active, the network coming back for a fetch that found none,
//    and the retry alarm "SKAN conversion value fetch timer".
// 2. A fetch runs on systems of 16.1 or later, while the setting allows it,
//    within 35 days of first open, one at a time, with an app instance ID.
//    It POSTs a SkAdNetworkConversionValueRequest to "/skan" of the
//    measurement service; the answer applies a value (status 1), ends the
//    cycle (status 2, 304, empty or undecodable answers: the retry count
//    reset) or retries (network failures, incomplete or stale answers).
// 3. Retries: at most SKANFetchRetryLimit consecutive ones (1 while the
//    back-off of the last applied value runs); the count lives in memory.
// 4. An applied value is handed to the platform; its success logs "_skan".
//    The value's expiry is read as 64-bit seconds, so expiries after 2038
//    are not taken as past.
//
// Everything runs on the worker queue.
#pragma once

#include <cstdint>

inline constexpr const char* kAPMSKANDelayAlarmName = "SKAN conversion value delay fetch";
inline constexpr const char* kAPMSKANRetryAlarmName = "SKAN conversion value fetch timer";
inline constexpr const char* kAPMSKANPath = "/skan";
inline constexpr const char* kAPMSKANEventName = "_skan";
inline constexpr const char* kAPMSKANOrigin = "auto";
// Milliseconds after first open: the first postback window, and all of them.
inline constexpr int64_t kAPMSKANFirstPostbackWindowMillis = 172'800'000;
inline constexpr int64_t kAPMSKANAllPostbackWindowsMillis = 3'024'000'000;
// The platform's error of an update it took although it answered one.
inline constexpr int64_t kAPMSKANIgnoredErrorCode = 10;

// Fields of the request and response messages.
enum APMSKANRequestField : int32_t {
  APMSKANRequestFieldLibraryVersion = 0,
  APMSKANRequestFieldAppID = 1,
  APMSKANRequestFieldAppInstanceID = 2,
  APMSKANRequestFieldSKANVersion = 3,
  APMSKANRequestFieldEvaluationEventTime = 4,
  APMSKANRequestFieldLastUploadedEventTime = 5,
};
enum APMSKANResponseField : int32_t {
  APMSKANResponseFieldStatus = 0,
  APMSKANResponseFieldMessage = 1,
  APMSKANResponseFieldFineValue = 2,
  APMSKANResponseFieldCoarseValue = 3,
  APMSKANResponseFieldLockWindow = 4,
  APMSKANResponseFieldExpiryTime = 5,
  APMSKANResponseFieldEvaluationEventTime = 6,
  APMSKANResponseFieldUpdateBackoff = 7,
};
inline constexpr int32_t kAPMSKANStatusApply = 1;
inline constexpr int32_t kAPMSKANStatusNothingToApply = 2;

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMSKANCodePostponed = 23240;               // 7
inline constexpr int64_t kAPMSKANCodeFetchFailed = 23241;             // 7
inline constexpr int64_t kAPMSKANCodeEmptyData = 23242;               // 1
inline constexpr int64_t kAPMSKANCodeInvalidData = 23243;             // 1
inline constexpr int64_t kAPMSKANCodeNoEventTime = 23244;             // 1
inline constexpr int64_t kAPMSKANCodeInvalidFineValue = 23245;        // 1
inline constexpr int64_t kAPMSKANCodeExpired = 23246;                 // 4
inline constexpr int64_t kAPMSKANCodeOutdated = 23247;                // 4
inline constexpr int64_t kAPMSKANCodeUpdating = 23248;                // 7
inline constexpr int64_t kAPMSKANCodeUpdateFailed = 23249;            // 1
inline constexpr int64_t kAPMSKANCodeRetryLimit = 23250;              // 4
inline constexpr int64_t kAPMSKANCodeNoValues = 23251;                // 1
inline constexpr int64_t kAPMSKANCodeNoExpiry = 23255;                // 1
