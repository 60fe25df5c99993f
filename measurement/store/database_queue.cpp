// APMDatabase: the upload queue (queue). Each row holds one gzip-compressed
// MeasurementBundle with its end time, a real-time flag and the count of
// failed uploads, which travels in the bundle's retry_count field once read.
#include <algorithm>
#include <cmath>
#include <string>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/clock.h"
#include "platform/utilities/gzip.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kState;
using apm_database_shorthands::kRecord;
using apm_database_shorthands::columnAt;

// MeasurementBundle field indices.
constexpr int32_t kBundleEndTimestampMillis = 5;
constexpr int32_t kBundleAppID = 14;
constexpr int32_t kBundleRetryCount = 35;

os::Array valuesOf(const std::vector<int64_t>& rowIDs) {
  os::Array values;
  values.reserve(rowIDs.size());
  for (int64_t rowID : rowIDs) values.emplace_back(rowID);
  return values;
}

}  // namespace

std::optional<std::string> APMDatabase::rowIDConditionForRowIDs(const std::vector<int64_t>& rowIDs,
                                                                os::Error* error) {
  if (!APMCheckNotZero(rowIDs.size(), error, kRecord, "Received empty row IDs to process")) return std::nullopt;
  std::string placeholders = "?";
  for (size_t i = 1; i < rowIDs.size(); ++i) placeholders += ",?";
  return "rowid IN (" + placeholders + ")";
}

bool APMDatabase::insertBundle(const std::shared_ptr<APMPBMeasurementBundle>& bundle, bool isRealtime,
                               os::Error* error) {
  std::optional<os::Data> encoding = bundle ? bundle->protoBuffer() : std::nullopt;
  if (!(APMCheck(encoding && !encoding->empty(), error, kArgument, "Failed to insert nil bundle") &&
        APMCheck(!APMPBGetString(bundle.get(), kBundleAppID).value_or("").empty(), error, kArgument,
                 "Failed to insert bundle without App ID") &&
        APMCheck(APMPBGetInt64(bundle.get(), kBundleEndTimestampMillis) >= 1, error, kArgument,
                 "Failed to insert bundle without valid timestamp"))) {
    return false;
  }
  const double endTimestamp = APMPBGetInt64(bundle.get(), kBundleEndTimestampMillis) / 1000.0;
  if (std::fabs(os::Clock::current().wallTime() - endTimestamp) > APMMeasurementServices::remoteConfig()->maxQueueTime()) {
    APMMeasurementServices::monitor()->logWithLevel(4, kAPMDatabaseCodeBundleOutsideQueueTime,
                                                    "Storing bundle outside of the max uploading time span");
  }
  auto compressed = DAZGzip::daz_dataByGzippingData(*encoding);
  if (!APMCheck(compressed && compressed->has_value() && !(*compressed)->empty(), error, kState,
                "Failed to compress bundle")) {
    return false;
  }
  os::Data data = std::move(**compressed);
  APMMeasurementServices::monitor()->logWithLevel(7, kAPMDatabaseCodeSavingBundle, "Saving bundle. size (bytes)",
                                                  std::to_string(data.size()));
  const os::Dictionary row = {
      {"bundle_end_timestamp", os::Value(endTimestamp)},
      {"data", os::Value(std::move(data))},
      {"is_realtime", os::Value(isRealtime ? 1 : 0)},
      {"retry_count", os::Value(APMPBGetInt32(bundle.get(), kBundleRetryCount))},
  };
  return insertDataType(row, kAPMQueueTableName, error);
}

std::optional<APMQueuedBundle> APMDatabase::queuedBundleFromRow(const os::Dictionary& row, os::Error* error) {
  // An empty blob reads as a missing column.
  const os::Value* stored = columnAt(row, "data");
  const os::Data* data = stored != nullptr ? stored->data() : nullptr;
  if (!(APMCheckNotZero(row.size(), error, kRecord, "Cannot process empty rowData") &&
        APMCheck(data != nullptr && !data->empty(), error, kRecord, "Cannot decompress an empty bundle data"))) {
    return std::nullopt;
  }
  auto inflated = DAZGzip::daz_dataByInflatingGzippedData(*data);
  if (!inflated || !inflated->has_value() || (*inflated)->empty()) {
    APMSetError(error, kState,
                inflated ? std::string("Failed to decompress bundle data") : inflated.error().localizedDescription());
    return std::nullopt;
  }
  auto bundle = APMPBMeasurementBundle::initWithBuffer(**inflated);
  if (!APMCheckNotNil(bundle, error, kState, "Unable to parse bundle from decompressed data")) return std::nullopt;
  if (const os::Value* retryCount = columnAt(row, "retry_count"); retryCount != nullptr && retryCount->number()) {
    const int64_t count = retryCount->number()->int64Value();
    if (count >= 1) {
      APMPBSetInt32(bundle.get(), kBundleRetryCount, static_cast<int32_t>(std::min(count, kAPMMaxBundleRetryCount)));
    }
  }
  const os::Value* rowID = columnAt(row, "rowid");
  if (!APMCheck(rowID != nullptr && rowID->number() != nullptr, error, kRecord,
                "Unable to find row ID in the database dictionary")) {
    return std::nullopt;
  }
  return APMQueuedBundle{std::move(bundle), rowID->number()->int64Value()};
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundlesWithCountLimit(int64_t countLimit,
                                                                                    int64_t sizeLimit,
                                                                                    os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto rows = store->recordsForQuery("SELECT rowid, data, retry_count FROM queue ORDER BY rowid ASC LIMIT ?",
                                     {os::Value(countLimit)}, error);
  if (!rows) return std::nullopt;
  std::vector<APMQueuedBundle> bundles;
  int64_t totalSize = 0;
  for (const os::Dictionary& row : *rows) {
    // A row that does not read is left for the age rule.
    auto queued = queuedBundleFromRow(row, nullptr);
    if (!queued) continue;
    const auto encoding = queued->bundle->protoBuffer();
    const int64_t size = encoding ? static_cast<int64_t>(encoding->size()) : 0;
    if (!bundles.empty() && totalSize + size > sizeLimit) break;
    totalSize += size;
    bundles.push_back(std::move(*queued));
    if (totalSize > sizeLimit) break;
  }
  return bundles;
}

std::optional<std::vector<APMQueuedBundle>> APMDatabase::queryBundlesWithRowIDs(const std::vector<int64_t>& rowIDs,
                                                                                os::Error* error) {
  auto condition = rowIDConditionForRowIDs(rowIDs, error);
  if (!condition) return std::nullopt;
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto rows = store->recordsForQuery("SELECT rowid, data, retry_count FROM queue WHERE " + *condition,
                                     valuesOf(rowIDs), error);
  if (!rows) return std::nullopt;
  std::vector<APMQueuedBundle> bundles;
  for (const os::Dictionary& row : *rows) {
    if (auto queued = queuedBundleFromRow(row, nullptr)) bundles.push_back(std::move(*queued));
  }
  return bundles;
}

bool APMDatabase::deleteBundlesWithRowIDs(const std::vector<int64_t>& rowIDs, os::Error* error) {
  auto condition = rowIDConditionForRowIDs(rowIDs, error);
  if (!condition) return false;
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store->deleteRecordsFromTableWithName(kAPMQueueTableName, *condition, valuesOf(rowIDs), error).has_value();
}

bool APMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<int64_t>& rowIDs, os::Error* error) {
  if (!APMCheckNotZero(rowIDs.size(), error, kArgument, "Failed to increment retry counter")) return false;
  auto atLimit = booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                                 {os::Value(kAPMMaxBundleRetryCount)}, error);
  if (!atLimit) return false;
  if (*atLimit) {
    APMMeasurementServices::monitor()->logWithLevel(
        1, kAPMDatabaseCodeRetryLimitReached, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  auto condition = rowIDConditionForRowIDs(rowIDs, error);
  if (!condition) return false;
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return false;

  // Rows of files made before the column existed hold NULL, which the
  // addition below would keep NULL for ever: they count from 0.
  const std::string zeroNulls = "UPDATE queue SET retry_count = 0 WHERE retry_count IS NULL AND " + *condition;
  sqlite3_stmt* statement = store->statementForQuery(zeroNulls, valuesOf(rowIDs), error);
  if (statement == nullptr) return false;
  const bool zeroed = sqlite3_step(statement) == SQLITE_DONE;
  if (!zeroed) store->setDatabaseError(error, "increase records value");
  store->cleanUpStatement(statement, zeroNulls);
  if (!zeroed) return false;

  os::Array values = valuesOf(rowIDs);
  values.emplace_back(kAPMMaxBundleRetryCount);
  return store->increaseColumn("retry_count", 1, kAPMQueueTableName, *condition + " AND retry_count < ?", values,
                               error);
}

std::optional<bool> APMDatabase::maybeDeleteStaleData(os::Error* error) {
  auto settings = APMMeasurementServices::remoteConfig();
  const double now = os::Clock::current().wallTime();
  if (std::fabs(now - persistedConfig_->lastDeleteStaleBundlesTimestamp()) <=
      settings->databaseDeleteStaleBundlesInterval()) {
    return false;
  }
  const double maxAge = settings->maxQueueTime();
  if (!(deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error) && deleteStaleBundlesOlderThanMaxAge(maxAge, error))) {
    return std::nullopt;
  }
  persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}

bool APMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, os::Error* error) {
  if (!APMCheck(!(maxAge < 0), error, kArgument, "Cannot delete stale bundles after negative time period")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store
                                 ->deleteRecordsFromTableWithName(
                                     kAPMQueueTableName, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
                                     {os::Value(os::Clock::current().wallTime()), os::Value(maxAge)}, error)
                                 .has_value();
}

std::optional<double> APMDatabase::queryLatestBundleTime(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto number = store->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error);
  if (!number) return std::nullopt;
  return number->doubleValue();
}

std::optional<bool> APMDatabase::containsRealtimeBundlesWithError(os::Error* error) {
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = ? LIMIT 1)", {os::Value(1)}, error);
}

std::optional<bool> APMDatabase::isQueuedBundleTableEmpty(os::Error* error) {
  return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}
