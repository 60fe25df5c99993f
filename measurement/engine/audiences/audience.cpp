// Evaluation, results for bundling and session clearing of APMAudience.
// Definitions are in audience_definitions.cpp.
#include "measurement/engine/audiences/audience.h"

#include <algorithm>
#include <map>

#include "measurement/engine/audiences/audience_filter_matching.h"
#include "measurement/engine/audiences/audience_log.h"
#include "measurement/engine/audiences/audience_results.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/debug_description.h"

using apm_audience::log;
using apm_audience::ResultBits;

namespace {

constexpr int32_t kLeafAudienceID = 0;
constexpr int32_t kLeafCurrentData = 1;
constexpr int32_t kLeafPreviousData = 2;
constexpr int32_t kLeafNewAudience = 3;

constexpr int32_t kUserAttributeSetTimestampMillis = 0;
constexpr int32_t kUserAttributeName = 1;
constexpr int32_t kUserAttributeStringValue = 2;
constexpr int32_t kUserAttributeIntValue = 3;
constexpr int32_t kUserAttributeDoubleValue = 5;

// The codes and texts of one kind of evaluation.
struct EvaluationCodes {
  int64_t queryFilters;
  const char* queryFiltersText;
  int64_t queryResult;
  const char* queryResultText;
  int64_t saveResults;
  const char* saveResultsText;
};

constexpr EvaluationCodes kEventCodes{
    kAPMAudienceCodeQueryEventFiltersFailed,
    "Unable to query event filters for event. Event will not be evaluated. Event name, error",
    kAPMAudienceCodeQueryEventResultFailed,
    "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
    kAPMAudienceCodeSaveEventResultsFailed,
    "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error",
};

constexpr EvaluationCodes kPropertyCodes{
    kAPMAudienceCodeQueryPropertyFiltersFailed,
    "Unable to query property filters for property. Property will not be evaluated. Property name, error",
    kAPMAudienceCodeQueryPropertyResultFailed,
    "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
    kAPMAudienceCodeSavePropertyResultsFailed,
    "Unable to save updated Audience filter results. User property will not be evaluated. User property name, "
    "error",
};

// One pass over the filters of one name. `evaluate` gives a filter's
// outcome; `combine(filter, outcome, storedState)` the value stored for a
// filter that had one. Nothing is stored until every filter is done.
template <class Filter, class Evaluate, class Combine>
bool evaluateFilters(APMDatabase& database, const std::optional<std::vector<std::shared_ptr<Filter>>>& filters,
                     const os::Error& filtersError, const std::string& displayName, const EvaluationCodes& codes,
                     double timestamp, APMAudienceTimestampsCache* givenCache, Evaluate evaluate, Combine combine) {
  if (!filters) {
    if (filtersError.domain().empty()) return true;  // none stored, no failure
    log(1, codes.queryFilters, codes.queryFiltersText, {displayName, filtersError});
    return false;
  }
  std::map<int32_t, std::shared_ptr<APMFilterResult>> updated;
  std::map<int32_t, std::shared_ptr<APMFilterResult>> read;
  APMAudienceTimestampsCache localCache;
  APMAudienceTimestampsCache& cache = givenCache != nullptr ? *givenCache : localCache;

  for (const auto& filter : *filters) {
    if (!filter || filter->filterID() < 0) continue;
    const int32_t audienceID = filter->audienceID();
    std::shared_ptr<APMFilterResult> record;
    if (auto it = updated.find(audienceID); it != updated.end()) {
      record = it->second;
    } else if (auto it = read.find(audienceID); it != read.end()) {
      record = it->second;
    } else {
      os::Error error;
      record = database.filterResultForAudienceID(audienceID, &error);
      if (!record && !error.domain().empty()) {
        log(1, codes.queryResult, codes.queryResultText, {displayName, error});
        return false;
      }
      if (record) read[audienceID] = record;
    }

    const bool storedState = APMAudience::isFilterResult(record.get(), filter->filterID());
    if (storedState && !filter->isDynamic() && !filter->isSequence() && !filter->isSessionScoped()) continue;
    const APMFilterOutcome outcome = evaluate(*filter);
    if (!outcome) continue;

    cache.populateCachedTimestamps(record.get(), audienceID);
    if (*outcome) cache.addEvaluationTimestamp(timestamp, *filter);
    const bool value = combine(*filter, *outcome, storedState);
    updated[audienceID] =
        APMAudience::updatedFilterResultWithFilterID(filter->filterID(), audienceID, record.get(), value, cache);
    read.erase(audienceID);
  }

  if (updated.empty()) return true;
  std::vector<std::shared_ptr<APMFilterResult>> records;
  for (auto& [audienceID, record] : updated) records.push_back(record);
  os::Error error;
  if (!database.updateFilterResults(records, &error)) {
    log(1, codes.saveResults, codes.saveResultsText, {displayName, error});
    return false;
  }
  return true;
}

}  // namespace

APMAudience::APMAudience(std::shared_ptr<APMDatabase> database) : database_(std::move(database)) {}

// ---- Evaluation ----

bool APMAudience::evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates* eventAggregates,
                                          APMAudienceTimestampsCache* audienceTimestampsCache) {
  return evaluateFiltersForEventName(event.name(), event.parameters(), eventAggregates, event.timestamp(),
                                     audienceTimestampsCache);
}

bool APMAudience::evaluateFiltersForEventName(std::string_view eventName, const APMEventParameters& eventParameters,
                                              const APMEventAggregates* eventAggregates, double eventTimestamp,
                                              APMAudienceTimestampsCache* audienceTimestampsCache) {
  os::Error error;
  const auto filters = database_->eventFiltersForEventName(eventName, &error);
  return evaluateFilters(
      *database_, filters, error, APMEventNameDebugDescription(eventName), kEventCodes, eventTimestamp,
      audienceTimestampsCache,
      [&](const APMEventFilter& filter) {
        return APMEvaluateEventFilterRecord(filter, eventParameters, eventAggregates);
      },
      // An event filter that was true stays true.
      [](const APMEventFilter&, bool outcome, bool storedState) { return outcome || storedState; });
}

bool APMAudience::evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                                 APMAudienceTimestampsCache* audienceTimestampsCache,
                                                 double evaluationTimestamp) {
  os::Error error;
  const auto filters = database_->propertyFiltersForPropertyName(property.name(), &error);
  return evaluateFilters(
      *database_, filters, error, APMParameterNameDebugDescription(property.name()), kPropertyCodes,
      evaluationTimestamp, audienceTimestampsCache,
      [&](const APMPropertyFilter& filter) { return APMEvaluatePropertyFilterRecord(filter, &property); },
      // Only a dynamic filter that is not session-scoped can turn false.
      [](const APMPropertyFilter& filter, bool outcome, bool storedState) {
        return outcome || (filter.isDynamic() && !filter.isSessionScoped()) ? outcome : storedState;
      });
}

bool APMAudience::evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                                     APMAudienceTimestampsCache* audienceTimestampsCache,
                                                     std::optional<double> evaluationTime) {
  std::optional<APMValue> value;
  if (auto text = APMPBGetString(&property, kUserAttributeStringValue)) {
    value = APMValue::initWithString(APMObject(*text));
  } else if (APMPBHasField(&property, kUserAttributeDoubleValue)) {
    value = APMValue::initWithDouble(APMPBGetDouble(&property, kUserAttributeDoubleValue));
  } else if (APMPBHasField(&property, kUserAttributeIntValue)) {
    value = APMValue::initWithInt64(APMPBGetInt64(&property, kUserAttributeIntValue));
  }
  const double lastSet = double(APMPBGetInt64(&property, kUserAttributeSetTimestampMillis)) / 1000.0;
  auto attribute = value ? APMUserAttribute::initWithOrigin(
                               "", APMPBGetString(&property, kUserAttributeName).value_or(""), *value, lastSet)
                         : nullptr;
  if (!attribute) {
    log(2, kAPMAudienceCodeNanoUserPropertyUnconvertible, "Could not convert user property from nano format.");
    return false;
  }
  return evaluateFiltersForUserProperty(*attribute, audienceTimestampsCache, evaluationTime.value_or(lastSet));
}

// ---- Results records ----

bool APMAudience::isFilterResult(const APMFilterResult* record, int32_t trueForFilterID) {
  if (record == nullptr || !record->currentResults() || trueForFilterID < 0) return false;
  const auto results = APMPBResultData::initWithBuffer(*record->currentResults());
  const ResultBits bits = ResultBits::of(results.get());
  if (bits.evaluated.empty() || bits.results.empty()) {
    log(2, kAPMAudienceCodeResultMissingArrays,
        "Audience filter result is non-nil and is missing status or results array. Audience result will not be "
        "bundled. Audience ID, result data",
        {record->audienceID(), os::Value(*record->currentResults())});
    return false;
  }
  return bits.isTrue(trueForFilterID);
}

std::shared_ptr<APMFilterResult> APMAudience::updatedFilterResultWithFilterID(
    int32_t filterID, int32_t audienceID, const APMFilterResult* currentFilterResult, bool newEvaluationResult,
    const APMAudienceTimestampsCache& audienceTimestampsCache) {
  std::shared_ptr<APMPBResultData> current;
  if (currentFilterResult != nullptr && currentFilterResult->currentResults() &&
      currentFilterResult->currentResults()->length() > 0) {
    current = APMPBResultData::initWithBuffer(*currentFilterResult->currentResults());
  }
  ResultBits bits = ResultBits::of(current.get());
  bits.set(filterID, newEvaluationResult);

  auto results = APMPBResultData::initWithMessageInfo(nullptr);
  bits.writeTo(results.get());
  APMPBSetArray(results.get(), apm_audience::kResultDataDynamicTimestamps,
                audienceTimestampsCache.dynamicTimestampsForAudienceID(audienceID));
  if (auto sequence = audienceTimestampsCache.sequenceTimestampsForAudienceID(audienceID)) {
    APMPBSetArray(results.get(), apm_audience::kResultDataSequenceTimestamps, *sequence);
  }
  return std::make_shared<APMFilterResult>(
      audienceID, results->protoBuffer(),
      currentFilterResult != nullptr ? currentFilterResult->previousResults() : std::nullopt);
}

// ---- Bundling ----

bool APMAudience::resultsForBundling(std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>* results) {
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> leaves;
  if (results != nullptr) results->clear();
  os::Error error;
  const auto records = database_->allFilterResults(&error);
  if (!records) {
    log(1, kAPMAudienceCodeQueryResultsForBundlingFailed,
        "Unable to query Audience filter results. Audience results will not be bundled. Error", {error});
    return false;
  }

  std::vector<std::shared_ptr<APMFilterResult>> newRecords;
  for (const auto& [audienceID, record] : *records) {
    const auto current = record && record->currentResults() ? APMPBResultData::initWithBuffer(*record->currentResults())
                                                            : nullptr;
    if (!current) {
      log(2, kAPMAudienceCodeCurrentResultsNil,
          "Current result data is nil. Audience result will not be bundled. Audience ID", {audienceID});
      continue;
    }
    if (!ResultBits::of(current.get()).anyEvaluated()) {
      log(2, kAPMAudienceCodeCurrentResultsZero,
          "Current result status is 0. Audience result will not be bundled. Audience ID", {audienceID});
      continue;
    }

    auto leaf = APMPBAudienceLeafFilterResult::initWithMessageInfo(nullptr);
    APMPBSetInt32(leaf.get(), kLeafAudienceID, audienceID);
    APMPBSetMessage(leaf.get(), kLeafCurrentData, current.get());
    const auto& previousData = record->previousResults();
    if (previousData && previousData->length() > 0) {
      APMPBSetBool(leaf.get(), kLeafNewAudience, false);
      const auto previous = APMPBResultData::initWithBuffer(*previousData);
      if (previous && previous->protoBuffer() == current->protoBuffer()) {
        // Unchanged since last bundled: no previous results, and the first
        // sequence filter keeps only its latest step.
        auto sequence = APMPBGetArray<APMPBSequenceFilterResultTimestamp>(
                            current.get(), apm_audience::kResultDataSequenceTimestamps)
                            .value_or(std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>{});
        if (!sequence.empty()) {
          auto first = std::min_element(sequence.begin(), sequence.end(), [](const auto& a, const auto& b) {
            return APMPBGetInt32(a.get(), 0) < APMPBGetInt32(b.get(), 0);
          });
          const auto steps = APMPBGetArray(first->get(), 1).value_or(os::Array{});
          if (steps.size() >= 2) {
            APMPBSetArray(first->get(), 1, os::Array{steps.back()});
            APMPBSetArray(current.get(), apm_audience::kResultDataSequenceTimestamps, sequence);
            APMPBSetMessage(leaf.get(), kLeafCurrentData, current.get());
          }
        }
      } else if (previous) {
        APMPBSetMessage(leaf.get(), kLeafPreviousData, previous.get());
      }
    } else {
      APMPBSetBool(leaf.get(), kLeafNewAudience, true);
      APMPBClearField(leaf.get(), kLeafPreviousData);
    }
    leaves.push_back(leaf);
    newRecords.push_back(std::make_shared<APMFilterResult>(audienceID, current->protoBuffer(), record->currentResults()));
  }

  if (!newRecords.empty() && !database_->updateFilterResults(newRecords, &error)) {
    log(1, kAPMAudienceCodeSaveBundledResultsFailed,
        "Unable to save updated Audience filter results. Audience results will not be bundled. Error", {error});
    return false;
  }
  if (results != nullptr) *results = std::move(leaves);
  return true;
}

// ---- Sessions ----

bool APMAudience::clearEvaluationResultsForSessionScopedFilters() {
  os::Error error;
  const auto sessionScoped = database_->allSessionScopedFilters(&error);
  if (!sessionScoped) {
    log(1, kAPMAudienceCodeQuerySessionScopedFailed,
        "Unable to query all session scoped filters. Session scoped results will not be cleared. Error", {error});
    return false;
  }
  const auto records = database_->allFilterResults(&error);
  if (!records) {
    log(1, kAPMAudienceCodeQueryResultsForClearingFailed,
        "Unable to query all filter results. Session scoped results will not be cleared. Error", {error});
    return false;
  }

  for (const auto& [audienceID, filterIDs] : *sessionScoped) {
    const auto found = records->find(audienceID);
    if (found == records->end() || !found->second) continue;
    const auto& record = found->second;
    auto current = record->currentResults() ? APMPBResultData::initWithBuffer(*record->currentResults()) : nullptr;
    ResultBits bits = ResultBits::of(current.get());
    for (int32_t filterID : filterIDs) bits.clear(filterID);

    if (bits.anyEvaluated()) {
      auto cleared = APMPBResultData::initWithMessageInfo(nullptr);
      bits.writeTo(cleared.get());
      const std::set<int32_t> scoped(filterIDs.begin(), filterIDs.end());
      apm_audience::copyTimestampsExcept(current.get(), cleared.get(), scoped);
      const auto updated = std::make_shared<APMFilterResult>(audienceID, cleared->protoBuffer(), record->currentResults());
      if (!database_->updateFilterResults({updated}, &error)) {
        log(2, kAPMAudienceCodeUpdateClearedResultsFailed,
            "Unable to update filter results. Session scoped results will not be cleared. Error", {error});
        return false;
      }
    } else if (!database_->deleteFilterResults({record}, &error)) {
      log(1, kAPMAudienceCodeDeleteClearedResultsFailed,
          "Unable to delete filter results. Session scoped results will not be cleared. Error", {error});
      return false;
    }
  }
  return true;
}
