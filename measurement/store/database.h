// APMDatabase: the measurement library's durable store, the SQLite file
// "devuvo-app-measurement.sql" under Application Support
// "Devuvo/Measurement". Every logged event lands here as a raw event; the
// engine packs raw events into bundles that wait in the upload queue until
// they are uploaded or too old. Beside them live the per-event aggregates,
// user attributes, audience filters and their results, conditional user
// properties, purchase and subscription fingerprints, pending main events,
// and one app_metadata row (bundle index, daily counters, the server
// configuration).
//
// It sits on APMSqliteStore, which owns the connection, the statements, the
// transactions and the table maintenance; this class owns the file's place,
// the schema, the row layouts and the limits. The engine makes one instance
// at start on its worker queue and is its only caller.
//
// Schema: thirteen tables, each made from its elementary columns and given
// its add-on columns when an older file lacks them (database.cpp holds the
// lists). raw_events.timestamp, declared INTEGER by older files, is brought
// to REAL with its rows kept. Tables without a declared key are read and
// trimmed in rowid order.
//
// Caps: a row upserted by key (upsertDataType) is refused when its key is new
// and the table is full (2 "Failed to insert data type. Table is full"):
// app_metadata 1 row, raw_events_metadata 100000, events, user_attributes and
// conditional_properties 1000 each; nothing is evicted. raw_events is trimmed
// to the configured maximum before each insert, queue and raw_events by age.
//
// States:
//   open     initWithDatabaseName made the store, ensured every table and the
//            app_metadata row.
//   closed   the schema check of a reset failed: the connection is closed and
//            the file deleted; every operation fails with 2 "Database not
//            open" until a reset succeeds. (Creation never hands out a closed
//            database: it returns null.)
// Invariants:
//   1. Exactly one app_metadata row (rowid 1) while open.
//   2. A failed schema check never leaves the file behind: the next creation
//      or reset starts from an empty file.
//   3. Every failed check or step of an operation ends it with its error;
//      nothing after it runs, whether or not the caller asked for the error.
//
// Errors: os::Error in the measurement domain (errors.h): 1 a missing or bad
// argument, 2 a failed operation or a full table, 3 a record that could not
// be built or read, or a failure of SQLite (the store's errors pass through).
// Operations take an error out-parameter that may be null; an answer that
// may be "none" (nullopt, null) is a failure only when the error is set.
//
// Threads: no lock of its own; use it from one serial queue (the engine's
// worker queue). Transactions are exclusive and do not nest.
//
// Settings: maxEventsStored, maxQueueTime and
// databaseDeleteStaleBundlesInterval come from
// APMMeasurementServices::remoteConfig() at each use.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/store/daily_counts.h"
#include "measurement/store/engine_services/app_metadata.h"
#include "measurement/store/engine_services/event_records.h"
#include "measurement/store/errors.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/records.h"
#include "measurement/store/sqlite_store.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

class APMConditionalUserProperty;
class APMEvent;

inline constexpr const char* kAPMDatabaseName = "devuvo-app-measurement.sql";

// ---- Tables ----
inline constexpr const char* kAPMAppMetadataTableName = "app_metadata";
inline constexpr const char* kAPMRawEventsMetadataTableName = "raw_events_metadata";
inline constexpr const char* kAPMRawEventsTableName = "raw_events";
inline constexpr const char* kAPMEventsTableName = "events";
inline constexpr const char* kAPMUserAttributesTableName = "user_attributes";
inline constexpr const char* kAPMQueueTableName = "queue";
inline constexpr const char* kAPMEventFiltersTableName = "event_filters";
inline constexpr const char* kAPMPropertyFiltersTableName = "property_filters";
inline constexpr const char* kAPMAudienceFilterValuesTableName = "audience_filter_values";
inline constexpr const char* kAPMPurchaseTransactionsTableName = "purchase_transactions";
inline constexpr const char* kAPMSubscriptionsTableName = "subscriptions";
inline constexpr const char* kAPMConditionalPropertiesTableName = "conditional_properties";
inline constexpr const char* kAPMMainEventParamsTableName = "main_event_params";
// Made on demand as a copy of events.
inline constexpr const char* kAPMEventsSnapshotTableName = "events_snapshot";

// ---- Limits ----
inline constexpr int64_t kAPMAppMetadataLimit = 1;
inline constexpr int64_t kAPMRawEventsMetadataLimit = 100'000;
inline constexpr int64_t kAPMEventsLimit = 1000;
inline constexpr int64_t kAPMUserAttributesLimit = 1000;
inline constexpr int64_t kAPMConditionalPropertiesLimit = 1000;
// Raw events of one fingerprint read at a time.
inline constexpr int64_t kAPMRawEventsReadLimit = 1000;
// A queued bundle's retry counter never rises past this.
inline constexpr int64_t kAPMMaxBundleRetryCount = 2'147'483'647;
// Purchase fingerprints and subscription IDs kept.
inline constexpr int64_t kAPMPurchaseTransactionsLimit = 1000;
inline constexpr int64_t kAPMSubscriptionsLimit = 1000;

// ---- Monitor codes ----
inline constexpr int64_t kAPMDatabaseCodeEnsureTablesFailed = 12002;       // level 1, context word
inline constexpr int64_t kAPMDatabaseCodeDeleteFileFailed = 12003;         // level 4, context word, error
inline constexpr int64_t kAPMDatabaseCodeAppMetadataInitFailed = 12004;    // level 1, context word
inline constexpr int64_t kAPMDatabaseCodeAppMetadataQueryFailed = 12005;   // level 1
inline constexpr int64_t kAPMDatabaseCodeAppMetadataUpdateFailed = 12006;  // level 1, error
inline constexpr int64_t kAPMDatabaseCodeBundleOutsideQueueTime = 12016;   // level 4
inline constexpr int64_t kAPMDatabaseCodeSavingBundle = 12018;             // level 7, compressed size
inline constexpr int64_t kAPMDatabaseCodeEnsureTableFailed = 12047;        // level 1, table, error
inline constexpr int64_t kAPMDatabaseCodeRetryLimitReached = 12054;        // level 1
inline constexpr int64_t kAPMDatabaseCodeEnsureSnapshotFailed = 12058;     // level 4
inline constexpr int64_t kAPMDatabaseCodeTransactionFailed = 12056;        // level 1
inline constexpr int64_t kAPMDatabaseCodeConditionalRowDropped = 12060;    // level 1, name, error

// Makes one record from one row (column -> value, "rowid" included); null,
// with the error set, when it cannot.
template <class T>
using APMCreateDataTypeBlock = std::function<std::shared_ptr<T>(const os::Dictionary& row, os::Error* error)>;

// A complex event's main event and its children still to process.
struct APMMainEventAndChildCount {
  std::shared_ptr<APMEvent> mainEvent;
  int64_t childCount = 0;
};

// A bundle read back from the queue, with its row.
struct APMQueuedBundle {
  std::shared_ptr<APMPBMeasurementBundle> bundle;
  int64_t rowID = 0;
};

class APMDatabase {
 public:
  // =====================================================================
  // File, schema and limits
  // =====================================================================

  // Opens (creating when missing) the named file in the measurement
  // directory, ensures every table and the app_metadata row. Null on failure:
  // 1 "Received empty database name in init"; the store's error when the
  // file cannot be opened; the schema check's error, after which the file is
  // deleted (12002), so the next attempt starts from an empty file; the
  // app_metadata row's error (12004).
  static std::shared_ptr<APMDatabase> initWithDatabaseName(std::string_view name,
                                                           std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                           os::Error* error);
  APMDatabase(const APMDatabase&) = delete;
  APMDatabase& operator=(const APMDatabase&) = delete;

  const std::string& databasePath() const { return databasePath_; }
  // The open store, or null once closed. For the typed operations' own SQL
  // and for tests.
  const std::shared_ptr<APMSqliteStore>& sqliteStore() const { return sqliteStore_; }

  // Deletes the file and makes it anew: every table empty, the app_metadata
  // row at its defaults. 2 "Failed to delete database data" when the file
  // cannot be deleted; else the errors of creation. A database whose new
  // schema check fails is closed.
  bool reset(os::Error* error);

  // Runs the block in one exclusive transaction, committed when it answers
  // true and rolled back otherwise. A failure logs 12056 "Transaction
  // failed. <description>" and answers false. Not nested.
  bool performTransaction(const APMTransactionBlock& block);
  // Runs a block of reads in one deferred transaction of the store
  // (APMSqliteStore::performReadTransaction); without a store, plainly.
  void performReadTransaction(const std::function<void()>& block);

  // ---- Generic row operations, for the typed operations below ----

  // Every row of the table in rowid order, at most `tableLimit` (-1: all),
  // made into records by the block; rows it refuses are left out. nullopt on
  // a failed query; 1 "Received nil block to get all data types".
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> allDataTypesFromTableWithName(
      std::string_view tableName, int64_t tableLimit, os::Error* error, const APMCreateDataTypeBlock<T>& block);
  // The rows whose column equals the value, made into records; empty for no
  // rows. nullopt for an empty table or column name or a null value (1), no
  // block (2), a failed query, or rows none of which the block accepted (2
  // "Failed to initialize data types from dictionaries").
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> dataTypesFromTableWithName(
      std::string_view tableName, std::string_view columnName, const os::Value& columnValue, os::Error* error,
      const APMCreateDataTypeBlock<T>& block);
  // INSERT OR REPLACE of the row. 1 for an empty table name, 2 "Failed to
  // insert empty record" for an empty row.
  bool insertDataType(const os::Dictionary& row, std::string_view tableName, os::Error* error);
  // The capped insert: upserts the row when a row with its key (column =
  // value) exists or the table holds fewer than `tableLimit` rows, else 2
  // "Failed to insert data type. Table is full". 1 for an empty row or table
  // name.
  bool upsertDataType(const os::Dictionary& row, std::string_view tableName, std::string_view columnName,
                      const os::Value& columnValue, int64_t tableLimit, os::Error* error);
  // UPDATE of the row's columns where column = value; 2 "Failed to update
  // record. Item doesn't exist" when no row has the key. 1 for an empty row
  // or table name.
  bool updateDataType(const os::Dictionary& row, std::string_view tableName, std::string_view columnName,
                      const os::Value& columnValue, os::Error* error);

  // =====================================================================
  // App metadata, daily counts and stored configuration (app_metadata)
  // =====================================================================

  // The last bundle's index and times; NULL start time reads 0.0.
  std::optional<APMAppMetadata> queryAppMetadata(os::Error* error);
  bool updateAppMetadata(const APMAppMetadata& appMetadata, os::Error* error);
  // The stored counters as stored (of an older day too): a NULL day reads as
  // today, NULL counters as 0.
  std::optional<APMDailyCounts> dailyCounts(os::Error* error);
  bool updateDailyCounts(const APMDailyCounts& dailyCounts, os::Error* error);
  // Stores the configuration's encoding and now as its time. 1 "Invalid
  // measurement config data" for no encoding, 1 "Missing Devuvo app ID in
  // measurement configuration" without devuvo_app_id.
  bool updateRemoteConfig(const std::shared_ptr<APMPBMeasurementConfig>& config, os::Error* error);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, os::Error* error);
  // The stored configuration; null without an error when none is stored, 2
  // "Remote config data is corrupted" when it does not decode.
  std::shared_ptr<APMPBMeasurementConfig> queryMeasurementConfigWithError(os::Error* error);
  // Seconds since 1970; nullopt when never stored.
  std::optional<double> lastRemoteConfigUpdateTimestamp(os::Error* error);
  // Today's day number (APMDayNumber with the persisted midnight offset).
  int32_t currentDay() const;

  // =====================================================================
  // Raw events and their metadata (raw_events, raw_events_metadata)
  // =====================================================================

  // Stores the bundle metadata under its fingerprint unless already stored
  // (capped). 3 "Received empty measurement bundle metadata for getting
  // dictionary representation" for no encoding.
  bool insertIfNotExistsRawEventMetadata(const std::shared_ptr<APMPBMeasurementBundle>& metadata, os::Error* error);
  // Null without an error when there is none.
  std::shared_ptr<APMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                os::Error* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, os::Error* error);
  // Deletes metadata no raw event refers to.
  bool deleteUnusedRawEventsMetadata(os::Error* error);
  std::optional<bool> isRawEventsTableEmpty(os::Error* error);
  // Stores the event (its message without the name, the name in its own
  // column). No cap: trim first (deleteRawEventsOverAbsoluteLimit). 1
  // "Received empty event for inserting in the database" for no event.
  bool insertRawEvent(const std::shared_ptr<APMEvent>& event, int64_t metadataFingerprint, bool isRealtime,
                      os::Error* error);
  // The latest event time; nullopt for an empty table.
  std::optional<double> queryLatestRawEventTime(os::Error* error);
  std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t fingerprint, os::Error* error);
  std::optional<bool> containsRealtimeRawEventsWithError(os::Error* error);
  // The fingerprint of the oldest raw event; nullopt without an error for an
  // empty table.
  std::optional<int64_t> nextMetadataFingerprintToProcess(os::Error* error);
  // The raw events of the fingerprint in row order, at most 1000; the filter
  // is offered each row (position from 0) and its first false ends the read
  // without that row. Rows that do not convert are skipped; when rows were
  // read and none converted, nullopt with the last conversion's error.
  std::optional<std::vector<std::shared_ptr<APMRawEventData>>> rawEventsWithMetadataFingerprint(
      int64_t fingerprint, os::Error* error, const APMRowFilter& eventFilter);
  bool deleteRawEventsWithMaxRowID(int64_t maxRowID, os::Error* error);
  // Keeps the newest maxEventsStored - 1 rows, so the event about to be
  // inserted makes maxEventsStored. The number of rows deleted.
  std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(os::Error* error);
  // Deletes raw events further than `maxAge` seconds from now, in the past
  // or the future, then the metadata left unused. 1 for a negative age.
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, os::Error* error);
  // One raw_events row as a record (the origin from its "_o" parameter).
  static std::shared_ptr<APMRawEventData> rawEventDataFromDictionary(const os::Dictionary& row, os::Error* error);

  // =====================================================================
  // Upload queue (queue)
  // =====================================================================

  // Stores the bundle gzip-compressed, with its end time, the flag and its
  // retry_count. 1 "Failed to insert nil bundle" (no encoding), 1 "Failed
  // to insert bundle without App ID", 1 "Failed to insert bundle without
  // valid timestamp" (end below 1 ms), 2 "Failed to compress bundle". A
  // bundle ending further than maxQueueTime from now is stored with 12016.
  bool insertBundle(const std::shared_ptr<APMPBMeasurementBundle>& bundle, bool isRealtime, os::Error* error);
  // The oldest `countLimit` bundles within the byte budget: the first always,
  // each further one while the encoded sizes stay within `sizeLimit`; the
  // walk stops at the first that does not fit or once the budget is
  // exceeded. Rows that do not inflate or decode are skipped (and stay).
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithCountLimit(int64_t countLimit, int64_t sizeLimit,
                                                                         os::Error* error);
  // The bundles of those rows that decode.
  std::optional<std::vector<APMQueuedBundle>> queryBundlesWithRowIDs(const std::vector<int64_t>& rowIDs,
                                                                     os::Error* error);
  bool deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, os::Error* error);
  // One more failed upload for each row; a counter at kAPMMaxBundleRetryCount
  // stays (12054 logged), a NULL counter (older files) counts from 0. 1
  // "Failed to increment retry counter" for no rows.
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs, os::Error* error);
  // At most once per databaseDeleteStaleBundlesInterval: deletes raw events
  // and bundles further than maxQueueTime from now and records the time.
  // true when it ran, false when it was too soon, nullopt when a deletion
  // failed (the time is then not recorded).
  std::optional<bool> maybeDeleteStaleData(os::Error* error);
  // Deletes bundles ending further than `maxAge` seconds from now. 1 for a
  // negative age.
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, os::Error* error);
  // The latest bundle end time; nullopt for an empty queue.
  std::optional<double> queryLatestBundleTime(os::Error* error);
  std::optional<bool> containsRealtimeBundlesWithError(os::Error* error);
  std::optional<bool> isQueuedBundleTableEmpty(os::Error* error);
  // "rowid IN (?,?,...)", one placeholder per row; 3 "Received empty row IDs
  // to process" for none.
  static std::optional<std::string> rowIDConditionForRowIDs(const std::vector<int64_t>& rowIDs, os::Error* error);

  // =====================================================================
  // Event aggregates and the events snapshot (events, events_snapshot)
  // =====================================================================

  // Rows whose name does not begin with "_".
  std::optional<int64_t> publicEventCount(os::Error* error);
  // Every row in rowid order, at most 1000.
  std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> allEventAggregates(os::Error* error);
  // Null without an error when the name is not stored.
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(std::string_view name, os::Error* error);
  // From events_snapshot; null without an error when there is no snapshot.
  std::shared_ptr<APMEventAggregates> eventAggregatesSnapshotWithName(std::string_view name, os::Error* error);
  std::shared_ptr<APMEventAggregates> eventAggregatesWithName(std::string_view name, std::string_view tableName,
                                                              os::Error* error);
  // Capped upsert by name; the complex event ID is written only when set. 3
  // "Received empty event aggregates object for getting dictionary
  // representation", 1 "Received event aggregates object with empty name for
  // getting dictionary representation".
  bool updateEventAggregates(const std::shared_ptr<APMEventAggregates>& aggregates, os::Error* error);
  bool clearCurrentSessionCounts(os::Error* error);
  bool deleteAllEventAggregates(os::Error* error);
  bool deleteAllEventAggregatesInSnapshot(os::Error* error);
  // Makes events_snapshot anew as a copy of events (an earlier snapshot is
  // dropped). A failed creation is logged (12058); any failed step ends it
  // with its error.
  bool createEventsSnapshotTable(os::Error* error);
  // Puts the snapshot back: events takes the snapshot's rows, then, when the
  // snapshot's "_f" has a lifetime count of 0 (or none) and events held an
  // "_f" row, that row is kept; the snapshot is emptied last. Nothing changes
  // without a snapshot or with an empty one. A failed step ends it with its
  // error and leaves the snapshot as it was; run it in a transaction so that
  // events is left as it was too.
  bool restoreFromEventsSnapshotTable(os::Error* error);
  // One events row as a record; NULL add-on columns read as the defaults.
  static std::shared_ptr<APMEventAggregates> eventAggregatesFromDictionary(const os::Dictionary& row,
                                                                          os::Error* error);

  // =====================================================================
  // User attributes and conditional user property rows (user_attributes,
  // conditional_properties)
  // =====================================================================

  std::optional<int64_t> publicUserAttributeCount(os::Error* error);
  // 1 "Received empty user property origin for count query".
  std::optional<int64_t> userAttributeCountForOrigin(std::string_view origin, os::Error* error);
  // 1 "Received empty user property name for exists query".
  std::optional<bool> containsUserAttributeWithName(std::string_view name, os::Error* error);
  // Null without an error when the name is not stored.
  std::shared_ptr<APMUserAttribute> userAttributeWithName(std::string_view name, os::Error* error);
  // The attributes whose names begin with "_ltv_" (taken literally), most
  // recently set first; nullopt when a row does not convert.
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> allLifetimeValueUserAttributes(os::Error* error);
  // Every attribute in rowid order, at most 1000; without internal ones
  // those whose name begins with "_" or a reserved prefix, or is a long name
  // of a user-property short name, are left out.
  std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> userAttributesIncludingInternal(
      bool includeInternal, os::Error* error);
  // Capped upsert by name. 3 "Received empty user property for getting
  // dictionary representation", 3 "... with empty origin ...", 1 "... with
  // empty name ...", 1 "Received empty string value for user property".
  bool updateUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute, os::Error* error);
  bool deleteUserAttributeWithName(std::string_view name, os::Error* error);
  // One user_attributes row; null without an error for a value that is not
  // a string or a number.
  static std::shared_ptr<APMUserAttribute> userAttributeFromDictionary(const os::Dictionary& row, os::Error* error);

  // Null without an error when the name is not stored (or its row was
  // dropped, see conditionalUserPropertiesWithCondition).
  std::shared_ptr<APMConditionalUserProperty> conditionalUserPropertyWithName(std::string_view name,
                                                                             os::Error* error);
  // Capped upsert by name (code 3 for no record, an empty name or origin, no
  // value). The trigger event name and the three events are written only
  // when present.
  bool updateConditionalUserProperty(const std::shared_ptr<APMConditionalUserProperty>& property, os::Error* error);
  bool deleteConditionalUserPropertyWithName(std::string_view name, os::Error* error);
  // Waiting ones created more than their trigger timeout from now.
  std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>> timedOutConditionalUserPropertiesWithError(
      os::Error* error);
  // Active ones triggered more than their time to live from now.
  std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>> expiredConditionalUserPropertiesWithError(
      os::Error* error);
  // Waiting ones with this trigger event name still within their trigger
  // timeout. 1 "Received nil/empty event name for querying triggered
  // conditional user properties".
  std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>>
  triggeredConditionalUserPropertiesWithEventName(std::string_view eventName, os::Error* error);
  // Those whose origin matches and whose name begins with the prefix (both
  // taken literally); an empty prefix or origin does not filter.
  std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>> conditionalUserPropertiesWithPrefix(
      std::string_view namePrefix, std::string_view filterByOrigin, os::Error* error);
  // The rows matching the condition with the values bound. A row that does
  // not convert is deleted and left out (12060), so one damaged row neither
  // fails every pass over the table nor stays beyond clearing. 1 "Received
  // empty condition for querying a conditional user property".
  std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>> conditionalUserPropertiesWithCondition(
      std::string_view condition, const os::Array& parameterValues, os::Error* error);
  static std::shared_ptr<APMConditionalUserProperty> conditionalUserPropertyFromDictionary(const os::Dictionary& row,
                                                                                          os::Error* error);
  // A stored Event message as an event: 2 "Failed to convert data to an
  // event. Data must be a NSData instance", 2 "Failed to parse event from
  // data", 2 "Failed to initialize event from proto data".
  static std::shared_ptr<APMEvent> eventFromData(const os::Value& data, os::Error* error);

  // =====================================================================
  // Audience filters and filter results (event_filters, property_filters,
  // audience_filter_values)
  // =====================================================================

  // The flags of a read filter come from its message, not from the
  // session_scoped column (which serves allSessionScopedFilters). 1 for an
  // empty name.
  std::optional<std::vector<std::shared_ptr<APMEventFilter>>> eventFiltersForEventName(std::string_view eventName,
                                                                                        os::Error* error);
  std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>> propertyFiltersForPropertyName(
      std::string_view propertyName, os::Error* error);
  // Distinct audiences of both filter tables.
  std::optional<std::vector<int32_t>> allAudienceIDs(os::Error* error);
  // Audience -> filters whose session_scoped column is 1, of both tables.
  std::optional<std::map<int32_t, std::vector<int32_t>>> allSessionScopedFilters(os::Error* error);
  std::optional<std::map<int32_t, std::shared_ptr<APMFilterResult>>> allFilterResults(os::Error* error);
  // Null without an error when the audience has none.
  std::shared_ptr<APMFilterResult> filterResultForAudienceID(int32_t audienceID, os::Error* error);
  // Each writes element by element (a filter with its key replaced); the
  // first refused or failed element ends it, earlier rows stay unless the
  // caller's transaction rolls back. Code 1 for no elements, 3 for a null
  // element or one without a name or data (results: without current
  // results). Empty previous results are stored as NULL.
  bool updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, os::Error* error);
  bool updatePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, os::Error* error);
  bool updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, os::Error* error);
  // Delete the (audience, filter) pairs, respectively the audiences; 1 for
  // no elements.
  bool deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, os::Error* error);
  bool deletePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters, os::Error* error);
  bool deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results, os::Error* error);
  bool deleteAllEventFilters(os::Error* error);
  bool deleteAllPropertyFilters(os::Error* error);

  // =====================================================================
  // Purchases, subscriptions, main event parameters (purchase_transactions,
  // subscriptions, main_event_params)
  // =====================================================================

  // 1 when newly recorded, 0 when empty or already recorded; nullopt when a
  // step failed (the fingerprint is then not recorded). Purchases keep their
  // newest 1000.
  std::optional<int64_t> insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint, os::Error* error);
  std::optional<int64_t> insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID, os::Error* error);
  // Keeps the newest 1000 subscriptions; the number deleted.
  std::optional<int64_t> deleteSubscriptionsOverLimit(os::Error* error);
  // Stores (replacing) the main event of a complex event and its children
  // still to process. 1 "Received nil main event", 1 "Cannot create the main
  // event blob".
  bool updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                          const std::shared_ptr<APMEvent>& mainEvent,
                                                          os::Error* error);
  // nullopt without an error for an unknown ID; 3 "Main event blob is nil in
  // database", 3 "Complex event does not have children count in database".
  std::optional<APMMainEventAndChildCount> mainEventAndChildCountPairWithEventID(int64_t eventID, os::Error* error);
  bool deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, os::Error* error);

 private:
  APMDatabase(std::string databasePath, std::shared_ptr<APMPersistedConfig> persistedConfig);

  // Opens the store on the path, ensures the tables and the app_metadata
  // row; `context` ("Init", "Reset") names the moment in the log.
  bool initializeDatabaseResourcesWithContext(std::string_view context, os::Error* error);
  bool ensureAllTables(os::Error* error);
  bool initializeAppMetadata(os::Error* error);
  // performTransaction, with the transaction's error.
  bool performTransactionWithError(os::Error* error, const APMTransactionBlock& block);
  // The open store, or null with 2 "Database not open".
  APMSqliteStore* openStore(os::Error* error) const;
  // The rows of "SELECT rowid, * FROM <table> ..." (generic reads).
  std::optional<std::vector<os::Dictionary>> allRowsFromTable(std::string_view tableName, int64_t tableLimit,
                                                              os::Error* error);
  std::optional<std::vector<os::Dictionary>> rowsFromTable(std::string_view tableName, std::string_view columnName,
                                                           const os::Value& columnValue, os::Error* error);
  // The app_metadata row.
  std::optional<os::Dictionary> appMetadataRow(os::Error* error);
  // One queue row as a bundle and its row (the row's retry_count on the
  // bundle).
  static std::optional<APMQueuedBundle> queuedBundleFromRow(const os::Dictionary& row, os::Error* error);
  // The first column of the query's first row as an integer (NULL: 0).
  std::optional<int64_t> integerForQuery(std::string_view query, const os::Array& parameterValues, os::Error* error);
  // The first column of the query's first row as a Boolean.
  std::optional<bool> booleanForQuery(std::string_view query, const os::Array& parameterValues, os::Error* error);

  const std::string databasePath_;
  std::shared_ptr<APMSqliteStore> sqliteStore_;  // null once closed
  const std::shared_ptr<APMPersistedConfig> persistedConfig_;
};

// ---- Template definitions ----

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> APMDatabase::allDataTypesFromTableWithName(
    std::string_view tableName, int64_t tableLimit, os::Error* error, const APMCreateDataTypeBlock<T>& block) {
  if (!APMCheckNotNil(block, error, APMErrorCode::InvalidArgument, "Received nil block to get all data types")) {
    return std::nullopt;
  }
  auto rows = allRowsFromTable(tableName, tableLimit, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> records;
  for (const os::Dictionary& row : *rows) {
    if (auto record = block(row, error)) records.push_back(std::move(record));
  }
  return records;
}

template <class T>
std::optional<std::vector<std::shared_ptr<T>>> APMDatabase::dataTypesFromTableWithName(
    std::string_view tableName, std::string_view columnName, const os::Value& columnValue, os::Error* error,
    const APMCreateDataTypeBlock<T>& block) {
  if (!(APMCheckNotZero(tableName.size(), error, APMErrorCode::InvalidArgument,
                        "Received empty table name to create data type from table") &&
        APMCheckNotZero(columnName.size(), error, APMErrorCode::InvalidArgument,
                        "Received empty column name to create data type from table") &&
        APMCheckNotNil(columnValue, error, APMErrorCode::InvalidArgument,
                       "Received nil column value to create data type from table") &&
        APMCheckNotNil(block, error, APMErrorCode::InvalidState, "Received nil block to create data type from table"))) {
    return std::nullopt;
  }
  auto rows = rowsFromTable(tableName, columnName, columnValue, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<T>> records;
  for (const os::Dictionary& row : *rows) {
    if (auto record = block(row, error)) records.push_back(std::move(record));
  }
  if (!rows->empty() && records.empty()) {
    APMSetError(error, APMErrorCode::InvalidState, "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return records;
}
