// APMEManager: the process-wide entry point of the experiment-flag client.
// APMEClient: what an SDK holds after registering.
//
// An SDK registers once with its APMESDKProperty and default flag values and
// receives a client. Through it the SDK reads typed flag values, activates
// the latest fetched snapshot when it chooses, asks whether its activated
// snapshot is stale, and resets to its defaults. Per SDK the manager keeps in
// memory the activated, the pending and the launched (id-0) snapshot,
// mirroring the database the task manager keeps, and passes new snapshots and
// fetch errors on to each client's observer.
//
// A flag reads from the activated snapshot, else the launched snapshot, else
// the registered default (a flag present without a value falls through).
//
// Per SDK:
//   fetch delivered   pending replaced (marked manual, and so kept pending in
//                     the database across restarts, when the SDK's observer
//                     takes new snapshots itself; otherwise activated by the
//                     database at the next start)
//   activation        pending becomes activated (its id-0 experiment the
//                     launched snapshot), pending cleared
//   process start     all three loaded from the database, as copies (so an
//                     activated snapshot's time is its load time)
//   reset of one SDK  activated cleared
//   reset, clear      all three cleared for every SDK
// Clients and defaults live to the end of the process; registering a name
// again replaces both.
//
// Threads: every step on the five tables runs on the serial queue
// "APMEExperimentSerialQueue" (background priority). Registration, loading,
// new snapshots, reset and clear are queued; flag reads, activation, status,
// reset of one SDK, client lookup and experimentIDs wait for their block, so
// a read after registerSDKProperty returned sees the registration. Blocks run
// under an exception guard (800017 queued, 800018 waited for; logged and
// dropped). The task manager calls the delegate side on its worker queue.
// clientDidReceiveFetchError runs on the manager's queue: an observer must
// not call a waiting operation from inside it. clientDidReceiveNewSnapshot
// runs on the observer's queue (the main queue when it names none) and may
// activate.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/store/experiment_records.h"
#include "measurement/store/experiment_task_manager.h"
#include "os/dispatch/queue.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "platform/utilities/mutable_dictionary.h"

inline constexpr const char* kAPMEExperimentSerialQueueLabel = "APMEExperimentSerialQueue";
// An activated snapshot further than this (seconds) from now is stale.
inline constexpr double kAPMEStaleSnapshotInterval = 259200;
// The longest waitForStoredSnapshots waits, in seconds of real time.
inline constexpr double kAPMEStartWaitLimit = 10;

// activatedSnapshotStatusOfSDKName.
inline constexpr int64_t kAPMESnapshotStatusNoClient = -1;
inline constexpr int64_t kAPMESnapshotStatusNoSnapshot = -2;
inline constexpr int64_t kAPMESnapshotStatusFresh = 0;
inline constexpr int64_t kAPMESnapshotStatusStale = 1;

class APMEClient;
class APMEManager;

// An SDK's observer. Every operation is optional; the defaults stand for an
// observer that does not implement it.
class APMEExperimentObserverDelegate {
 public:
  virtual ~APMEExperimentObserverDelegate() = default;
  // Whether the observer implements clientDidReceiveNewSnapshot: its SDK then
  // activates new snapshots itself.
  virtual bool implementsClientDidReceiveNewSnapshot() const { return false; }
  // A new snapshot waits for the SDK to activate it. On queue().
  virtual void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>& client) { (void)client; }
  // The service reported an error for this SDK. On the manager's queue.
  virtual void clientDidReceiveFetchError(const std::shared_ptr<APMEClient>& client, const os::Error& error) {
    (void)client;
    (void)error;
  }
  // Whether a fetch may go out now. On the task manager's worker queue.
  virtual bool shouldFetchExperimentsForClient(const std::shared_ptr<APMEClient>& client) {
    (void)client;
    return true;
  }
  // Where clientDidReceiveNewSnapshot is delivered; null for the main queue.
  virtual std::shared_ptr<os::DispatchQueue> queue() const { return nullptr; }
};

class APMEClient : public std::enable_shared_from_this<APMEClient> {
 public:
  // Null without a property (830000) or without a flag list (830001).
  static std::shared_ptr<APMEClient> initWithSDKProperty(
      std::shared_ptr<APMESDKProperty> SDKProperty,
      const std::optional<std::vector<std::shared_ptr<APMPBFlag>>>& defaultFlags, std::weak_ptr<APMEManager> manager);
  APMEClient(const APMEClient&) = delete;
  APMEClient& operator=(const APMEClient&) = delete;

  // The flag's value (a number or string), or the null value: for an empty
  // name (830002), an unknown flag, or once the manager is gone.
  os::Value valueForFlag(std::string_view flagName);
  // valueForFlag for a string key; null for any other key (830003).
  os::Value objectForKeyedSubscript(const os::Value& key);
  // activateSnapshotOfSDK for this SDK; false once the manager is gone.
  bool activateLatestSnapshot(os::Error* error);
  // The activated snapshot is more than three days from now.
  bool hasStaleSnapshot();
  void resetToDefaults();

  std::string SDKName() const { return SDKProperty_->name(); }
  const std::vector<std::shared_ptr<APMPBFlag>>& defaultFlags() const { return defaultFlags_; }
  const std::shared_ptr<APMESDKProperty>& SDKProperty() const { return SDKProperty_; }
  std::shared_ptr<APMEExperimentObserverDelegate> delegate() const;
  void setDelegate(std::weak_ptr<APMEExperimentObserverDelegate> delegate);

 private:
  APMEClient() = default;
  std::shared_ptr<APMESDKProperty> SDKProperty_;
  std::vector<std::shared_ptr<APMPBFlag>> defaultFlags_;
  std::weak_ptr<APMEManager> manager_;
  mutable std::mutex mutex_;
  std::weak_ptr<APMEExperimentObserverDelegate> delegate_;  // guarded by mutex_
};

class APMEManager : public APMETaskManagerDelegate, public std::enable_shared_from_this<APMEManager> {
 public:
  // The one manager, made on first use; its task manager is then started.
  static std::shared_ptr<APMEManager> sharedInstance();
  // The experiment logger.
  static std::shared_ptr<APMEMonitor> monitor() { return APMEMonitor::shared(); }
  // 10000.
  static int64_t version() { return APMEVersionFromString(kAPMEVersionString); }

  // initWithTaskManager with a new APMETaskManager.
  static std::shared_ptr<APMEManager> init();
  // The manager becomes the task manager's delegate. Does not start it.
  static std::shared_ptr<APMEManager> initWithTaskManager(std::shared_ptr<APMETaskManager> taskManager);
  ~APMEManager() override = default;
  APMEManager(const APMEManager&) = delete;
  APMEManager& operator=(const APMEManager&) = delete;

  // Returns once the snapshots stored by earlier runs are in memory (the task
  // manager's start has handed them over), so that an activation or a flag
  // read issued after it sees them; after kAPMEStartWaitLimit seconds it
  // returns anyway (800029). At once when the task manager was not started.
  // Never on the task manager's worker queue.
  void waitForStoredSnapshots();
  // Makes the client at once and queues its registration (replacing an
  // earlier client of the name, 800003). Null without a property (800000),
  // with an empty name (800001), or when a default is neither a number nor a
  // string (800002; nothing is registered).
  std::shared_ptr<APMEClient> registerSDKProperty(const std::shared_ptr<APMESDKProperty>& SDKProperty,
                                                  const std::optional<os::Dictionary>& defaultFlags);
  // The registered client, or null (800007 for an empty name).
  std::shared_ptr<APMEClient> clientForSDKName(std::string_view SDKName);
  // The ids of the activated experiments of every SDK without a diversion key
  // of its own, ascending; duplicates stay.
  std::vector<int64_t> experimentIDs();
  // Activated, else launched, else default; the null value when none.
  os::Value flagValueForFlagName(std::string_view flagName, std::string_view SDKName);
  // Pending becomes activated. False, with error 1, for an empty name; false
  // without touching the error when there is no pending snapshot.
  bool activateSnapshotOfSDK(std::string_view SDKName, os::Error* error);
  // -1 no client (or an empty name), -2 no activated snapshot, 0 fresh,
  // 1 stale.
  int64_t activatedSnapshotStatusOfSDKName(std::string_view SDKName);
  // Drops the activated snapshot; launched and pending stay.
  void resetToDefaultsOfSDKName(std::string_view SDKName);
  // The task manager's reset (or clearAndDelete), then the three snapshot
  // tables emptied. Clients and defaults stay.
  void reset();
  void clearAndDelete();

  // APMETaskManagerDelegate (worker queue).
  bool taskManagerShouldFetchExperiments(APMETaskManager& taskManager) override;
  void taskManagerDidStartWithActivatedSnapshots(APMETaskManager& taskManager,
                                                 const std::optional<APMESnapshots>& activatedSnapshots,
                                                 const std::optional<APMESnapshots>& pendingSnapshots,
                                                 const std::optional<APMESnapshots>& launchedSnapshots) override;
  void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager& taskManager,
                                                       const std::optional<APMESnapshots>& snapshots,
                                                       const std::optional<APMEFetchErrors>& errors) override;
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager& taskManager, const APMESnapshots& snapshots) override;

  void dispatchAsyncOnSerialQueue(std::function<void()> block);
  void dispatchSyncOnSerialQueue(const std::function<void()>& block);

  const std::shared_ptr<APMETaskManager>& taskManager() const { return taskManager_; }

  // ---- For tests ----
  // Returns once every block queued before the call has run.
  void TEST_flush();

 private:
  APMEManager() = default;
  using FlagsByName = std::map<std::string, std::shared_ptr<APMPBFlag>, std::less<>>;
  using SnapshotTable = DAZMutableDictionary<std::shared_ptr<APMESnapshot>>;
  static void storeCopies(SnapshotTable& table, const std::optional<APMESnapshots>& snapshots);

  SnapshotTable activatedSnapshotsBySDKName_;
  SnapshotTable pendingSnapshotsBySDKName_;
  SnapshotTable launchedSnapshotsBySDKName_;
  std::shared_ptr<APMETaskManager> taskManager_;
  DAZMutableDictionary<std::shared_ptr<APMEClient>> registeredClientsBySDKName_;
  DAZMutableDictionary<std::shared_ptr<const FlagsByName>> defaultFlagsBySDKName_;
  std::shared_ptr<os::DispatchQueue> queue_;
};
