// The contracts between the transport's components: what every uploader and
// storage offers, and the values they pass. The
// flat-file storage, the metrics controller and the uploader implement them;
// the transformer, the upload coordinator and the life-cycle fan-out call
// them.
//
// A storage calls completions and settles promises on its own queue; only a
// call refused outright (no event, empty library data) completes inside the
// call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "platform/promises/promise.h"
#include "transport/REVOVALibrary/revova_event.h"

class REVOVAApplication;
class REVOVAMetricsMetadata;

// Told when the application changes state. Every call is optional: the
// defaults do nothing.
class REVOVALifecycleProtocol {
 public:
  virtual ~REVOVALifecycleProtocol() = default;
  virtual void appWillBackground(const std::shared_ptr<REVOVAApplication>& app) { (void)app; }
  virtual void appWillForeground(const std::shared_ptr<REVOVAApplication>& app) { (void)app; }
  virtual void appWillTerminate(const std::shared_ptr<REVOVAApplication>& app) { (void)app; }
};

// Upload condition bits handed to uploaders: exactly one of the first three,
// plus the forced bit for a forced upload.
inline constexpr int64_t kREVOVAUploadConditionNoNetwork = 1;
inline constexpr int64_t kREVOVAUploadConditionMobileData = 2;
inline constexpr int64_t kREVOVAUploadConditionWifiData = 4;
inline constexpr int64_t kREVOVAUploadConditionHighPriority = 16;

class REVOVAUploader : public REVOVALifecycleProtocol {
 public:
  // Uploads what the conditions allow of the target's events; reports nothing.
  virtual void uploadTarget(int64_t target, int64_t conditions) = 0;
};

// Which events a batch takes: those of the target whose event ID, mapping ID
// and QoS tier are in the sets. An empty set places no restriction.
struct REVOVAStorageEventSelector {
  int64_t selectedTarget = 0;
  std::set<std::string> selectedEventIDs;
  std::set<std::string> selectedMappingIDs;
  std::set<int64_t> selectedQosTiers;

  static REVOVAStorageEventSelector eventSelectorForTarget(int64_t target) { return {target, {}, {}, {}}; }
  static REVOVAStorageEventSelector initWithTarget(int64_t target, std::set<std::string> eventIDs,
                                                   std::set<std::string> mappingIDs, std::set<int64_t> qosTiers) {
    return {target, std::move(eventIDs), std::move(mappingIDs), std::move(qosTiers)};
  }
};

struct REVOVAUploadBatch {
  int64_t batchID = 0;
  REVOVAEventSet events;

  static REVOVAUploadBatch initWithBatchID(int64_t batchID, REVOVAEventSet events) {
    return {batchID, std::move(events)};
  }
};

struct REVOVAStorageMetadata {
  uint64_t currentCacheSize = 0;
  uint64_t maxCacheSize = 0;

  static REVOVAStorageMetadata metadataWithCurrentCacheSize(uint64_t currentCacheSize, uint64_t maxCacheSize) {
    return {currentCacheSize, maxCacheSize};
  }
  friend bool operator==(const REVOVAStorageMetadata&, const REVOVAStorageMetadata&) = default;
};

class REVOVAStorageProtocol;

// Told by a storage about the events it lost. Called on the storage's queue.
class REVOVAStorageDelegate {
 public:
  virtual ~REVOVAStorageDelegate() = default;
  // The storage deleted these events because they expired.
  virtual void storage(const std::shared_ptr<REVOVAStorageProtocol>& storage,
                       const REVOVAEventSet& didRemoveExpiredEvents) = 0;
  // The storage refused this event for lack of space.
  virtual void storage(const std::shared_ptr<REVOVAStorageProtocol>& storage, const REVOVAEventPtr& didDropEvent) = 0;
};

class REVOVAStorageProtocol : public REVOVALifecycleProtocol {
 public:
  using OptionalError = std::optional<os::Error>;
  using StoreCompletion = std::function<void(bool wasWritten, OptionalError error)>;
  using BoolCompletion = std::function<void(bool value)>;
  // No ID and no events when nothing matched.
  using BatchCompletion = std::function<void(std::optional<int64_t> batchID, std::optional<REVOVAEventSet> events)>;
  using Completion = std::function<void()>;
  // Nothing (not an empty set) when no batch exists at all.
  using BatchIDsCompletion = std::function<void(std::optional<std::set<int64_t>> batchIDs)>;
  using ErrorCompletion = std::function<void(OptionalError error)>;
  using DataCompletion = std::function<void(std::optional<os::Data> data, OptionalError error)>;
  using NewValueBlock = std::function<std::optional<os::Data>()>;
  using SizeCompletion = std::function<void(uint64_t size)>;

  // Completions may be empty.
  virtual void storeEvent(const REVOVAEventPtr& event, StoreCompletion onComplete) = 0;
  virtual void hasEventsForTarget(int64_t target, BoolCompletion onComplete) = 0;
  virtual void batchWithEventSelector(const REVOVAStorageEventSelector& eventSelector, os::Date batchExpiration,
                                      BatchCompletion onComplete) = 0;
  // Deletes the batch's events, or returns them to the store.
  virtual void removeBatchWithID(int64_t batchID, bool deleteEvents, Completion onComplete) = 0;
  virtual void batchIDsForTarget(int64_t target, BatchIDsCompletion onComplete) = 0;
  virtual void checkForExpirations() = 0;
  virtual void storeLibraryData(const os::Data& data, const std::string& key, ErrorCompletion onComplete) = 0;
  // Fetches, then (when given) asks setNewValue for bytes to store instead.
  virtual void libraryDataForKey(const std::string& key, DataCompletion onFetchComplete, NewValueBlock setNewValue) = 0;
  virtual void removeLibraryDataForKey(const std::string& key, ErrorCompletion onComplete) = 0;
  virtual void storageSizeWithCallback(SizeCompletion onComplete) = 0;

  // Held weakly.
  virtual std::shared_ptr<REVOVAStorageDelegate> delegate() const = 0;
  virtual void setDelegate(const std::shared_ptr<REVOVAStorageDelegate>& delegate) = 0;
};

class REVOVAStoragePromiseProtocol : public REVOVAStorageProtocol {
 public:
  using REVOVAStorageProtocol::batchIDsForTarget;
  using REVOVAStorageProtocol::batchWithEventSelector;
  using REVOVAStorageProtocol::hasEventsForTarget;
  using REVOVAStorageProtocol::removeBatchWithID;

  // Given the stored metadata (or none, with the error) and returns what to
  // store; null stores nothing.
  using MetricsHandler = std::function<std::shared_ptr<const REVOVAMetricsMetadata>(
      std::shared_ptr<const REVOVAMetricsMetadata> fetchedMetadata, OptionalError fetchError)>;

  virtual promises::Promise<std::optional<std::set<int64_t>>> batchIDsForTarget(int64_t target) = 0;
  virtual promises::Promise<void> removeBatchWithID(int64_t batchID, bool deleteEvents) = 0;
  virtual promises::Promise<void> removeBatchesWithIDs(const std::set<int64_t>& batchIDs, bool deleteEvents) = 0;
  virtual promises::Promise<void> removeAllBatchesForTarget(int64_t target, bool deleteEvents) = 0;
  virtual promises::Promise<void> fetchAndUpdateMetricsWithHandler(MetricsHandler handler) = 0;
  virtual promises::Promise<REVOVAStorageMetadata> fetchStorageMetadata() = 0;
  virtual promises::Promise<bool> hasEventsForTarget(int64_t target) = 0;
  // Rejected when nothing matched.
  virtual promises::Promise<REVOVAUploadBatch> batchWithEventSelector(const REVOVAStorageEventSelector& eventSelector,
                                                                      os::Date batchExpiration) = 0;
};

// REVOVAMetricsControllerProtocol (a storage delegate that counts what was
// lost) is in revova_metrics.h beside the values it passes.
