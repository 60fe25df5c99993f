#include "measurement/engine/attribution/search_ad_reporter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/scheduler.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "measurement/store/persisted_config.h"
#include "os/adservices/attribution.h"
#include "os/foundation/clock.h"
#include "os/foundation/json.h"
#include "os/foundation/process_info.h"
#include "os/net/url_session.h"
#include "platform/utilities/endpoints.h"

namespace {

using apm_shorthands::monitor;

using apm_shorthands::now;

// An answer's ID as text: a string as it is, a number by its description.
std::string idText(const os::Dictionary& answer, std::string_view key) {
  auto it = answer.find(key);
  return it == answer.end() ? std::string() : it->second.stringValue();
}

std::optional<os::URL> attributionURL() {
  auto base = DAZEndpoints::URLForKey(kDAZEndpointSearchAdsAttribution);
  if (!base) return std::nullopt;
  std::string text = base->absoluteString();
  while (text.ends_with('/')) text.pop_back();
  return os::URL::URLWithString(text + kAPMSearchAdAttributionPath);
}

}  // namespace

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::initWithWorkerQueue(
    std::shared_ptr<os::DispatchQueue> workerQueue, std::shared_ptr<APMPersistedConfig> persistedConfig) {
  if (!workerQueue) {
    monitor()->logWithLevel(2, kAPMSearchAdCodeNoQueue, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    monitor()->logWithLevel(2, kAPMSearchAdCodeNoPersistedConfig,
                            "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > kAPMSearchAdMaxRetryCount - 1) return nullptr;
  if (!persistedConfig->searchAdCampaignValue().isNull()) {
    monitor()->logWithLevel(7, kAPMSearchAdCodeAlreadyReported,
                            "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
    return nullptr;
  }
  auto alarm = APMAlarm::initWithDispatchQueue(std::move(workerQueue), kAPMSearchAdReporterAlarmName);
  return std::shared_ptr<APMSearchAdReporter>(new APMSearchAdReporter(std::move(alarm), std::move(persistedConfig)));
}

APMSearchAdReporter::APMSearchAdReporter(std::shared_ptr<APMAlarm> alarm,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig)
    : searchAdReporterAlarm_(std::move(alarm)), persistedConfig_(std::move(persistedConfig)) {}

APMSearchAdReporter::~APMSearchAdReporter() { cancelScheduling(); }

std::shared_ptr<APMAlarm> APMSearchAdReporter::alarm() const {
  std::lock_guard lock(alarmMutex_);
  return searchAdReporterAlarm_;
}

std::shared_ptr<APMAlarm> APMSearchAdReporter::TEST_alarm() const { return alarm(); }

os::runtime::Class* APMSearchAdReporter::adClientInstance() const {
  if (!os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({14, 3, 0})) return nullptr;
  return os::runtime::classFromString(kAAAttributionClassName);
}

void APMSearchAdReporter::start() {
  if (!adClientInstance()) {
    monitor()->logWithLevel(7, kAPMSearchAdCodeNotLinked,
                            "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  if (APMAEU::isNOD()) {
    monitor()->logWithLevel(7, kAPMSearchAdCodeSimulator, "Search Ad Attribution Reporter is disabled on the simulator");
    return;
  }
  scheduleSearchAdReport();
}

void APMSearchAdReporter::scheduleSearchAdReport() {
  auto alarm = this->alarm();
  if (!alarm) {
    monitor()->logWithLevel(5, kAPMSearchAdCodeAlarmCanceled, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!isSearchAdReporterEnabled()) {
    alarm->cancel();
    return;
  }
  if (!persistedConfig_->searchAdCampaignValue().isNull()) {
    monitor()->logWithLevel(7, kAPMSearchAdCodeNotScheduledReported,
                            "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
    cancelScheduling();
    return;
  }
  if (alarm->scheduledTimestamp()) {
    monitor()->logWithLevel(5, kAPMSearchAdCodeAlreadyScheduled, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() >= kAPMSearchAdMaxRetryCount) {
    monitor()->logWithLevel(5, kAPMSearchAdCodeRetryLimit,
                            "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
    return;
  }
  monitor()->logWithLevel(7, kAPMSearchAdCodeScheduling, "Scheduling Search Ad Report timer");
  const double lastLookUp = std::max(persistedConfig_->lastSearchAdLookUpTimestamp(), lastLookUpInProcess_.load());
  const double delay = kAPMSearchAdReportInterval - std::fabs(now() - lastLookUp);
  std::weak_ptr<APMSearchAdReporter> weakSelf = shared_from_this();
  alarm->runAfterDelay(delay, [weakSelf] {
    if (auto self = weakSelf.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void APMSearchAdReporter::cancelScheduling() {
  std::shared_ptr<APMAlarm> alarm;
  {
    std::lock_guard lock(alarmMutex_);
    alarm = std::move(searchAdReporterAlarm_);
  }
  if (alarm) alarm->cancel();
}

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
  if (!adClientInstance()) return;
  lastLookUpInProcess_ = now();
  persistedConfig_->setLastSearchAdLookUpTimestamp(lastLookUpInProcess_.load());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  os::runtime::Class* client = adClientInstance();
  if (!client || !client->respondsToSelector(kAAAttributionTokenSelector)) return;
  const auto token = client->sendClassMessage<os::Result<std::string>>(kAAAttributionTokenSelector);
  if (!token) {
    monitor()->logWithLevel(1, kAPMSearchAdCodeTokenFailed, "Cannot send request for Search Ad campaign attribution. Error",
                            token.error());
    return;
  }
  if (!token->empty()) requestAttributionPayloadWithToken(*token);
}

void APMSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
  const auto url = attributionURL();
  if (!url) return;  // no service configured: the next attempt tries again
  os::URLRequest request(*url, os::URLRequestCachePolicy::UseProtocolCachePolicy, kAPMSearchAdRequestTimeout);
  request.setHTTPMethod("POST");
  if (!token.empty()) request.setHTTPBody(os::Data::fromString(token));
  request.setValue("no-cache", "cache-control");
  request.setValue("text/plain", "Content-Type");
  std::weak_ptr<APMSearchAdReporter> weakSelf = shared_from_this();
  auto task = os::URLSession::sharedSession()->dataTaskWithRequest(
      request, [weakSelf](std::optional<os::Data> data, std::optional<os::HTTPURLResponse>, std::optional<os::Error> error) {
        if (auto self = weakSelf.lock()) self->handleAttributionResponse(data, error);
      });
  if (task) task->resume();
}

void APMSearchAdReporter::handleAttributionResponse(const std::optional<os::Data>& data,
                                                    const std::optional<os::Error>& error) {
  if (error) {
    monitor()->logWithLevel(1, kAPMSearchAdCodeRequestFailed,
                            "Cannot send request for Search Ad campaign attribution. Error", *error);
    scheduleSearchAdReport();
    return;
  }
  auto parsed = os::JSONSerialization::JSONObjectWithData(data.value_or(os::Data()));
  if (!parsed) {
    monitor()->logWithLevel(1, kAPMSearchAdCodeBadJSON, "Search Ad Reporter failed to parse JSON data. Error",
                            parsed.error());
    scheduleSearchAdReport();
    return;
  }
  const os::Dictionary* answer = parsed->dictionary();
  if (!answer || answer->empty()) {
    scheduleSearchAdReport();
    return;
  }
  if (idText(*answer, "adId") == kAPMSearchAdTestAnswerID && idText(*answer, "campaignId") == kAPMSearchAdTestAnswerID) {
    monitor()->logWithLevel(7, kAPMSearchAdCodeTestData, "Search Ad Reporter returned test data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  const os::Value& attribution = (*parsed)["attribution"];
  logCampaignEventWithSearchAdCampaign(attribution.boolValue(), idText(*answer, "campaignId"),
                                       idText(*answer, "keywordId"));
  cancelScheduling();
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool searchAdCampaign, const std::string& campaign,
                                                               const std::string& term) {
  {
    std::lock_guard lock(mutex_);
    if (!persistedConfig_->searchAdCampaignValue().isNull()) {
      monitor()->logWithLevel(5, kAPMSearchAdCodeAlreadyTracked, "Search Ad Campaign is already tracked");
      return;
    }
    persistedConfig_->setSearchAdCampaignValue(os::Value(searchAdCampaign));
  }
  if (!searchAdCampaign) return;
  os::Dictionary parameters{{"source", os::Value("Apple")}, {"medium", os::Value("search")}};
  if (!campaign.empty()) parameters["campaign"] = os::Value(campaign);
  if (!term.empty()) parameters["term"] = os::Value(term);
  const int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen < 2) {
    monitor()->logWithLevel(5, kAPMSearchAdCodeNoClickTimestamp, "Search Ad Campaign does not have click_timestamp.");
  } else {
    parameters["click_timestamp"] = os::Value(os::Number::int64(firstOpen - 1));
  }
  if (auto analytics = APMAnalyticsServices::sharedInstance()) {
    analytics->logInternalEventWithOrigin(kAPMSearchAdOrigin, kAPMSearchAdCampaignEventName, parameters);
  }
}
