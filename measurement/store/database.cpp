// The file, the schema, the generic row operations, creation, reset and
// transactions of APMDatabase. The typed operations of each table live in
// database_<table>.cpp beside this file.
#include "measurement/store/database.h"

#include <sqlite3.h>

#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/monitor.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kState;

constexpr const char* kInteger = "INTEGER";
constexpr const char* kIntegerNotNull = "INTEGER NOT NULL";
constexpr const char* kIntegerPrimaryKey = "INTEGER NOT NULL PRIMARY KEY";
constexpr const char* kReal = "REAL";
constexpr const char* kRealNotNull = "REAL NOT NULL";
constexpr const char* kText = "TEXT";
constexpr const char* kTextNotNull = "TEXT NOT NULL";
constexpr const char* kTextPrimaryKey = "TEXT NOT NULL PRIMARY KEY";
constexpr const char* kBlob = "BLOB";
constexpr const char* kBlobNotNull = "BLOB NOT NULL";
constexpr const char* kAudienceFilterKey = "(audience_id, filter_id)";

struct TableSchema {
  const char* name;
  APMColumnInfo elementaryColumns;
  APMColumnInfo addOnColumns;
  APMModifyColumnInfo modifiedColumns;
};

// The thirteen tables. events_snapshot is not among them: it is made on
// demand as a copy of events.
const std::vector<TableSchema>& tableSchemas() {
  static const auto* schemas = new std::vector<TableSchema>{
      {kAPMAppMetadataTableName,
       {{"last_bundle_index", kIntegerNotNull}, {"last_bundle_end_timestamp", kRealNotNull}},
       {{"last_bundle_start_timestamp", kReal},
        {"day", kInteger},
        {"daily_conversions_count", kInteger},
        {"daily_events_count", kInteger},
        {"daily_public_events_count", kInteger},
        {"daily_error_events_count", kInteger},
        {"remote_config_data", kBlob},
        {"remote_config_timestamp", kReal},
        {"daily_real_time_conversion_events_count", kInteger},
        {"daily_real_time_dcu_events_count", kInteger}},
       {}},
      {kAPMRawEventsMetadataTableName,
       {{"metadata_fingerprint", kIntegerPrimaryKey}, {"metadata", kBlobNotNull}},
       {},
       {}},
      // Older files declared timestamp as an integer; it holds fractional
      // seconds now.
      {kAPMRawEventsTableName,
       {{"name", kTextNotNull},
        {"timestamp", kIntegerNotNull},
        {"metadata_fingerprint", kIntegerNotNull},
        {"data", kBlobNotNull}},
       {{"is_realtime", kInteger}},
       {{"timestamp", kRealNotNull}}},
      {kAPMEventsTableName,
       {{"name", kTextPrimaryKey},
        {"lifetime_count", kIntegerNotNull},
        {"current_bundle_count", kIntegerNotNull},
        {"last_fire_timestamp", kRealNotNull}},
       {{"last_bundled_timestamp", kReal},
        {"last_sampled_complex_event_id", kInteger},
        {"last_sampling_rate", kInteger},
        {"last_exempt_from_sampling", kInteger},
        {"last_bundled_day", kInteger},
        {"current_session_count", kInteger}},
       {}},
      {kAPMUserAttributesTableName,
       {{"name", kTextPrimaryKey}, {"set_timestamp", kRealNotNull}, {"value", kBlobNotNull}},
       {{"origin", kText}},
       {}},
      {kAPMQueueTableName,
       {{"data", kBlobNotNull}, {"bundle_end_timestamp", kRealNotNull}},
       {{"is_realtime", kInteger}, {"retry_count", kInteger}},
       {}},
      {kAPMEventFiltersTableName,
       {{"audience_id", kIntegerNotNull},
        {"filter_id", kIntegerNotNull},
        {"event_name", kTextNotNull},
        {"data", kBlobNotNull},
        {kAPMPrimaryKeyColumnName, kAudienceFilterKey}},
       {{"session_scoped", kInteger}},
       {}},
      {kAPMPropertyFiltersTableName,
       {{"audience_id", kIntegerNotNull},
        {"filter_id", kIntegerNotNull},
        {"property_name", kTextNotNull},
        {"data", kBlobNotNull},
        {kAPMPrimaryKeyColumnName, kAudienceFilterKey}},
       {{"session_scoped", kInteger}},
       {}},
      {kAPMAudienceFilterValuesTableName,
       {{"audience_id", kIntegerPrimaryKey}, {"current_results", kBlob}, {"previous_results", kBlob}},
       {},
       {}},
      {kAPMPurchaseTransactionsTableName, {{"fingerprint", kTextPrimaryKey}}, {}, {}},
      {kAPMSubscriptionsTableName, {{"subscription_id", kTextPrimaryKey}}, {}, {}},
      {kAPMConditionalPropertiesTableName,
       {{"name", kTextPrimaryKey},
        {"origin", kTextNotNull},
        {"value", kBlobNotNull},
        {"creation_timestamp", kRealNotNull},
        {"active", kIntegerNotNull},
        {"trigger_timeout", kRealNotNull},
        {"triggered_timestamp", kRealNotNull},
        {"time_to_live", kRealNotNull},
        {"trigger_event_name", kText},
        {"timed_out_event", kBlob},
        {"triggered_event", kBlob},
        {"expired_event", kBlob}},
       {},
       {}},
      {kAPMMainEventParamsTableName,
       {{"event_id", kIntegerPrimaryKey}, {"children_to_process", kIntegerNotNull}, {"main_event", kBlobNotNull}},
       {},
       {}},
  };
  return *schemas;
}

void monitorLog(int64_t level, int64_t code, std::string_view message) {
  APMMeasurementServices::monitor()->logWithLevel(level, code, message);
}

}  // namespace

APMDatabase::APMDatabase(std::string databasePath, std::shared_ptr<APMPersistedConfig> persistedConfig)
    : databasePath_(std::move(databasePath)), persistedConfig_(std::move(persistedConfig)) {}

// ---- Creation, reset, transactions ----

std::shared_ptr<APMDatabase> APMDatabase::initWithDatabaseName(std::string_view name,
                                                               std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                               os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty database name in init") &&
        APMCheckNotNil(persistedConfig, error, kArgument, "Received nil persisted config in init"))) {
    return nullptr;
  }
  std::shared_ptr<APMDatabase> database(
      new APMDatabase(APMMeasurementDirectoryPathForFile(name), std::move(persistedConfig)));
  if (!database->initializeDatabaseResourcesWithContext("Init", error)) return nullptr;
  return database;
}

bool APMDatabase::initializeDatabaseResourcesWithContext(std::string_view context, os::Error* error) {
  sqliteStore_ = APMSqliteStore::initWithDatabasePath(databasePath_, error);
  if (!sqliteStore_) return false;

  if (!ensureAllTables(error)) {
    APMMeasurementServices::monitor()->logWithLevel(
        1, kAPMDatabaseCodeEnsureTablesFailed, os::format("Failed to create or validate required database tables (%@)", context));
    // A file SQLite could open only for reading (a wrong owner, a restored
    // backup) failed to be brought up to date, not to validate: it is kept
    // whole for a launch that may write it.
    const bool readOnly = sqlite3_db_readonly(sqliteStore_->sqliteHandle(), "main") == 1;
    // The connection goes first: a file deleted under an open connection
    // would take later writes into an unlinked file, reported as done.
    sqliteStore_.reset();
    if (readOnly) return false;
    if (auto deleted = APMDeleteFileAtPath(databasePath_); !deleted) {
      APMMeasurementServices::monitor()->logWithLevel(
          4, kAPMDatabaseCodeDeleteFileFailed,
          os::format("Failed to delete old database file after failed validation. Error (%@)", context),
          deleted.error());
    }
    return false;
  }
  if (!initializeAppMetadata(error)) {
    monitorLog(1, kAPMDatabaseCodeAppMetadataInitFailed, os::format("Failed to initialize App Metadata table (%@)", context));
    return false;
  }
  return true;
}

bool APMDatabase::ensureAllTables(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return false;
  bool tableFailed = false;
  auto ensure = [&](const TableSchema& table) {
    os::Error tableError;
    const bool ensured =
        table.modifiedColumns.empty()
            ? store->ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns, &tableError)
            : store->ensureTableWithName(table.name, table.elementaryColumns, table.addOnColumns,
                                         table.modifiedColumns, &tableError);
    if (!ensured) {
      APMMeasurementServices::monitor()->logWithLevel(1, kAPMDatabaseCodeEnsureTableFailed,
                                                      "Failed to ensure table. Table, error", table.name, tableError);
      if (error != nullptr) *error = tableError;
      tableFailed = true;
    }
    return ensured;
  };
  // A table whose column types change is rebuilt in a transaction of its
  // own. The others are made and completed together in one, so that a new
  // file costs one commit rather than one per statement.
  for (const TableSchema& table : tableSchemas()) {
    if (!table.modifiedColumns.empty() && !ensure(table)) return false;
  }
  os::Error transactionError;
  const bool ensured = store->performTransactionWithError(&transactionError, [&] {
    for (const TableSchema& table : tableSchemas()) {
      if (table.modifiedColumns.empty() && !ensure(table)) return false;
    }
    return true;
  });
  if (!ensured && !tableFailed && error != nullptr) *error = transactionError;
  return ensured;
}

bool APMDatabase::reset(os::Error* error) {
  auto& fm = os::FileManager::defaultManager();
  bool deleted;
  if (sqliteStore_) {
    deleted = sqliteStore_->closeAndDeleteDatabase();
  } else {
    // Closed by an earlier failed reset; the file may be back.
    deleted = !fm.fileExistsAtPath(databasePath_) || APMDeleteFileAtPath(databasePath_).has_value();
  }
  sqliteStore_.reset();
  if (!APMCheck(deleted, error, kState, "Failed to delete database data")) return false;
  return initializeDatabaseResourcesWithContext("Reset", error);
}

bool APMDatabase::performTransaction(const APMTransactionBlock& block) {
  return performTransactionWithError(nullptr, block);
}

void APMDatabase::performReadTransaction(const std::function<void()>& block) {
  // Held for the whole transaction, whatever the block does.
  std::shared_ptr<APMSqliteStore> store = sqliteStore_;
  if (store == nullptr) {
    block();
    return;
  }
  store->performReadTransaction(block);
}

bool APMDatabase::performTransactionWithError(os::Error* error, const APMTransactionBlock& block) {
  os::Error transactionError;
  // Held for the whole transaction, whatever the block does.
  std::shared_ptr<APMSqliteStore> store = sqliteStore_;
  const bool committed = openStore(&transactionError) != nullptr &&
                         store->performTransactionWithError(&transactionError, block);
  if (!committed) {
    monitorLog(1, kAPMDatabaseCodeTransactionFailed,
               os::format("Transaction failed. %@", transactionError.localizedDescription()));
    if (error != nullptr) *error = transactionError;
  }
  return committed;
}

APMSqliteStore* APMDatabase::openStore(os::Error* error) const {
  return APMCheckNotNil(sqliteStore_, error, kState, "Database not open") ? sqliteStore_.get() : nullptr;
}

// ---- Generic row operations ----

std::optional<std::vector<os::Dictionary>> APMDatabase::allRowsFromTable(std::string_view tableName,
                                                                         int64_t tableLimit, os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  return store->recordsForQuery(os::format("SELECT rowid, * FROM %@ ORDER BY rowid LIMIT %ld", tableName, tableLimit),
                                {}, error);
}

std::optional<std::vector<os::Dictionary>> APMDatabase::rowsFromTable(std::string_view tableName,
                                                                      std::string_view columnName,
                                                                      const os::Value& columnValue, os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  return store->recordsForQuery(os::format("SELECT rowid, * FROM %@ WHERE %@ = ?", tableName, columnName),
                                {columnValue}, error);
}

bool APMDatabase::insertDataType(const os::Dictionary& row, std::string_view tableName, os::Error* error) {
  if (!(APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for inserting") &&
        APMCheckNotZero(row.size(), error, kState, "Failed to insert empty record"))) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store->upsertRecord(row, tableName, error);
}

bool APMDatabase::upsertDataType(const os::Dictionary& row, std::string_view tableName, std::string_view columnName,
                                 const os::Value& columnValue, int64_t tableLimit, os::Error* error) {
  if (!(APMCheckNotZero(row.size(), error, kArgument, "Received empty data type to upsert") &&
        APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for checking upsert"))) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return false;
  auto keyCount = store->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!keyCount) return false;
  if (keyCount->int64Value() == 0) {
    auto rowCount = store->rowCountForTableWithName(tableName, error);
    if (!rowCount) return false;
    if (!APMCheck(rowCount->int64Value() < tableLimit, error, kState, "Failed to insert data type. Table is full")) {
      return false;
    }
  }
  return store->upsertRecord(row, tableName, error);
}

bool APMDatabase::updateDataType(const os::Dictionary& row, std::string_view tableName, std::string_view columnName,
                                 const os::Value& columnValue, os::Error* error) {
  if (!(APMCheckNotZero(row.size(), error, kArgument, "Received empty data type to update") &&
        APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for updating"))) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return false;
  auto keyCount = store->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!keyCount) return false;
  return APMCheck(keyCount->int64Value() > 0, error, kState, "Failed to update record. Item doesn't exist") &&
         store->updateRecord(row, tableName, columnName, columnValue, error);
}

std::optional<bool> APMDatabase::booleanForQuery(std::string_view query, const os::Array& parameterValues,
                                                 os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto number = store->numberForQuery(query, parameterValues, error);
  if (!number) return std::nullopt;
  return number->boolValue();
}

std::optional<int64_t> APMDatabase::integerForQuery(std::string_view query, const os::Array& parameterValues,
                                                    os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  os::Error queryError;
  auto number = store->numberForQuery(query, parameterValues, &queryError);
  if (number) return number->int64Value();
  if (!queryError.domain().empty()) {
    if (error != nullptr) *error = queryError;
    return std::nullopt;
  }
  return 0;  // NULL
}
