#include <gtest/gtest.h>

#include <thread>

#include "os/dispatch/manual_clock.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace {

using namespace revova_test;
using Counts = REVOVALogSourceMetrics::Counts;

std::shared_ptr<const REVOVALogSourceMetrics> countsOf(Counts counts) {
  return std::make_shared<const REVOVALogSourceMetrics>(std::move(counts));
}

TEST(REVOVALogSourceMetricsTest, CountsComeFromMappingIDsAndMergeBySum) {
  REVOVAEventSet events{makeEvent("1974", 1001, "a"), makeEvent("1974", 1001, "b"), makeEvent("1206", 1002, "c")};
  auto counted = REVOVALogSourceMetrics::metricsWithEvents(events, 1);
  EXPECT_EQ(counted->droppedEventCounterByLogSource(), (Counts{{"1974", {{1, 2}}}, {"1206", {{1, 1}}}}));
  // A decoded event may carry an empty mapping ID; it is not counted.
  auto blank = std::make_shared<REVOVAEvent>();
  EXPECT_TRUE(REVOVALogSourceMetrics::metricsWithEvents({blank}, 1)->droppedEventCounterByLogSource().empty());

  auto merged = countsOf({{"1974", {{1, 2}}}})->logSourceMetricsByMergingWithLogSourceMetrics(
      *countsOf({{"1974", {{1, 3}, {2, 1}}}, {"1206", {{2, 4}}}}));
  EXPECT_EQ(merged->droppedEventCounterByLogSource(), (Counts{{"1974", {{1, 5}, {2, 1}}}, {"1206", {{2, 4}}}}));
}

// Writes any value under the counts' key, archived as REVOVALogSourceMetrics.
struct OddCounts : os::SecureCoding {
  os::Value value;
  void encodeWithCoder(os::KeyedArchiver& coder) const override {
    coder.encodeValue(value, kREVOVALogSourceMetricsCounterKey);
  }
  static std::shared_ptr<OddCounts> initWithCoder(os::KeyedUnarchiver&) { return nullptr; }
};
const os::CodingRegistration<OddCounts> kOddCountsCoding("TransportTestOddCounts");

TEST(REVOVALogSourceMetricsTest, MetadataArchivesAndRefusesAnythingButCounts) {
  auto metadata = REVOVAMetricsMetadata::metadataWithCollectionStartDate(
      os::Date::fromTimeIntervalSince1970(1'700'000'000.5), countsOf({{"1974", {{1, 2}, {-3, 7}}}}));
  auto archive = os::KeyedArchiver::archivedDataWithRootObject(metadata);
  ASSERT_TRUE(archive);
  auto back = os::KeyedUnarchiver::unarchivedObjectOfClass<REVOVAMetricsMetadata>(*archive);
  ASSERT_TRUE(back) << back.error().description();
  EXPECT_TRUE((*back)->isEqual(*metadata));
  EXPECT_EQ((*back)->hash(), metadata->hash());

  // Counts stored as something else than a dictionary of counts decode to
  // nothing, and so does metadata holding them.
  for (const os::Value& stored : {os::Value("text"), os::Value(os::Dictionary{{"1974", os::Value(3)}}),
                                  os::Value(os::Dictionary{{"1974", os::Value(os::Dictionary{{"x", os::Value(1)}})}})}) {
    SCOPED_TRACE(stored.description());
    auto odd = std::make_shared<OddCounts>();
    odd->value = stored;
    os::KeyedArchiver archiver;
    archiver.setClassName("REVOVALogSourceMetrics", "TransportTestOddCounts");
    archiver.encodeRootObject(odd);
    auto data = archiver.encodedData();
    ASSERT_TRUE(data);
    EXPECT_FALSE(os::KeyedUnarchiver::unarchivedObjectOfClass<REVOVALogSourceMetrics>(*data));
  }
}

class REVOVAMetricsControllerTest : public StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    storage_ = std::make_shared<REVOVAFlatFileStorage>(std::make_shared<REVOVAUploadCoordinator>());
    controller_ = REVOVAMetricsController::initWithStorage(storage_);
  }
  void TearDown() override {
    drain(*storage_);
    StateTest::TearDown();
  }
  void drop(int64_t reason, std::initializer_list<const char*> mappingIDs) {
    REVOVAEventSet events;
    for (const char* mappingID : mappingIDs) events.insert(makeEvent(mappingID, 1001, "x"));
    ASSERT_TRUE(settle(controller_->logEventsDroppedForReason(reason, events)));
  }
  std::optional<REVOVAMetrics> takeMetrics() {
    auto metrics = controller_->getAndResetMetrics();
    EXPECT_TRUE(settle(metrics));
    return metrics.value();
  }
  void offer(std::optional<REVOVAMetrics> metrics) { ASSERT_TRUE(settle(controller_->offerMetrics(metrics))); }
  void commit(const REVOVAMetrics& metrics) { ASSERT_TRUE(settle(controller_->commitMetrics(metrics))); }

  std::shared_ptr<REVOVAFlatFileStorage> storage_;
  std::shared_ptr<REVOVAMetricsController> controller_;
};

TEST_F(REVOVAMetricsControllerTest, FirstResetIsRejectedAndStartsAnEmptyWindow) {
  os::ManualClockScope clock;
  const os::Date start = os::Date::now();
  auto first = controller_->getAndResetMetrics();
  ASSERT_TRUE(settle(first));
  ASSERT_TRUE(first.error());
  EXPECT_EQ(promises::promiseError(*first.error()), promises::PromiseError::validationFailure);

  clock->advance(60);
  auto second = takeMetrics();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->collectionStartDate(), start);
  EXPECT_EQ(second->collectionEndDate(), os::Date::now());
  EXPECT_TRUE(second->logSourceMetrics()->droppedEventCounterByLogSource().empty());
  EXPECT_EQ(second->maxCacheSize(), 20'000'000u);
  EXPECT_EQ(second->currentCacheSize(), bytesUnder(stateDirectory()));
}

TEST_F(REVOVAMetricsControllerTest, OfferedMetricsComeBackOnTopOfLaterDrops) {
  os::ManualClockScope clock;
  const os::Date t0 = os::Date::now();
  drop(1, {"1974", "1974"});
  clock->advance(30);
  auto taken = takeMetrics();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->collectionStartDate(), t0);
  clock->advance(30);
  drop(2, {"1206"});
  // The upload of `taken` failed.
  offer(taken);
  offer(std::nullopt);
  auto again = takeMetrics();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->collectionStartDate(), t0);
  EXPECT_EQ(again->logSourceMetrics()->droppedEventCounterByLogSource(),
            (Counts{{"1974", {{1, 2}}}, {"1206", {{2, 1}}}}));
}

// Mended: taking the counts rewrote the file with a reset and a failed
// upload rewrote it with the counts put back, two durable writes per attempt
// (about 40,000 in an idle week without a network).
TEST_F(REVOVAMetricsControllerTest, FailedUploadsWriteNothingAndACommitRemovesOnlyWhatWasSent) {
  os::ManualClockScope clock;
  const os::Date t0 = os::Date::now();
  drop(1, {"1974", "1974"});
  const std::string written = fileIdentity(metricsFile());
  ASSERT_NE(written, "");
  for (int attempt = 0; attempt < 3; ++attempt) {
    SCOPED_TRACE(attempt);
    clock->advance(30);
    auto taken = takeMetrics();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->collectionStartDate(), t0);
    EXPECT_EQ(taken->logSourceMetrics()->droppedEventCounterByLogSource(), (Counts{{"1974", {{1, 2}}}}));
    offer(taken);
  }
  drain(*storage_);
  EXPECT_EQ(fileIdentity(metricsFile()), written);

  // Drops counted while an upload is out, failed or successful, stay for the
  // next upload; what a successful one carried goes out once.
  clock->advance(30);
  auto failed = takeMetrics();
  drop(2, {"1206"});
  offer(failed);
  auto sent = takeMetrics();
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->logSourceMetrics()->droppedEventCounterByLogSource(),
            (Counts{{"1974", {{1, 2}}}, {"1206", {{2, 1}}}}));
  drop(2, {"1206", "1974"});
  commit(*sent);
  auto next = takeMetrics();
  ASSERT_TRUE(next);
  EXPECT_EQ(next->collectionStartDate(), sent->collectionEndDate());
  EXPECT_EQ(next->logSourceMetrics()->droppedEventCounterByLogSource(), (Counts{{"1974", {{2, 1}}}, {"1206", {{2, 1}}}}));
  commit(*next);
  // Committed twice (the first one late) removes nothing more.
  commit(*sent);
  auto empty = takeMetrics();
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->collectionStartDate(), next->collectionEndDate());
  EXPECT_TRUE(empty->logSourceMetrics()->droppedEventCounterByLogSource().empty());
}

// Mended: the counts left the file when they were taken, so a process that
// died while their upload was out lost them.
TEST_F(REVOVAMetricsControllerTest, CountsOutForUploadSurviveAProcessThatDies) {
  os::ManualClockScope clock;
  const os::Date t0 = os::Date::now();
  drop(1, {"1974"});
  clock->advance(30);
  ASSERT_TRUE(takeMetrics());
  drain(*storage_);

  // The next launch.
  auto storage = std::make_shared<REVOVAFlatFileStorage>(std::make_shared<REVOVAUploadCoordinator>());
  auto controller = REVOVAMetricsController::initWithStorage(storage);
  auto again = controller->getAndResetMetrics();
  ASSERT_TRUE(settle(again));
  ASSERT_TRUE(again.value());
  EXPECT_EQ(again.value()->collectionStartDate(), t0);
  EXPECT_EQ(again.value()->logSourceMetrics()->droppedEventCounterByLogSource(), (Counts{{"1974", {{1, 1}}}}));
  drain(*storage);
}

TEST_F(REVOVAMetricsControllerTest, OffersFoldInByTheirStartDate) {
  os::ManualClockScope clock;
  const os::Date now = os::Date::now();
  const Counts offeredCounts{{"1974", {{3, 1}}}};
  const struct {
    const char* name;
    bool storedFirst;      // a window starting now with {1206: {2: 1}}
    double offeredStart;   // seconds from now
    double expectedStart;  // seconds from now
    Counts expected;
  } cases[] = {
      {"nothing stored, offered from the past", false, -100, -100, offeredCounts},
      {"nothing stored, offered from the future", false, 100, 0, {}},
      {"offered window began earlier", true, -100, -100, {{"1974", {{3, 1}}}, {"1206", {{2, 1}}}}},
      {"offered window began later", true, 100, 0, {{"1206", {{2, 1}}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emptyStore();
    if (c.storedFirst) drop(2, {"1206"});
    offer(REVOVAMetrics(now.addingTimeInterval(c.offeredStart), now, countsOf(offeredCounts), 0, 0, ""));
    auto taken = takeMetrics();
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->collectionStartDate(), now.addingTimeInterval(c.expectedStart));
    EXPECT_EQ(taken->logSourceMetrics()->droppedEventCounterByLogSource(), c.expected);
  }
}

TEST_F(REVOVAMetricsControllerTest, ConcurrentDropsAreAllCounted) {
  constexpr int kThreads = 8;
  constexpr int kDropsPerThread = 5;
  std::vector<std::thread> threads;
  std::vector<promises::Promise<void>> pending[kThreads];
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kDropsPerThread; ++i)
        pending[t].push_back(controller_->logEventsDroppedForReason(1, {makeEvent("1974", 1001, "x")}));
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& list : pending)
    for (auto& promise : list) ASSERT_TRUE(settle(promise));
  auto taken = takeMetrics();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->logSourceMetrics()->droppedEventCounterByLogSource(),
            (Counts{{"1974", {{1, kThreads * kDropsPerThread}}}}));
}

}  // namespace
