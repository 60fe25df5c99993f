// Names and monitor codes of the engine's event intake and event pipeline
// (APMMeasurement, event_intake.cpp and event_pipeline.cpp).
//
// Intake: every event reaches the worker queue "com.devuvo.ruri.worker"
// through logEventWithOrigin (facade events: default and screen parameters,
// interceptor, listeners), logEvent (ready events) or
// handleInternalEventOnWorkerQueue (the engine's own events: defaults, then
// listeners always). All of them end in handleEventOnWorkerQueue.
//
// Pipeline, per event, in this order: allowlist, session extension,
// subscription and "_ssr" de-duplication, feature rollouts, event editing,
// then for the event and each event editing created: conditional user
// properties, blocklists and one exclusive store transaction (lifetime value,
// daily limits, real-time marking, name cardinality, metadata, raw-event
// insert). Nothing is retried: a store failure drops the event with its line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// ---- Intake ----
inline constexpr int64_t kAPMIntakeCodeNilEvent = 23048;                // 4
inline constexpr int64_t kAPMIntakeCodeDefaultsWhileDisabled = 23211;   // 7
inline constexpr int64_t kAPMIntakeCodeInvalidDefaultKey = 23212;       // 4
inline constexpr int64_t kAPMIntakeCodeInvalidDefaultValue = 23213;     // 4
inline constexpr int64_t kAPMIntakeCodeInvalidDefaultName = 23214;      // 4
inline constexpr int64_t kAPMIntakeCodeTooManyDefaults = 23215;         // 4
inline constexpr int64_t kAPMIntakeCodeUpdatingDefaults = 23216;        // 7
inline constexpr int64_t kAPMIntakeCodeNilEventWithOrigin = 23219;      // 1

// ---- Pipeline ----
inline constexpr int64_t kAPMPipelineCodeDisabled = 23049;                   // 7
inline constexpr int64_t kAPMPipelineCodeConditionalPropertyFailed = 23050;  // 4
inline constexpr int64_t kAPMPipelineCodeLoggingEvent = 23051;               // 7
inline constexpr int64_t kAPMPipelineCodeRejected = 23052;                   // 5
inline constexpr int64_t kAPMPipelineCodeLifetimeValueFailed = 23053;        // 1
inline constexpr int64_t kAPMPipelineCodeDailyCountsQueryFailed = 23054;     // 1
inline constexpr int64_t kAPMPipelineCodeTooManyEvents = 23055;              // 1
inline constexpr int64_t kAPMPipelineCodeTooManyErrorEvents = 23056;         // 1
inline constexpr int64_t kAPMPipelineCodeTooManyPublicEvents = 23057;        // 1
inline constexpr int64_t kAPMPipelineCodeRealtimeOverLimit = 23060;          // 4
inline constexpr int64_t kAPMPipelineCodeDailyCountsUpdateFailed = 23061;    // 1
inline constexpr int64_t kAPMPipelineCodeAggregatesQueryFailed = 23063;      // 1
inline constexpr int64_t kAPMPipelineCodeEventCountQueryFailed = 23064;      // 1
inline constexpr int64_t kAPMPipelineCodeNameCardinality = 23065;            // 1
inline constexpr int64_t kAPMPipelineCodeAggregatesUpdateFailed = 23066;     // 1
inline constexpr int64_t kAPMPipelineCodeUserPropertiesQueryFailed = 23067;  // 1
inline constexpr int64_t kAPMPipelineCodeMetadataFailed = 23068;             // 1
inline constexpr int64_t kAPMPipelineCodeStorageLimitFailed = 23069;         // 1
inline constexpr int64_t kAPMPipelineCodeTooManyStored = 23070;              // 4
inline constexpr int64_t kAPMPipelineCodeRawEventFailed = 23071;             // 1
inline constexpr int64_t kAPMPipelineCodeEventLogged = 23072;                // 7
inline constexpr int64_t kAPMPipelineCodeDebugRealtime = 23073;              // 7
inline constexpr int64_t kAPMPipelineCodeNotInAllowlist = 23174;             // 3
inline constexpr int64_t kAPMPipelineCodeSessionIDRemoveFailed = 23177;      // 2
inline constexpr int64_t kAPMPipelineCodeSessionNumberRemoveFailed = 23178;  // 2
inline constexpr int64_t kAPMPipelineCodeExtendSessionReserved = 23179;      // 3
inline constexpr int64_t kAPMPipelineCodeSubscriptionSaveFailed = 23181;     // 2
inline constexpr int64_t kAPMPipelineCodeSubscriptionDuplicate = 23182;      // 4
inline constexpr int64_t kAPMPipelineCodeSubscriptionTrimFailed = 23183;     // 5
inline constexpr int64_t kAPMPipelineCodeSubscriptionsTrimmed = 23184;       // 5
inline constexpr int64_t kAPMPipelineCodeRolloutsNotString = 23190;          // 2
inline constexpr int64_t kAPMPipelineCodeRolloutsDuplicate = 23191;          // 8
inline constexpr int64_t kAPMPipelineCodeEngagementRemoveFailed = 23192;     // 2
inline constexpr int64_t kAPMPipelineCodeEditingFailed = 23223;              // 1

// Event and parameter names of the pipeline.
inline constexpr const char* kAPMSafelistedParameter = "dv_safelisted";
inline constexpr const char* kAPMExtendSessionParameter = "extend_session";
inline constexpr const char* kAPMFeatureRolloutsParameter = "_ffr";
inline constexpr const char* kAPMSessionStartWithRolloutsEventName = "_ssr";
inline constexpr const char* kAPMAppExceptionEventName = "_ae";
inline constexpr const char* kAPMCampaignEventName = "_cmp";
inline constexpr const char* kAPMFirstOpenConsentedEventName = "_fx";
inline constexpr const char* kAPMInAppPurchaseEventName = "_iap";
inline constexpr const char* kAPMDCUEventName = "_dcu";
inline constexpr const char* kAPMSubscriptionIDParameter = "_did";

// The keychain count after one more first open: a missing, unreadable or
// non-positive stored count counts as 0; the largest int64 stays.
std::string APMNextFirstOpenCount(const std::optional<std::string>& stored);
