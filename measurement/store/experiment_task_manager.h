// APMETaskManager: the background half of the experiment-flag client. It owns
// the experiments database, asks the measurement service for new snapshots on
// a schedule with retry and back-off, stores what arrives as pending
// snapshots, carries out activations and resets in the database, and reports
// to its delegate (the experiments manager).
// APMEExperimentRequestBuilder: the request, from the registered SDK
// properties.
//
// Everything runs on one serial worker queue, "APMExperimentWorkerQueue": the
// start step, every schedule step, the alarm ("APMExperimentAlarm"), the
// network completion, and all database and suite work, so none takes a lock.
// The delegate is called there and must not wait for the worker queue.
//
// Fetch times live in the suite "APMExperimentSuiteName", each a double of
// seconds since 1970 (absent reads 0):
//   APMExperimentFetchSuccessTimestamp  a 200/204 reply, or a postponed fetch
//   APMExperimentFetchFailureTimestamp  any other reply, or none
//   APMExperimentFetchBackoffTimestamp  a 503 or 429 reply
//
// States:
//   Created    nothing runs yet.
//   Dead       the database could not be opened at start; nothing is
//              fetched or scheduled in this process.
//   Waiting    the alarm is set for the next fetch time: the later of 10 s
//              after the first start and four hours after the last success;
//              after failures, the retry candidates of
//              fetchTimeFromLastSuccessfulTimestamp; never within twelve hours
//              of a back-off.
//   Fetching   a request is out ("/sdk-exp" on the experiments host of the
//              endpoints resource, the encoded ExperimentRequest POSTed
//              gzip-compressed).
//   Exhausted  retries used up (820024): no alarm until the next process
//              start, whose first schedule ignores failures, or reset.
//
// Reply bodies that carry a gzip or zlib header are inflated; others are read
// as they are. A 200 reply whose body does not decode still counts as a
// success (820015 is logged and no snapshot is delivered).
//
// Blocks run through dispatchAsyncOnWorkerQueue / dispatchSyncOnWorkerQueue
// run under an exception guard: a queued block that throws is logged (820026)
// and dropped; a waited-for block that throws is logged (820027) and the
// exception is thrown again to the caller. Queued work and the alarm hold the
// task manager weakly and do nothing once it is gone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "measurement/store/engine_services/scheduler.h"
#include "measurement/store/experiment_database.h"
#include "measurement/store/experiment_records.h"
#include "measurement/store/user_defaults.h"
#include "os/dispatch/queue.h"
#include "os/net/url_request.h"
#include "platform/utilities/mutable_dictionary.h"
#include "platform/utilities/network.h"

inline constexpr const char* kAPMExperimentWorkerQueueLabel = "APMExperimentWorkerQueue";
inline constexpr const char* kAPMExperimentAlarmName = "APMExperimentAlarm";
inline constexpr const char* kAPMExperimentSuiteName = "APMExperimentSuiteName";
inline constexpr const char* kAPMExperimentFetchSuccessTimestampKey = "APMExperimentFetchSuccessTimestamp";
inline constexpr const char* kAPMExperimentFetchFailureTimestampKey = "APMExperimentFetchFailureTimestamp";
inline constexpr const char* kAPMExperimentFetchBackoffTimestampKey = "APMExperimentFetchBackoffTimestamp";
inline constexpr const char* kAPMExperimentFetchPath = "/sdk-exp";
inline constexpr const char* kAPMExperimentPlatform = "ios";
// The client's version string; its version is the number without the last
// three digits.
inline constexpr const char* kAPMEVersionString = "10000000";
inline constexpr double kAPMExperimentFetchInterval = 14400;
inline constexpr double kAPMExperimentInitialFetchDelay = 10;
inline constexpr double kAPMExperimentRetryBaseInterval = 1800;
inline constexpr int kAPMExperimentRetryCount = 6;
inline constexpr double kAPMExperimentBackoffInterval = 43200;
inline constexpr double kAPMExperimentMinimumDelay = 0.001;

// Experiment error codes of the service's SdkResponse.error_code 1, 2, 3, and
// any other.
inline constexpr int64_t kAPMEFetchErrorCodeOther = -1;

// The client version: 0 for a string shorter than 4 characters, else the
// integer value of the string without its last three characters.
int64_t APMEVersionFromString(std::string_view version);

using APMEFetchErrors = std::map<std::string, os::Error, std::less<>>;

class APMETaskManager;

// The task manager's delegate; called on the worker queue.
class APMETaskManagerDelegate {
 public:
  virtual ~APMETaskManagerDelegate() = default;
  // Whether a fetch may go out now; true unless the delegate says otherwise.
  virtual bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) {
    (void)taskManager;
    return true;
  }
  // After the start step; each list may be absent when its read failed.
  virtual void taskManagerDidStartWithActivatedSnapshots(APMETaskManager& taskManager,
                                                         const std::optional<APMESnapshots>& activatedSnapshots,
                                                         const std::optional<APMESnapshots>& pendingSnapshots,
                                                         const std::optional<APMESnapshots>& launchedSnapshots) = 0;
  // After a successful fetch: the snapshots (absent when the reply did not
  // decode) and the per-SDK errors (absent without sdk_responses).
  virtual void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager& taskManager,
                                                               const std::optional<APMESnapshots>& snapshots,
                                                               const std::optional<APMEFetchErrors>& errors) = 0;
  // Once manual pending rows are written.
  virtual void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager, const APMESnapshots& snapshots) = 0;
};

class APMEExperimentRequestBuilder {
 public:
  // The one process-wide builder.
  static std::shared_ptr<APMEExperimentRequestBuilder> sharedInstance();
  APMEExperimentRequestBuilder() = default;
  APMEExperimentRequestBuilder(const APMEExperimentRequestBuilder&) = delete;
  APMEExperimentRequestBuilder& operator=(const APMEExperimentRequestBuilder&) = delete;

  // Stores the property under its name, replacing an earlier one; a null
  // property is refused (880000).
  void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);
  // app_property and one ClientProperty per stored property that makes one.
  std::shared_ptr<APMPBExperimentRequest> request() const;
  // platform "ios", the first preferred language lower-cased, the bundle
  // identifier, whether the app came from the App Store, the client version.
  std::shared_ptr<APMPBAppProperty> appPropertyProto() const;

 private:
  DAZMutableDictionary<std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_;
};

class APMETaskManager : public std::enable_shared_from_this<APMETaskManager> {
 public:
  // The worker queue (targeting the background-priority global queue), the
  // alarm, a network component following the experiments host, the suite,
  // the database path in the measurement directory, and now as creation
  // time.
  static std::shared_ptr<APMETaskManager> init();
  // `network` may be null: every fetch then fails as unanswered.
  static std::shared_ptr<APMETaskManager> initWithQueue(std::shared_ptr<os::DispatchQueue> queue,
                                                        std::shared_ptr<APMAlarm> alarm,
                                                        std::shared_ptr<DAZNetwork> network,
                                                        std::shared_ptr<APMUserDefaults> persistedStorage,
                                                        std::string_view databasePath, double initTimestamp);
  APMETaskManager(const APMETaskManager&) = delete;
  APMETaskManager& operator=(const APMETaskManager&) = delete;

  // Queues the start step: open the database, delete stale activated rows and
  // activate automatic pending rows in one transaction, tell the delegate,
  // schedule.
  void startTaskManager();
  // Blocks until the start last queued has run (the delegate told, or the
  // start failed), at most timeoutSeconds of real time; true at once when no
  // start was queued. False when the bound passed. Never on workerQueue().
  bool waitUntilStarted(double timeoutSeconds);
  // Queued database work for the manager.
  void activatePendingSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp);
  void resetToDefaultsForSDKName(const std::string& SDKName);
  void upsertPendingSnapshots(const APMESnapshots& snapshots);
  // A new empty database, the fetch times cleared, a new schedule.
  void reset();
  // The database file deleted and the fetch times cleared; nothing is
  // scheduled (an alarm already set still fires).
  void clearAndDelete();

  // ---- Schedule steps (worker queue) ----
  // The next fetch time from the last success and failure; 0 when retries
  // are exhausted. The first call of a process ignores failures.
  double fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp, double lastFailedTimestamp);
  void scheduleFetchingExperimentsOnWorkerQueue();
  void postponeFetchExperiments();
  void fetchExperiments();
  // One reply; `data` already inflated. The status is 0 without a response.
  void handleFetchingExperimentsResponse(const std::optional<os::HTTPURLResponse>& response,
                                         const std::optional<os::Data>& data, const std::optional<os::Error>& error);
  std::optional<APMESnapshots> experimentSnapshotsFromExperimentResponse(const APMPBExperimentResponse* response);
  std::optional<APMEFetchErrors> errorsFromExperimentResponse(const APMPBExperimentResponse* response);
  // nullopt for empty data (820025) or data that does not decode.
  std::optional<APMESnapshots> experimentSnapshotsFromData(const os::Data& data);

  void dispatchAsyncOnWorkerQueue(std::function<void()> block);
  void dispatchSyncOnWorkerQueue(const std::function<void()>& block);

  std::shared_ptr<APMETaskManagerDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMETaskManagerDelegate> delegate);
  bool hasMadeInitialFetch() const;
  void setHasMadeInitialFetch(bool hasMadeInitialFetch);
  double initializationTimestamp() const;
  void setInitializationTimestamp(double initializationTimestamp);

  const std::shared_ptr<os::DispatchQueue>& workerQueue() const { return workerQueue_; }
  const std::shared_ptr<APMAlarm>& alarm() const { return alarm_; }

  // ---- For tests ----
  // The database (read on the worker queue); null before start or when dead.
  std::shared_ptr<APMEDatabase> TEST_database();

 private:
  APMETaskManager() = default;
  void startOnWorkerQueue();
  void fireOnWorkerQueue();
  // The fetch URL from the endpoints resource, or nullopt.
  static std::optional<os::URL> fetchURL();
  double now() const;
  double storedTime(const char* key) const;
  void storeTime(double time, const char* key);

  std::shared_ptr<os::DispatchQueue> workerQueue_;
  std::shared_ptr<APMAlarm> alarm_;
  std::shared_ptr<DAZNetwork> network_;
  std::shared_ptr<APMUserDefaults> persistedStorage_;
  std::string databasePath_;
  std::shared_ptr<APMEDatabase> database_;  // touched on workerQueue_ only

  mutable std::mutex mutex_;
  bool hasMadeInitialFetch_ = false;                  // guarded by mutex_
  double initializationTimestamp_ = 0;                // guarded by mutex_
  std::weak_ptr<APMETaskManagerDelegate> delegate_;  // guarded by mutex_
  bool startPending_ = false;                         // guarded by mutex_: queued and not yet run
  std::condition_variable startRan_;                  // signalled when startPending_ falls
};
