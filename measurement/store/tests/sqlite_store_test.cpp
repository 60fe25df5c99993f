#include "measurement/store/sqlite_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/errors.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "measurement/store/tests/test_support.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"

namespace {

using Rows = std::vector<os::Dictionary>;

class SqliteStoreTest : public apm_test::MonitoredTest {
 protected:
  void SetUp() override {
    MonitoredTest::SetUp();
    path_ = APMMeasurementDirectoryPathForFile("devuvo-app-measurement.sql");
  }

  std::shared_ptr<APMSqliteStore> open() {
    os::Error error;
    auto store = APMSqliteStore::initWithDatabasePath(path_, &error);
    EXPECT_TRUE(store) << error.description();
    return store;
  }

  // A store holding table t (id INTEGER PRIMARY KEY, v TEXT) with rows 1..n.
  std::shared_ptr<APMSqliteStore> openWithRows(int n) {
    auto store = open();
    os::Error error;
    EXPECT_TRUE(store->ensureTableWithName("t", {{"id", "INTEGER NOT NULL PRIMARY KEY"}, {"v", "TEXT"}}, {}, &error))
        << error.description();
    for (int i = 1; i <= n; ++i) {
      EXPECT_TRUE(store->upsertRecord({{"id", os::Value(i)}, {"v", os::Value("row" + std::to_string(i))}}, "t", &error));
    }
    return store;
  }

  static Rows all(APMSqliteStore& store, os::Error* error = nullptr) {
    return store.recordsForQuery("SELECT * FROM t ORDER BY id", {}, error).value_or(Rows{{{"<failed>", os::Value()}}});
  }

  static std::string description(const os::Error& error) { return error.localizedDescription(); }
  static int count(const std::vector<int64_t>& codes, int64_t code) {
    return static_cast<int>(std::count(codes.begin(), codes.end(), code));
  }

  std::string path_;
};

TEST_F(SqliteStoreTest, OpeningMakesTheFileExcludedFromBackupAndAClosedStoreRefusesWork) {
  auto store = open();
  ASSERT_TRUE(store);
  auto& fm = os::FileManager::defaultManager();
  EXPECT_TRUE(fm.fileExistsAtPath(path_));
  EXPECT_EQ(*fm.resourceValue(path_, os::kURLIsExcludedFromBackupKey), os::Value(true));

  os::Error error;
  EXPECT_FALSE(APMSqliteStore::initWithDatabasePath("", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(description(error), "Received empty database path on init");

  EXPECT_TRUE(store->closeAndDeleteDatabase());
  EXPECT_FALSE(fm.fileExistsAtPath(path_));
  EXPECT_EQ(store->sqliteHandle(), nullptr);
  EXPECT_FALSE(store->rowCountForTableWithName("t", &error));
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(description(error), "Row count failed. Database not open.");
  EXPECT_FALSE(store->lastErrorMessage());
  EXPECT_EQ(count(codes(), kAPMSqliteCodeNoLastErrorMessage), 1);
}

TEST_F(SqliteStoreTest, AFileDamagedOnDiskIsRecreatedEmptyAndItsNeighboursAreUntouched) {
  openWithRows(3).reset();
  auto& fm = os::FileManager::defaultManager();
  const std::string plist = APMMeasurementPlistPath("com.devuvo.zev.measurement");
  const std::string experiments = APMMeasurementDirectoryPathForFile("devuvo_experimentation_database.sql");
  ASSERT_TRUE(fm.createFileAtPath(plist, os::Data::fromString("<plist/>")));
  ASSERT_TRUE(fm.createFileAtPath(experiments, os::Data::fromString("other database")));

  auto damage = [&] {
    auto file = os::FileHandle::fileHandleForUpdatingAtPath(path_);
    ASSERT_TRUE(file);
    ASSERT_TRUE((*file)->writeData(os::Data(std::string(100, '\xAB').data(), 100)));
  };
  damage();
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->tableExists("t", nullptr), std::optional<bool>(false));
  EXPECT_EQ(fm.contentsAtPath(plist)->toString(), "<plist/>");
  EXPECT_EQ(fm.contentsAtPath(experiments)->toString(), "other database");
  EXPECT_EQ(fm.contentsOfDirectoryAtPath(path_.substr(0, path_.rfind('/')))->size(), 3u);

  // When the damaged file cannot be deleted there is no store, and the file
  // stays as it is.
  ASSERT_TRUE(store->ensureTableWithName("t", {{"id", "INTEGER"}}, {}, nullptr));
  store.reset();
  damage();
  auto faulty = std::make_shared<os::FaultInjectingFileSystem>();
  os::ScopedFileSystem installed(faulty);
  faulty->inject(os::FileOp::Unlink, {EIO, "devuvo-app-measurement.sql"});
  os::Error error;
  EXPECT_FALSE(APMSqliteStore::initWithDatabasePath(path_, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(count(codes(), kAPMSqliteCodeDeleteFailed), 1);
  EXPECT_TRUE(fm.fileExistsAtPath(path_));
}

TEST_F(SqliteStoreTest, AnImmutableFileIsMadeMutableAndOpened) {
  openWithRows(2).reset();
  auto& fm = os::FileManager::defaultManager();
  ASSERT_TRUE(fm.setAttributes({{os::kFileImmutable, os::Value(true)}}, path_));
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ((*fm.attributesOfItemAtPath(path_))[os::kFileImmutable], os::Value(false));
  EXPECT_EQ(all(*store).size(), 2u);
  ASSERT_TRUE(fm.setAttributes({{os::kFileImmutable, os::Value(true)}}, path_));
  EXPECT_TRUE(store->closeAndDeleteDatabase());
  EXPECT_FALSE(fm.fileExistsAtPath(path_));
}

TEST_F(SqliteStoreTest, LiteralWhereTextsAreUsedOnceWhileParameterTextsAreCachedAndRebound) {
  auto store = openWithRows(3);
  ASSERT_TRUE(store);
  const int baseline = store->TEST_openStatementCount();

  // No WHERE and no "?": cached.
  ASSERT_TRUE(store->rowCountForTableWithName("t", nullptr));
  EXPECT_TRUE(store->TEST_cachedStatementForQuery("SELECT count(1) FROM t"));
  EXPECT_EQ(store->TEST_openStatementCount(), baseline + 1);

  // A literal WHERE value: prepared, used and finalized.
  const std::string literal = "SELECT v FROM t WHERE id=2";
  EXPECT_EQ(*store->recordsForQuery(literal, {}, nullptr), Rows({{{"v", os::Value("row2")}}}));
  EXPECT_FALSE(store->TEST_cachedStatementForQuery(literal));
  EXPECT_EQ(store->TEST_openStatementCount(), baseline + 1);

  // The same with "?": one statement, bound anew each time.
  const std::string parameter = "SELECT v FROM t WHERE id=?";
  EXPECT_EQ(*store->recordsForQuery(parameter, {os::Value(1)}, nullptr), Rows({{{"v", os::Value("row1")}}}));
  sqlite3_stmt* cached = store->TEST_cachedStatementForQuery(parameter);
  ASSERT_TRUE(cached);
  EXPECT_EQ(*store->recordsForQuery(parameter, {os::Value(3)}, nullptr), Rows({{{"v", os::Value("row3")}}}));
  EXPECT_EQ(store->TEST_cachedStatementForQuery(parameter), cached);
  EXPECT_EQ(store->TEST_openStatementCount(), baseline + 2);

  // "?" without parameters prepares nothing.
  os::Error error;
  // Parameters a one-use text cannot take: the statement used to be left
  // unfinalized when binding failed.
  EXPECT_FALSE(store->recordsForQuery(literal, {os::Value(1)}, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(store->TEST_openStatementCount(), baseline + 2);
  error = {};
  EXPECT_FALSE(store->statementForQuery("SELECT v FROM t WHERE v=?", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(description(error), "Received empty parameters");
  EXPECT_EQ(store->TEST_openStatementCount(), baseline + 2);
}

// Cleaning up a fresh statement of a cached text used to reset it and leave
// it unfinalized, which also kept sqlite3_close from closing the connection.
TEST_F(SqliteStoreTest, CleaningUpAStatementThatIsNotTheCachedOneFinalizesIt) {
  auto store = openWithRows(1);
  const std::string query = "SELECT count(1) FROM t";
  ASSERT_TRUE(store->numberForQuery(query, {}, nullptr));
  const int before = store->TEST_openStatementCount();
  sqlite3_stmt* fresh = store->prepareSQL(query, nullptr);
  ASSERT_TRUE(fresh);
  store->cleanUpStatement(fresh, query);
  EXPECT_EQ(store->TEST_openStatementCount(), before);
  // Level 5 is monitored, not printed: the sampled record holds it.
  auto sampled = monitor_->TEST_sampledData();
  ASSERT_TRUE(sampled);
  EXPECT_EQ((*sampled)[2], os::Value("1W_110100:Statement is not the same one in the cache"));
  EXPECT_EQ(store->numberForQuery(query, {}, nullptr)->int64Value(), 1);
}

TEST_F(SqliteStoreTest, QueryTextsAreCheckedBeforeTheyRun) {
  auto store = openWithRows(1);
  struct Case {
    const char* query;
    const char* refusal;  // null: accepted
  } cases[] = {
      {"SELECT 1 AS x; SELECT 2 AS x", "Query contained more than one SQL statement."},
      {"SELECT 1 AS x; ", "Query contained more than one SQL statement."},
      {"SELECT 1 AS x;", nullptr},
      {" SELECT 1 AS x", "Received invalid select query"},
      {"WITH w AS (SELECT 1 AS x) SELECT x FROM w", "Received invalid select query"},
      {"PRAGMA table_info(t)", "Received invalid select query"},
      {"select 1 AS x", nullptr},
      {"SeLeCt 1 AS x", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    os::Error error;
    auto rows = store->recordsForQuery(c.query, {}, &error);
    if (c.refusal == nullptr) {
      ASSERT_TRUE(rows) << error.description();
      EXPECT_EQ(*rows, Rows({{{"x", os::Value(1)}}}));
    } else {
      EXPECT_FALSE(rows);
      EXPECT_EQ(error.code(), 1);
      EXPECT_EQ(description(error), c.refusal);
    }
  }
}

TEST_F(SqliteStoreTest, RowsReadBackByTypeFilteredAndAsSingleNumbers) {
  auto store = open();
  ASSERT_TRUE(store->ensureTableWithName(
      "v", {{"k", "INTEGER NOT NULL PRIMARY KEY"}, {"b", "BLOB"}, {"r", "REAL"}, {"i", "INTEGER"}, {"s", "TEXT"}}, {},
      nullptr));
  os::Dictionary full{{"k", os::Value(1)},
                      {"b", os::Value(os::Data::fromString("\x01\x02"))},
                      {"r", os::Value(2.5)},
                      {"i", os::Value(os::Number::int64(1LL << 40))},
                      {"s", os::Value("text")}};
  ASSERT_TRUE(store->upsertRecord(full, "v", nullptr));
  // An empty blob and NULLs.
  ASSERT_TRUE(store->upsertRecord(
      {{"k", os::Value(2)}, {"b", os::Value(os::Data())}, {"r", os::Value()}, {"i", os::Value(true)}}, "v", nullptr));
  auto rows = store->recordsForQuery("SELECT * FROM v ORDER BY k", {}, nullptr);
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ((*rows)[0], full);
  EXPECT_TRUE((*rows)[0].at("r").number()->isFloatingPoint());
  EXPECT_FALSE((*rows)[0].at("i").number()->isFloatingPoint());
  // The empty blob is missing (34004); NULL reads as the null value.
  EXPECT_EQ((*rows)[1], (os::Dictionary{{"k", os::Value(2)}, {"r", os::Value()}, {"i", os::Value(1)}, {"s", os::Value()}}));
  EXPECT_EQ(count(codes(), kAPMSqliteCodeNilColumnValue), 1);

  // A filter that refuses row 0 leaves nothing (34005); no rows at all logs
  // nothing.
  std::vector<uint32_t> offered;
  auto refused = store->recordsForQuery("SELECT k FROM v", {}, nullptr, [&](uint32_t index, const os::Dictionary&) {
    offered.push_back(index);
    return false;
  });
  EXPECT_EQ(refused, std::optional<Rows>(Rows{}));
  EXPECT_EQ(offered, std::vector<uint32_t>{0});
  EXPECT_EQ(store->recordsForQuery("SELECT k FROM v WHERE k > ?", {os::Value(5)}, nullptr), std::optional<Rows>(Rows{}));
  EXPECT_EQ(count(codes(), kAPMSqliteCodeAllRowsFiltered), 1);

  os::Error error;
  EXPECT_EQ(store->numberForQuery("SELECT count(1) FROM v", {}, &error)->int64Value(), 2);
  EXPECT_FALSE(store->numberForQuery("SELECT max(k) FROM v WHERE k > 5", {}, &error));
  EXPECT_TRUE(error.domain().empty()) << "a NULL result is no error";
  EXPECT_FALSE(store->numberForQuery("SELECT s FROM v WHERE k = 1", {}, &error));
  EXPECT_EQ(description(error), "Found result that was not numeric");
  EXPECT_EQ(store->rowCountForTableWithName("v", "s", os::Value("text"), nullptr)->int64Value(), 1);
  EXPECT_EQ(store->deleteRecordsFromTableWithName("v", "k >= ?", {os::Value(1)}, nullptr), std::optional<int64_t>(2));
}

// The blob used to be bound without a copy, so data gone before the step
// was read after its release.
TEST_F(SqliteStoreTest, BlobsAreCopiedWhenBound) {
  auto store = open();
  ASSERT_TRUE(store->ensureTableWithName("b", {{"k", "INTEGER"}, {"d", "BLOB"}}, {}, nullptr));
  sqlite3_stmt* statement;
  {
    os::Dictionary record{{"k", os::Value(1)}, {"d", os::Value(os::Data(std::string(4096, 'z').data(), 4096))}};
    statement = store->upsertStatementForRecord(record, "b", nullptr);
    ASSERT_TRUE(statement);
  }
  ASSERT_TRUE(store->executeSQLStatement(statement, nullptr));
  auto rows = store->recordsForQuery("SELECT d FROM b", {}, nullptr);
  ASSERT_TRUE(rows && rows->size() == 1);
  EXPECT_EQ((*rows)[0].at("d").data()->toString(), std::string(4096, 'z'));
}

// An upsert with a value it cannot bind used to fail without an error.
TEST_F(SqliteStoreTest, RecordsWithUnbindableValuesFailWithAnError) {
  auto store = openWithRows(1);
  const os::Dictionary record{{"id", os::Value(1)}, {"v", os::Value(os::Date::fromTimeIntervalSince1970(1))}};
  os::Error error;
  EXPECT_FALSE(store->upsertRecord(record, "t", &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(description(error), "Failed to bind parameter of unexpected type to upsert statement");
  error = {};
  EXPECT_FALSE(store->updateRecord(record, "t", "id", os::Value(1), &error));
  EXPECT_EQ(error.code(), 1);
  EXPECT_EQ(description(error), "Failed to bind parameter of unexpected type to update statement");
  auto logged = codes();
  EXPECT_EQ(count(logged, kAPMSqliteCodeUpsertValueType), 1);
  EXPECT_EQ(count(logged, kAPMSqliteCodeUpdateValueType), 1);
  EXPECT_EQ(all(*store), Rows({{{"id", os::Value(1)}, {"v", os::Value("row1")}}}));

  ASSERT_TRUE(store->updateRecord({{"v", os::Value("new")}}, "t", "id", os::Value(1), &error));
  ASSERT_TRUE(store->updateAllRecordsInTableWithName("t", "v", os::Value("all"), &error));
  EXPECT_EQ(all(*store), Rows({{{"id", os::Value(1)}, {"v", os::Value("all")}}}));
  ASSERT_TRUE(store->deleteRecordFromTableWithName("t", "id", os::Value(1), &error));
  EXPECT_EQ(store->rowCountForTableWithName("t", nullptr)->int64Value(), 0);
}

TEST_F(SqliteStoreTest, UpsertsUpdatesAndTransactionsRunFromTheCacheWithEachCallsValues) {
  // One statement per text, re-bound each time: a call must never write the
  // values of an earlier one, also after a failed step.
  auto store = openWithRows(1);
  const int baseline = store->TEST_openStatementCount();
  for (int i = 2; i <= 4; ++i) {
    ASSERT_TRUE(store->performTransactionWithError(nullptr, [&] {
      return store->upsertRecord({{"id", os::Value(i)}, {"v", os::Value("row" + std::to_string(i))}}, "t", nullptr) &&
             store->updateRecord({{"v", os::Value("new" + std::to_string(i))}}, "t", "id", os::Value(i - 1), nullptr);
    }));
  }
  // BEGIN, END and the update (the upsert was cached by openWithRows).
  EXPECT_EQ(store->TEST_openStatementCount(), baseline + 3);
  os::Error error;
  EXPECT_FALSE(store->upsertRecord({{"id", os::Value("not an integer")}, {"v", os::Value("x")}}, "t", &error));
  EXPECT_FALSE(description(error).empty());
  ASSERT_TRUE(store->upsertRecord({{"id", os::Value(4)}, {"v", os::Value("four")}}, "t", nullptr));
  EXPECT_FALSE(store->performTransactionWithError(nullptr, [&] {
    return store->updateRecord({{"v", os::Value("rolled back")}}, "t", "id", os::Value(1), nullptr) && false;
  }));
  EXPECT_EQ(all(*store), Rows({{{"id", os::Value(1)}, {"v", os::Value("new2")}},
                               {{"id", os::Value(2)}, {"v", os::Value("new3")}},
                               {{"id", os::Value(3)}, {"v", os::Value("new4")}},
                               {{"id", os::Value(4)}, {"v", os::Value("four")}}}));
  EXPECT_EQ(store->TEST_openStatementCount(), baseline + 5);  // and ROLLBACK, and all()'s SELECT
}

TEST_F(SqliteStoreTest, IncreaseColumnTakesOnlyAColumnDeclaredInteger) {
  auto store = open();
  ASSERT_TRUE(store->ensureTableWithName("c", {{"k", "TEXT"}, {"lower", "integer"}, {"short", "INT"}, {"text", "TEXT"}},
                                         {}, nullptr));
  ASSERT_TRUE(store->upsertRecord(
      {{"k", os::Value("a")}, {"lower", os::Value(1)}, {"short", os::Value(1)}, {"text", os::Value("1")}}, "c", nullptr));
  struct Case {
    const char* column;
    const char* refusal;
  } cases[] = {
      {"lower", nullptr},
      {"short", "Column type is not integer."},
      {"text", "Column type is not integer."},
      {"missing", "Invalid column or table name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.column);
    os::Error error;
    const bool increased = store->increaseColumn(c.column, 41, "c", "k=?", {os::Value("a")}, &error);
    EXPECT_EQ(increased, c.refusal == nullptr);
    if (c.refusal != nullptr) {
      EXPECT_EQ(description(error), c.refusal);
    }
  }
  EXPECT_EQ(store->numberForQuery("SELECT lower FROM c", {}, nullptr)->int64Value(), 42);
}

TEST_F(SqliteStoreTest, TablesAreValidatedAgainstTheirColumnLists) {
  auto store = open();
  ASSERT_TRUE(store->executeSQL("CREATE TABLE extra_null (a INTEGER NOT NULL, extra TEXT)", nullptr));
  ASSERT_TRUE(store->executeSQL("CREATE TABLE extra_not_null (a INTEGER NOT NULL, extra TEXT NOT NULL)", nullptr));
  ASSERT_TRUE(store->executeSQL("CREATE TABLE missing (b INTEGER)", nullptr));
  const APMColumnInfo elementary{{"a", "INTEGER NOT NULL"}};
  const APMColumnInfo addOn{{"added", "REAL"}};
  struct Case {
    const char* table;
    int64_t code;  // 0: accepted
    const char* refusal;
  } cases[] = {
      {"fresh", 0, nullptr},
      {"extra_null", 0, nullptr},
      {"extra_not_null", 2, "Table contains unknown non-optional columns"},
      {"missing", 2, "Table is missing required columns"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.table);
    os::Error error;
    EXPECT_EQ(store->ensureTableWithName(c.table, elementary, addOn, &error), c.code == 0) << error.description();
    if (c.code != 0) {
      EXPECT_EQ(error.code(), c.code);
      EXPECT_EQ(description(error), c.refusal);
    } else {
      auto columns = store->columnsForTableWithName(c.table, nullptr);
      ASSERT_TRUE(columns);
      EXPECT_NE(std::find(columns->begin(), columns->end(), "added"), columns->end()) << "add-on column added";
    }
  }
  os::Error error;
  EXPECT_FALSE(store->ensureTableWithName("", elementary, addOn, &error));
  EXPECT_EQ(description(error), "Received empty table name for ensure table");
  EXPECT_EQ(store->columnsForTableWithName("none", nullptr), std::optional<std::vector<std::string>>(std::vector<std::string>{}));
}

// Add-on columns went in by name, not in their listed order, so a file that
// gained them had another layout than a new one.
TEST_F(SqliteStoreTest, AddOnColumnsAreAddedInTheirListedOrder) {
  auto store = open();
  ASSERT_TRUE(store->executeSQL("CREATE TABLE older (a INTEGER NOT NULL)", nullptr));
  const APMColumnInfo elementary{{"a", "INTEGER NOT NULL"}};
  const APMColumnInfo addOn{{"zeta", "REAL"}, {"alpha", "TEXT"}, {"mid", "INTEGER"}};
  for (const char* table : {"older", "fresh"}) {
    SCOPED_TRACE(table);
    ASSERT_TRUE(store->ensureTableWithName(table, elementary, addOn, nullptr));
    EXPECT_EQ(store->columnsForTableWithName(table, nullptr),
              std::optional<std::vector<std::string>>({"a", "zeta", "alpha", "mid"}));
  }
}

TEST_F(SqliteStoreTest, AChangedColumnTypeRebuildsTheTableInOneTransactionKeepingItsRows) {
  auto store = open();
  const APMColumnInfo elementary{{"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}};
  const APMColumnInfo addOn{{"flag", "INTEGER"}};
  ASSERT_TRUE(store->ensureTableWithName("raw", elementary, addOn, nullptr));
  ASSERT_TRUE(store->upsertRecord({{"name", os::Value("e")}, {"timestamp", os::Value(7)}}, "raw", nullptr));
  auto schemaVersion = [&] { return store->numberForQuery("SELECT * FROM pragma_schema_version", {}, nullptr)->int64Value(); };
  const APMModifyColumnInfo modify{{"timestamp", "REAL NOT NULL"}};

  // A step that fails inside the rebuild leaves the table as it was.
  ASSERT_TRUE(store->executeSQL("CREATE TABLE raw_old (x INTEGER)", nullptr));
  os::Error error;
  EXPECT_FALSE(store->ensureTableWithName("raw", elementary, addOn, modify, &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(description(error), "Transaction failed");
  EXPECT_EQ(store->columnInfoForTableWithName("raw", nullptr)->at("timestamp"), "INTEGER");
  ASSERT_TRUE(store->dropTableWithName("raw_old", nullptr));

  ASSERT_TRUE(store->ensureTableWithName("raw", elementary, addOn, modify, &error)) << error.description();
  auto info = *store->columnInfoForTableWithName("raw", nullptr);
  EXPECT_EQ(info["timestamp"], "REAL");
  EXPECT_EQ(info["flag"], "INTEGER");
  EXPECT_EQ(store->tableExists("raw_old", nullptr), std::optional<bool>(false));
  EXPECT_EQ(store->recordsForQuery("SELECT name, timestamp FROM raw", {}, nullptr),
            std::optional<Rows>(Rows{{{"name", os::Value("e")}, {"timestamp", os::Value(7.0)}}}));

  // Types that already match change nothing.
  const int64_t version = schemaVersion();
  ASSERT_TRUE(store->ensureTableWithName("raw", elementary, addOn, modify, nullptr));
  EXPECT_EQ(schemaVersion(), version);
}

TEST_F(SqliteStoreTest, TransactionsCommitRollBackAndDoNotNest) {
  auto store = openWithRows(1);
  os::Error inner;
  ASSERT_TRUE(store->performTransactionWithError(nullptr, [&] {
    EXPECT_FALSE(store->performTransactionWithError(&inner, [] { return true; }));
    return store->upsertRecord({{"id", os::Value(2)}, {"v", os::Value("two")}}, "t", nullptr);
  }));
  EXPECT_EQ(inner.code(), 3);
  EXPECT_EQ(description(inner), "Failed to begin transaction");
  EXPECT_EQ(all(*store).size(), 2u);

  os::Error error;
  EXPECT_FALSE(store->performTransactionWithError(&error, [&] {
    store->deleteAllRecordsFromTableWithName("t", nullptr);
    return false;
  }));
  EXPECT_EQ(description(error), "Transaction failed");
  EXPECT_THROW(store->performTransactionWithError(&error,
                                                  [&]() -> bool {
                                                    store->deleteAllRecordsFromTableWithName("t", nullptr);
                                                    throw std::runtime_error("block");
                                                  }),
               std::runtime_error);
  EXPECT_EQ(all(*store).size(), 2u);
  EXPECT_FALSE(store->performTransactionWithError(&error, nullptr));
  EXPECT_EQ(description(error), "Received nil transaction block");
}

// Reads in a read transaction share one shared lock, which is let go at its
// end: a transaction left open would refuse every later BEGIN.
TEST_F(SqliteStoreTest, AReadTransactionHoldsOneLockForItsReadsAndEndsWithThem) {
  auto store = openWithRows(2);
  auto other = open();
  size_t read = 0;
  bool otherWrote = true;
  store->performReadTransaction([&] {
    read = all(*store).size();
    otherWrote = other->performTransactionWithError(nullptr, [] { return true; });
    read += all(*store).size();
  });
  EXPECT_EQ(read, 4u);
  EXPECT_FALSE(otherWrote);
  EXPECT_TRUE(other->performTransactionWithError(nullptr, [] { return true; }));
  EXPECT_TRUE(store->performTransactionWithError(nullptr, [] { return true; }));

  // Inside an exclusive transaction the block runs within it, which commits.
  ASSERT_TRUE(store->performTransactionWithError(nullptr, [&] {
    store->performReadTransaction([&] { read = all(*store).size(); });
    return store->upsertRecord({{"id", os::Value(3)}, {"v", os::Value("three")}}, "t", nullptr);
  }));
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(all(*other).size(), 3u);
}

// A failed END used to leave the transaction open: every later BEGIN failed
// and the uncommitted rows stayed visible to the connection.
TEST_F(SqliteStoreTest, AFailedEndRollsTheTransactionBack) {
  auto store = open();
  ASSERT_TRUE(store->executeSQL("PRAGMA foreign_keys = ON", nullptr));
  ASSERT_TRUE(store->executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)", nullptr));
  ASSERT_TRUE(store->executeSQL(
      "CREATE TABLE child (pid INTEGER REFERENCES parent(id) DEFERRABLE INITIALLY DEFERRED)", nullptr));
  os::Error error;
  // The dangling reference is only refused at commit.
  EXPECT_FALSE(store->performTransactionWithError(
      &error, [&] { return store->upsertRecord({{"pid", os::Value(99)}}, "child", nullptr); }));
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(description(error), "Failed to end transaction");
  EXPECT_EQ(store->rowCountForTableWithName("child", nullptr)->int64Value(), 0);
  EXPECT_TRUE(store->performTransactionWithError(&error, [&] {
    return store->upsertRecord({{"id", os::Value(99)}}, "parent", nullptr) &&
           store->upsertRecord({{"pid", os::Value(99)}}, "child", nullptr);
  })) << error.description();
}

// A read refused by SQLite (another connection's lock) used to come back as
// an empty result, and the column scans stepped a busy statement forever.
TEST_F(SqliteStoreTest, AReadWhileAnotherConnectionHoldsTheFileFailsWithADatabaseError) {
  auto writer = openWithRows(2);
  auto reader = open();
  ASSERT_TRUE(reader->columnsForTableWithName("t", nullptr));  // prepares the scan before the lock
  os::Error error;
  std::optional<Rows> rows;
  std::optional<std::vector<std::string>> columns;
  ASSERT_TRUE(writer->performTransactionWithError(nullptr, [&] {
    rows = reader->recordsForQuery("SELECT * FROM t", {}, &error);
    columns = reader->columnsForTableWithName("t", nullptr);
    return true;
  }));
  EXPECT_FALSE(rows);
  EXPECT_EQ(error.domain(), kAPMErrorDomain);
  EXPECT_EQ(error.code(), 3);
  EXPECT_EQ(description(error),
            "Database operation \"query records\" failed with sqlite code 5 and error message \"database is locked\"");
  EXPECT_EQ(error.userInfo().at(kAPMMonitorContextKey), os::Value("query records,5,A"));
  EXPECT_EQ(columns, std::optional<std::vector<std::string>>(std::vector<std::string>{}));
  EXPECT_EQ(all(*reader).size(), 2u);

  // Without a writable file the context ends in "NA".
  ASSERT_TRUE(os::FileManager::defaultManager().removeItemAtPath(path_));
  const std::string context = reader->monitorContextForDatabaseOperation("");
  EXPECT_TRUE(context.starts_with("Unknown operation,") && context.ends_with(",NA")) << context;
}

// Every write and sync a transaction reaches fails in turn, once and for
// good: each failure is reported, and the file reopened holds what it held.
TEST_F(SqliteStoreTest, AWriteOrSyncFailingAnywhereInATransactionLeavesTheFileAsItWas) {
  apm_test::SqliteFaultVFS vfs;
  for (const int times : {1, -1}) {
    SCOPED_TRACE(times == 1 ? "one failure" : "every call from the nth on");
    int n = 1;
    for (;; ++n) {
      SCOPED_TRACE(n);
      ASSERT_LT(n, 500);
      for (const std::string& file : {path_, path_ + "-journal"}) os::FileManager::defaultManager().removeItemAtPath(file);
      auto store = openWithRows(3);
      const Rows before = all(*store);
      vfs.failNthWriteOrSync(n, times, "devuvo-app-measurement");
      os::Error error;
      const bool committed = store->performTransactionWithError(&error, [&] {
        std::string big(20000, 'x');
        return store->upsertRecord({{"id", os::Value(4)}, {"v", os::Value(big)}}, "t", nullptr) &&
               store->updateRecord({{"v", os::Value("changed")}}, "t", "id", os::Value(1), nullptr) &&
               store->deleteRecordFromTableWithName("t", "id", os::Value(2), nullptr);
      });
      vfs.disarm();
      if (!vfs.hasFailed()) {
        EXPECT_TRUE(committed) << error.description();
        EXPECT_EQ(all(*store).size(), 3u);
        break;
      }
      EXPECT_FALSE(committed);
      EXPECT_EQ(error.code(), 3);
      if (times == 1) {
        // The same connection goes on: no transaction was left open.
        EXPECT_EQ(all(*store), before);
        EXPECT_TRUE(store->performTransactionWithError(&error, [] { return true; })) << error.description();
      }
      store.reset();
      os::Error reopenError;
      auto reopened = APMSqliteStore::initWithDatabasePath(path_, &reopenError);
      ASSERT_TRUE(reopened) << reopenError.description();
      EXPECT_EQ(all(*reopened), before) << "reopened after a failure at call " << n;
    }
    EXPECT_GT(n, 4) << "the transaction reached several writes and syncs";
  }
}

}  // namespace
