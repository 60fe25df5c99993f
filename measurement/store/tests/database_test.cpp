#include "measurement/store/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <utility>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "measurement/store/tests/database_test_support.h"
#include "os/foundation/file_manager.h"

namespace {

using apm_test::DatabaseTest;

// Records the text of every statement run on connections opened while it
// lives.
class StatementRecorder {
 public:
  StatementRecorder() {
    instance() = this;
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(&attach));
  }
  ~StatementRecorder() {
    sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&attach));
    instance() = nullptr;
  }
  std::vector<std::string> statements() {
    std::lock_guard lock(mutex_);
    return statements_;
  }

 private:
  static StatementRecorder*& instance() {
    static StatementRecorder* recorder = nullptr;
    return recorder;
  }
  static int attach(sqlite3* db, char**, const sqlite3_api_routines*) {
    sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &trace, nullptr);
    return SQLITE_OK;
  }
  static int trace(unsigned, void*, void*, void* text) {
    if (StatementRecorder* recorder = instance()) {
      std::lock_guard lock(recorder->mutex_);
      recorder->statements_.emplace_back(static_cast<const char*>(text));
    }
    return 0;
  }

  std::mutex mutex_;
  std::vector<std::string> statements_;
};

// Table -> column -> declared type, as the file holds them.
std::map<std::string, std::map<std::string, std::string>> layout(APMSqliteStore& store) {
  std::map<std::string, std::map<std::string, std::string>> tables;
  auto names = store.recordsForQuery(
      "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'", {}, nullptr);
  for (const auto& row : names.value_or(std::vector<os::Dictionary>{})) {
    const std::string table = row.at("name").stringValue();
    for (const auto& [column, type] : store.columnInfoForTableWithName(table, nullptr).value_or(
             std::map<std::string, std::string, std::less<>>{})) {
      tables[table][column] = type;
    }
  }
  return tables;
}

using APMDatabaseFileTest = DatabaseTest;

TEST_F(APMDatabaseFileTest, ANewFileHoldsTheThirteenTablesAndOneMetadataRow) {
  database_.reset();
  os::FileManager::defaultManager().removeItemAtPath(path_);
  StatementRecorder recorder;
  database_ = open();
  ASSERT_TRUE(database_);
  EXPECT_EQ(database_->databasePath(), path_);
  EXPECT_TRUE(path_.ends_with("/Library/Application Support/Devuvo/Measurement/devuvo-app-measurement.sql")) << path_;

  const auto statements = recorder.statements();
  EXPECT_NE(std::find(statements.begin(), statements.end(),
                      "CREATE TABLE IF NOT EXISTS app_metadata ( last_bundle_index INTEGER NOT NULL, "
                      "last_bundle_end_timestamp REAL NOT NULL);"),
            statements.end());
  EXPECT_NE(std::find(statements.begin(), statements.end(),
                      "CREATE TABLE IF NOT EXISTS event_filters ( audience_id INTEGER NOT NULL, filter_id INTEGER NOT "
                      "NULL, event_name TEXT NOT NULL, data BLOB NOT NULL, PRIMARY KEY (audience_id, filter_id));"),
            statements.end());

  using Columns = std::map<std::string, std::string>;
  const std::map<std::string, Columns> expected = {
      {"app_metadata",
       {{"last_bundle_index", "INTEGER"}, {"last_bundle_end_timestamp", "REAL"}, {"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"}, {"daily_conversions_count", "INTEGER"}, {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"}, {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"}, {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"}, {"daily_real_time_dcu_events_count", "INTEGER"}}},
      {"raw_events_metadata", {{"metadata_fingerprint", "INTEGER"}, {"metadata", "BLOB"}}},
      {"raw_events",
       {{"name", "TEXT"}, {"timestamp", "REAL"}, {"metadata_fingerprint", "INTEGER"}, {"data", "BLOB"},
        {"is_realtime", "INTEGER"}}},
      {"events",
       {{"name", "TEXT"}, {"lifetime_count", "INTEGER"}, {"current_bundle_count", "INTEGER"},
        {"last_fire_timestamp", "REAL"}, {"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"}, {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"}, {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}}},
      {"user_attributes", {{"name", "TEXT"}, {"set_timestamp", "REAL"}, {"value", "BLOB"}, {"origin", "TEXT"}}},
      {"queue",
       {{"data", "BLOB"}, {"bundle_end_timestamp", "REAL"}, {"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}}},
      {"event_filters",
       {{"audience_id", "INTEGER"}, {"filter_id", "INTEGER"}, {"event_name", "TEXT"}, {"data", "BLOB"},
        {"session_scoped", "INTEGER"}}},
      {"property_filters",
       {{"audience_id", "INTEGER"}, {"filter_id", "INTEGER"}, {"property_name", "TEXT"}, {"data", "BLOB"},
        {"session_scoped", "INTEGER"}}},
      {"audience_filter_values", {{"audience_id", "INTEGER"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}}},
      {"purchase_transactions", {{"fingerprint", "TEXT"}}},
      {"subscriptions", {{"subscription_id", "TEXT"}}},
      {"conditional_properties",
       {{"name", "TEXT"}, {"origin", "TEXT"}, {"value", "BLOB"}, {"creation_timestamp", "REAL"}, {"active", "INTEGER"},
        {"trigger_timeout", "REAL"}, {"triggered_timestamp", "REAL"}, {"time_to_live", "REAL"},
        {"trigger_event_name", "TEXT"}, {"timed_out_event", "BLOB"}, {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}}},
      {"main_event_params", {{"event_id", "INTEGER"}, {"children_to_process", "INTEGER"}, {"main_event", "BLOB"}}},
  };
  EXPECT_EQ(layout(*database_->sqliteStore()), expected);  // and no events_snapshot

  const auto metadata = query("SELECT rowid, * FROM app_metadata");
  ASSERT_EQ(metadata.size(), 1u);
  EXPECT_EQ(metadata[0].at("rowid"), os::Value(1));
  EXPECT_EQ(metadata[0].at("last_bundle_index"), os::Value(0));
  EXPECT_EQ(metadata[0].at("day"), os::Value());
}

TEST_F(APMDatabaseFileTest, AnOlderFileIsBroughtToTheSchemaWithItsRowsKept) {
  database_.reset();
  os::FileManager::defaultManager().removeItemAtPath(path_);
  execOnFile(
      "CREATE TABLE raw_events ( name TEXT NOT NULL, timestamp INTEGER NOT NULL, metadata_fingerprint INTEGER NOT "
      "NULL, data BLOB NOT NULL);"
      "INSERT INTO raw_events VALUES ('_s', 1700000000, 7, x'0a');"
      "CREATE TABLE app_metadata ( last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp REAL NOT NULL);"
      "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) VALUES (1, 41, 1699999999.5);");
  database_ = open();
  ASSERT_TRUE(database_);

  EXPECT_EQ(database_->sqliteStore()->columnInfoForTableWithName("raw_events", nullptr)->at("timestamp"), "REAL");
  const auto events = query("SELECT name, timestamp, metadata_fingerprint, data, is_realtime FROM raw_events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("name"), os::Value("_s"));
  EXPECT_EQ(events[0].at("timestamp"), os::Value(1'700'000'000));
  EXPECT_EQ(events[0].at("metadata_fingerprint"), os::Value(7));
  EXPECT_EQ(events[0].at("is_realtime"), os::Value());
  // The metadata row was kept, not replaced; its new columns read NULL.
  auto metadata = database_->queryAppMetadata(nullptr);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(*metadata, APMAppMetadata(41, 0.0, 1699999999.5));
  EXPECT_EQ(query("SELECT daily_events_count FROM app_metadata")[0].at("daily_events_count"), os::Value());
}

TEST_F(APMDatabaseFileTest, AFullCappedTableRefusesANewKeyButUpdatesAPresentOne) {
  auto row = [](int i, int count) {
    return os::Dictionary{{"name", os::Value("event_" + std::to_string(i))},
                          {"lifetime_count", os::Value(count)},
                          {"current_bundle_count", os::Value(0)},
                          {"last_fire_timestamp", os::Value(1.5)}};
  };
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < kAPMEventsLimit; ++i) {
      os::Error error;
      if (!database_->upsertDataType(row(i, 1), kAPMEventsTableName, "name", os::Value("event_" + std::to_string(i)),
                                     kAPMEventsLimit, &error)) {
        ADD_FAILURE() << i << ": " << error.description();
        return false;
      }
    }
    return true;
  }));

  os::Error error;
  EXPECT_FALSE(database_->upsertDataType(row(1000, 1), kAPMEventsTableName, "name", os::Value("event_1000"),
                                         kAPMEventsLimit, &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(description(error), "Failed to insert data type. Table is full");

  EXPECT_TRUE(database_->upsertDataType(row(500, 9), kAPMEventsTableName, "name", os::Value("event_500"),
                                        kAPMEventsLimit, &error))
      << error.description();
  EXPECT_EQ(rowCount(kAPMEventsTableName), kAPMEventsLimit);
  EXPECT_EQ(query("SELECT lifetime_count FROM events WHERE name = 'event_500'")[0].at("lifetime_count"), os::Value(9));
}

// Every check stops its operation with its error; with no error asked for,
// the operation still stops (nothing is written).
TEST_F(APMDatabaseFileTest, GenericRowOperationsRefuseBadArgumentsWithTheirErrors) {
  const APMCreateDataTypeBlock<os::Dictionary> keep = [](const os::Dictionary& row, os::Error*) {
    return std::make_shared<os::Dictionary>(row);
  };
  const os::Dictionary row = {{"fingerprint", os::Value("abc")}};
  struct Case {
    const char* name;
    std::function<bool(os::Error*)> run;
    int64_t code;
    const char* description;
  };
  const std::vector<Case> cases = {
      {"all rows without a block",
       [&](os::Error* e) { return database_->allDataTypesFromTableWithName<os::Dictionary>("events", -1, e, nullptr).has_value(); },
       1, "Received nil block to get all data types"},
      {"keyed read without a table",
       [&](os::Error* e) { return database_->dataTypesFromTableWithName("", "name", os::Value("x"), e, keep).has_value(); },
       1, "Received empty table name to create data type from table"},
      {"keyed read without a column",
       [&](os::Error* e) { return database_->dataTypesFromTableWithName("events", "", os::Value("x"), e, keep).has_value(); },
       1, "Received empty column name to create data type from table"},
      {"keyed read without a value",
       [&](os::Error* e) { return database_->dataTypesFromTableWithName("events", "name", os::Value(), e, keep).has_value(); },
       1, "Received nil column value to create data type from table"},
      {"keyed read without a block",
       [&](os::Error* e) {
         return database_->dataTypesFromTableWithName<os::Dictionary>("events", "name", os::Value("x"), e, nullptr)
             .has_value();
       },
       2, "Received nil block to create data type from table"},
      {"insert without a table", [&](os::Error* e) { return database_->insertDataType(row, "", e); }, 1,
       "Received empty table name for inserting"},
      {"insert of an empty row", [&](os::Error* e) { return database_->insertDataType({}, "purchase_transactions", e); },
       2, "Failed to insert empty record"},
      {"upsert of an empty row",
       [&](os::Error* e) {
         return database_->upsertDataType({}, "purchase_transactions", "fingerprint", os::Value("abc"), 10, e);
       },
       1, "Received empty data type to upsert"},
      {"upsert without a table",
       [&](os::Error* e) { return database_->upsertDataType(row, "", "fingerprint", os::Value("abc"), 10, e); }, 1,
       "Received empty table name for checking upsert"},
      {"update of an empty row",
       [&](os::Error* e) { return database_->updateDataType({}, "purchase_transactions", "fingerprint", os::Value("abc"), e); },
       1, "Received empty data type to update"},
      {"update without a table",
       [&](os::Error* e) { return database_->updateDataType(row, "", "fingerprint", os::Value("abc"), e); }, 1,
       "Received empty table name for updating"},
      {"update of a missing key",
       [&](os::Error* e) {
         return database_->updateDataType(row, "purchase_transactions", "fingerprint", os::Value("abc"), e);
       },
       2, "Failed to update record. Item doesn't exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Error error;
    EXPECT_FALSE(c.run(&error));
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(description(error), c.description);
    EXPECT_FALSE(c.run(nullptr));
  }
  EXPECT_EQ(rowCount("purchase_transactions"), 0);
}

TEST_F(APMDatabaseFileTest, AKeyedReadWhoseRowsAllFailToConvertFails) {
  ASSERT_TRUE(database_->insertDataType({{"fingerprint", os::Value("abc")}}, "purchase_transactions", nullptr));
  os::Error error;
  auto none = database_->dataTypesFromTableWithName<os::Dictionary>(
      "purchase_transactions", "fingerprint", os::Value("abc"), &error,
      [](const os::Dictionary&, os::Error*) { return std::shared_ptr<os::Dictionary>(); });
  EXPECT_FALSE(none);
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(description(error), "Failed to initialize data types from dictionaries");

  auto empty = database_->dataTypesFromTableWithName<os::Dictionary>(
      "purchase_transactions", "fingerprint", os::Value("xyz"), &error,
      [](const os::Dictionary&, os::Error*) { return std::shared_ptr<os::Dictionary>(); });
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST_F(APMDatabaseFileTest, ResetLeavesEmptyTablesAndOneDefaultMetadataRow) {
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata(), nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("_s", 1'700'000'000), 7, false, nullptr));
  ASSERT_TRUE(database_->insertBundle(bundle(1'700'000'000'000), false, nullptr));
  ASSERT_TRUE(database_->insertDataType({{"subscription_id", os::Value("sub")}}, "subscriptions", nullptr));
  ASSERT_TRUE(database_->updateAppMetadata(APMAppMetadata(12, 3.0, 4.0), nullptr));
  ASSERT_TRUE(database_->updateDailyCounts(APMDailyCounts(5, 1, 2, 3, 4, 5, 6), nullptr));

  os::Error error;
  ASSERT_TRUE(database_->reset(&error)) << error.description();

  for (const char* table : {"raw_events_metadata", "raw_events", "events", "user_attributes", "queue",
                            "event_filters", "property_filters", "audience_filter_values", "purchase_transactions",
                            "subscriptions", "conditional_properties", "main_event_params"}) {
    EXPECT_EQ(rowCount(table), 0) << table;
  }
  const auto metadataRows = query("SELECT rowid, * FROM app_metadata");
  ASSERT_EQ(metadataRows.size(), 1u);
  EXPECT_EQ(*database_->queryAppMetadata(nullptr), APMAppMetadata(0, 0.0, 0.0));
  EXPECT_EQ(metadataRows[0].at("daily_events_count"), os::Value());
  EXPECT_EQ(metadataRows[0].at("remote_config_data"), os::Value());
}

TEST_F(APMDatabaseFileTest, AFailedSchemaCheckDeletesTheFileAndTheNextCreationStartsEmpty) {
  database_.reset();
  ASSERT_TRUE(database_ == nullptr);
  execOnFile("DROP TABLE queue; CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL, "
             "owner TEXT NOT NULL); INSERT INTO queue VALUES (x'01', 1.0, 'x');");
  sink_->clear();

  os::Error error;
  EXPECT_FALSE(open(&error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(description(error), "Table contains unknown non-optional columns");
  const auto logged = codes();
  EXPECT_NE(std::find(logged.begin(), logged.end(), kAPMDatabaseCodeEnsureTableFailed), logged.end());
  EXPECT_NE(std::find(logged.begin(), logged.end(), kAPMDatabaseCodeEnsureTablesFailed), logged.end());
  EXPECT_FALSE(os::FileManager::defaultManager().fileExistsAtPath(path_));

  database_ = open();
  ASSERT_TRUE(database_);
  EXPECT_EQ(rowCount("queue"), 0);
  EXPECT_EQ(database_->sqliteStore()->columnsForTableWithName("queue", nullptr)->size(), 4u);
}

TEST_F(APMDatabaseFileTest, TransactionsCommitOrRollBackAndReportFailure) {
  auto insert = [&](const char* fingerprint) {
    return database_->insertDataType({{"fingerprint", os::Value(fingerprint)}}, "purchase_transactions", nullptr);
  };
  EXPECT_TRUE(database_->performTransaction([&] { return insert("kept"); }));
  sink_->clear();
  EXPECT_FALSE(database_->performTransaction([&] { return insert("dropped") && false; }));
  EXPECT_FALSE(database_->performTransaction([&] { return database_->performTransaction([] { return true; }); }));
  EXPECT_EQ(query("SELECT fingerprint FROM purchase_transactions").size(), 1u);

  std::vector<std::string> messages;
  for (const auto& line : lines()) {
    if (line.code == kAPMDatabaseCodeTransactionFailed) messages.push_back(line.message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{"Transaction failed. Transaction failed",
                                                "Transaction failed. Failed to begin transaction",
                                                "Transaction failed. Transaction failed"}));
}

// A reset whose schema check fails on a write error must not leave the
// database writing into the deleted file: it is closed, and says so.
TEST_F(APMDatabaseFileTest, AResetThatFailsOnAWriteClosesTheDatabaseUntilTheNextReset) {
  apm_test::SqliteFaultVFS vfs;
  database_.reset();
  database_ = open();  // through the fault VFS
  ASSERT_TRUE(database_);
  int failures = 0;
  int closed = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 500);
    vfs.failNthWriteOrSync(n, 1, "devuvo-app-measurement");
    os::Error error;
    const bool reset = database_->reset(&error);
    vfs.disarm();
    if (!vfs.hasFailed()) {
      EXPECT_TRUE(reset) << error.description();
      break;
    }
    ++failures;
    EXPECT_FALSE(reset);
    EXPECT_FALSE(error.domain().empty());
    if (!database_->sqliteStore()) {
      // The schema check failed: no file, and every operation refused.
      ++closed;
      EXPECT_FALSE(os::FileManager::defaultManager().fileExistsAtPath(path_));
      os::Error refused;
      EXPECT_FALSE(database_->insertRawEvent(event("_s", 1.0), 1, false, &refused));
      EXPECT_EQ(refused.code(), 2);
      EXPECT_EQ(description(refused), "Database not open");
    }
    ASSERT_TRUE(database_->reset(&error)) << error.description();
    EXPECT_EQ(database_->queryAppMetadata(nullptr), APMAppMetadata(0, 0.0, 0.0));
  }
  EXPECT_GT(failures, 0);
  EXPECT_GT(closed, 0);
}

// A database file the process may not write (a restored backup, a wrong
// owner) opens and reads as before; every write reports its failure and
// nothing is deleted, so the rows are there once the file is writable again.
TEST_F(APMDatabaseFileTest, AReadOnlyFileReadsAndRefusesWritesWithoutLosingItsRows) {
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata(), nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("_s", 1'700'000'000), 7, false, nullptr));
  ASSERT_TRUE(database_->insertBundle(bundle(1'700'000'000'000), false, nullptr));
  database_.reset();
  {
    apm_test::SqliteFaultVFS vfs;
    vfs.openReadOnly("devuvo-app-measurement");
    os::Error error;
    database_ = open(&error);
    ASSERT_TRUE(database_) << error.description();
    EXPECT_EQ(rowCount("raw_events"), 1);
    EXPECT_EQ(rowCount("queue"), 1);

    const std::pair<const char*, std::function<bool(os::Error*)>> writes[] = {
        {"insert raw event",
         [&](os::Error* e) { return database_->insertRawEvent(event("_e", 1'700'000'001), 7, false, e); }},
        {"insert bundle", [&](os::Error* e) { return database_->insertBundle(bundle(1'700'000'001'000), false, e); }},
        {"daily counts",
         [&](os::Error* e) { return database_->updateDailyCounts(APMDailyCounts(5, 1, 2, 3, 4, 5, 6), e); }},
        {"delete raw events", [&](os::Error* e) { return database_->deleteRawEventsWithMaxRowID(INT64_MAX, e); }},
    };
    for (const auto& [what, write] : writes) {
      os::Error refused;
      EXPECT_FALSE(write(&refused)) << what;
      EXPECT_NE(description(refused).find("readonly"), std::string::npos) << what << ": " << description(refused);
    }
    EXPECT_FALSE(database_->performTransaction(
        [&] { return database_->insertRawEvent(event("_e", 1'700'000'002), 7, false, nullptr); }));
    database_.reset();
  }
  EXPECT_TRUE(os::FileManager::defaultManager().fileExistsAtPath(path_));
  database_ = open();
  ASSERT_TRUE(database_);
  EXPECT_EQ(rowCount("raw_events"), 1);
  EXPECT_EQ(rowCount("queue"), 1);
  EXPECT_TRUE(database_->insertRawEvent(event("_e", 1'700'000'003), 7, false, nullptr));
}

// An older file the process may not write failed to be brought to the
// schema and was deleted as damaged, rows and all; it is kept for a launch
// that can write it.
TEST_F(APMDatabaseFileTest, AnOlderFileThatCannotBeWrittenIsKeptWithItsRows) {
  database_.reset();
  os::FileManager::defaultManager().removeItemAtPath(path_);
  execOnFile(
      "CREATE TABLE raw_events ( name TEXT NOT NULL, timestamp INTEGER NOT NULL, metadata_fingerprint INTEGER NOT "
      "NULL, data BLOB NOT NULL);"
      "INSERT INTO raw_events VALUES ('_s', 1700000000, 7, x'0a');");
  {
    apm_test::SqliteFaultVFS vfs;
    vfs.openReadOnly("devuvo-app-measurement");
    os::Error error;
    EXPECT_FALSE(open(&error));
  }
  ASSERT_TRUE(os::FileManager::defaultManager().fileExistsAtPath(path_));
  database_ = open();
  ASSERT_TRUE(database_);
  EXPECT_EQ(rowCount("raw_events"), 1);
}

}  // namespace
