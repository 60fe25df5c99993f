// Transport metrics: the events the transport lost, counted per log source
// (the event's mapping ID) and drop reason between two uploads of the counts.
//
// REVOVAMetricsController keeps no counts in memory: they live in the
// storage's library data under "metrics_metadata" (a keyed archive of
// REVOVAMetricsMetadata), and every update is one read-modify-write through
// the storage's fetchAndUpdateMetricsWithHandler, which runs on the storage's
// queue, so concurrent drops, resets and offers never lose a count.
//
// The controller is the flat-file storage's delegate: expired events count
// under reason 1, events refused for lack of space under reason 2. The
// uploader adds its own reasons through logEventsDroppedForReason, takes the
// counts with getAndResetMetrics, offers them back when their upload fails
// and commits them when it succeeds.
//
// Taking the counts only reads them: they leave the store when their upload
// is committed, which removes exactly the counts sent and starts the window
// at their end date. So a failed upload (an offer back of metrics this
// controller handed out) writes nothing, a process that dies mid-upload
// keeps its counts, and drops counted during an upload stay for the next.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/date.h"
#include "os/foundation/keyed_archiver.h"
#include "platform/promises/promise.h"
#include "transport/REVOVALibrary/revova_event.h"
#include "transport/REVOVALibrary/revova_protocols.h"

inline constexpr const char* kREVOVAMetricsMetadataLibraryDataKey = "metrics_metadata";
inline constexpr const char* kREVOVALogSourceMetricsCounterKey = "droppedEventCounterByLogSource";
inline constexpr const char* kREVOVAMetricsMetadataCollectionStartDateKey = "collectionStartDate";
inline constexpr const char* kREVOVAMetricsMetadataLogSourceMetricsKey = "logSourceMetrics";

// Drop reasons counted by the transport core.
inline constexpr int64_t kREVOVAEventDropReasonMessageTooOld = 1;  // expired in storage
inline constexpr int64_t kREVOVAEventDropReasonStorageFull = 2;    // refused for lack of space

// Counts of dropped events: log source -> drop reason -> count. Immutable.
// Archived as a dictionary of dictionaries whose reason keys are the reasons
// in decimal.
class REVOVALogSourceMetrics : public os::SecureCoding {
 public:
  using CountByReason = std::map<int64_t, int64_t>;
  using Counts = std::map<std::string, CountByReason>;

  explicit REVOVALogSourceMetrics(Counts counts = {}) : droppedEventCounterByLogSource_(std::move(counts)) {}

  static std::shared_ptr<const REVOVALogSourceMetrics> metrics() {
    return std::make_shared<const REVOVALogSourceMetrics>();
  }
  // One count per event with a non-empty mapping ID, under that ID and the
  // reason.
  static std::shared_ptr<const REVOVALogSourceMetrics> metricsWithEvents(const REVOVAEventSet& events,
                                                                         int64_t droppedForReason);
  // Every log source and reason of either side; counts on both sides added.
  std::shared_ptr<const REVOVALogSourceMetrics> logSourceMetricsByMergingWithLogSourceMetrics(
      const REVOVALogSourceMetrics& other) const;

  // A copy of the first map with every entry of the second put in; for a key
  // in both, the block gets both values and its result is kept.
  template <class Map, class Block>
  static Map dictionaryByMergingDictionary(const Map& dictionary, const Map& withOtherDictionary,
                                           Block uniquingKeysWithBlock) {
    Map out = dictionary;
    for (const auto& [key, value] : withOtherDictionary) {
      auto it = out.find(key);
      if (it == out.end()) out.emplace(key, value);
      else it->second = uniquingKeysWithBlock(it->second, value);
    }
    return out;
  }

  const Counts& droppedEventCounterByLogSource() const { return droppedEventCounterByLogSource_; }
  bool isEqual(const REVOVALogSourceMetrics& other) const {
    return droppedEventCounterByLogSource_ == other.droppedEventCounterByLogSource_;
  }
  size_t hash() const;
  std::string description() const;

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  // Null unless the stored value is a dictionary of dictionaries of counts.
  static std::shared_ptr<REVOVALogSourceMetrics> initWithCoder(os::KeyedUnarchiver& coder);

 private:
  Counts droppedEventCounterByLogSource_;
};

// What the library data keeps: the start of the collection window and the
// counts since. Immutable.
class REVOVAMetricsMetadata : public os::SecureCoding {
 public:
  REVOVAMetricsMetadata(os::Date collectionStartDate, std::shared_ptr<const REVOVALogSourceMetrics> logSourceMetrics)
      : collectionStartDate_(collectionStartDate), logSourceMetrics_(std::move(logSourceMetrics)) {}
  static std::shared_ptr<const REVOVAMetricsMetadata> metadataWithCollectionStartDate(
      os::Date collectionStartDate, std::shared_ptr<const REVOVALogSourceMetrics> logSourceMetrics) {
    return std::make_shared<const REVOVAMetricsMetadata>(collectionStartDate, std::move(logSourceMetrics));
  }

  os::Date collectionStartDate() const { return collectionStartDate_; }
  const std::shared_ptr<const REVOVALogSourceMetrics>& logSourceMetrics() const { return logSourceMetrics_; }
  bool isEqual(const REVOVAMetricsMetadata& other) const;
  size_t hash() const;

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  // Null unless both fields are present and of their classes.
  static std::shared_ptr<REVOVAMetricsMetadata> initWithCoder(os::KeyedUnarchiver& coder);

 private:
  os::Date collectionStartDate_;
  std::shared_ptr<const REVOVALogSourceMetrics> logSourceMetrics_;
};

// The counts of one collection window with the storage's sizes, as the
// uploader sends them. Value type; as a data object its payload is the
// TransportMetrics encoding (defined with the uploader).
class REVOVAMetrics : public REVOVAEventDataObject {
 public:
  REVOVAMetrics(os::Date collectionStartDate, os::Date collectionEndDate,
                std::shared_ptr<const REVOVALogSourceMetrics> logSourceMetrics, uint64_t currentCacheSize,
                uint64_t maxCacheSize, std::string bundleID);
  // Start and counts from the metadata, end now, the sizes, and the main
  // bundle's identifier ("" when it has none).
  static REVOVAMetrics metricsWithMetricsMetadata(const REVOVAMetricsMetadata& metricsMetadata,
                                                  const REVOVAStorageMetadata& storageMetadata);

  os::Date collectionStartDate() const { return collectionStartDate_; }
  const std::shared_ptr<const REVOVALogSourceMetrics>& logSourceMetrics() const { return logSourceMetrics_; }
  os::Date collectionEndDate() const { return collectionEndDate_; }
  uint64_t currentCacheSize() const { return currentCacheSize_; }
  uint64_t maxCacheSize() const { return maxCacheSize_; }
  const std::string& bundleID() const { return bundleID_; }

  bool isEqual(const REVOVAMetrics& other) const;
  friend bool operator==(const REVOVAMetrics& a, const REVOVAMetrics& b) { return a.isEqual(b); }
  size_t hash() const;
  // The six fields, one per line.
  std::string description() const;

  // TransportMetrics: the window in whole seconds times 1000, one entry per
  // log source with one count per reason (reasons outside 1 to 6 as 0), the
  // two sizes and the bundle ID. Empty bytes when encoding fails (logged).
  std::optional<os::Data> transportBytes() const override;

 private:
  os::Date collectionStartDate_;
  std::shared_ptr<const REVOVALogSourceMetrics> logSourceMetrics_;
  os::Date collectionEndDate_;
  uint64_t currentCacheSize_;
  uint64_t maxCacheSize_;
  std::string bundleID_;
};

class REVOVAMetricsControllerProtocol : public REVOVAStorageDelegate {
 public:
  // Counts the events under the reason; nothing to do for no events.
  virtual promises::Promise<void> logEventsDroppedForReason(int64_t reason, const REVOVAEventSet& events) = 0;
  // The counts so far with the storage's sizes, ending now. They stay stored
  // until commitMetrics removes them. Rejected when no counts were stored yet;
  // an empty window starting now is stored then.
  virtual promises::Promise<REVOVAMetrics> getAndResetMetrics() = 0;
  // Folds back metrics whose upload failed; nothing to do for none, nor for
  // metrics this controller handed out, whose counts never left the store.
  virtual promises::Promise<void> offerMetrics(const std::optional<REVOVAMetrics>& metrics) = 0;
  // Removes the counts of uploaded metrics from the store; the window then
  // starts at their end date. Counts recorded since they were taken stay.
  // Nothing to do when the stored window began after theirs (already
  // committed).
  virtual promises::Promise<void> commitMetrics(const REVOVAMetrics& metrics) = 0;
};

class REVOVAMetricsController : public REVOVAMetricsControllerProtocol,
                                public std::enable_shared_from_this<REVOVAMetricsController> {
 public:
  // Keeps the counts in `storage`'s library data.
  explicit REVOVAMetricsController(std::shared_ptr<REVOVAStoragePromiseProtocol> storage);
  static std::shared_ptr<REVOVAMetricsController> initWithStorage(std::shared_ptr<REVOVAStoragePromiseProtocol> storage) {
    return std::make_shared<REVOVAMetricsController>(std::move(storage));
  }
  // Over the flat-file storage; made once.
  static std::shared_ptr<REVOVAMetricsController> sharedInstance();

  const std::shared_ptr<REVOVAStoragePromiseProtocol>& storage() const { return storage_; }

  promises::Promise<void> logEventsDroppedForReason(int64_t reason, const REVOVAEventSet& events) override;
  promises::Promise<REVOVAMetrics> getAndResetMetrics() override;
  promises::Promise<void> offerMetrics(const std::optional<REVOVAMetrics>& metrics) override;
  promises::Promise<void> commitMetrics(const REVOVAMetrics& metrics) override;

  // Storage delegate: neither waits for the count to be stored.
  void storage(const std::shared_ptr<REVOVAStorageProtocol>& storage,
               const REVOVAEventSet& didRemoveExpiredEvents) override;
  void storage(const std::shared_ptr<REVOVAStorageProtocol>& storage, const REVOVAEventPtr& didDropEvent) override;

 private:
  // How many handed-out metrics are remembered; older ones offered back are
  // folded in as foreign ones.
  static constexpr size_t kHandedOutLimit = 16;

  // Forgets `metrics` if they were handed out; says whether they were.
  bool forgetHandedOut(const REVOVAMetrics& metrics);

  std::shared_ptr<REVOVAStoragePromiseProtocol> storage_;
  mutable std::mutex handedOutMutex_;
  // Metrics given by getAndResetMetrics and neither offered back nor
  // committed, oldest first; at most kHandedOutLimit. Guarded by
  // handedOutMutex_.
  std::vector<REVOVAMetrics> handedOut_;
};
