#include "measurement/store/data_type_labels.h"

#include <array>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

namespace {

constexpr std::array<const char*, 10> kLabels = {
    "Event name",
    "Event origin",
    "Event parameter name",
    "Event parameter value",
    "User property name",
    "User property value",
    "Screen parameter value",
    "Conditional user property origin",
    "Conditional user property name",
    "Conditional user property value",
};

}  // namespace

std::string APMDataTypeDisplayName(uint64_t index, std::string_view suffix) {
  std::string label = index < kLabels.size() ? kLabels[index] : "Object";
  label += suffix;
  return label;
}

bool APMIsValidAPMValue(const APMObject& object, uint64_t index, int64_t* failureCode) {
  if (failureCode != nullptr) *failureCode = kAPMFailureCodeValid;
  if (object.isNil()) {
    if (failureCode != nullptr) *failureCode = kAPMFailureCodeMissing;
    APMMeasurementServices::monitor()->logWithLevel(3, kAPMValueCheckCodeNil,
                                                    APMDataTypeDisplayName(index, " cannot be nil"));
    return false;
  }
  if (object.apmValue() != nullptr) return true;
  if (failureCode != nullptr) *failureCode = kAPMFailureCodeWrongClass;
  APMMeasurementServices::monitor()->logWithLevel(
      3, kAPMValueCheckCodeNotAValue, APMDataTypeDisplayName(index, " must be a APMValue instance. value"),
      object.className());
  return false;
}
