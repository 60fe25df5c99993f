// Audience filters (event_filters, property_filters) and filter results
// (audience_filter_values), purchase and subscription fingerprints
// (purchase_transactions, subscriptions) and the main events of complex
// events (main_event_params) of APMDatabase.
#include <algorithm>
#include <set>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/database_shorthands.h"
#include "measurement/store/engine_services/event.h"
#include "os/foundation/format.h"

namespace {

using apm_database_shorthands::kArgument;
using apm_database_shorthands::kRecord;
using apm_database_shorthands::columnAt;

// Field indices of the flags in EventFilter and PropertyFilter.
constexpr int32_t kEventFilterDynamic = 5;
constexpr int32_t kEventFilterSequence = 6;
constexpr int32_t kEventFilterSessionScoped = 7;
constexpr int32_t kPropertyFilterDynamic = 3;
constexpr int32_t kPropertyFilterSequence = 4;
constexpr int32_t kPropertyFilterSessionScoped = 5;

int64_t integerAt(const os::Dictionary& row, std::string_view column) {
  const os::Value* value = columnAt(row, column);
  return value != nullptr ? value->int64Value() : 0;
}

std::optional<os::Data> dataAt(const os::Dictionary& row, std::string_view column) {
  const os::Value* value = columnAt(row, column);
  return value != nullptr && value->isData() ? std::optional<os::Data>(*value->data()) : std::nullopt;
}

struct FilterFlags {
  bool sessionScoped = false;
  bool dynamic = false;
  bool sequence = false;
};

// The flags of an encoded filter message; all false when it does not decode.
template <class Message>
FilterFlags flagsOf(const std::optional<os::Data>& data, int32_t sessionScoped, int32_t dynamic, int32_t sequence) {
  auto message = data ? Message::initWithBuffer(*data) : nullptr;
  if (!message) return {};
  return {APMPBGetBool(message.get(), sessionScoped), APMPBGetBool(message.get(), dynamic),
          APMPBGetBool(message.get(), sequence)};
}

// "(audience_id=3 AND filter_id=1) OR (audience_id=7 AND filter_id=2)".
template <class Filter>
std::string filterPairCondition(const std::vector<std::shared_ptr<Filter>>& filters) {
  std::string condition;
  for (const auto& filter : filters) {
    if (!condition.empty()) condition += " OR ";
    condition += os::format("(audience_id=%d AND filter_id=%d)", filter->audienceID(), filter->filterID());
  }
  return condition;
}

}  // namespace

// ---- Audience filters ----

std::optional<std::vector<std::shared_ptr<APMEventFilter>>> APMDatabase::eventFiltersForEventName(
    std::string_view eventName, os::Error* error) {
  if (!APMCheckNotZero(eventName.size(), error, kArgument, "Received empty event name for getting event filters")) {
    return std::nullopt;
  }
  return dataTypesFromTableWithName<APMEventFilter>(
      kAPMEventFiltersTableName, "event_name", os::Value(eventName), error,
      [](const os::Dictionary& row, os::Error* error) -> std::shared_ptr<APMEventFilter> {
        if (!APMCheckNotZero(row.size(), error, kRecord, "Received empty dictionary for getting event filter")) {
          return nullptr;
        }
        auto data = dataAt(row, "data");
        const FilterFlags flags = flagsOf<APMPBEventFilter>(data, kEventFilterSessionScoped, kEventFilterDynamic,
                                                            kEventFilterSequence);
        const os::Value* name = columnAt(row, "event_name");
        return std::make_shared<APMEventFilter>(int32_t(integerAt(row, "audience_id")),
                                                int32_t(integerAt(row, "filter_id")),
                                                name != nullptr ? name->stringValue() : std::string(),
                                                data.value_or(os::Data()), flags.sessionScoped, flags.dynamic,
                                                flags.sequence);
      });
}

std::optional<std::vector<std::shared_ptr<APMPropertyFilter>>> APMDatabase::propertyFiltersForPropertyName(
    std::string_view propertyName, os::Error* error) {
  if (!APMCheckNotZero(propertyName.size(), error, kArgument,
                       "Received empty property name for getting property filters")) {
    return std::nullopt;
  }
  return dataTypesFromTableWithName<APMPropertyFilter>(
      kAPMPropertyFiltersTableName, "property_name", os::Value(propertyName), error,
      [](const os::Dictionary& row, os::Error* error) -> std::shared_ptr<APMPropertyFilter> {
        if (!APMCheckNotZero(row.size(), error, kRecord, "Received empty dictionary for getting property filter")) {
          return nullptr;
        }
        auto data = dataAt(row, "data");
        const FilterFlags flags = flagsOf<APMPBPropertyFilter>(data, kPropertyFilterSessionScoped,
                                                               kPropertyFilterDynamic, kPropertyFilterSequence);
        const os::Value* name = columnAt(row, "property_name");
        return std::make_shared<APMPropertyFilter>(int32_t(integerAt(row, "audience_id")),
                                                   int32_t(integerAt(row, "filter_id")),
                                                   name != nullptr ? name->stringValue() : std::string(),
                                                   data.value_or(os::Data()), flags.sessionScoped, flags.dynamic,
                                                   flags.sequence);
      });
}

std::optional<std::vector<int32_t>> APMDatabase::allAudienceIDs(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto rows = store->recordsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
  if (!rows) return std::nullopt;
  std::vector<int32_t> audienceIDs;
  for (const os::Dictionary& row : *rows) {
    const os::Value* audienceID = columnAt(row, "audience_id");
    if (!APMCheck(audienceID != nullptr && audienceID->isNumber(), error, kArgument,
                  "Received nil audience ID for querying all audience IDs")) {
      return std::nullopt;
    }
    audienceIDs.push_back(int32_t(audienceID->int64Value()));
  }
  return audienceIDs;
}

std::optional<std::map<int32_t, std::vector<int32_t>>> APMDatabase::allSessionScopedFilters(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  // A failed query is a failure: an empty answer would read as "no
  // session-scoped filters" and leave their results standing.
  auto rows = store->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION "
      "SELECT audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<int32_t, std::vector<int32_t>> filters;
  for (const os::Dictionary& row : *rows) {
    filters[int32_t(integerAt(row, "audience_id"))].push_back(int32_t(integerAt(row, "filter_id")));
  }
  return filters;
}

namespace {

std::shared_ptr<APMFilterResult> filterResultFromDictionary(const os::Dictionary& row, os::Error* error) {
  if (!APMCheckNotZero(row.size(), error, kRecord, "Received empty dictionary for getting filter result")) {
    return nullptr;
  }
  return std::make_shared<APMFilterResult>(int32_t(integerAt(row, "audience_id")), dataAt(row, "current_results"),
                                           dataAt(row, "previous_results"));
}

}  // namespace

std::optional<std::map<int32_t, std::shared_ptr<APMFilterResult>>> APMDatabase::allFilterResults(os::Error* error) {
  auto results = allDataTypesFromTableWithName<APMFilterResult>(kAPMAudienceFilterValuesTableName, -1, error,
                                                                filterResultFromDictionary);
  if (!results) return std::nullopt;
  std::map<int32_t, std::shared_ptr<APMFilterResult>> byAudience;
  for (auto& result : *results) byAudience[result->audienceID()] = std::move(result);
  return byAudience;
}

std::shared_ptr<APMFilterResult> APMDatabase::filterResultForAudienceID(int32_t audienceID, os::Error* error) {
  auto results = dataTypesFromTableWithName<APMFilterResult>(kAPMAudienceFilterValuesTableName, "audience_id",
                                                             os::Value(audienceID), error, filterResultFromDictionary);
  return results && !results->empty() ? results->front() : nullptr;
}

bool APMDatabase::updateEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, os::Error* error) {
  if (!APMCheckNotZero(filters.size(), error, kArgument, "Received empty event filters to update")) return false;
  for (const auto& filter : filters) {
    if (!(APMCheckNotNil(filter, error, kRecord, "Received empty event filter for getting dictionary representation") &&
          APMCheckNotZero(filter->eventName().size(), error, kRecord,
                          "Received event filter with empty event name for getting dictionary representation") &&
          APMCheckNotZero(filter->data().length(), error, kRecord,
                          "Received event filter with empty data for getting dictionary representation"))) {
      return false;
    }
    const os::Dictionary row = {
        {"audience_id", os::Value(filter->audienceID())},
        {"filter_id", os::Value(filter->filterID())},
        {"event_name", os::Value(filter->eventName())},
        {"data", os::Value(filter->data())},
        {"session_scoped", os::Value(filter->isSessionScoped() ? 1 : 0)},
    };
    if (!insertDataType(row, kAPMEventFiltersTableName, error)) return false;
  }
  return true;
}

bool APMDatabase::updatePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters,
                                        os::Error* error) {
  if (!APMCheckNotZero(filters.size(), error, kArgument, "Received empty property filters to update")) return false;
  for (const auto& filter : filters) {
    if (!(APMCheckNotNil(filter, error, kRecord,
                         "Received empty property filter for getting dictionary representation") &&
          APMCheckNotZero(filter->propertyName().size(), error, kRecord,
                          "Received property filter with empty property name for getting dictionary representation") &&
          APMCheckNotZero(filter->data().length(), error, kRecord,
                          "Received property filter with empty data for getting dictionary representation"))) {
      return false;
    }
    const os::Dictionary row = {
        {"audience_id", os::Value(filter->audienceID())},
        {"filter_id", os::Value(filter->filterID())},
        {"property_name", os::Value(filter->propertyName())},
        {"data", os::Value(filter->data())},
        {"session_scoped", os::Value(filter->isSessionScoped() ? 1 : 0)},
    };
    if (!insertDataType(row, kAPMPropertyFiltersTableName, error)) return false;
  }
  return true;
}

bool APMDatabase::updateFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                                      os::Error* error) {
  if (!APMCheckNotZero(results.size(), error, kArgument, "Received empty filter results to update")) return false;
  for (const auto& result : results) {
    if (!(APMCheckNotNil(result, error, kRecord,
                         "Received empty filter result for getting dictionary representation") &&
          APMCheck(result->currentResults() && !result->currentResults()->empty(), error, kRecord,
                   "Received filter result with empty data for getting dictionary representation"))) {
      return false;
    }
    const auto& previous = result->previousResults();
    const os::Dictionary row = {
        {"audience_id", os::Value(result->audienceID())},
        {"current_results", os::Value(*result->currentResults())},
        {"previous_results", previous && !previous->empty() ? os::Value(*previous) : os::Value()},
    };
    if (!insertDataType(row, kAPMAudienceFilterValuesTableName, error)) return false;
  }
  return true;
}

bool APMDatabase::deleteEventFilters(const std::vector<std::shared_ptr<APMEventFilter>>& filters, os::Error* error) {
  if (!(APMCheckNotZero(filters.size(), error, kArgument, "Received empty event filters to delete") &&
        APMCheck(std::ranges::none_of(filters, [](const auto& f) { return f == nullptr; }), error, kArgument,
                 "Received unknown type to delete event filter"))) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store->deleteRecordsFromTableWithName(kAPMEventFiltersTableName, filterPairCondition(filters), {}, error)
             .has_value();
}

bool APMDatabase::deletePropertyFilters(const std::vector<std::shared_ptr<APMPropertyFilter>>& filters,
                                        os::Error* error) {
  if (!(APMCheckNotZero(filters.size(), error, kArgument, "Received empty property filters to delete") &&
        APMCheck(std::ranges::none_of(filters, [](const auto& f) { return f == nullptr; }), error, kArgument,
                 "Received unknown type to delete property filter"))) {
    return false;
  }
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store->deleteRecordsFromTableWithName(kAPMPropertyFiltersTableName, filterPairCondition(filters), {}, error)
             .has_value();
}

bool APMDatabase::deleteFilterResults(const std::vector<std::shared_ptr<APMFilterResult>>& results,
                                      os::Error* error) {
  if (!(APMCheckNotZero(results.size(), error, kArgument, "Received empty filter results to delete") &&
        APMCheck(std::ranges::none_of(results, [](const auto& r) { return r == nullptr; }), error, kArgument,
                 "Received unknown type to delete filter result"))) {
    return false;
  }
  std::set<int32_t> audienceIDs;
  for (const auto& result : results) audienceIDs.insert(result->audienceID());
  std::string list;
  for (int32_t audienceID : audienceIDs) list += (list.empty() ? "" : ",") + std::to_string(audienceID);
  APMSqliteStore* store = openStore(error);
  return store != nullptr &&
         store
             ->deleteRecordsFromTableWithName(kAPMAudienceFilterValuesTableName,
                                              os::format("%@ IN (%@)", "audience_id", list), {}, error)
             .has_value();
}

bool APMDatabase::deleteAllEventFilters(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store->deleteAllRecordsFromTableWithName(kAPMEventFiltersTableName, error);
}

bool APMDatabase::deleteAllPropertyFilters(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store->deleteAllRecordsFromTableWithName(kAPMPropertyFiltersTableName, error);
}

// ---- Purchases and subscriptions ----

namespace {

// "rowid IN (SELECT rowid FROM <table> ORDER BY rowid DESC LIMIT -1 OFFSET ?)".
std::string overLimitCondition(std::string_view table) {
  return os::format("rowid IN (SELECT rowid FROM %@ ORDER BY rowid DESC LIMIT -1 OFFSET ?)", table);
}

}  // namespace

std::optional<int64_t> APMDatabase::insertIfNotDuplicatePurchaseFingerprint(std::string_view fingerprint,
                                                                            os::Error* error) {
  if (fingerprint.empty()) return 0;
  // A failed look-up stops here: recording anyway could report a purchase
  // twice.
  auto exists = booleanForQuery("SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
                                {os::Value(fingerprint)}, error);
  if (!exists) return std::nullopt;
  if (*exists) return 0;
  if (!insertDataType({{"fingerprint", os::Value(fingerprint)}}, kAPMPurchaseTransactionsTableName, error)) {
    return std::nullopt;
  }
  APMSqliteStore* store = openStore(error);
  if (store == nullptr ||
      !store->deleteRecordsFromTableWithName(kAPMPurchaseTransactionsTableName,
                                             overLimitCondition(kAPMPurchaseTransactionsTableName),
                                             {os::Value(kAPMPurchaseTransactionsLimit)}, error)) {
    return std::nullopt;
  }
  return 1;
}

std::optional<int64_t> APMDatabase::insertIfNotDuplicateSubscriptionID(std::string_view subscriptionID,
                                                                       os::Error* error) {
  if (subscriptionID.empty()) return 0;
  auto exists = booleanForQuery("SELECT EXISTS (SELECT 1 FROM subscriptions WHERE subscription_id = ? LIMIT 1)",
                                {os::Value(subscriptionID)}, error);
  if (!exists) return std::nullopt;
  if (*exists) return 0;
  if (!insertDataType({{"subscription_id", os::Value(subscriptionID)}}, kAPMSubscriptionsTableName, error)) {
    return std::nullopt;
  }
  return 1;
}

std::optional<int64_t> APMDatabase::deleteSubscriptionsOverLimit(os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  return store->deleteRecordsFromTableWithName(kAPMSubscriptionsTableName,
                                               overLimitCondition(kAPMSubscriptionsTableName),
                                               {os::Value(kAPMSubscriptionsLimit)}, error);
}

// ---- Main events of complex events ----

bool APMDatabase::updateComplexEventForAudienceEvaluationWithEventID(int64_t eventID, int64_t childEventCount,
                                                                     const std::shared_ptr<APMEvent>& mainEvent,
                                                                     os::Error* error) {
  if (!APMCheckNotNil(mainEvent, error, kArgument, "Received nil main event")) return false;
  auto proto = mainEvent->protoEvent();
  auto data = proto ? proto->protoBuffer() : std::nullopt;
  if (!APMCheck(data && !data->empty(), error, kArgument, "Cannot create the main event blob")) return false;
  const os::Dictionary row = {
      {"main_event", os::Value(std::move(*data))},
      {"event_id", os::Value(eventID)},
      {"children_to_process", os::Value(childEventCount)},
  };
  return insertDataType(row, kAPMMainEventParamsTableName, error);
}

std::optional<APMMainEventAndChildCount> APMDatabase::mainEventAndChildCountPairWithEventID(int64_t eventID,
                                                                                         os::Error* error) {
  APMSqliteStore* store = openStore(error);
  if (store == nullptr) return std::nullopt;
  auto rows = store->recordsForQuery(os::format("SELECT * FROM %@ WHERE event_id=? LIMIT 1", kAPMMainEventParamsTableName),
                                     {os::Value(eventID)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  const os::Dictionary& row = rows->front();
  const os::Value* blob = columnAt(row, "main_event");
  auto mainEvent = blob != nullptr ? eventFromData(*blob, error) : nullptr;
  if (!APMCheckNotNil(mainEvent, error, kRecord, "Main event blob is nil in database")) return std::nullopt;
  const os::Value* count = columnAt(row, "children_to_process");
  if (!APMCheck(count != nullptr && count->isNumber(), error, kRecord,
                "Complex event does not have children count in database")) {
    return std::nullopt;
  }
  return APMMainEventAndChildCount{std::move(mainEvent), count->int64Value()};
}

bool APMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(int64_t eventID, os::Error* error) {
  APMSqliteStore* store = openStore(error);
  return store != nullptr && store
                                 ->deleteRecordsFromTableWithName(kAPMMainEventParamsTableName, "event_id=?",
                                                                  {os::Value(eventID)}, error)
                                 .has_value();
}
