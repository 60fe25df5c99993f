// APMAudience: audience evaluation over the measurement database.
//
// The server's audience definitions are stored as event and property filter
// rows (updateAudiences). Every event and user property that goes into a
// bundle is evaluated against the filters of its name, and each audience
// keeps one results record (audience_filter_values): its current results and
// the results as they stood when last bundled or cleared for a new session.
// At bundling time the records become leaf results for the bundle.
//
// Results (a ResultData message): two bit arrays of 64-bit words, always of
// one length, where filter f lives in word f / 64 at bit f % 64: "evaluated"
// (the filter has had an outcome) and "true" (that outcome is true); the
// latest true-evaluation time of each dynamic or session-scoped filter; the
// step times of each sequence filter.
//
// How the callers use it, all on the worker queue, with one
// APMAudienceTimestampsCache per bundle:
//   bundling      at a session start "_s": clearEvaluationResultsForSession-
//                 ScopedFilters, then each user property of the bundle
//                 without cache or time. Then, unless analytics storage
//                 consent is denied: each raw event right after its
//                 aggregates were updated (evaluateFiltersForEvent), each user
//                 property with the bundle's cache and time, and last
//                 resultsForBundling, whose leaves (when any) become the
//                 bundle's audience results.
//   configuration updateAudiences with the new definitions, inside the
//                 transaction that applies the configuration.
//
// Invariants:
//   1. An evaluation writes nothing until it has evaluated every filter;
//      a failed read or write returns false and leaves the store as it was
//      before the call.
//   2. No outcome (a malformed filter, a missing parameter, a regular
//      expression out of time) changes neither bits nor timestamps.
//   3. A true plain filter is never evaluated again; an event filter, once
//      true, stays true; only a dynamic property filter that is not
//      session-scoped can turn false.
//   4. Stored filters are replaced only as a whole, by valid definitions.
//
// Failures are logged through the measurement monitor with the codes below
// and answered with false. Takes no locks: one caller (the worker queue) at
// a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "measurement/engine/audiences/audience_timestamps_cache.h"
#include "measurement/messages/message_classes.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/event_records.h"
#include "measurement/store/records.h"
#include "os/foundation/error.h"

// ---- Monitor codes (level 1 unless noted) ----
inline constexpr int64_t kAPMAudienceCodeQueryEventFiltersFailed = 6000;
inline constexpr int64_t kAPMAudienceCodeQueryEventResultFailed = 6001;
inline constexpr int64_t kAPMAudienceCodeSaveEventResultsFailed = 6003;
inline constexpr int64_t kAPMAudienceCodeQueryPropertyFiltersFailed = 6004;
inline constexpr int64_t kAPMAudienceCodeQueryPropertyResultFailed = 6005;
inline constexpr int64_t kAPMAudienceCodeSavePropertyResultsFailed = 6007;
inline constexpr int64_t kAPMAudienceCodeTooManyAudiences = 6008;             // level 2
inline constexpr int64_t kAPMAudienceCodeInvalidAudience = 6009;              // level 2
inline constexpr int64_t kAPMAudienceCodeDeleteEventFiltersFailed = 6010;
inline constexpr int64_t kAPMAudienceCodeDeletePropertyFiltersFailed = 6011;
inline constexpr int64_t kAPMAudienceCodeSaveEventFiltersFailed = 6012;
inline constexpr int64_t kAPMAudienceCodeSavePropertyFiltersFailed = 6013;
inline constexpr int64_t kAPMAudienceCodeQueryResultsForStaleFailed = 6015;
inline constexpr int64_t kAPMAudienceCodeTooManyResults = 6016;               // level 3
inline constexpr int64_t kAPMAudienceCodeQueryAudienceIDsFailed = 6017;
inline constexpr int64_t kAPMAudienceCodeDeleteStaleResultsFailed = 6018;
inline constexpr int64_t kAPMAudienceCodeQueryResultsForBundlingFailed = 6019;
inline constexpr int64_t kAPMAudienceCodeCurrentResultsNil = 6020;            // level 2
inline constexpr int64_t kAPMAudienceCodeCurrentResultsZero = 6021;           // level 2
inline constexpr int64_t kAPMAudienceCodeSaveBundledResultsFailed = 6022;
inline constexpr int64_t kAPMAudienceCodeResultMissingArrays = 6023;          // level 2
inline constexpr int64_t kAPMAudienceCodeNanoUserPropertyUnconvertible = 6039;  // level 2
inline constexpr int64_t kAPMAudienceCodeQuerySessionScopedFailed = 6040;
inline constexpr int64_t kAPMAudienceCodeQueryResultsForClearingFailed = 6041;
inline constexpr int64_t kAPMAudienceCodeDeleteClearedResultsFailed = 6042;
inline constexpr int64_t kAPMAudienceCodeUpdateClearedResultsFailed = 6043;   // level 2

class APMAudience {
 public:
  // The database must stay open while the instance is used.
  explicit APMAudience(std::shared_ptr<APMDatabase> database);
  static std::shared_ptr<APMAudience> initWithDatabase(std::shared_ptr<APMDatabase> database) {
    return std::make_shared<APMAudience>(std::move(database));
  }

  // ---- Evaluation ----

  // The event's name, parameters and time through the next operation.
  bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates* eventAggregates,
                               APMAudienceTimestampsCache* audienceTimestampsCache);
  // Evaluates every event filter stored for the name and stores the changed
  // records at the end. `eventAggregates` are those of that name (may be
  // null); a null cache gives a cache for this call. False when a store read
  // or write failed (6000, 6001, 6003).
  bool evaluateFiltersForEventName(std::string_view eventName, const APMEventParameters& eventParameters,
                                   const APMEventAggregates* eventAggregates, double eventTimestamp,
                                   APMAudienceTimestampsCache* audienceTimestampsCache);
  // The same for the property filters of the property's name (6004, 6005,
  // 6007).
  bool evaluateFiltersForUserProperty(const APMUserAttribute& property,
                                      APMAudienceTimestampsCache* audienceTimestampsCache,
                                      double evaluationTimestamp);
  // A bundle's user property: the string, else the double, else the integer
  // value; its set time (milliseconds) is the evaluation time unless one is
  // given. False without a value (6039).
  bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property,
                                          APMAudienceTimestampsCache* audienceTimestampsCache,
                                          std::optional<double> evaluationTime);

  // ---- Bundling and sessions ----

  // The leaf results of every audience with an evaluated filter, and each
  // record's current results become its previous ones. A leaf carries the
  // previous results only when they differ from the current ones, and is
  // marked a first report when there were none. False (6019, 6022) with
  // `results` emptied when a store read or write failed.
  bool resultsForBundling(std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>* results);
  // At a new session: clears the bits and timestamps of session-scoped
  // filters, audience by audience; a record left without an evaluated bit is
  // deleted. False on a store failure (6040 to 6043); audiences handled
  // before it keep their new state.
  bool clearEvaluationResultsForSessionScopedFilters();

  // ---- Definitions ----

  // Checks every definition (APMIsValidAudienceDefinition; invalid ones are
  // logged, 6009, and skipped), puts names into their short forms, and
  // replaces all stored event and property filters with those of the valid
  // audiences. More than maxAudienceCount definitions store nothing and
  // answer true (6008). False when a store step failed (6010 to 6018); the
  // steps before it stay done, so run it inside the configuration's
  // transaction.
  bool updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences);
  // When there are more results records than maxFilterResultCount, deletes
  // those of audiences neither stored (the old definitions) nor in
  // `audienceIDs` (the new ones).
  bool maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs);

  // ---- Results records ----

  // Whether the record's current results hold the filter as evaluated and
  // true; false for no record or no results (6023 when a bit array is
  // missing).
  static bool isFilterResult(const APMFilterResult* record, int32_t trueForFilterID);
  // A new record: the filter's evaluated bit set and its true bit set to the
  // outcome (both arrays grown with zero words as needed), the cache's
  // timestamps of the audience, the old record's previous results.
  static std::shared_ptr<APMFilterResult> updatedFilterResultWithFilterID(
      int32_t filterID, int32_t audienceID, const APMFilterResult* currentFilterResult, bool newEvaluationResult,
      const APMAudienceTimestampsCache& audienceTimestampsCache);

 private:
  const std::shared_ptr<APMDatabase> database_;
};

// Whether the definition may be stored, given the audience IDs accepted so
// far. Errors in kAPMErrorDomain: 9 the audience, 10 an event filter, 11 a
// property filter (a property filter's invalid number filter has no text).
bool APMIsValidAudienceDefinition(const APMPBAudience& audience, const std::set<int32_t>& acceptedAudienceIDs,
                                  os::Error* error);
