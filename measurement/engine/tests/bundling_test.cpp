// Bundling of raw events on a started engine over the real store, and the
// bundle-level consent operations.
#include <gtest/gtest.h>

#include <algorithm>

#include "measurement/engine/audiences/tests/audience_test_support.h"
#include "measurement/engine/tests/pipeline_test_support.h"
#include "measurement/engine/upload/bundle_operations.h"
#include "measurement/engine/upload/bundling.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/identity.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"

namespace {

using pipeline_test::now;
using pipeline_test::PipelineTest;
using namespace apm_bundle;

os::Value int64(int64_t value) { return os::Value(os::Number::int64(value)); }

// 2023-11-14 22:00:00, an hour's start.
constexpr double kHour = 1'699'999'200;

class BundlingTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    startEmpty();
  }
  // Starts the engine and bundles away the launch's own events.
  void startEmpty() {
    start();
    onWorker([](APMMeasurement& engine) {
      while (engine.bundleRawEvents()) {
      }
      engine.database()->sqliteStore()->deleteAllRecordsFromTableWithName(kAPMQueueTableName, nullptr);
    });
  }
  // Stores a raw event under the metadata of the app ID ("A", "B", ...).
  void insertRaw(const std::string& metadataAppID, const std::string& name, double timestamp,
                 os::Dictionary parameters = {}) {
    onWorker([=](APMMeasurement& engine) {
      auto metadata = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
      APMPBSetString(metadata.get(), kAppID, metadataAppID);
      ASSERT_TRUE(engine.database()->insertIfNotExistsRawEventMetadata(metadata, nullptr));
      auto event = APMEvent::initWithOrigin("auto", false, name, timestamp, 0, parameters);
      ASSERT_NE(event, nullptr);
      ASSERT_TRUE(engine.database()->insertRawEvent(event, apm_64LSBMD5(*metadata->protoBuffer()),
                                                   event->isRealtime(), nullptr));
    });
  }
  bool bundleOnce() {
    bool result = false;
    onWorker([&](APMMeasurement& engine) { result = engine.bundleRawEvents(); });
    return result;
  }
  int bundleAll() {
    int calls = 0;
    while (bundleOnce()) ++calls;
    return calls;
  }
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> queued() {
    std::vector<std::shared_ptr<APMPBMeasurementBundle>> bundles;
    const auto rows = engine()->database()->queryBundlesWithCountLimit(1000, 1'000'000'000, nullptr);
    for (const auto& row : rows.value_or(std::vector<APMQueuedBundle>{})) bundles.push_back(row.bundle);
    return bundles;
  }
  static std::vector<std::shared_ptr<APMPBEvent>> eventsOf(const APMPBMeasurementBundle& bundle) {
    return APMPBGetArray<APMPBEvent>(&bundle, kEvents).value_or(std::vector<std::shared_ptr<APMPBEvent>>{});
  }
  // Per bundle: its app ID and its events' names.
  std::vector<std::string> layout() {
    std::vector<std::string> out;
    for (const auto& bundle : queued()) {
      std::string text = APMPBGetString(bundle.get(), kAppID).value_or("?") + ":";
      for (const auto& event : eventsOf(*bundle)) text += " " + APMPBGetString(event.get(), 1).value_or("");
      out.push_back(text);
    }
    return out;
  }
  static os::Dictionary parametersOf(const APMPBEvent& event) {
    return APMPlainParameters(APMEvent::initWithEventProto(event)->parameters());
  }
  size_t rawEventCount() { return storedEvents().size(); }
};

TEST_F(BundlingTest, BundlesFollowRowOrderAndNeverCrossAnHour) {
  // Interleaved fingerprints break at each row-ID gap.
  insertRaw("A", "a1", kHour + 1);
  insertRaw("B", "b1", kHour + 2);
  insertRaw("A", "a2", kHour + 3);
  insertRaw("A", "a3", kHour + 4);
  insertRaw("B", "b2", kHour + 5);
  // Two clock hours, one fingerprint.
  insertRaw("A", "late", kHour + 3599);
  insertRaw("A", "next_hour", kHour + 3600);
  EXPECT_EQ(bundleAll(), 6);
  EXPECT_EQ(layout(), (std::vector<std::string>{"A: a1", "B: b1", "A: a2 a3", "B: b2", "A: late", "A: next_hour"}));
  EXPECT_EQ(rawEventCount(), 0u);
  const auto bundles = queued();
  // Indices rise by one; each bundle names the one before it.
  EXPECT_EQ(APMPBGetInt32(bundles[1].get(), kBundleIndex), APMPBGetInt32(bundles[0].get(), kBundleIndex) + 1);
  EXPECT_EQ(APMPBGetInt64(bundles[1].get(), kPreviousEndTimestamp), APMPBGetInt64(bundles[0].get(), kEndTimestamp));
  EXPECT_EQ(APMPBGetInt64(bundles[2].get(), kStartTimestamp), static_cast<int64_t>((kHour + 3) * 1000));
  EXPECT_EQ(APMPBGetInt64(bundles[2].get(), kEndTimestamp), static_cast<int64_t>((kHour + 4) * 1000));
  // No raw events left: the call commits and answers NO.
  EXPECT_FALSE(bundleOnce());
}

// The hour index was computed in 32 bits: seconds past 2038 overflowed and
// put events of different hours into one bundle.
TEST_F(BundlingTest, TimesPastThe32BitRangeBundleByHour) {
  constexpr double kLate = 3'000'000'000;  // 2065
  insertRaw("A", "first", kLate);
  insertRaw("A", "same_hour", kLate + 10);
  insertRaw("A", "two_hours_on", kLate + 7200);
  EXPECT_EQ(bundleAll(), 2);
  EXPECT_EQ(layout(), (std::vector<std::string>{"A: first same_hour", "A: two_hours_on"}));
}

TEST_F(BundlingTest, CountAndByteLimitsCutBundlesAndTheFirstEventAlwaysGoes) {
  for (int i = 0; i < 1001; ++i) insertRaw("A", "e", kHour + 1);
  EXPECT_EQ(bundleAll(), 2);
  auto bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(eventsOf(*bundles[0]).size(), 1000u);
  EXPECT_EQ(eventsOf(*bundles[1]).size(), 1u);

  // Each event's message is a little over 300 bytes: three fit under 1000.
  const std::string text(290, 'x');
  const struct {
    const char* limit;
    std::vector<size_t> sizes;
  } cases[] = {{"1000", {3, 2}}, {"100", {1, 1, 1, 1, 1}}, {"0", {1, 1, 1, 1, 1}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    applyConfig({{"measurement.upload.max_batch_size", c.limit}});
    onWorker([](APMMeasurement& engine) {
      engine.database()->sqliteStore()->deleteAllRecordsFromTableWithName(kAPMQueueTableName, nullptr);
    });
    for (int i = 0; i < 5; ++i) insertRaw("A", "_big", kHour + 1, {{"_text", text}});
    bundleAll();
    std::vector<size_t> sizes;
    for (const auto& bundle : queued()) sizes.push_back(eventsOf(*bundle).size());
    // An oversize first event, or a limit of 0, no longer stalls bundling.
    EXPECT_EQ(sizes, c.sizes);
    EXPECT_EQ(rawEventCount(), 0u);
  }
}

// A head row that did not decode made every call roll back: bundling never
// got past it.
TEST_F(BundlingTest, AnUndecodableHeadRowIsDeletedAndBundlingGoesOn) {
  insertRaw("A", "damaged", kHour + 1);
  insertRaw("A", "fine", kHour + 2);
  onWorker([](APMMeasurement& engine) {
    const auto first = engine.database()->sqliteStore()->recordsForQuery("SELECT MIN(rowid) AS id FROM raw_events", {},
                                                                        nullptr);
    ASSERT_TRUE(engine.database()->sqliteStore()->updateRecord({{"data", os::Value(os::Data::fromString("\xff\x01"))}},
                                                              kAPMRawEventsTableName, "rowid",
                                                              first->front().at("id"), nullptr));
  });
  EXPECT_TRUE(bundleOnce());
  EXPECT_EQ(count(kAPMBundlingCodeFilterFailed), 1);
  EXPECT_EQ(bundleAll(), 1);
  EXPECT_EQ(layout(), std::vector<std::string>{"A: fine"});
}

TEST_F(BundlingTest, RejectedAndSampledAwayEventsLeaveNoBundle) {
  applyConfig({{"measurement.upload.blacklist_public", "1"}});
  insertRaw("A", "blocked", kHour + 1);
  EXPECT_FALSE(bundleOnce());  // all rejected: rows gone, NO
  EXPECT_EQ(rawEventCount(), 0u);
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(count(kAPMBundlingCodeRejectedAll), 1);
}

TEST_F(BundlingTest, RealtimeDailyLimitsAtBundling) {
  for (int i = 0; i < 11; ++i) insertRaw("A", "rt", kHour + 1, {{"_r", int64(1)}});
  for (const char* name : {"_iap", "_f", "_fx", "_dcu", "_dcu"}) insertRaw("A", name, kHour + 1, {{"_r", int64(1)}});
  EXPECT_EQ(bundleAll(), 1);
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  std::vector<std::string> realtime;
  for (const auto& event : eventsOf(*bundles[0])) {
    const auto parameters = parametersOf(*event);
    realtime.push_back(APMPBGetString(event.get(), 1).value_or("") + (parameters.contains("_r") ? "+" : "-"));
  }
  EXPECT_EQ(realtime, (std::vector<std::string>{"rt+", "rt+", "rt+", "rt+", "rt+", "rt+", "rt+", "rt+", "rt+",
                                                "rt+", "rt-", "_iap+", "_f+", "_fx+", "_dcu+", "_dcu-"}));
  const auto counts = *engine()->database()->dailyCounts(nullptr);
  EXPECT_EQ(counts.realtimeCount(), 10);
  EXPECT_EQ(counts.dcuRealtimeCount(), 1);
}

TEST_F(BundlingTest, ASessionStartResetsSessionEngagementBeforeAddingTheBundles) {
  onWorker([](APMMeasurement& engine) {
    for (const auto& [name, value] : {std::pair{"_lte", 1000}, std::pair{"_se", 500}}) {
      engine.database()->updateUserAttribute(
          APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(value), now()), nullptr);
    }
  });
  insertRaw("A", "_s", kHour + 1);
  insertRaw("A", "_e", kHour + 2, {{"_et", int64(200)}});
  insertRaw("A", "_e", kHour + 3, {{"_et", int64(50)}, {"_fr", int64(1)}});  // counts nothing
  EXPECT_EQ(bundleAll(), 1);
  EXPECT_EQ(userAttribute("_lte"), int64(1200));
  EXPECT_EQ(userAttribute("_se"), int64(200));
  os::Dictionary inBundle;
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  const auto attributes = APMPBGetArray<APMPBUserAttribute>(bundles[0].get(), kUserAttributes)
                              .value_or(std::vector<std::shared_ptr<APMPBUserAttribute>>{});
  for (const auto& attribute : attributes) {
    inBundle[APMPBGetString(attribute.get(), kAPMUserAttributeNameField).value_or("")] =
        int64(APMPBGetInt64(attribute.get(), kAPMUserAttributeIntValueField));
  }
  EXPECT_EQ(inBundle.at("_lte"), int64(1200));
  EXPECT_EQ(inBundle.at("_se"), int64(200));
}

TEST_F(BundlingTest, TheBundlesEventsAreEvaluatedForAudiencesAndTheirResultsGoIntoIt) {
  onWorker([](APMMeasurement& engine) {
    ASSERT_TRUE(engine.audience()->updateAudiences(
        {apm_audience_test::audience(4, {apm_audience_test::eventFilter(0, "reading")})}));
  });
  insertRaw("A", "reading", kHour + 1);
  EXPECT_EQ(bundleAll(), 1);
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  const auto results = APMPBGetArray<APMPBAudienceLeafFilterResult>(bundles[0].get(), kAudienceResults)
                           .value_or(std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>>{});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(APMPBGetInt32(results[0].get(), 0), 4);
  EXPECT_TRUE(APMPBGetBool(results[0].get(), 3));  // the audience's first report
}

// The campaign buffer was stored after the metadata was built, so the "_cmp"
// event's own metadata lacked field 52.
TEST_F(BundlingTest, TheCampaignEventsOwnMetadataCarriesTheCampaign) {
  onWorker([](APMMeasurement& engine) {
    engine.handleEventOnWorkerQueue(APMEvent::initWithOrigin(
        "auto", false, "_cmp", kHour + 1, 0, os::Dictionary{{"dvclid", "click-1"}, {"dvad_source", "mail"}}));
  });
  EXPECT_EQ(bundleAll(), 1);
  const auto bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  const auto campaign = APMPBGetMessage<APMPBAdCampaignInfo>(bundles[0].get(), kAdCampaignInfo);
  ASSERT_NE(campaign, nullptr);
  EXPECT_EQ(APMPBGetString(campaign.get(), 0), "click-1");
  EXPECT_EQ(APMPBGetString(campaign.get(), 2), "mail");
  EXPECT_EQ(APMPBGetInt64(campaign.get(), 3), static_cast<int64_t>((kHour + 1) * 1000));
}

// Every write bundling makes fails in turn: the store is left as it was, the
// call answers NO, and the next call succeeds.
TEST_F(BundlingTest, AFailureAtAnyWriteLeavesTheStoreAsItWas) {
  // A later launch over the same sandbox opens the store through the VFS.
  apm_test::SqliteFaultVFS vfs;
  APMAnalytics::TEST_reset();
  startEmpty();
  auto& f = *this;
  f.onWorker([](APMMeasurement& engine) {
    engine.database()->updateUserAttribute(
        APMUserAttribute::initWithOrigin("auto", "_lte", APMValue::initWithInt64(5), now()), nullptr);
  });
  f.insertRaw("A", "_s", kHour + 1);
  f.insertRaw("A", "_e", kHour + 2, {{"_et", int64(20)}});
  f.insertRaw("A", "purchase", kHour + 3, {{"_c", int64(1)}, {"_r", int64(1)}});
  const auto dump = [&] {
    os::Array all;
    f.onWorker([&](APMMeasurement& engine) {
      for (const char* table : {kAPMRawEventsTableName, kAPMRawEventsMetadataTableName, kAPMEventsTableName,
                                kAPMAppMetadataTableName, kAPMUserAttributesTableName, kAPMQueueTableName}) {
        const auto rows = engine.database()->sqliteStore()->recordsForQuery(
            std::string("SELECT rowid, * FROM ") + table + " ORDER BY rowid", {}, nullptr);
        for (const auto& row : rows.value_or(std::vector<os::Dictionary>{})) all.emplace_back(row);
      }
    });
    return all;
  };
  const os::Array before = dump();
  int failures = 0;
  for (int n = 1;; ++n) {
    vfs.failNthWriteOrSync(n, 1, "devuvo-app-measurement");
    const bool answered = f.bundleOnce();
    vfs.disarm();
    if (!vfs.hasFailed()) {
      EXPECT_TRUE(answered);
      break;
    }
    ++failures;
    EXPECT_FALSE(answered) << n;
    const os::Array after = dump();
    ASSERT_EQ(after.size(), before.size()) << n;
    for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i], before[i]) << n << " row " << i;
  }
  EXPECT_GT(failures, 0);
  EXPECT_EQ(f.queued().size(), 1u);
  EXPECT_EQ(f.rawEventCount(), 0u);
  APMAnalytics::TEST_reset();  // closes the store before the VFS goes
}

// ---- Bundle operations ----

TEST_F(BundlingTest, ShortConsentSignalsDenyNothingAndAnEmptyOneRemovesTheField) {
  auto identity = engine()->identity();
  const struct {
    const char* signals;
    std::optional<std::string> field40;
    bool keepsInstanceID;
  } cases[] = {{"", std::nullopt, true}, {"G1", "old", true}, {"G100", "G100", false}, {"G111", "G111", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signals);
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    APMPBSetString(bundle.get(), kConsentSignals, "old");
    APMPBSetString(bundle.get(), kAppInstanceID, "instance");
    onWorker([&](APMMeasurement&) { APMBundleApplyConsentAndIdentifiers(*bundle, c.signals, false, *identity, true); });
    EXPECT_EQ(APMPBGetString(bundle.get(), kConsentSignals), c.field40);
    EXPECT_EQ(APMPBHasField(bundle.get(), kAppInstanceID), c.keepsInstanceID);
  }
}

TEST_F(BundlingTest, OverwriteNoKeepsAnExistingNPAAttribute) {
  const auto npa = [](int64_t value) {
    return APMUserAttribute::initWithOrigin("app", "_npa", APMValue::initWithInt64(value), 1)->protoUserAttribute();
  };
  auto config = engine()->remoteConfigInstance();
  for (const bool overwrite : {false, true}) {
    auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    APMPBSetArray(bundle.get(), kUserAttributes, std::vector{npa(0)});
    APMBundleApplyDMAFields(*bundle, "diag", false, npa(1), *config, overwrite);
    const auto kept = APMBundleNPAUserAttribute(*bundle);
    EXPECT_EQ(APMPBGetInt64(kept.get(), kAPMUserAttributeIntValueField), overwrite ? 1 : 0);
    EXPECT_EQ(APMPBGetArray<APMPBUserAttribute>(bundle.get(), kUserAttributes)->size(), 1u);
  }
  auto a = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto b = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  EXPECT_TRUE(APMBundlesShareConsentState(a.get(), b.get()));
  APMPBSetArray(b.get(), kUserAttributes, std::vector{npa(1)});
  EXPECT_FALSE(APMBundlesShareConsentState(a.get(), b.get()));
  EXPECT_FALSE(APMBundlesShareConsentState(a.get(), nullptr));
}

}  // namespace
