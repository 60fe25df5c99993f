// Audience definitions of APMAudience: checking, storing as filter rows, and
// deleting the results of audiences defined nowhere any more.
#include <functional>
#include <map>

#include "measurement/engine/audiences/audience.h"
#include "measurement/engine/audiences/audience_filter_matching.h"
#include "measurement/engine/audiences/audience_log.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/errors.h"
#include "measurement/store/numeric_util.h"
#include "measurement/store/records.h"

using apm_audience::log;

namespace {

constexpr int32_t kAudienceID = 0;
constexpr int32_t kAudiencePropertyFilters = 1;
constexpr int32_t kAudienceEventFilters = 2;

using EventFilters = std::vector<std::shared_ptr<APMPBEventFilter>>;
using PropertyFilters = std::vector<std::shared_ptr<APMPBPropertyFilter>>;
using ParameterFilters = std::vector<std::shared_ptr<APMPBFilter>>;

EventFilters eventFiltersOf(const APMPBAudience& audience) {
  return APMPBGetArray<APMPBEventFilter>(&audience, kAudienceEventFilters).value_or(EventFilters{});
}

PropertyFilters propertyFiltersOf(const APMPBAudience& audience) {
  return APMPBGetArray<APMPBPropertyFilter>(&audience, kAudiencePropertyFilters).value_or(PropertyFilters{});
}

ParameterFilters parameterFiltersOf(const APMPBEventFilter& filter) {
  return APMPBGetArray<APMPBFilter>(&filter, kAPMEventFilterParameterFilters).value_or(ParameterFilters{});
}

bool fail(os::Error* error, APMErrorCode code, std::string_view description) {
  APMSetError(error, code, description);
  return false;
}

// The name's short form in the table, or nullopt when it has none.
std::optional<std::string> shortName(const APMNameMap& map, const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  const auto found = map.find(*name);
  if (found == map.end()) return std::nullopt;
  return found->second;
}

// Checks shared by event parameter filters and property value filters:
// exactly one of the number and string filters, and that one well formed.
// Returns the failing check's text, "" for a property's invalid number filter
// (which has none), or nullopt when the filter passes.
struct ValueFilterTexts {
  const char* notExactlyOne;
  const char* invalidNumber;
  const char* invalidString;
};

std::optional<std::string> checkValueFilter(const APMPBFilter& filter, const ValueFilterTexts& texts) {
  const auto number = APMPBGetMessage<APMPBNumberFilter>(&filter, kAPMFilterNumberFilter);
  const auto string = APMPBGetMessage<APMPBStringFilter>(&filter, kAPMFilterStringFilter);
  if (bool(number) == bool(string)) return texts.notExactlyOne;
  if (number && !APMIsValidNumberFilter(*number)) return texts.invalidNumber;
  if (string && !APMValidateStringFilter(*string)) return texts.invalidString;
  return std::nullopt;
}

}  // namespace

bool APMIsValidAudienceDefinition(const APMPBAudience& audience, const std::set<int32_t>& acceptedAudienceIDs,
                                  os::Error* error) {
  constexpr auto kAudience = APMErrorCode::InvalidAudience;
  constexpr auto kEvent = APMErrorCode::InvalidEventFilter;
  constexpr auto kProperty = APMErrorCode::InvalidPropertyFilter;
  const auto settings = APMMeasurementServices::remoteConfig();
  const int32_t maxFilters = settings->maxFiltersPerAudience();

  if (!APMPBHasField(&audience, kAudienceID)) return fail(error, kAudience, "Missing audience ID");
  const int32_t audienceID = APMPBGetInt32(&audience, kAudienceID);
  if (audienceID < 0) return fail(error, kAudience, "Audience ID is negative");
  if (acceptedAudienceIDs.contains(audienceID)) return fail(error, kAudience, "Duplicate audience ID");
  if (!APMPBHasField(&audience, kAudienceEventFilters) && !APMPBHasField(&audience, kAudiencePropertyFilters)) {
    return fail(error, kAudience, "Audience missing filters arrays");
  }
  const EventFilters eventFilters = eventFiltersOf(audience);
  const PropertyFilters propertyFilters = propertyFiltersOf(audience);
  const size_t filterCount = eventFilters.size() + propertyFilters.size();
  if (filterCount < 1 || filterCount > size_t(std::max(maxFilters, 0))) {
    return fail(error, kAudience, "Audience filter count out of range");
  }

  // Event and property filters of one audience share one ID space.
  std::set<int32_t> filterIDs;
  for (const auto& filter : eventFilters) {
    const auto name = APMPBGetString(filter.get(), kAPMEventFilterEventName);
    if (!name || name->empty()) return fail(error, kEvent, "Event filter missing event name");
    if (!APMPBHasField(filter.get(), kAPMEventFilterFilterID)) return fail(error, kEvent, "Missing event filter ID");
    const int32_t filterID = APMPBGetInt32(filter.get(), kAPMEventFilterFilterID);
    if (filterID < 0 || filterID >= maxFilters) return fail(error, kEvent, "Event filter ID is out of range");
    if (!filterIDs.insert(filterID).second) return fail(error, kEvent, "Duplicate event filter ID");
    if (auto count = APMPBGetMessage<APMPBNumberFilter>(filter.get(), kAPMEventFilterCountFilter)) {
      if (APMPBGetBool(count.get(), kAPMNumberFilterIsFloat)) {
        return fail(error, kEvent, "Event filter has float event count filter");
      }
      if (!APMIsValidNumberFilter(*count)) return fail(error, kEvent, "Event filter has invalid event count filter");
    }
    const ParameterFilters parameters = parameterFiltersOf(*filter);
    if (parameters.size() > size_t(std::max(settings->maxParametersPerFilter(), 0))) {
      return fail(error, kEvent, "Event filter parameters filters count out of range");
    }
    for (const auto& parameter : parameters) {
      const auto parameterName = APMPBGetString(parameter.get(), kAPMFilterParameterName);
      if (!parameterName || parameterName->empty()) return fail(error, kEvent, "Event filter missing parameter name");
      if (auto text = checkValueFilter(*parameter, {"Event filter must have exactly one of number or string filter",
                                                     "Event filter has invalid number filter",
                                                     "Event filter has invalid string filter"})) {
        return fail(error, kEvent, *text);
      }
    }
  }

  for (const auto& filter : propertyFilters) {
    const auto name = APMPBGetString(filter.get(), kAPMPropertyFilterPropertyName);
    if (!name || name->empty()) return fail(error, kProperty, "Property filter missing property name");
    if (!APMPBHasField(filter.get(), kAPMPropertyFilterFilterID)) {
      return fail(error, kProperty, "Missing property filter ID");
    }
    const int32_t filterID = APMPBGetInt32(filter.get(), kAPMPropertyFilterFilterID);
    if (filterID < 0 || filterID >= maxFilters) return fail(error, kProperty, "Property filter ID is out of range");
    if (!filterIDs.insert(filterID).second) return fail(error, kProperty, "Duplicate property filter ID");
    const auto valueFilter = APMPBGetMessage<APMPBFilter>(filter.get(), kAPMPropertyFilterValueFilter);
    if (!valueFilter) return fail(error, kProperty, "Property filter has no filter");
    if (auto text = checkValueFilter(*valueFilter, {"Property filter must have exactly one of number or string filter",
                                                     "", "Property filter has invalid string filter"})) {
      return fail(error, kProperty, *text);
    }
  }
  return true;
}

bool APMAudience::updateAudiences(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
  const int32_t maxAudienceCount = APMMeasurementServices::remoteConfig()->maxAudienceCount();
  if (audiences.size() > size_t(std::max(maxAudienceCount, 0))) {
    log(2, kAPMAudienceCodeTooManyAudiences,
        "Configuration contains too many audiences. Audiences will not be saved. Audience count",
        {int64_t(audiences.size())});
    return true;
  }

  std::set<int32_t> accepted;
  std::vector<std::shared_ptr<APMEventFilter>> eventRows;
  std::vector<std::shared_ptr<APMPropertyFilter>> propertyRows;
  for (const auto& audience : audiences) {
    if (!audience) continue;
    os::Error error;
    if (!APMIsValidAudienceDefinition(*audience, accepted, &error)) {
      log(2, kAPMAudienceCodeInvalidAudience, "Audience definition is invalid. Audience will not be saved. Audience, error",
          {APMPBGetInt32(audience.get(), kAudienceID), error});
      continue;
    }
    const int32_t audienceID = APMPBGetInt32(audience.get(), kAudienceID);
    accepted.insert(audienceID);

    for (const auto& filter : eventFiltersOf(*audience)) {
      if (auto name = shortName(APMEventNameMap(), APMPBGetString(filter.get(), kAPMEventFilterEventName))) {
        APMPBSetString(filter.get(), kAPMEventFilterEventName, *name);
      }
      ParameterFilters parameters = parameterFiltersOf(*filter);
      bool renamed = false;
      for (const auto& parameter : parameters) {
        if (auto name = shortName(APMPublicToInternalParameterNames(),
                                  APMPBGetString(parameter.get(), kAPMFilterParameterName))) {
          APMPBSetString(parameter.get(), kAPMFilterParameterName, *name);
          renamed = true;
        }
      }
      if (renamed) APMPBSetArray(filter.get(), kAPMEventFilterParameterFilters, parameters);
      eventRows.push_back(std::make_shared<APMEventFilter>(
          audienceID, APMPBGetInt32(filter.get(), kAPMEventFilterFilterID),
          APMPBGetString(filter.get(), kAPMEventFilterEventName).value_or(""),
          filter->protoBuffer().value_or(os::Data()), APMPBGetBool(filter.get(), kAPMEventFilterSessionScoped),
          APMPBGetBool(filter.get(), kAPMEventFilterDynamic), APMPBGetBool(filter.get(), kAPMEventFilterSequence)));
    }
    for (const auto& filter : propertyFiltersOf(*audience)) {
      if (auto name =
              shortName(APMUserPropertyShortNames(), APMPBGetString(filter.get(), kAPMPropertyFilterPropertyName))) {
        APMPBSetString(filter.get(), kAPMPropertyFilterPropertyName, *name);
      }
      propertyRows.push_back(std::make_shared<APMPropertyFilter>(
          audienceID, APMPBGetInt32(filter.get(), kAPMPropertyFilterFilterID),
          APMPBGetString(filter.get(), kAPMPropertyFilterPropertyName).value_or(""),
          filter->protoBuffer().value_or(os::Data()), APMPBGetBool(filter.get(), kAPMPropertyFilterSessionScoped),
          APMPBGetBool(filter.get(), kAPMPropertyFilterDynamic),
          APMPBGetBool(filter.get(), kAPMPropertyFilterSequence)));
    }
  }

  if (!maybeDeleteStaleFilterResults(accepted)) return false;

  struct Step {
    std::function<bool(os::Error*)> run;
    int64_t code;
    const char* text;
  };
  const Step steps[] = {
      {[&](os::Error* e) { return database_->deleteAllEventFilters(e); }, kAPMAudienceCodeDeleteEventFiltersFailed,
       "Unable to delete existing Audience event filters. Audiences will not be saved. Error"},
      {[&](os::Error* e) { return database_->deleteAllPropertyFilters(e); },
       kAPMAudienceCodeDeletePropertyFiltersFailed,
       "Unable to delete existing Audience user property filters. Audiences will not be saved. Error"},
      {[&](os::Error* e) { return eventRows.empty() || database_->updateEventFilters(eventRows, e); },
       kAPMAudienceCodeSaveEventFiltersFailed, "Unable to save Audience event filters. Audiences will not be saved. Error"},
      {[&](os::Error* e) { return propertyRows.empty() || database_->updatePropertyFilters(propertyRows, e); },
       kAPMAudienceCodeSavePropertyFiltersFailed,
       "Unable to save Audience user property filters. Audiences will not be saved. Error"},
  };
  for (const Step& step : steps) {
    os::Error error;
    if (!step.run(&error)) {
      log(1, step.code, step.text, {error});
      return false;
    }
  }
  return true;
}

bool APMAudience::maybeDeleteStaleFilterResults(const std::set<int32_t>& audienceIDs) {
  os::Error error;
  const auto records = database_->allFilterResults(&error);
  if (!records) {
    log(1, kAPMAudienceCodeQueryResultsForStaleFailed,
        "Unable to query Audience filter results. Audiences will not be saved. Error", {error});
    return false;
  }
  const int32_t maxFilterResultCount = APMMeasurementServices::remoteConfig()->maxFilterResultCount();
  if (records->size() <= size_t(std::max(maxFilterResultCount, 0))) return true;

  log(3, kAPMAudienceCodeTooManyResults,
      "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter result count, max "
      "filter result count",
      {int64_t(records->size()), maxFilterResultCount});
  const auto stored = database_->allAudienceIDs(&error);
  if (!stored) {
    log(1, kAPMAudienceCodeQueryAudienceIDsFailed,
        "Unable to query current Audience IDs. Audiences will not be saved. Error", {error});
    return false;
  }
  const std::set<int32_t> defined(stored->begin(), stored->end());
  std::vector<std::shared_ptr<APMFilterResult>> stale;
  for (const auto& [audienceID, record] : *records) {
    if (record && !defined.contains(audienceID) && !audienceIDs.contains(audienceID)) stale.push_back(record);
  }
  if (!stale.empty() && !database_->deleteFilterResults(stale, &error)) {
    log(1, kAPMAudienceCodeDeleteStaleResultsFailed,
        "Unable to delete stale Audience filter results. Audiences will not be saved. Error", {error});
    return false;
  }
  return true;
}
