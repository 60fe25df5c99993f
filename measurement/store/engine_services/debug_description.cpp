#include "measurement/store/engine_services/debug_description.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/monitor.h"
#include "measurement/store/numeric_util.h"
#include "measurement/store/records.h"
#include "os/foundation/format.h"
#include "os/foundation/text.h"
#include "os/runtime/runtime.h"

namespace {

constexpr const char* kAnalyticsClass = "REZAnalytics";
constexpr std::string_view kExperimentPrefix = "_exp_";
constexpr std::string_view kLegacyKeyPrefix = "vivuzuvu_";
constexpr const char* kIndent = "    ";

bool isDescribing() {
  return APMMeasurementServices::monitor()->isDebugModeEnabled() &&
         os::runtime::classFromString(kAnalyticsClass) != nullptr;
}

// The long name whose short name is `name`: the first that does not begin
// with the legacy prefix, else the last legacy one.
std::string describeAgainstTable(std::string_view name, const APMNameMap& table) {
  if (name.empty() || table.empty() || !name.starts_with('_')) return std::string(name);
  if (!isDescribing()) return std::string(name);
  const std::string* found = nullptr;
  for (const auto& [longName, shortName] : table) {
    if (shortName != name) continue;
    found = &longName;
    if (!longName.starts_with(kLegacyKeyPrefix)) break;
  }
  return found != nullptr ? os::format("%@ (%@)", *found, name) : std::string(name);
}

std::string dictionaryText(const os::Dictionary& entries, const std::string& indent);

std::string arrayText(const os::Array& items) {
  std::string text = "[\n";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ",\n";
    const os::Dictionary* entries = items[i].dictionary();
    text += entries != nullptr ? dictionaryText(*entries, kIndent) : items[i].description();
  }
  return text + "\n" + kIndent + "]";
}

std::string valueText(const std::string& name, const os::Value& value) {
  if (const os::Array* items = value.array()) return arrayText(*items);
  const os::Number* number = value.number();
  if (name == kAPMErrorCodeParameter && number != nullptr && number->isInteger()) {
    const int64_t code = number->int64Value();
    if (auto errorName = APMErrorCodeName(code)) return os::format("%@ (%@)", *errorName, code);
    return os::format("%lld", static_cast<long long>(code));
  }
  return value.description();
}

std::string dictionaryText(const os::Dictionary& entries, const std::string& indent) {
  std::vector<std::string> lines;
  for (const auto& [name, value] : entries) {
    lines.push_back(
        os::format("%@    %@ = %@;\n", indent, APMParameterNameDebugDescription(name), valueText(name, value)));
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return os::compareStrings(os::lowercaseString(a), os::lowercaseString(b)) < 0;
  });
  std::string text = indent + "{\n";
  for (const std::string& line : lines) text += line;
  return text + indent + "}";
}

}  // namespace

std::string APMEventNameDebugDescription(std::string_view eventName) {
  return describeAgainstTable(eventName, APMEventNameMap());
}

std::string APMParameterNameDebugDescription(std::string_view parameterName) {
  return describeAgainstTable(parameterName, APMPublicToInternalParameterNames());
}

std::string APMUserPropertyNameDebugDescription(std::string_view userPropertyName) {
  if (userPropertyName.starts_with(kExperimentPrefix)) return os::format("%@ (%@)", "experiment_id", userPropertyName);
  return describeAgainstTable(userPropertyName, APMUserPropertyShortNames());
}

std::string APMParametersDebugDescription(const APMEventParameters& parameters) {
  const os::Dictionary plain = APMPlainParameters(parameters);
  if (!isDescribing()) return os::Value(plain).description();
  return dictionaryText(plain, "");
}
