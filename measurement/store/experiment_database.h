// APMEDatabase: the experiment snapshots of every SDK across launches, in an
// SQLite file of their own ("devuvo_experimentation_database.sql" in the
// measurement directory), beside the measurement database.
//
// Three tables of the same four columns hold per SDK at most one row each:
//   pending_snapshot_table    fetched, not yet in force; manually_activated
//                             0 (activated at the next start) or 1 (the SDK
//                             activates it itself)
//   activated_snapshot_table  in force; dropped three days after activation
//   launched_snapshot_table   the experiment with id 0 (rolled out to all)
// Columns: sdk_name (TEXT NOT NULL PRIMARY KEY), snapshotProto (the encoded
// Snapshot message), timestamp (REAL, seconds since 1970: the snapshot's time
// for pending rows, the activation time otherwise), manually_activated
// (INTEGER, NULL outside the pending table). Writing a row replaces the SDK's
// row (insert-or-replace), so rowid order is the order of the last writes.
//
// A row whose snapshotProto does not decode into a snapshot is dropped: reads
// skip it, delete it from its table and log 810008, so one damaged row never
// hides the others or stops activation at every start.
//
// States: open (a store) after initWithPath; without a store after a failed
// (re)opening; closed after closeAndDelete, where every operation fails with
// the store's "not open" error. Used only from the experiment worker queue;
// no lock of its own. Errors made here are measurement errors (errors.h):
// 1 "Received nil pending snapshot", 1 "Received empty SDK Name",
// 2 "Received an invalid snapshot from database"; the store's pass through.
//
// Codes (level): 810000 (1) no path; 810001 (1) open failed; 810002 (1) the
// tables could not be ensured, the file is deleted; 810003 (4) deleting it
// failed; 810004 (1) one table failed; 810005 (4) closeAndDelete failed;
// 810006 (1) reset could not reopen; 810007 (1) a transaction failed;
// 810008 (1) an undecodable row was dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/store/experiment_records.h"
#include "measurement/store/sqlite_store.h"

inline constexpr const char* kAPMEDatabaseFileName = "devuvo_experimentation_database.sql";
inline constexpr const char* kAPMEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kAPMEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kAPMELaunchedSnapshotTable = "launched_snapshot_table";
inline constexpr const char* kAPMESDKNameColumn = "sdk_name";
inline constexpr const char* kAPMESnapshotProtoColumn = "snapshotProto";
inline constexpr const char* kAPMETimestampColumn = "timestamp";
inline constexpr const char* kAPMEManuallyActivatedColumn = "manually_activated";
inline constexpr int64_t kAPMEDatabaseTableLimit = 100000;
// Activated rows older than this (seconds) are deleted at start.
inline constexpr double kAPMEActivatedSnapshotLifetime = 259200;

using APMESnapshots = std::vector<std::shared_ptr<APMESnapshot>>;

class APMEDatabase {
 public:
  // Opens the file and ensures the tables (context word "Init"); null for an
  // empty path (810000) or when that fails.
  static std::shared_ptr<APMEDatabase> initWithPath(std::string_view path);
  APMEDatabase(const APMEDatabase&) = delete;
  APMEDatabase& operator=(const APMEDatabase&) = delete;

  // Opens the store on the path and ensures the tables. When the tables
  // cannot be ensured the file is deleted and there is no store; the next
  // opening makes a new file.
  bool initializeDatabaseResourcesWithContext(std::string_view context, std::string_view databasePath);
  // Ensures the three tables; false (810004) as soon as one fails.
  bool ensureAllTables();
  // Closes the store and deletes the file.
  void closeAndDelete();
  // closeAndDelete, then opens a new file at the same path ("Reset").
  void reset();
  // Runs the block in one exclusive transaction, committed when it answers
  // true and rolled back otherwise (810007).
  bool performTransaction(const std::function<bool()>& block);

  // All rows of a table as snapshots, in rowid order; nullopt with the
  // store's error when the query fails.
  std::optional<APMESnapshots> fetchAllPendingSnapshots(os::Error* error);
  std::optional<APMESnapshots> fetchAllActivatedSnapshots(os::Error* error);
  std::optional<APMESnapshots> fetchAllLaunchedSnapshots(os::Error* error);
  std::optional<APMESnapshots> allDataTypesFromTableWithName(std::string_view tableName, int64_t tableLimit,
                                                            os::Error* error);

  // Pending rows with each snapshot's time and manual flag, in list order;
  // stops at the first failure. An empty list succeeds.
  bool upsertPendingExperimentSnapshots(const APMESnapshots& snapshots, os::Error* error);
  // Puts a pending snapshot in force at time T: its id-0 experiment becomes
  // the launched row, the others the activated row (each only when there is
  // one), and the SDK's pending row written at or before T is deleted.
  bool activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp, os::Error* error);
  // Activates every pending row with manually_activated 0, at its own time.
  bool activatePendingSnapshotsAutomatically(os::Error* error);
  // Deletes activated rows 259200 s old or older.
  bool deleteStaleActivatedSnapshots(os::Error* error);
  // Fails (1 "Received empty SDK Name") for an empty name.
  bool deleteActivatedExperimentsOfSDKName(std::string_view SDKName, os::Error* error);
  bool deletePendingExperimentsOfSDKName(std::string_view SDKName, os::Error* error);
  bool deleteLaunchedExperimentSDKName(std::string_view SDKName, os::Error* error);
  bool deleteExperimentsOfSDKName(std::string_view SDKName, std::string_view tableName, os::Error* error);
  // One row: sdk_name from the message, its encoding, the time, and
  // manually_activated only when given.
  bool upsertSnapshot(const APMPBSnapshot* snapshot, std::string_view tableName, double timestamp,
                      std::optional<int64_t> manuallyActivated, os::Error* error);

  // Null without a store.
  const std::shared_ptr<APMSqliteStore>& sqliteStore() const { return sqliteStore_; }

 private:
  APMEDatabase() = default;
  // The snapshot of a row, or null.
  static std::shared_ptr<APMESnapshot> snapshotFromRow(const os::Dictionary& row);
  // Deletes a row that gave no snapshot, logging it.
  void dropUndecodableRow(std::string_view tableName, const os::Dictionary& row);

  std::shared_ptr<APMSqliteStore> sqliteStore_;
  std::string databasePath_;
};
