// Monitor codes of bundling (APMMeasurement::bundleRawEvents, bundling.cpp).
//
// One call makes at most one bundle in one exclusive transaction: the oldest
// raw event's fingerprint, a gap-free run of its rows within one clock hour
// (at most uploadMaxEventsPerBundle events, under uploadMaxSizeLimitBytes
// bytes), rejection and renaming, conversion and real-time daily limits,
// session and engagement accounting, aggregates and audiences, sampling, app
// metadata, then the insert into the upload queue and the deletion of the
// consumed rows. Any failure rolls all of it back.
//
// Bundling never stalls on one row: the first row of a selection is always
// taken whatever its size, and a head row that does not decode is deleted in
// the transaction (23096).
#pragma once

#include <cstdint>

inline constexpr int64_t kAPMBundlingCodeNextFingerprintFailed = 23095;    // 1
inline constexpr int64_t kAPMBundlingCodeFilterFailed = 23096;             // 4
inline constexpr int64_t kAPMBundlingCodeInconsistentState = 23097;        // 1
inline constexpr int64_t kAPMBundlingCodeMetadataFailed = 23098;           // 1
inline constexpr int64_t kAPMBundlingCodeRejected = 23099;                 // 4
inline constexpr int64_t kAPMBundlingCodeRejectedAll = 23100;              // 4
inline constexpr int64_t kAPMBundlingCodeDailyCountsQueryFailed = 23101;   // 1
inline constexpr int64_t kAPMBundlingCodeTooManyConversions = 23102;       // 3
inline constexpr int64_t kAPMBundlingCodeRealtimeUnderLimit = 23103;       // 7
inline constexpr int64_t kAPMBundlingCodeRealtimeOverLimit = 23104;        // 4
inline constexpr int64_t kAPMBundlingCodeRealtimeNotLimited = 23105;       // 7
inline constexpr int64_t kAPMBundlingCodeDailyCountsUpdateFailed = 23106;  // 2
inline constexpr int64_t kAPMBundlingCodeAggregatesQueryFailed = 23107;    // 1
inline constexpr int64_t kAPMBundlingCodeAggregatesUpdateFailed = 23108;   // 1
inline constexpr int64_t kAPMBundlingCodeAppMetadataQueryFailed = 23111;   // 1
inline constexpr int64_t kAPMBundlingCodeAppMetadataUpdateFailed = 23112;  // 1
inline constexpr int64_t kAPMBundlingCodeAudienceResultsFailed = 23113;    // 1
inline constexpr int64_t kAPMBundlingCodeInsertBundleFailed = 23115;       // 1
inline constexpr int64_t kAPMBundlingCodeBundleAdded = 23116;              // 7
inline constexpr int64_t kAPMBundlingCodeDeleteRawEventsFailed = 23119;    // 1
inline constexpr int64_t kAPMBundlingCodeRawEventExistsFailed = 23120;     // 1
inline constexpr int64_t kAPMBundlingCodeDeleteMetadataFailed = 23121;     // 1
inline constexpr int64_t kAPMBundlingCodeSampledAway = 23159;              // 5
inline constexpr int64_t kAPMBundlingCodeClearSessionCountsFailed = 23185; // 1
inline constexpr int64_t kAPMBundlingCodeNegativeEngagement = 23186;       // 2
inline constexpr int64_t kAPMBundlingCodeEngagementQueryFailed = 23187;    // 1
inline constexpr int64_t kAPMBundlingCodeSessionEngagementDeleteFailed = 23188;  // 1
inline constexpr int64_t kAPMBundlingCodeConsentDescription = 23221;       // 8
inline constexpr int64_t kAPMBundlingCodeSnapshotFailed = 23266;           // 4
inline constexpr int64_t kAPMBundlingCodeRestoreSnapshotFailed = 23267;    // 4

inline constexpr const char* kAPMLifetimeEngagementUserProperty = "_lte";
inline constexpr const char* kAPMSessionEngagementUserProperty = "_se";
