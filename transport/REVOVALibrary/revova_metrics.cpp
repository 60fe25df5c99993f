#include "transport/REVOVALibrary/revova_metrics.h"

#include <algorithm>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/format.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace {

const os::CodingRegistration<REVOVALogSourceMetrics> kLogSourceMetricsCoding("REVOVALogSourceMetrics");
const os::CodingRegistration<REVOVAMetricsMetadata> kMetricsMetadataCoding("REVOVAMetricsMetadata");

size_t hashOf(double v) { return std::hash<double>{}(v); }
size_t hashOf(uint64_t v) { return std::hash<uint64_t>{}(v); }

// The continuations of the controller run here; it has no queue of its own.
std::shared_ptr<os::DispatchQueue> metricsQueue() { return os::DispatchQueue::global(os::QualityOfService::Utility); }

// The stored counts less the sent ones; none falls below zero, and counts and
// log sources that reach zero are left out.
std::shared_ptr<const REVOVALogSourceMetrics> countsLeftAfterSending(const REVOVALogSourceMetrics& stored,
                                                                     const REVOVALogSourceMetrics& sent) {
  REVOVALogSourceMetrics::Counts left = stored.droppedEventCounterByLogSource();
  for (const auto& [source, reasons] : sent.droppedEventCounterByLogSource()) {
    auto storedSource = left.find(source);
    if (storedSource == left.end()) continue;
    for (const auto& [reason, count] : reasons) {
      auto storedCount = storedSource->second.find(reason);
      if (storedCount == storedSource->second.end()) continue;
      storedCount->second -= std::min(count, storedCount->second);
      if (storedCount->second <= 0) storedSource->second.erase(storedCount);
    }
    if (storedSource->second.empty()) left.erase(storedSource);
  }
  return std::make_shared<const REVOVALogSourceMetrics>(std::move(left));
}

}  // namespace

// ---- REVOVALogSourceMetrics ----

std::shared_ptr<const REVOVALogSourceMetrics> REVOVALogSourceMetrics::metricsWithEvents(const REVOVAEventSet& events,
                                                                                       int64_t droppedForReason) {
  Counts counts;
  for (const auto& event : events) {
    if (!event || event->mappingID().empty()) continue;
    counts[event->mappingID()][droppedForReason] += 1;
  }
  return std::make_shared<const REVOVALogSourceMetrics>(std::move(counts));
}

std::shared_ptr<const REVOVALogSourceMetrics> REVOVALogSourceMetrics::logSourceMetricsByMergingWithLogSourceMetrics(
    const REVOVALogSourceMetrics& other) const {
  auto merged = dictionaryByMergingDictionary(
      droppedEventCounterByLogSource_, other.droppedEventCounterByLogSource_,
      [](const CountByReason& mine, const CountByReason& theirs) {
        return dictionaryByMergingDictionary(mine, theirs, [](int64_t a, int64_t b) { return a + b; });
      });
  return std::make_shared<const REVOVALogSourceMetrics>(std::move(merged));
}

size_t REVOVALogSourceMetrics::hash() const {
  size_t h = droppedEventCounterByLogSource_.size();
  for (const auto& [source, reasons] : droppedEventCounterByLogSource_) {
    h ^= std::hash<std::string>{}(source);
    for (const auto& [reason, count] : reasons) h ^= std::hash<int64_t>{}(reason * 31 + count);
  }
  return h;
}

std::string REVOVALogSourceMetrics::description() const {
  os::Dictionary counts;
  for (const auto& [source, reasons] : droppedEventCounterByLogSource_) {
    os::Dictionary byReason;
    for (const auto& [reason, count] : reasons) byReason[std::to_string(reason)] = os::Value(os::Number::int64(count));
    counts[source] = os::Value(std::move(byReason));
  }
  return os::format("%@ %@", os::format("<REVOVALogSourceMetrics %p>", static_cast<const void*>(this)),
                    os::Value(std::move(counts)));
}

void REVOVALogSourceMetrics::encodeWithCoder(os::KeyedArchiver& coder) const {
  os::Dictionary counts;
  for (const auto& [source, reasons] : droppedEventCounterByLogSource_) {
    os::Dictionary byReason;
    for (const auto& [reason, count] : reasons) byReason[std::to_string(reason)] = os::Value(os::Number::int64(count));
    counts[source] = os::Value(std::move(byReason));
  }
  coder.encodeValue(os::Value(std::move(counts)), kREVOVALogSourceMetricsCounterKey);
}

std::shared_ptr<REVOVALogSourceMetrics> REVOVALogSourceMetrics::initWithCoder(os::KeyedUnarchiver& coder) {
  auto stored = coder.decodeDictionaryForKey(kREVOVALogSourceMetricsCounterKey);
  auto refuse = [&coder]() -> std::shared_ptr<REVOVALogSourceMetrics> {
    coder.failWithError(os::KeyedUnarchiver::corrupt("The dropped-event counts are not a dictionary of counts."));
    return nullptr;
  };
  if (!stored) return refuse();
  Counts counts;
  for (const auto& [source, value] : *stored) {
    const os::Dictionary* reasons = value.dictionary();
    if (!reasons) return refuse();
    for (const auto& [reasonText, count] : *reasons) {
      auto reason = REVOVAParseInteger<int64_t>(reasonText);
      if (!reason || !count.number()) return refuse();
      counts[source][*reason] = count.number()->int64Value();
    }
  }
  return std::make_shared<REVOVALogSourceMetrics>(std::move(counts));
}

// ---- REVOVAMetricsMetadata ----

bool REVOVAMetricsMetadata::isEqual(const REVOVAMetricsMetadata& other) const {
  if (collectionStartDate_ != other.collectionStartDate_) return false;
  if (!logSourceMetrics_ || !other.logSourceMetrics_) return logSourceMetrics_ == other.logSourceMetrics_;
  return logSourceMetrics_->isEqual(*other.logSourceMetrics_);
}

size_t REVOVAMetricsMetadata::hash() const {
  return hashOf(collectionStartDate_.timeIntervalSince1970()) ^ (logSourceMetrics_ ? logSourceMetrics_->hash() : 0);
}

void REVOVAMetricsMetadata::encodeWithCoder(os::KeyedArchiver& coder) const {
  coder.encodeValue(os::Value(collectionStartDate_), kREVOVAMetricsMetadataCollectionStartDateKey);
  coder.encodeObject(logSourceMetrics_, kREVOVAMetricsMetadataLogSourceMetricsKey);
}

std::shared_ptr<REVOVAMetricsMetadata> REVOVAMetricsMetadata::initWithCoder(os::KeyedUnarchiver& coder) {
  if (!coder.requireKeys({kREVOVAMetricsMetadataCollectionStartDateKey, kREVOVAMetricsMetadataLogSourceMetricsKey}))
    return nullptr;
  auto start = coder.decodeDateForKey(kREVOVAMetricsMetadataCollectionStartDateKey);
  auto counts = coder.decodeObjectOfClass<REVOVALogSourceMetrics>(kREVOVAMetricsMetadataLogSourceMetricsKey);
  if (!start || !counts || coder.error()) return nullptr;
  return std::make_shared<REVOVAMetricsMetadata>(*start, std::move(counts));
}

// ---- REVOVAMetrics ----

REVOVAMetrics::REVOVAMetrics(os::Date collectionStartDate, os::Date collectionEndDate,
                             std::shared_ptr<const REVOVALogSourceMetrics> logSourceMetrics, uint64_t currentCacheSize,
                             uint64_t maxCacheSize, std::string bundleID)
    : collectionStartDate_(collectionStartDate),
      logSourceMetrics_(std::move(logSourceMetrics)),
      collectionEndDate_(collectionEndDate),
      currentCacheSize_(currentCacheSize),
      maxCacheSize_(maxCacheSize),
      bundleID_(std::move(bundleID)) {}

REVOVAMetrics REVOVAMetrics::metricsWithMetricsMetadata(const REVOVAMetricsMetadata& metricsMetadata,
                                                        const REVOVAStorageMetadata& storageMetadata) {
  return REVOVAMetrics(metricsMetadata.collectionStartDate(), os::Date::now(), metricsMetadata.logSourceMetrics(),
                       storageMetadata.currentCacheSize, storageMetadata.maxCacheSize,
                       os::Bundle::mainBundle()->bundleIdentifier());
}

bool REVOVAMetrics::isEqual(const REVOVAMetrics& other) const {
  bool sameCounts = (!logSourceMetrics_ || !other.logSourceMetrics_)
                        ? logSourceMetrics_ == other.logSourceMetrics_
                        : logSourceMetrics_->isEqual(*other.logSourceMetrics_);
  return sameCounts && collectionStartDate_ == other.collectionStartDate_ &&
         collectionEndDate_ == other.collectionEndDate_ && currentCacheSize_ == other.currentCacheSize_ &&
         maxCacheSize_ == other.maxCacheSize_ && bundleID_ == other.bundleID_;
}

size_t REVOVAMetrics::hash() const {
  return hashOf(collectionStartDate_.timeIntervalSince1970()) ^ (logSourceMetrics_ ? logSourceMetrics_->hash() : 0) ^
         hashOf(collectionEndDate_.timeIntervalSince1970()) ^ hashOf(currentCacheSize_) ^ hashOf(maxCacheSize_) ^
         std::hash<std::string>{}(bundleID_);
}

std::string REVOVAMetrics::description() const {
  return os::format(
      "collectionStartDate: %f\nlogSourceMetrics: %@\ncollectionEndDate: %f\ncurrentCacheSize: %llu\n"
      "maxCacheSize: %llu\nbundleID: %@",
      collectionStartDate_.timeIntervalSince1970(),
      logSourceMetrics_ ? logSourceMetrics_->description() : std::string("(null)"),
      collectionEndDate_.timeIntervalSince1970(), currentCacheSize_, maxCacheSize_, bundleID_);
}

// ---- REVOVAMetricsController ----

std::shared_ptr<REVOVAMetricsController> REVOVAMetricsController::sharedInstance() {
  static auto* instance =
      new std::shared_ptr<REVOVAMetricsController>(initWithStorage(REVOVAFlatFileStorage::sharedInstance()));
  return *instance;
}

REVOVAMetricsController::REVOVAMetricsController(std::shared_ptr<REVOVAStoragePromiseProtocol> storage)
    : storage_(std::move(storage)) {}

promises::Promise<void> REVOVAMetricsController::logEventsDroppedForReason(int64_t reason,
                                                                          const REVOVAEventSet& events) {
  if (events.empty()) return promises::Promise<void>([] {});
  auto dropped = REVOVALogSourceMetrics::metricsWithEvents(events, reason);
  return storage_->fetchAndUpdateMetricsWithHandler(
      [dropped](std::shared_ptr<const REVOVAMetricsMetadata> stored,
                std::optional<os::Error> error) -> std::shared_ptr<const REVOVAMetricsMetadata> {
        if (stored) {
          return REVOVAMetricsMetadata::metadataWithCollectionStartDate(
              stored->collectionStartDate(), stored->logSourceMetrics()->logSourceMetricsByMergingWithLogSourceMetrics(*dropped));
        }
        REVOVALogDebug("Error fetching metrics metadata: %@", error ? error->description() : std::string("(null)"));
        return REVOVAMetricsMetadata::metadataWithCollectionStartDate(os::Date::now(), dropped);
      });
}

promises::Promise<REVOVAMetrics> REVOVAMetricsController::getAndResetMetrics() {
  // The handler runs on the storage queue before the continuations read it.
  auto taken = std::make_shared<std::shared_ptr<const REVOVAMetricsMetadata>>();
  auto storage = storage_;
  auto queue = metricsQueue();
  std::weak_ptr<REVOVAMetricsController> weak = weak_from_this();
  return storage
      ->fetchAndUpdateMetricsWithHandler(
          [taken](std::shared_ptr<const REVOVAMetricsMetadata> stored,
                  std::optional<os::Error> error) -> std::shared_ptr<const REVOVAMetricsMetadata> {
            *taken = stored;
            // Read only: the counts leave the store when their upload is
            // committed. Returned unchanged, nothing is written.
            if (stored) return stored;
            REVOVALogDebug("Error fetching metrics metadata: %@", error ? error->description() : std::string("(null)"));
            return REVOVAMetricsMetadata::metadataWithCollectionStartDate(os::Date::now(), REVOVALogSourceMetrics::metrics());
          })
      .validate(queue, [taken] { return *taken != nullptr; })
      .then(queue, [storage] { return storage->fetchStorageMetadata(); })
      .then(queue, [taken, weak](const REVOVAStorageMetadata& storageMetadata) {
        auto metrics = REVOVAMetrics::metricsWithMetricsMetadata(**taken, storageMetadata);
        if (auto self = weak.lock()) {
          std::lock_guard lock(self->handedOutMutex_);
          if (self->handedOut_.size() == kHandedOutLimit) self->handedOut_.erase(self->handedOut_.begin());
          self->handedOut_.push_back(metrics);
        }
        return metrics;
      });
}

bool REVOVAMetricsController::forgetHandedOut(const REVOVAMetrics& metrics) {
  std::lock_guard lock(handedOutMutex_);
  auto it = std::find(handedOut_.begin(), handedOut_.end(), metrics);
  if (it == handedOut_.end()) return false;
  handedOut_.erase(it);
  return true;
}

promises::Promise<void> REVOVAMetricsController::offerMetrics(const std::optional<REVOVAMetrics>& metrics) {
  if (!metrics) return promises::Promise<void>([] {});
  // Counts this controller handed out are still stored: folding them in
  // again would count them twice.
  if (forgetHandedOut(*metrics)) return promises::Promise<void>([] {});
  auto offered = *metrics;
  return storage_->fetchAndUpdateMetricsWithHandler(
      [offered](std::shared_ptr<const REVOVAMetricsMetadata> stored,
                std::optional<os::Error> error) -> std::shared_ptr<const REVOVAMetricsMetadata> {
        auto offeredCounts = offered.logSourceMetrics() ? offered.logSourceMetrics() : REVOVALogSourceMetrics::metrics();
        if (stored) {
          // Counts offered from a window that began after the stored one are
          // not this window's to restore.
          if (offered.collectionStartDate() > stored->collectionStartDate()) return stored;
          return REVOVAMetricsMetadata::metadataWithCollectionStartDate(
              offered.collectionStartDate(),
              offeredCounts->logSourceMetricsByMergingWithLogSourceMetrics(*stored->logSourceMetrics()));
        }
        REVOVALogDebug("Error fetching metrics metadata: %@", error ? error->description() : std::string("(null)"));
        if (offered.collectionStartDate() <= os::Date::now())
          return REVOVAMetricsMetadata::metadataWithCollectionStartDate(offered.collectionStartDate(), offeredCounts);
        return REVOVAMetricsMetadata::metadataWithCollectionStartDate(os::Date::now(), REVOVALogSourceMetrics::metrics());
      });
}

promises::Promise<void> REVOVAMetricsController::commitMetrics(const REVOVAMetrics& metrics) {
  forgetHandedOut(metrics);
  auto sent = metrics;
  return storage_->fetchAndUpdateMetricsWithHandler(
      [sent](std::shared_ptr<const REVOVAMetricsMetadata> stored,
             std::optional<os::Error> error) -> std::shared_ptr<const REVOVAMetricsMetadata> {
        if (!stored) {
          REVOVALogDebug("Error fetching metrics metadata: %@", error ? error->description() : std::string("(null)"));
          return nullptr;
        }
        // A window that began after the sent one has had them removed.
        if (stored->collectionStartDate() > sent.collectionStartDate()) return stored;
        // Older counts offered back since keep their earlier start.
        const os::Date start = stored->collectionStartDate() == sent.collectionStartDate()
                                   ? sent.collectionEndDate()
                                   : stored->collectionStartDate();
        auto sentCounts = sent.logSourceMetrics() ? sent.logSourceMetrics() : REVOVALogSourceMetrics::metrics();
        return REVOVAMetricsMetadata::metadataWithCollectionStartDate(
            start, countsLeftAfterSending(*stored->logSourceMetrics(), *sentCounts));
      });
}

void REVOVAMetricsController::storage(const std::shared_ptr<REVOVAStorageProtocol>&,
                                      const REVOVAEventSet& didRemoveExpiredEvents) {
  logEventsDroppedForReason(kREVOVAEventDropReasonMessageTooOld, didRemoveExpiredEvents);
}

void REVOVAMetricsController::storage(const std::shared_ptr<REVOVAStorageProtocol>&, const REVOVAEventPtr& didDropEvent) {
  logEventsDroppedForReason(kREVOVAEventDropReasonStorageFull, REVOVAEventSet{didDropEvent});
}
