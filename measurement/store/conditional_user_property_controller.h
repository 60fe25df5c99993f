// APMConditionalUserPropertyController: sets, clears and lists conditional
// user properties (conditional_user_property.h) and, for every event the
// engine writes, times them out, expires them and triggers them.
//
// States of a property, all kept in the database (the controller holds
// none):
//   waiting   accepted (creation time set), with a trigger event name;
//   active    at once without a trigger event name, else when its trigger
//             event is written within the trigger timeout; its user
//             attribute is then written (user_attributes);
//   removed   timed out untriggered, expired after its time to live, cleared,
//             or set again without a value; an active one takes its user
//             attribute with it.
// Each change logs the property's own event (triggered, timed out, expired,
// cleared) through the engine, after its transaction committed.
//
// Invariants:
//   1. Every change of a property and of its user attribute happens in one
//      database transaction; a failed step rolls it back, so no user
//      attribute or event is left without the row that controls it.
//   2. Events are handed to the engine only after their transaction
//      committed.
//
// Threads: set and clear validate on the caller's thread and queue their
// work on the engine's worker queue (block IDs ":88" and ":113"), holding the
// controller weakly. Listing blocks its caller until the worker queue answers
// (at most 30 s) and must not be called on the worker queue. The
// ...OnWorkerQueue steps, processEventOnWorkerQueue and the two removals run
// on the worker queue only, and check it (os::checkQueue) when an engine is
// installed.
//
// The engine is APMMeasurementServices::sharedInstance(): its switch,
// database, scheduler and event writes. Failures are monitor lines (codes
// 10000..10011, 11000..11020); nothing throws.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "measurement/store/conditional_user_property.h"
#include "measurement/store/value.h"

inline constexpr const char* kAPMCUPSetBlockID = "APMConditionalUserPropertyController:88";
inline constexpr const char* kAPMCUPClearBlockID = "APMConditionalUserPropertyController:113";
inline constexpr const char* kAPMCUPListBlockID = "APMConditionalUserPropertyController:161";
// Trigger timeouts and times to live lie within these, in seconds.
inline constexpr double kAPMCUPMinimumInterval = 0.001;
inline constexpr double kAPMCUPMaximumInterval = 15'552'000;  // 180 days
// How long listing waits for the worker queue.
inline constexpr double kAPMCUPListTimeout = 30;

// Monitor codes (level).
inline constexpr int64_t kAPMCUPCodeNilEvent = 10000;                   // 2
inline constexpr int64_t kAPMCUPCodeFetchTimedOutFailed = 10001;        // 1
inline constexpr int64_t kAPMCUPCodeTimedOut = 10002;                   // 7
inline constexpr int64_t kAPMCUPCodeDeleteTimedOutFailed = 10003;       // 1
inline constexpr int64_t kAPMCUPCodeFetchExpiredFailed = 10004;         // 1
inline constexpr int64_t kAPMCUPCodeExpired = 10005;                    // 7
inline constexpr int64_t kAPMCUPCodeExpiredAttributeDeleteFailed = 10006;  // 1
inline constexpr int64_t kAPMCUPCodeDeleteExpiredFailed = 10007;        // 1
inline constexpr int64_t kAPMCUPCodeFetchTriggeredFailed = 10008;       // 1
inline constexpr int64_t kAPMCUPCodeTriggerAttributeFailed = 10009;     // 1
inline constexpr int64_t kAPMCUPCodeTriggerAttributeUpdated = 10010;    // 7
inline constexpr int64_t kAPMCUPCodeTriggerUpdateFailed = 10011;        // 1
inline constexpr int64_t kAPMCUPCodeInvalidTriggerTimeout = 11000;      // 2
inline constexpr int64_t kAPMCUPCodeInvalidTimeToLive = 11001;          // 2
inline constexpr int64_t kAPMCUPCodeSetNil = 11002;                     // 2
inline constexpr int64_t kAPMCUPCodePrefixNotString = 11003;            // 2
inline constexpr int64_t kAPMCUPCodeOriginNotString = 11004;            // 2
inline constexpr int64_t kAPMCUPCodeListDisabled = 11005;               // 3
inline constexpr int64_t kAPMCUPCodeListFailed = 11006;                 // 2
inline constexpr int64_t kAPMCUPCodeSetDisabled = 11007;                // 3
inline constexpr int64_t kAPMCUPCodeSetNilOnWorkerQueue = 11008;        // 2
inline constexpr int64_t kAPMCUPCodeSetQueryFailed = 11009;             // 1
inline constexpr int64_t kAPMCUPCodeOriginChanged = 11010;              // 5
inline constexpr int64_t kAPMCUPCodeSetAttributeFailed = 11011;         // 1
inline constexpr int64_t kAPMCUPCodeSetAttributeUpdated = 11012;        // 7
inline constexpr int64_t kAPMCUPCodeAdded = 11013;                      // 7
inline constexpr int64_t kAPMCUPCodeInsertFailed = 11014;               // 1
inline constexpr int64_t kAPMCUPCodeRemoveDisabled = 11015;             // 3
inline constexpr int64_t kAPMCUPCodeRemoveNil = 11016;                  // 0
inline constexpr int64_t kAPMCUPCodeRemoveQueryFailed = 11017;          // 1
inline constexpr int64_t kAPMCUPCodeRemoveNonexistent = 11018;          // 4
inline constexpr int64_t kAPMCUPCodeRemoveDeleteFailed = 11019;         // 1
inline constexpr int64_t kAPMCUPCodeRemoveAttributeFailed = 11020;      // 1

using APMConditionalUserProperties = std::vector<std::shared_ptr<APMConditionalUserProperty>>;
using APMEvents = std::vector<std::shared_ptr<APMEvent>>;

class APMConditionalUserPropertyController : public std::enable_shared_from_this<APMConditionalUserPropertyController> {
 public:
  static std::shared_ptr<APMConditionalUserPropertyController> sharedInstance();

  // Validates a copy named `name` (origin, name, value when present, trigger
  // timeout 11000, time to live 11001; a refused one is dropped), stamps its
  // creation time and queues storing it, or removing the stored one when it
  // has no value (its expired event is then the clear event).
  void setConditionalUserProperty(const std::shared_ptr<APMConditionalUserProperty>& property,
                                  std::string_view name);
  // Queues removing the named property; the clear event, when given, is
  // written once it is removed. A name the validator refuses does nothing.
  void clearConditionalUserPropertyWithClearEvent(std::shared_ptr<APMEvent> clearEvent, std::string_view name);
  // The stored properties whose name begins with the prefix and whose origin
  // matches (nil or empty: no filter); nullopt when either is not a string,
  // measurement is disabled, the query failed, or the worker queue did not
  // answer within 30 s.
  std::optional<APMConditionalUserProperties> conditionalUserPropertiesWithNamePrefix(const APMObject& namePrefix,
                                                                                      const APMObject& filterByOrigin);

  // ---- Worker queue ----

  // Times out, expires, then triggers (by the event's name) in one
  // transaction; after the commit writes the time-out and expiry events
  // (filtered writes) and answers the triggered events, which the engine
  // writes after `event`. nullopt (rolled back) when a step failed.
  std::optional<APMEvents> processEventOnWorkerQueue(const std::shared_ptr<APMEvent>& event);
  void setConditionalUserPropertyOnWorkerQueue(std::shared_ptr<APMConditionalUserProperty> property);
  void removeConditionalUserPropertyOnWorkerQueue(const std::shared_ptr<APMConditionalUserProperty>& property);
  // Each appends the events it built; false when a step failed.
  bool removeTimedOutCUPWithTimedOutEvents(APMEvents& timedOutEvents);
  bool removeExpiredCUPWithExpiredEvents(APMEvents& expiredEvents);
  // Activates the waiting properties the event name triggers ("ad_impression"
  // also triggers "_ai" ones when none name it); their triggered events, or
  // nullopt when a step failed.
  std::optional<APMEvents> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(std::string_view eventName);
};
