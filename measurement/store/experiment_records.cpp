#include "measurement/store/experiment_records.h"

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/identity.h"
#include "measurement/store/value.h"
#include "os/foundation/clock.h"
#include "os/foundation/format.h"

namespace {

std::mutex& sharedMonitorMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<APMEMonitor>& sharedMonitorSlot() {
  // Never destroyed: experiment work may log during exit.
  static auto* monitor = new std::shared_ptr<APMEMonitor>();  // guarded by sharedMonitorMutex()
  return *monitor;
}

// Held for the whole call, so a logger replaced meanwhile stays alive.
std::shared_ptr<APMEMonitor> log() { return APMEMonitor::shared(); }

// The class a log names for a value; "nil" for the null value.
std::string classNameOf(const os::Value& value) {
  if (value.isNull()) return "nil";
  return APMObject(value).className();
}

using apm_shorthands::now;

}  // namespace

// ---- APMEMonitor ----

std::shared_ptr<APMEMonitor> APMEMonitor::initWithMonitor(std::shared_ptr<APMMonitor> monitor) {
  return std::shared_ptr<APMEMonitor>(new APMEMonitor(std::move(monitor)));
}

std::shared_ptr<APMEMonitor> APMEMonitor::shared() {
  std::lock_guard lock(sharedMonitorMutex());
  auto& slot = sharedMonitorSlot();
  if (!slot) slot = initWithMonitor(nullptr);
  return slot;
}

void APMEMonitor::TEST_setShared(std::shared_ptr<APMEMonitor> monitor) {
  std::lock_guard lock(sharedMonitorMutex());
  sharedMonitorSlot() = std::move(monitor);
}

std::shared_ptr<APMMonitor> APMEMonitor::target() const {
  return monitor_ ? monitor_ : APMMeasurementServices::monitor();
}

void APMEMonitor::write(int64_t level, int64_t messageCode, std::string_view message,
                        std::vector<APMLogContext> contexts) {
  target()->logWithLevel(level, messageCode, message, std::move(contexts));
}

void APMEMonitor::clearMonitoringData() { target()->clearMonitoringData(); }

// ---- Flag values ----

std::shared_ptr<APMPBFlag> APMPBFlagWithNameValue(const os::Value& name, const os::Value& value) {
  if (name.isNull()) {
    log()->logWithLevel(1, 850000, "Flag name must not be nil");
    return nullptr;
  }
  if (!name.isString()) {
    log()->logWithLevel(1, 850001, "Flag name must be a string", classNameOf(name));
    return nullptr;
  }
  if (!value.isNumber() && !value.isString()) {
    log()->logWithLevel(1, 850002, "Flag value is invalid", classNameOf(value));
    return nullptr;
  }
  auto flag = APMPBFlag::initWithBuffer(os::Data());
  if (!flag) return nullptr;
  APMPBSetString(flag.get(), kAPMPBFlagNameIndex, *name.string());
  if (const std::string* text = value.string()) {
    APMPBSetString(flag.get(), kAPMPBFlagStringValueIndex, *text);
  } else if (value.number()->isFloatingPoint()) {
    APMPBSetDouble(flag.get(), kAPMPBFlagDoubleValueIndex, value.number()->doubleValue());
  } else {
    APMPBSetInt64(flag.get(), kAPMPBFlagIntValueIndex, value.number()->int64Value());
  }
  return flag;
}

os::Value APMPBFlagValue(const APMPBFlag* flag) {
  if (flag == nullptr) return os::Value();
  if (APMPBHasField(flag, kAPMPBFlagIntValueIndex)) {
    return os::Value(os::Number::int64(APMPBGetInt64(flag, kAPMPBFlagIntValueIndex)));
  }
  if (APMPBHasField(flag, kAPMPBFlagDoubleValueIndex)) {
    return os::Value(APMPBGetDouble(flag, kAPMPBFlagDoubleValueIndex));
  }
  if (APMPBHasField(flag, kAPMPBFlagStringValueIndex)) {
    if (auto text = APMPBGetString(flag, kAPMPBFlagStringValueIndex)) return os::Value(*text);
    return os::Value();
  }
  if (APMPBHasField(flag, kAPMPBFlagBoolValueIndex)) {
    return os::Value(APMPBGetBool(flag, kAPMPBFlagBoolValueIndex));
  }
  return os::Value();
}

// ---- APMEExperiment ----

std::shared_ptr<APMEExperiment> APMEExperiment::initWithExperimentID(
    std::optional<int64_t> experimentID, const std::vector<std::shared_ptr<APMPBFlag>>& flags) {
  if (!experimentID) {
    log()->logWithLevel(2, 870000, "Cannot create an experiment without ID");
    return nullptr;
  }
  for (const auto& flag : flags) {
    if (!flag) {
      log()->logWithLevel(2, 870003, "Cannot add non-flag into the experiment. Flag", "nil");
      return nullptr;
    }
  }
  std::shared_ptr<APMEExperiment> experiment(new APMEExperiment(*experimentID));
  // A nameless flag would sit under an empty key no lookup reaches; addFlag
  // skips it with its log line.
  for (const auto& flag : flags) experiment->addFlag(flag);
  return experiment;
}

std::shared_ptr<APMEExperiment> APMEExperiment::initWithProtobuf(const APMPBExperiment* proto) {
  if (proto == nullptr) {
    log()->logWithLevel(2, 870002, "Cannot create an experiment with invalid flags", "nil");
    return nullptr;
  }
  const int64_t experimentID =
      APMPBHasField(proto, kAPMPBExperimentIDIndex) ? APMPBGetInt32(proto, kAPMPBExperimentIDIndex) : 0;
  auto flags = APMPBGetArray<APMPBFlag>(proto, kAPMPBExperimentFlagsIndex);
  return initWithExperimentID(experimentID, flags.value_or(std::vector<std::shared_ptr<APMPBFlag>>{}));
}

void APMEExperiment::addFlag(const std::shared_ptr<APMPBFlag>& flag) {
  if (!flag) {
    log()->logWithLevel(2, 870004, "Cannot add empty flag into an experiment. ID", experimentID_);
    return;
  }
  std::optional<std::string> name = APMPBGetString(flag.get(), kAPMPBFlagNameIndex);
  if (!name) {
    log()->logWithLevel(2, 870006, "Cannot add a flag without name into an experiment. ID", experimentID_);
    return;
  }
  flagsByName_.setObjectForKey(flag, std::move(*name));
}

std::shared_ptr<APMPBFlag> APMEExperiment::flagWithName(std::string_view name) const {
  if (name.empty()) {
    log()->logWithLevel(2, 870007, "Cannot retrieve a flag without a flag name");
    return nullptr;
  }
  return flagsByName_.objectForKey(std::string(name)).value_or(nullptr);
}

std::shared_ptr<APMEExperiment> APMEExperiment::copy() const {
  std::shared_ptr<APMEExperiment> experiment(new APMEExperiment(experimentID_));
  for (auto& [name, flag] : flagsByName_.dictionary()) experiment->flagsByName_.setObjectForKey(flag, name);
  return experiment;
}

std::vector<std::shared_ptr<APMPBFlag>> APMEExperiment::flags() const {
  std::vector<std::shared_ptr<APMPBFlag>> out;
  for (auto& [name, flag] : flagsByName_.dictionary()) out.push_back(flag);
  return out;
}

std::shared_ptr<APMPBExperiment> APMEExperiment::proto() const {
  auto proto = APMPBExperiment::initWithBuffer(os::Data());
  if (!proto) return nullptr;
  APMPBSetInt32(proto.get(), kAPMPBExperimentIDIndex, static_cast<int32_t>(experimentID_));
  APMPBSetArray(proto.get(), kAPMPBExperimentFlagsIndex, flags());
  return proto;
}

// ---- APMESnapshot ----

std::shared_ptr<APMESnapshot> APMESnapshot::initWithSDKName(
    std::string_view SDKName, const std::vector<std::shared_ptr<APMEExperiment>>& experiments) {
  if (SDKName.empty()) {
    log()->logWithLevel(2, 840000, "Cannot create snapshot with an invalid SDK name", SDKName);
    return nullptr;
  }
  for (const auto& experiment : experiments) {
    if (!experiment) {
      log()->logWithLevel(2, 840002, "Cannot create snapshot with an invalid experiment", "nil");
      return nullptr;
    }
  }
  std::shared_ptr<APMESnapshot> snapshot(new APMESnapshot(std::string(SDKName)));
  snapshot->timestamp_ = now();
  for (const auto& experiment : experiments) {
    snapshot->experimentsByExperimentID_.setObjectForKey(experiment->copy(), experiment->experimentID());
  }
  return snapshot;
}

std::shared_ptr<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot* proto) {
  if (proto == nullptr) {
    log()->logWithLevel(2, 840000, "Cannot create snapshot with an invalid SDK name", "nil");
    return nullptr;
  }
  std::vector<std::shared_ptr<APMEExperiment>> experiments;
  if (auto messages = APMPBGetArray<APMPBExperiment>(proto, kAPMPBSnapshotExperimentsIndex)) {
    for (const auto& message : *messages) {
      if (auto experiment = APMEExperiment::initWithProtobuf(message.get())) experiments.push_back(experiment);
    }
  }
  return initWithSDKName(APMPBGetString(proto, kAPMPBSnapshotSDKNameIndex).value_or(""), experiments);
}

std::shared_ptr<APMPBFlag> APMESnapshot::flagByName(std::string_view name) const {
  for (const auto& experiment : experiments()) {
    if (auto flag = experiment->flagWithName(name)) return flag;
  }
  return nullptr;
}

std::shared_ptr<APMESnapshot> APMESnapshot::copy() const { return initWithSDKName(SDKName_, experiments()); }

void APMESnapshot::addFlag(const std::shared_ptr<APMPBFlag>& flag, std::optional<int64_t> experimentID) {
  if (!experimentID) {
    log()->logWithLevel(2, 840003, "Cannot add flag into empty experiment ID");
    return;
  }
  if (!flag) {
    log()->logWithLevel(2, 840004, "Cannot add an invalid flag into a snapshot", *experimentID);
    return;
  }
  if (auto experiment = experimentsByExperimentID_.objectForKey(*experimentID)) {
    (*experiment)->addFlag(flag);
    return;
  }
  if (auto experiment = APMEExperiment::initWithExperimentID(experimentID, {flag})) {
    experimentsByExperimentID_.setObjectForKey(experiment, *experimentID);
  }
}

void APMESnapshot::addFlags(const std::vector<std::shared_ptr<APMPBFlag>>& flags,
                            std::optional<int64_t> experimentID) {
  for (const auto& flag : flags) addFlag(flag, experimentID);
}

std::shared_ptr<APMPBSnapshot> APMESnapshot::proto() const {
  auto proto = APMPBSnapshot::initWithBuffer(os::Data());
  if (!proto) return nullptr;
  APMPBSetString(proto.get(), kAPMPBSnapshotSDKNameIndex, SDKName_);
  std::vector<std::shared_ptr<APMPBExperiment>> messages;
  for (const auto& experiment : experiments()) {
    if (auto message = experiment->proto()) messages.push_back(message);
  }
  APMPBSetArray(proto.get(), kAPMPBSnapshotExperimentsIndex, messages);
  return proto;
}

std::vector<std::shared_ptr<APMEExperiment>> APMESnapshot::experiments() const {
  std::vector<std::shared_ptr<APMEExperiment>> out;
  for (auto& [experimentID, experiment] : experimentsByExperimentID_.dictionary()) out.push_back(experiment);
  return out;
}

std::string APMESnapshot::description() const {
  std::string ids;
  for (const auto& experiment : experiments()) {
    if (!ids.empty()) ids += ", ";
    ids += std::to_string(experiment->experimentID());
  }
  return os::format("<APMESnapshot: %@, experiments (%@), timestamp %f%@>", SDKName_, ids, timestamp(),
                    manuallyActivated() ? ", manual" : "");
}

// ---- APMESDKProperty ----

std::shared_ptr<APMESDKProperty> APMESDKProperty::initWithName(std::string_view name) {
  return std::shared_ptr<APMESDKProperty>(new APMESDKProperty(std::string(name)));
}

std::shared_ptr<APMPBClientProperty> APMESDKProperty::proto() const {
  std::optional<std::string> key = diversionKey();
  if (!key || key->empty()) {
    if (auto identity = APMIdentity::sharedInstance()) key = identity->diversionKey();
  }
  if (!key || key->empty()) {
    log()->logWithLevel(1, 860001, "Diversion key is empty");
    return nullptr;
  }
  auto proto = APMPBClientProperty::initWithBuffer(os::Data());
  if (!proto) return nullptr;
  APMPBSetString(proto.get(), kAPMPBClientPropertyDiversionIDIndex, os::format("%@-%@", *key, name_));
  APMPBSetString(proto.get(), kAPMPBClientPropertyNameIndex, name_);
  if (auto appID = this->appID()) APMPBSetString(proto.get(), kAPMPBClientPropertyAppIDIndex, *appID);
  APMPBSetInt64(proto.get(), kAPMPBClientPropertyVersionIndex, version());

  std::map<std::string, std::string> properties = customProperties().value_or(std::map<std::string, std::string>{});
  // The delegate is asked without the lock: it may read this property.
  if (auto provider = delegate()) {
    if (auto dynamic = provider->dynamicCustomPropertiesForSDKProperty(*this)) {
      for (auto& [k, v] : *dynamic) properties.insert_or_assign(k, v);
    }
  }
  std::vector<std::shared_ptr<APMPBCustomProperty>> messages;
  for (const auto& [k, v] : properties) {
    auto message = APMPBCustomProperty::initWithBuffer(os::Data());
    if (!message) continue;
    APMPBSetString(message.get(), kAPMPBCustomPropertyKeyIndex, k);
    APMPBSetString(message.get(), kAPMPBCustomPropertyValueIndex, v);
    messages.push_back(message);
  }
  if (!messages.empty()) APMPBSetArray(proto.get(), kAPMPBClientPropertyCustomPropertiesIndex, messages);
  return proto;
}

int64_t APMESDKProperty::version() const {
  std::lock_guard lock(mutex_);
  return version_;
}
void APMESDKProperty::setVersion(int64_t version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}
std::optional<std::string> APMESDKProperty::appID() const {
  std::lock_guard lock(mutex_);
  return appID_;
}
void APMESDKProperty::setAppID(std::optional<std::string> appID) {
  std::lock_guard lock(mutex_);
  appID_ = std::move(appID);
}
std::optional<std::string> APMESDKProperty::diversionKey() const {
  std::lock_guard lock(mutex_);
  return diversionKey_;
}
void APMESDKProperty::setDiversionKey(std::optional<std::string> diversionKey) {
  std::lock_guard lock(mutex_);
  diversionKey_ = std::move(diversionKey);
}
std::optional<std::map<std::string, std::string>> APMESDKProperty::customProperties() const {
  std::lock_guard lock(mutex_);
  return customProperties_;
}
void APMESDKProperty::setCustomProperties(std::optional<std::map<std::string, std::string>> customProperties) {
  std::lock_guard lock(mutex_);
  customProperties_ = std::move(customProperties);
}
std::shared_ptr<APMESDKPropertyProviderDelegate> APMESDKProperty::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}
void APMESDKProperty::setDelegate(std::weak_ptr<APMESDKPropertyProviderDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}
