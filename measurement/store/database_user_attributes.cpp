// User attributes (user_attributes) and conditional user property rows
// (conditional_properties) of APMDatabase.
//
// A value is stored in its own SQLite type (text, real or integer) and read
// back as the APMValue of that type. Stored events are Event messages.
#include "measurement/store/conditional_user_property.h"
#include "measurement/store/database.h"
#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/monitor.h"
#include "os/foundation/clock.h"
#include "os/foundation/format.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kState;
using apm_database_shorthands::kRecord;
using apm_database_shorthands::columnAt;

constexpr const char* kLifetimeValuePrefix = "_ltv_";

double realAt(const os::Dictionary& row, std::string_view column) {
  const os::Value* value = columnAt(row, column);
  return value != nullptr ? value->doubleValue() : 0.0;
}

std::string textAt(const os::Dictionary& row, std::string_view column) {
  const os::Value* value = columnAt(row, column);
  return value != nullptr && value->isString() ? *value->string() : std::string();
}

// A string as text, a double as a real, anything else as its integer.
os::Value storedValue(const APMValue& value) {
  if (auto text = value.stringValue()) return os::Value(std::move(*text));
  if (value.isDouble()) return os::Value(value.doubleValue());
  return os::Value(value.int64Value());
}

// The text as a LIKE pattern that matches only itself, for "... ESCAPE '!'".
std::string literalLikePattern(std::string_view text) {
  std::string pattern;
  for (char c : text) {
    if (c == '!' || c == '%' || c == '_') pattern += '!';
    pattern += c;
  }
  return pattern;
}

std::optional<os::Data> encodedEvent(const std::shared_ptr<APMEvent>& event) {
  auto proto = event ? event->protoEvent() : nullptr;
  return proto ? proto->protoBuffer() : std::nullopt;
}

}  // namespace

// ---- User attributes ----

std::optional<int64_t> APMDatabase::publicUserAttributeCount(os::Error* error) {
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'", {}, error);
}

std::optional<int64_t> APMDatabase::userAttributeCountForOrigin(std::string_view origin, os::Error* error) {
  if (!APMCheckNotZero(origin.size(), error, kArgument, "Received empty user property origin for count query")) {
    return std::nullopt;
  }
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {os::Value(origin)}, error);
}

std::optional<bool> APMDatabase::containsUserAttributeWithName(std::string_view name, os::Error* error) {
  if (!APMCheckNotZero(name.size(), error, kArgument, "Received empty user property name for exists query")) {
    return std::nullopt;
  }
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {os::Value(name)},
                         error);
}

std::shared_ptr<APMUserAttribute> APMDatabase::userAttributeWithName(std::string_view name, os::Error* error) {
  auto records = dataTypesFromTableWithName<APMUserAttribute>(kAPMUserAttributesTableName, "name", os::Value(name),
                                                              error, userAttributeFromDictionary);
  return records && !records->empty() ? records->front() : nullptr;
}

std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> APMDatabase::allLifetimeValueUserAttributes(
    os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  // The prefix holds "_", which LIKE would take for any character.
  auto rows = store->recordsForQuery(
      "SELECT * FROM user_attributes WHERE name LIKE ? || '%' ESCAPE '!' ORDER BY set_timestamp DESC",
      {os::Value(literalLikePattern(kLifetimeValuePrefix))}, error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<APMUserAttribute>> attributes;
  for (const os::Dictionary& row : *rows) {
    auto attribute = userAttributeFromDictionary(row, error);
    if (!APMCheckNotNil(attribute, error, kRecord, "Failed to initialize user property from dictionary")) {
      return std::nullopt;
    }
    attributes.push_back(std::move(attribute));
  }
  return attributes;
}

std::optional<std::vector<std::shared_ptr<APMUserAttribute>>> APMDatabase::userAttributesIncludingInternal(
    bool includeInternal, os::Error* error) {
  auto attributes = allDataTypesFromTableWithName<APMUserAttribute>(kAPMUserAttributesTableName,
                                                                    kAPMUserAttributesLimit, error,
                                                                    userAttributeFromDictionary);
  if (!attributes || includeInternal) return attributes;
  std::erase_if(*attributes, [](const std::shared_ptr<APMUserAttribute>& attribute) {
    const std::string& name = attribute->name();
    return name.starts_with('_') || APMDataTypeValidator::hasReservedPrefixes(name) ||
           APMUserPropertyShortNames().contains(name);
  });
  return attributes;
}

bool APMDatabase::updateUserAttribute(const std::shared_ptr<APMUserAttribute>& attribute, os::Error* error) {
  if (!(APMCheckNotNil(attribute, error, kRecord, "Received empty user property for getting dictionary representation") &&
        APMCheckNotZero(attribute->origin().size(), error, kRecord,
                        "Received user property with empty origin for getting dictionary representation") &&
        APMCheckNotZero(attribute->name().size(), error, kArgument,
                        "Received user property with empty name for getting dictionary representation") &&
        APMCheck(attribute->value().stringValue().value_or("x") != "", error, kArgument,
                 "Received empty string value for user property"))) {
    return false;
  }
  const os::Dictionary row = {
      {"origin", os::Value(attribute->origin())},
      {"name", os::Value(attribute->name())},
      {"value", storedValue(attribute->value())},
      {"set_timestamp", os::Value(attribute->lastSetTimestamp())},
  };
  return upsertDataType(row, kAPMUserAttributesTableName, "name", os::Value(attribute->name()),
                        kAPMUserAttributesLimit, error);
}

bool APMDatabase::deleteUserAttributeWithName(std::string_view name, os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store->deleteRecordFromTableWithName(kAPMUserAttributesTableName, "name", os::Value(name), error);
}

std::shared_ptr<APMUserAttribute> APMDatabase::userAttributeFromDictionary(const os::Dictionary& row,
                                                                           os::Error* error) {
  if (!APMCheckNotZero(row.size(), error, kRecord, "Received empty dictionary for getting user property")) {
    return nullptr;
  }
  const os::Value* stored = columnAt(row, "value");
  auto value = stored != nullptr ? APMValue::valueFromObject(*stored) : std::nullopt;
  if (!value) return nullptr;
  return APMUserAttribute::initWithOrigin(textAt(row, "origin"), textAt(row, "name"), *value,
                                          realAt(row, "set_timestamp"));
}

// ---- Conditional user property rows ----

std::shared_ptr<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyWithName(std::string_view name,
                                                                                         os::Error* error) {
  auto records = conditionalUserPropertiesWithCondition("name = ?", {os::Value(name)}, error);
  return records && !records->empty() ? records->front() : nullptr;
}

bool APMDatabase::updateConditionalUserProperty(const std::shared_ptr<APMConditionalUserProperty>& property,
                                                os::Error* error) {
  if (!(APMCheckNotNil(property, error, kRecord,
                       "Received empty conditional user property for getting dictionary representation") &&
        APMCheckNotZero(property->name().size(), error, kRecord,
                        "Received conditional user property with empty name for getting dictionary representation") &&
        APMCheckNotZero(property->origin().size(), error, kRecord,
                        "Received conditional user property with empty origin for getting dictionary representation") &&
        APMCheckNotNil(property->value(), error, kRecord,
                       "Received conditional user property with nil value for getting dictionary representation"))) {
    return false;
  }
  os::Dictionary row = {
      {"name", os::Value(property->name())},
      {"origin", os::Value(property->origin())},
      {"value", storedValue(*property->value())},
      {"creation_timestamp", os::Value(property->creationTimestamp())},
      {"active", os::Value(property->active() ? 1 : 0)},
      {"trigger_timeout", os::Value(property->triggerTimeout())},
      {"triggered_timestamp", os::Value(property->triggeredTimestamp())},
      {"time_to_live", os::Value(property->timeToLive())},
  };
  if (!property->triggerEventName().empty()) row["trigger_event_name"] = os::Value(property->triggerEventName());
  const std::pair<const char*, const std::shared_ptr<APMEvent>*> events[] = {
      {"triggered_event", &property->triggeredEvent()},
      {"timed_out_event", &property->timedOutEvent()},
      {"expired_event", &property->expiredEvent()},
  };
  for (const auto& [column, event] : events) {
    if (!*event) continue;
    auto data = encodedEvent(*event);
    if (!APMCheck(data.has_value(), error, kRecord, "Failed to encode event of conditional user property")) {
      return false;
    }
    row[column] = os::Value(std::move(*data));
  }
  return upsertDataType(row, kAPMConditionalPropertiesTableName, "name", os::Value(property->name()),
                        kAPMConditionalPropertiesLimit, error);
}

bool APMDatabase::deleteConditionalUserPropertyWithName(std::string_view name, os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store->deleteRecordFromTableWithName(kAPMConditionalPropertiesTableName, "name", os::Value(name), error);
}

std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>>
APMDatabase::timedOutConditionalUserPropertiesWithError(os::Error* error) {
  return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                                {os::Value(os::Clock::current().wallTime())}, error);
}

std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>>
APMDatabase::expiredConditionalUserPropertiesWithError(os::Error* error) {
  return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                                {os::Value(os::Clock::current().wallTime())}, error);
}

std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>>
APMDatabase::triggeredConditionalUserPropertiesWithEventName(std::string_view eventName, os::Error* error) {
  if (!APMCheckNotZero(eventName.size(), error, kArgument,
                       "Received nil/empty event name for querying triggered conditional user properties")) {
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {os::Value(eventName), os::Value(os::Clock::current().wallTime())}, error);
}

std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>>
APMDatabase::conditionalUserPropertiesWithPrefix(std::string_view namePrefix, std::string_view filterByOrigin,
                                                 os::Error* error) {
  // Both are matched literally: "_" and "%" in them are escaped.
  std::vector<std::string> conditions;
  os::Array values;
  if (!filterByOrigin.empty()) {
    conditions.push_back("origin LIKE ? ESCAPE '!'");
    values.emplace_back(literalLikePattern(filterByOrigin));
  }
  if (!namePrefix.empty()) {
    conditions.push_back("name LIKE ? || '%' ESCAPE '!'");
    values.emplace_back(literalLikePattern(namePrefix));
  }
  std::string condition;
  for (const std::string& part : conditions) condition += (condition.empty() ? "" : " AND ") + part;
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, values, error);
}

std::optional<std::vector<std::shared_ptr<APMConditionalUserProperty>>>
APMDatabase::conditionalUserPropertiesWithCondition(std::string_view condition, const os::Array& parameterValues,
                                                    os::Error* error) {
  if (!APMCheckNotZero(condition.size(), error, kArgument,
                       "Received empty condition for querying a conditional user property")) {
    return std::nullopt;
  }
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto rows = store->recordsForQuery(
      os::format("SELECT rowid, * FROM %@ WHERE %@", kAPMConditionalPropertiesTableName, condition), parameterValues,
      error);
  if (!rows) return std::nullopt;
  std::vector<std::shared_ptr<APMConditionalUserProperty>> properties;
  for (const os::Dictionary& row : *rows) {
    os::Error rowError;
    auto property = conditionalUserPropertyFromDictionary(row, &rowError);
    if (property) {
      properties.push_back(std::move(property));
      continue;
    }
    APMMeasurementServices::monitor()->logWithLevel(
        1, kAPMDatabaseCodeConditionalRowDropped,
        "Dropped a conditional user property row that does not convert. Name, error",
        APMUserPropertyNameDebugDescription(textAt(row, "name")), rowError);
    if (const os::Value* rowid = columnAt(row, "rowid")) {
      (void)store->deleteRecordsFromTableWithName(kAPMConditionalPropertiesTableName, "rowid = ?", {*rowid}, nullptr);
    }
  }
  return properties;
}

std::shared_ptr<APMConditionalUserProperty> APMDatabase::conditionalUserPropertyFromDictionary(
    const os::Dictionary& row, os::Error* error) {
  if (row.empty()) return nullptr;
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->setName(textAt(row, "name"));
  property->setOrigin(textAt(row, "origin"));
  if (const os::Value* value = columnAt(row, "value")) property->setValue(APMValue::valueFromObject(*value));
  property->setCreationTimestamp(realAt(row, "creation_timestamp"));
  property->setActive(realAt(row, "active") != 0);
  property->setTriggerTimeout(realAt(row, "trigger_timeout"));
  property->setTriggeredTimestamp(realAt(row, "triggered_timestamp"));
  property->setTimeToLive(realAt(row, "time_to_live"));
  property->setTriggerEventName(textAt(row, "trigger_event_name"));
  const std::pair<const char*, void (APMConditionalUserProperty::*)(std::shared_ptr<APMEvent>)> events[] = {
      {"triggered_event", &APMConditionalUserProperty::setTriggeredEvent},
      {"timed_out_event", &APMConditionalUserProperty::setTimedOutEvent},
      {"expired_event", &APMConditionalUserProperty::setExpiredEvent},
  };
  for (const auto& [column, setter] : events) {
    const os::Value* data = columnAt(row, column);
    if (data == nullptr) continue;
    auto event = eventFromData(*data, error);
    if (!event) return nullptr;
    ((*property).*setter)(std::move(event));
  }
  return property;
}

std::shared_ptr<APMEvent> APMDatabase::eventFromData(const os::Value& data, os::Error* error) {
  if (!APMCheck(data.isData(), error, kState, "Failed to convert data to an event. Data must be a NSData instance")) {
    return nullptr;
  }
  auto proto = APMPBEvent::initWithBuffer(*data.data());
  if (!APMCheckNotNil(proto, error, kState, "Failed to parse event from data")) return nullptr;
  auto event = APMEvent::initWithEventProto(*proto);
  APMCheckNotNil(event, error, kState, "Failed to initialize event from proto data");
  return event;
}
