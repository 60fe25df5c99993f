// APMDatabase: the one app_metadata row (rowid 1): the last bundle's index
// and times, the counters of the day, and the stored server configuration.
#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/clock.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kState;
using apm_database_shorthands::kRecord;
using apm_database_shorthands::numberAt;

// The key of the one row.
constexpr const char* kRowIDColumn = "rowid";
const os::Value kAppMetadataRowID(1);

// MeasurementConfig field holding the app ID.
constexpr int32_t kMeasurementConfigDevuvoAppID = 1;

int32_t intAt(const os::Dictionary& row, std::string_view column, int32_t fallback) {
  const os::Number* number = numberAt(row, column);
  return number != nullptr ? number->intValue() : fallback;
}

double doubleAt(const os::Dictionary& row, std::string_view column) {
  const os::Number* number = numberAt(row, column);
  return number != nullptr ? number->doubleValue() : 0.0;
}

}  // namespace

bool APMDatabase::initializeAppMetadata(os::Error* error) {
  os::Error stepError;
  os::Error transactionError;
  const bool ready = performTransactionWithError(&transactionError, [&] {
    auto metadata = queryAppMetadata(&stepError);
    if (!metadata && !stepError.domain().empty()) {
      APMMeasurementServices::monitor()->logWithLevel(1, kAPMDatabaseCodeAppMetadataQueryFailed,
                                                      "Failed to query app metadata");
      return false;
    }
    if (metadata) return true;
    const APMAppMetadata defaults(0, 0.0, 0.0);
    const os::Dictionary row = {
        {kRowIDColumn, kAppMetadataRowID},
        {"last_bundle_index", os::Value(defaults.lastBundleIndex())},
        {"last_bundle_start_timestamp", os::Value(defaults.lastBundleStartTimestamp())},
        {"last_bundle_end_timestamp", os::Value(defaults.lastBundleEndTimestamp())},
    };
    if (!upsertDataType(row, kAPMAppMetadataTableName, kRowIDColumn, kAppMetadataRowID, kAPMAppMetadataLimit,
                        &stepError)) {
      APMMeasurementServices::monitor()->logWithLevel(1, kAPMDatabaseCodeAppMetadataUpdateFailed,
                                                      "Unable to update the app metadata. Error", stepError);
      return false;
    }
    return true;
  });
  if (!ready && error != nullptr) *error = stepError.domain().empty() ? transactionError : stepError;
  return ready;
}

std::optional<APMAppMetadata> APMDatabase::queryAppMetadata(os::Error* error) {
  auto records = dataTypesFromTableWithName<APMAppMetadata>(
      kAPMAppMetadataTableName, kRowIDColumn, kAppMetadataRowID, error,
      [](const os::Dictionary& row, os::Error* error) -> std::shared_ptr<APMAppMetadata> {
        if (!APMCheckNotZero(row.size(), error, kRecord, "Received empty dictionary for getting app metadata")) {
          return nullptr;
        }
        return std::make_shared<APMAppMetadata>(intAt(row, "last_bundle_index", 0),
                                                doubleAt(row, "last_bundle_start_timestamp"),
                                                doubleAt(row, "last_bundle_end_timestamp"));
      });
  if (!records || records->empty()) return std::nullopt;
  return *records->front();
}

bool APMDatabase::updateAppMetadata(const APMAppMetadata& appMetadata, os::Error* error) {
  const os::Dictionary row = {
      {"last_bundle_index", os::Value(appMetadata.lastBundleIndex())},
      {"last_bundle_start_timestamp", os::Value(appMetadata.lastBundleStartTimestamp())},
      {"last_bundle_end_timestamp", os::Value(appMetadata.lastBundleEndTimestamp())},
  };
  return updateDataType(row, kAPMAppMetadataTableName, kRowIDColumn, kAppMetadataRowID, error);
}

int32_t APMDatabase::currentDay() const {
  return APMDayNumber(os::Clock::current().wallTime(), persistedConfig_->midnightOffset());
}

std::optional<APMDailyCounts> APMDatabase::dailyCounts(os::Error* error) {
  const int32_t today = currentDay();
  auto records = dataTypesFromTableWithName<APMDailyCounts>(
      kAPMAppMetadataTableName, kRowIDColumn, kAppMetadataRowID, error,
      [today](const os::Dictionary& row, os::Error* error) -> std::shared_ptr<APMDailyCounts> {
        if (!APMCheckNotZero(row.size(), error, kRecord, "Received empty dictionary for getting daily counts")) {
          return nullptr;
        }
        return std::make_shared<APMDailyCounts>(
            intAt(row, "day", today), intAt(row, "daily_conversions_count", 0), intAt(row, "daily_events_count", 0),
            intAt(row, "daily_public_events_count", 0), intAt(row, "daily_error_events_count", 0),
            intAt(row, "daily_real_time_conversion_events_count", 0),
            intAt(row, "daily_real_time_dcu_events_count", 0));
      });
  if (!records || records->empty()) return std::nullopt;
  return *records->front();
}

bool APMDatabase::updateDailyCounts(const APMDailyCounts& counts, os::Error* error) {
  const os::Dictionary row = {
      {"day", os::Value(counts.day())},
      {"daily_conversions_count", os::Value(counts.conversionsCount())},
      {"daily_events_count", os::Value(counts.allEventsCount())},
      {"daily_public_events_count", os::Value(counts.publicEventsCount())},
      {"daily_error_events_count", os::Value(counts.errorEventsCount())},
      {"daily_real_time_conversion_events_count", os::Value(counts.realtimeCount())},
      {"daily_real_time_dcu_events_count", os::Value(counts.dcuRealtimeCount())},
  };
  return updateDataType(row, kAPMAppMetadataTableName, kRowIDColumn, kAppMetadataRowID, error);
}

bool APMDatabase::updateRemoteConfig(const std::shared_ptr<APMPBMeasurementConfig>& config, os::Error* error) {
  std::optional<os::Data> encoding = config ? config->protoBuffer() : std::nullopt;
  if (!(APMCheck(encoding && !encoding->empty(), error, kArgument, "Invalid measurement config data") &&
        APMCheck(!APMPBGetString(config.get(), kMeasurementConfigDevuvoAppID).value_or("").empty(), error, kArgument,
                 "Missing Devuvo app ID in measurement configuration"))) {
    return false;
  }
  const os::Dictionary row = {
      {"remote_config_data", os::Value(std::move(*encoding))},
      {"remote_config_timestamp", os::Value(os::Clock::current().wallTime())},
  };
  return updateDataType(row, kAPMAppMetadataTableName, kRowIDColumn, kAppMetadataRowID, error);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, os::Error* error) {
  return updateDataType({{"remote_config_timestamp", os::Value(timestamp)}}, kAPMAppMetadataTableName, kRowIDColumn,
                        kAppMetadataRowID, error);
}

std::shared_ptr<APMPBMeasurementConfig> APMDatabase::queryMeasurementConfigWithError(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return nullptr;
  auto rows = store->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
  if (!rows || rows->empty()) return nullptr;
  // An empty blob reads as a missing column.
  const auto stored = rows->front().find("remote_config_data");
  const os::Data* data = stored == rows->front().end() ? nullptr : stored->second.data();
  if (data == nullptr || data->empty()) return nullptr;
  auto config = APMPBMeasurementConfig::initWithBuffer(*data);
  APMCheckNotNil(config, error, kState, "Remote config data is corrupted");
  return config;
}

std::optional<double> APMDatabase::lastRemoteConfigUpdateTimestamp(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto number = store->numberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error);
  if (!number) return std::nullopt;
  return number->doubleValue();
}
