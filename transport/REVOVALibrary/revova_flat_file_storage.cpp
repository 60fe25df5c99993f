#include "transport/REVOVALibrary/revova_flat_file_storage.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "os/foundation/encoding.h"
#include "os/foundation/file_manager.h"
#include "transport/REVOVALibrary/revova_application.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"

namespace {

os::FileManager& files() { return os::FileManager::defaultManager(); }

std::string lastComponent(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    size_t at = text.find(separator, start);
    pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return pieces;
    start = at + 1;
  }
}

std::optional<double> parseDouble(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return value;
}

std::string createdDirectory(std::string path, const char* failureFormat) {
  if (auto made = files().createDirectoryAtPath(path, true); !made && failureFormat)
    REVOVALogAssert(false, __FILE_NAME__, __LINE__, failureFormat, made.error());
  return path;
}

// The folder every path of the storage lives under, once per process. Never
// destroyed, as the values below: the storage's queue may still run at exit.
const std::string& storageRootPath() {
  static const std::string& root = *new std::string([] {
    std::string state = REVOVAStateDirectoryURL().path();
    while (state.size() > 1 && state.back() == '/') state.pop_back();
    return state + "/" + kREVOVAFlatFileStorageClassName;
  }());
  return root;
}

const os::CharacterSet& mappingIDAllowedCharacters() {
  static const os::CharacterSet& set =
      *new os::CharacterSet(os::CharacterSet::alphanumericCharacterSet().addingCharactersInString("-"));
  return set;
}

// An event ID becomes the first "-"-separated part of a file name: it must
// not be empty, hidden, hold "-" or leave the folder.
bool isUsableEventID(const std::string& eventID) {
  return !eventID.empty() && eventID[0] != '.' && eventID.find_first_of("-/") == std::string::npos &&
         eventID.find('\0') == std::string::npos;
}

// The temporary of an atomic write of os::FileManager: "." + name + ".tmp-" +
// pid + "-" + counter. Its writer's pid, or nothing for any other name.
std::optional<pid_t> atomicWriteTemporaryOwner(const std::string& name) {
  if (name.empty() || name[0] != '.') return std::nullopt;
  auto marker = name.rfind(".tmp-");
  if (marker == std::string::npos || marker == 0) return std::nullopt;
  auto parts = split(name.substr(marker + 5), '-');
  if (parts.size() != 2) return std::nullopt;
  auto pid = REVOVAParseInteger<pid_t>(parts[0]);
  if (!pid || !REVOVAParseInteger<uint64_t>(parts[1])) return std::nullopt;
  return pid;
}

os::Error storageError(int64_t code, const std::string& reason) {
  return os::Error(kREVOVAFlatFileStorageErrorDomain, code,
                   os::Dictionary{{os::kLocalizedFailureReasonErrorKey, os::Value(reason)}});
}

}  // namespace

// ---- REVOVADirectorySizeTracker ----

uint64_t REVOVADirectorySizeTracker::directoryContentSize() {
  if (!cachedSizeBytes_) {
    uint64_t total = 0;
    auto subpaths = files().subpathsOfDirectoryAtPath(directoryPath_, os::DirectoryEnumerationOptions::SkipsHiddenFiles);
    if (subpaths) {
      for (const auto& sub : *subpaths) {
        auto attributes = files().attributesOfItemAtPath(directoryPath_ + "/" + sub);
        if (!attributes) continue;
        auto type = attributes->find(os::kFileType);
        if (type == attributes->end() || type->second.stringValue() != os::kFileTypeRegular) continue;
        auto size = attributes->find(os::kFileSize);
        if (size != attributes->end() && size->second.number()) total += size->second.number()->uint64Value();
      }
    }
    cachedSizeBytes_ = total;
  }
  return *cachedSizeBytes_;
}

bool REVOVADirectorySizeTracker::isUnderDirectory(const std::string& path) const {
  return path.starts_with(directoryPath_);
}

void REVOVADirectorySizeTracker::fileWasAddedAtPath(const std::string& path, uint64_t withSize) {
  if (!isUnderDirectory(path)) return;
  cachedSizeBytes_ = directoryContentSize() + withSize;
}

void REVOVADirectorySizeTracker::fileWasRemovedAtPath(const std::string& path, uint64_t withSize) {
  if (!isUnderDirectory(path)) return;
  uint64_t current = directoryContentSize();
  // The cache no longer matches the disk: a wrapped total would refuse every
  // later event, so count afresh instead.
  if (withSize > current) cachedSizeBytes_.reset();
  else cachedSizeBytes_ = current - withSize;
}

uint64_t REVOVADirectorySizeTracker::fileSizeAtURL(const std::string& path) {
  auto size = files().resourceValue(path, os::kURLFileSizeKey);
  if (!size || !size->number()) return 0;
  return size->number()->uint64Value();
}

// ---- paths and names ----

std::shared_ptr<REVOVAFlatFileStorage> REVOVAFlatFileStorage::sharedInstance() {
  static auto* instance = new std::shared_ptr<REVOVAFlatFileStorage>(
      std::make_shared<REVOVAFlatFileStorage>(REVOVAUploadCoordinator::sharedInstance()));
  return *instance;
}

REVOVAFlatFileStorage::REVOVAFlatFileStorage(std::shared_ptr<REVOVAUploadCoordinator> uploadCoordinator)
    : storageQueue_(os::DispatchQueue::serial(kREVOVAFlatFileStorageQueueLabel)),
      uploadCoordinator_(std::move(uploadCoordinator)) {}

std::string REVOVAFlatFileStorage::eventDataStoragePath() {
  return createdDirectory(storageRootPath() + "/dov_event_data", nullptr);
}

std::string REVOVAFlatFileStorage::batchDataStoragePath() {
  return createdDirectory(storageRootPath() + "/dov_batch_data", "Creating the batch data path failed: %@");
}

std::string REVOVAFlatFileStorage::libraryDataStoragePath() {
  return createdDirectory(storageRootPath() + "/dov_library_data", "Creating the library data path failed: %@");
}

std::string REVOVAFlatFileStorage::pathForTarget(int64_t target, const std::string& eventID, int64_t qosTier,
                                                 os::Date expirationDate, const std::string& mappingID) {
  std::string mapping = os::stringByAddingPercentEncodingWithAllowedCharacters(mappingID, mappingIDAllowedCharacters());
  auto expiration = static_cast<unsigned long long>(expirationDate.timeIntervalSince1970());
  return os::format("%@/%ld/%@%@%@%@%llu%@%@", eventDataStoragePath(), target, eventID, "-", qosTier, "-", expiration,
                    "-", mapping);
}

std::string REVOVAFlatFileStorage::batchPathForTarget(int64_t target, int64_t batchID, os::Date expirationDate) {
  auto expiration = static_cast<unsigned long long>(expirationDate.timeIntervalSince1970());
  return os::format("%@/%ld%@%@%@%llu", batchDataStoragePath(), target, "-", batchID, "-", expiration);
}

std::optional<os::Dictionary> REVOVAFlatFileStorage::eventComponentsFromFilename(const std::string& fileName) {
  auto pieces = split(fileName, '-');
  if (pieces.size() < 4) {
    REVOVALogDebug("The event filename could not be split: %@", fileName);
    return std::nullopt;
  }
  auto qosTier = REVOVAParseInteger<int64_t>(pieces[1]);
  auto expiration = REVOVAParseInteger<int64_t>(pieces[2]);
  std::string mappingID = pieces[3];
  for (size_t i = 4; i < pieces.size(); ++i) mappingID += "-" + pieces[i];
  if (pieces[0].empty() || !qosTier || !expiration) {
    REVOVALogDebug("There was an error parsing the event filename components: %@", fileName);
    return std::nullopt;
  }
  return os::Dictionary{
      {kREVOVAEventComponentsEventIDKey, os::Value(pieces[0])},
      {kREVOVAEventComponentsQoSTierKey, os::Value(os::Number::int64(*qosTier))},
      {kREVOVAEventComponentsExpirationKey, os::Value(os::Date::fromTimeIntervalSince1970(double(*expiration)))},
      {kREVOVAEventComponentsMappingIDKey, os::Value(mappingID)},
  };
}

std::optional<os::Dictionary> REVOVAFlatFileStorage::batchComponentsFromFilename(const std::string& fileName) {
  auto pieces = split(fileName, '-');
  if (pieces.size() != 3) {
    REVOVALogDebug("The batch filename could not be split: %@", fileName);
    return std::nullopt;
  }
  auto target = REVOVAParseInteger<int64_t>(pieces[0]);
  auto batchID = REVOVAParseInteger<int64_t>(pieces[1]);
  auto expiration = parseDouble(pieces[2]);
  if (!target || !batchID || !expiration) {
    REVOVALogDebug("There was an error parsing the batch filename components: %@", fileName);
    return std::nullopt;
  }
  return os::Dictionary{
      {kREVOVABatchComponentsTargetKey, os::Value(os::Number::int64(*target))},
      {kREVOVABatchComponentsBatchIDKey, os::Value(os::Number::int64(*batchID))},
      {kREVOVABatchComponentsExpirationKey, os::Value(os::Date::fromTimeIntervalSince1970(*expiration))},
  };
}

os::Error REVOVAFlatFileStorage::genericRejectedPromiseErrorWithReason(const std::string& reason) {
  return storageError(-1, reason);
}

// ---- state ----

REVOVADirectorySizeTracker& REVOVAFlatFileStorage::sizeTracker() {
  if (!sizeTracker_) {
    std::string state = REVOVAStateDirectoryURL().path();
    while (state.size() > 1 && state.back() == '/') state.pop_back();
    sizeTracker_ = std::make_unique<REVOVADirectorySizeTracker>(state);
  }
  return *sizeTracker_;
}

void REVOVAFlatFileStorage::prepareIfNeeded() {
  if (prepared_) return;
  prepared_ = true;
  // A process that died mid-write left its temporary behind: hidden, so never
  // taken for an event nor counted against the cap. Writers of this process
  // are left alone.
  const std::string& root = storageRootPath();
  auto subpaths = files().subpathsOfDirectoryAtPath(root);
  if (!subpaths) return;
  for (const auto& sub : *subpaths) {
    auto owner = atomicWriteTemporaryOwner(lastComponent(sub));
    if (!owner || *owner == ::getpid()) continue;
    std::string path = root + "/" + sub;
    if (files().isDirectoryAtPath(path)) continue;
    if (files().removeItemAtPath(path)) REVOVALogDebug("Removed the leftover of an interrupted write: %@", path);
  }
}

std::shared_ptr<REVOVAStorageDelegate> REVOVAFlatFileStorage::currentDelegate() const {
  std::lock_guard lock(delegateMutex_);
  return delegate_.lock();
}

std::shared_ptr<REVOVAStorageDelegate> REVOVAFlatFileStorage::delegate() const { return currentDelegate(); }

void REVOVAFlatFileStorage::setDelegate(const std::shared_ptr<REVOVAStorageDelegate>& delegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = delegate;
}

// ---- events ----

void REVOVAFlatFileStorage::storeEvent(const REVOVAEventPtr& event, StoreCompletion onComplete) {
  if (!event || !event->serializedDataObjectBytes()) {
    REVOVALogDebug("The event was nil, so it was not saved.");
    if (onComplete) onComplete(false, os::Error(os::kInternalInconsistencyException, -1));
    return;
  }
  REVOVALogDebug("Saving event: %@", event->description());
  if (!onComplete) {
    onComplete = [event](bool wasWritten, OptionalError error) {
      REVOVALogDebug("event %@ stored. success:%@ error:%@", event->description(), wasWritten ? "YES" : "NO",
                     error ? error->description() : std::string("(null)"));
    };
  }
  // Background time for the write, ended by whichever comes first: the write or the expiry.
  REVOVABackgroundTask task(REVOVAApplication::sharedApplication(), kREVOVAFlatFileStorageBackgroundTaskName);
  auto self = shared_from_this();
  storageQueue_->async([self, event, onComplete = std::move(onComplete), task] {
    self->prepareIfNeeded();
    if (!isUsableEventID(event->eventID())) {
      onComplete(false, storageError(-1, "The event ID cannot name a file: " + event->eventID()));
      task.end();
      return;
    }
    std::string path = pathForTarget(event->target(), event->eventID(), event->qosTier(), event->expirationDate(),
                                     event->mappingID());
    os::Error error;
    auto archive = REVOVAArchiveObject(event, "", &error);
    if (!archive) {
      onComplete(false, error);
      task.end();
      return;
    }
    auto& tracker = self->sizeTracker();
    if (tracker.directoryContentSize() + archive->length() > kREVOVAFlatFileStorageSizeLimit) {
      auto refusal = storageError(kREVOVAFlatFileStorageErrorSizeLimit, kREVOVAFlatFileStorageSizeLimitReason);
      if (auto delegate = self->currentDelegate()) {
        REVOVALogDebug("Delegate notified that event with mapping ID %@ was dropped.", event->mappingID());
        delegate->storage(self, event);
      }
      onComplete(false, refusal);
    } else if (REVOVAWriteFileData(*archive, path, &error)) {
      onComplete(true, std::nullopt);
      tracker.fileWasAddedAtPath(path, archive->length());
      if (event->qosTier() == kREVOVAEventQoSTierFast) self->uploadCoordinator_->forceUploadForTarget(event->target());
    } else {
      onComplete(false, error);
    }
    task.end();
  });
}

void REVOVAFlatFileStorage::pathsForTarget(int64_t target, const std::set<std::string>& eventIDs,
                                           const std::set<int64_t>& qosTiers, const std::set<std::string>& mappingIDs,
                                           const std::function<void(std::set<std::string>)>& onComplete) {
  std::string targetPath = os::format("%@/%ld", eventDataStoragePath(), target);
  files().createDirectoryAtPath(targetPath, true);
  auto names = files().contentsOfDirectoryAtPath(targetPath);
  std::set<std::string> paths;
  if (!names) {
    REVOVALogDebug("There was an error reading the contents of the target path: %@", names.error());
    onComplete(std::move(paths));
    return;
  }
  const bool selectAll = eventIDs.empty() && qosTiers.empty() && mappingIDs.empty();
  for (const auto& name : *names) {
    if (name.starts_with(".")) continue;
    if (!selectAll) {
      auto components = eventComponentsFromFilename(name);
      if (!components) {
        REVOVALogDebug("There was an error reading the filename components: %@", name);
        continue;
      }
      const auto& c = *components;
      if (!eventIDs.empty() && !eventIDs.count(c.at(kREVOVAEventComponentsEventIDKey).stringValue())) continue;
      if (!qosTiers.empty() && !qosTiers.count(c.at(kREVOVAEventComponentsQoSTierKey).int64Value())) continue;
      if (!mappingIDs.empty()) {
        auto mapping = os::stringByRemovingPercentEncoding(c.at(kREVOVAEventComponentsMappingIDKey).stringValue());
        if (!mapping || !mappingIDs.count(*mapping)) continue;
      }
    }
    paths.insert(targetPath + "/" + name);
  }
  onComplete(std::move(paths));
}

void REVOVAFlatFileStorage::nextBatchID(std::function<void(std::optional<int64_t>)> onComplete) {
  // The counter to store, when this call takes a new block. Shared by the
  // fetch and the new value, which run one after the other on the storage
  // queue.
  auto toStore = std::make_shared<std::optional<int32_t>>();
  auto self = shared_from_this();
  libraryDataForKey(
      kREVOVAFlatFileStorageBatchIDCounterKey,
      [self, toStore, onComplete = std::move(onComplete)](std::optional<os::Data> data, OptionalError error) {
        int32_t counter = 0;
        // A short or unreadable counter counts as none; a negative one (a
        // stored -1 included) is never handed out: a batch folder named with
        // it could not be parsed back.
        const bool read = data && !error && data->length() >= sizeof counter;
        if (read) std::memcpy(&counter, data->bytes(), sizeof counter);
        if (counter < 0) counter = 0;
        auto reservation = self->batchIDReservation_.get();
        // The block goes on only while the file holds what reserved it.
        if (reservation && read && counter == reservation->stored && reservation->next <= reservation->last) {
          const int64_t id = reservation->next++;
          self->batchIDReservation_ = reservation;
          onComplete(id);
          return;
        }
        const int64_t last = std::min<int64_t>(int64_t(counter) + kREVOVAFlatFileStorageBatchIDsReserved - 1, INT32_MAX);
        const int32_t stored = last == INT32_MAX ? 0 : int32_t(last + 1);
        self->batchIDReservation_ = BatchIDReservation{int64_t(counter) + 1, last, stored};
        *toStore = stored;
        onComplete(int64_t(counter));
      },
      [toStore]() -> std::optional<os::Data> {
        if (!*toStore) return std::nullopt;
        const int32_t stored = **toStore;
        return os::Data(&stored, sizeof stored);
      });
}

void REVOVAFlatFileStorage::batchWithEventSelector(const REVOVAStorageEventSelector& eventSelector,
                                                   os::Date batchExpiration, BatchCompletion onComplete) {
  auto self = shared_from_this();
  nextBatchID([self, eventSelector, batchExpiration, onComplete = std::move(onComplete)](std::optional<int64_t> id) {
    if (!id) {
      if (onComplete) onComplete(std::nullopt, std::nullopt);
      return;
    }
    self->storageQueue_->async([self, eventSelector, batchExpiration, onComplete, batchID = *id] {
      self->prepareIfNeeded();
      std::set<std::string> paths;
      self->pathsForTarget(eventSelector.selectedTarget, eventSelector.selectedEventIDs,
                           eventSelector.selectedQosTiers, eventSelector.selectedMappingIDs,
                           [&](std::set<std::string> found) { paths = std::move(found); });
      REVOVAEventSet events;
      std::string batchDir;
      for (const auto& path : paths) {
        auto event = REVOVAUnarchiveFile<REVOVAEvent>(path);
        if (!event) {
          // Bytes that do not decode never will; a read that failed may
          // succeed later, so that file stays queued.
          if (event.error().domain() == os::kCocoaErrorDomain && event.error().code() == os::kCoderReadCorruptError) {
            REVOVALogDebug("Error deserializing event: %@", event.error());
            uint64_t size = REVOVADirectorySizeTracker::fileSizeAtURL(path);
            self->sizeTracker().directoryContentSize();
            if (files().removeItemAtPath(path)) self->sizeTracker().fileWasRemovedAtPath(path, size);
          } else {
            REVOVALogDebug("An event file could not be read, it stays queued: %@", event.error());
          }
          continue;
        }
        if (batchDir.empty()) {
          batchDir = batchPathForTarget(eventSelector.selectedTarget, batchID, batchExpiration);
          files().createDirectoryAtPath(batchDir, true);
        }
        if (auto moved = files().moveItemAtPath(path, batchDir + "/" + lastComponent(path)); !moved)
          REVOVALogDebug("An event file wasn't moveable into the batch directory: %@", moved.error());
        events.insert(*event);
      }
      if (!onComplete) return;
      if (events.empty()) onComplete(std::nullopt, std::nullopt);
      else onComplete(batchID, std::move(events));
    });
  });
}

std::vector<std::string> REVOVAFlatFileStorage::batchDirPathsForBatchID(int64_t batchID, os::Error* error) {
  std::string batchData = batchDataStoragePath();
  auto names = files().contentsOfDirectoryAtPath(batchData);
  if (!names) {
    if (error) *error = names.error();
    return {};
  }
  std::vector<std::string> paths;
  for (const auto& name : *names) {
    auto components = batchComponentsFromFilename(name);
    if (components && components->at(kREVOVABatchComponentsBatchIDKey).int64Value() == batchID)
      paths.push_back(batchData + "/" + name);
  }
  return paths;
}

bool REVOVAFlatFileStorage::moveContentsOfDirectoryAtPath(const std::string& path, const std::string& to,
                                                          os::Error* error) {
  auto names = files().contentsOfDirectoryAtPath(path);
  if (!names) {
    if (error) *error = names.error();
    return false;
  }
  files().createDirectoryAtPath(to, true);
  os::Array failures;
  for (const auto& name : *names) {
    auto moved = files().moveItemAtPath(path + "/" + name, to + "/" + name);
    if (!moved && moved.error().code() != os::kFileWriteFileExistsError)
      failures.push_back(os::Value(moved.error().description()));
  }
  if (failures.empty()) return true;
  if (error) {
    *error = storageError(-1, "Some events could not be moved back to the storage.");
    error->setUnderlyingError(os::Error(kREVOVAFlatFileStorageErrorDomain, -1,
                                        os::Dictionary{{os::kDebugDescriptionErrorKey, os::Value(failures)}}));
  }
  return false;
}

void REVOVAFlatFileStorage::syncThreadUnsafeRemoveBatchWithID(int64_t batchID, bool deleteEvents) {
  os::Error error;
  auto dirs = batchDirPathsForBatchID(batchID, &error);
  if (dirs.empty() && !error.domain().empty()) {
    REVOVALogDebug("Failed to find event file paths for batchID: %@, error: %@", batchID, error);
    return;
  }
  for (const auto& dir : dirs) {
    if (!deleteEvents) {
      auto components = batchComponentsFromFilename(lastComponent(dir));
      int64_t target = components ? components->at(kREVOVABatchComponentsTargetKey).int64Value() : 0;
      std::string destination = os::format("%@/%ld", eventDataStoragePath(), target);
      os::Error moveError;
      if (moveContentsOfDirectoryAtPath(dir, destination, &moveError)) {
        REVOVALogDebug("Batched events at path: %@ moved back to the storage: %@", dir, destination);
      } else {
        // What could not be moved stays batched rather than being deleted
        // with the folder: a later removal or the expiry check tries again.
        REVOVALog(kREVOVAMessageCodeDefault, kREVOVALogLevelError, "Error encountered whilst moving events back: %@",
                  moveError);
        continue;
      }
    }
    if (files().removeItemAtPath(dir)) REVOVALogDebug("Batch removed at path: %@", dir);
    else REVOVALogDebug("Failed to remove batch at path: %@", dir);
  }
  sizeTracker().resetCachedSize();
}

void REVOVAFlatFileStorage::removeBatchWithID(int64_t batchID, bool deleteEvents, Completion onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, batchID, deleteEvents, onComplete = std::move(onComplete)] {
    self->prepareIfNeeded();
    self->syncThreadUnsafeRemoveBatchWithID(batchID, deleteEvents);
    if (onComplete) onComplete();
  });
}

void REVOVAFlatFileStorage::batchIDsForTarget(int64_t target, BatchIDsCompletion onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, target, onComplete = std::move(onComplete)] {
    self->prepareIfNeeded();
    auto names = files().contentsOfDirectoryAtPath(batchDataStoragePath());
    if (!names || names->empty()) {
      if (onComplete) onComplete(std::nullopt);
      return;
    }
    std::set<int64_t> ids;
    for (const auto& name : *names) {
      auto components = batchComponentsFromFilename(name);
      if (components && components->at(kREVOVABatchComponentsTargetKey).int64Value() == target)
        ids.insert(components->at(kREVOVABatchComponentsBatchIDKey).int64Value());
    }
    if (onComplete) onComplete(std::move(ids));
  });
}

void REVOVAFlatFileStorage::hasEventsForTarget(int64_t target, BoolCompletion onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, target, onComplete = std::move(onComplete)] {
    self->prepareIfNeeded();
    std::string targetPath = os::format("%@/%ld", eventDataStoragePath(), target);
    files().createDirectoryAtPath(targetPath, true);
    auto names = files().contentsOfDirectoryAtPath(targetPath);
    if (onComplete) onComplete(names && !names->empty());
  });
}

void REVOVAFlatFileStorage::checkForExpirations() {
  auto self = shared_from_this();
  storageQueue_->async([self] {
    self->prepareIfNeeded();
    REVOVALogDebug("Checking for expired events and batches");
    const double now = os::Date::now().timeIntervalSince1970();
    if (auto batches = files().contentsOfDirectoryAtPath(batchDataStoragePath())) {
      for (const auto& name : *batches) {
        auto components = batchComponentsFromFilename(name);
        if (!components) continue;
        if (components->at(kREVOVABatchComponentsExpirationKey).date()->timeIntervalSince1970() < now)
          self->syncThreadUnsafeRemoveBatchWithID(components->at(kREVOVABatchComponentsBatchIDKey).int64Value(), false);
      }
    }
    std::string eventData = eventDataStoragePath();
    REVOVAEventSet expired;
    auto subpaths = files().subpathsOfDirectoryAtPath(eventData, os::DirectoryEnumerationOptions::SkipsHiddenFiles);
    if (subpaths) {
      for (const auto& sub : *subpaths) {
        auto components = eventComponentsFromFilename(lastComponent(sub));
        if (!components) continue;
        if (components->at(kREVOVAEventComponentsExpirationKey).date()->timeIntervalSince1970() >= now) continue;
        std::string path = eventData + "/" + sub;
        auto event = REVOVAUnarchiveFile<REVOVAEvent>(path);
        if (!event) REVOVALogDebug("Error deserializing event while checking for expired events: %@", event.error());
        if (auto removed = files().removeItemAtPath(path); removed) {
          REVOVALogDebug("Item deleted because it expired: %@", path);
          if (event) expired.insert(*event);
        } else {
          REVOVALogDebug("There was an error deleting an expired item: %@", removed.error());
        }
      }
    }
    if (!expired.empty()) {
      if (auto delegate = self->currentDelegate()) {
        REVOVALogDebug("Delegate notified that %@ events were dropped.", static_cast<int64_t>(expired.size()));
        delegate->storage(self, expired);
      }
    }
    self->sizeTracker().resetCachedSize();
  });
}

// ---- library data ----

bool REVOVAFlatFileStorage::writeLibraryData(const os::Data& data, const std::string& path, os::Error* error) {
  uint64_t previous = REVOVADirectorySizeTracker::fileSizeAtURL(path);
  // Counted before the file changes: a first walk afterwards would count the
  // change twice.
  sizeTracker().directoryContentSize();
  if (!REVOVAWriteFileData(data, path, error)) return false;
  sizeTracker().fileWasRemovedAtPath(path, previous);
  sizeTracker().fileWasAddedAtPath(path, data.length());
  return true;
}

void REVOVAFlatFileStorage::storeLibraryData(const os::Data& data, const std::string& key, ErrorCompletion onComplete) {
  if (data.empty()) {
    if (onComplete) onComplete(os::Error(os::kInternalInconsistencyException, -1));
    return;
  }
  auto self = shared_from_this();
  storageQueue_->async([self, data, key, onComplete = std::move(onComplete)] {
    self->prepareIfNeeded();
    os::Error error;
    bool written = self->writeLibraryData(data, libraryDataStoragePath() + "/" + key, &error);
    if (onComplete) onComplete(written ? std::nullopt : std::optional<os::Error>(error));
  });
}

void REVOVAFlatFileStorage::libraryDataForKey(const std::string& key, DataCompletion onFetchComplete,
                                              NewValueBlock setNewValue) {
  auto self = shared_from_this();
  storageQueue_->async(
      [self, key, onFetchComplete = std::move(onFetchComplete), setNewValue = std::move(setNewValue)] {
        self->prepareIfNeeded();
        std::string path = libraryDataStoragePath() + "/" + key;
        auto data = files().contentsAtPath(path);
        if (onFetchComplete) {
          if (data) onFetchComplete(*data, std::nullopt);
          else onFetchComplete(std::nullopt, data.error());
        }
        if (!setNewValue) return;
        auto newValue = setNewValue();
        if (!newValue || newValue->empty()) return;
        os::Error error;
        if (!self->writeLibraryData(*newValue, path, &error))
          REVOVALog(kREVOVAMessageCodeDefault, kREVOVALogLevelError, "Error writing new value in libraryDataForKey: %@",
                    error);
      });
}

void REVOVAFlatFileStorage::removeLibraryDataForKey(const std::string& key, ErrorCompletion onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, key, onComplete = std::move(onComplete)] {
    self->prepareIfNeeded();
    std::string path = libraryDataStoragePath() + "/" + key;
    OptionalError error;
    if (files().fileExistsAtPath(path)) {
      uint64_t size = REVOVADirectorySizeTracker::fileSizeAtURL(path);
      self->sizeTracker().directoryContentSize();
      if (auto removed = files().removeItemAtPath(path)) self->sizeTracker().fileWasRemovedAtPath(path, size);
      else error = removed.error();
    }
    if (onComplete) onComplete(error);
  });
}

void REVOVAFlatFileStorage::storageSizeWithCallback(SizeCompletion onComplete) {
  if (!onComplete) return;
  auto self = shared_from_this();
  storageQueue_->async([self, onComplete = std::move(onComplete)] {
    self->prepareIfNeeded();
    onComplete(self->sizeTracker().directoryContentSize());
  });
}

void REVOVAFlatFileStorage::appWillBackground(const std::shared_ptr<REVOVAApplication>& app) {
  storageQueue_->async([app] {
    if (!app) return;
    app->endBackgroundTask(app->beginBackgroundTaskWithName(kREVOVAFlatFileStorageBackgroundTaskName, nullptr));
  });
}

// ---- promises ----

promises::Promise<std::optional<std::set<int64_t>>> REVOVAFlatFileStorage::batchIDsForTarget(int64_t target) {
  auto promise = promises::Promise<std::optional<std::set<int64_t>>>::pending();
  batchIDsForTarget(target, [promise](std::optional<std::set<int64_t>> ids) { promise.fulfill(std::move(ids)); });
  return promise;
}

promises::Promise<void> REVOVAFlatFileStorage::removeBatchWithID(int64_t batchID, bool deleteEvents) {
  auto promise = promises::Promise<void>::pending();
  removeBatchWithID(batchID, deleteEvents, [promise] { promise.fulfill(); });
  return promise;
}

promises::Promise<void> REVOVAFlatFileStorage::removeBatchesWithIDs(const std::set<int64_t>& batchIDs,
                                                                   bool deleteEvents) {
  auto promise = promises::Promise<void>::pending();
  if (batchIDs.empty()) {
    storageQueue_->async([promise] { promise.fulfill(); });
    return promise;
  }
  // The removals run in order on the storage queue: the last one done is the
  // last one queued.
  auto left = std::make_shared<size_t>(batchIDs.size());
  for (int64_t batchID : batchIDs) {
    removeBatchWithID(batchID, deleteEvents, [promise, left] {
      if (--*left == 0) promise.fulfill();
    });
  }
  return promise;
}

promises::Promise<void> REVOVAFlatFileStorage::removeAllBatchesForTarget(int64_t target, bool deleteEvents) {
  auto promise = promises::Promise<void>::pending();
  auto self = shared_from_this();
  batchIDsForTarget(target, [self, promise, deleteEvents](std::optional<std::set<int64_t>> ids) {
    if (!ids || ids->empty()) {
      promise.fulfill();
      return;
    }
    self->removeBatchesWithIDs(*ids, deleteEvents).then(self->storageQueue_, [promise] { promise.fulfill(); });
  });
  return promise;
}

promises::Promise<void> REVOVAFlatFileStorage::fetchAndUpdateMetricsWithHandler(MetricsHandler handler) {
  auto promise = promises::Promise<void>::pending();
  auto self = shared_from_this();
  storageQueue_->async([self, promise, handler = std::move(handler)] {
    self->prepareIfNeeded();
    std::string path = libraryDataStoragePath() + "/" + kREVOVAMetricsMetadataLibraryDataKey;
    auto fetched = REVOVAUnarchiveFile<REVOVAMetricsMetadata>(path);
    std::shared_ptr<const REVOVAMetricsMetadata> metadata = fetched ? *fetched : nullptr;
    auto updated = handler ? handler(metadata, fetched ? std::nullopt : std::optional<os::Error>(fetched.error()))
                           : nullptr;
    if (updated && !(metadata && metadata->isEqual(*updated))) {
      os::Error error;
      auto archive = REVOVAArchiveObject(updated, "", &error);
      if (!archive || !self->writeLibraryData(*archive, path, &error)) {
        promise.reject(error);
        return;
      }
    }
    promise.fulfill();
  });
  return promise;
}

promises::Promise<REVOVAStorageMetadata> REVOVAFlatFileStorage::fetchStorageMetadata() {
  auto promise = promises::Promise<REVOVAStorageMetadata>::pending();
  storageSizeWithCallback([promise](uint64_t size) {
    promise.fulfill(REVOVAStorageMetadata::metadataWithCurrentCacheSize(size, kREVOVAFlatFileStorageSizeLimit));
  });
  return promise;
}

promises::Promise<bool> REVOVAFlatFileStorage::hasEventsForTarget(int64_t target) {
  auto promise = promises::Promise<bool>::pending();
  hasEventsForTarget(target, [promise](bool has) { promise.fulfill(has); });
  return promise;
}

promises::Promise<REVOVAUploadBatch> REVOVAFlatFileStorage::batchWithEventSelector(
    const REVOVAStorageEventSelector& eventSelector, os::Date batchExpiration) {
  auto promise = promises::Promise<REVOVAUploadBatch>::pending();
  batchWithEventSelector(eventSelector, batchExpiration,
                         [promise](std::optional<int64_t> batchID, std::optional<REVOVAEventSet> events) {
                           if (!batchID || !events || events->empty()) {
                             promise.reject(genericRejectedPromiseErrorWithReason("There are no events for the selector."));
                             return;
                           }
                           promise.fulfill(REVOVAUploadBatch::initWithBatchID(*batchID, std::move(*events)));
                         });
  return promise;
}
