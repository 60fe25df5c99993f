// Monitor codes of the upload schedule, the configuration fetch, the data
// reset and the life-cycle handlers (level in the comment).
#pragma once

#include <cstdint>

// ---- Upload schedule and upload ----
inline constexpr int64_t kAPMMeasurementCodeUploadSuspended = 23023;              // 3
inline constexpr int64_t kAPMMeasurementCodeNoDataToSchedule = 23024;             // 8
inline constexpr int64_t kAPMMeasurementCodeNoNextUploadTime = 23025;             // 8
inline constexpr int64_t kAPMMeasurementCodeNoNetworkToSchedule = 23026;          // 8
inline constexpr int64_t kAPMMeasurementCodeUploadTaskExists = 23027;             // 8
inline constexpr int64_t kAPMMeasurementCodeUploadTaskScheduled = 23028;          // 8
inline constexpr int64_t kAPMMeasurementCodeLatestRawEventTimeFailed = 23029;     // 5
inline constexpr int64_t kAPMMeasurementCodeLatestBundleTimeFailed = 23030;       // 5
inline constexpr int64_t kAPMMeasurementCodeRealtimeBundleQueryFailed = 23031;    // 5
inline constexpr int64_t kAPMMeasurementCodeRealtimeRawEventQueryFailed = 23032;  // 5
inline constexpr int64_t kAPMMeasurementCodeStartingUpload = 23033;               // 8
inline constexpr int64_t kAPMMeasurementCodeUploadNetworkPending = 23034;         // 8
inline constexpr int64_t kAPMMeasurementCodeUploadNoNetwork = 23035;              // 7
inline constexpr int64_t kAPMMeasurementCodeQueryBundlesFailed = 23036;           // 1
inline constexpr int64_t kAPMMeasurementCodeNoDataToUpload = 23037;               // 8
inline constexpr int64_t kAPMMeasurementCodeUploadingEvents = 23038;              // 8
inline constexpr int64_t kAPMMeasurementCodeDataSent = 23039;                     // 7
inline constexpr int64_t kAPMMeasurementCodeNoNetworkSession = 23040;             // 2
inline constexpr int64_t kAPMMeasurementCodeUploadingWithoutNetwork = 23041;      // 1
inline constexpr int64_t kAPMMeasurementCodeBothDeviceIDs = 23042;                // 2
inline constexpr int64_t kAPMMeasurementCodeUploadFailed = 23043;                 // 7
inline constexpr int64_t kAPMMeasurementCodeUploadSucceeded = 23044;              // 7
inline constexpr int64_t kAPMMeasurementCodeDeleteUploadedFailed = 23045;         // 1
inline constexpr int64_t kAPMMeasurementCodeEmptyBundleList = 23046;              // 2
inline constexpr int64_t kAPMMeasurementCodeUploadAlreadyInProgress = 23047;      // 2
inline constexpr int64_t kAPMMeasurementCodeRetryCountFailed = 23166;             // 2

// ---- Configuration fetch, reset and queue queries ----
inline constexpr int64_t kAPMMeasurementCodeDeleteOldDatabaseFailed = 23014;      // 1
inline constexpr int64_t kAPMMeasurementCodeQueueEmptyCheckFailed = 23117;        // 1
inline constexpr int64_t kAPMMeasurementCodeRawEventsEmptyCheckFailed = 23118;    // 1
inline constexpr int64_t kAPMMeasurementCodeDeleteBundlesFailed = 23122;          // 1
inline constexpr int64_t kAPMMeasurementCodeUserPropertiesQueryFailed = 23123;    // 1
inline constexpr int64_t kAPMMeasurementCodeNoUserProperties = 23124;             // 2
inline constexpr int64_t kAPMMeasurementCodeInvalidConfigURL = 23125;             // 2
inline constexpr int64_t kAPMMeasurementCodeFetchingConfig = 23126;               // 8
inline constexpr int64_t kAPMMeasurementCodeFetchedConfig = 23127;                // 8
inline constexpr int64_t kAPMMeasurementCodeConfigFetchFailed = 23128;            // 3
inline constexpr int64_t kAPMMeasurementCodeFetchWillRetry = 23129;               // 3
inline constexpr int64_t kAPMMeasurementCodeConfigNotFound = 23130;               // 3
inline constexpr int64_t kAPMMeasurementCodeConfigNotModified = 23131;            // 8
inline constexpr int64_t kAPMMeasurementCodeConfigTimestampFailed = 23132;        // 1
inline constexpr int64_t kAPMMeasurementCodeConfigFetched = 23133;                // 8
inline constexpr int64_t kAPMMeasurementCodeSetLastSetTimestampFailed = 23134;    // 1
inline constexpr int64_t kAPMMeasurementCodeInvalidConfigData = 23135;            // 2
inline constexpr int64_t kAPMMeasurementCodeConfigAppIDInvalid = 23136;           // 2
inline constexpr int64_t kAPMMeasurementCodeAudiencesUpdateFailed = 23137;        // 2
inline constexpr int64_t kAPMMeasurementCodeConfigUpdateFailed = 23138;           // 2
inline constexpr int64_t kAPMMeasurementCodePurchaseWithoutFingerprint = 23139;   // 2
inline constexpr int64_t kAPMMeasurementCodePurchaseFingerprintFailed = 23140;    // 1
inline constexpr int64_t kAPMMeasurementCodeDuplicatePurchase = 23141;            // 4
inline constexpr int64_t kAPMMeasurementCodeResetEmptyID = 23167;                 // 1
inline constexpr int64_t kAPMMeasurementCodeDataReset = 23168;                    // 6
inline constexpr int64_t kAPMMeasurementCodeResettingData = 23171;                // 6
inline constexpr int64_t kAPMMeasurementCodeDatabaseResetFailed = 23209;          // 1
inline constexpr int64_t kAPMMeasurementCodeResettingWithEmptyID = 23218;         // 7

// ---- Application life cycle ----
inline constexpr int64_t kAPMMeasurementCodeCancellingBackgroundTask = 23142;     // 7
inline constexpr int64_t kAPMMeasurementCodeConfigFetchNetworkPending = 23143;    // 8
inline constexpr int64_t kAPMMeasurementCodeWillResignActive = 23144;             // 8
inline constexpr int64_t kAPMMeasurementCodeBackgroundTaskStarted = 23145;        // 8
