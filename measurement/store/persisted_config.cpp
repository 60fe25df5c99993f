#include "measurement/store/persisted_config.h"

#include <exception>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/monitor.h"
#include "measurement/store/user_defaults.h"
#include "os/foundation/crypto.h"

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMPersistedConfig>(initWithSuiteName(kAPMPersistedConfigSuiteName));
  const std::shared_ptr<APMPersistedConfig>& instance = *shared;
  if (!instance) {
    APMMeasurementServices::monitor()->logWithLevel(1, kAPMPersistedConfigCodeSharedInstanceNil,
                                                    "PersistedConfig's shared instance is nil");
  }
  return instance;
}

std::shared_ptr<APMPersistedConfig> APMPersistedConfig::initWithSuiteName(std::string_view suiteName) {
  if (suiteName.empty()) return nullptr;
  APMMoveUserDefaultsSuiteToMeasurementDirectory(suiteName);
  auto store = APMPersistentDictionary::initWithFileName(suiteName);
  if (!store) return nullptr;
  return std::shared_ptr<APMPersistedConfig>(new APMPersistedConfig(std::string(suiteName), std::move(store)));
}

APMPersistedConfig::APMPersistedConfig(std::string name, std::shared_ptr<APMPersistentDictionary> store)
    : name_(std::move(name)),
      userDefaults_(std::move(store)),
      serialQueue_(os::DispatchQueue::serial(kAPMPersistedConfigQueueLabel)) {}

APMPersistedConfig::~APMPersistedConfig() { cancelScheduledSynchronize(); }

// ---- Generic accessors ----

bool APMPersistedConfig::boolForKey(std::string_view key) {
  if (key.empty()) return false;
  return serialQueue_->sync([&] { return userDefaults_->boolForKey(key); });
}

double APMPersistedConfig::doubleForKey(std::string_view key) {
  if (key.empty()) return 0.0;
  return serialQueue_->sync([&] { return userDefaults_->doubleForKey(key); });
}

std::optional<std::string> APMPersistedConfig::stringForKey(std::string_view key) {
  if (key.empty()) return std::nullopt;
  return serialQueue_->sync([&] { return userDefaults_->stringForKey(key); });
}

std::optional<os::Dictionary> APMPersistedConfig::dictionaryForKey(std::string_view key) {
  if (key.empty()) return std::nullopt;
  return serialQueue_->sync([&] { return userDefaults_->dictionaryForKey(key); });
}

int64_t APMPersistedConfig::int64ForKey(std::string_view key) { return int64ForKey(key, *userDefaults_); }

int64_t APMPersistedConfig::int64ForKey(std::string_view key, APMConfigStore& store) {
  if (key.empty()) return 0;
  const os::Value object = serialQueue_->sync([&] { return store.objectForKey(key); });
  const os::Number* number = object.number();
  return number != nullptr ? number->int64Value() : 0;
}

os::Value APMPersistedConfig::numberForKey(std::string_view key) { return objectForKey(key); }

os::Value APMPersistedConfig::objectForKey(std::string_view key) {
  if (key.empty()) return os::Value();
  return serialQueue_->sync([&] { return userDefaults_->objectForKey(key); });
}

void APMPersistedConfig::setObject(const os::Value& value, std::string_view key, bool synchronize) {
  serialQueue_->sync([&] { userDefaults_->setObject(value, key); });
  if (synchronize) scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setBool(bool value, std::string_view key) { setObject(os::Value(value), key, true); }

void APMPersistedConfig::setInt64(int64_t value, std::string_view key) {
  setObject(os::Value(os::Number::int64(value)), key, true);
}

void APMPersistedConfig::setDouble(double value, std::string_view key) { setObject(os::Value(value), key, true); }

void APMPersistedConfig::setString(std::optional<std::string_view> value, std::string_view key) {
  setObject(value ? os::Value(*value) : os::Value(), key, true);
}

void APMPersistedConfig::setDictionary(std::optional<os::Dictionary> value, std::string_view key) {
  try {
    serialQueue_->sync([&] { userDefaults_->setObject(value ? os::Value(std::move(*value)) : os::Value(), key); });
  } catch (const std::exception& exception) {
    APMMeasurementServices::monitor()->logWithLevel(1, kAPMPersistedConfigCodeUnsupportedValue,
                                                    "Unsupported value passed in dictionary", exception.what());
    return;
  }
  scheduleSynchronizeToDisk();
}

void APMPersistedConfig::setNumber(const os::Value& value, std::string_view key) { setObject(value, key, true); }

// ---- Typed values with their own rules ----

os::Value APMPersistedConfig::searchAdCampaignValue() { return userDefaults_->objectForKey(kAPMSearchAdCampaignValueKey); }

void APMPersistedConfig::setSearchAdCampaignValue(const os::Value& value) {
  if (!value.isNumber()) return;
  userDefaults_->setObject(value, kAPMSearchAdCampaignValueKey);
}

int64_t APMPersistedConfig::measurementEnabledState() {
  return int64ForKey(kAPMMeasurementEnabledStateKey, *APMUserDefaults::sharedUserDefaults());
}

void APMPersistedConfig::setMeasurementEnabledState(int64_t state) {
  serialQueue_->sync([&] {
    auto defaults = APMUserDefaults::sharedUserDefaults();
    defaults->setInteger(state, kAPMMeasurementEnabledStateKey);
    defaults->synchronize();
  });
}

double APMPersistedConfig::midnightOffset() {
  return serialQueue_->sync([&] {
    const os::Value stored = userDefaults_->objectForKey(kAPMMidnightOffsetKey);
    if (const os::Number* number = stored.number()) return number->doubleValue();
    const double offset = os::randomUniform(kAPMMidnightOffsetRangeMilliseconds) / 1000.0;
    // Already on the queue: store directly, never through the public setter.
    userDefaults_->setDouble(offset, kAPMMidnightOffsetKey);
    scheduleSynchronizeToDisk();
    return offset;
  });
}

void APMPersistedConfig::clearValues() {
  serialQueue_->sync([&] { userDefaults_->clearAllData(); });
}

// ---- Synchronisation ----

void APMPersistedConfig::scheduleSynchronizeToDisk() {
  cancelScheduledSynchronize();
  std::lock_guard lock(mutex_);
  std::weak_ptr<APMPersistedConfig> weak = weak_from_this();
  const uint64_t generation = ++synchronizeGeneration_;
  synchronizeBlock_ = os::DispatchWorkItem::create([weak, generation] {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      if (self->synchronizeGeneration_ == generation) self->synchronizeBlock_ = nullptr;
    }
    self->synchronizeToDisk();
  });
  serialQueue_->after(
      os::DispatchTime::fromNowNanos(int64_t(kAPMPersistedConfigSynchronizeDelay * os::kNanosPerSecond)),
      synchronizeBlock_);
}

void APMPersistedConfig::cancelScheduledSynchronize() {
  std::shared_ptr<os::DispatchWorkItem> pending;
  {
    std::lock_guard lock(mutex_);
    pending = std::move(synchronizeBlock_);
    synchronizeBlock_ = nullptr;
  }
  if (pending) pending->cancel();
}

void APMPersistedConfig::synchronizeToDisk() {
  if (os::DispatchQueue::isMainThread()) {
    scheduleSynchronizeToDisk();
    return;
  }
  userDefaults_->synchronize();
  ++synchronizeCount_;
}

int APMPersistedConfig::TEST_synchronizeCount() const { return synchronizeCount_.load(); }

bool APMPersistedConfig::TEST_hasPendingSynchronize() const {
  std::lock_guard lock(mutex_);
  return synchronizeBlock_ != nullptr;
}
