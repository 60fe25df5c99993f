#include "measurement/engine/audiences/audience_timestamps_cache.h"

#include <cmath>
#include <limits>

#include "measurement/engine/audiences/audience_log.h"
#include "measurement/engine/audiences/audience_results.h"
#include "measurement/messages/field_access.h"

namespace {

using apm_audience::kResultDataDynamicTimestamps;
using apm_audience::kResultDataSequenceTimestamps;
using apm_audience::kTimestampFilterID;
using apm_audience::kTimestampValue;

std::shared_ptr<APMPBResultData> currentResultsOf(const APMFilterResult* record) {
  if (record == nullptr || !record->currentResults()) return nullptr;
  return APMPBResultData::initWithBuffer(*record->currentResults());
}

}  // namespace

int64_t APMAudienceResultTimestamp(double timestamp) {
  if (std::isnan(timestamp)) return 0;
  constexpr double kLimit = 9223372036854775807.0;  // 2^63
  if (timestamp >= kLimit) return std::numeric_limits<int64_t>::max();
  if (timestamp <= -kLimit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(timestamp);
}

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMFilterResult* record, int32_t audienceID) {
  const bool needsDynamic = !cachedDynamicFilterEvaluationTimestamps_.contains(audienceID);
  const bool needsSequence = !cachedSequenceEvaluationTimestamps_.contains(audienceID);
  if (!needsDynamic && !needsSequence) return;
  const auto results = currentResultsOf(record);

  if (needsDynamic) {
    std::map<int32_t, double> timestamps;
    if (results) {
      for (const auto& entry : APMPBGetArray<APMPBDynamicFilterResultTimestamp>(results.get(), kResultDataDynamicTimestamps)
                                   .value_or(std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>>{})) {
        timestamps[APMPBGetInt32(entry.get(), kTimestampFilterID)] =
            double(APMPBGetInt64(entry.get(), kTimestampValue));
      }
    }
    cachedDynamicFilterEvaluationTimestamps_[audienceID] = std::move(timestamps);
  }

  if (needsSequence) {
    auto sequence = APMSequenceTimestampsCache::initWithAudienceID(audienceID);
    if (results) {
      for (const auto& entry :
           APMPBGetArray<APMPBSequenceFilterResultTimestamp>(results.get(), kResultDataSequenceTimestamps)
               .value_or(std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>{})) {
        const auto steps = APMPBGetArray(entry.get(), kTimestampValue).value_or(os::Array{});
        if (steps.empty()) continue;
        sequence->addEventFilterTimestamp(double(steps.back().int64Value()),
                                          APMPBGetInt32(entry.get(), kTimestampFilterID));
      }
    }
    cachedSequenceEvaluationTimestamps_[audienceID] = std::move(sequence);
  }
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const APMAudienceFilter& forFilter) {
  const int32_t audienceID = forFilter.audienceID();
  if (forFilter.isSequence()) {
    auto& sequence = cachedSequenceEvaluationTimestamps_[audienceID];
    if (!sequence) sequence = APMSequenceTimestampsCache::initWithAudienceID(audienceID);
    if (dynamic_cast<const APMEventFilter*>(&forFilter) != nullptr) {
      sequence->addEventFilterTimestamp(timestamp, forFilter.filterID());
    } else {
      sequence->setUserPropertyTimestamp(timestamp, forFilter.filterID());
    }
    return;
  }
  if (!forFilter.isDynamic() && !forFilter.isSessionScoped()) return;
  auto& timestamps = cachedDynamicFilterEvaluationTimestamps_[audienceID];
  const auto cached = timestamps.find(forFilter.filterID());
  const double cachedTimestamp = cached == timestamps.end() ? 0.0 : cached->second;
  if (cachedTimestamp < timestamp) {
    timestamps[forFilter.filterID()] = timestamp;
  } else {
    apm_audience::log(5, kAPMAudienceCodeEarlierCandidateTimestamp,
                      "Candidate evaluation timestamp is earlier than cached evaluation timestamp");
  }
}

std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(
    int32_t audienceID) const {
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> entries;
  const auto found = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
  if (found == cachedDynamicFilterEvaluationTimestamps_.end()) return entries;
  for (const auto& [filterID, timestamp] : found->second) {
    auto entry = APMPBDynamicFilterResultTimestamp::initWithMessageInfo(nullptr);
    APMPBSetInt32(entry.get(), kTimestampFilterID, filterID);
    APMPBSetInt64(entry.get(), kTimestampValue, APMAudienceResultTimestamp(timestamp));
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>>
APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(int32_t audienceID) const {
  const auto found = cachedSequenceEvaluationTimestamps_.find(audienceID);
  if (found == cachedSequenceEvaluationTimestamps_.end() || !found->second) return std::nullopt;
  return found->second->sequenceFilterResultTimestamps();
}
