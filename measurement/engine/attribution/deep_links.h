// Deep links, deferred deep links and campaign attribution: names, the
// campaign parameter table and monitor codes of the engine's link handling
// (APMMeasurement, deep_links.cpp).
//
// Design note.
// 1. Roads in: URLs and web-browsing user activities that open the running
//    app (the facade and the app-delegate interceptor call
//    handleNonFirstOpenEventURL); the launch options' URL or activity,
//    stored at launch and reported when the engine's components start; and
//    the deferred deep link, asked once of the advertising service after
//    first open and handed to the app delegate as if the app had been opened
//    with it.
// 2. A URL is a campaign when its query (with the caller's string extras
//    under it) gives one of the required keys a non-empty value. Its mapped
//    keys become the parameters of "_cmp" ("_cmpx" when "_cc" is 1), at the
//    later of first open and the given time; click identifiers are dropped
//    where advertising tracking is not allowed; "dvbraid" also sets the
//    user property "_dvbraid".
// 3. The deferred request: allowed by the setting, the Info.plist switch,
//    not done yet, below the retry limit (reaching it marks it done), with ad
//    storage granted and no limited ad tracking. A reply ends it (done = 0);
//    a failure counts one retry for the next start.
//
// Campaign handling and replies run on the worker queue; the app delegate is
// called on the main queue.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

inline constexpr const char* kAPMCampaignEventName = "_cmp";
inline constexpr const char* kAPMCampaignInvalidEventName = "_cmpx";
inline constexpr const char* kAPMCampaignOrigin = "auto";
inline constexpr const char* kAPMCampaignClickTimestampParameter = "click_timestamp";
inline constexpr const char* kAPMCampaignConversionCheckParameter = "_cc";
inline constexpr const char* kAPMDvbraidUserProperty = "_dvbraid";
inline constexpr const char* kAPMDeferredDeepLinkPath = "/adsvc/conversion/app/deeplink";
inline constexpr const char* kAPMDeferredDeepLinkInfoPlistKey = "DEVUVO_ANALYTICS_DEFERRED_DEEP_LINK_ENABLED";
inline constexpr const char* kAPMDeferredDeepLinkDebugArgument = "-DebugDeferredDeepLink";
// The reply's keys.
inline constexpr const char* kAPMDeferredDeepLinkKey = "deeplink";
inline constexpr const char* kAPMDeferredDeepLinkTimestampKey = "timestamp";
// The campaign source a deferred link is reported with.
inline constexpr const char* kAPMDeferredDeepLinkCampaignSource = "ddp";

// Query key -> event parameter.
inline constexpr std::array<std::pair<const char*, const char*>, 19> kAPMCampaignParameterMapping{{
    {"aclid", "aclid"},
    {"anid", "anid"},
    {"utm_campaign", "campaign"},
    {"cis", "_cis"},
    {"utm_content", "content"},
    {"cp1", "cp1"},
    {"dvdclid", "dvdclid"},
    {"dvad_source", "dvad_source"},
    {"dvclid", "dvclid"},
    {"dvbraid", "dvbraid"},
    {"utm_medium", "medium"},
    {"utm_source", "source"},
    {"dvsrsltid", "dvsrsltid"},
    {"utm_term", "term"},
    {"utm_id", "campaign_id"},
    {"utm_creative_format", "creative_format"},
    {"utm_marketing_tactic", "marketing_tactic"},
    {"utm_source_platform", "source_platform"},
    {"sfmc_id", "sfmc_id"},
}};
// A query is a campaign when one of these has a non-empty value.
inline constexpr std::array<const char*, 10> kAPMCampaignRequiredKeys{
    "utm_campaign", "dvclid", "utm_medium", "utm_source", "dvbraid",
    "utm_id",       "dvdclid", "dvsrsltid", "sfmc_id",    "dvad_source"};
// Dropped where advertising tracking is not allowed.
inline constexpr std::array<const char*, 3> kAPMCampaignClickIDParameters{"dvclid", "dvdclid", "dvsrsltid"};

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMDeepLinkCodeEmptyQuery = 23000;             // 7
inline constexpr int64_t kAPMDeepLinkCodeNotCampaign = 23001;            // 3
inline constexpr int64_t kAPMDeepLinkCodeNoUserActivity = 23003;         // 7
inline constexpr int64_t kAPMDeepLinkCodeOldSystem = 23004;              // 3
inline constexpr int64_t kAPMDeepLinkCodeNoUserActivityClass = 23005;    // 3
inline constexpr int64_t kAPMDeepLinkCodeActivityWithoutLink = 23006;    // 3
inline constexpr int64_t kAPMDeepLinkCodeOnWorkerQueue = 23163;          // 2
inline constexpr int64_t kAPMDeferredDeepLinkCodeDisabled = 23193;       // 5
inline constexpr int64_t kAPMDeferredDeepLinkCodeDone = 23194;           // 7
inline constexpr int64_t kAPMDeferredDeepLinkCodeRetryLimit = 23195;     // 3
inline constexpr int64_t kAPMDeferredDeepLinkCodeNoIDFA = 23196;         // 3
inline constexpr int64_t kAPMDeferredDeepLinkCodeEnabled = 23197;        // 7
inline constexpr int64_t kAPMDeferredDeepLinkCodeInvalidURL = 23198;     // 3
inline constexpr int64_t kAPMDeferredDeepLinkCodeFailed = 23199;         // 1
inline constexpr int64_t kAPMDeferredDeepLinkCodeRetrieved = 23200;      // 7
inline constexpr int64_t kAPMDeferredDeepLinkCodeEmptyResponse = 23201;  // 8
inline constexpr int64_t kAPMDeferredDeepLinkCodeBadJSON = 23202;        // 1
inline constexpr int64_t kAPMDeferredDeepLinkCodeSending = 23203;        // 8
inline constexpr int64_t kAPMDeferredDeepLinkCodeNoDelegate = 23204;     // 3
inline constexpr int64_t kAPMDeferredDeepLinkCodeAdStorageDenied = 23252;  // 3
