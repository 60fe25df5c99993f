// Event aggregates (events) and the events snapshot (events_snapshot) of
// APMDatabase.
#include "measurement/store/database.h"

#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kRecord;
using apm_database_shorthands::numberAt;

// The first-open event, whose count a restore keeps when the snapshot
// predates it.
constexpr const char* kFirstOpenEventName = "_f";

}  // namespace

std::optional<int64_t> APMDatabase::publicEventCount(os::Error* error) {
  return integerForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

std::optional<std::vector<std::shared_ptr<APMEventAggregates>>> APMDatabase::allEventAggregates(os::Error* error) {
  return allDataTypesFromTableWithName<APMEventAggregates>(kAPMEventsTableName, kAPMEventsLimit, error,
                                                           eventAggregatesFromDictionary);
}

std::shared_ptr<APMEventAggregates> APMDatabase::eventAggregatesWithName(std::string_view name, os::Error* error) {
  return eventAggregatesWithName(name, kAPMEventsTableName, error);
}

std::shared_ptr<APMEventAggregates> APMDatabase::eventAggregatesSnapshotWithName(std::string_view name,
                                                                                 os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return nullptr;
  auto exists = store->tableExists(kAPMEventsSnapshotTableName, error);
  if (!exists || !*exists) return nullptr;
  return eventAggregatesWithName(name, kAPMEventsSnapshotTableName, error);
}

std::shared_ptr<APMEventAggregates> APMDatabase::eventAggregatesWithName(std::string_view name,
                                                                         std::string_view tableName,
                                                                         os::Error* error) {
  auto records = dataTypesFromTableWithName<APMEventAggregates>(tableName, "name", os::Value(name), error,
                                                                eventAggregatesFromDictionary);
  return records && !records->empty() ? records->front() : nullptr;
}

bool APMDatabase::updateEventAggregates(const std::shared_ptr<APMEventAggregates>& aggregates, os::Error* error) {
  if (!(APMCheckNotNil(aggregates, error, kRecord,
                       "Received empty event aggregates object for getting dictionary representation") &&
        APMCheckNotZero(aggregates->name().size(), error, kArgument,
                        "Received event aggregates object with empty name for getting dictionary representation"))) {
    return false;
  }
  os::Dictionary row = {
      {"name", os::Value(aggregates->name())},
      {"lifetime_count", os::Value(aggregates->lifetimeCount())},
      {"current_bundle_count", os::Value(aggregates->currentBundleCount())},
      {"last_fire_timestamp", os::Value(aggregates->lastFireTimestamp())},
      {"last_bundled_timestamp", os::Value(aggregates->lastBundledTimestamp())},
      {"last_sampling_rate", os::Value(aggregates->lastSamplingRate())},
      {"last_exempt_from_sampling", os::Value(aggregates->lastExemptFromSampling() ? 1 : 0)},
      {"last_bundled_day", os::Value(aggregates->lastBundledDay())},
      {"current_session_count", os::Value(aggregates->currentSessionCount())},
  };
  if (aggregates->lastSampledComplexEventID()) {
    row["last_sampled_complex_event_id"] = os::Value(*aggregates->lastSampledComplexEventID());
  }
  return upsertDataType(row, kAPMEventsTableName, "name", os::Value(aggregates->name()), kAPMEventsLimit, error);
}

bool APMDatabase::clearCurrentSessionCounts(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store->updateAllRecordsInTableWithName(kAPMEventsTableName, "current_session_count", os::Value(0), error);
}

bool APMDatabase::deleteAllEventAggregates(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store->deleteAllRecordsFromTableWithName(kAPMEventsTableName, error);
}

bool APMDatabase::deleteAllEventAggregatesInSnapshot(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store->deleteAllRecordsFromTableWithName(kAPMEventsSnapshotTableName, error);
}

bool APMDatabase::createEventsSnapshotTable(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return false;
  auto exists = store->tableExists(kAPMEventsSnapshotTableName, error);
  if (!exists) return false;
  if (*exists && !store->dropTableWithName(kAPMEventsSnapshotTableName, error)) return false;
  if (!store->createEmptyTable(kAPMEventsSnapshotTableName, kAPMEventsTableName, error)) {
    APMMeasurementServices::monitor()->logWithLevel(4, kAPMDatabaseCodeEnsureSnapshotFailed,
                                                    "Failed to ensure event snapshot table");
    return false;
  }
  return store->copyContentsFromTable(kAPMEventsTableName, kAPMEventsSnapshotTableName, error);
}

bool APMDatabase::restoreFromEventsSnapshotTable(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return false;
  auto exists = store->tableExists(kAPMEventsSnapshotTableName, error);
  if (!exists) return false;
  if (!*exists) return true;
  auto snapshotRows = store->rowCountForTableWithName(kAPMEventsSnapshotTableName, error);
  if (!snapshotRows) return false;
  if (snapshotRows->int64Value() == 0) return true;

  os::Error readError;
  auto currentFirstOpen = eventAggregatesWithName(kFirstOpenEventName, &readError);
  if (!currentFirstOpen && !readError.domain().empty()) {
    if (error != nullptr) *error = readError;
    return false;
  }
  // Invariant: the snapshot is emptied only after everything else
  // succeeded, so a failure never loses both copies.
  if (!(store->deleteAllRecordsFromTableWithName(kAPMEventsTableName, error) &&
        store->copyContentsFromTable(kAPMEventsSnapshotTableName, kAPMEventsTableName, error))) {
    return false;
  }
  auto snapshotFirstOpen = eventAggregatesWithName(kFirstOpenEventName, kAPMEventsSnapshotTableName, &readError);
  if (!snapshotFirstOpen && !readError.domain().empty()) {
    if (error != nullptr) *error = readError;
    return false;
  }
  if (currentFirstOpen && (!snapshotFirstOpen || snapshotFirstOpen->lifetimeCount() == 0) &&
      !updateEventAggregates(currentFirstOpen, error)) {
    return false;
  }
  return store->deleteAllRecordsFromTableWithName(kAPMEventsSnapshotTableName, error);
}

std::shared_ptr<APMEventAggregates> APMDatabase::eventAggregatesFromDictionary(const os::Dictionary& row,
                                                                               os::Error* error) {
  const auto name = row.find("name");
  if (!APMCheck(name != row.end() && name->second.isString() && !name->second.string()->empty(), error, kRecord,
                "Received event aggregates row without a name")) {
    return nullptr;
  }
  auto integer = [&](std::string_view column, int64_t fallback) {
    const os::Number* number = numberAt(row, column);
    return number != nullptr ? number->int64Value() : fallback;
  };
  auto real = [&](std::string_view column) {
    const os::Number* number = numberAt(row, column);
    return number != nullptr ? number->doubleValue() : 0.0;
  };
  auto aggregates = std::make_shared<APMEventAggregates>(
      *name->second.string(), int32_t(integer("lifetime_count", 0)), int32_t(integer("current_bundle_count", 0)),
      int32_t(integer("current_session_count", 0)), real("last_fire_timestamp"));
  aggregates->setLastBundledTimestamp(real("last_bundled_timestamp"));
  if (const os::Number* id = numberAt(row, "last_sampled_complex_event_id")) {
    aggregates->setLastSampledComplexEventID(id->int64Value());
  }
  aggregates->setLastSamplingRate(int32_t(integer("last_sampling_rate", 1)));
  aggregates->setLastExemptFromSampling(integer("last_exempt_from_sampling", 0) != 0);
  aggregates->setLastBundledDay(int32_t(integer("last_bundled_day", 0)));
  return aggregates;
}
