// REVOVAFlatFileStorage: the transport's durable queue of events.
//
// Layout, under the state directory <Caches>/devuvo-sdks-events:
//   REVOVAFlatFileStorage/dov_event_data/<target>/<event file>    queued
//   REVOVAFlatFileStorage/dov_batch_data/<batch dir>/<event file> batched
//   REVOVAFlatFileStorage/dov_library_data/<key>                  library data
// An event file is named <event ID>-<QoS tier>-<expiration, whole seconds
// since 1970>-<mapping ID percent-encoded, letters, digits and "-" kept> and
// holds the event's secure keyed archive; a batch directory is named
// <target>-<batch ID>-<batch expiration, whole seconds since 1970>.
//
// Invariants:
//  1. Every file operation runs on the serial queue
//     "com.devuvo.REVOVAFlatFileStorage"; completions and promises are called
//     from it.
//  2. Files are written whole (os::FileManager's atomic write: temporary,
//     fsync, rename, folder fsync) and moved by rename, so an event file is
//     in exactly one place: its target's folder while queued, one batch
//     folder while batched. It leaves the store when its batch is removed
//     with delete-events, when it expires, or when its bytes do not decode.
//  3. A store that reported success has its file on disk. Temporaries that
//     an earlier process left behind when it died mid-write are removed the
//     first time a storage instance touches its files, so none lingers
//     uncounted.
//  4. The whole state directory holds at most 20,000,000 bytes as the size
//     tracker counts them (hidden files aside): an event that would pass the
//     cap is refused, and the delegate told.
//  5. Batch IDs come from the counter under "REVOVAFlatFileStorageBatchIDCounter"
//     (4 bytes, native byte order) and never repeat among live batches: they
//     run from 0 to the largest signed 32-bit value and start again at 0.
//     The stored counter is past every ID handed out: it is written once per
//     kREVOVAFlatFileStorageBatchIDsReserved IDs (fewer at the wrap), which
//     are then handed out in order while the file still holds that value.
//     A process that dies leaves the rest of its block unused.
//
// Background time ("DOVStorage") is held from accepting an event until its
// file is written or refused.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/dispatch/queue_confined.h"
#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "transport/REVOVALibrary/revova_protocols.h"

class REVOVAUploadCoordinator;

inline constexpr const char* kREVOVAFlatFileStorageQueueLabel = "com.devuvo.REVOVAFlatFileStorage";
inline constexpr const char* kREVOVAFlatFileStorageClassName = "REVOVAFlatFileStorage";
inline constexpr const char* kREVOVAFlatFileStorageBackgroundTaskName = "DOVStorage";
// Error domain of the storage (code 0: the size limit; -1: other refusals).
inline constexpr const char* kREVOVAFlatFileStorageErrorDomain = "REVOVAFlatFileStorage";
inline constexpr int64_t kREVOVAFlatFileStorageErrorSizeLimit = 0;
inline constexpr const char* kREVOVAFlatFileStorageSizeLimitReason = "Storage size limit has been reached.";
inline constexpr uint64_t kREVOVAFlatFileStorageSizeLimit = 20'000'000;
inline constexpr const char* kREVOVAFlatFileStorageBatchIDCounterKey = "REVOVAFlatFileStorageBatchIDCounter";
// Batch IDs reserved by one write of the counter.
inline constexpr int64_t kREVOVAFlatFileStorageBatchIDsReserved = 256;

// Keys of the parsed file and folder names.
inline constexpr const char* kREVOVAEventComponentsEventIDKey = "REVOVAEventComponentsEventIDKey";
inline constexpr const char* kREVOVAEventComponentsQoSTierKey = "REVOVAEventComponentsQoSTierKey";
inline constexpr const char* kREVOVAEventComponentsExpirationKey = "REVOVAEventComponentsExpirationKey";
inline constexpr const char* kREVOVAEventComponentsMappingIDKey = "REVOVAEventComponentsMappingIDKey";
inline constexpr const char* kREVOVABatchComponentsTargetKey = "REVOVABatchComponentsTargetKey";
inline constexpr const char* kREVOVABatchComponentsBatchIDKey = "REVOVABatchComponentsBatchIDKey";
inline constexpr const char* kREVOVABatchComponentsExpirationKey = "REVOVABatchComponentsExpirationKey";

// Total size of the regular files under a folder, cached between walks.
// Not thread-safe: the storage uses it on its queue only.
class REVOVADirectorySizeTracker {
 public:
  explicit REVOVADirectorySizeTracker(std::string directoryPath) : directoryPath_(std::move(directoryPath)) {}

  // The cached size, or a walk of the tree (hidden entries skipped, errors
  // passed over) whose sum is then cached.
  uint64_t directoryContentSize();
  // For paths under the folder: the cache becomes the content size plus or
  // minus `size`. A removal larger than the total forgets the cache instead,
  // so the next query walks the tree.
  void fileWasAddedAtPath(const std::string& path, uint64_t withSize);
  void fileWasRemovedAtPath(const std::string& path, uint64_t withSize);
  void resetCachedSize() { cachedSizeBytes_.reset(); }
  // The file's size, 0 when it cannot be read.
  static uint64_t fileSizeAtURL(const std::string& path);

  const std::string& directoryPath() const { return directoryPath_; }
  std::optional<uint64_t> cachedSizeBytes() const { return cachedSizeBytes_; }

 private:
  bool isUnderDirectory(const std::string& path) const;

  std::string directoryPath_;
  std::optional<uint64_t> cachedSizeBytes_;
};

class REVOVAFlatFileStorage : public REVOVAStoragePromiseProtocol,
                              public std::enable_shared_from_this<REVOVAFlatFileStorage> {
 public:
  // Made once, over the shared upload coordinator.
  static std::shared_ptr<REVOVAFlatFileStorage> sharedInstance();
  // A storage over the same folders that tells `uploadCoordinator` of
  // QoS-tier-4 events. Two live instances must not share the folders except
  // one after the other (a test reopening the store).
  explicit REVOVAFlatFileStorage(std::shared_ptr<REVOVAUploadCoordinator> uploadCoordinator);

  // The three folders, each created (with intermediates) whenever asked for.
  static std::string eventDataStoragePath();
  static std::string batchDataStoragePath();
  static std::string libraryDataStoragePath();
  static std::string pathForTarget(int64_t target, const std::string& eventID, int64_t qosTier,
                                   os::Date expirationDate, const std::string& mappingID);
  static std::string batchPathForTarget(int64_t target, int64_t batchID, os::Date expirationDate);
  // The parsed parts under the keys above (the mapping ID still
  // percent-encoded, the expiration a date), or nullopt.
  static std::optional<os::Dictionary> eventComponentsFromFilename(const std::string& fileName);
  static std::optional<os::Dictionary> batchComponentsFromFilename(const std::string& fileName);
  static os::Error genericRejectedPromiseErrorWithReason(const std::string& reason);

  // ---- REVOVAStorageProtocol ----
  void storeEvent(const REVOVAEventPtr& event, StoreCompletion onComplete) override;
  void hasEventsForTarget(int64_t target, BoolCompletion onComplete) override;
  void batchWithEventSelector(const REVOVAStorageEventSelector& eventSelector, os::Date batchExpiration,
                              BatchCompletion onComplete) override;
  void removeBatchWithID(int64_t batchID, bool deleteEvents, Completion onComplete) override;
  void batchIDsForTarget(int64_t target, BatchIDsCompletion onComplete) override;
  void checkForExpirations() override;
  void storeLibraryData(const os::Data& data, const std::string& key, ErrorCompletion onComplete) override;
  void libraryDataForKey(const std::string& key, DataCompletion onFetchComplete, NewValueBlock setNewValue) override;
  void removeLibraryDataForKey(const std::string& key, ErrorCompletion onComplete) override;
  void storageSizeWithCallback(SizeCompletion onComplete) override;
  std::shared_ptr<REVOVAStorageDelegate> delegate() const override;
  void setDelegate(const std::shared_ptr<REVOVAStorageDelegate>& delegate) override;

  // Begins and at once ends a "DOVStorage" task on the queue: work queued
  // before it has had background time to finish.
  void appWillBackground(const std::shared_ptr<REVOVAApplication>& app) override;

  // ---- REVOVAStoragePromiseProtocol ----
  promises::Promise<std::optional<std::set<int64_t>>> batchIDsForTarget(int64_t target) override;
  promises::Promise<void> removeBatchWithID(int64_t batchID, bool deleteEvents) override;
  promises::Promise<void> removeBatchesWithIDs(const std::set<int64_t>& batchIDs, bool deleteEvents) override;
  promises::Promise<void> removeAllBatchesForTarget(int64_t target, bool deleteEvents) override;
  promises::Promise<void> fetchAndUpdateMetricsWithHandler(MetricsHandler handler) override;
  promises::Promise<REVOVAStorageMetadata> fetchStorageMetadata() override;
  promises::Promise<bool> hasEventsForTarget(int64_t target) override;
  promises::Promise<REVOVAUploadBatch> batchWithEventSelector(const REVOVAStorageEventSelector& eventSelector,
                                                              os::Date batchExpiration) override;

  // ---- the operations the above are made of ----
  // Full paths of the target's queued events that the filters select (empty
  // filters select all); hidden files never. Storage queue only.
  void pathsForTarget(int64_t target, const std::set<std::string>& eventIDs, const std::set<int64_t>& qosTiers,
                      const std::set<std::string>& mappingIDs,
                      const std::function<void(std::set<std::string> paths)>& onComplete);
  // Hands the next batch ID to `onComplete` (on the storage queue); the
  // stored counter is past it before anything else runs on the queue.
  void nextBatchID(std::function<void(std::optional<int64_t> batchID)> onComplete);
  // Folders of batches with this ID. Storage queue only.
  std::vector<std::string> batchDirPathsForBatchID(int64_t batchID, os::Error* error);
  // Moves every entry of the folder into `to` (made when missing) under its
  // own name; false with one error listing the failed moves. Moves whose
  // destination exists already are not failures: the entry there is the same
  // event. Storage queue only.
  bool moveContentsOfDirectoryAtPath(const std::string& path, const std::string& to, os::Error* error);
  // Storage queue only.
  void syncThreadUnsafeRemoveBatchWithID(int64_t batchID, bool deleteEvents);

  const std::shared_ptr<os::DispatchQueue>& storageQueue() const { return storageQueue_; }
  // Made on first use, over the state directory. Storage queue only.
  REVOVADirectorySizeTracker& sizeTracker();
  const std::shared_ptr<REVOVAUploadCoordinator>& uploadCoordinator() const { return uploadCoordinator_; }

 private:
  // Runs once per instance, on the queue, before its first file operation.
  void prepareIfNeeded();
  std::shared_ptr<REVOVAStorageDelegate> currentDelegate() const;
  // Writes library data and keeps the tracker in step. Storage queue only.
  bool writeLibraryData(const os::Data& data, const std::string& path, os::Error* error);

  std::shared_ptr<os::DispatchQueue> storageQueue_;
  std::shared_ptr<REVOVAUploadCoordinator> uploadCoordinator_;
  // Storage queue only; each access checks it.
  os::QueueConfined<std::unique_ptr<REVOVADirectorySizeTracker>> sizeTracker_{storageQueue_, "sizeTracker_"};
  os::QueueConfined<bool> prepared_{storageQueue_, "prepared_", false};
  // The IDs from `next` to `last` are reserved by the counter value `stored`.
  struct BatchIDReservation {
    int64_t next;
    int64_t last;
    int32_t stored;
  };
  // Storage queue only.
  os::QueueConfined<std::optional<BatchIDReservation>> batchIDReservation_{storageQueue_, "batchIDReservation_"};
  mutable std::mutex delegateMutex_;
  std::weak_ptr<REVOVAStorageDelegate> delegate_;  // guarded by delegateMutex_
};
