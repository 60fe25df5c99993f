#include "measurement/store/engine_services/debug_description.h"

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/monitor.h"
#include "measurement/store/records.h"
#include "os/foundation/format.h"
#include "os/runtime/runtime.h"

namespace {

constexpr const char* kAnalyticsClass = "REZAnalytics";
constexpr std::string_view kExperimentPrefix = "_exp_";
constexpr std::string_view kLegacyKeyPrefix = "vivuzuvu_";

// The long name whose short name is `name`: the first that does not begin
// with the legacy prefix, else the last legacy one.
std::string describeAgainstTable(std::string_view name, const APMNameMap& table) {
  if (name.empty() || table.empty() || !name.starts_with('_')) return std::string(name);
  if (!APMMeasurementServices::monitor()->isDebugModeEnabled() ||
      os::runtime::classFromString(kAnalyticsClass) == nullptr) {
    return std::string(name);
  }
  const std::string* found = nullptr;
  for (const auto& [longName, shortName] : table) {
    if (shortName != name) continue;
    found = &longName;
    if (!longName.starts_with(kLegacyKeyPrefix)) break;
  }
  return found != nullptr ? os::format("%@ (%@)", *found, name) : std::string(name);
}

}  // namespace

std::string APMEventNameDebugDescription(std::string_view eventName) {
  return describeAgainstTable(eventName, APMEventNameMap());
}

std::string APMParameterNameDebugDescription(std::string_view userPropertyName) {
  if (userPropertyName.starts_with(kExperimentPrefix)) return os::format("%@ (%@)", "experiment_id", userPropertyName);
  return describeAgainstTable(userPropertyName, APMUserPropertyShortNames());
}
