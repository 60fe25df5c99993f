// Deep links, deferred deep links and campaign attribution: APMMeasurement's
// handling of the URLs that open the app.

#include "measurement/engine/attribution/deep_links.h"

#include <algorithm>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "os/foundation/bundle.h"
#include "os/foundation/clock.h"
#include "os/foundation/json.h"
#include "os/foundation/process_info.h"
#include "os/uikit/app_host.h"
#include "os/uikit/application.h"
#include "os/uikit/user_activity.h"
#include "platform/utilities/endpoints.h"

namespace {

using apm_shorthands::now;

bool systemAtLeast(int major) { return os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({major, 0, 0}); }

bool hasLaunchArgument(std::string_view argument) {
  const auto arguments = os::ProcessInfo::processInfo().arguments();
  return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
}

const char* mappedParameter(std::string_view key) {
  for (const auto& [query, parameter] : kAPMCampaignParameterMapping) {
    if (key == query) return parameter;
  }
  return nullptr;
}

bool isNonEmptyString(const os::Value* value) { return value && value->isString() && !value->string()->empty(); }

const os::Value* find(const os::Dictionary& dictionary, const char* key) {
  auto it = dictionary.find(key);
  return it == dictionary.end() ? nullptr : &it->second;
}

}  // namespace

// ---- Links that open the app ----

std::optional<os::URL> APMMeasurement::deepLinkFromUserActivity(const std::shared_ptr<NSUserActivity>& userActivity) {
  if (!userActivity) {
    monitor()->logWithLevel(7, kAPMDeepLinkCodeNoUserActivity, "User Activity is empty. User Activity", nullptr);
    return std::nullopt;
  }
  if (!systemAtLeast(9)) {
    monitor()->logWithLevel(3, kAPMDeepLinkCodeOldSystem, "Deep Link is only supported on iOS 9 and above");
    return std::nullopt;
  }
  const os::runtime::Class* activityClass = os::runtime::classFromString("NSUserActivity");
  if (!activityClass || !activityClass->instancesRespondToSelector("webpageURL") ||
      !activityClass->instancesRespondToSelector("activityType")) {
    monitor()->logWithLevel(3, kAPMDeepLinkCodeNoUserActivityClass, "NSUserActivity is not supported");
    return std::nullopt;
  }
  const auto& url = userActivity->webpageURL();
  if (userActivity->activityType() == NSUserActivityTypeBrowsingWeb && url && !url->absoluteString().empty())
    return url;
  monitor()->logWithLevel(3, kAPMDeepLinkCodeActivityWithoutLink,
                          "User Activity does not have Deep Link. User Activity", userActivity->launchOptionsValue());
  return std::nullopt;
}

void APMMeasurement::handleStoredURLAfterAppLaunchWithNotification(const os::Notification& notification) {
  const os::Dictionary& options = notification.userInfo;
  auto defaults = APMUserDefaults::sharedUserDefaults();
  if (auto entry = options.find(UIApplicationLaunchOptionsUserActivityDictionaryKey); entry != options.end()) {
    const os::Value& activityValue = entry->second[UIApplicationLaunchOptionsUserActivityKey];
    if (auto activity = NSUserActivity::fromLaunchOptionsValue(activityValue)) {
      if (auto link = deepLinkFromUserActivity(activity); link && !link->absoluteString().empty()) {
        APMStoreDeepLink(*defaults, link->absoluteString());
        return;
      }
    }
  }
  if (auto entry = options.find(UIApplicationLaunchOptionsURLKey); entry != options.end()) {
    const std::string link = entry->second.stringValue();
    if (!link.empty()) APMStoreDeepLink(*defaults, link);
  }
}

void APMMeasurement::handleNonFirstOpenEventURL(const os::URL& url, double eventTimestampInSeconds) {
  if (os::DispatchQueue::currentLabel() == scheduler_->workerQueue()->label()) {
    monitor()->logWithLevel(2, kAPMDeepLinkCodeOnWorkerQueue,
                            "Do not call handleNonFirstOpenOpenURL on the measurement worker queue");
    return;
  }
  handleOpenURL(url, std::nullopt, eventTimestampInSeconds);
}

void APMMeasurement::handleOpenURL(const os::URL& url, std::optional<int64_t> clickTimestampInMs,
                                   double eventTimestampInSeconds) {
  if (url.absoluteString().empty()) return;
  handleDebugModeWithURL(url);
  handleDeepLink(url, clickTimestampInMs, eventTimestampInSeconds);
}

void APMMeasurement::handleDeepLink(const os::URL& url, std::optional<int64_t> clickTimestampInMs,
                                    double eventTimestampInSeconds) {
  scheduleWeakly("APMMeasurement:446", [url, clickTimestampInMs, eventTimestampInSeconds](APMMeasurement& self) {
    self.handleOpenURLOnWorkerQueue(url, clickTimestampInMs, eventTimestampInSeconds, std::nullopt);
  });
}

void APMMeasurement::handleDebugModeWithURL(const os::URL&) {}

bool APMMeasurement::isValidCampaignURLParamDictionary(const os::Dictionary& parameters) {
  return std::any_of(kAPMCampaignRequiredKeys.begin(), kAPMCampaignRequiredKeys.end(), [&](const char* key) {
    auto it = parameters.find(key);
    return it != parameters.end() && !it->second.stringValue().empty();
  });
}

bool APMMeasurement::shouldAllowClickID() {
  if (!systemAtLeast(14)) return true;
  auto identity = this->identity();
  if (!identity) return false;
  if (!identity->resettableDeviceID().value_or("").empty()) return true;
  return identity->appleConsentStatus() == APMAppleConsentStatus::authorized;
}

void APMMeasurement::handleOpenURLOnWorkerQueue(const std::optional<os::URL>& url,
                                                std::optional<int64_t> clickTimestampInMs,
                                                double eventTimestampInSeconds,
                                                std::optional<os::Dictionary> extraParameters) {
  APMScheduler::checkOnBackgroundThreadWithMethodName(
      "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:");
  os::Dictionary strings, numbers;
  for (const auto& [key, value] : extraParameters.value_or(os::Dictionary())) {
    if (value.isString()) strings[key] = value;
    if (value.isNumber()) numbers[key] = value;
  }
  os::Dictionary query = strings;
  if (url && url->query()) {
    for (auto& [key, value] : apm_dictionaryWithHttpArgumentsString(*url->query())) query[key] = value;
  }
  if (query.empty()) {
    monitor()->logWithLevel(7, kAPMDeepLinkCodeEmptyQuery, "Deep Link Web URL query is empty");
    return;
  }
  if (!isValidCampaignURLParamDictionary(query)) {
    monitor()->logWithLevel(3, kAPMDeepLinkCodeNotCampaign,
                            "Deep Link does not contain valid required params. URL params", os::Value(query));
    return;
  }
  os::Dictionary parameters;
  for (const auto& [key, value] : query) {
    const char* name = mappedParameter(key);
    if (name && isNonEmptyString(&value)) parameters[name] = value;
  }
  if (!shouldAllowClickID()) {
    for (const char* clickID : kAPMCampaignClickIDParameters) parameters.erase(clickID);
  }
  for (const auto& [key, value] : numbers) parameters[key] = value;
  if (clickTimestampInMs) {
    parameters[kAPMCampaignClickTimestampParameter] = os::Value(os::Number::int64(*clickTimestampInMs));
  }

  const double eventTime =
      std::max(double(persistedConfig_->firstOpenTimestampMilliseconds()) / 1000, eventTimestampInSeconds);
  if (const os::Value* dvbraid = find(parameters, "dvbraid"); isNonEmptyString(dvbraid)) {
    if (auto value = APMValue::valueFromObject(APMObject(*dvbraid))) {
      auto attribute = APMUserAttribute::initWithOrigin(kAPMCampaignOrigin, kAPMDvbraidUserProperty, *value, eventTime);
      if (attribute) setUserPropertyInDatabaseOnWorkerQueue(attribute);
    }
  }
  const os::Value* conversionCheck = find(parameters, kAPMCampaignConversionCheckParameter);
  const bool invalid = conversionCheck && conversionCheck->isNumber() && conversionCheck->number()->doubleValue() == 1;
  auto event = APMEvent::initWithOrigin(kAPMCampaignOrigin, false,
                                        invalid ? kAPMCampaignInvalidEventName : kAPMCampaignEventName, eventTime, 0,
                                        parameters);
  if (!event) return;
  handleInternalEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(event);
}

// ---- Deferred deep links ----

bool APMMeasurement::shouldAllowRequestDeferredDeepLink() {
  auto config = remoteConfigOrDefault();
  if (!config->isDeferredDeepLinkEnabled()) {
    monitor()->logWithLevel(5, kAPMDeferredDeepLinkCodeDisabled, "Deferred Deep Link feature disabled");
    return false;
  }
  const os::Value infoSwitch = os::Bundle::mainBundle()->objectForInfoDictionaryKey(kAPMDeferredDeepLinkInfoPlistKey);
  if (!infoSwitch.isNumber() || !infoSwitch.number()->boolValue()) return false;
  if (!persistedConfig_->deferredDeepLinkRetrievalComplete().isNull()) {
    monitor()->logWithLevel(7, kAPMDeferredDeepLinkCodeDone, "Already retrieved Deferred Deep Link. Skipping");
    return false;
  }
  if (persistedConfig_->deferredDeepLinkRetryCount() >= config->maxDeferredDeepLinkRetryCount()) {
    monitor()->logWithLevel(3, kAPMDeferredDeepLinkCodeRetryLimit,
                            "Failed to retrieve Deferred Deep Link. Reached retry limit");
    persistedConfig_->setDeferredDeepLinkRetrievalComplete(os::Value(os::Number::int64(1)));
    return false;
  }
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    monitor()->logWithLevel(
        3, kAPMDeferredDeepLinkCodeAdStorageDenied,
        "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage consent. Skipping");
    return false;
  }
  auto identity = this->identity();
  const bool limited = !identity || !identity->hasLimitedAdTracking() || identity->limitedAdTracking();
  if (limited) {
    monitor()->logWithLevel(3, kAPMDeferredDeepLinkCodeNoIDFA,
                            "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
  }
  monitor()->logWithLevel(7, kAPMDeferredDeepLinkCodeEnabled, "Deferred Deep Link feature enabled");
  return true;
}

void APMMeasurement::requestDeferredDeepLink() {
  auto config = remoteConfigOrDefault();
  auto identity = this->identity();
  std::optional<os::URL> url;
  if (auto base = DAZEndpoints::URLForKey(kDAZEndpointDeferredDeepLink)) {
    std::string text = base->absoluteString();
    while (text.ends_with('/')) text.pop_back();
    text += std::string(kAPMDeferredDeepLinkPath) +
            "?sdk_version=" + std::to_string(APMIdentity::duvEvodedezudiLibraryVersion()) +
            "&rdid=" + (identity ? identity->resettableDeviceID().value_or("") : "") +
            "&id_type=idfa&bundleid=" + (identity ? identity->appID() : "") +
            "&retry=" + std::to_string(persistedConfig_->deferredDeepLinkRetryCount());
    if (!APMAEU::isFAS() && hasLaunchArgument(kAPMDeferredDeepLinkDebugArgument)) text += "&ddl_test=1";
    if (config->DMAConsentEnabled()) {
      const std::string signals = APMConsentSettingsUtil::consentSignals();
      if (!signals.empty()) text += "&gcs=" + signals;
      text += std::string("&dma=") + (config->isDMARegion() ? "1" : "0");
      if (APMConsentSettingsUtil::isAdUserDataDenied()) {
        text += "&dma_cps=-";
      } else if (config->isDMARegion()) {
        const std::set<std::string> services = config->corePlatformServices();  // ordered
        std::string joined;
        for (const auto& service : services) joined += service;
        if (!joined.empty()) text += "&dma_cps=" + joined;
      }
      if (auto personalization = APMConsentSettingsUtil::adPersonalization()) {
        text += std::string("&npa=") + (*personalization == 1 ? "0" : "1");
      }
    }
    url = os::URL::URLWithString(text);
  }
  if (!url || !network_) {
    monitor()->logWithLevel(3, kAPMDeferredDeepLinkCodeInvalidURL, "URL to retrieve Deferred Deep Link is invalid");
    return;
  }
  isNetworkRequestPending_ = true;
  network_->setTimeoutInterval(config->networkTimeout());
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  network_->getURL(
      *url, {}, scheduler_->workerQueue(), shouldUseBackgroundSession(),
      [weakSelf](std::optional<os::HTTPURLResponse> response, std::optional<os::Data> data,
                 std::optional<os::Error> error) {
        auto self = weakSelf.lock();
        if (!self) return;
        self->isNetworkRequestPending_ = false;
        const int status = response ? response->statusCode() : 0;
        if (!error && (status == 200 || status == 204 || status == 304)) {
          self->persistedConfig_->setDeferredDeepLinkRetrievalComplete(os::Value(os::Number::int64(0)));
          auto info = self->deepLinkInfoFromResponseData(data.value_or(os::Data()));
          if (info && !info->empty()) {
            monitor()->logWithLevel(7, kAPMDeferredDeepLinkCodeRetrieved, "Successfully retrieved Deferred Deep Link");
            self->handleDeferredDeepLinkInfo(*info);
          } else {
            self->updateSchedule();
          }
          return;
        }
        monitor()->logWithLevel(1, kAPMDeferredDeepLinkCodeFailed,
                                "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                                int64_t(status), error ? APMLogContext(*error) : APMLogContext());
        self->persistedConfig_->setDeferredDeepLinkRetryCount(self->persistedConfig_->deferredDeepLinkRetryCount() + 1);
        self->updateSchedule();
      });
}

std::optional<os::Dictionary> APMMeasurement::deepLinkInfoFromResponseData(const os::Data& data) {
  if (data.empty()) {
    monitor()->logWithLevel(8, kAPMDeferredDeepLinkCodeEmptyResponse, "Deferred Deep Link response is empty");
    return std::nullopt;
  }
  auto parsed = os::JSONSerialization::JSONObjectWithData(data, os::JSONReadingMutableLeaves);
  if (!parsed) {
    monitor()->logWithLevel(1, kAPMDeferredDeepLinkCodeBadJSON, "Failed to parse Deferred Deep Link from JSON. Error",
                            parsed.error());
    return std::nullopt;
  }
  const os::Dictionary* info = parsed->dictionary();
  if (!info) return std::nullopt;
  const os::Value& link = (*parsed)[kAPMDeferredDeepLinkKey];
  if (!link.isString() || !os::URL::URLWithString(*link.string())) return std::nullopt;
  return *info;
}

void APMMeasurement::handleDeferredDeepLinkInfo(const os::Dictionary& deepLinkInfo) {
  auto linkEntry = deepLinkInfo.find(kAPMDeferredDeepLinkKey);
  if (linkEntry == deepLinkInfo.end() || !linkEntry->second.isString()) return;
  auto url = os::URL::URLWithString(*linkEntry->second.string());
  if (!url) return;
  os::Dictionary extraParameters{{"cis", os::Value(kAPMDeferredDeepLinkCampaignSource)}};
  for (const char* key : {"dvclid", "dvbraid"}) {
    if (auto it = deepLinkInfo.find(key); it != deepLinkInfo.end()) extraParameters[key] = it->second;
  }
  std::optional<os::Dictionary> openOptions;
  if (auto it = deepLinkInfo.find(kAPMDeferredDeepLinkTimestampKey); it != deepLinkInfo.end()) {
    openOptions = os::Dictionary{{kAPMDeferredDeepLinkTimestampKey, it->second}};
  }
  monitor()->logWithLevel(8, kAPMDeferredDeepLinkCodeSending, "Sending Deferred Deep Link to app delegate");
  const double takenAt = now();
  std::weak_ptr<APMMeasurement> weakSelf = weak_from_this();
  os::DispatchQueue::main()->async([weakSelf, url = *url, openOptions, extraParameters, takenAt] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (!self->sendDeepLinkURLToAppDelegateOnMainThread(url, openOptions)) {
      monitor()->logWithLevel(3, kAPMDeferredDeepLinkCodeNoDelegate,
                              "App delegate not configured to handle Deferred Deep Link", url.absoluteString());
      return;
    }
    self->scheduleWeakly("APMMeasurement:368", [url, takenAt, extraParameters](APMMeasurement& engine) {
      engine.handleOpenURLOnWorkerQueue(url, std::nullopt, takenAt, extraParameters);
    });
  });
}

bool APMMeasurement::sendDeepLinkURLToAppDelegateOnMainThread(const os::URL& url,
                                                              std::optional<os::Dictionary> extraInfo) {
  auto application = APMAEU::sharedApplication();
  auto delegate = application ? application->delegate() : nullptr;
  if (!delegate || !delegate->respondsToSelector(UIApplicationDelegateSelector::openURLOptions)) return false;
  os::runtime::msgSend<bool>(*delegate, UIApplicationDelegateSelector::openURLOptions, application, url,
                             extraInfo.value_or(os::Dictionary()));
  return true;
}
