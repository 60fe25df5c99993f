// The event pipeline of APMMeasurement: from handleEventOnWorkerQueue to one
// raw event in the store (event_intake.h has the order of its steps).

#include <algorithm>
#include <cmath>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/events/event_intake.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/engine/upload/bundle_operations.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/conditional_user_property_controller.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/monitor.h"
#include "os/foundation/date.h"

namespace {

using namespace apm_bundle;

using apm_shorthands::now;

const APMValue* parameterOf(const APMEvent& event, std::string_view name) {
  const auto found = event.parameters().find(name);
  return found == event.parameters().end() ? nullptr : &found->second;
}

std::optional<std::string> stringParameter(const APMEvent& event, std::string_view name) {
  const APMValue* value = parameterOf(event, name);
  return value ? value->stringValue() : std::nullopt;
}

os::Value productIDOf(const APMEvent& event) {
  const APMValue* value = parameterOf(event, "product_id");
  return value ? value->value() : os::Value();
}

}  // namespace

void APMMeasurement::handleEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
  if (!isEnabled()) {
    monitor()->logWithLevel(7, kAPMPipelineCodeDisabled, "Analytics is disabled. Event not logged");
    return;
  }
  if (!event) return;
  event = eventAfterSafelistingEvent(std::move(event));
  if (!event) return;
  processSessionFromEvent(event);
  if (!dedupeSubscriptionEvent(event)) return;
  if (shouldDropDuplicatedSessionStartWithRolloutEvent(event)) return;
  event = appExceptionEventWithVivuzuvuFeatureRollouts(std::move(event));
  writeSessionStartEventOnWorkerQueue(event);

  const auto editing = remoteConfigOrDefault()->eventEditing();
  if (!editing) {
    writeEventOnWorkerQueue(event);
    updateSchedule();
    return;
  }
  const os::Result<bool> handled = editing->handleEvent(event->editEvent());
  if (!handled) {
    writeEventOnWorkerQueue(event);
    monitor()->logWithLevel(1, kAPMPipelineCodeEditingFailed, "Event editing failed. Event name",
                            APMEventNameDebugDescription(event->name()));
    return;
  }
  if (editing->hasEdits()) {
    if (auto edited = APMEvent::eventFromEditEvent(editing->eventContext().outputEvent())) event = std::move(edited);
  }
  // Copied first: writing may run other programs' work, never this engine's,
  // but the context belongs to the engine.
  const std::vector<APMPEvent> created =
      editing->hasCreatedEvents() ? editing->eventContext().eventsToLog() : std::vector<APMPEvent>{};
  writeEventOnWorkerQueue(event);
  for (const APMPEvent& createdEvent : created) {
    const os::Value* origin = createdEvent.parameterForName(kAPMEventOriginParameter);
    const std::string originText = origin && origin->isString() ? *origin->string() : std::string(kAPMAppOrigin);
    if (auto logged = APMEvent::initWithOrigin(originText, false, createdEvent.name(), createdEvent.timestamp(), 0,
                                               createdEvent.parameters())) {
      writeEventOnWorkerQueue(logged);
    }
  }
  updateSchedule();
}

std::shared_ptr<APMEvent> APMMeasurement::eventAfterSafelistingEvent(std::shared_ptr<APMEvent> event) {
  if (!safelistedEvents_ || safelistedEvents_->empty()) return event;
  if (std::find(safelistedEvents_->begin(), safelistedEvents_->end(), event->name()) == safelistedEvents_->end()) {
    monitor()->logWithLevel(3, kAPMPipelineCodeNotInAllowlist, "Event dropped. Reason: not in allowlist. Event name, origin",
                            APMEventNameDebugDescription(event->name()), event->origin());
    return nullptr;
  }
  APMEventParameters parameters = event->parameters();
  parameters.insert_or_assign(kAPMSafelistedParameter, APMValue::initWithInt64(1));
  return event->copyWithParameters(std::move(parameters));
}

void APMMeasurement::processSessionFromEvent(const std::shared_ptr<APMEvent>& event) {
  if (APMScreenViewReporter::sharedInstance()->isAppActive()) return;
  auto reporter = sessionReporter();
  if (!reporter) return;
  if (const APMValue* extend = parameterOf(*event, kAPMExtendSessionParameter)) {
    if (extend->isInt64() && extend->int64Value() == 1) {
      if (reporter->isSessionExpired()) {
        reportSessionStartOnWorkerQueueWithTimestamp(event->timestamp(), true);
      } else {
        reporter->extendSession();
      }
    } else {
      monitor()->logWithLevel(3, kAPMPipelineCodeExtendSessionReserved,
                              "extend_session is a reserved parameter. To extend or start a session in the "
                              "background, set an event parameter {@'extend_session': @1}");
    }
  }
  if (!reporter->isSessionExpired()) return;
  auto database = this->database();
  if (!database) return;
  database->performTransaction([&] {
    const std::pair<const char*, std::pair<int64_t, const char*>> removals[] = {
        {"_sid", {kAPMPipelineCodeSessionIDRemoveFailed,
                  "Failed to remove session ID user property on session expiration. Error"}},
        {"_sno", {kAPMPipelineCodeSessionNumberRemoveFailed,
                  "Failed to remove session number user property on session expiration. Error"}},
        {"_se", {kAPMPipelineCodeEngagementRemoveFailed,
                 "Failed to remove session user engagement user property on session expiration. Error"}}};
    for (const auto& [name, failure] : removals) {
      os::Error error;
      if (!database->deleteUserAttributeWithName(name, &error)) {
        monitor()->logWithLevel(2, failure.first, failure.second, error);
        return false;
      }
    }
    return true;
  });
}

bool APMMeasurement::dedupeSubscriptionEvent(const std::shared_ptr<APMEvent>& event) {
  if (!APMIsSubscriptionEvent(*event)) return true;
  const APMValue* subscriptionID = parameterOf(*event, kAPMSubscriptionIDParameter);
  if (!subscriptionID || !subscriptionID->isInt64()) return true;
  auto database = this->database();
  if (!database) return true;
  os::Error error;
  const auto inserted = database->insertIfNotDuplicateSubscriptionID(std::to_string(subscriptionID->int64Value()), &error);
  if (!inserted) {
    monitor()->logWithLevel(2, kAPMPipelineCodeSubscriptionSaveFailed, "Failed to save subscription ID. Product ID, error",
                            productIDOf(*event), error);
  } else if (*inserted == 0) {
    monitor()->logWithLevel(4, kAPMPipelineCodeSubscriptionDuplicate,
                            "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
                            productIDOf(*event));
    return false;
  }
  os::Error trimError;
  const auto deleted = database->deleteSubscriptionsOverLimit(&trimError);
  if (!deleted) {
    monitor()->logWithLevel(5, kAPMPipelineCodeSubscriptionTrimFailed, "Failed to delete older subscription records. Error",
                            trimError);
  } else if (*deleted > 0) {
    monitor()->logWithLevel(5, kAPMPipelineCodeSubscriptionsTrimmed, "Deleted older subscription records beyond limit");
  }
  return true;
}

bool APMMeasurement::shouldDropDuplicatedSessionStartWithRolloutEvent(const std::shared_ptr<APMEvent>& event) {
  if (event->name() != kAPMSessionStartWithRolloutsEventName) return false;
  const APMValue* value = parameterOf(*event, kAPMFeatureRolloutsParameter);
  const std::optional<std::string> text = value ? value->stringValue() : std::nullopt;
  const std::optional<std::string> stored = persistedConfig_->vivuzuvuFeatureRollouts();
  const bool duplicate = stored ? (text && *text == *stored) : (!value || (text && text->empty()));
  if (duplicate) {
    monitor()->logWithLevel(8, kAPMPipelineCodeRolloutsDuplicate, "Feature rollouts value is a duplicate, dropping event");
    return true;
  }
  if (text && !text->empty()) {
    persistedConfig_->setVivuzuvuFeatureRollouts(*text);
  } else {
    persistedConfig_->setVivuzuvuFeatureRollouts(std::nullopt);
    if (value && !text) {
      monitor()->logWithLevel(2, kAPMPipelineCodeRolloutsNotString,
                              "Unable to process vivuzuvu feature rollouts, value is not a string.");
    }
  }
  return false;
}

std::shared_ptr<APMEvent> APMMeasurement::appExceptionEventWithVivuzuvuFeatureRollouts(std::shared_ptr<APMEvent> event) {
  if (event->name() != kAPMAppExceptionEventName) return event;
  const auto rollouts = persistedConfig_->vivuzuvuFeatureRollouts();
  if (!rollouts) return event;
  auto value = APMValue::initWithString(APMObject(*rollouts));
  if (!value) return event;
  APMEventParameters parameters = event->parameters();
  parameters.insert_or_assign(kAPMFeatureRolloutsParameter, *value);
  auto copy = event->copyWithParameters(std::move(parameters));
  return copy ? copy : event;
}

void APMMeasurement::writeSessionStartEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (event->name() != kAPMSessionStartEventName) return;
  const auto rollouts = persistedConfig_->vivuzuvuFeatureRollouts();
  if (!rollouts) return;
  auto value = APMValue::initWithString(APMObject(*rollouts));
  if (!value) return;
  if (auto rolloutEvent = APMEvent::initWithOrigin(kAPMAutoOrigin, false, kAPMSessionStartWithRolloutsEventName, now(),
                                                   0, APMEventParameters{{kAPMFeatureRolloutsParameter, *value}})) {
    writeEventOnWorkerQueue(rolloutEvent);
  }
}

void APMMeasurement::writeEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!event) return;
  monitor()->logWithLevel(7, kAPMPipelineCodeLoggingEvent, "Logging event: origin, name, params", event->origin(),
                          APMEventNameDebugDescription(event->name()),
                          APMParametersDebugDescription(event->parameters()));
  const auto further = APMConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(event);
  if (!further) {
    monitor()->logWithLevel(4, kAPMPipelineCodeConditionalPropertyFailed,
                            "Unable to process conditional user property. Event name, origin",
                            APMEventNameDebugDescription(event->name()), event->origin());
  }
  writeFilteredEventOnWorkerQueue(event);
  if (further) {
    for (const auto& furtherEvent : *further) writeFilteredEventOnWorkerQueue(furtherEvent);
  }
}

void APMMeasurement::writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!event) return;
  auto config = remoteConfigOrDefault();
  const std::string& name = event->name();
  if (config->isEventBlocklisted(name)) {
    monitor()->logWithLevel(5, kAPMPipelineCodeRejected, "Rejected event. Event name", APMEventNameDebugDescription(name));
    if (!config->blocklistInternal() && !config->blocklistPublic() && name != kAPMErrorEventName) {
      const os::Value nameValue(name);
      APMLogErrorEventWithValue(kAPMErrorCodeEventIsBlocked, name, kAPMErrorNameMaxLength, &nameValue);
    }
    return;
  }
  // Waited for: the metadata's identity reads would wait for it anyway, and
  // a refresh left queued turns each of those reads into a hop.
  if (auto identity = this->identity()) identity->updateIdentifiersAndWait();
  if (APMConversionEventNames().contains(name)) event->setConversion(true);
  auto database = this->database();
  if (!database) return;
  database->performTransaction([&] {
    if (!updateLifetimeValueWithEvent(event)) {
      const APMValue* currency = parameterOf(*event, "currency");
      const APMValue* value = parameterOf(*event, "value");
      monitor()->logWithLevel(1, kAPMPipelineCodeLifetimeValueFailed,
                              "Cannot record lifetime value of event. Name, currency code, transaction value",
                              APMEventNameDebugDescription(name), currency ? currency->value() : os::Value(),
                              value ? value->value() : os::Value());
      return false;
    }
    const bool isPublic = APMIsPublicName(name);
    os::Error error;
    auto dailyCounts = database->dailyCounts(&error);
    if (!dailyCounts) {
      monitor()->logWithLevel(1, kAPMPipelineCodeDailyCountsQueryFailed,
                              "Data loss. Unable to query daily event counts. Error", error);
      return false;
    }
    const bool process = shouldProcessEvent(event, *dailyCounts, isPublic);
    const bool realtime = isRealtimeEvent(event, *dailyCounts);
    if (!database->updateDailyCounts(*dailyCounts, &error)) {
      monitor()->logWithLevel(1, kAPMPipelineCodeDailyCountsUpdateFailed,
                              "Data loss. Unable to update daily event counts. Name, error",
                              APMEventNameDebugDescription(name), error);
      return false;
    }
    return process ? writeEvent(event, isPublic, realtime) : true;
  });
}

bool APMMeasurement::shouldProcessEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts,
                                        bool isPublicEvent) {
  auto config = remoteConfigOrDefault();
  const int32_t today = APMDayNumber(now(), persistedConfig_->midnightOffset());
  if (dailyCounts.day() != today) dailyCounts.resetWithNewDay(today);
  const std::string& name = event->name();
  const int32_t maxEvents = config->maxEventsPerDay();
  const int64_t over = int64_t{dailyCounts.allEventsCount()} - maxEvents;
  const bool isError = APMIsErrorEvent(*event);
  bool dropped = false;
  bool allEventsLimitReached = false;
  if (over >= 0) {
    dropped = true;
    allEventsLimitReached = true;
    if (over % 1000 == 0) {
      monitor()->logWithLevel(1, kAPMPipelineCodeTooManyEvents, "Data loss. Too many events logged. Name, limit",
                              APMEventNameDebugDescription(name), maxEvents);
    }
  } else if (isError) {
    const int32_t maxErrors = config->maxErrorEventsPerDay();
    const int64_t excess = int64_t{dailyCounts.errorEventsCount()} - maxErrors;
    if (excess >= 0) {
      dropped = true;
      if (excess % 1000 == 0) {
        const APMValue* code = parameterOf(*event, kAPMErrorCodeParameter);
        monitor()->logWithLevel(1, kAPMPipelineCodeTooManyErrorEvents, "Too many error events logged. Error code, limit",
                                code ? code->value() : os::Value(), maxErrors);
      }
    }
  } else if (isPublicEvent) {
    const int32_t maxPublic = config->maxPublicEventsPerDay();
    const int64_t excess = int64_t{dailyCounts.publicEventsCount()} - maxPublic;
    if (excess >= 0) {
      dropped = true;
      if (excess % 1000 == 0) {
        monitor()->logWithLevel(1, kAPMPipelineCodeTooManyPublicEvents,
                                "Data loss. Too many public events logged. Name, limit",
                                APMEventNameDebugDescription(name), maxPublic);
      }
      const os::Value nameValue(name);
      APMLogErrorEventWithValue(kAPMErrorCodePublicEventLimitReached, name, kAPMErrorNameMaxLength, &nameValue);
    }
  }
  if (isError) {
    dailyCounts.incrementErrorEventsCountForCurrentDay(today);
  } else {
    const int64_t effective = 1 + APMEffectiveEventCount(*event);
    dailyCounts.incrementCountsForCurrentDay(today, isPublicEvent, false,
                                             static_cast<int32_t>(std::min<int64_t>(effective, INT32_MAX)));
  }
  if (dropped && !allEventsLimitReached) dailyCounts.decrementAllEventsCount();
  return !dropped;
}

bool APMMeasurement::isRealtimeEvent(const std::shared_ptr<APMEvent>& event, APMDailyCounts& dailyCounts) {
  auto config = remoteConfigOrDefault();
  const bool countsTowardRealtime = APMIsRealtimeLimitedEvent(*event);
  const bool countsTowardDCU = APMIsDCURealtimeEvent(*event);
  const int32_t maxRealtime = config->maxRealtimeEventCountPerDay();
  bool conversionRealtime = false;
  if (event->isConversion() || config->isEventCustomConversion(event->name())) {
    conversionRealtime = !countsTowardRealtime || dailyCounts.realtimeCount() < maxRealtime;
  }
  if (event->isRealtime() && countsTowardRealtime && dailyCounts.realtimeCount() >= maxRealtime) {
    event->setRealtime(false);
    monitor()->logWithLevel(4, kAPMPipelineCodeRealtimeOverLimit,
                            "Too many real-time events. Event is no longer real-time. Event name, parameters",
                            APMEventNameDebugDescription(event->name()),
                            APMParametersDebugDescription(event->parameters()));
  }
  if (event->isRealtime() && countsTowardDCU &&
      dailyCounts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
    event->setRealtime(false);
  }
  std::shared_ptr<APMEvent> marked = event;
  maybeAddDebugAndRealtimeParameters(marked);
  return conversionRealtime || event->isRealtime();
}

void APMMeasurement::maybeAddDebugAndRealtimeParameters(std::shared_ptr<APMEvent>& event) {
  if (!monitor()->isDebugModeEnabled()) return;
  event->setRealtime(true);
  event->setDebug(true);
  monitor()->logWithLevel(7, kAPMPipelineCodeDebugRealtime,
                          "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                          APMEventNameDebugDescription(event->name()), APMParametersDebugDescription(event->parameters()));
}

bool APMMeasurement::writeEvent(const std::shared_ptr<APMEvent>& event, bool isPublicEvent, bool isRealtime) {
  auto database = this->database();
  const std::string& name = event->name();
  os::Error error;
  auto aggregates = database->eventAggregatesWithName(name, &error);
  if (!aggregates && !error.domain().empty()) {
    monitor()->logWithLevel(1, kAPMPipelineCodeAggregatesQueryFailed, "Cannot query event aggregates. Name, error",
                            APMEventNameDebugDescription(name), error);
    return false;
  }
  if (!aggregates) {
    if (isPublicEvent) {
      const auto count = database->publicEventCount(&error);
      if (!count) {
        monitor()->logWithLevel(1, kAPMPipelineCodeEventCountQueryFailed, "Cannot query event count. Error", error);
        return false;
      }
      if (*count >= remoteConfigOrDefault()->maxEventNameCardinality()) {
        monitor()->logWithLevel(1, kAPMPipelineCodeNameCardinality, "Cannot set event. Reached limit on set events. Name",
                                APMEventNameDebugDescription(name));
        const os::Value nameValue(name);
        APMLogErrorEventWithValue(kAPMErrorCodeEventLimitReached, name, kAPMErrorNameMaxLength, &nameValue);
        return false;
      }
    }
    auto created = std::make_shared<APMEventAggregates>(name, 0, 0, 0, 0);
    if (!database->updateEventAggregates(created, &error)) {
      monitor()->logWithLevel(1, kAPMPipelineCodeAggregatesUpdateFailed, "Data loss. Cannot record event aggregates. Error",
                              error);
      return false;
    }
  }
  if (auto identity = this->identity(); identity && identity->shouldSetLastAdvertisingIDResetUserProperty()) {
    setLastAdvertisingIDResetUserPropertyOnWorkerQueue();
  }
  const auto userAttributes = database->userAttributesIncludingInternal(true, &error);
  if (!userAttributes) {
    monitor()->logWithLevel(1, kAPMPipelineCodeUserPropertiesQueryFailed, "Data loss. Cannot query user properties. Error",
                            error);
    return false;
  }
  // The campaign buffer is stored before the metadata is built, so that the
  // "_cmp" event's own metadata carries it.
  if (name == kAPMCampaignEventName) {
    if (auto info = adCampaignInfoFromEvent(event)) {
      if (auto encoded = info->protoBuffer()) persistedConfig_->setAdCampaignInfoBuffer(os::Value(*encoded));
    }
  }
  const auto metadata = createRawEventMetadataWithUserAttributes(*userAttributes);
  const bool hasResettableDeviceID = APMPBHasField(metadata.get(), kResettableDeviceID);
  if (hasResettableDeviceID && persistedConfig_->unmatchedFirstOpenWithoutIDFA()) {
    logFirstOpenConsentedEvent(event->timestamp());
  } else if (!hasResettableDeviceID && name == kAPMFirstOpenEventName) {
    persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(true);
  }
  if (!database->insertIfNotExistsRawEventMetadata(metadata, &error)) {
    monitor()->logWithLevel(1, kAPMPipelineCodeMetadataFailed, "Data loss. Cannot record event metadata. Error", error);
    return false;
  }
  const auto deleted = database->deleteRawEventsOverAbsoluteLimit(&error);
  if (!deleted) {
    monitor()->logWithLevel(1, kAPMPipelineCodeStorageLimitFailed, "Data loss. Unable to check raw event storage limit. Error",
                            error);
    return false;
  }
  if (*deleted > 0) {
    monitor()->logWithLevel(4, kAPMPipelineCodeTooManyStored, "Data loss. Too many events stored on disk. Deleted count",
                            *deleted);
  }
  const auto encoded = metadata->protoBuffer();
  const int64_t fingerprint = apm_64LSBMD5(encoded.value_or(os::Data()));
  if (!database->insertRawEvent(event, fingerprint, isRealtime, &error)) {
    monitor()->logWithLevel(1, kAPMPipelineCodeRawEventFailed, "Data loss. Cannot record raw event. Error", error);
    return false;
  }
  if (name == kAPMFirstOpenEventName) setPreviousFirstOpenCount(APMNextFirstOpenCount(previousFirstOpenCount()));
  monitor()->logWithLevel(7, kAPMPipelineCodeEventLogged, "Event logged. Event name, event params",
                          APMEventNameDebugDescription(name), APMParametersDebugDescription(event->parameters()));
  return true;
}

std::shared_ptr<APMPBMeasurementBundle> APMMeasurement::createRawEventMetadataWithUserAttributes(
    const std::vector<std::shared_ptr<APMUserAttribute>>& userAttributes) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto* b = bundle.get();
  auto identity = this->identity();
  auto config = remoteConfigOrDefault();
  APMPBSetInt32(b, kProtocolVersion, 1);
  APMPBSetString(b, kPlatform, "ios");
  if (identity) {
    APMPBSetString(b, kAppID, identity->appID());
    if (!identity->isFromAppStore()) APMPBSetString(b, kAppStore, "manual_install");
    if (identity->appVersion()) APMPBSetString(b, kAppVersion, *identity->appVersion());
    if (auto zev = identity->appIDFromZEV(); zev && !zev->empty()) {
      APMPBSetString(b, kZEVAppID, *zev);
    } else if (auto roZar = identity->appIDFromRoZar(); roZar && !roZar->empty()) {
      APMPBSetString(b, kRoZarAppID, *roZar);
    }
  }
  APMPBSetInt64(b, kLibraryVersion, APMIdentity::duvEvodedezudiLibraryVersion());
  if (identity) {
    if (auto installationID = identity->vivuzuvuInstallationID()) APMPBSetString(b, kInstallationID, *installationID);
    auto reporter = sessionReporter();
    const bool sessionExpired = reporter ? reporter->isSessionExpired() : true;
    const bool userIDAvailable = std::any_of(userAttributes.begin(), userAttributes.end(),
                                             [](const auto& attribute) { return attribute->name() == "_id"; });
    if (auto token = identity->sessionStitchingTokenWithSessionNumber(persistedConfig_->sessionNumber(), sessionExpired,
                                                                      userIDAvailable);
        token && !token->empty()) {
      APMPBSetString(b, kSessionStitchingToken, *token);
    }
    if (identity->appVersionMajor()) APMPBSetInt32(b, kAppVersionMajor, static_cast<int32_t>(*identity->appVersionMajor()));
    if (identity->appVersionMinor()) APMPBSetInt32(b, kAppVersionMinor, static_cast<int32_t>(*identity->appVersionMinor()));
    if (identity->appVersionRelease()) {
      APMPBSetInt32(b, kAppVersionRelease, static_cast<int32_t>(*identity->appVersionRelease()));
    }
    APMBundleApplyConsentAndIdentifiers(*bundle, APMConsentSettingsUtil::consentSignals(),
                                        config->gateIDFAOnATTMASEnabled(), *identity, true);
  }
  const bool dmaConsentEnabled = config->DMAConsentEnabled();
  if (dmaConsentEnabled) {
    APMBundleApplyDMAFields(*bundle, APMConsentSettingsUtil::consentDiagnostics(),
                            APMConsentSettingsUtil::isAdUserDataDenied(), nullptr, *config, true);
  }
  auto environment = APMEnvironmentInfo::sharedInstance();
  APMPBSetString(b, kDeviceModel, environment->deviceModel());
  APMPBSetString(b, kOSVersion, environment->deviceOSVersion());
  APMPBSetInt32(b, kTimeZoneOffsetMinutes, environment->timeZoneOffsetMinutes());
  if (auto language = environment->userDefaultLanguage()) APMPBSetString(b, kLanguage, *language);

  std::vector<std::shared_ptr<APMPBUserAttribute>> attributes;
  attributes.reserve(userAttributes.size() + 1);
  bool hasNPA = false;
  for (const auto& attribute : userAttributes) {
    hasNPA = hasNPA || attribute->name() == kAPMNonPersonalizedAdsUserProperty;
    attributes.push_back(attribute->protoUserAttribute());
  }
  if (dmaConsentEnabled && !hasNPA) {
    if (auto database = this->database()) {
      if (auto npa = database->userAttributeWithName(kAPMNonPersonalizedAdsUserProperty, nullptr)) {
        attributes.push_back(npa->protoUserAttribute());
      }
    }
  }
  APMPBSetArray(b, kUserAttributes, attributes);

  const os::Value buffer = persistedConfig_->adCampaignInfoBuffer();
  if (const os::Data* data = buffer.data(); data && data->length() > 0) {
    if (auto info = APMPBAdCampaignInfo::initWithBuffer(*data)) APMPBSetMessage(b, kAdCampaignInfo, info.get());
  }
  return bundle;
}

std::shared_ptr<APMPBAdCampaignInfo> APMMeasurement::adCampaignInfoFromEvent(const std::shared_ptr<APMEvent>& event) {
  const auto clickID = stringParameter(*event, "dvclid");
  const auto braidID = stringParameter(*event, "dvbraid");
  if (!clickID && !braidID) return nullptr;
  auto info = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  APMPBSetInt64(info.get(), 3, static_cast<int64_t>(event->timestamp() * 1000));
  if (clickID) APMPBSetString(info.get(), 0, *clickID);
  if (braidID) APMPBSetString(info.get(), 1, *braidID);
  if (auto source = stringParameter(*event, "dvad_source")) APMPBSetString(info.get(), 2, *source);
  return info;
}

void APMMeasurement::logFirstOpenConsentedEvent(double timestamp) {
  persistedConfig_->setUnmatchedFirstOpenWithoutIDFA(false);
  scheduleWeakly("APMMeasurement:988", [timestamp](APMMeasurement& self) {
    const auto stored = self.previousFirstOpenCount();
    const int64_t previous = stored ? std::strtoll(stored->c_str(), nullptr, 10) : 0;
    int64_t usedWithoutAnalytics = 0;
    if (auto database = self.database()) {
      auto installed = database->userAttributeWithName(kAPMFirstOpenAfterInstallUserProperty, nullptr);
      if (installed && installed->value().value().isNumber() && installed->value().value().doubleValue() < 1) {
        usedWithoutAnalytics = 1;
      }
    }
    auto event = APMEvent::initWithOrigin(
        kAPMAutoOrigin, false, kAPMFirstOpenConsentedEventName, timestamp, 0,
        APMEventParameters{{kAPMPreviousFirstOpenCountParameter, APMValue::initWithInt64(std::max<int64_t>(previous - 1, 0))},
                           {kAPMUsedWithoutAnalyticsParameter, APMValue::initWithInt64(usedWithoutAnalytics)}});
    if (!event) return;
    event->setRealtime(true);
    self.writeEventOnWorkerQueue(event);
  });
}
