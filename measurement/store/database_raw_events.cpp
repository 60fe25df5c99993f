// APMDatabase: raw events (raw_events) and the bundle metadata they share
// (raw_events_metadata, keyed by the low 64 bits of the MD5 digest of the
// metadata's encoding).
//
// A raw event row holds the event's Event message without its name (field 1),
// the name in its own column; the origin travels as the "_o" parameter.
#include <limits>
#include <map>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/foundation_extensions.h"
#include "os/foundation/clock.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kState;
using apm_database_shorthands::kRecord;
using apm_database_shorthands::columnAt;

using namespace apm_event_fields;

using ParameterValues = std::map<std::string, APMValue, std::less<>>;

// One EventParam as {name: value}. A leaf gives its string, integer or double
// value (in that order of preference; the float field is not read). A
// top-level parameter with nested parameters gives an array value holding one
// dictionary per child; a nested one merges its children's entries into its
// own, so an array element is the dictionary of its children. Nested
// parameters may be unnamed.
std::optional<ParameterValues> decodeParameter(const APMPBEventParam* param, bool nested, os::Error* error) {
  if (!APMCheckNotNil(param, error, kArgument, "Failed to parse empty event params data")) return std::nullopt;
  const std::string name = APMPBGetString(param, kParamName).value_or("");
  if (!nested && !APMCheckNotZero(name.size(), error, kArgument, "Event parameter name is empty")) {
    return std::nullopt;
  }
  ParameterValues result;
  if (APMPBHasField(param, kParamStringValue)) {
    result.insert_or_assign(name, *APMValue::initWithString(APMPBGetString(param, kParamStringValue).value_or("")));
  } else if (APMPBHasField(param, kParamIntValue)) {
    result.insert_or_assign(name, APMValue::initWithInt64(APMPBGetInt64(param, kParamIntValue)));
  } else if (APMPBHasField(param, kParamDoubleValue)) {
    result.insert_or_assign(name, APMValue::initWithDouble(APMPBGetDouble(param, kParamDoubleValue)));
  } else if (auto children = APMPBGetArray<APMPBEventParam>(param, kParamParamValue); children && !children->empty()) {
    os::Array elements;
    for (const auto& child : *children) {
      auto values = decodeParameter(child.get(), true, error);
      if (!values) return std::nullopt;
      if (nested) {
        for (auto& [childName, value] : *values) result.insert_or_assign(childName, std::move(value));
      } else {
        os::Dictionary element;
        for (const auto& [childName, value] : *values) element[childName] = value.value();
        elements.emplace_back(std::move(element));
      }
    }
    if (!nested) result.insert_or_assign(name, *APMValue::initWithArray(os::Value(std::move(elements))));
  } else {
    APMSetError(error, kState, "Failed to parse invalid event params data");
    return std::nullopt;
  }
  return result;
}

}  // namespace

// ---- Metadata ----

bool APMDatabase::insertIfNotExistsRawEventMetadata(const std::shared_ptr<APMPBMeasurementBundle>& metadata,
                                                    os::Error* error) {
  std::optional<os::Data> encoding = metadata ? metadata->protoBuffer() : std::nullopt;
  if (!APMCheck(encoding && !encoding->empty(), error, kRecord,
                "Received empty measurement bundle metadata for getting dictionary representation")) {
    return false;
  }
  const int64_t fingerprint = apm_64LSBMD5(*encoding);
  os::Error queryError;
  if (queryRawEventsMetadataWithFingerprint(fingerprint, &queryError)) return true;
  if (!queryError.domain().empty()) {
    if (error != nullptr) *error = queryError;
    return false;
  }
  const os::Dictionary row = {
      {"metadata_fingerprint", os::Value(fingerprint)},
      {"metadata", os::Value(std::move(*encoding))},
  };
  return upsertDataType(row, kAPMRawEventsMetadataTableName, "metadata_fingerprint", os::Value(fingerprint),
                        kAPMRawEventsMetadataLimit, error);
}

std::shared_ptr<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                           os::Error* error) {
  auto records = dataTypesFromTableWithName<APMPBMeasurementBundle>(
      kAPMRawEventsMetadataTableName, "metadata_fingerprint", os::Value(fingerprint), error,
      [](const os::Dictionary& row, os::Error* error) -> std::shared_ptr<APMPBMeasurementBundle> {
        if (!APMCheckNotZero(row.size(), error, kRecord, "Received empty dictionary for getting measurement bundle")) {
          return nullptr;
        }
        // An empty blob reads as a missing column.
        const os::Value* metadata = columnAt(row, "metadata");
        const os::Data* data = metadata != nullptr ? metadata->data() : nullptr;
        if (!APMCheck(data != nullptr && !data->empty(), error, kRecord,
                      "Event metadata should not be empty for getting measurement bundle")) {
          return nullptr;
        }
        return APMPBMeasurementBundle::initWithBuffer(*data);
      });
  if (!records || records->empty()) return nullptr;
  return records->front();
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store
                                 ->deleteRecordsFromTableWithName(kAPMRawEventsMetadataTableName,
                                                                  "metadata_fingerprint == ?",
                                                                  {os::Value(fingerprint)}, error)
                                 .has_value();
}

bool APMDatabase::deleteUnusedRawEventsMetadata(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store
             ->deleteRecordsFromTableWithName(
                 kAPMRawEventsMetadataTableName,
                 "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {}, error)
             .has_value();
}

// ---- Raw events ----

std::optional<bool> APMDatabase::isRawEventsTableEmpty(os::Error* error) {
  return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

bool APMDatabase::insertRawEvent(const std::shared_ptr<APMEvent>& event, int64_t metadataFingerprint,
                                 bool isRealtime, os::Error* error) {
  if (!APMCheckNotNil(event, error, kArgument, "Received empty event for inserting in the database")) return false;
  auto proto = event->protoEvent();
  std::optional<os::Data> data;
  if (proto) {
    APMPBClearField(proto.get(), kEventName);
    data = proto->protoBuffer();
  }
  if (!APMCheck(data && !data->empty(), error, kRecord,
                "Received empty raw event data for getting dictionary representation")) {
    return false;
  }
  const os::Dictionary row = {
      {"name", os::Value(event->name())},
      {"timestamp", os::Value(event->timestamp())},
      {"metadata_fingerprint", os::Value(metadataFingerprint)},
      {"data", os::Value(std::move(*data))},
      {"is_realtime", os::Value(isRealtime ? 1 : 0)},
  };
  return insertDataType(row, kAPMRawEventsTableName, error);
}

std::optional<double> APMDatabase::queryLatestRawEventTime(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto number = store->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error);
  if (!number) return std::nullopt;
  return number->doubleValue();
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(int64_t fingerprint, os::Error* error) {
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                         {os::Value(fingerprint)}, error);
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(os::Error* error) {
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = ? LIMIT 1)", {os::Value(1)}, error);
}

std::optional<int64_t> APMDatabase::nextMetadataFingerprintToProcess(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto rows = store->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
  if (!rows) return std::nullopt;
  if (!APMCheck(rows->size() == 1, error, kState, "Only one event metadata should be processed")) return std::nullopt;
  const os::Value* fingerprint = columnAt(rows->front(), "metadata_fingerprint");
  if (fingerprint == nullptr || fingerprint->number() == nullptr) return std::nullopt;  // an empty table
  return fingerprint->number()->int64Value();
}

std::optional<std::vector<std::shared_ptr<APMRawEventData>>> APMDatabase::rawEventsWithMetadataFingerprint(
    int64_t fingerprint, os::Error* error, const APMRowFilter& eventFilter) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto rows = store->recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {os::Value(fingerprint), os::Value(kAPMRawEventsReadLimit)}, error, eventFilter);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<APMRawEventData>> events;
  os::Error conversionError;
  for (const os::Dictionary& row : *rows) {
    // A damaged row does not hold up the rest; bundling deletes it with them.
    if (auto event = rawEventDataFromDictionary(row, &conversionError)) events.push_back(std::move(event));
  }
  if (!rows->empty() && events.empty()) {
    if (error != nullptr) *error = conversionError;
    return std::nullopt;
  }
  return events;
}

bool APMDatabase::deleteRawEventsWithMaxRowID(int64_t maxRowID, os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store->deleteRecordsFromTableWithName(kAPMRawEventsTableName, "rowid <= ?", {os::Value(maxRowID)}, error)
             .has_value();
}

std::optional<int64_t> APMDatabase::deleteRawEventsOverAbsoluteLimit(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  const int64_t keep = int64_t(APMMeasurementServices::remoteConfig()->maxEventsStored()) - 1;
  return store->deleteRecordsFromTableWithName(
      kAPMRawEventsTableName, "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {os::Value(keep)}, error);
}

bool APMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, os::Error* error) {
  if (!APMCheck(!(maxAge < 0), error, kArgument, "Cannot delete stale raw events given negative time period")) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return false;
  auto deleted = store->deleteRecordsFromTableWithName(
      kAPMRawEventsTableName, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
      {os::Value(os::Clock::current().wallTime()), os::Value(maxAge)}, error);
  if (!deleted) return false;
  return *deleted == 0 || deleteUnusedRawEventsMetadata(error);
}

std::shared_ptr<APMRawEventData> APMDatabase::rawEventDataFromDictionary(const os::Dictionary& row,
                                                                         os::Error* error) {
  const os::Value* rowID = columnAt(row, "rowid");
  const os::Value* data = columnAt(row, "data");
  const os::Value* fingerprint = columnAt(row, "metadata_fingerprint");
  if (!(APMCheckNotZero(row.size(), error, kArgument, "Received empty dictionary for getting raw event data") &&
        APMCheck(rowID != nullptr && rowID->number() != nullptr, error, kArgument,
                 "Unable to find row ID in the database dictionary") &&
        APMCheck(data != nullptr && data->data() != nullptr, error, kArgument,
                 "Unable to find event data in the database dictionary") &&
        APMCheck(fingerprint != nullptr && fingerprint->number() != nullptr, error, kArgument,
                 "Unable to find event metadata in the database dictionary"))) {
    return nullptr;
  }
  auto proto = APMPBEvent::initWithBuffer(*data->data());
  if (!APMCheckNotNil(proto, error, kRecord, "Failed to parse event from data")) return nullptr;

  const os::Value* nameColumn = columnAt(row, "name");
  const std::string name = nameColumn != nullptr ? nameColumn->stringValue() : std::string();
  const os::Value* timeColumn = columnAt(row, "timestamp");
  const double timestamp = timeColumn != nullptr ? timeColumn->doubleValue() : 0.0;
  const double previousTimestamp = APMPBGetInt64(proto.get(), kEventPreviousTimestampMillis) / 1000.0;

  std::string origin;
  APMEventParameters parameters;
  for (const auto& param : APMPBGetArray<APMPBEventParam>(proto.get(), kEventParams).value_or(
           std::vector<std::shared_ptr<APMPBEventParam>>{})) {
    if (APMPBGetString(param.get(), kParamName) == std::optional<std::string>(kAPMEventOriginParameter)) {
      if (!APMCheck(APMPBHasField(param.get(), kParamStringValue), error, kState,
                    "Cannot create an event from database. Origin parameter is not a string")) {
        return nullptr;
      }
      origin = APMPBGetString(param.get(), kParamStringValue).value_or("");
      continue;
    }
    const std::string parameterName = APMPBGetString(param.get(), kParamName).value_or("");
    auto values = decodeParameter(param.get(), false, error);
    const auto value = values ? values->find(parameterName) : ParameterValues::iterator();
    if (!APMCheck(values && value != values->end(), error, kState, "Failed to parse event params from data")) {
      return nullptr;
    }
    parameters.insert_or_assign(parameterName, value->second);
  }
  if (!APMCheckNotZero(origin.size(), error, kState, "Cannot create an event from database. Missing origin parameter")) {
    return nullptr;
  }
  auto event = APMEvent::initWithOrigin(origin, false, name, timestamp, previousTimestamp, std::move(parameters));
  auto record = event ? APMRawEventData::initWithRawEvent(event, rowID->number()->int64Value(),
                                                          fingerprint->number()->int64Value())
                      : nullptr;
  APMCheckNotNil(record, error, kState, "Failed to initialize raw event data from dictionary");
  return record;
}
