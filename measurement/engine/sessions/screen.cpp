#include "measurement/engine/sessions/screen.h"

#include "measurement/store/engine_services/data_type_validator.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/monitor.h"

namespace {

bool isValidScreenValue(const std::string& value, int64_t* failureCode = nullptr) {
  return APMDataTypeValidator::isValidScreenParameterValue(APMObject(value), failureCode);
}

}  // namespace

std::shared_ptr<APMScreen> APMScreen::initWithName(std::optional<std::string> name,
                                                   std::optional<std::string> className, int64_t instanceID) {
  return std::make_shared<APMScreen>(std::move(name), std::move(className), instanceID);
}

std::shared_ptr<APMScreen> APMScreen::copy() const { return initWithName(name_, className_, instanceID_); }

os::Dictionary APMScreenParametersForScreen(const APMScreen& screen) {
  os::Dictionary parameters;
  parameters.emplace(kAPMScreenInstanceIDParameter, os::Value(os::Number::int64(screen.instanceID())));
  const auto& className = screen.className();
  if (!className || className->empty()) {
    APMMeasurementServices::monitor()->logWithLevel(3, kAPMScreenCodeEmptyClassName, "Screen class name is empty");
  } else {
    int64_t failureCode = 0;
    if (!isValidScreenValue(*className, &failureCode)) {
      APMMeasurementServices::monitor()->logWithLevel(3, kAPMScreenCodeInvalidClassName,
                                                      "Screen class name is invalid. Error code", failureCode);
      return parameters;
    }
    parameters.emplace(kAPMScreenClassParameter, os::Value(*className));
  }
  if (screen.name() && isValidScreenValue(*screen.name())) {
    parameters.emplace(kAPMScreenNameParameter, os::Value(*screen.name()));
  }
  return parameters;
}

os::Dictionary APMPreviousScreenParametersForScreen(const APMScreen& screen) {
  os::Dictionary parameters;
  parameters.emplace(kAPMPreviousScreenInstanceIDParameter, os::Value(os::Number::int64(screen.instanceID())));
  if (screen.className() && !screen.className()->empty() && isValidScreenValue(*screen.className())) {
    parameters.emplace(kAPMPreviousScreenClassParameter, os::Value(*screen.className()));
  }
  if (screen.name() && isValidScreenValue(*screen.name())) {
    parameters.emplace(kAPMPreviousScreenNameParameter, os::Value(*screen.name()));
  }
  return parameters;
}
