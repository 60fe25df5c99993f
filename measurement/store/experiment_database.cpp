#include "measurement/store/experiment_database.h"

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/errors.h"
#include "os/foundation/clock.h"
#include "os/foundation/format.h"

namespace {

// Held for the whole call, so a logger replaced meanwhile stays alive.
std::shared_ptr<APMEMonitor> log() { return APMEMonitor::shared(); }

const APMColumnInfo& snapshotColumns() {
  // Never destroyed: experiment work may run during exit.
  static const auto& columns = *new APMColumnInfo{
      {kAPMESDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
      {kAPMESnapshotProtoColumn, "BLOB NOT NULL"},
      {kAPMETimestampColumn, "REAL NOT NULL"},
      {kAPMEManuallyActivatedColumn, "INTEGER"},
  };
  return columns;
}

APMLogContext errorContext(const os::Error& error) {
  return error.domain().empty() ? APMLogContext() : APMLogContext(error);
}

}  // namespace

std::shared_ptr<APMEDatabase> APMEDatabase::initWithPath(std::string_view path) {
  if (path.empty()) {
    log()->logWithLevel(1, 810000, "Cannot initialize the database with invalid path");
    return nullptr;
  }
  std::shared_ptr<APMEDatabase> database(new APMEDatabase());
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  return database;
}

bool APMEDatabase::initializeDatabaseResourcesWithContext(std::string_view context, std::string_view databasePath) {
  databasePath_ = std::string(databasePath);
  os::Error openError;
  sqliteStore_ = APMSqliteStore::initWithDatabasePath(databasePath, &openError);
  if (!sqliteStore_) {
    log()->logWithLevel(1, 810001, os::format("Failed to open database (%@)", context), errorContext(openError));
    return false;
  }
  if (ensureAllTables()) return true;

  log()->logWithLevel(1, 810002, os::format("Failed to create or validate required database tables (%@)", context));
  // Closed before the file goes, so no handle outlives it.
  sqliteStore_.reset();
  if (os::Status deleted = APMDeleteFileAtPath(databasePath_); !deleted) {
    log()->logWithLevel(4, 810003,
                       os::format("Failed to delete old database file after failed validation. Error (%@)", context),
                       deleted.error());
  }
  return false;
}

bool APMEDatabase::ensureAllTables() {
  if (!sqliteStore_) return false;
  for (const char* table : {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
    os::Error error;
    // A failure counts whether or not the store said why: a missing table
    // would fail every later read and write.
    if (!sqliteStore_->ensureTableWithName(table, snapshotColumns(), {}, &error)) {
      log()->logWithLevel(1, 810004, "Failed to ensure table. Table, error", table, errorContext(error));
      return false;
    }
  }
  return true;
}

void APMEDatabase::closeAndDelete() {
  if (!sqliteStore_) return;
  if (!sqliteStore_->closeAndDeleteDatabase()) log()->logWithLevel(4, 810005, "Failed to delete database data");
}

void APMEDatabase::reset() {
  const std::string path = sqliteStore_ ? sqliteStore_->databasePath() : databasePath_;
  closeAndDelete();
  sqliteStore_.reset();
  if (!initializeDatabaseResourcesWithContext("Reset", path)) {
    log()->logWithLevel(1, 810006, "Cannot re-initialize the database");
  }
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
  os::Error error;
  bool done = false;
  if (sqliteStore_) {
    done = sqliteStore_->performTransactionWithError(&error, block);
  } else {
    error = apm_errorWithCode(APMErrorCode::InvalidState, "Database not open");
  }
  if (!done) log()->logWithLevel(1, 810007, os::format("Transaction failed. %@", error.localizedDescription()));
  return done;
}

// ---- Reading ----

std::optional<APMESnapshots> APMEDatabase::fetchAllPendingSnapshots(os::Error* error) {
  return allDataTypesFromTableWithName(kAPMEPendingSnapshotTable, kAPMEDatabaseTableLimit, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllActivatedSnapshots(os::Error* error) {
  return allDataTypesFromTableWithName(kAPMEActivatedSnapshotTable, kAPMEDatabaseTableLimit, error);
}

std::optional<APMESnapshots> APMEDatabase::fetchAllLaunchedSnapshots(os::Error* error) {
  return allDataTypesFromTableWithName(kAPMELaunchedSnapshotTable, kAPMEDatabaseTableLimit, error);
}

std::shared_ptr<APMESnapshot> APMEDatabase::snapshotFromRow(const os::Dictionary& row) {
  auto proto = row.find(kAPMESnapshotProtoColumn);
  if (proto == row.end() || !proto->second.isData()) return nullptr;
  auto message = APMPBSnapshot::initWithBuffer(*proto->second.data());
  if (!message) return nullptr;
  auto snapshot = APMESnapshot::initWithProtobuf(message.get());
  if (!snapshot) return nullptr;
  if (auto timestamp = row.find(kAPMETimestampColumn); timestamp != row.end()) {
    snapshot->setTimestamp(timestamp->second.doubleValue());
  }
  if (auto manual = row.find(kAPMEManuallyActivatedColumn); manual != row.end() && manual->second.isNumber()) {
    snapshot->setManuallyActivated(manual->second.int64Value() != 0);
  }
  return snapshot;
}

void APMEDatabase::dropUndecodableRow(std::string_view tableName, const os::Dictionary& row) {
  const os::Value rows(row);
  const os::Value rowid = rows["rowid"];
  const os::Value name = rows[kAPMESDKNameColumn];
  log()->logWithLevel(1, 810008, "Dropped a snapshot row that does not decode. Table, SDK name", tableName, name);
  if (rowid.isNumber() && sqliteStore_) {
    os::Error error;
    sqliteStore_->deleteRecordsFromTableWithName(tableName, "rowid = ?", {rowid}, &error);
  }
}

std::optional<APMESnapshots> APMEDatabase::allDataTypesFromTableWithName(std::string_view tableName,
                                                                         int64_t tableLimit, os::Error* error) {
  if (!APMCheckNotNil(sqliteStore_, error, APMErrorCode::InvalidState, "Database not open")) return std::nullopt;
  const std::string query =
      os::format("SELECT rowid, * FROM %@ ORDER BY rowid LIMIT %ld", tableName, static_cast<long>(tableLimit));
  auto rows = sqliteStore_->recordsForQuery(query, {}, error);
  if (!rows) return std::nullopt;
  APMESnapshots snapshots;
  for (const auto& row : *rows) {
    if (auto snapshot = snapshotFromRow(row)) {
      snapshots.push_back(snapshot);
    } else {
      dropUndecodableRow(tableName, row);
    }
  }
  return snapshots;
}

// ---- Writing ----

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot* snapshot, std::string_view tableName, double timestamp,
                                  std::optional<int64_t> manuallyActivated, os::Error* error) {
  if (!APMCheckNotNil(snapshot, error, APMErrorCode::InvalidArgument, "Received nil snapshot") ||
      !APMCheckNotNil(sqliteStore_, error, APMErrorCode::InvalidState, "Database not open")) {
    return false;
  }
  std::optional<os::Data> bytes = snapshot->protoBuffer();
  if (!APMCheckNotNil(bytes, error, APMErrorCode::InvalidArgument, "Cannot encode snapshot")) return false;
  os::Dictionary record{
      {kAPMESDKNameColumn, os::Value(APMPBGetString(snapshot, kAPMPBSnapshotSDKNameIndex).value_or(""))},
      {kAPMESnapshotProtoColumn, os::Value(std::move(*bytes))},
      {kAPMETimestampColumn, os::Value(timestamp)},
  };
  if (manuallyActivated) record.emplace(kAPMEManuallyActivatedColumn, os::Value(os::Number::int64(*manuallyActivated)));
  return sqliteStore_->upsertRecord(record, tableName, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const APMESnapshots& snapshots, os::Error* error) {
  for (const auto& snapshot : snapshots) {
    if (!snapshot) continue;
    auto proto = snapshot->proto();
    if (!upsertSnapshot(proto.get(), kAPMEPendingSnapshotTable, snapshot->timestamp(),
                        snapshot->manuallyActivated() ? 1 : 0, error)) {
      return false;
    }
  }
  return true;
}

bool APMEDatabase::activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp,
                                    os::Error* error) {
  if (!snapshot) {
    APMSetError(error, APMErrorCode::InvalidArgument, "Received nil pending snapshot");
    return false;
  }
  std::shared_ptr<APMEExperiment> launched;
  std::vector<std::shared_ptr<APMEExperiment>> activated;
  for (const auto& experiment : snapshot->experiments()) {
    if (experiment->experimentID() == 0) {
      launched = experiment;
    } else {
      activated.push_back(experiment);
    }
  }
  if (launched) {
    auto launchedSnapshot = APMESnapshot::initWithSDKName(snapshot->SDKName(), {launched});
    auto proto = launchedSnapshot ? launchedSnapshot->proto() : nullptr;
    if (!upsertSnapshot(proto.get(), kAPMELaunchedSnapshotTable, timestamp, std::nullopt, error)) return false;
  }
  if (!activated.empty()) {
    auto activatedSnapshot = APMESnapshot::initWithSDKName(snapshot->SDKName(), activated);
    auto proto = activatedSnapshot ? activatedSnapshot->proto() : nullptr;
    if (!upsertSnapshot(proto.get(), kAPMEActivatedSnapshotTable, timestamp, std::nullopt, error)) return false;
  }
  if (!APMCheckNotNil(sqliteStore_, error, APMErrorCode::InvalidState, "Database not open")) return false;
  // A pending row written after T (a newer fetch) stays.
  const std::string condition = os::format("%@ = ? AND %@ <= ?", kAPMESDKNameColumn, kAPMETimestampColumn);
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kAPMEPendingSnapshotTable, condition,
                                       {os::Value(snapshot->SDKName()), os::Value(timestamp)}, error)
      .has_value();
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(os::Error* error) {
  if (!APMCheckNotNil(sqliteStore_, error, APMErrorCode::InvalidState, "Database not open")) return false;
  // NOT manually_activated = 1 selects the 0 rows; a NULL row is not selected.
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid,* FROM pending_snapshot_table WHERE NOT manually_activated = ? ORDER BY rowid",
      {os::Value(os::Number::int64(1))}, error);
  if (!rows) return false;
  for (const auto& row : *rows) {
    auto snapshot = snapshotFromRow(row);
    if (!snapshot) {
      dropUndecodableRow(kAPMEPendingSnapshotTable, row);
      continue;
    }
    if (!activateSnapshot(snapshot, snapshot->timestamp(), error)) return false;
    if (!deletePendingExperimentsOfSDKName(snapshot->SDKName(), error)) return false;
  }
  return true;
}

bool APMEDatabase::deleteStaleActivatedSnapshots(os::Error* error) {
  if (!APMCheckNotNil(sqliteStore_, error, APMErrorCode::InvalidState, "Database not open")) return false;
  const double cutoff = os::Clock::current().wallTime() - kAPMEActivatedSnapshotLifetime;
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kAPMEActivatedSnapshotTable, os::format("%@ <= ?", kAPMETimestampColumn),
                                       {os::Value(cutoff)}, error)
      .has_value();
}

bool APMEDatabase::deleteExperimentsOfSDKName(std::string_view SDKName, std::string_view tableName,
                                              os::Error* error) {
  if (!APMCheckNotNil(sqliteStore_, error, APMErrorCode::InvalidState, "Database not open")) return false;
  return sqliteStore_->deleteRecordFromTableWithName(tableName, kAPMESDKNameColumn, os::Value(SDKName), error);
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(std::string_view SDKName, os::Error* error) {
  if (SDKName.empty()) {
    APMSetError(error, APMErrorCode::InvalidArgument, "Received empty SDK Name");
    return false;
  }
  return deleteExperimentsOfSDKName(SDKName, kAPMEActivatedSnapshotTable, error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(std::string_view SDKName, os::Error* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMEPendingSnapshotTable, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(std::string_view SDKName, os::Error* error) {
  return deleteExperimentsOfSDKName(SDKName, kAPMELaunchedSnapshotTable, error);
}
