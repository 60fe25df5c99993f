#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/store/database.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "measurement/store/tests/database_test_support.h"

namespace {

using apm_test::DatabaseTest;

class APMEventAggregatesTest : public DatabaseTest {
 protected:
  static std::shared_ptr<APMEventAggregates> aggregates(const std::string& name, int32_t lifetimeCount,
                                                        double lastFire = 1000) {
    return std::make_shared<APMEventAggregates>(name, lifetimeCount, 2, 3, lastFire);
  }
  void store(const std::shared_ptr<APMEventAggregates>& record) {
    os::Error error;
    ASSERT_TRUE(database_->updateEventAggregates(record, &error)) << error.description();
  }
  // Every row of the table, by name, as text.
  std::vector<std::string> rows(std::string_view table) {
    std::vector<std::string> result;
    for (const auto& row : query(std::string("SELECT * FROM ") + std::string(table) + " ORDER BY name")) {
      result.push_back(os::Value(row).description());
    }
    return result;
  }
};

TEST_F(APMEventAggregatesTest, RecordsRoundTripAndOlderRowsReadTheDefaults) {
  auto full = aggregates("purchase", 7);
  full->setLastBundledTimestamp(1500.5);
  full->setLastSampledComplexEventID(-9'000'000'000);
  full->setLastSamplingRate(10);
  full->setLastExemptFromSampling(true);
  full->setLastBundledDay(19'000);
  store(full);
  store(aggregates("_f", 1));
  store(aggregates("_s", 4));

  auto read = database_->eventAggregatesWithName("purchase", nullptr);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, *full);
  EXPECT_EQ(database_->publicEventCount(nullptr), 1);
  auto all = database_->allEventAggregates(nullptr);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 3u);
  EXPECT_EQ((*all)[0]->name(), "purchase");  // rowid order

  ASSERT_TRUE(database_->clearCurrentSessionCounts(nullptr));
  EXPECT_EQ(database_->eventAggregatesWithName("_s", nullptr)->currentSessionCount(), 0);

  // A row from before the add-on columns existed.
  execOnFile("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
             "VALUES ('old', 5, 1, 900.0)");
  auto old = database_->eventAggregatesWithName("old", nullptr);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->lifetimeCount(), 5);
  EXPECT_EQ(old->lastSamplingRate(), 1);
  EXPECT_FALSE(old->lastExemptFromSampling());
  EXPECT_EQ(old->lastBundledDay(), 0);
  EXPECT_EQ(old->currentSessionCount(), 0);
  EXPECT_EQ(old->lastBundledTimestamp(), 0.0);
  EXPECT_FALSE(old->lastSampledComplexEventID());

  os::Error error;
  EXPECT_FALSE(database_->eventAggregatesWithName("unknown", &error));
  EXPECT_TRUE(error.domain().empty());
  EXPECT_FALSE(database_->eventAggregatesSnapshotWithName("purchase", &error));
  EXPECT_TRUE(error.domain().empty());
}

TEST_F(APMEventAggregatesTest, RefusedRecordsAndAFullTable) {
  os::Error error;
  EXPECT_FALSE(database_->updateEventAggregates(nullptr, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(description(error), "Received empty event aggregates object for getting dictionary representation");
  EXPECT_FALSE(database_->updateEventAggregates(aggregates("", 1), &error));
  EXPECT_EQ(error.code(), 1);

  execOnFile(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
      "INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
      "SELECT 'e' || i, 1, 0, 0 FROM n");
  EXPECT_FALSE(database_->updateEventAggregates(aggregates("new", 1), &error));
  EXPECT_EQ(description(error), "Failed to insert data type. Table is full");
  store(aggregates("e1", 2));  // a stored name is still updated
}

TEST_F(APMEventAggregatesTest, RestoringWithoutOrFromAnEmptySnapshotChangesNothing) {
  store(aggregates("purchase", 3));
  const auto before = rows(kAPMEventsTableName);
  os::Error error;
  EXPECT_TRUE(database_->restoreFromEventsSnapshotTable(&error)) << error.description();
  EXPECT_EQ(rows(kAPMEventsTableName), before);

  ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
  ASSERT_TRUE(database_->createEventsSnapshotTable(&error)) << error.description();  // empty
  store(aggregates("purchase", 3));
  EXPECT_TRUE(database_->restoreFromEventsSnapshotTable(&error)) << error.description();
  EXPECT_EQ(rows(kAPMEventsTableName), before);
}

TEST_F(APMEventAggregatesTest, RestoreKeepsAFirstOpenLoggedAfterTheSnapshot) {
  store(aggregates("purchase", 3));
  store(aggregates("_s", 1));
  ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
  const auto snapshot = rows(kAPMEventsSnapshotTableName);
  ASSERT_EQ(snapshot, rows(kAPMEventsTableName));
  EXPECT_EQ(database_->eventAggregatesSnapshotWithName("purchase", nullptr)->lifetimeCount(), 3);

  // Rewritten freely, and "_f" logged meanwhile.
  store(aggregates("purchase", 40));
  store(aggregates("_f", 1, 2000));
  ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
  store(aggregates("_f", 1, 2000));
  store(aggregates("other", 5));

  os::Error error;
  ASSERT_TRUE(database_->restoreFromEventsSnapshotTable(&error)) << error.description();
  auto restored = database_->allEventAggregates(nullptr);
  ASSERT_TRUE(restored);
  std::vector<std::string> names;
  for (const auto& record : *restored) names.push_back(record->name());
  EXPECT_EQ(names, (std::vector<std::string>{"purchase", "_s", "_f"}));
  EXPECT_EQ(database_->eventAggregatesWithName("purchase", nullptr)->lifetimeCount(), 3);
  EXPECT_EQ(*database_->eventAggregatesWithName("_f", nullptr), *aggregates("_f", 1, 2000));
  EXPECT_EQ(rowCount(kAPMEventsSnapshotTableName), 0);
}

// Restoring took the rows out of events before copying the snapshot back and
// emptied the snapshot even when the copy had failed (an error reported only
// when asked for), losing both copies. Each write of the restore fails in
// turn: the restore reports the failure, and the snapshot keeps its rows;
// inside a transaction, as the engine runs it, events is kept as well.
TEST_F(APMEventAggregatesTest, AFailedRestoreNeverLosesTheAggregates) {
  apm_test::SqliteFaultVFS vfs;
  database_.reset();
  database_ = open();  // through the fault VFS
  ASSERT_TRUE(database_);
  for (bool inTransaction : {false, true}) {
    int failures = 0;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << "transaction " << inTransaction << ", write " << n);
      ASSERT_LT(n, 100);
      ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
      store(aggregates("purchase", 3));
      store(aggregates("_s", 1));
      ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
      store(aggregates("purchase", 40));
      const auto events = rows(kAPMEventsTableName);
      const auto snapshot = rows(kAPMEventsSnapshotTableName);

      vfs.failNthWriteOrSync(n, 1, "devuvo-app-measurement");
      bool restored;
      if (inTransaction) {
        restored = database_->performTransaction([&] { return database_->restoreFromEventsSnapshotTable(nullptr); });
      } else {
        restored = database_->restoreFromEventsSnapshotTable(nullptr);
      }
      vfs.disarm();
      if (!vfs.hasFailed()) {
        EXPECT_TRUE(restored);
        EXPECT_EQ(rows(kAPMEventsTableName), snapshot);
        EXPECT_EQ(rowCount(kAPMEventsSnapshotTableName), 0);
        break;
      }
      ++failures;
      EXPECT_FALSE(restored);
      EXPECT_EQ(rows(kAPMEventsSnapshotTableName), snapshot);
      if (inTransaction) {
        EXPECT_EQ(rows(kAPMEventsTableName), events);
      }
    }
    EXPECT_GT(failures, 1);
  }
}

// Each write of taking the snapshot fails in turn: a failure is reported
// whether or not the error was asked for, and events is untouched.
TEST_F(APMEventAggregatesTest, AFailedSnapshotIsReported) {
  apm_test::SqliteFaultVFS vfs;
  database_.reset();
  database_ = open();
  ASSERT_TRUE(database_);
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 100);
    ASSERT_TRUE(database_->deleteAllEventAggregates(nullptr));
    store(aggregates("purchase", 3));
    ASSERT_TRUE(database_->createEventsSnapshotTable(nullptr));
    store(aggregates("purchase", 4));
    const auto events = rows(kAPMEventsTableName);
    vfs.failNthWriteOrSync(n, 1, "devuvo-app-measurement");
    const bool taken = database_->createEventsSnapshotTable(nullptr);
    vfs.disarm();
    if (!vfs.hasFailed()) {
      EXPECT_TRUE(taken);
      EXPECT_EQ(rows(kAPMEventsSnapshotTableName), events);
      break;
    }
    EXPECT_FALSE(taken);
    EXPECT_EQ(rows(kAPMEventsTableName), events);
  }
}

}  // namespace
