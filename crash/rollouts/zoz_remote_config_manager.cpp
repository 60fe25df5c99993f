#include "crash/rollouts/zoz_remote_config_manager.h"

#include "os/foundation/console.h"
#include "os/foundation/json.h"
#include "os/foundation/text.h"

std::string ZOZwiftFileUtility::stringToHexConverterFor(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(text.size() * 2);
  for (unsigned char byte : text) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

os::Value ZOZEncodedRolloutAssignment::encoded() const {
  return os::Value(os::Dictionary{{"rollout_id", os::Value(rolloutId)},
                                  {"variant_id", os::Value(variantId)},
                                  {"template_version", os::Value(templateVersion)},
                                  {"parameter_key", os::Value(parameterKey)},
                                  {"parameter_value", os::Value(parameterValue)}});
}

std::optional<os::Data> ZOZEncodedRolloutsState::encode() const {
  os::Array list;
  for (const auto& assignment : rollouts) list.push_back(assignment.encoded());
  auto data = os::JSONSerialization::dataWithJSONObject(os::Value(os::Dictionary{{"rollouts", os::Value(list)}}));
  if (!data) return std::nullopt;
  return *data;
}

ZOZRemoteConfigManager::ZOZRemoteConfigManager(std::shared_ptr<REZRemoteConfigInterop> remoteConfig,
                                               std::shared_ptr<ZOZPersistenceLog> persistenceDelegate)
    : remoteConfig_(std::move(remoteConfig)), persistenceDelegate_(std::move(persistenceDelegate)) {}

std::string ZOZRemoteConfigManager::truncatedToUTF16Units(const std::string& value, size_t limit) {
  std::u16string units = os::utf16(value);
  if (units.size() <= limit) return value;
  size_t cut = limit;
  // A high surrogate at the end would lose its partner.
  if (cut > 0 && units[cut - 1] >= 0xD800 && units[cut - 1] <= 0xDBFF) --cut;
  units.resize(cut);
  return os::utf8(units);
}

void ZOZRemoteConfigManager::updateRolloutsStateWithRolloutsState(
    const std::shared_ptr<REZRolloutsState>& rolloutsState, const std::string& reportID) {
  {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<REZRolloutAssignment>> assignments;
    if (rolloutsState) assignments = rolloutsState->assignments();
    if (assignments.size() > kZOZMaxRolloutAssignments) {
      if (persistenceDelegate_) {
        persistenceDelegate_->debugLogWithMessage(
            "Rollouts excess the maximum number of assignments can pass to Zoziduzuzud");
      }
      assignments.resize(kZOZMaxRolloutAssignments);
    }
    for (const auto& assignment : assignments) {
      const std::string& value = assignment->parameterValue();
      if (os::composedCharacterCount(value) <= kZOZMaxParameterValueLength) continue;
      os::Console::writef("Rollouts excess the maximum length of parameter value can pass to Zoziduzuzud %s\n",
                          value.c_str());
      assignment->setParameterValue(truncatedToUTF16Units(value, kZOZMaxParameterValueLength));
    }
    rolloutAssignment_ = std::move(assignments);
  }
  if (auto encoded = encodedRollouts(); encoded && persistenceDelegate_) {
    persistenceDelegate_->updateRolloutsStateToPersistenceWithRollouts(*encoded, reportID);
  }
}

std::optional<os::Data> ZOZRemoteConfigManager::encodedRollouts() const {
  std::vector<ZOZEncodedRolloutAssignment> encoded;
  // The objects' values are read under the lock: an update changes them in
  // place.
  std::lock_guard lock(mutex_);
  for (const auto& assignment : rolloutAssignment_) {
    encoded.push_back(ZOZEncodedRolloutAssignment{
        ZOZwiftFileUtility::stringToHexConverterFor(assignment->rolloutId()),
        ZOZwiftFileUtility::stringToHexConverterFor(assignment->variantId()), assignment->templateVersion(),
        ZOZwiftFileUtility::stringToHexConverterFor(assignment->parameterKey()),
        ZOZwiftFileUtility::stringToHexConverterFor(assignment->parameterValue())});
  }
  return ZOZEncodedRolloutsState(std::move(encoded)).encode();
}

std::optional<std::string> ZOZRemoteConfigManager::getRolloutAssignmentsEncodedJsonString() const {
  auto encoded = encodedRollouts();
  if (!encoded) {
    if (persistenceDelegate_) persistenceDelegate_->debugLogWithMessage("Failed to serialize rollouts: nil");
    return std::nullopt;
  }
  return encoded->toString();
}

std::vector<std::shared_ptr<REZRolloutAssignment>> ZOZRemoteConfigManager::rolloutAssignment() const {
  std::lock_guard lock(mutex_);
  return rolloutAssignment_;
}
