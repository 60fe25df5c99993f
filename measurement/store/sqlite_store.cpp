#include "measurement/store/sqlite_store.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/errors.h"
#include "measurement/store/monitor.h"
#include "os/dispatch/queue.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kState;
constexpr APMErrorCode kDatabase = APMErrorCode::DatabaseOperationFailed;

constexpr int kOpenFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
constexpr int kPrepareV3Version = 3020000;

void monitorLog(int64_t level, int64_t code, std::string_view message, APMLogContext context = {}) {
  auto monitor = APMMeasurementServices::monitor();
  if (context.isNull()) {
    monitor->logWithLevel(level, code, message);
  } else {
    monitor->logWithLevel(level, code, message, std::move(context));
  }
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string lowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string uppercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The first word of a column definition ("INTEGER NOT NULL" gives "INTEGER").
std::string firstWord(const std::string& definition) {
  const size_t space = definition.find(' ');
  return space == std::string::npos ? definition : definition.substr(0, space);
}

// A value the store can bind.
bool isBindable(const os::Value& value) {
  return value.isData() || value.isNumber() || value.isString() || value.isNull();
}

}  // namespace

// ---- Lifecycle ----

APMSqliteStore::APMSqliteStore(std::string path)
    : queueLabel_(os::DispatchQueue::currentLabel()), databasePath_(std::move(path)) {}

std::shared_ptr<APMSqliteStore> APMSqliteStore::initWithDatabasePath(std::string_view path, os::Error* error) {
  if (!APMCheckNotZero(path.size(), error, kArgument, "Received empty database path on init")) return nullptr;
  std::shared_ptr<APMSqliteStore> store(new APMSqliteStore(std::string(path)));
  if (store->openAndValidateDatabase(error)) return store;
  if (!store->closeAndDeleteDatabase()) return nullptr;
  if (!store->openAndValidateDatabase(error)) return nullptr;
  return store;
}

APMSqliteStore::~APMSqliteStore() { closeDatabase(); }

bool APMSqliteStore::openAndValidateDatabase(os::Error* error) {
  auto& fm = os::FileManager::defaultManager();
  if (fm.fileExistsAtPath(databasePath_)) {
    auto attributes = fm.attributesOfItemAtPath(databasePath_);
    if (!attributes) {
      if (error != nullptr) *error = attributes.error();
      return false;
    }
    auto immutable = attributes->find(os::kFileImmutable);
    if (immutable != attributes->end() && immutable->second.boolValue()) {
      auto cleared = fm.setAttributes({{os::kFileImmutable, os::Value(false)}}, databasePath_);
      if (!cleared) {
        if (error != nullptr) *error = cleared.error();
        return false;
      }
    }
  } else if (auto made = fm.createDirectoryAtPath(directoryOf(databasePath_), true); !made) {
    if (error != nullptr) *error = made.error();
    return false;
  }

  if (sqlite3_open_v2(databasePath_.c_str(), &sqliteHandle_, kOpenFlags, nullptr) != SQLITE_OK) {
    setDatabaseError(error, "initialize sqlite handle");
    closeDatabase();
    return false;
  }

  if (auto excluded = APMExcludePathFromBackup(databasePath_); !excluded) {
    monitorLog(4, kAPMSqliteCodeExcludeFromBackupFailed, "Failed to exclude database file from backup",
               excluded.error());
  }

  const bool valid = validateDatabaseWithError(error);
  if (!valid) closeDatabase();
  return valid;
}

bool APMSqliteStore::validateDatabaseWithError(os::Error* error) {
  if (!APMCheckNotNULL(sqliteHandle_, error, kState, "Validate database failed. Database not open.")) return false;
  bool valid = false;
  if (sqlite3_stmt* statement = prepareSQL("PRAGMA integrity_check", error)) {
    if (sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      valid = text != nullptr && std::string_view(reinterpret_cast<const char*>(text)) == "ok";
    }
    if (!valid) setDatabaseError(error, "validate database");
    sqlite3_finalize(statement);
  } else {
    setDatabaseError(error, "validate database");
  }
  return valid;
}

void APMSqliteStore::closeDatabase() {
  if (sqliteHandle_ == nullptr) return;
  finalizeAndClearStatements();
  const int result = sqlite3_close(sqliteHandle_);
  if (result != SQLITE_OK) {
    monitorLog(1, kAPMSqliteCodeCloseFailed, "Failed to close database. Got error code", result);
  }
  sqliteHandle_ = nullptr;
}

void APMSqliteStore::finalizeAndClearStatements() {
  for (auto& [query, statement] : statementCache_) sqlite3_finalize(statement);
  statementCache_.clear();
}

bool APMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  auto& fm = os::FileManager::defaultManager();
  if (!fm.fileExistsAtPath(databasePath_)) return true;
  (void)fm.setAttributes({{os::kFileImmutable, os::Value(false)}}, databasePath_);  // failure ignored
  if (auto removed = fm.removeItemAtPath(databasePath_); !removed) {
    monitorLog(1, kAPMSqliteCodeDeleteFailed, "Failed to delete database. Error", removed.error());
    return false;
  }
  return true;
}

// ---- Tables ----

bool APMSqliteStore::ensureTableWithName(std::string_view name, const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo, os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for ensure table") &&
        APMCheckNotZero(elementaryColumnInfo.size(), error, kArgument,
                        "Received empty elementary column info for ensure table"))) {
    return false;
  }
  std::string createSQL = os::format("CREATE TABLE IF NOT EXISTS %@ ( ", name);
  std::vector<std::string> requiredColumnNames;
  for (const auto& [column, definition] : elementaryColumnInfo) {
    createSQL += os::format("%@ %@, ", column, definition);
    if (column != kAPMPrimaryKeyColumnName) requiredColumnNames.push_back(column);
  }
  if (createSQL.ends_with(", ")) createSQL.replace(createSQL.size() - 2, 2, ");");
  if (!APMCheckNotZero(createSQL.size(), error, kState, "Failed to create statement for table")) return false;

  APMAddOnColumns addOnColumns;
  for (const auto& [column, definition] : addOnColumnInfo) {
    if (column.empty() || std::ranges::any_of(addOnColumns, [&](const auto& added) { return added.first == column; })) {
      continue;
    }
    std::string alterSQL = os::format("ALTER TABLE %@ ADD COLUMN %@ %@", name, column, definition);
    if (!APMCheckNotZero(alterSQL.size(), error, kState, "Failed to create alter statement for table")) return false;
    addOnColumns.emplace_back(column, std::move(alterSQL));
  }
  return ensureTableWithNameCreateSQLRequiredColumnNamesAddOnColumns(name, createSQL, requiredColumnNames,
                                                                     addOnColumns, error);
}

bool APMSqliteStore::ensureTableWithName(std::string_view name, const APMColumnInfo& elementaryColumnInfo,
                                         const APMColumnInfo& addOnColumnInfo,
                                         const APMModifyColumnInfo& modifyColumnInfo, os::Error* error) {
  if (!ensureTableWithName(name, elementaryColumnInfo, addOnColumnInfo, error)) return false;
  if (modifyColumnInfo.empty()) return true;
  auto rewrite = [&](const APMColumnInfo& columns) {
    APMColumnInfo out;
    for (const auto& [column, definition] : columns) {
      if (column == kAPMPrimaryKeyColumnName) continue;
      auto changed = modifyColumnInfo.find(column);
      out.emplace_back(column, changed != modifyColumnInfo.end() ? changed->second : definition);
    }
    return out;
  };
  return ensureSchemaOfTableWithName(name, rewrite(elementaryColumnInfo), rewrite(addOnColumnInfo), error);
}

bool APMSqliteStore::ensureSchemaOfTableWithName(std::string_view name, const APMColumnInfo& elementaryColumnInfo,
                                                 const APMColumnInfo& addOnColumnInfo, os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for ensure table schema") &&
        APMCheckNotZero(elementaryColumnInfo.size(), error, kArgument,
                        "Received empty column info for ensure table schema"))) {
    return false;
  }
  auto current = columnInfoForTableWithName(name, error);
  if (!APMCheckNotZero(current ? current->size() : 0, error, kState, "Table does not exist for ensure table schema")) {
    return false;
  }

  std::map<std::string, std::string, std::less<>> expected;
  for (const auto& [column, definition] : elementaryColumnInfo) {
    if (column == kAPMPrimaryKeyColumnName || column.empty()) continue;
    std::string type = firstWord(definition);
    if (!type.empty()) expected[column] = std::move(type);
  }
  for (const auto& [column, definition] : addOnColumnInfo) {
    if (!column.empty() && !definition.empty()) expected[column] = definition;
  }
  if (*current == expected) return true;

  const std::string table(name);
  const std::string oldTable = table + "_old";
  os::Error stepError;
  os::Error transactionError;
  const bool rebuilt = performTransactionWithError(&transactionError, [&] {
    return renameTable(table, oldTable, &stepError) &&
           ensureTableWithName(table, elementaryColumnInfo, addOnColumnInfo, &stepError) &&
           copyContentsFromTable(oldTable, table, &stepError) && dropTableWithName(oldTable, &stepError);
  });
  if (!rebuilt && error != nullptr) *error = transactionError.domain().empty() ? stepError : transactionError;
  return rebuilt;
}

bool APMSqliteStore::ensureTableWithNameCreateSQLRequiredColumnNamesAddOnColumns(
    std::string_view name, std::string_view createSQL, const std::vector<std::string>& requiredColumnNames,
    const APMAddOnColumns& addOnColumns, os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for ensure table") &&
        APMCheckNotZero(requiredColumnNames.size(), error, kArgument, "Received no table columns for ensure table") &&
        APMCheckNotZero(createSQL.size(), error, kArgument, "Received empty create statement for ensure table") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Ensure table failed. Database not open."))) {
    return false;
  }
  auto exists = tableExists(name, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  return validateTableWithName(name, requiredColumnNames, addOnColumns, error).value_or(false);
}

std::optional<bool> APMSqliteStore::validateTableWithName(std::string_view name,
                                                          const std::vector<std::string>& requiredColumnNames,
                                                          const APMAddOnColumns& addOnColumns, os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for validate table") &&
        APMCheckNotZero(requiredColumnNames.size(), error, kArgument, "Received no table columns for validate table") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Validate table failed. Database not open."))) {
    return std::nullopt;
  }
  auto columns = columnsForTableWithName(name, error);
  if (!columns || columns->empty()) return std::nullopt;
  std::set<std::string, std::less<>> remaining(columns->begin(), columns->end());

  for (const auto& required : requiredColumnNames) {
    if (!remaining.contains(required)) {
      APMSetError(error, kState, "Table is missing required columns");
      return false;
    }
  }
  for (const auto& required : requiredColumnNames) remaining.erase(required);
  for (const auto& [column, alterSQL] : addOnColumns) {
    if (remaining.erase(column) > 0) continue;
    if (!executeSQL(alterSQL, error)) return false;
  }
  if (remaining.empty()) return true;

  // Columns the caller does not know are accepted only when they may be NULL.
  const std::string query = os::format("PRAGMA table_info(%@)", name);
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (statement == nullptr) return false;
  bool unknownNotNull = false;
  while (!unknownNotNull && sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* column = sqlite3_column_text(statement, 1);
    if (column == nullptr) continue;
    unknownNotNull = sqlite3_column_int(statement, 3) != 0 &&
                     remaining.contains(std::string_view(reinterpret_cast<const char*>(column)));
  }
  cleanUpStatement(statement, query);
  if (unknownNotNull) {
    APMSetError(error, kState, "Table contains unknown non-optional columns");
    return false;
  }
  return true;
}

std::optional<bool> APMSqliteStore::tableExists(std::string_view name, os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for table exists") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Table exists failed. Database not open."))) {
    return std::nullopt;
  }
  sqlite3_stmt* statement = prepareSQL("SELECT name FROM sqlite_master WHERE type='table' AND name=?", error);
  if (statement == nullptr) return std::nullopt;
  if (!bindValues({os::Value(name)}, statement, error)) {
    sqlite3_finalize(statement);
    return std::nullopt;
  }
  const bool exists = sqlite3_step(statement) == SQLITE_ROW;
  sqlite3_finalize(statement);
  return exists;
}

std::optional<std::vector<std::string>> APMSqliteStore::columnsForTableWithName(std::string_view name,
                                                                                os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for get columns") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Get table columns failed. Database not open."))) {
    return std::nullopt;
  }
  const std::string query = os::format("PRAGMA table_info(%@)", name);
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (statement == nullptr) return std::nullopt;
  std::vector<std::string> columns;
  // A step error ends the scan with what was read.
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* column = sqlite3_column_text(statement, 1);
    if (column != nullptr && *column != '\0') columns.emplace_back(reinterpret_cast<const char*>(column));
  }
  cleanUpStatement(statement, query);
  return columns;
}

std::optional<std::map<std::string, std::string, std::less<>>> APMSqliteStore::columnInfoForTableWithName(
    std::string_view name, os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for column info") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Get table column info failed. Database not open."))) {
    return std::nullopt;
  }
  const std::string query = os::format("PRAGMA table_info(%@)", name);
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (statement == nullptr) return std::nullopt;
  std::map<std::string, std::string, std::less<>> info;
  // A step error ends the scan with what was read.
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* column = sqlite3_column_text(statement, 1);
    const unsigned char* type = sqlite3_column_text(statement, 2);
    if (column != nullptr && *column != '\0' && type != nullptr && *type != '\0') {
      info[reinterpret_cast<const char*>(column)] = reinterpret_cast<const char*>(type);
    }
  }
  cleanUpStatement(statement, query);
  return info;
}

bool APMSqliteStore::dropTableWithName(std::string_view name, os::Error* error) {
  return APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for drop table") &&
         executeSQL(os::format("DROP TABLE %@", name), error);
}

bool APMSqliteStore::renameTable(std::string_view oldName, std::string_view newName, os::Error* error) {
  return APMCheckNotZero(oldName.size(), error, kArgument, "Received empty old name for rename table") &&
         APMCheckNotZero(newName.size(), error, kArgument, "Received empty new name for rename table") &&
         APMCheck(oldName != newName, error, kArgument, "Received duplicate name for rename table") &&
         executeSQL(os::format("ALTER TABLE %@ RENAME TO %@", oldName, newName), error);
}

bool APMSqliteStore::copyContentsFromTable(std::string_view sourceTable, std::string_view destinationTable,
                                           os::Error* error) {
  return APMCheckNotZero(sourceTable.size(), error, kArgument, "Received empty source name for copy table") &&
         APMCheckNotZero(destinationTable.size(), error, kArgument, "Received empty destination name for copy table") &&
         APMCheck(sourceTable != destinationTable, error, kArgument, "Received duplicate name for copy table") &&
         executeSQL(os::format("INSERT INTO %@ SELECT * FROM %@", destinationTable, sourceTable), error);
}

bool APMSqliteStore::createEmptyTable(std::string_view newTable, std::string_view sourceTable, os::Error* error) {
  return APMCheckNotZero(sourceTable.size(), error, kArgument, "Received empty source name for create empty copy") &&
         APMCheckNotZero(newTable.size(), error, kArgument, "Received empty destination name for create empty copy") &&
         APMCheck(sourceTable != newTable, error, kArgument, "Received duplicate name for create empty copy") &&
         executeSQL(os::format("CREATE TABLE IF NOT EXISTS %@ AS SELECT * FROM %@ WHERE false", newTable, sourceTable),
                    error);
}

// ---- Rows ----

std::optional<os::Number> APMSqliteStore::rowCountForTableWithName(std::string_view name, os::Error* error) {
  return rowCountForTableWithName(name, {}, std::nullopt, error);
}

std::optional<os::Number> APMSqliteStore::rowCountForTableWithName(std::string_view name, std::string_view columnName,
                                                                   const std::optional<os::Value>& columnValue,
                                                                   os::Error* error) {
  if (!(APMCheckNotZero(name.size(), error, kArgument, "Received empty table name for row count") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Row count failed. Database not open."))) {
    return std::nullopt;
  }
  std::string query = os::format("SELECT count(1) FROM %@", name);
  os::Array parameters;
  if (columnValue && !columnName.empty()) {
    query += os::format(" WHERE %@=?", columnName);
    parameters.push_back(*columnValue);
  }
  return numberForQuery(query, parameters, error);
}

bool APMSqliteStore::upsertRecord(const os::Dictionary& record, std::string_view tableName, os::Error* error) {
  if (!(APMCheckNotZero(record.size(), error, kArgument, "Received empty record for upsert") &&
        APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for upsert") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Upsert record failed. Database not open."))) {
    return false;
  }
  std::string sql;
  os::Array values;
  return upsertTextForRecord(record, tableName, sql, values, error) &&
         stepCachedStatement(sql, values, error);
}

sqlite3_stmt* APMSqliteStore::upsertStatementForRecord(const os::Dictionary& record, std::string_view tableName,
                                                       os::Error* error) {
  std::string sql;
  os::Array values;
  if (!upsertTextForRecord(record, tableName, sql, values, error)) return nullptr;
  return preparedStatementWithValues(sql, values, error);
}

sqlite3_stmt* APMSqliteStore::preparedStatementWithValues(std::string_view sql, const os::Array& values,
                                                          os::Error* error) {
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return nullptr;
  if (!bindValues(values, statement, error)) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::upsertTextForRecord(const os::Dictionary& record, std::string_view tableName, std::string& sql,
                                         os::Array& values, os::Error* error) {
  if (!(APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for upsert") &&
        APMCheckNotZero(record.size(), error, kArgument, "Received empty record for upsert"))) {
    return false;
  }
  std::string columns;
  std::string placeholders;
  for (const auto& [column, value] : record) {
    if (!isBindable(value)) {
      monitorLog(4, kAPMSqliteCodeUpsertValueType, "Record has value of unexpected type");
      APMSetError(error, kArgument, "Failed to bind parameter of unexpected type to upsert statement");
      return false;
    }
    columns += os::format("%@, ", column);
    placeholders += "?, ";
    values.push_back(value);
  }
  columns.resize(columns.size() - 2);
  placeholders.resize(placeholders.size() - 2);
  sql = os::format("INSERT OR REPLACE INTO %@ (%@) VALUES (%@);", tableName, columns, placeholders);
  return true;
}

bool APMSqliteStore::updateRecord(const os::Dictionary& record, std::string_view tableName,
                                  std::string_view columnName, const std::optional<os::Value>& columnValue,
                                  os::Error* error) {
  if (!(APMCheckNotZero(record.size(), error, kArgument, "Empty record for update") &&
        APMCheckNotZero(tableName.size(), error, kArgument, "Empty table name for update") &&
        APMCheckNotZero(columnName.size(), error, kArgument, "Empty column name for update") &&
        APMCheckNotNil(columnValue, error, kArgument, "Nil column value for update") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Update record failed. Database not open."))) {
    return false;
  }
  std::string sql;
  os::Array values;
  return updateTextForRecord(record, tableName, columnName, columnValue, sql, values, error) &&
         stepCachedStatement(sql, values, error);
}

sqlite3_stmt* APMSqliteStore::updateStatementForRecord(const os::Dictionary& record, std::string_view tableName,
                                                       std::string_view columnName,
                                                       const std::optional<os::Value>& columnValue,
                                                       os::Error* error) {
  std::string sql;
  os::Array values;
  if (!updateTextForRecord(record, tableName, columnName, columnValue, sql, values, error)) return nullptr;
  return preparedStatementWithValues(sql, values, error);
}

bool APMSqliteStore::updateTextForRecord(const os::Dictionary& record, std::string_view tableName,
                                         std::string_view columnName, const std::optional<os::Value>& columnValue,
                                         std::string& sql, os::Array& values, os::Error* error) {
  if (!(APMCheckNotZero(record.size(), error, kArgument, "Empty record for update") &&
        APMCheckNotZero(tableName.size(), error, kArgument, "Empty table name for update") &&
        APMCheckNotZero(columnName.size(), error, kArgument, "Empty column name for update") &&
        APMCheckNotNil(columnValue, error, kArgument, "Nil column value for update"))) {
    return false;
  }
  std::string setList;
  std::optional<os::Array> bound = os::Array();
  for (const auto& [column, value] : record) {
    if (!isBindable(value)) {
      monitorLog(4, kAPMSqliteCodeUpdateValueType, "Record has value of unexpected type (update)");
      bound.reset();
      break;
    }
    setList += os::format("%@=?,", column);
    bound->push_back(value);
  }
  if (!APMCheckNotNil(bound, error, kArgument, "Failed to bind parameter of unexpected type to update statement")) {
    return false;
  }
  setList.pop_back();
  bound->push_back(*columnValue);
  values = std::move(*bound);
  sql = os::format("UPDATE %@ SET %@ WHERE %@=?", tableName, setList, columnName);
  return true;
}

bool APMSqliteStore::updateAllRecordsInTableWithName(std::string_view tableName, std::string_view columnName,
                                                     const std::optional<os::Value>& columnValue, os::Error* error) {
  if (!(APMCheckNotZero(tableName.size(), error, kArgument, "Empty table name for update") &&
        APMCheckNotZero(columnName.size(), error, kArgument, "Empty column name for update") &&
        APMCheckNotNil(columnValue, error, kArgument, "Nil column value for update") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Update record failed. Database not open."))) {
    return false;
  }
  const std::string query = os::format("UPDATE %@ SET %@=?", tableName, columnName);
  sqlite3_stmt* statement = statementForQuery(query, {*columnValue}, error);
  if (statement == nullptr) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "update all records value");
  cleanUpStatement(statement, query);
  return done;
}

bool APMSqliteStore::increaseColumn(std::string_view columnName, int64_t value, std::string_view tableName,
                                    std::string_view condition, const os::Array& parameterValues,
                                    os::Error* error) {
  if (!(APMCheckNotZero(tableName.size(), error, kArgument, "Empty table name for increase column") &&
        APMCheckNotZero(columnName.size(), error, kArgument, "Empty column name for increase column") &&
        APMCheckNotZero(condition.size(), error, kArgument, "Empty condition for increase column") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Increase column failed. Database not open."))) {
    return false;
  }
  std::optional<std::string> declaredType;
  if (auto info = columnInfoForTableWithName(tableName, error)) {
    if (auto it = info->find(columnName); it != info->end()) declaredType = it->second;
  }
  if (!(APMCheckNotNil(declaredType, error, kArgument, "Invalid column or table name") &&
        APMCheck(uppercased(*declaredType) == "INTEGER", error, kArgument, "Column type is not integer."))) {
    return false;
  }
  const std::string query =
      os::format("UPDATE %@ SET %@ = %@ + %lld WHERE %@", tableName, columnName, columnName, value, condition);
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "increase records value");
  cleanUpStatement(statement, query);
  return done;
}

bool APMSqliteStore::deleteRecordFromTableWithName(std::string_view tableName, std::string_view columnName,
                                                   const std::optional<os::Value>& columnValue, os::Error* error) {
  if (!(APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for delete record") &&
        APMCheckNotZero(columnName.size(), error, kArgument, "Received empty column for delete record") &&
        APMCheckNotNil(columnValue, error, kArgument, "Received nil value for delete record") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Delete record failed. Database not open."))) {
    return false;
  }
  sqlite3_stmt* statement = prepareSQL(os::format("DELETE FROM %@ WHERE %@=?", tableName, columnName), error);
  if (statement == nullptr) return false;
  if (!bindValues({*columnValue}, statement, error)) {
    sqlite3_finalize(statement);
    return false;
  }
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "delete record");
  sqlite3_finalize(statement);
  return done;
}

std::optional<int64_t> APMSqliteStore::deleteRecordsFromTableWithName(std::string_view tableName,
                                                                      std::string_view condition,
                                                                      const os::Array& parameterValues,
                                                                      os::Error* error) {
  if (!(APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for delete record") &&
        APMCheckNotZero(condition.size(), error, kArgument, "Received empty condition for delete record") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Delete records with condition failed. Database not open."))) {
    return std::nullopt;
  }
  const std::string query = os::format("DELETE FROM %@ WHERE %@", tableName, condition);
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;
  std::optional<int64_t> deleted;
  if (sqlite3_step(statement) == SQLITE_DONE) {
    deleted = sqlite3_changes(sqliteHandle_);
  } else {
    setDatabaseError(error, "delete records with condition");
  }
  cleanUpStatement(statement, query);
  return deleted;
}

bool APMSqliteStore::deleteAllRecordsFromTableWithName(std::string_view tableName, os::Error* error) {
  if (!(APMCheckNotZero(tableName.size(), error, kArgument, "Received empty table name for delete all records") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Delete all records failed. Database not open."))) {
    return false;
  }
  const std::string query = os::format("DELETE FROM %@", tableName);
  sqlite3_stmt* statement = statementForQuery(query, error);
  if (statement == nullptr) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "delete all records");
  cleanUpStatement(statement, query);
  return done;
}

std::optional<std::vector<os::Dictionary>> APMSqliteStore::recordsForQuery(std::string_view query,
                                                                           const os::Array& parameterValues,
                                                                           os::Error* error) {
  static const APMRowFilter keepAll = [](uint32_t, const os::Dictionary&) { return true; };
  return recordsForQuery(query, parameterValues, error, keepAll);
}

std::optional<std::vector<os::Dictionary>> APMSqliteStore::recordsForQuery(std::string_view query,
                                                                           const os::Array& parameterValues,
                                                                           os::Error* error,
                                                                           const APMRowFilter& filter) {
  if (!(APMCheckNotZero(query.size(), error, kArgument, "Received empty query for records for query") &&
        APMCheckNotNil(filter, error, kArgument, "Received empty filter for selecting records") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Query records failed. Database not open.") &&
        APMCheck(lowercased(query.substr(0, 6)) == "select", error, kArgument, "Received invalid select query"))) {
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;

  int step = sqlite3_step(statement);
  if (step != SQLITE_ROW) {
    // No rows is an empty answer; a failure (such as a lock another
    // connection holds) is an error, never an empty answer.
    if (step != SQLITE_DONE) setDatabaseError(error, "query records");
    cleanUpStatement(statement, query);
    if (step != SQLITE_DONE) return std::nullopt;
    return std::vector<os::Dictionary>();
  }

  std::vector<os::Dictionary> rows;
  const int columnCount = sqlite3_column_count(statement);
  for (uint32_t index = 0; step == SQLITE_ROW; ++index) {
    os::Dictionary row;
    for (int column = 0; column < columnCount; ++column) {
      const char* name = sqlite3_column_name(statement, column);
      if (name == nullptr) {
        monitorLog(4, kAPMSqliteCodeColumnNameMissing, "Failed to get column name");
        continue;
      }
      auto value = valueAtColumn(column, statement);
      if (!value) {
        monitorLog(4, kAPMSqliteCodeNilColumnValue, "Value is nil for column", std::string(name));
        continue;
      }
      row[name] = std::move(*value);
    }
    if (!filter(index, row)) break;
    rows.push_back(std::move(row));
    step = sqlite3_step(statement);
  }
  if (rows.empty()) monitorLog(4, kAPMSqliteCodeAllRowsFiltered, "Database contains records that were all filtered out");
  cleanUpStatement(statement, query);
  return rows;
}

std::optional<os::Number> APMSqliteStore::numberForQuery(std::string_view query, const os::Array& parameterValues,
                                                         os::Error* error) {
  if (!(APMCheckNotZero(query.size(), error, kArgument, "Received empty query to get numeric result") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Query numeric result failed. Database not open."))) {
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;
  std::optional<os::Number> number;
  if (sqlite3_step(statement) != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result");
  } else if (auto value = valueAtColumn(0, statement); !value || !value->isNull()) {
    const os::Number* found = value ? value->number() : nullptr;
    if (APMCheck(found != nullptr, error, kArgument, "Found result that was not numeric")) number = *found;
  }
  cleanUpStatement(statement, query);
  return number;
}

// ---- Transactions ----

bool APMSqliteStore::performTransactionWithError(os::Error* error, const APMTransactionBlock& block) {
  if (!(APMCheckNotNil(block, error, kArgument, "Received nil transaction block") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Database not open") &&
        APMCheck(beginTransaction(), error, kDatabase, "Failed to begin transaction"))) {
    return false;
  }
  bool succeeded;
  try {
    succeeded = block();
  } catch (...) {
    if (!rollbackTransaction()) {
      monitorLog(1, kAPMSqliteCodeRollbackAfterException, "Failed to rollback transaction after exception");
    }
    throw;
  }
  if (!succeeded) {
    APMSetError(error, kDatabase, "Transaction failed");
    if (!rollbackTransaction()) monitorLog(1, kAPMSqliteCodeRollbackFailed, "Failed to rollback transaction");
    return false;
  }
  if (!endTransaction()) {
    APMSetError(error, kDatabase, "Failed to end transaction");
    // SQLite keeps the transaction open after some failed commits (a busy
    // file, a deferred constraint): end it, so the next BEGIN works and the
    // file keeps what it held before.
    if (sqliteHandle_ != nullptr && sqlite3_get_autocommit(sqliteHandle_) == 0 && !rollbackTransaction()) {
      monitorLog(1, kAPMSqliteCodeRollbackFailed, "Failed to rollback transaction");
    }
    return false;
  }
  return true;
}

void APMSqliteStore::performReadTransaction(const std::function<void()>& block) {
  const bool began = sqliteHandle_ != nullptr && sqlite3_get_autocommit(sqliteHandle_) != 0 &&
                     stepCachedStatement("BEGIN DEFERRED TRANSACTION", {}, nullptr);
  block();
  // Reads commit nothing; END only releases the shared lock.
  if (began && sqliteHandle_ != nullptr && sqlite3_get_autocommit(sqliteHandle_) == 0 && !endTransaction() &&
      !rollbackTransaction()) {
    monitorLog(1, kAPMSqliteCodeRollbackFailed, "Failed to rollback transaction");
  }
}

// The three statements are prepared once per connection (texts without
// WHERE are cached).
bool APMSqliteStore::beginTransaction() { return stepCachedStatement("BEGIN EXCLUSIVE TRANSACTION", {}, nullptr); }

bool APMSqliteStore::endTransaction() { return stepCachedStatement("END TRANSACTION", {}, nullptr); }

bool APMSqliteStore::rollbackTransaction() { return stepCachedStatement("ROLLBACK", {}, nullptr); }

bool APMSqliteStore::stepCachedStatement(std::string_view query, const os::Array& parameterValues, os::Error* error) {
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  cleanUpStatement(statement, query);
  return done;
}

// ---- Statements ----

sqlite3_stmt* APMSqliteStore::statementForQuery(std::string_view query, os::Error* error) {
  return statementForQuery(query, {}, error);
}

sqlite3_stmt* APMSqliteStore::statementForQuery(std::string_view query, const os::Array& parameterValues,
                                                os::Error* error) {
  const std::string text(query);
  if (auto cached = statementCache_.find(text); cached != statementCache_.end()) {
    if (!parameterValues.empty() && !bindValues(parameterValues, cached->second, error)) return nullptr;
    return cached->second;
  }
  if (!APMCheckNotNULL(sqliteHandle_, error, kState, "Statement for query failed. Database not open.")) return nullptr;
  const bool hasParameters = text.find('?') != std::string::npos;
  if (hasParameters && !APMCheckNotZero(parameterValues.size(), error, kArgument, "Received empty parameters")) {
    return nullptr;
  }
  sqlite3_stmt* statement = prepareSQL(text, error);
  if (statement == nullptr) return nullptr;
  const bool cache = hasParameters || lowercased(text).find("where") == std::string::npos;
  if (cache) statementCache_[text] = statement;
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    if (!cache) sqlite3_finalize(statement);  // no one else will
    return nullptr;
  }
  return statement;
}

void APMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, std::string_view query) {
  if (statement == nullptr) return;
  auto cached = statementCache_.find(std::string(query));
  if (cached == statementCache_.end()) {
    sqlite3_finalize(statement);
    return;
  }
  if (cached->second != statement) {
    // Resetting a statement the cache does not hold would leave it for no
    // one to finalize; sqlite3_close then refuses to close the connection.
    monitorLog(5, kAPMSqliteCodeStatementNotCached, "Statement is not the same one in the cache");
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

sqlite3_stmt* APMSqliteStore::prepareSQL(std::string_view sql, os::Error* error) {
  if (!(APMCheckNotZero(sql.size(), error, kArgument, "Received empty SQL string to prepare") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Prepare SQL failed. Database not open."))) {
    return nullptr;
  }
  const std::string text(sql);
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int result = SQLITE_ERROR;
  if (sqlite3_libversion_number() >= kPrepareV3Version) {
    result = sqlite3_prepare_v3(sqliteHandle_, text.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, &tail);
  }
  if (result != SQLITE_OK) {
    sqlite3_finalize(statement);
    statement = nullptr;
    result = sqlite3_prepare_v2(sqliteHandle_, text.c_str(), -1, &statement, &tail);
    if (result != SQLITE_OK) {
      setDatabaseError(error, "prepare statement");
      sqlite3_finalize(statement);
      return nullptr;
    }
  }
  if (tail != nullptr && *tail != '\0') {
    APMSetError(error, kArgument, "Query contained more than one SQL statement.");
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

bool APMSqliteStore::executeSQL(std::string_view sql, os::Error* error) {
  if (!(APMCheckNotZero(sql.size(), error, kArgument, "Received empty SQL string to execute") &&
        APMCheckNotNULL(sqliteHandle_, error, kState, "Execute SQL failed. Database not open."))) {
    return false;
  }
  sqlite3_stmt* statement = prepareSQL(sql, error);
  return statement != nullptr && executeSQLStatement(statement, error);
}

bool APMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, os::Error* error) {
  if (!APMCheckNotNULL(statement, error, kArgument, "Execute SQL statement failed. Statement is NULL.")) return false;
  if (!APMCheckNotNULL(sqliteHandle_, error, kState, "Execute SQL statement failed. Database not open.")) {
    sqlite3_finalize(statement);
    return false;
  }
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, "execute statement");
  sqlite3_finalize(statement);
  return done;
}

bool APMSqliteStore::bindValues(const os::Array& values, sqlite3_stmt* statement, os::Error* error) {
  if (!APMCheckNotNULL(statement, error, kArgument, "Failed to bind to NULL statement")) return false;
  sqlite3_clear_bindings(statement);
  bool bound = true;
  for (size_t i = 0; i < values.size(); ++i) {
    const os::Value& value = values[i];
    const int position = static_cast<int>(i + 1);
    int result = SQLITE_MISMATCH;
    if (const os::Data* data = value.data()) {
      // Copied: the caller's data need not outlive the statement. An empty
      // blob gets a non-null pointer, or SQLite would store NULL.
      static const uint8_t kEmpty = 0;
      const void* bytes = data->length() > 0 ? data->bytes() : &kEmpty;
      result = sqlite3_bind_blob64(statement, position, bytes, data->length(), SQLITE_TRANSIENT);
    } else if (const os::Number* number = value.number()) {
      result = number->isFloatingPoint() ? sqlite3_bind_double(statement, position, number->doubleValue())
                                         : sqlite3_bind_int64(statement, position, number->int64Value());
    } else if (const std::string* text = value.string()) {
      result = sqlite3_bind_text64(statement, position, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else if (value.isNull()) {
      result = sqlite3_bind_null(statement, position);
    }
    if (result != SQLITE_OK) {
      setDatabaseError(error, "bind values");
      bound = false;
    }
  }
  return bound;
}

std::optional<os::Value> APMSqliteStore::valueAtColumn(int index, sqlite3_stmt* statement) const {
  if (statement == nullptr) return std::nullopt;
  switch (sqlite3_column_type(statement, index)) {
    case SQLITE_BLOB: {
      const void* bytes = sqlite3_column_blob(statement, index);
      if (bytes == nullptr) return std::nullopt;
      return os::Value(os::Data(bytes, static_cast<size_t>(sqlite3_column_bytes(statement, index))));
    }
    case SQLITE_FLOAT:
      return os::Value(os::Number::float64(sqlite3_column_double(statement, index)));
    case SQLITE_INTEGER:
      return os::Value(os::Number::int64(sqlite3_column_int64(statement, index)));
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_column_text(statement, index);
      if (text == nullptr) return std::nullopt;
      return os::Value(std::string(reinterpret_cast<const char*>(text),
                                   static_cast<size_t>(sqlite3_column_bytes(statement, index))));
    }
    case SQLITE_NULL:
      return os::Value();
    default:
      return std::nullopt;
  }
}

// ---- Errors ----

std::optional<std::string> APMSqliteStore::lastErrorMessage() const {
  if (sqliteHandle_ == nullptr) {
    monitorLog(1, kAPMSqliteCodeNoLastErrorMessage, "Failed to get last error message. Database not open");
    return std::nullopt;
  }
  return std::string(sqlite3_errmsg(sqliteHandle_));
}

std::string APMSqliteStore::errorDescriptionForDatabaseOperation(std::string_view operation) const {
  if (sqliteHandle_ == nullptr) return {};
  return os::format("Database operation \"%@\" failed with sqlite code %d and error message \"%@\"", operation,
                    sqlite3_errcode(sqliteHandle_), lastErrorMessage().value_or(""));
}

std::string APMSqliteStore::monitorContextForDatabaseOperation(std::string_view operation) const {
  const bool writable = ::access(databasePath_.c_str(), W_OK) == 0;
  return os::format("%@,%d,%@", operation.empty() ? std::string_view("Unknown operation") : operation,
                    sqlite3_errcode(sqliteHandle_), writable ? "A" : "NA");
}

void APMSqliteStore::setDatabaseError(os::Error* error, std::string_view operation) const {
  if (error == nullptr) return;
  *error = apm_errorWithCode(kDatabase, errorDescriptionForDatabaseOperation(operation),
                             monitorContextForDatabaseOperation(operation));
}

// ---- For tests ----

sqlite3_stmt* APMSqliteStore::TEST_cachedStatementForQuery(std::string_view query) const {
  auto cached = statementCache_.find(std::string(query));
  return cached == statementCache_.end() ? nullptr : cached->second;
}

int APMSqliteStore::TEST_openStatementCount() const {
  int count = 0;
  for (sqlite3_stmt* s = sqlite3_next_stmt(sqliteHandle_, nullptr); s != nullptr; s = sqlite3_next_stmt(sqliteHandle_, s)) {
    ++count;
  }
  return count;
}
