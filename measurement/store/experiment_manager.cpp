#include "measurement/store/experiment_manager.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "measurement/store/engine_services/shorthands.h"
#include "measurement/store/errors.h"
#include "os/foundation/clock.h"

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

// Held for the whole call, so a logger replaced meanwhile stays alive.
std::shared_ptr<APMEMonitor> log() { return APMEMonitor::shared(); }

APMLogContext snapshotContext(const std::shared_ptr<APMESnapshot>& snapshot) {
  return snapshot ? APMLogContext(snapshot->description()) : APMLogContext();
}

using apm_shorthands::now;

}  // namespace

// ---- APMEClient ----

std::shared_ptr<APMEClient> APMEClient::initWithSDKProperty(
    std::shared_ptr<APMESDKProperty> SDKProperty,
    const std::optional<std::vector<std::shared_ptr<APMPBFlag>>>& defaultFlags, std::weak_ptr<APMEManager> manager) {
  if (!SDKProperty) {
    log()->logWithLevel(0, 830000, "Cannot initialize the client with nil property");
    return nullptr;
  }
  if (!defaultFlags) {
    log()->logWithLevel(0, 830001, "Cannot initialize the client with nil default flags");
    return nullptr;
  }
  std::shared_ptr<APMEClient> client(new APMEClient());
  client->SDKProperty_ = std::move(SDKProperty);
  client->defaultFlags_ = *defaultFlags;
  client->manager_ = std::move(manager);
  return client;
}

os::Value APMEClient::valueForFlag(std::string_view flagName) {
  if (flagName.empty()) {
    log()->logWithLevel(0, 830002, "Cannot get value for empty flag name");
    return os::Value();
  }
  auto manager = manager_.lock();
  if (!manager) return os::Value();
  return manager->flagValueForFlagName(flagName, SDKName());
}

os::Value APMEClient::objectForKeyedSubscript(const os::Value& key) {
  if (!key.isString()) {
    log()->logWithLevel(0, 830003, "Cannot get flag value of an invalid flag name", key);
    return os::Value();
  }
  return valueForFlag(*key.string());
}

bool APMEClient::activateLatestSnapshot(os::Error* error) {
  auto manager = manager_.lock();
  return manager && manager->activateSnapshotOfSDK(SDKName(), error);
}

bool APMEClient::hasStaleSnapshot() {
  auto manager = manager_.lock();
  return manager && manager->activatedSnapshotStatusOfSDKName(SDKName()) == kAPMESnapshotStatusStale;
}

void APMEClient::resetToDefaults() {
  if (auto manager = manager_.lock()) manager->resetToDefaultsOfSDKName(SDKName());
}

std::shared_ptr<APMEExperimentObserverDelegate> APMEClient::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void APMEClient::setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

// ---- APMEManager: creation ----

std::shared_ptr<APMEManager> APMEManager::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMEManager>([] {
    auto manager = init();
    manager->taskManager()->startTaskManager();
    return manager;
  }());
  return *shared;
}

std::shared_ptr<APMEManager> APMEManager::init() { return initWithTaskManager(APMETaskManager::init()); }

std::shared_ptr<APMEManager> APMEManager::initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager) {
  std::shared_ptr<APMEManager> manager(new APMEManager());
  manager->queue_ = os::DispatchQueue::create(kAPMEExperimentSerialQueueLabel, os::DispatchQueue::Attributes::Serial,
                                              os::QualityOfService::Unspecified,
                                              os::DispatchQueue::global(os::QualityOfService::Background));
  manager->taskManager_ = std::move(taskManager);
  if (manager->taskManager_) manager->taskManager_->setDelegate(manager);
  return manager;
}

// ---- Serial queue ----

void APMEManager::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  queue_->async([block = std::move(block)] {
    try {
      block();
    } catch (...) {
      log()->logWithLevel(1, 800017, "Exception on async Experimentation serial queue",
                         exceptionContext(std::current_exception()));
    }
  });
}

void APMEManager::dispatchSyncOnSerialQueue(const std::function<void()>& block) {
  queue_->sync([&] {
    try {
      block();
    } catch (...) {
      log()->logWithLevel(1, 800018, "Exception on sync Experimentation serial queue",
                         exceptionContext(std::current_exception()));
    }
  });
}

void APMEManager::TEST_flush() { queue_->sync([] {}); }

void APMEManager::waitForStoredSnapshots() {
  // The start queues the load on queue_ before it counts as run, so every
  // block queued on queue_ after this returns runs after the load.
  if (taskManager_ && !taskManager_->waitUntilStarted(kAPMEStartWaitLimit)) {
    log()->logWithLevel(2, 800029, "Stored snapshots were not loaded in time. Seconds", kAPMEStartWaitLimit);
  }
}

// ---- Registration and lookup ----

std::shared_ptr<APMEClient> APMEManager::registerSDKProperty(const std::shared_ptr<APMESDKProperty>& SDKProperty,
                                                             const std::optional<os::Dictionary>& defaultFlags) {
  if (!SDKProperty) {
    log()->logWithLevel(0, 800000, "Cannot register client with a nil SDK property");
    return nullptr;
  }
  const std::string name = SDKProperty->name();
  if (name.empty()) {
    log()->logWithLevel(0, 800001, "Cannot register experiment client with no SDK name");
    return nullptr;
  }
  auto flags = std::make_shared<FlagsByName>();
  if (defaultFlags) {
    for (const auto& [key, value] : *defaultFlags) {
      auto flag = APMPBFlagWithNameValue(os::Value(key), value);
      if (!flag) {
        log()->logWithLevel(0, 800002, "Cannot register experiment client invalid flags. Flag name, value", key, value);
        return nullptr;
      }
      flags->insert_or_assign(key, flag);
    }
  }
  std::vector<std::shared_ptr<APMPBFlag>> flagList;
  for (const auto& [key, flag] : *flags) flagList.push_back(flag);
  auto client = APMEClient::initWithSDKProperty(SDKProperty, flagList, weak_from_this());
  if (!client) {
    log()->logWithLevel(1, 800004, "Cannot register client. SDK name", name);
    return nullptr;
  }
  dispatchAsyncOnSerialQueue([this, self = shared_from_this(), name, client, flags, SDKProperty] {
    if (registeredClientsBySDKName_.objectForKey(name)) {
      log()->logWithLevel(3, 800003,
                         "Registered an SDK that has already registered. Default flags will be overwritten. SDK name",
                         name);
    }
    registeredClientsBySDKName_.setObjectForKey(client, name);
    defaultFlagsBySDKName_.setObjectForKey(std::shared_ptr<const FlagsByName>(flags), name);
    APMEExperimentRequestBuilder::sharedInstance()->addSDKProperty(SDKProperty);
    log()->logWithLevel(8, 800005, "Registered client", name);
  });
  return client;
}

std::shared_ptr<APMEClient> APMEManager::clientForSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    log()->logWithLevel(0, 800007, "Cannot find the client for empty SDK Name");
    return nullptr;
  }
  std::shared_ptr<APMEClient> client;
  dispatchSyncOnSerialQueue(
      [&] { client = registeredClientsBySDKName_.objectForKey(std::string(SDKName)).value_or(nullptr); });
  return client;
}

std::vector<int64_t> APMEManager::experimentIDs() {
  std::vector<int64_t> ids;
  dispatchSyncOnSerialQueue([&] {
    for (const auto& [name, client] : registeredClientsBySDKName_.dictionary()) {
      if (client->SDKProperty()->diversionKey()) continue;
      auto snapshot = activatedSnapshotsBySDKName_.objectForKey(name);
      if (!snapshot || !*snapshot) continue;
      for (const auto& experiment : (*snapshot)->experiments()) ids.push_back(experiment->experimentID());
    }
  });
  std::sort(ids.begin(), ids.end());
  return ids;
}

// ---- Flags ----

os::Value APMEManager::flagValueForFlagName(std::string_view flagName, std::string_view SDKName) {
  if (SDKName.empty()) {
    log()->logWithLevel(0, 800010, "Cannot retrieve flag value for empty SDK name");
    return os::Value();
  }
  if (flagName.empty()) {
    log()->logWithLevel(0, 800011, "Cannot retrieve flag value for empty flag name");
    return os::Value();
  }
  const std::string sdk(SDKName);
  const std::string flag(flagName);
  os::Value result;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClientsBySDKName_.objectForKey(sdk)) {
      log()->logWithLevel(3, 800012, "SDK is not registered yet", sdk);
      return;
    }
    auto defaults = defaultFlagsBySDKName_.objectForKey(sdk);
    if (!defaults || !*defaults) {
      log()->logWithLevel(3, 800013, "Cannot get flag for unregistered SDK. SDK name, flag name", sdk, flag);
      return;
    }
    auto activated = activatedSnapshotsBySDKName_.objectForKey(sdk).value_or(nullptr);
    log()->logWithLevel(8, 800015, "Looking for activated flag. SDK name, flag name, activated snapshot", sdk, flag,
                       snapshotContext(activated));
    if (activated) {
      if (os::Value value = APMPBFlagValue(activated->flagByName(flag).get()); !value.isNull()) {
        result = std::move(value);
        return;
      }
    }
    auto launched = launchedSnapshotsBySDKName_.objectForKey(sdk).value_or(nullptr);
    log()->logWithLevel(8, 800016,
                       "Cannot find activated flag. Looking for launched flag. SDK name, flag name, launched flag", sdk,
                       flag, snapshotContext(launched));
    if (launched) {
      if (os::Value value = APMPBFlagValue(launched->flagByName(flag).get()); !value.isNull()) {
        result = std::move(value);
        return;
      }
    }
    if (auto it = (*defaults)->find(flag); it != (*defaults)->end()) {
      result = APMPBFlagValue(it->second.get());
      log()->logWithLevel(8, 800019,
                         "Cannot find launched flag. Returned the default flag value. SDK name, flag name, default flag",
                         sdk, flag, result);
      return;
    }
    log()->logWithLevel(8, 800014, "No default flag value. SDK name, flag name", sdk, flag);
  });
  return result;
}

// ---- Activation, status, reset ----

bool APMEManager::activateSnapshotOfSDK(std::string_view SDKName, os::Error* error) {
  if (SDKName.empty()) {
    APMSetError(error, APMErrorCode::InvalidArgument, "SDK name cannot be empty");
    log()->logWithLevel(3, 800022, "Cannot activate a pending snapshot for an empty SDK name");
    return false;
  }
  const std::string sdk(SDKName);
  bool activated = false;
  dispatchSyncOnSerialQueue([&] {
    auto pending = pendingSnapshotsBySDKName_.objectForKey(sdk).value_or(nullptr);
    if (!pending) {
      log()->logWithLevel(3, 800023, "No pending snapshot to activate. SDK name", sdk);
      return;
    }
    const double current = now();
    auto snapshot = APMESnapshot::initWithSDKName(sdk, {});
    if (!snapshot) return;
    snapshot->setTimestamp(current);
    for (const auto& experiment : pending->experiments()) {
      if (experiment->experimentID() != 0) {
        snapshot->addFlags(experiment->flags(), experiment->experimentID());
      } else if (auto launched = APMESnapshot::initWithSDKName(sdk, {experiment})) {
        launchedSnapshotsBySDKName_.setObjectForKey(launched, sdk);
      }
    }
    activatedSnapshotsBySDKName_.setObjectForKey(snapshot, sdk);
    pendingSnapshotsBySDKName_.removeObjectForKey(sdk);
    if (taskManager_) taskManager_->activatePendingSnapshot(pending, current);
    activated = true;
    log()->logWithLevel(8, 800028, "Successfully activated a snapshot of SDK", sdk);
  });
  return activated;
}

int64_t APMEManager::activatedSnapshotStatusOfSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    log()->logWithLevel(0, 800024, "Cannot check activated snapshot for empty SDK Name");
    return kAPMESnapshotStatusNoClient;
  }
  const std::string sdk(SDKName);
  int64_t status = kAPMESnapshotStatusNoClient;
  dispatchSyncOnSerialQueue([&] {
    if (!registeredClientsBySDKName_.objectForKey(sdk)) return;
    auto activated = activatedSnapshotsBySDKName_.objectForKey(sdk).value_or(nullptr);
    if (!activated || activated->timestamp() <= kEpsilon) {
      status = kAPMESnapshotStatusNoSnapshot;
      return;
    }
    status = std::fabs(activated->timestamp() - now()) > kAPMEStaleSnapshotInterval ? kAPMESnapshotStatusStale
                                                                                   : kAPMESnapshotStatusFresh;
  });
  return status;
}

void APMEManager::resetToDefaultsOfSDKName(std::string_view SDKName) {
  if (SDKName.empty()) {
    log()->logWithLevel(0, 800025, "Cannot reset to defaults for empty SDK Name");
    return;
  }
  const std::string sdk(SDKName);
  dispatchSyncOnSerialQueue([&] {
    if (!activatedSnapshotsBySDKName_.objectForKey(sdk).value_or(nullptr)) {
      log()->logWithLevel(0, 800026, "Cannot reset to defaults for unregistered SDK name");
      return;
    }
    activatedSnapshotsBySDKName_.removeObjectForKey(sdk);
    if (taskManager_) taskManager_->resetToDefaultsForSDKName(sdk);
    log()->logWithLevel(8, 800027, "Reset all experiments to default. SDK name", sdk);
  });
}

void APMEManager::reset() {
  dispatchAsyncOnSerialQueue([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (self->taskManager_) self->taskManager_->reset();
    self->activatedSnapshotsBySDKName_.removeAllObjects();
    self->pendingSnapshotsBySDKName_.removeAllObjects();
    self->launchedSnapshotsBySDKName_.removeAllObjects();
  });
}

void APMEManager::clearAndDelete() {
  dispatchAsyncOnSerialQueue([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (self->taskManager_) self->taskManager_->clearAndDelete();
    self->activatedSnapshotsBySDKName_.removeAllObjects();
    self->pendingSnapshotsBySDKName_.removeAllObjects();
    self->launchedSnapshotsBySDKName_.removeAllObjects();
  });
}

// ---- Task manager delegate ----

bool APMEManager::taskManagerShouldFetchExperiments(APMETaskManager&) {
  const auto clients = registeredClientsBySDKName_.dictionary();
  for (const auto& [name, client] : clients) {
    auto observer = client->delegate();
    if (!observer || observer->shouldFetchExperimentsForClient(client)) return true;
  }
  return false;
}

void APMEManager::storeCopies(SnapshotTable& table, const std::optional<APMESnapshots>& snapshots) {
  if (!snapshots) return;
  for (const auto& snapshot : *snapshots) {
    if (!snapshot) continue;
    if (auto copy = snapshot->copy()) table.setObjectForKey(copy, copy->SDKName());
  }
}

void APMEManager::taskManagerDidStartWithActivatedSnapshots(APMETaskManager&,
                                                           const std::optional<APMESnapshots>& activatedSnapshots,
                                                           const std::optional<APMESnapshots>& pendingSnapshots,
                                                           const std::optional<APMESnapshots>& launchedSnapshots) {
  dispatchAsyncOnSerialQueue(
      [weak = weak_from_this(), activatedSnapshots, pendingSnapshots, launchedSnapshots] {
        auto self = weak.lock();
        if (!self) return;
        storeCopies(self->activatedSnapshotsBySDKName_, activatedSnapshots);
        storeCopies(self->pendingSnapshotsBySDKName_, pendingSnapshots);
        storeCopies(self->launchedSnapshotsBySDKName_, launchedSnapshots);
      });
}

void APMEManager::taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager&,
                                                                 const std::optional<APMESnapshots>& snapshots,
                                                                 const std::optional<APMEFetchErrors>& errors) {
  if ((!snapshots || snapshots->empty()) && (!errors || errors->empty())) {
    log()->logWithLevel(3, 800020, "No pending snapshots to notify the clients");
    return;
  }
  dispatchAsyncOnSerialQueue([weak = weak_from_this(), snapshots, errors] {
    auto self = weak.lock();
    if (!self) return;
    APMESnapshots manual;
    for (const auto& snapshot : snapshots.value_or(APMESnapshots{})) {
      auto copy = snapshot ? snapshot->copy() : nullptr;
      if (!copy) continue;
      auto client = self->registeredClientsBySDKName_.objectForKey(copy->SDKName()).value_or(nullptr);
      auto observer = client ? client->delegate() : nullptr;
      if (observer && observer->implementsClientDidReceiveNewSnapshot()) {
        copy->setManuallyActivated(true);
        manual.push_back(copy);
      }
      self->pendingSnapshotsBySDKName_.setObjectForKey(copy, copy->SDKName());
    }
    for (const auto& [name, error] : errors.value_or(APMEFetchErrors{})) {
      auto client = self->registeredClientsBySDKName_.objectForKey(name).value_or(nullptr);
      if (auto observer = client ? client->delegate() : nullptr) observer->clientDidReceiveFetchError(client, error);
    }
    if (!manual.empty() && self->taskManager_) self->taskManager_->upsertPendingSnapshots(manual);
  });
}

void APMEManager::taskManagerDidUpsertPendingSnapshots(APMETaskManager&, const APMESnapshots& snapshots) {
  for (const auto& snapshot : snapshots) {
    auto client = registeredClientsBySDKName_.objectForKey(snapshot->SDKName()).value_or(nullptr);
    auto observer = client ? client->delegate() : nullptr;
    if (observer && observer->implementsClientDidReceiveNewSnapshot()) {
      std::shared_ptr<os::DispatchQueue> queue = observer->queue();
      if (!queue) queue = os::DispatchQueue::main();
      queue->async([observer, client] { observer->clientDidReceiveNewSnapshot(client); });
    } else {
      log()->logWithLevel(
          0, 800021,
          "Cannot notify new snapshot for SDK because the delegate does not implement -clientDidReceiveNewSnapshot:",
          snapshot->SDKName());
    }
  }
}
