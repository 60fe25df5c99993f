// DAZReachabilityChecker: watches whether one host can be reached and tells
// one delegate when the status changes.
//
// Every system call goes through a DAZReachabilityApi table, the os/net
// reachability functions by default; tests hand in a substitute. While running
// the reference is scheduled on the main run loop, so status changes (and the
// delegate's calls) arrive on the main thread. The first callback after start
// always reports, since no computed status is Unknown.
//
// start, stop and the setters are meant for one thread at a time; the status
// may be read from any thread. A reference type: create() gives a
// std::shared_ptr; destroying the checker stops it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "os/net/reachability.h"

enum class DAZReachabilityStatus : uint32_t {
  Unknown = 0,       // initial, and after stop
  NotReachable = 1,
  ViaWifi = 2,       // reachable over a network other than the mobile one
  ViaCellular = 3,   // reachable over the mobile network
};

inline constexpr const char* kDAZReachabilityLogCategory = "[DAZReachability]";
inline constexpr long kDAZReachabilityMessageCodeCannotChangeApi = 902000;
inline constexpr long kDAZReachabilityMessageCodeInvalidHost = 902001;
inline constexpr long kDAZReachabilityMessageCodeStartFailed = 902002;
inline constexpr long kDAZReachabilityMessageCodeMonitoring = 902003;
inline constexpr long kDAZReachabilityMessageCodeStatusChanged = 902004;

class DAZReachabilityChecker;

class DAZReachabilityDelegate {
 public:
  virtual ~DAZReachabilityDelegate() = default;
  // Called on the main thread with the new status.
  virtual void reachability(DAZReachabilityChecker& reachability, DAZReachabilityStatus status) = 0;
};

// The system functions the checker calls, in the platform's order.
struct DAZReachabilityApi {
  std::function<os::SCNetworkReachabilityRef(const std::string& host)> createWithNameFn;
  std::function<bool(const os::SCNetworkReachabilityRef&, os::SCNetworkReachabilityCallBack)> setCallbackFn;
  std::function<bool(const os::SCNetworkReachabilityRef&, os::RunLoop&, const std::string& mode)> scheduleWithRunLoopFn;
  std::function<bool(const os::SCNetworkReachabilityRef&, os::RunLoop&, const std::string& mode)>
      unscheduleFromRunLoopFn;
  std::function<void(const os::SCNetworkReachabilityRef&)> releaseFn;

  // The os/net functions; release does nothing beyond dropping the reference.
  static DAZReachabilityApi system();
};

class DAZReachabilityChecker : public std::enable_shared_from_this<DAZReachabilityChecker> {
 public:
  // Null, with error log 902001, when the host is empty. Does not start.
  static std::shared_ptr<DAZReachabilityChecker> initWithReachabilityDelegate(
      std::weak_ptr<DAZReachabilityDelegate> reachabilityDelegate, const std::string& host);
  ~DAZReachabilityChecker();
  DAZReachabilityChecker(const DAZReachabilityChecker&) = delete;
  DAZReachabilityChecker& operator=(const DAZReachabilityChecker&) = delete;

  // Begins watching; true when watching. Logs 902003 at debug level on
  // success (also when already running), 902002 when the callback or the
  // scheduling fails; a reference that cannot be created fails silently.
  bool start();
  // Stops watching and resets the status to Unknown; the delegate is not told.
  void stop();
  bool isActive() const { return reachability_ != nullptr; }

  DAZReachabilityStatus reachabilityStatus() const { return status_.load(); }
  const std::string& host() const { return host_; }

  // An empty weak_ptr clears the delegate.
  void setReachabilityDelegate(std::weak_ptr<DAZReachabilityDelegate> reachabilityDelegate);
  // Refused, with error log 902000, while running.
  void setReachabilityApi(DAZReachabilityApi reachabilityApi);

  // The status that system flags stand for.
  static DAZReachabilityStatus statusForFlags(os::SCNetworkReachabilityFlags flags);
  // The callback entry: records the status and tells the delegate when it
  // changed. Runs on the main thread when driven by the system.
  void reachabilityFlagsChanged(os::SCNetworkReachabilityFlags flags);

  // "Unknown", "Disconnected" or "Connected".
  static const char* statusName(DAZReachabilityStatus status);

 private:
  explicit DAZReachabilityChecker(std::string host);

  std::atomic<DAZReachabilityStatus> status_{DAZReachabilityStatus::Unknown};
  DAZReachabilityApi reachabilityApi_;
  os::SCNetworkReachabilityRef reachability_;  // set while running
  const std::string host_;
  mutable std::mutex delegateMutex_;
  std::weak_ptr<DAZReachabilityDelegate> delegate_;  // guarded by delegateMutex_
};
