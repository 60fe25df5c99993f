#include "measurement/engine/events/event_sampling.h"

#include <cmath>
#include <map>
#include <string>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/event_records.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/monitor.h"
#include "os/foundation/crypto.h"

namespace {

using namespace apm_event_fields;

constexpr double kSecondsPerDay = 86'400;

using apm_shorthands::monitor;

int32_t accountDay(int64_t timestampMillis, double offsetSeconds) {
  return static_cast<int32_t>(std::trunc((static_cast<double>(timestampMillis) / 1000.0 + offsetSeconds) / kSecondsPerDay));
}

std::vector<std::shared_ptr<APMPBEventParam>> paramsOf(const APMPBEvent& event) {
  return APMPBGetArray<APMPBEventParam>(&event, kEventParams).value_or(std::vector<std::shared_ptr<APMPBEventParam>>{});
}

// Appends (name, value) unless a parameter of that name is there (23156).
void addParameter(APMPBEvent& event, const char* name, int64_t value, int64_t failureCode,
                  std::string_view failureMessage) {
  auto params = paramsOf(event);
  for (const auto& param : params) {
    if (APMPBGetString(param.get(), kParamName) == std::optional<std::string>(name)) {
      monitor()->logWithLevel(4, kAPMSamplingCodeParameterExists, "Event parameter already exists. Parameter name",
                              name);
      return;
    }
  }
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  if (param == nullptr) {
    monitor()->logWithLevel(2, failureCode, failureMessage);
    return;
  }
  APMPBSetString(param.get(), kParamName, name);
  APMPBSetInt64(param.get(), kParamIntValue, value);
  params.push_back(std::move(param));
  APMPBSetArray(&event, kEventParams, params);
}

std::optional<int64_t> complexEventID(const APMPBEvent& event) {
  for (const auto& param : paramsOf(event)) {
    if (APMPBGetString(param.get(), kParamName) == std::optional<std::string>(kAPMComplexEventIDParameter) &&
        APMPBHasField(param.get(), kParamIntValue)) {
      return APMPBGetInt64(param.get(), kParamIntValue);
    }
  }
  return std::nullopt;
}

}  // namespace

APMEventSampler::APMEventSampler(std::shared_ptr<os::DispatchQueue> queue, std::shared_ptr<APMDatabase> database,
                                 APMUniformRandomSource random)
    : database_(std::move(queue), "database_", std::move(database)),
      random_(random ? std::move(random) : APMUniformRandomSource(os::randomUniform)) {}

bool APMEventSampler::canEventBeSampled(const APMPBEvent& event) const {
  auto settings = APMMeasurementServices::remoteConfig();
  if (!settings->isEventSamplingEnabled()) return false;
  const std::string name = APMPBGetString(&event, kEventName).value_or("");
  if (!settings->eventHasSamplingRate(name)) return false;
  if (settings->samplingRateForEvent(name) > 1) return true;
  monitor()->logWithLevel(5, kAPMSamplingCodeInvalidRate, "Invalid sampling rate provided");
  return false;
}

bool APMEventSampler::isEventBundledAfterRoll(int64_t rate) const {
  if (rate <= 1) return true;
  return random_(static_cast<uint32_t>(rate)) == 0;
}

std::optional<std::vector<std::shared_ptr<APMPBEvent>>> APMEventSampler::sampleEvents(
    const std::vector<std::shared_ptr<APMPBEvent>>& events, os::Error* error) {
  os::Error failure;
  auto fail = [&](int64_t code, std::string_view message, APMLogContext context) {
    monitor()->logWithLevel(1, code, message, std::move(context), failure);
    if (error != nullptr) *error = failure;
    return std::nullopt;
  };

  // Invariant: every name met below has an entry, so step 4 writes it back.
  std::map<std::string, std::shared_ptr<APMEventAggregates>, std::less<>> cache;
  APMDatabase& database = *database_.get();
  auto all = database.allEventAggregates(&failure);
  if (!all) return fail(kAPMSamplingCodeCacheQueryFailed, "Unable to query all event aggregates for cache. error", {});
  for (auto& aggregates : *all) cache.insert_or_assign(aggregates->name(), aggregates);

  auto settings = APMMeasurementServices::remoteConfig();
  const double offset = settings->analyticsAccountTimeZoneOffsetMinutes() * 60.0;
  std::vector<std::shared_ptr<APMPBEvent>> kept;
  for (const auto& event : events) {
    const std::string name = event ? APMPBGetString(event.get(), kEventName).value_or("") : std::string();
    if (name.empty()) {
      monitor()->logWithLevel(2, kAPMSamplingCodeEventWithoutName, "Dropping event at sampling. Event has no name");
      continue;
    }
    const int64_t millis = APMPBGetInt64(event.get(), kEventTimestampMillis);
    const double seconds = static_cast<double>(millis) / 1000.0;
    const int32_t day = accountDay(millis, offset);
    auto& entry = cache[name];
    if (entry == nullptr) entry = std::make_shared<APMEventAggregates>(name, 0, 0, 0, 0);

    if (!canEventBeSampled(*event)) {
      entry->setLastBundledTimestamp(seconds);
      entry->setLastBundledDay(day);
      kept.push_back(event);
      continue;
    }
    const int32_t rate = settings->samplingRateForEvent(name);
    if (isEventBundledAfterRoll(rate)) {
      entry->setLastSamplingRate(rate);
      entry->setLastSampledComplexEventID(std::nullopt);
      entry->setLastBundledTimestamp(seconds);
      entry->setLastBundledDay(day);
      addParameter(*event, kAPMSamplingRateParameter, rate, kAPMSamplingCodeRateParameterFailed,
                   "Failed to create sampling rate parameter");
      kept.push_back(event);
      continue;
    }
    int32_t previousDay = entry->lastBundledDay();
    if (previousDay == 0) previousDay = accountDay(APMPBGetInt64(event.get(), kEventPreviousTimestampMillis), offset);
    if (previousDay != day) {
      entry->setLastBundledTimestamp(seconds);
      entry->setLastBundledDay(day);
      addParameter(*event, kAPMSamplingRateParameter, rate, kAPMSamplingCodeRateParameterFailed,
                   "Failed to create sampling rate parameter");
      addParameter(*event, kAPMExemptFromSamplingParameter, 1, kAPMSamplingCodeExemptParameterFailed,
                   "Failed to create exempt from sampling parameter");
      entry->setLastExemptFromSampling(true);
      kept.push_back(event);
    } else if (auto id = complexEventID(*event)) {
      entry->setLastSampledComplexEventID(*id);
    }
    entry->setLastSamplingRate(rate);
  }

  for (const auto& [name, cached] : cache) {
    failure = os::Error();
    auto stored = database.eventAggregatesWithName(name, &failure);
    if (stored == nullptr) {
      // No row for the name (never counted, or reset since): nothing to carry
      // the state into.
      if (failure.domain().empty()) continue;
      return fail(kAPMSamplingCodeAggregatesQueryFailed,
                  "Unable to query event aggregates to update database. Name, error", name);
    }
    if (cached->lastBundledTimestamp() != 0) stored->setLastBundledTimestamp(cached->lastBundledTimestamp());
    stored->setLastSamplingRate(cached->lastSamplingRate());
    stored->setLastSampledComplexEventID(cached->lastSampledComplexEventID());
    stored->setLastExemptFromSampling(cached->lastExemptFromSampling());
    stored->setLastBundledDay(cached->lastBundledDay());
    if (!database.updateEventAggregates(stored, &failure)) {
      return fail(kAPMSamplingCodeAggregatesUpdateFailed,
                  "Failed to update event aggregates after removing removing events due to sampling. Error", {});
    }
  }
  return kept;
}
