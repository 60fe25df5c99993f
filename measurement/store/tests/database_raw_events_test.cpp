#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/tests/database_test_support.h"

namespace {

using apm_test::DatabaseTest;
using RawEvents = std::vector<std::shared_ptr<APMRawEventData>>;

constexpr double kNow = 1'700'000'000;

class APMRawEventsTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    clock_->setWallTime(kNow);
  }

  static bool keepAll(uint32_t, const os::Dictionary&) { return true; }

  RawEvents read(int64_t fingerprint, const APMRowFilter& filter = keepAll, os::Error* error = nullptr) {
    os::Error local;
    auto events = database_->rawEventsWithMetadataFingerprint(fingerprint, error ? error : &local, filter);
    if (error == nullptr) {
      EXPECT_TRUE(events) << local.description();
    }
    return events.value_or(RawEvents{});
  }

  // Writes `count` events of the fingerprint in one transaction.
  void insertEvents(int count, int64_t fingerprint, double firstTimestamp = kNow) {
    ASSERT_TRUE(database_->performTransaction([&] {
      for (int i = 0; i < count; ++i) {
        if (!database_->insertRawEvent(event("e" + std::to_string(i), firstTimestamp + i), fingerprint, false,
                                       nullptr)) {
          return false;
        }
      }
      return true;
    }));
  }

  // A raw_events row holding the event message and columns as given.
  static os::Dictionary row(const std::shared_ptr<APMPBEvent>& message) {
    return {{"rowid", os::Value(1)},
            {"name", os::Value("e")},
            {"timestamp", os::Value(kNow)},
            {"metadata_fingerprint", os::Value(5)},
            {"data", os::Value(*message->protoBuffer())}};
  }
  static std::shared_ptr<APMPBEventParam> param(std::string_view name) {
    auto param = APMPBEventParam::initWithMessageInfo(nullptr);
    APMPBSetString(param.get(), 0, name);
    return param;
  }
  static std::shared_ptr<APMPBEvent> message(const std::vector<std::shared_ptr<APMPBEventParam>>& params) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    APMPBSetArray(event.get(), 0, params);
    return event;
  }
};

TEST_F(APMRawEventsTest, MetadataIsStoredOncePerContentUpToTheCap) {
  auto first = metadata("com.example.meter");
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(first, nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("com.example.meter"), nullptr));
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTableName), 1);
  const int64_t fingerprint = apm_64LSBMD5(*first->protoBuffer());
  auto stored = database_->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->protoBuffer(), first->protoBuffer());
  os::Error error;
  EXPECT_FALSE(database_->queryRawEventsMetadataWithFingerprint(fingerprint + 1, &error));
  EXPECT_TRUE(error.domain().empty());

  // Fill the table to its cap: a new content is refused, a stored one is
  // still accepted.
  execOnFile(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 99999) "
      "INSERT INTO raw_events_metadata SELECT i, x'0801' FROM n");
  ASSERT_EQ(rowCount(kAPMRawEventsMetadataTableName), kAPMRawEventsMetadataLimit);
  EXPECT_FALSE(database_->insertIfNotExistsRawEventMetadata(metadata("com.example.other"), &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(description(error), "Failed to insert data type. Table is full");
  EXPECT_TRUE(database_->insertIfNotExistsRawEventMetadata(first, nullptr));

  EXPECT_FALSE(database_->insertIfNotExistsRawEventMetadata(nullptr, &error));
  EXPECT_EQ(description(error), "Received empty measurement bundle metadata for getting dictionary representation");
}

TEST_F(APMRawEventsTest, AnEventIsStoredWithoutItsNameAndReadBackWhole) {
  os::Array items = {os::Value(os::Dictionary{{"item_id", os::Value("sku-1")}, {"price", os::Value(9.5)}}),
                     os::Value(os::Dictionary{{"item_id", os::Value("sku-2")}, {"quantity", os::Value(3)}})};
  APMEventParameters parameters = {
      {"value", APMValue::initWithInt64(5)},
      {"price", APMValue::initWithDouble(12.25)},
      {"currency", *APMValue::initWithString("EUR")},
      {"items", *APMValue::initWithArray(os::Value(items))},
  };
  auto written = APMEvent::initWithOrigin("app", true, "purchase", kNow + 0.5, kNow - 60, parameters);
  ASSERT_TRUE(database_->insertRawEvent(written, -77, true, nullptr));

  const auto stored = query("SELECT name, timestamp, data, is_realtime FROM raw_events");
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].at("name"), os::Value("purchase"));
  EXPECT_EQ(stored[0].at("timestamp"), os::Value(kNow + 0.5));
  EXPECT_EQ(stored[0].at("is_realtime"), os::Value(1));
  auto storedMessage = APMPBEvent::initWithBuffer(*stored[0].at("data").data());
  ASSERT_TRUE(storedMessage);
  EXPECT_FALSE(APMPBHasField(storedMessage.get(), 1));

  const RawEvents events = read(-77);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->rowID(), 1);
  EXPECT_EQ(events[0]->metadataFingerprint(), -77);
  const APMEvent& event = *events[0]->rawEvent();
  EXPECT_EQ(event.name(), "purchase");
  EXPECT_EQ(event.origin(), "app");
  EXPECT_EQ(event.timestamp(), kNow + 0.5);
  EXPECT_EQ(event.previousTimestamp(), kNow - 60);
  EXPECT_EQ(event.parameters(), written->parameters());
  const auto readItems = event.parameters().at("items").arrayValue();
  ASSERT_TRUE(readItems);
  EXPECT_EQ(*readItems, items);
}

TEST_F(APMRawEventsTest, TrimmingKeepsTheNewestRowsBelowTheConfiguredMaximum) {
  services_->settings().setMaxEventsStored(1000);
  insertEvents(1200, 1);
  os::Error error;
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 201) << error.description();
  EXPECT_EQ(rowCount(kAPMRawEventsTableName), 999);
  EXPECT_EQ(query("SELECT MIN(rowid) AS first FROM raw_events")[0].at("first"), os::Value(202));
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 0);
}

TEST_F(APMRawEventsTest, TheBundlingPassFindsReadsAndDeletesTheOldestFingerprint) {
  os::Error error;
  EXPECT_FALSE(database_->nextMetadataFingerprintToProcess(&error));
  EXPECT_TRUE(error.domain().empty());
  EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), true);
  EXPECT_FALSE(database_->queryLatestRawEventTime(&error));
  EXPECT_TRUE(error.domain().empty());

  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("a"), nullptr));
  const int64_t a = apm_64LSBMD5(*metadata("a")->protoBuffer());
  insertEvents(3, a);
  insertEvents(2, 99, kNow + 10);
  ASSERT_TRUE(database_->insertRawEvent(event("rt", kNow + 20), 99, true, nullptr));

  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(nullptr), a);
  EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), false);
  EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), kNow + 20);
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(nullptr), true);

  // The engine's filter stops before the third row.
  const RawEvents firstTwo = read(a, [](uint32_t index, const os::Dictionary&) { return index < 2; });
  ASSERT_EQ(firstTwo.size(), 2u);
  EXPECT_EQ(firstTwo[0]->rawEvent()->name(), "e0");
  EXPECT_EQ(firstTwo[1]->rawEvent()->name(), "e1");

  EXPECT_FALSE(database_->rawEventsWithMetadataFingerprint(a, &error, nullptr));
  EXPECT_EQ(description(error), "Received empty filter for selecting records");

  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(firstTwo[1]->rowID(), nullptr));
  EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(a, nullptr), true);
  ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID(3, nullptr));
  EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(a, nullptr), false);
  ASSERT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(a, nullptr));
  EXPECT_EQ(rowCount(kAPMRawEventsMetadataTableName), 0);
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(nullptr), 99);
}

TEST_F(APMRawEventsTest, ADamagedRowIsSkippedUnlessNoRowReads) {
  insertEvents(3, 5);
  execOnFile("UPDATE raw_events SET data = x'ff' WHERE rowid = 2");
  RawEvents events = read(5);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]->rowID(), 1);
  EXPECT_EQ(events[1]->rowID(), 3);

  execOnFile("UPDATE raw_events SET data = x'ff'");
  os::Error error;
  EXPECT_FALSE(database_->rawEventsWithMetadataFingerprint(5, &error, keepAll));
  EXPECT_EQ(description(error), "Failed to parse event from data");
}

TEST_F(APMRawEventsTest, RowConversionNamesWhatIsMissingOrUnreadable) {
  auto origin = param("_o");
  APMPBSetString(origin.get(), 1, "app");
  auto originNumber = param("_o");
  APMPBSetInt64(originNumber.get(), 2, 1);
  auto valueless = param("flag");
  auto unnamed = APMPBEventParam::initWithMessageInfo(nullptr);
  APMPBSetInt64(unnamed.get(), 2, 1);
  auto good = row(message({origin}));

  const struct {
    const char* name;
    std::function<os::Dictionary()> row;
    int64_t code;
    const char* description;
  } cases[] = {
      {"empty row", [] { return os::Dictionary(); }, 1, "Received empty dictionary for getting raw event data"},
      {"no row ID", [&] { auto r = good; r.erase("rowid"); return r; }, 1,
       "Unable to find row ID in the database dictionary"},
      {"no data", [&] { auto r = good; r.erase("data"); return r; }, 1,
       "Unable to find event data in the database dictionary"},
      {"no fingerprint", [&] { auto r = good; r["metadata_fingerprint"] = os::Value(); return r; }, 1,
       "Unable to find event metadata in the database dictionary"},
      {"undecodable data", [&] { auto r = good; r["data"] = os::Value(os::Data::fromString("\xff")); return r; }, 3,
       "Failed to parse event from data"},
      {"origin not a string", [&] { return row(message({originNumber})); }, 2,
       "Cannot create an event from database. Origin parameter is not a string"},
      {"no origin", [&] { return row(message({})); }, 2,
       "Cannot create an event from database. Missing origin parameter"},
      {"parameter without a value", [&] { return row(message({origin, valueless})); }, 2,
       "Failed to parse event params from data"},
      {"parameter without a name", [&] { return row(message({origin, unnamed})); }, 2,
       "Failed to parse event params from data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    os::Error error;
    EXPECT_FALSE(APMDatabase::rawEventDataFromDictionary(c.row(), &error));
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(description(error), c.description);
  }
  auto read = APMDatabase::rawEventDataFromDictionary(good, nullptr);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->rawEvent()->origin(), "app");
}

TEST_F(APMRawEventsTest, StaleEventsGoInThePastAndTheFutureWithTheMetadataLeftUnused) {
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("old"), nullptr));
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata("kept"), nullptr));
  const int64_t old = apm_64LSBMD5(*metadata("old")->protoBuffer());
  const int64_t kept = apm_64LSBMD5(*metadata("kept")->protoBuffer());
  ASSERT_TRUE(database_->insertRawEvent(event("past", kNow - 1000), old, false, nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("future", kNow + 1000), kept, false, nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("recent", kNow - 10), kept, false, nullptr));

  os::Error error;
  EXPECT_FALSE(database_->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(description(error), "Cannot delete stale raw events given negative time period");
  EXPECT_EQ(rowCount(kAPMRawEventsTableName), 3);

  ASSERT_TRUE(database_->deleteStaleRawEventsDataOlderThanMaxAge(100, &error)) << error.description();
  const auto names = query("SELECT name FROM raw_events");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0].at("name"), os::Value("recent"));
  EXPECT_FALSE(database_->queryRawEventsMetadataWithFingerprint(old, nullptr));
  EXPECT_TRUE(database_->queryRawEventsMetadataWithFingerprint(kept, nullptr));
}

}  // namespace
