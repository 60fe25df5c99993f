#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/encoding.h"
#include "os/foundation/file_system.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace fs = std::filesystem;

namespace {

using namespace revova_test;

const os::Date kStart = os::Date::fromTimeIntervalSince1970(1'700'000'000);

void writeFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

void writeFileOfSize(const std::string& path, uint64_t size) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary);
  out.seekp(static_cast<std::streamoff>(size) - 1);
  out.put('\0');
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string batchFolder() { return storageRoot() + "/dov_batch_data"; }
std::string counterFile() {
  return storageRoot() + "/dov_library_data/" + kREVOVAFlatFileStorageBatchIDCounterKey;
}

class REVOVAFlatFileStorageTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    coordinator_ = std::make_shared<REVOVAUploadCoordinator>();
    storage_ = std::make_shared<REVOVAFlatFileStorage>(coordinator_);
    delegate_ = std::make_shared<RecordingDelegate>();
    storage_->setDelegate(delegate_);
  }
  void TearDown() override {
    drain(*storage_);
    StateTest::TearDown();
  }

  // Stores and expects success.
  REVOVAEventPtr stored(const std::string& mappingID, int64_t target, int64_t qosTier = 3,
                        std::optional<os::Date> expiration = {}) {
    auto event = makeEvent(mappingID, target, "payload " + mappingID, qosTier, expiration);
    auto [written, error] = store(*storage_, event);
    EXPECT_TRUE(written) << (error ? error->description() : "");
    return event;
  }
  std::set<std::string> queuedIDs(int64_t target) {
    std::set<std::string> ids;
    for (const auto& name : filesUnder(eventFolder(target)))
      if (!name.starts_with(".")) ids.insert(name.substr(0, name.find('-')));
    return ids;
  }
  uint64_t storageSize() {
    return waitFor<uint64_t>([&](std::function<void(uint64_t)> done) { storage_->storageSizeWithCallback(done); })
        .value_or(0);
  }

  std::shared_ptr<REVOVAUploadCoordinator> coordinator_;
  std::shared_ptr<REVOVAFlatFileStorage> storage_;
  std::shared_ptr<RecordingDelegate> delegate_;
};

// An event whose archive is exactly `length` bytes long.
REVOVAEventPtr eventWithArchiveLength(size_t length) {
  for (size_t payload = 0; payload < length; ++payload) {
    auto event = makeEvent("1974", 1001, std::string(payload, 'x'));
    event->setEventID("0123456789ABCDEF0123456789ABCDEF");
    event->setExpirationDate(kStart.addingTimeInterval(604'800));
    auto archive = os::KeyedArchiver::archivedDataWithRootObject(event);
    if (archive && archive->length() == length) return event;
  }
  return nullptr;
}

TEST_F(REVOVAFlatFileStorageTest, TheStateDirectoryHoldsAtMostTwentyMillionBytes) {
  auto event = eventWithArchiveLength(1'000);
  ASSERT_NE(event, nullptr);
  auto metrics = REVOVAMetricsController::initWithStorage(storage_);
  storage_->setDelegate(metrics);
  const struct {
    uint64_t held;
    bool stored;
  } cases[] = {{19'999'000, true}, {19'999'001, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    emptyStore();
    auto storage = std::make_shared<REVOVAFlatFileStorage>(coordinator_);
    storage->setDelegate(metrics);
    writeFileOfSize(stateDirectory() + "/held", c.held);
    auto [written, error] = store(*storage, event);
    EXPECT_EQ(written, c.stored);
    EXPECT_EQ(filesUnder(eventFolder(1001)).size(), c.stored ? 1u : 0u);
    if (c.stored) {
      EXPECT_FALSE(error);
      EXPECT_EQ(storageSize(), 20'000'000u);
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kREVOVAFlatFileStorageErrorDomain);
    EXPECT_EQ(error->code(), 0);
    EXPECT_EQ(error->localizedFailureReason(), "Storage size limit has been reached.");
    // The controller over this storage counts the drop under reason 2.
    auto counts = metrics->getAndResetMetrics();
    ASSERT_TRUE(settle(counts));
    ASSERT_TRUE(counts.value()) << counts.description();
    EXPECT_EQ(counts.value()->logSourceMetrics()->droppedEventCounterByLogSource(),
              (REVOVALogSourceMetrics::Counts{{"1974", {{2, 1}}}}));
    drain(*storage);
  }
}

TEST_F(REVOVAFlatFileStorageTest, BatchIDsCountFromZeroInAFourByteCounter) {
  auto event = stored("1974", 1001);
  auto first = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
  ASSERT_TRUE(first.first);
  EXPECT_EQ(*first.first, 0);
  EXPECT_EQ(idsOf(*first.second), (std::set<std::string>{event->eventID()}));
  removeBatch(*storage_, 0, false);
  const std::string reserved = fileIdentity(counterFile());
  auto second = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
  ASSERT_TRUE(second.first);
  EXPECT_EQ(*second.first, 1);
  // One write of the counter reserves a block of IDs: the second batch, an
  // upload attempt that failed and came back, wrote nothing.
  EXPECT_EQ(fileIdentity(counterFile()), reserved);
  std::string counter = readFile(counterFile());
  ASSERT_EQ(counter.size(), 4u);
  int32_t next = 0;
  std::memcpy(&next, counter.data(), 4);
  EXPECT_EQ(next, kREVOVAFlatFileStorageBatchIDsReserved);

  // A store reopened while the second batch is live goes on past the block.
  drain(*storage_);
  auto reopened = std::make_shared<REVOVAFlatFileStorage>(std::make_shared<REVOVAUploadCoordinator>());
  ASSERT_TRUE(store(*reopened, makeEvent("1974", 1001, "after")).first);
  auto third = batch(*reopened, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
  ASSERT_TRUE(third.first);
  EXPECT_EQ(*third.first, kREVOVAFlatFileStorageBatchIDsReserved);
  drain(*reopened);
}

// Mended: the counter went past the largest 32-bit value into negative IDs
// (whose folder names never parse back), a stored -1 was handed out again and
// again (one removal deleted every batch of that ID), and a counter file
// shorter than 4 bytes was read past its end.
TEST_F(REVOVAFlatFileStorageTest, BatchIDsNeitherRepeatNorOverflow) {
  auto bytesOf = [](int32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); };
  const struct {
    const char* name;
    std::string counter;
    int64_t firstID;
    int64_t secondID;
  } cases[] = {
      {"largest value", bytesOf(INT32_MAX), INT32_MAX, 0},
      {"stored -1", bytesOf(-1), 0, 1},
      {"other negative", bytesOf(-7), 0, 1},
      {"two bytes", std::string("\x05\x00", 2), 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emptyStore();
    writeFile(counterFile(), c.counter);
    stored("1974", 1001);
    auto first = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
    ASSERT_TRUE(first.first);
    EXPECT_EQ(*first.first, c.firstID);
    removeBatch(*storage_, *first.first, false);
    auto second = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
    ASSERT_TRUE(second.first);
    EXPECT_EQ(*second.first, c.secondID);
    EXPECT_EQ(batchIDs(*storage_, 1001), (std::set<int64_t>{c.secondID}));
    removeBatch(*storage_, *second.first, true);
  }
}

TEST_F(REVOVAFlatFileStorageTest, FileNamesParseBack) {
  for (const std::string mappingID : {"1974", "12-06", "a b/c%.d", "Ünï-名前"}) {
    SCOPED_TRACE(mappingID);
    std::string path = REVOVAFlatFileStorage::pathForTarget(1002, "0123456789ABCDEF0123456789ABCDEF", 4,
                                                            kStart.addingTimeInterval(0.75), mappingID);
    std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(path.substr(0, path.rfind('/')), eventFolder(1002));
    auto parts = REVOVAFlatFileStorage::eventComponentsFromFilename(name);
    ASSERT_TRUE(parts) << name;
    EXPECT_EQ((*parts)[kREVOVAEventComponentsEventIDKey].stringValue(), "0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ((*parts)[kREVOVAEventComponentsQoSTierKey].int64Value(), 4);
    EXPECT_EQ(*(*parts)[kREVOVAEventComponentsExpirationKey].date(), kStart);
    EXPECT_EQ(os::stringByRemovingPercentEncoding((*parts)[kREVOVAEventComponentsMappingIDKey].stringValue()),
              mappingID);
  }
  for (const std::string name : {"ABC", "ABC-3-5", "ABC-x-5-1974", "ABC-3-5.5-1974", "-3-5-1974"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(REVOVAFlatFileStorage::eventComponentsFromFilename(name));
  }
  auto batchParts = REVOVAFlatFileStorage::batchComponentsFromFilename("1002-7-1700000000");
  ASSERT_TRUE(batchParts);
  EXPECT_EQ((*batchParts)[kREVOVABatchComponentsTargetKey].int64Value(), 1002);
  EXPECT_EQ((*batchParts)[kREVOVABatchComponentsBatchIDKey].int64Value(), 7);
  for (const std::string name : {"1002-7", "1002--1-1700000000", "1002-7-x", ".hidden"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(REVOVAFlatFileStorage::batchComponentsFromFilename(name));
  }
}

TEST_F(REVOVAFlatFileStorageTest, BatchesTakeWhatTheSelectorSelectsAndReturnItWhole) {
  std::map<int64_t, REVOVAEventPtr> byTier;
  for (int64_t tier = 0; tier <= 5; ++tier) byTier[tier] = stored("1974", 1001, tier);
  auto dashed = stored("12-06", 1001, 2);
  // A hidden file that would otherwise parse and decode as an event.
  std::string valid = filesUnder(eventFolder(1001)).front();
  writeFile(eventFolder(1001) + "/.0123456789ABCDEF0123456789ABCDEF-3-1800000000-1974",
            readFile(eventFolder(1001) + "/" + valid));
  auto all = queuedIDs(1001);

  const struct {
    const char* name;
    REVOVAStorageEventSelector selector;
    std::set<std::string> ids;
  } cases[] = {
      {"tiers 4 and 3", REVOVAStorageEventSelector::initWithTarget(1001, {}, {}, {4, 3}),
       {byTier[4]->eventID(), byTier[3]->eventID()}},
      {"mapping ID with a dash", REVOVAStorageEventSelector::initWithTarget(1001, {}, {"12-06"}, {}),
       {dashed->eventID()}},
      {"event ID and tier", REVOVAStorageEventSelector::initWithTarget(1001, {byTier[5]->eventID()}, {}, {5, 1}),
       {byTier[5]->eventID()}},
      {"everything", REVOVAStorageEventSelector::eventSelectorForTarget(1001), all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto [id, events] = batch(*storage_, c.selector, kStart);
    ASSERT_TRUE(id);
    EXPECT_EQ(idsOf(*events), c.ids);
    std::set<std::string> left;
    std::set_difference(all.begin(), all.end(), c.ids.begin(), c.ids.end(), std::inserter(left, left.end()));
    EXPECT_EQ(queuedIDs(1001), left);
    EXPECT_TRUE(fs::exists(eventFolder(1001) + "/.0123456789ABCDEF0123456789ABCDEF-3-1800000000-1974"));
    removeBatch(*storage_, *id, false);
    EXPECT_EQ(queuedIDs(1001), all);
  }
  auto nothing = batch(*storage_, REVOVAStorageEventSelector::initWithTarget(1001, {}, {"none"}, {}), kStart);
  EXPECT_FALSE(nothing.first);
  EXPECT_FALSE(nothing.second);

  auto [id, events] = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
  ASSERT_TRUE(id);
  removeBatch(*storage_, *id, true);
  EXPECT_TRUE(queuedIDs(1001).empty());
  EXPECT_TRUE(filesUnder(batchFolder()).empty());
}

TEST_F(REVOVAFlatFileStorageTest, BatchIDsOfATargetAreNothingWithoutAnyBatch) {
  EXPECT_EQ(batchIDs(*storage_, 1001), std::nullopt);
  stored("1206", 1002);
  auto [id, events] = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1002), kStart);
  ASSERT_TRUE(id);
  EXPECT_EQ(batchIDs(*storage_, 1001), std::set<int64_t>{});
  EXPECT_EQ(batchIDs(*storage_, 1002), std::set<int64_t>{*id});
}

TEST_F(REVOVAFlatFileStorageTest, ExpiryDissolvesExpiredBatchesThenDeletesAndReportsExpiredEvents) {
  os::ManualClockScope clock;
  auto metrics = REVOVAMetricsController::initWithStorage(storage_);
  storage_->setDelegate(metrics);
  auto soon = stored("1974", 1001, 3, kStart.addingTimeInterval(3'600));
  auto later = stored("1974", 1001, 3, kStart.addingTimeInterval(864'000));
  auto crash = stored("1206", 1002, 4, kStart.addingTimeInterval(3'600));
  auto [id, events] = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001),
                            kStart.addingTimeInterval(1'800));
  ASSERT_TRUE(id);
  ASSERT_EQ(events->size(), 2u);

  clock->advance(7'200);
  storage_->checkForExpirations();
  drain(*storage_);
  EXPECT_TRUE(filesUnder(batchFolder()).empty());
  EXPECT_EQ(queuedIDs(1001), (std::set<std::string>{later->eventID()}));
  EXPECT_TRUE(queuedIDs(1002).empty());

  auto counts = metrics->getAndResetMetrics();
  ASSERT_TRUE(settle(counts));
  ASSERT_TRUE(counts.value()) << counts.description();
  EXPECT_EQ(counts.value()->logSourceMetrics()->droppedEventCounterByLogSource(),
            (REVOVALogSourceMetrics::Counts{{"1974", {{1, 1}}}, {"1206", {{1, 1}}}}));
}

TEST_F(REVOVAFlatFileStorageTest, AFastEventForcesAnUploadOfItsTargetOnceStored) {
  // Unasked, the coordinator keeps no list of its calls.
  stored("1206", 1002, 4);
  // The store reports before it forces the upload: the first event's call
  // could land after recording began and be counted twice.
  storage_->storageQueue()->sync([] {});
  EXPECT_TRUE(coordinator_->TEST_recordedCalls().empty());

  coordinator_->TEST_recordCalls(true);
  stored("1206", 1002, 4);
  stored("1974", 1001, 3);
  EXPECT_EQ(coordinator_->TEST_recordedCalls(),
            (std::vector<REVOVAUploadCoordinator::RecordedCall>{{"forceUploadForTarget:", 1002}}));
}

// Mended: an event ID went into the file name unchecked; one holding "/" or
// ".." wrote outside the store, one holding "-" was never parsed again.
TEST_F(REVOVAFlatFileStorageTest, EventIDsThatCannotNameAFileAreRefused) {
  for (const std::string id : {"", "../../escaped", "AB-CD", ".hidden", "a/b"}) {
    SCOPED_TRACE(id);
    auto event = makeEvent("1974", 1001, "x");
    event->setEventID(id);
    auto [written, error] = store(*storage_, event);
    EXPECT_FALSE(written);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kREVOVAFlatFileStorageErrorDomain);
  }
  EXPECT_TRUE(filesUnder(stateDirectory()).empty());
  EXPECT_TRUE(filesUnder(storageRoot() + "/dov_event_data").empty());
}

// Mended: a file that could not be read at that moment was deleted like one
// whose bytes do not decode.
TEST_F(REVOVAFlatFileStorageTest, BatchingDeletesUndecodableFilesAndKeepsUnreadableOnes) {
  auto good = stored("1974", 1001);
  auto unreadable = stored("1974", 1001);
  std::string garbage = eventFolder(1001) + "/FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF-3-1800000000-1974";
  writeFile(garbage, "not an archive");
  auto faults = std::make_shared<os::FaultInjectingFileSystem>();
  faults->inject(os::FileOp::Read, {EIO, unreadable->eventID(), 0, -1});
  {
    os::ScopedFileSystem scope(faults);
    auto [id, events] = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
    ASSERT_TRUE(id);
    EXPECT_EQ(idsOf(*events), (std::set<std::string>{good->eventID()}));
  }
  EXPECT_FALSE(fs::exists(garbage));
  EXPECT_EQ(queuedIDs(1001), (std::set<std::string>{unreadable->eventID()}));
}

// Mended: returning a batch removed its folder even when some files could not
// be moved back, deleting the events of a failed upload.
TEST_F(REVOVAFlatFileStorageTest, ABatchWhoseFilesCannotBeReturnedIsKept) {
  auto a = stored("1974", 1001);
  auto b = stored("1974", 1001);
  auto [id, events] = batch(*storage_, REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
  ASSERT_TRUE(id);
  auto faults = std::make_shared<os::FaultInjectingFileSystem>();
  faults->failRenames(EIO, a->eventID());
  {
    os::ScopedFileSystem scope(faults);
    removeBatch(*storage_, *id, false);
  }
  EXPECT_EQ(queuedIDs(1001), (std::set<std::string>{b->eventID()}));
  EXPECT_EQ(batchIDs(*storage_, 1001), std::set<int64_t>{*id});
  removeBatch(*storage_, *id, false);
  EXPECT_EQ(queuedIDs(1001), (std::set<std::string>{a->eventID(), b->eventID()}));
  EXPECT_EQ(batchIDs(*storage_, 1001), std::nullopt);
}

// Mended: a removal larger than the cached total wrapped it to nearly 2^64,
// after which every event was refused for lack of space.
TEST(REVOVADirectorySizeTrackerTest, ARemovalLargerThanTheTotalCountsAfresh) {
  auto folder = fs::temp_directory_path() / ("revova-size-" + std::to_string(::getpid()));
  fs::create_directories(folder / "sub");
  writeFile((folder / "sub" / "ten").string(), "0123456789");
  writeFile((folder / ".hidden").string(), "not counted");
  REVOVADirectorySizeTracker tracker(folder.string());
  EXPECT_EQ(tracker.directoryContentSize(), 10u);
  tracker.fileWasAddedAtPath("/elsewhere/file", 100);
  EXPECT_EQ(tracker.directoryContentSize(), 10u);
  tracker.fileWasAddedAtPath((folder / "x").string(), 5);
  EXPECT_EQ(tracker.directoryContentSize(), 15u);
  tracker.fileWasRemovedAtPath((folder / "x").string(), 50);
  EXPECT_FALSE(tracker.cachedSizeBytes());
  EXPECT_EQ(tracker.directoryContentSize(), 10u);
  fs::remove_all(folder);
}

TEST_F(REVOVAFlatFileStorageTest, LibraryDataIsKeptCountedAndReplaced) {
  auto fetch = [&](const std::string& key, REVOVAStorageProtocol::NewValueBlock newValue = nullptr) {
    using Fetched = std::pair<std::optional<os::Data>, std::optional<os::Error>>;
    return waitFor<Fetched>([&](std::function<void(Fetched)> done) {
             storage_->libraryDataForKey(
                 key, [done](std::optional<os::Data> data, std::optional<os::Error> error) { done({data, error}); },
                 newValue);
           })
        .value_or(Fetched{});
  };
  using MaybeError = std::optional<os::Error>;
  auto stored = waitFor<MaybeError>([&](std::function<void(MaybeError)> done) {
    storage_->storeLibraryData(os::Data::fromString("abc"), "key", done);
  });
  ASSERT_TRUE(stored);
  EXPECT_FALSE(*stored);
  EXPECT_EQ(storageSize(), 3u);
  EXPECT_EQ(fetch("key", [] { return os::Data::fromString("abcde"); }).first, os::Data::fromString("abc"));
  EXPECT_EQ(fetch("key").first, os::Data::fromString("abcde"));
  EXPECT_EQ(storageSize(), 5u);
  auto missing = fetch("other");
  EXPECT_FALSE(missing.first);
  EXPECT_TRUE(missing.second);

  auto refused = waitFor<MaybeError>([&](std::function<void(MaybeError)> done) {
    storage_->storeLibraryData(os::Data(), "key", done);
  });
  ASSERT_TRUE(refused && *refused);
  EXPECT_EQ((*refused)->domain(), os::kInternalInconsistencyException);
  for (const char* key : {"key", "key"}) {
    auto removed = waitFor<MaybeError>([&](std::function<void(MaybeError)> done) {
      storage_->removeLibraryDataForKey(key, done);
    });
    ASSERT_TRUE(removed);
    EXPECT_FALSE(*removed);
  }
  EXPECT_EQ(storageSize(), 0u);
}

TEST_F(REVOVAFlatFileStorageTest, PromisesSettleWithTheCompletionResults) {
  auto none = storage_->batchWithEventSelector(REVOVAStorageEventSelector::eventSelectorForTarget(1001), kStart);
  ASSERT_TRUE(settle(none));
  ASSERT_TRUE(none.error());
  EXPECT_EQ(none.error()->localizedFailureReason(), "There are no events for the selector.");
  auto hasNone = storage_->hasEventsForTarget(1001);
  ASSERT_TRUE(settle(hasNone));
  EXPECT_EQ(hasNone.value(), false);

  auto a = stored("1974", 1001);
  auto b = stored("1974", 1001, 4);
  auto first = storage_->batchWithEventSelector(REVOVAStorageEventSelector::initWithTarget(1001, {}, {}, {3}), kStart);
  auto second = storage_->batchWithEventSelector(REVOVAStorageEventSelector::initWithTarget(1001, {}, {}, {4}), kStart);
  ASSERT_TRUE(settle(first) && settle(second));
  ASSERT_TRUE(first.value() && second.value());
  EXPECT_EQ(idsOf(first.value()->events), (std::set<std::string>{a->eventID()}));
  EXPECT_EQ(batchIDs(*storage_, 1001), (std::set<int64_t>{first.value()->batchID, second.value()->batchID}));

  auto returned = storage_->removeAllBatchesForTarget(1001, false);
  ASSERT_TRUE(settle(returned));
  EXPECT_EQ(batchIDs(*storage_, 1001), std::nullopt);
  EXPECT_EQ(queuedIDs(1001), (std::set<std::string>{a->eventID(), b->eventID()}));
  auto metadata = storage_->fetchStorageMetadata();
  ASSERT_TRUE(settle(metadata));
  EXPECT_EQ(metadata.value()->maxCacheSize, 20'000'000u);
  EXPECT_EQ(metadata.value()->currentCacheSize, bytesUnder(stateDirectory()));
}

TEST_F(REVOVAFlatFileStorageTest, LeftoverTemporariesOfOtherProcessesGoOnFirstUse) {
  std::string theirs = eventFolder(1001) + "/.ABC-3-1800000000-1974.tmp-" + std::to_string(::getpid() + 1) + "-4";
  std::string ours = eventFolder(1001) + "/.ABC-3-1800000000-1974.tmp-" + std::to_string(::getpid()) + "-9";
  std::string other = eventFolder(1001) + "/.keep";
  for (const auto& path : {theirs, ours, other}) writeFile(path, "partial");
  storageSize();
  EXPECT_FALSE(fs::exists(theirs));
  EXPECT_TRUE(fs::exists(ours));
  EXPECT_TRUE(fs::exists(other));
}

}  // namespace
