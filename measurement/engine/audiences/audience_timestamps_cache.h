// APMAudienceTimestampsCache: the working set of one audience evaluation
// pass (one bundle): per audience, the latest true-evaluation time of each
// dynamic or session-scoped filter, and the step times of each sequence
// filter. Filled from the stored results the first time an audience is met
// (populateCachedTimestamps) and written back into every new results record.
//
// Times are in the caller's units (event times, or the evaluation time given
// for user properties); the results hold them as 64-bit integers, truncated.
//
// Not locked: used on the worker queue by one evaluation pass at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/store/engine_services/event_records.h"
#include "measurement/store/records.h"

// Monitor code (level 5).
inline constexpr int64_t kAPMAudienceCodeEarlierCandidateTimestamp = 6037;

class APMAudienceTimestampsCache {
 public:
  APMAudienceTimestampsCache() = default;

  // Fills the audience's entries from the record's current results, once
  // per cache: the dynamic timestamps as they are, and the last time of each
  // sequence filter's steps. No record fills empty entries.
  void populateCachedTimestamps(const APMFilterResult* record, int32_t audienceID);
  // Records a true evaluation: a sequence filter adds a step (an event
  // filter) or sets its time (a property filter); a dynamic or
  // session-scoped filter keeps the later of its cached time and this one
  // (6037 when this one is not later); other filters record nothing.
  void addEvaluationTimestamp(double timestamp, const APMAudienceFilter& forFilter);

  // One entry per filter of the audience, by ascending filter ID; empty for
  // none.
  std::vector<std::shared_ptr<APMPBDynamicFilterResultTimestamp>> dynamicTimestampsForAudienceID(
      int32_t audienceID) const;
  // nullopt when the audience has no sequence entry.
  std::optional<std::vector<std::shared_ptr<APMPBSequenceFilterResultTimestamp>>> sequenceTimestampsForAudienceID(
      int32_t audienceID) const;

 private:
  // audience ID -> filter ID -> latest true-evaluation time.
  std::map<int32_t, std::map<int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
  // audience ID -> its sequence steps.
  std::map<int32_t, std::shared_ptr<APMSequenceTimestampsCache>> cachedSequenceEvaluationTimestamps_;
};

// A time as the results hold it: truncated towards zero, clamped to the
// 64-bit range (not-a-number gives 0).
int64_t APMAudienceResultTimestamp(double timestamp);
