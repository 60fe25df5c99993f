// APMSqliteStore: one SQLite connection to one database file, and the SQL the
// measurement library needs without writing it at each call site: tables
// made and evolved from column lists, rows inserted, updated, counted and
// deleted by column, SELECT queries returning rows as dictionaries, single
// numeric results, exclusive transactions around a block, and a cache of
// prepared statements. The measurement and experiments databases each own
// one store; file names and schemas are theirs.
//
// States:
//   created   initWithDatabasePath opened the file and it passed
//             "PRAGMA integrity_check". A file that cannot be opened or fails
//             the check is deleted and made anew, once; when that fails too
//             there is no store (null).
//   open      every operation first checks the connection (code 2
//             "... Database not open." when there is none).
//   in a transaction
//             between BEGIN EXCLUSIVE and END or ROLLBACK: the file is locked
//             against every other connection. Transactions do not nest.
//   closed    after closeAndDeleteDatabase (or destruction): the handle is
//             null, the cache empty, and every operation fails with its
//             "Database not open" error. A store is never reopened.
//
// Values. A record (os::Dictionary, column -> value) and the parameter list
// of a query bind by type: data as a BLOB (copied), a floating-point number
// as REAL, any other number as INTEGER (its 64-bit value; Booleans 0 and 1),
// a string as TEXT (copied), the null value as NULL. Any other value (date,
// array, dictionary) cannot be bound. Parameters bind to "?" positions 1,
// 2, ... in order. A row read back maps result column names to values: BLOB
// as data, REAL as a double, INTEGER as an int64, TEXT as a string, NULL as
// the null value; an empty BLOB reads as no value, and its column is left
// out of the row (34004).
//
// Statement cache, keyed by the exact SQL text: a text holding "?" or no
// WHERE is prepared once per connection and afterwards re-bound, stepped and
// reset; a text with a literal WHERE clause and no "?" is prepared for one
// use and finalized at clean-up. upsertRecord and updateRecord build their
// text from the record's columns and run it from the cache too; the
// transaction statements are cached; single-row deletes and the statements
// upsertStatementForRecord and updateStatementForRecord hand out are
// prepared fresh.
//
// Errors. Each operation takes an error out-parameter that may be null and
// sets it when it fails (errors.h): code 1 for a bad argument, 2 when the
// connection is closed or a table is missing or unacceptable, 3 when SQLite
// failed. A code-3 error of SQLite is described as
//   Database operation "<operation>" failed with sqlite code <n> and error message "<message>"
// and carries the monitor context "<operation>,<sqlite code>,A" ("NA" when
// the file is not writable), which the monitor appends to its sampled record
// when the error is logged as a context. Diagnostics go to the measurement
// monitor with codes 34003..34022 (constants below).
//
// Durability: every change runs in SQLite's rollback journal; a transaction
// that fails (its block answers false, a statement or END fails) is rolled
// back, so the file holds what it held before it.
//
// Threads: the store has no lock of its own. The connection is opened in
// SQLite's serialized mode, but the statement cache and a cached statement
// between its use and its clean-up are unguarded: use a store from one
// serial queue (its owner's) at a time.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "os/foundation/error.h"
#include "os/foundation/value.h"

// Monitor codes of the store.
inline constexpr int64_t kAPMSqliteCodeColumnNameMissing = 34003;     // level 4
inline constexpr int64_t kAPMSqliteCodeNilColumnValue = 34004;        // level 4, column name
inline constexpr int64_t kAPMSqliteCodeAllRowsFiltered = 34005;       // level 4
inline constexpr int64_t kAPMSqliteCodeRollbackAfterException = 34009;  // level 1
inline constexpr int64_t kAPMSqliteCodeRollbackFailed = 34011;        // level 1
inline constexpr int64_t kAPMSqliteCodeStatementNotCached = 34016;    // level 5
inline constexpr int64_t kAPMSqliteCodeExcludeFromBackupFailed = 34017;  // level 4, error
inline constexpr int64_t kAPMSqliteCodeCloseFailed = 34018;           // level 1, result code
inline constexpr int64_t kAPMSqliteCodeDeleteFailed = 34019;          // level 1, error
inline constexpr int64_t kAPMSqliteCodeUpsertValueType = 34020;       // level 4
inline constexpr int64_t kAPMSqliteCodeUpdateValueType = 34021;       // level 4
inline constexpr int64_t kAPMSqliteCodeNoLastErrorMessage = 34022;    // level 1

// The entry name of a table constraint in a column list: ("PRIMARY KEY",
// "(audience_id, filter_id)") becomes PRIMARY KEY (audience_id, filter_id).
inline constexpr const char* kAPMPrimaryKeyColumnName = "PRIMARY KEY";

// (column name, column definition) pairs in order, such as
// ("timestamp", "INTEGER NOT NULL"); see kAPMPrimaryKeyColumnName.
using APMColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name -> new column definition.
using APMModifyColumnInfo = std::map<std::string, std::string, std::less<>>;
// (column name, ALTER TABLE text that adds the column) pairs, in the order
// the columns are to be added.
using APMAddOnColumns = std::vector<std::pair<std::string, std::string>>;
// A row filter: (index of the row offered, from 0; the row) -> keep it and go
// on (true), or stop the read without it (false).
using APMRowFilter = std::function<bool(uint32_t rowIndex, const os::Dictionary& row)>;
// A transaction's work: true for success.
using APMTransactionBlock = std::function<bool()>;

class APMSqliteStore {
 public:
  // ---- Lifecycle ----

  // Opens the file, creating it and its folder when missing and clearing a
  // recorded immutable attribute, and checks it with "PRAGMA integrity_check".
  // A file that fails to open or to pass is deleted and opened once more.
  // Null when the path is empty (1 "Received empty database path on init")
  // or both openings failed; *error then holds the last failure.
  static std::shared_ptr<APMSqliteStore> initWithDatabasePath(std::string_view path, os::Error* error);
  // Closes the connection.
  ~APMSqliteStore();
  APMSqliteStore(const APMSqliteStore&) = delete;
  APMSqliteStore& operator=(const APMSqliteStore&) = delete;

  // The open connection, or null once closed.
  sqlite3* sqliteHandle() const { return sqliteHandle_; }
  const std::string& databasePath() const { return databasePath_; }

  // Closes the connection and removes the file (after clearing its immutable
  // attribute). False, with 34019 logged, when the file exists and cannot be
  // removed.
  bool closeAndDeleteDatabase();

  // ---- Tables ----

  // CREATE TABLE IF NOT EXISTS from the elementary columns, then validation:
  // the elementary columns must all be there, a missing add-on column is
  // added with ALTER TABLE ADD COLUMN, and a column the lists do not name is
  // accepted only when it may be NULL.
  bool ensureTableWithName(std::string_view name, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo, os::Error* error);
  // The same, then the columns named in modifyColumnInfo take their new
  // definitions: a table whose declared types differ is rebuilt with them
  // (ensureSchemaOfTableWithName; composite primary keys are not carried into
  // the rebuilt table).
  bool ensureTableWithName(std::string_view name, const APMColumnInfo& elementaryColumnInfo,
                           const APMColumnInfo& addOnColumnInfo, const APMModifyColumnInfo& modifyColumnInfo,
                           os::Error* error);
  // Compares the table's declared types with the lists' (the first word of
  // an elementary definition, the whole add-on definition); when they differ,
  // in one transaction: rename the table to <name>_old, create it anew, copy
  // the rows over and drop the copy. A failure leaves the table as it was,
  // with the transaction's error (3 "Transaction failed").
  bool ensureSchemaOfTableWithName(std::string_view name, const APMColumnInfo& elementaryColumnInfo,
                                   const APMColumnInfo& addOnColumnInfo, os::Error* error);
  // The general form behind ensureTableWithName.
  bool ensureTableWithNameCreateSQLRequiredColumnNamesAddOnColumns(std::string_view name, std::string_view createSQL,
                                                                   const std::vector<std::string>& requiredColumnNames,
                                                                   const APMAddOnColumns& addOnColumns,
                                                                   os::Error* error);
  // True or false as above; nullopt when the table is missing or unreadable.
  std::optional<bool> validateTableWithName(std::string_view name, const std::vector<std::string>& requiredColumnNames,
                                            const APMAddOnColumns& addOnColumns, os::Error* error);
  std::optional<bool> tableExists(std::string_view name, os::Error* error);
  // Column names in table order; empty for a missing table.
  std::optional<std::vector<std::string>> columnsForTableWithName(std::string_view name, os::Error* error);
  // Column name -> declared type.
  std::optional<std::map<std::string, std::string, std::less<>>> columnInfoForTableWithName(std::string_view name,
                                                                                             os::Error* error);
  bool dropTableWithName(std::string_view name, os::Error* error);
  bool renameTable(std::string_view oldName, std::string_view newName, os::Error* error);
  bool copyContentsFromTable(std::string_view sourceTable, std::string_view destinationTable, os::Error* error);
  bool createEmptyTable(std::string_view newTable, std::string_view sourceTable, os::Error* error);

  // ---- Rows ----

  std::optional<os::Number> rowCountForTableWithName(std::string_view name, os::Error* error);
  // Rows whose column equals the value (all rows for no value or no column).
  std::optional<os::Number> rowCountForTableWithName(std::string_view name, std::string_view columnName,
                                                     const std::optional<os::Value>& columnValue, os::Error* error);
  // INSERT OR REPLACE of the record's columns.
  bool upsertRecord(const os::Dictionary& record, std::string_view tableName, os::Error* error);
  // The prepared, bound upsert; null on failure. Run it with
  // executeSQLStatement, which finalizes it.
  sqlite3_stmt* upsertStatementForRecord(const os::Dictionary& record, std::string_view tableName, os::Error* error);
  // UPDATE of the record's columns in the rows whose key column equals the
  // key value.
  bool updateRecord(const os::Dictionary& record, std::string_view tableName, std::string_view columnName,
                    const std::optional<os::Value>& columnValue, os::Error* error);
  sqlite3_stmt* updateStatementForRecord(const os::Dictionary& record, std::string_view tableName,
                                         std::string_view columnName, const std::optional<os::Value>& columnValue,
                                         os::Error* error);
  // Sets one column of every row.
  bool updateAllRecordsInTableWithName(std::string_view tableName, std::string_view columnName,
                                       const std::optional<os::Value>& columnValue, os::Error* error);
  // Adds `value` to an INTEGER column (declared type compared upper-cased) in
  // the rows matching the condition ("name=?" with its parameters).
  bool increaseColumn(std::string_view columnName, int64_t value, std::string_view tableName,
                      std::string_view condition, const os::Array& parameterValues, os::Error* error);
  bool deleteRecordFromTableWithName(std::string_view tableName, std::string_view columnName,
                                     const std::optional<os::Value>& columnValue, os::Error* error);
  // The number of rows deleted.
  std::optional<int64_t> deleteRecordsFromTableWithName(std::string_view tableName, std::string_view condition,
                                                        const os::Array& parameterValues, os::Error* error);
  bool deleteAllRecordsFromTableWithName(std::string_view tableName, os::Error* error);
  // The rows of a query that begins with "select" (any case), each filtered
  // as it is read. A query without rows gives an empty array; one that SQLite
  // fails (a lock held by another connection) gives nullopt with a code-3
  // error "query records". A step that fails after the first row ends the
  // read with the rows so far.
  std::optional<std::vector<os::Dictionary>> recordsForQuery(std::string_view query, const os::Array& parameterValues,
                                                             os::Error* error);
  std::optional<std::vector<os::Dictionary>> recordsForQuery(std::string_view query, const os::Array& parameterValues,
                                                             os::Error* error, const APMRowFilter& filter);
  // The first column of the first row. nullopt with no error when it is
  // NULL; nullopt with an error when there is no row, SQLite fails, or it is
  // not a number (1 "Found result that was not numeric").
  std::optional<os::Number> numberForQuery(std::string_view query, const os::Array& parameterValues,
                                           os::Error* error);

  // ---- Transactions ----

  // Runs the block between BEGIN EXCLUSIVE TRANSACTION and END TRANSACTION.
  // A block answering false is rolled back (3 "Transaction failed"); a block
  // that throws is rolled back and the exception passed on. When END fails
  // (3 "Failed to end transaction") and SQLite left the transaction open, it
  // is rolled back, so the next transaction can begin and the file holds
  // what it held before. Inside a transaction, a further one fails to begin
  // (3 "Failed to begin transaction") and leaves the outer one running.
  bool performTransactionWithError(os::Error* error, const APMTransactionBlock& block);
  // Runs a block of reads between BEGIN DEFERRED TRANSACTION and END
  // TRANSACTION, so they share one file lock instead of taking one each.
  // Outside a transaction only; when one is open or cannot begin, the block
  // runs as it would without it. The block must not begin a transaction.
  void performReadTransaction(const std::function<void()>& block);
  // The bare statements; true when SQLite answers 0. They set no error.
  bool beginTransaction();
  bool endTransaction();
  bool rollbackTransaction();

  // ---- Statements ----

  // A prepared statement for the text, from the cache or new (see the cache
  // rule above), bound with the parameters. A text with "?" needs parameters
  // (1 "Received empty parameters"). Hand it back with cleanUpStatement.
  sqlite3_stmt* statementForQuery(std::string_view query, os::Error* error);
  sqlite3_stmt* statementForQuery(std::string_view query, const os::Array& parameterValues, os::Error* error);
  // Resets the cached statement of the text and clears its bindings; a
  // statement that is not the cached one (34016 when another is cached) is
  // finalized. Call it once after each use of a statement from
  // statementForQuery or prepareSQL not handed to executeSQLStatement.
  void cleanUpStatement(sqlite3_stmt* statement, std::string_view query);
  // A fresh statement, never cached. One statement only: any text after it,
  // even white space, is refused (1 "Query contained more than one SQL
  // statement.").
  sqlite3_stmt* prepareSQL(std::string_view sql, os::Error* error);
  bool executeSQL(std::string_view sql, os::Error* error);
  // Steps once and finalizes the statement, whatever happens; true when the
  // step finished the statement.
  bool executeSQLStatement(sqlite3_stmt* statement, os::Error* error);
  // Clears the bindings and binds every value; all are tried, and the error
  // is that of the last one that failed.
  bool bindValues(const os::Array& values, sqlite3_stmt* statement, os::Error* error);
  // The current row's column: a value (the null value for NULL), or nullopt
  // for no value (an empty BLOB, a NULL text pointer, no statement).
  std::optional<os::Value> valueAtColumn(int index, sqlite3_stmt* statement) const;

  // ---- Errors ----

  // sqlite3_errmsg of the connection; nullopt (34022) when closed.
  std::optional<std::string> lastErrorMessage() const;
  // "" when the connection is closed.
  std::string errorDescriptionForDatabaseOperation(std::string_view operation) const;
  std::string monitorContextForDatabaseOperation(std::string_view operation) const;
  // A code-3 error for the operation, with the connection's current code.
  void setDatabaseError(os::Error* error, std::string_view operation) const;

  // ---- For tests ----
  // The cached statement of the text, or null.
  sqlite3_stmt* TEST_cachedStatementForQuery(std::string_view query) const;
  // Statements of the connection not yet finalized.
  int TEST_openStatementCount() const;

 private:
  explicit APMSqliteStore(std::string path);
  bool openAndValidateDatabase(os::Error* error);
  bool validateDatabaseWithError(os::Error* error);
  void closeDatabase();
  void finalizeAndClearStatements();
  // The text and values of upsertRecord and updateRecord; false (with the
  // error set) for a record they refuse.
  bool upsertTextForRecord(const os::Dictionary& record, std::string_view tableName, std::string& sql,
                           os::Array& values, os::Error* error);
  bool updateTextForRecord(const os::Dictionary& record, std::string_view tableName, std::string_view columnName,
                           const std::optional<os::Value>& columnValue, std::string& sql, os::Array& values,
                           os::Error* error);
  // A fresh statement of the text bound with the values; null on failure.
  sqlite3_stmt* preparedStatementWithValues(std::string_view sql, const os::Array& values, os::Error* error);
  // Runs the query's statement from the cache once; true when it finished.
  bool stepCachedStatement(std::string_view query, const os::Array& parameterValues, os::Error* error);

  sqlite3* sqliteHandle_ = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> statementCache_;
  std::string queueLabel_;  // the queue current at creation
  const std::string databasePath_;
};
