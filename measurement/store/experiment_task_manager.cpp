#include "measurement/store/experiment_task_manager.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <exception>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "os/foundation/bundle.h"
#include "os/foundation/clock.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/format.h"
#include "platform/utilities/app_environment.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/gzip.h"

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52

// AppProperty fields.
constexpr int32_t kAppPropertyPlatformIndex = 0;
constexpr int32_t kAppPropertyLanguageIndex = 3;
constexpr int32_t kAppPropertyBundleIDIndex = 4;
constexpr int32_t kAppPropertyFromAppStoreIndex = 5;
constexpr int32_t kAppPropertyLibraryVersionIndex = 6;
// ExperimentRequest, ExperimentResponse and SdkResponse fields.
constexpr int32_t kRequestAppPropertyIndex = 0;
constexpr int32_t kRequestClientPropertiesIndex = 1;
constexpr int32_t kResponseSnapshotsIndex = 0;
constexpr int32_t kResponseSDKResponsesIndex = 1;
constexpr int32_t kSDKResponseNameIndex = 0;
constexpr int32_t kSDKResponseErrorCodeIndex = 1;
constexpr int32_t kSDKResponseSnapshotIndex = 2;

// Held for the whole call, so a logger replaced meanwhile stays alive.
std::shared_ptr<APMEMonitor> log() { return APMEMonitor::shared(); }

// A body that announces a gzip stream (1f 8b) or a zlib stream (deflate
// method, header check a multiple of 31).
bool looksCompressed(const os::Data& data) {
  if (data.length() < 2) return false;
  const uint8_t b0 = data.bytes()[0];
  const uint8_t b1 = data.bytes()[1];
  if (b0 == 0x1f && b1 == 0x8b) return true;
  return (b0 & 0x0f) == 8 && ((b0 << 8) | b1) % 31 == 0;
}

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

}  // namespace

int64_t APMEVersionFromString(std::string_view version) {
  if (version.size() < 4) return 0;
  const std::string head(version.substr(0, version.size() - 3));
  char* end = nullptr;
  const long long value = std::strtoll(head.c_str(), &end, 10);
  return static_cast<int64_t>(value);
}

// ---- APMEExperimentRequestBuilder ----

std::shared_ptr<APMEExperimentRequestBuilder> APMEExperimentRequestBuilder::sharedInstance() {
  static const auto* shared =
      new std::shared_ptr<APMEExperimentRequestBuilder>(std::make_shared<APMEExperimentRequestBuilder>());
  return *shared;
}

void APMEExperimentRequestBuilder::addSDKProperty(const std::shared_ptr<APMESDKProperty>& property) {
  if (!property) {
    log()->logWithLevel(2, 880000, "Cannot add an empty SDK property.");
    return;
  }
  clientPropertyBySDKName_.setObjectForKey(property, property->name());
}

std::shared_ptr<APMPBAppProperty> APMEExperimentRequestBuilder::appPropertyProto() const {
  auto proto = APMPBAppProperty::initWithBuffer(os::Data());
  if (!proto) return nullptr;
  APMPBSetString(proto.get(), kAppPropertyPlatformIndex, kAPMExperimentPlatform);
  const std::vector<std::string> languages = os::DeviceProfile::current().preferredLanguages;
  if (!languages.empty()) APMPBSetString(proto.get(), kAppPropertyLanguageIndex, lowercased(languages.front()));
  if (std::string bundleID = os::Bundle::mainBundle()->bundleIdentifier(); !bundleID.empty()) {
    APMPBSetString(proto.get(), kAppPropertyBundleIDIndex, bundleID);
  }
  APMPBSetBool(proto.get(), kAppPropertyFromAppStoreIndex, DAZAppEnvironmentUtil::isFromAppStore());
  APMPBSetInt64(proto.get(), kAppPropertyLibraryVersionIndex, APMEVersionFromString(kAPMEVersionString));
  return proto;
}

std::shared_ptr<APMPBExperimentRequest> APMEExperimentRequestBuilder::request() const {
  auto request = APMPBExperimentRequest::initWithBuffer(os::Data());
  if (!request) return nullptr;
  auto appProperty = appPropertyProto();
  APMPBSetMessage(request.get(), kRequestAppPropertyIndex, appProperty.get());
  std::vector<std::shared_ptr<APMPBClientProperty>> clients;
  for (const auto& [name, property] : clientPropertyBySDKName_.dictionary()) {
    if (auto proto = property->proto()) clients.push_back(proto);
  }
  if (!clients.empty()) APMPBSetArray(request.get(), kRequestClientPropertiesIndex, clients);
  return request;
}

// ---- APMETaskManager: creation and accessors ----

std::shared_ptr<APMETaskManager> APMETaskManager::init() {
  auto queue = os::DispatchQueue::create(kAPMExperimentWorkerQueueLabel, os::DispatchQueue::Attributes::Serial,
                                         os::QualityOfService::Unspecified,
                                         os::DispatchQueue::global(os::QualityOfService::Background));
  auto alarm = APMAlarm::initWithDispatchQueue(queue, kAPMExperimentAlarmName);
  std::optional<os::URL> url = fetchURL();
  auto network = DAZNetwork::initWithReachabilityHost(url && !url->host().empty() ? url->host()
                                                                                  : kDAZNetworkDefaultReachabilityHost);
  return initWithQueue(queue, alarm, network, std::make_shared<APMUserDefaults>(kAPMExperimentSuiteName),
                       APMMeasurementDirectoryPathForFile(kAPMEDatabaseFileName), os::Clock::current().wallTime());
}

std::shared_ptr<APMETaskManager> APMETaskManager::initWithQueue(std::shared_ptr<os::DispatchQueue> queue,
                                                                std::shared_ptr<APMAlarm> alarm,
                                                                std::shared_ptr<DAZNetwork> network,
                                                                std::shared_ptr<APMUserDefaults> persistedStorage,
                                                                std::string_view databasePath, double initTimestamp) {
  std::shared_ptr<APMETaskManager> taskManager(new APMETaskManager());
  taskManager->workerQueue_ = std::move(queue);
  taskManager->alarm_ = std::move(alarm);
  taskManager->network_ = std::move(network);
  taskManager->persistedStorage_ = std::move(persistedStorage);
  taskManager->databasePath_ = std::string(databasePath);
  taskManager->initializationTimestamp_ = initTimestamp;
  return taskManager;
}

std::shared_ptr<APMETaskManagerDelegate> APMETaskManager::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}
void APMETaskManager::setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}
bool APMETaskManager::hasMadeInitialFetch() const {
  std::lock_guard lock(mutex_);
  return hasMadeInitialFetch_;
}
void APMETaskManager::setHasMadeInitialFetch(bool hasMadeInitialFetch) {
  std::lock_guard lock(mutex_);
  hasMadeInitialFetch_ = hasMadeInitialFetch;
}
double APMETaskManager::initializationTimestamp() const {
  std::lock_guard lock(mutex_);
  return initializationTimestamp_;
}
void APMETaskManager::setInitializationTimestamp(double initializationTimestamp) {
  std::lock_guard lock(mutex_);
  initializationTimestamp_ = initializationTimestamp;
}

double APMETaskManager::now() const { return os::Clock::current().wallTime(); }

double APMETaskManager::storedTime(const char* key) const { return persistedStorage_->doubleForKey(key); }

void APMETaskManager::storeTime(double time, const char* key) { persistedStorage_->setDouble(time, key); }

std::optional<os::URL> APMETaskManager::fetchURL() {
  std::optional<std::string> base = DAZEndpoints::baseForKey(kDAZEndpointExperiments);
  if (!base) return std::nullopt;
  return os::URL::URLWithString(*base + kAPMExperimentFetchPath);
}

// ---- Worker queue ----

void APMETaskManager::dispatchAsyncOnWorkerQueue(std::function<void()> block) {
  workerQueue_->async([block = std::move(block)] {
    try {
      block();
    } catch (...) {
      log()->logWithLevel(1, 820026, "Exception on async worker queue", exceptionContext(std::current_exception()));
    }
  });
}

void APMETaskManager::dispatchSyncOnWorkerQueue(const std::function<void()>& block) {
  std::exception_ptr thrown;
  workerQueue_->sync([&] {
    try {
      block();
    } catch (...) {
      thrown = std::current_exception();
    }
  });
  if (thrown) {
    log()->logWithLevel(1, 820027, "Exception on sync worker queue", exceptionContext(thrown));
    std::rethrow_exception(thrown);
  }
}

std::shared_ptr<APMEDatabase> APMETaskManager::TEST_database() {
  std::shared_ptr<APMEDatabase> database;
  workerQueue_->sync([&] { database = database_; });
  return database;
}

// ---- Start ----

void APMETaskManager::startTaskManager() {
  {
    std::lock_guard lock(mutex_);
    startPending_ = true;
  }
  dispatchAsyncOnWorkerQueue([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->startOnWorkerQueue();
  });
}

bool APMETaskManager::waitUntilStarted(double timeoutSeconds) {
  std::unique_lock lock(mutex_);
  return startRan_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [this] { return !startPending_; });
}

void APMETaskManager::startOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("startTaskManagerOnWorkerQueue");
  // Whatever road the start takes, it ends here for those who wait for it.
  struct StartRan {
    APMETaskManager& self;
    ~StartRan() {
      {
        std::lock_guard lock(self.mutex_);
        self.startPending_ = false;
      }
      self.startRan_.notify_all();
    }
  } ran{*this};
  database_ = APMEDatabase::initWithPath(databasePath_);
  if (!database_) return;

  APMScheduler::checkOnBackgroundThreadWithMethodName("fetchAllSnapshotsOnWorkerQueue");
  // A step that fails ends the transaction whether or not it said why: going
  // on would commit a half-done start.
  const bool started = database_->performTransaction([this] {
    os::Error error;
    if (!database_->deleteStaleActivatedSnapshots(&error)) {
      log()->logWithLevel(1, 820006, "Cannot delete stale activated snapshots. Error", error);
      return false;
    }
    if (!database_->activatePendingSnapshotsAutomatically(&error)) {
      log()->logWithLevel(1, 820007, "Cannot activate pending snapshots automatically. Error", error);
      return false;
    }
    return true;
  });

  if (!started) {
    log()->logWithLevel(2, 820008, "Failed to start the task manager");
  } else {
    log()->logWithLevel(8, 820009, "Successfully start the task manager");
    if (auto delegate = this->delegate()) {
      auto read = [](std::optional<APMESnapshots> snapshots, const os::Error& error, int64_t code,
                     const char* message) {
        if (!snapshots && !error.domain().empty()) log()->logWithLevel(2, code, message, error);
        return snapshots;
      };
      os::Error activatedError, pendingError, launchedError;
      auto activated = read(database_->fetchAllActivatedSnapshots(&activatedError), activatedError, 820010,
                            "Error in fetching all activated snapshots. Error");
      auto pending = read(database_->fetchAllPendingSnapshots(&pendingError), pendingError, 820011,
                          "Error in fetching all pending snapshots. Error");
      auto launched = read(database_->fetchAllLaunchedSnapshots(&launchedError), launchedError, 820012,
                           "Error in fetching all launched snapshots. Error");
      delegate->taskManagerDidStartWithActivatedSnapshots(*this, activated, pending, launched);
    }
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

// ---- Schedule ----

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp,
                                                            double lastFailedTimestamp) {
  const double current = now();
  const double lastSuccess = current - std::fabs(lastSuccessfulTimestamp - current);
  const double next = lastSuccess + kAPMExperimentFetchInterval;
  {
    std::lock_guard lock(mutex_);
    if (!hasMadeInitialFetch_) {
      hasMadeInitialFetch_ = true;
      return current + kAPMExperimentInitialFetchDelay < next ? next : current + kAPMExperimentInitialFetchDelay;
    }
  }
  if (lastFailedTimestamp <= 0) return next;
  double base = lastSuccess != 0 ? next : initializationTimestamp();
  for (int k = 0; k < kAPMExperimentRetryCount; ++k) {
    base += kAPMExperimentRetryBaseInterval * double(1 << k);
    if (base > lastFailedTimestamp) return base;
  }
  return 0;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
  APMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
  double fetchTime = fetchTimeFromLastSuccessfulTimestamp(storedTime(kAPMExperimentFetchSuccessTimestampKey),
                                                          storedTime(kAPMExperimentFetchFailureTimestampKey));
  if (std::fabs(fetchTime) < kEpsilon) {
    persistedStorage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
    log()->logWithLevel(2, 820024, "Network attempted too many times. Will not schedule new network.");
    return;
  }
  const double current = now();
  const std::optional<os::Date> scheduled = alarm_->scheduledTimestamp();
  const double alarmTime = scheduled ? scheduled->timeIntervalSince1970() : 0;
  if (alarmTime != 0 && alarmTime <= fetchTime) {
    log()->logWithLevel(8, 820017, "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
                       alarmTime - current);
    return;
  }
  const double backoff = storedTime(kAPMExperimentFetchBackoffTimestampKey);
  if (std::fabs(backoff) >= kEpsilon && current - backoff < kAPMExperimentBackoffInterval) {
    fetchTime = std::max(fetchTime, backoff + kAPMExperimentBackoffInterval);
  }
  double delay = fetchTime - current;
  if (std::fabs(delay) < kEpsilon || delay < 0) delay = kAPMExperimentMinimumDelay;
  alarm_->runAfterDelay(delay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->fireOnWorkerQueue();
  });
}

void APMETaskManager::fireOnWorkerQueue() {
  auto delegate = this->delegate();
  if (delegate && !delegate->taskManagerShouldFetchExperiments(*this)) {
    postponeFetchExperiments();
  } else {
    fetchExperiments();
  }
}

void APMETaskManager::postponeFetchExperiments() {
  storeTime(now(), kAPMExperimentFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
  scheduleFetchingExperimentsOnWorkerQueue();
}

// ---- Fetch ----

void APMETaskManager::fetchExperiments() {
  auto request = APMEExperimentRequestBuilder::sharedInstance()->request();
  std::optional<os::Data> body = request ? request->protoBuffer() : std::nullopt;
  log()->logWithLevel(8, 820001, "Fetching new experiments. Request",
                     request ? APMLogContext(request->className()) : APMLogContext());

  std::optional<os::URL> url = fetchURL();
  if (!url || !network_ || !body) {
    // Nothing can go out: the same as a request that got no answer.
    handleFetchingExperimentsResponse(std::nullopt, std::nullopt,
                                      os::Error::withDescription(kAPMEExperimentErrorDomain, kAPMEFetchErrorCodeOther,
                                                                 "The experiment request could not be sent"));
    return;
  }
  network_->postURL(*url, *body, workerQueue_, false,
                    [weak = weak_from_this()](std::optional<os::HTTPURLResponse> response,
                                              std::optional<os::Data> data, std::optional<os::Error> error) {
                      auto self = weak.lock();
                      if (!self) return;
                      if (data && looksCompressed(*data)) {
                        auto inflated = DAZGzip::daz_dataByInflatingGzippedData(*data);
                        if (!inflated) {
                          log()->logWithLevel(2, 820023, "Cannot inflate downloaded experiment data. Error",
                                             inflated.error());
                          data.reset();
                        } else {
                          data = std::move(*inflated);
                        }
                      }
                      try {
                        self->handleFetchingExperimentsResponse(response, data, error);
                      } catch (...) {
                        log()->logWithLevel(1, 820026, "Exception on async worker queue",
                                           exceptionContext(std::current_exception()));
                      }
                    });
}

void APMETaskManager::handleFetchingExperimentsResponse(const std::optional<os::HTTPURLResponse>& response,
                                                        const std::optional<os::Data>& data,
                                                        const std::optional<os::Error>& error) {
  const int status = response ? response->statusCode() : 0;
  if (status != 200 && status != 204) {
    const double current = now();
    storeTime(current, kAPMExperimentFetchFailureTimestampKey);
    if (status == 503 || status == 429) storeTime(current, kAPMExperimentFetchBackoffTimestampKey);
    log()->logWithLevel(1, 820002, "Network fetch failed. Will retry later. Code, error", status,
                       error ? APMLogContext(*error) : APMLogContext());
    scheduleFetchingExperimentsOnWorkerQueue();
    return;
  }

  // No body is an empty reply; a body that does not decode gives no message.
  auto message = APMPBExperimentResponse::initWithBuffer(data.value_or(os::Data()));
  log()->logWithLevel(8, 820003, "Successful fetch. Got network response. Code, data", status,
                     message ? APMLogContext(message->className()) : APMLogContext());
  storeTime(now(), kAPMExperimentFetchSuccessTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
  persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);

  std::optional<APMESnapshots> snapshots = experimentSnapshotsFromExperimentResponse(message.get());
  std::optional<APMEFetchErrors> errors = errorsFromExperimentResponse(message.get());
  if (snapshots && !snapshots->empty()) {
    os::Error writeError;
    if (!database_ || !database_->upsertPendingExperimentSnapshots(*snapshots, &writeError)) {
      std::string names;
      for (const auto& snapshot : *snapshots) names += snapshot->description();
      log()->logWithLevel(1, 820022, "Cannot upsert pending snapshots. Error, snapshots", writeError, names);
    }
  }
  if (auto delegate = this->delegate()) {
    delegate->taskManagerDidFinishFetchingExperimentSnapshots(*this, snapshots, errors);
  }
  scheduleFetchingExperimentsOnWorkerQueue();
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromExperimentResponse(
    const APMPBExperimentResponse* response) {
  if (response == nullptr) {
    log()->logWithLevel(2, 820015, "Cannot create experiment snapshots from nil response");
    return std::nullopt;
  }
  std::vector<std::shared_ptr<APMPBSnapshot>> messages =
      APMPBGetArray<APMPBSnapshot>(response, kResponseSnapshotsIndex).value_or(std::vector<std::shared_ptr<APMPBSnapshot>>{});
  if (messages.empty()) {
    for (const auto& sdkResponse : APMPBGetArray<APMPBSdkResponse>(response, kResponseSDKResponsesIndex)
                                       .value_or(std::vector<std::shared_ptr<APMPBSdkResponse>>{})) {
      auto snapshot = APMPBGetMessage<APMPBSnapshot>(sdkResponse.get(), kSDKResponseSnapshotIndex);
      if (!snapshot) continue;
      if (auto name = APMPBGetString(sdkResponse.get(), kSDKResponseNameIndex); name && !name->empty()) {
        APMPBSetString(snapshot.get(), kAPMPBSnapshotSDKNameIndex, *name);
      }
      messages.push_back(snapshot);
    }
  }
  APMESnapshots snapshots;
  for (const auto& message : messages) {
    if (auto snapshot = APMESnapshot::initWithProtobuf(message.get())) {
      snapshots.push_back(snapshot);
    } else {
      log()->logWithLevel(2, 820016, "Cannot create a snapshot from the proto");
    }
  }
  return snapshots;
}

std::optional<APMEFetchErrors> APMETaskManager::errorsFromExperimentResponse(const APMPBExperimentResponse* response) {
  if (response == nullptr) return std::nullopt;
  auto sdkResponses = APMPBGetArray<APMPBSdkResponse>(response, kResponseSDKResponsesIndex);
  if (!sdkResponses || sdkResponses->empty()) return std::nullopt;
  APMEFetchErrors errors;
  for (const auto& sdkResponse : *sdkResponses) {
    if (!APMPBHasField(sdkResponse.get(), kSDKResponseErrorCodeIndex)) continue;
    const int32_t code = APMPBGetInt32(sdkResponse.get(), kSDKResponseErrorCodeIndex);
    std::optional<std::string> name = APMPBGetString(sdkResponse.get(), kSDKResponseNameIndex);
    if (code == 0 || !name || name->empty()) continue;
    const int64_t errorCode = code >= 1 && code <= 3 ? -(int64_t(code) + 1) : kAPMEFetchErrorCodeOther;
    errors.insert_or_assign(*name, os::Error(kAPMEExperimentErrorDomain, errorCode));
  }
  return errors;
}

std::optional<APMESnapshots> APMETaskManager::experimentSnapshotsFromData(const os::Data& data) {
  if (data.empty()) {
    log()->logWithLevel(2, 820025, "Cannot create experiment snapshots from empty data");
    return std::nullopt;
  }
  auto message = APMPBExperimentResponse::initWithBuffer(data);
  return experimentSnapshotsFromExperimentResponse(message.get());
}

// ---- Database work for the manager ----

void APMETaskManager::activatePendingSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp) {
  if (!snapshot) {
    log()->logWithLevel(0, 820013, "Cannot activate an empty snapshot");
    return;
  }
  dispatchAsyncOnWorkerQueue([weak = weak_from_this(), snapshot, timestamp] {
    auto self = weak.lock();
    if (!self || !self->database_) return;
    self->database_->performTransaction([&] {
      os::Error error;
      if (self->database_->activateSnapshot(snapshot, timestamp, &error)) return true;
      log()->logWithLevel(1, 820014, "Cannot activate snapshot for SDK Name. Error", snapshot->SDKName(), error);
      return false;
    });
  });
}

void APMETaskManager::resetToDefaultsForSDKName(const std::string& SDKName) {
  if (SDKName.empty()) {
    log()->logWithLevel(1, 820018, "Cannot reset to defaults for empty SDK name");
    return;
  }
  dispatchAsyncOnWorkerQueue([weak = weak_from_this(), SDKName] {
    auto self = weak.lock();
    if (!self || !self->database_) return;
    os::Error error;
    if (!self->database_->deleteActivatedExperimentsOfSDKName(SDKName, &error)) {
      log()->logWithLevel(1, 820019, "Cannot reset to defaults in the database. SDK Name, error", SDKName, error);
    }
  });
}

void APMETaskManager::upsertPendingSnapshots(const APMESnapshots& snapshots) {
  if (snapshots.empty()) {
    log()->logWithLevel(2, 820020, "Cannot upsert empty pending snapshot list");
    return;
  }
  dispatchAsyncOnWorkerQueue([weak = weak_from_this(), snapshots] {
    auto self = weak.lock();
    if (!self || !self->database_) return;
    os::Error error;
    if (!self->database_->upsertPendingExperimentSnapshots(snapshots, &error)) {
      log()->logWithLevel(1, 820021, "Cannot upsert pending snapshots into the database. Error", error);
      return;
    }
    if (auto delegate = self->delegate()) delegate->taskManagerDidUpsertPendingSnapshots(*self, snapshots);
  });
}

void APMETaskManager::reset() {
  dispatchAsyncOnWorkerQueue([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (self->database_) self->database_->reset();
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
    self->scheduleFetchingExperimentsOnWorkerQueue();
  });
}

void APMETaskManager::clearAndDelete() {
  dispatchAsyncOnWorkerQueue([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    if (self->database_) self->database_->closeAndDelete();
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchBackoffTimestampKey);
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
    self->persistedStorage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
  });
}
