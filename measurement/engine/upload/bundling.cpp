// Bundling of raw events: APMMeasurement::bundleRawEvents and its steps.

#include "measurement/engine/upload/bundling.h"

#include <algorithm>
#include <cmath>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/events/event_sampling.h"
#include "measurement/engine/upload/bundle_operations.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "os/foundation/bundle.h"
#include "os/foundation/date.h"

namespace {

using namespace apm_bundle;

using apm_shorthands::now;
int64_t millis(double seconds) { return static_cast<int64_t>(seconds * 1000); }

std::vector<std::shared_ptr<APMPBUserAttribute>> userAttributesOf(const APMPBMeasurementBundle& bundle) {
  return APMPBGetArray<APMPBUserAttribute>(&bundle, kUserAttributes)
      .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
}

// SQLite rolls a whole transaction back on some I/O errors and runs the
// statements after them on their own: a step whose failure bundling only
// logs must not be followed by more writes once that happened.
bool transactionAborted(APMDatabase& database) {
  const auto& store = database.sqliteStore();
  return !store || store->sqliteHandle() == nullptr || sqlite3_get_autocommit(store->sqliteHandle()) != 0;
}

bool hasIntOne(const APMEvent& event, const char* name) {
  const auto found = event.parameters().find(name);
  return found != event.parameters().end() && found->second.isInt64() && found->second.int64Value() == 1;
}

}  // namespace

bool APMMeasurement::bundleRawEvents() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  auto database = this->database();
  if (!database) return false;
  auto config = remoteConfigOrDefault();
  bool consumed = false;
  const bool committed = database->performTransaction([&] {
    os::Error error;
    const auto fingerprint = database->nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
      if (error.domain().empty()) return true;
      monitor()->logWithLevel(1, kAPMBundlingCodeNextFingerprintFailed, "Unable to fetch next event metadata. Error",
                              error);
      return false;
    }
    undecodableHeadRowID_.get().reset();
    const auto rawEvents = rawEventsWithMetadataFingerprint(*fingerprint);
    if (!rawEvents) return false;
    if (rawEvents->empty()) {
      // Only a head row that does not decode leaves the selection empty: it
      // goes, so that the rows behind it are bundled.
      if (!undecodableHeadRowID_) return true;
      if (!APMDeleteBundledRawEvents(*database, *undecodableHeadRowID_, *fingerprint)) return false;
      consumed = true;
      return true;
    }
    auto bundle = database->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
    if (!bundle) {
      if (!error.domain().empty()) {
        monitor()->logWithLevel(1, kAPMBundlingCodeMetadataFailed,
                                "Unable to fetch event metadata. Metadata fingerprint, error", *fingerprint, error);
        return false;
      }
      // Events whose metadata is gone still travel, in a bundle of their own.
      bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    }
    const auto events = processRawEvents(*rawEvents, *fingerprint);
    if (!events) return false;
    if (events->empty()) return true;

    const bool analyticsStorageDenied = APMConsentSettingsUtil::isAnalyticsStorageDenied();
    evaluationTimeFromRawEvents(*rawEvents, bundle);
    if (transactionAborted(*database)) return false;
    handleAnalyticsStorageConsentTransitions(bundle);
    if (transactionAborted(*database)) return false;
    APMAudienceTimestampsCache audienceTimestampsCache;
    const auto updated = eventsAfterUpdatingEventAggregates(*events, audienceTimestampsCache, !analyticsStorageDenied);
    if (!updated) return false;

    std::vector<std::shared_ptr<APMPBEvent>> protoEvents;
    protoEvents.reserve(updated->size());
    for (const auto& event : *updated) protoEvents.push_back(event->protoEvent());
    if (config->isEventSamplingEnabled() && !monitor()->isDebugModeEnabled()) {
      APMEventSampler sampler(workerQueue(), database);
      auto sampled = sampler.sampleEvents(protoEvents, &error);
      if (!sampled) return false;
      protoEvents = std::move(*sampled);
    }
    const int64_t lastRowID = rawEvents->back()->rowID();
    if (protoEvents.empty()) {
      monitor()->logWithLevel(5, kAPMBundlingCodeSampledAway, "No events left after sampling. Dropping bundle");
      if (!APMDeleteBundledRawEvents(*database, lastRowID, *fingerprint)) return false;
      consumed = true;
      return true;
    }
    APMPBSetArray(bundle.get(), kEvents, protoEvents);

    double start = rawEvents->front()->rawEvent()->timestamp();
    double end = start;
    for (const auto& raw : *rawEvents) {
      start = std::min(start, raw->rawEvent()->timestamp());
      end = std::max(end, raw->rawEvent()->timestamp());
    }
    if (!updateAppMetadataForBundle(bundle, start, end)) return false;
    const double evaluationTime = start;

    const auto userProperties = userAttributesOf(*bundle);
    if (config->DMAConsentEnabled() && shouldUpdateNPAUserProperty_) {
      setPersonalizedAdsUserPropertyOnWorkerQueue();
      shouldUpdateNPAUserProperty_ = false;
    }
    if (!analyticsStorageDenied && audience_) {
      for (const auto& property : userProperties) {
        if (!audience_->evaluateFiltersForNanoUserProperty(*property, &audienceTimestampsCache, evaluationTime)) {
          return false;
        }
      }
      std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> results;
      if (!audience_->resultsForBundling(&results)) {
        monitor()->logWithLevel(1, kAPMBundlingCodeAudienceResultsFailed, "Unable to read audience evaluation results");
        return false;
      }
      if (!results.empty()) APMPBSetArray(bundle.get(), kAudienceResults, results);
    }
    addBundleMetadataIntoBundle(bundle, start, end);
    if (!config->sessionStitchingTokenFeatureEnabled() || analyticsStorageDenied) {
      APMPBClearField(bundle.get(), kSessionStitchingToken);
    }
    const bool isRealtime = APMContainsRealtimeEvent(*updated);
    if (!database->insertBundle(bundle, isRealtime, &error)) {
      monitor()->logWithLevel(1, kAPMBundlingCodeInsertBundleFailed, "Unable to insert bundle. Error", error);
      return false;
    }
    monitor()->logWithLevel(8, kAPMBundlingCodeConsentDescription, "Consent settings",
                            APMConsentSettingsUtil::description());
    monitor()->logWithLevel(7, kAPMBundlingCodeBundleAdded,
                            "Bundle added to the upload queue. BundleID, timestamp (ms)",
                            APMPBGetInt32(bundle.get(), kBundleIndex), APMPBGetInt64(bundle.get(), kEndTimestamp));
    if (!APMDeleteBundledRawEvents(*database, lastRowID, *fingerprint)) return false;
    consumed = true;
    return true;
  });
  if (!committed) consumed = false;
  if (consumed) setSuspendedUploadTimestamp(0);
  return consumed;
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMMeasurement::rawEventsWithMetadataFingerprint(
    int64_t fingerprint) {
  auto database = this->database();
  if (!database) return std::nullopt;
  auto config = remoteConfigOrDefault();
  const int64_t maxEvents = config->uploadMaxEventsPerBundle();
  const int64_t maxBytes = config->uploadMaxSizeLimitBytes();
  int64_t firstHour = 0;
  int64_t lastRowID = 0;
  int64_t totalBytes = 0;
  const APMRowFilter filter = [&](uint32_t position, const os::Dictionary& row) {
    if (position != 0 && position >= maxEvents) return false;
    os::Error error;
    const auto raw = APMDatabase::rawEventDataFromDictionary(row, &error);
    if (!raw) {
      monitor()->logWithLevel(4, kAPMBundlingCodeFilterFailed, "Failed to filter raw event. Error", error);
      if (position == 0) {
        const auto found = row.find("rowid");
        if (found != row.end() && found->second.isNumber()) undecodableHeadRowID_ = found->second.int64Value();
      }
      return false;
    }
    const int64_t hour = APMHourIndex(raw->rawEvent()->timestamp());
    if (position == 0) {
      firstHour = hour;
    } else if (hour != firstHour || raw->rowID() != lastRowID + 1) {
      return false;
    }
    const auto encoded = raw->rawEvent()->protoEvent()->protoBuffer();
    const int64_t size = encoded ? static_cast<int64_t>(encoded->length()) : 0;
    // The first row always goes, as the upload queue takes its first bundle
    // whatever its size: an oversize event or a limit of 0 cannot stall.
    if (position != 0 && totalBytes + size >= maxBytes) return false;
    totalBytes += size;
    lastRowID = raw->rowID();
    return true;
  };
  os::Error error;
  auto rows = database->rawEventsWithMetadataFingerprint(fingerprint, &error, filter);
  if (!rows) {
    monitor()->logWithLevel(1, kAPMBundlingCodeInconsistentState, "Inconsistent state, raw event is expected. Error",
                            error);
    return std::nullopt;
  }
  return rows;
}

std::optional<std::vector<std::shared_ptr<APMEvent>>> APMMeasurement::processRawEvents(
    const std::vector<std::shared_ptr<APMRawEventData>>& rawEvents, int64_t metadataFingerprint) {
  auto database = this->database();
  auto config = remoteConfigOrDefault();
  std::vector<std::shared_ptr<APMRawEventData>> kept;
  const auto& adImpressionNames = APMAdImpressionEventNameMap();
  for (const auto& raw : rawEvents) {
    const std::string& name = raw->rawEvent()->name();
    const auto mapped = adImpressionNames.find(name);
    const bool hasMapped = mapped != adImpressionNames.end();
    if (hasMapped && config->blocklistInternal() && !config->blocklistPublic()) {
      kept.push_back(raw);
      continue;
    }
    if (config->isEventBlocklisted(name) || (hasMapped && config->isEventBlocklisted(mapped->second))) {
      monitor()->logWithLevel(4, kAPMBundlingCodeRejected, "Rejected event. Event name",
                              APMEventNameDebugDescription(name));
      continue;
    }
    if (config->redundantEngagementRemovalEnabled() && name == kAPMUserEngagementEventName &&
        hasIntOne(*raw->rawEvent(), kAPMFreerideParameter)) {
      continue;
    }
    kept.push_back(raw);
  }
  if (kept.empty()) {
    if (!APMDeleteBundledRawEvents(*database, rawEvents.back()->rowID(), metadataFingerprint)) return std::nullopt;
    monitor()->logWithLevel(4, kAPMBundlingCodeRejectedAll, "Rejected all events.");
    return std::vector<std::shared_ptr<APMEvent>>{};
  }
  os::Error error;
  auto dailyCounts = database->dailyCounts(&error);
  if (!dailyCounts) {
    monitor()->logWithLevel(1, kAPMBundlingCodeDailyCountsQueryFailed, "Failed to query daily event counts. Error",
                            error);
    return std::nullopt;
  }
  bool countsChanged = false;
  std::vector<std::shared_ptr<APMEvent>> events;
  events.reserve(kept.size());
  for (const auto& keptRaw : kept) {
    auto raw = internalEventFromPublicEvent(keptRaw);
    // Both checks run: the conversion check may make the event real-time.
    const bool conversionChanged = checkConversion(raw, *dailyCounts);
    const bool realtimeChanged = checkRealtime(raw, *dailyCounts);
    countsChanged = countsChanged || conversionChanged || realtimeChanged;
    raw = validatePurchaseEvent(raw);
    events.push_back(raw->rawEvent());
  }
  if (countsChanged && !database->updateDailyCounts(*dailyCounts, &error)) {
    monitor()->logWithLevel(2, kAPMBundlingCodeDailyCountsUpdateFailed, "Failed to update daily event counts. Name, error",
                            events.back()->name(), error);
    return std::nullopt;
  }
  return events;
}

std::shared_ptr<APMRawEventData> APMMeasurement::internalEventFromPublicEvent(
    const std::shared_ptr<APMRawEventData>& rawEvent) {
  const auto& event = *rawEvent->rawEvent();
  const auto& names = APMAdImpressionEventNameMap();
  const auto mapped = names.find(event.name());
  if (mapped == names.end()) return rawEvent;
  auto renamed = APMEvent::initWithOrigin(event.origin(), false, mapped->second, event.timestamp(),
                                          event.previousTimestamp(), event.parameters());
  if (!renamed) return rawEvent;
  auto data = APMRawEventData::initWithRawEvent(renamed, rawEvent->rowID(), rawEvent->metadataFingerprint());
  return data ? data : rawEvent;
}

bool APMMeasurement::checkConversion(const std::shared_ptr<APMRawEventData>& rawEvent, APMDailyCounts& dailyCounts) {
  auto config = remoteConfigOrDefault();
  auto& event = *rawEvent->rawEvent();
  if (config->isEventCustomConversion(event.name())) event.setConversion(true);
  if (!APMIsPublicName(event.name()) || !event.isConversion()) return false;
  const int32_t limit = config->maxConversionsPerDay();
  if (dailyCounts.conversionsCount() >= limit) {
    event.setConversion(false);
    monitor()->logWithLevel(3, kAPMBundlingCodeTooManyConversions,
                            "Too many conversion events. Not logging event as conversion. Name, limit",
                            APMEventNameDebugDescription(event.name()), limit);
    return false;
  }
  dailyCounts.incrementCountsForCurrentDay(APMDayNumber(now(), persistedConfig_->midnightOffset()), false, true);
  dailyCounts.decrementAllEventsCount();
  return true;
}

bool APMMeasurement::checkRealtime(const std::shared_ptr<APMRawEventData>& rawEvent, APMDailyCounts& dailyCounts) {
  auto config = remoteConfigOrDefault();
  auto& event = *rawEvent->rawEvent();
  if (!event.isRealtime() && !event.isConversion()) return false;
  const int32_t today = APMDayNumber(now(), persistedConfig_->midnightOffset());
  if (APMIsRealtimeLimitedEvent(event)) {
    if (dailyCounts.realtimeCount() < config->maxRealtimeEventCountPerDay()) {
      dailyCounts.incrementRealtimeCountsForCurrentDay(today);
      event.setRealtime(true);
      monitor()->logWithLevel(7, kAPMBundlingCodeRealtimeUnderLimit,
                              "Event is under real-time event count daily limit. Marking the event as real-time. "
                              "Event name, parameters",
                              APMEventNameDebugDescription(event.name()),
                              APMParametersDebugDescription(event.parameters()));
      return true;
    }
    event.setRealtime(false);
    monitor()->logWithLevel(4, kAPMBundlingCodeRealtimeOverLimit,
                            "Number of real-time events is over the real-time event count daily limit. Event is no "
                            "longer real-time. Event name, parameters",
                            APMEventNameDebugDescription(event.name()),
                            APMParametersDebugDescription(event.parameters()));
    return false;
  }
  if (APMIsDCURealtimeEvent(event)) {
    if (dailyCounts.dcuRealtimeCount() >= config->maxRealtimeDCUEventCountPerDay()) {
      event.setRealtime(false);
      return false;
    }
    dailyCounts.incrementDCURealtimeCountsForCurrentDay(today);
    event.setRealtime(true);
    return true;
  }
  event.setRealtime(true);
  monitor()->logWithLevel(7, kAPMBundlingCodeRealtimeNotLimited,
                          "Event is not subject to real-time event count daily limit. Marking an event as real-time. "
                          "Event name, parameters",
                          APMEventNameDebugDescription(event.name()), APMParametersDebugDescription(event.parameters()));
  return false;
}

std::shared_ptr<APMRawEventData> APMMeasurement::validatePurchaseEvent(
    const std::shared_ptr<APMRawEventData>& rawEvent) {
  const auto& event = *rawEvent->rawEvent();
  if (event.name() != "_iap" || !APMAEU::isASRS()) return rawEvent;
  APMEventParameters parameters = event.parameters();
  parameters.insert_or_assign("sandbox", APMValue::initWithInt64(1));
  auto copy = event.copyWithParameters(std::move(parameters));
  auto data = copy ? APMRawEventData::initWithRawEvent(copy, rawEvent->rowID(), rawEvent->metadataFingerprint())
                   : nullptr;
  return data ? data : rawEvent;
}

void APMMeasurement::evaluationTimeFromRawEvents(const std::vector<std::shared_ptr<APMRawEventData>>& rawEvents,
                                                 const std::shared_ptr<APMPBMeasurementBundle>& bundle) {
  auto database = this->database();
  const bool sessionStarted = std::any_of(rawEvents.begin(), rawEvents.end(), [](const auto& raw) {
    return raw->rawEvent()->name() == kAPMSessionStartEventName;
  });
  if (sessionStarted) {
    if (audience_) {
      if (!audience_->clearEvaluationResultsForSessionScopedFilters() && transactionAborted(*database)) return;
      for (const auto& property : userAttributesOf(*bundle)) {
        if (!audience_->evaluateFiltersForNanoUserProperty(*property, nullptr, std::nullopt)) return;
      }
    }
    os::Error error;
    if (!database->clearCurrentSessionCounts(&error)) {
      monitor()->logWithLevel(1, kAPMBundlingCodeClearSessionCountsFailed, "Failed to clear event session counts. Error",
                              error);
      return;
    }
  }
  int64_t engagement = 0;
  for (const auto& raw : rawEvents) {
    const auto& parameters = raw->rawEvent()->parameters();
    const auto time = parameters.find(kAPMEngagementTimeParameter);
    if (time == parameters.end() || parameters.contains(kAPMFreerideParameter)) continue;
    if (time->second.isInt64()) engagement += time->second.int64Value();
  }
  if (!updateUserEngagement(engagement, bundle, false)) return;
  if (sessionStarted) {
    os::Error error;
    if (!database->deleteUserAttributeWithName(kAPMSessionEngagementUserProperty, &error)) {
      monitor()->logWithLevel(1, kAPMBundlingCodeSessionEngagementDeleteFailed,
                              "Unable to delete session engagement property on session start. Error", error);
      return;
    }
  }
  updateUserEngagement(engagement, bundle, true);
}

bool APMMeasurement::updateUserEngagement(int64_t engagementMillis,
                                          const std::shared_ptr<APMPBMeasurementBundle>& bundle, bool sessionScoped) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
  if (engagementMillis < 0) {
    monitor()->logWithLevel(2, kAPMBundlingCodeNegativeEngagement, "User engagement time is negative.");
    return false;
  }
  if (engagementMillis == 0) return true;
  const char* name = sessionScoped ? kAPMSessionEngagementUserProperty : kAPMLifetimeEngagementUserProperty;
  os::Error error;
  const auto stored = database()->userAttributeWithName(name, &error);
  if (!stored && !error.domain().empty()) {
    monitor()->logWithLevel(1, kAPMBundlingCodeEngagementQueryFailed,
                            "Failed to query for user engagement user property. Name, error", name, error);
    return false;
  }
  int64_t total = engagementMillis;
  if (stored && stored->value().isInt64()) total += stored->value().int64Value();
  const double setTime = now();
  auto attribute = APMUserAttribute::initWithOrigin(kAPMAutoOrigin, name, APMValue::initWithInt64(total), setTime);
  if (!attribute || !setUserPropertyInDatabaseOnWorkerQueue(attribute)) return false;
  auto attributes = userAttributesOf(*bundle);
  auto found = std::find_if(attributes.begin(), attributes.end(), [name](const auto& property) {
    return APMPBGetString(property.get(), kAPMUserAttributeNameField) == name;
  });
  if (found != attributes.end()) {
    APMPBSetInt64(found->get(), kAPMUserAttributeIntValueField, total);
    APMPBSetInt64(found->get(), kAPMUserAttributeSetTimestampField, millis(setTime));
  } else {
    attributes.push_back(attribute->protoUserAttribute());
  }
  APMPBSetArray(bundle.get(), kUserAttributes, attributes);
  return true;
}

void APMMeasurement::handleAnalyticsStorageConsentTransitions(const std::shared_ptr<APMPBMeasurementBundle>& bundle) {
  const std::optional<std::string> previous = persistedConfig_->previousBundledConsentSignals();
  const std::optional<std::string> current = APMPBGetString(bundle.get(), kConsentSignals);
  if (previous == current) return;
  const bool wasDenied = APMIsAnalyticsStorageDeniedInSignals(previous.value_or(""));
  const bool isDenied = APMIsAnalyticsStorageDeniedInSignals(current.value_or(""));
  auto database = this->database();
  os::Error error;
  if (!wasDenied && isDenied) {
    if (!database->createEventsSnapshotTable(&error)) {
      monitor()->logWithLevel(4, kAPMBundlingCodeSnapshotFailed, "Unable to create table snapshot. Error", error);
    }
  } else if (wasDenied && !isDenied) {
    if (!database->restoreFromEventsSnapshotTable(&error)) {
      monitor()->logWithLevel(4, kAPMBundlingCodeRestoreSnapshotFailed, "Unable to restore from table snapshot. Error",
                              error);
    }
  }
  persistedConfig_->setPreviousBundledConsentSignals(current);
}

std::optional<std::vector<std::shared_ptr<APMEvent>>> APMMeasurement::eventsAfterUpdatingEventAggregates(
    const std::vector<std::shared_ptr<APMEvent>>& events, APMAudienceTimestampsCache& audienceTimestampsCache,
    bool allowEventFilterEvaluation) {
  auto database = this->database();
  std::vector<std::shared_ptr<APMEvent>> updated;
  updated.reserve(events.size());
  for (auto event : events) {
    os::Error error;
    auto aggregates = database->eventAggregatesWithName(event->name(), &error);
    if (!aggregates && !error.domain().empty()) {
      monitor()->logWithLevel(1, kAPMBundlingCodeAggregatesQueryFailed, "Failed to query event aggregates. Name, error",
                              APMEventNameDebugDescription(event->name()), error);
      return std::nullopt;
    }
    if (aggregates) {
      if (auto copy = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) {
        // The copy is made through creation, which keeps the flags as
        // parameters; nothing else differs.
        event = copy;
      }
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentSessionCount();
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = std::make_shared<APMEventAggregates>(event->name(), 1, 1, 1, event->timestamp());
    }
    if (!database->updateEventAggregates(aggregates, &error)) {
      monitor()->logWithLevel(1, kAPMBundlingCodeAggregatesUpdateFailed, "Failed to update event aggregates. Error",
                              error);
      return std::nullopt;
    }
    if (allowEventFilterEvaluation && audience_ &&
        !audience_->evaluateFiltersForEvent(*event, aggregates.get(), &audienceTimestampsCache)) {
      return std::nullopt;
    }
    updated.push_back(std::move(event));
  }
  return updated;
}

bool APMMeasurement::updateAppMetadataForBundle(const std::shared_ptr<APMPBMeasurementBundle>& bundle,
                                                double bundleStartTimestamp, double bundleEndTimestamp) {
  auto database = this->database();
  os::Error error;
  auto metadata = database->queryAppMetadata(&error);
  if (!metadata) {
    monitor()->logWithLevel(1, kAPMBundlingCodeAppMetadataQueryFailed,
                            "Unable to fetch app metadata for bundling events. Error", error);
    return false;
  }
  const double lastStart = metadata->lastBundleStartTimestamp();
  const double lastEnd = metadata->lastBundleEndTimestamp();
  if (lastEnd > 0) APMPBSetInt64(bundle.get(), kPreviousEndTimestamp, millis(lastEnd));
  if (lastStart > 0) {
    APMPBSetInt64(bundle.get(), kPreviousStartTimestamp, millis(lastStart));
  } else if (lastEnd > 0) {
    APMPBSetInt64(bundle.get(), kPreviousStartTimestamp, millis(lastEnd));
  }
  metadata->incrementLastBundleIndex();
  metadata->setLastBundleStartTimestamp(bundleStartTimestamp);
  metadata->setLastBundleEndTimestamp(bundleEndTimestamp);
  APMPBSetInt32(bundle.get(), kBundleIndex, metadata->lastBundleIndex());
  if (!database->updateAppMetadata(*metadata, &error)) {
    monitor()->logWithLevel(1, kAPMBundlingCodeAppMetadataUpdateFailed, "Unable to update the app metadata. Error",
                            error);
    return false;
  }
  return true;
}

void APMMeasurement::addBundleMetadataIntoBundle(const std::shared_ptr<APMPBMeasurementBundle>& bundle,
                                                 double bundleStartTimestamp, double bundleEndTimestamp) {
  auto config = remoteConfigOrDefault();
  if (const auto experimentIDs = config->experimentIDs(); !experimentIDs.empty()) {
    os::Array ids;
    for (const int64_t id : experimentIDs) ids.emplace_back(os::Number::uint32(static_cast<uint32_t>(id)));
    APMPBSetArray(bundle.get(), kExperimentIDs, ids);
  }
  const auto monitoringData = monitor()->monitoringDataForDispatchWithSamplePeriod(
      config->monitoringSamplePeriod(), persistedConfig_->lastMonitorDataSampledTimestamp());
  if (monitoringData && !monitoringData->empty()) {
    APMPBSetString(bundle.get(), kMonitoringData, *monitoringData);
    persistedConfig_->setLastMonitorDataSampledTimestamp(now());
  }
  if (remoteConfigInstance() && config->version() >= 0) APMPBSetInt64(bundle.get(), kConfigVersion, config->version());
  if (APMPBGetString(bundle.get(), kAppID).value_or("").empty()) {
    auto identity = this->identity();
    std::string appID = identity ? identity->appID() : std::string();
    if (appID.empty()) appID = os::Bundle::mainBundle()->bundleIdentifier();
    APMPBSetString(bundle.get(), kAppID, appID);
  }
  APMPBSetInt64(bundle.get(), kStartTimestamp, millis(bundleStartTimestamp));
  APMPBSetInt64(bundle.get(), kEndTimestamp, millis(bundleEndTimestamp));
}
