// Event intake of APMMeasurement: the entry points that hand events to the
// pipeline (event_pipeline.cpp) on the worker queue, the default event
// parameters and the keychain count of earlier first opens.

#include <limits>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/events/event_intake.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/keychain_wrapper.h"
#include "measurement/store/monitor.h"
#include "os/foundation/bundle.h"

namespace {


// The keychain items of the measurement library are scoped by the app's
// bundle identifier.
std::string keychainAppID() { return os::Bundle::mainBundle()->bundleIdentifier(); }

}  // namespace

void APMMeasurement::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                        const os::Dictionary& parameters, double timestamp, bool enabled,
                                        bool ignoreEnabled, bool ignoreInterceptor, APMEventInterceptor interceptor,
                                        const os::Dictionary& addedScreenParameters) {
  // The block holds the engine strongly: the event is not lost while the
  // engine is being replaced.
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "APMMeasurement:2414", [self, origin, isPublicEvent, name, parameters, timestamp, enabled, ignoreEnabled,
                              ignoreInterceptor, interceptor = std::move(interceptor), addedScreenParameters] {
        self->logEventOnWorkerQueueWithOrigin(origin, isPublicEvent, name, parameters, timestamp, enabled,
                                              ignoreEnabled, ignoreInterceptor, interceptor, addedScreenParameters);
      });
}

void APMMeasurement::logEventOnWorkerQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                                     const std::string& name, const os::Dictionary& parameters,
                                                     double timestamp, bool enabled, bool ignoreEnabled,
                                                     bool ignoreInterceptor, const APMEventInterceptor& interceptor,
                                                     const os::Dictionary& addedScreenParameters) {
  os::Dictionary merged =
      !ignoreInterceptor && name != kAPMErrorEventName ? parametersWithAddedDefaultEventParameters(parameters) : parameters;
  auto event = APMEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, merged);
  if (!event) {
    monitor()->logWithLevel(1, kAPMIntakeCodeNilEventWithOrigin, "Attempted to log nil event. Origin, name, parameters",
                            origin, APMEventNameDebugDescription(name), os::Value(merged));
    return;
  }
  if (!addedScreenParameters.empty()) event->addScreenParameters(objectsOf(addedScreenParameters));

  bool notify = true;
  if (!enabled && !ignoreEnabled) {
    notify = false;
  } else if (APMEventSkipsListeners(*event)) {
    notify = false;
  } else if (interceptor && isPublicEvent && !ignoreInterceptor) {
    os::Dictionary handed = merged;
    for (const auto& [screenName, value] : addedScreenParameters) handed[screenName] = value;
    interceptor(origin, name, handed, timestamp);
    return;
  }
  logEventOnWorkerQueue(std::move(event), notify);
}

void APMMeasurement::logEventOnWorkerQueue(std::shared_ptr<APMEvent> event, bool notifyEventListeners) {
  // Listeners see the event as logged, before the pipeline changes it.
  std::shared_ptr<APMEvent> copy = notifyEventListeners ? event->copy() : nullptr;
  handleEventOnWorkerQueue(std::move(event));
  if (copy) APMAnalytics::notifyEventListeners(copy);
}

void APMMeasurement::logEvent(std::shared_ptr<APMEvent> event) {
  scheduleWeakly("APMMeasurement:2520", [event = std::move(event)](APMMeasurement& self) {
    if (!event) {
      monitor()->logWithLevel(4, kAPMIntakeCodeNilEvent, "Attempted to log nil event");
      return;
    }
    self.handleEventOnWorkerQueue(event);
  });
}

void APMMeasurement::handleInternalEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  if (!event) return;
  if (event->name() != kAPMErrorEventName) {
    if (auto defaults = persistedConfig_->defaultEventParameters(); defaults && !defaults->empty()) {
      event->applyParameters(objectsOf(*defaults));
    }
  }
  handleEventOnWorkerQueue(event);
  APMAnalytics::notifyEventListeners(event);
}

void APMMeasurement::setDefaultEventParameters(std::optional<os::Dictionary> parameters) {
  scheduleWeakly("APMMeasurement:2528", [parameters = std::move(parameters)](APMMeasurement& self) {
    self.handleSetDefaultEventParametersOnWorkerQueue(parameters, false);
  });
}

os::Dictionary APMMeasurement::parametersWithAddedDefaultEventParameters(const os::Dictionary& parameters) {
  auto defaults = persistedConfig_->defaultEventParameters();
  if (!defaults || defaults->empty()) return parameters;
  os::Dictionary merged = std::move(*defaults);
  for (const auto& [name, value] : parameters) merged[name] = value;
  return merged;
}

void APMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(std::optional<os::Dictionary> parameters,
                                                                  bool backfillEvents) {
  APMScheduler::checkOnBackgroundThreadWithMethodName("handleSetDefaultEventParametersOnWorkerQueue:");
  if (!isEnabled()) {
    monitor()->logWithLevel(7, kAPMIntakeCodeDefaultsWhileDisabled,
                            "Analytics is disabled. Default event parameters not updated");
    return;
  }
  APMEventParameters result;
  if (parameters) {
    for (const auto& [name, value] : persistedConfig_->defaultEventParameters().value_or(os::Dictionary{})) {
      if (auto stored = APMValue::valueFromObject(APMObject(value))) result.insert_or_assign(name, *stored);
    }
    for (const auto& [name, value] : *parameters) {
      // Keys are strings here, so 23212 cannot arise.
      if (!(value.isNull() || value.isNumber() || value.isString())) {
        if (value.isArray()) APMLogErrorEvent(kAPMErrorCodeArrayInDefaultEventParameters);
        monitor()->logWithLevel(4, kAPMIntakeCodeInvalidDefaultValue,
                                "Invalid key in default event parameters. Parameter ignored.");
        continue;
      }
      if (!APMDataTypeValidator::isValidPublicEventParameterName(APMObject(name), nullptr)) {
        monitor()->logWithLevel(4, kAPMIntakeCodeInvalidDefaultName, "Invalid default event parameter name. Name",
                                name);
        continue;
      }
      if (value.isNull()) {
        result.erase(name);
        continue;
      }
      auto apmValue = APMValue::valueFromObject(APMObject(value));
      if (apmValue && APMDataTypeValidator::isValidPublicEventParameterValue(APMObject(*apmValue), nullptr)) {
        result.insert_or_assign(name, *apmValue);
      }
    }
  }
  const int32_t limit = remoteConfigOrDefault()->maxPublicEventParams();
  if (static_cast<int64_t>(result.size()) > limit) {
    APMTrimParameters(result, limit, false);
    APMLogErrorEvent(kAPMErrorCodeTooManyDefaultEventParameters);
    monitor()->logWithLevel(4, kAPMIntakeCodeTooManyDefaults,
                            "Too many default event parameters set. Discarding beyond event parameter limit");
  }
  os::Dictionary stored = APMPlainParameters(result);
  if (!backfillEvents) {
    monitor()->logWithLevel(7, kAPMIntakeCodeUpdatingDefaults, "Updating default event parameters. Parameters",
                            os::Value(stored));
  }
  persistedConfig_->setDefaultEventParameters(std::move(stored));
}

std::optional<std::string> APMMeasurement::previousFirstOpenCount() {
  return APMKeychainWrapper::keychainValueWithIdentifier(kAPMPreviousFirstOpenCountParameter, keychainAppID());
}

void APMMeasurement::setPreviousFirstOpenCount(std::optional<std::string> count) {
  if (!count) {
    APMKeychainWrapper::deleteKeychainValueWithIdentifier(kAPMPreviousFirstOpenCountParameter, keychainAppID());
    return;
  }
  APMKeychainWrapper::upsertKeychainValue(os::Value(*count), kAPMPreviousFirstOpenCountParameter, keychainAppID());
}

std::string APMNextFirstOpenCount(const std::optional<std::string>& stored) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t count = 0;
  if (stored) {
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(stored->c_str(), &end, 10);
    if (end != stored->c_str() && parsed >= 1) count = parsed;
  }
  return std::to_string(count == kMax ? kMax : count + 1);
}
