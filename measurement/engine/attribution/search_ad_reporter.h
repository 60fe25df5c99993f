// APMSearchAdReporter: finds out once per installation whether the app was
// installed from a search-ads campaign of the platform's store, and if so
// logs the automatic campaign event "_cmp" (origin "auto", "source" "Apple",
// "medium" "search", the campaign and keyword IDs, and "click_timestamp" one
// millisecond before first open).
//
// Design note.
// 1. An attempt (maybeLogIAdCampaignEvent) records its time, counts itself
//    (searchAdRetryCount, persisted, before the token is asked for), asks
//    the AdServices class "AAAttribution" (found by name, 14.3 or later) for
//    a token, POSTs it to the search-ads attribution service ("/api/v1/" on
//    the endpoints resource's kDAZEndpointSearchAdsAttribution host, 10 s)
//    and schedules the next attempt.
// 2. Scheduling: one alarm, "Search Ad campaign report alarm", on the
//    worker queue, armed for 24 h after the last attempt (at once when that
//    lies more than a day back). Only while enabled; never once an answer is
//    stored (searchAdCampaignValue) or after 10 attempts. cancelScheduling
//    drops the alarm for good.
// 3. An answer: a transport or JSON error, an empty object or the
//    platform's test answer (adId and campaignId "1234567890") wait for the
//    next attempt; any other answer is stored under the reporter's lock
//    (YES or NO, once) and ends the search; YES logs "_cmp".
// 4. The engine does not make a reporter once an answer is stored (32002) or
//    10 attempts were made; it enables and starts it at start-up and
//    switches it with collection. The flag is read only when scheduling, so
//    an alarm already armed still fires once after switching off.
//
// Threads: the alarm fires on the worker queue; answers arrive on the shared
// URL session's queue and may schedule or cancel from there. The alarm and
// the flag are safe from any thread; recording an answer holds `mutex_`.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/url.h"
#include "os/net/url_request.h"
#include "os/runtime/runtime.h"

class APMAlarm;
class APMPersistedConfig;
namespace os {
class DispatchQueue;
}

inline constexpr const char* kAPMSearchAdReporterAlarmName = "Search Ad campaign report alarm";
inline constexpr const char* kAPMSearchAdAttributionPath = "/api/v1/";
// Seconds between attempts, and the attempts an installation makes.
inline constexpr double kAPMSearchAdReportInterval = 86'400;
inline constexpr int64_t kAPMSearchAdMaxRetryCount = 10;
inline constexpr double kAPMSearchAdRequestTimeout = 10;
// The platform's test answer carries this as adId and campaignId.
inline constexpr const char* kAPMSearchAdTestAnswerID = "1234567890";
inline constexpr const char* kAPMSearchAdCampaignEventName = "_cmp";
inline constexpr const char* kAPMSearchAdOrigin = "auto";

// Monitor codes (level in the comment).
inline constexpr int64_t kAPMSearchAdCodeNoQueue = 32000;               // 2
inline constexpr int64_t kAPMSearchAdCodeNoPersistedConfig = 32001;     // 2
inline constexpr int64_t kAPMSearchAdCodeAlreadyReported = 32002;       // 7
inline constexpr int64_t kAPMSearchAdCodeNotScheduledReported = 32004;  // 7
inline constexpr int64_t kAPMSearchAdCodeAlreadyScheduled = 32005;      // 5
inline constexpr int64_t kAPMSearchAdCodeScheduling = 32006;            // 7
inline constexpr int64_t kAPMSearchAdCodeRetryLimit = 32007;            // 5
inline constexpr int64_t kAPMSearchAdCodeAlreadyTracked = 32008;        // 5
inline constexpr int64_t kAPMSearchAdCodeNoClickTimestamp = 32009;      // 5
inline constexpr int64_t kAPMSearchAdCodeAlarmCanceled = 32013;         // 5
inline constexpr int64_t kAPMSearchAdCodeNotLinked = 32014;             // 7
inline constexpr int64_t kAPMSearchAdCodeRequestFailed = 32015;         // 1
inline constexpr int64_t kAPMSearchAdCodeTestData = 32016;              // 7
inline constexpr int64_t kAPMSearchAdCodeBadJSON = 32017;               // 1
inline constexpr int64_t kAPMSearchAdCodeTokenFailed = 32018;           // 1
inline constexpr int64_t kAPMSearchAdCodeSimulator = 32019;             // 7

class APMSearchAdReporter : public std::enable_shared_from_this<APMSearchAdReporter> {
 public:
  // Null without a queue (32000) or persisted configuration (32001), after
  // 10 attempts, or once an answer is stored (32002). Starts disabled.
  static std::shared_ptr<APMSearchAdReporter> initWithWorkerQueue(std::shared_ptr<os::DispatchQueue> workerQueue,
                                                                  std::shared_ptr<APMPersistedConfig> persistedConfig);
  // Cancels scheduling.
  ~APMSearchAdReporter();
  APMSearchAdReporter(const APMSearchAdReporter&) = delete;
  APMSearchAdReporter& operator=(const APMSearchAdReporter&) = delete;

  // Schedules the first attempt unless AdServices is missing (32014) or the
  // device is a simulator (32019).
  void start();
  // One attempt (the alarm's work).
  void maybeLogIAdCampaignEvent();
  void scheduleSearchAdReport();
  // Cancels the alarm and drops it: nothing is scheduled again.
  void cancelScheduling();
  void fetchAttributionDetails();
  void requestAttributionPayloadWithToken(const std::string& token);
  // The answer of the attribution service (the data task's completion).
  void handleAttributionResponse(const std::optional<os::Data>& data, const std::optional<os::Error>& error);
  // "AAAttribution" on 14.3 or later when the class exists; else null.
  os::runtime::Class* adClientInstance() const;
  void logCampaignEventWithSearchAdCampaign(bool searchAdCampaign, const std::string& campaign,
                                            const std::string& term);

  bool isSearchAdReporterEnabled() const { return searchAdReporterEnabled_; }
  void setSearchAdReporterEnabled(bool enabled) { searchAdReporterEnabled_ = enabled; }

  // ---- For tests ----
  std::shared_ptr<APMAlarm> TEST_alarm() const;

 private:
  APMSearchAdReporter(std::shared_ptr<APMAlarm> alarm, std::shared_ptr<APMPersistedConfig> persistedConfig);
  std::shared_ptr<APMAlarm> alarm() const;

  mutable std::mutex alarmMutex_;
  std::shared_ptr<APMAlarm> searchAdReporterAlarm_;  // guarded by alarmMutex_; null once cancelled
  // The last look-up of this process: the spacing holds even when the
  // persisted time could not be stored (an unreadable persisted file).
  std::atomic<double> lastLookUpInProcess_{0};
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::atomic<bool> searchAdReporterEnabled_{false};
  std::mutex mutex_;  // records one answer at a time
};
