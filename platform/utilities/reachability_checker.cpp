#include "platform/utilities/reachability_checker.h"

#include "os/foundation/format.h"
#include "os/foundation/value.h"
#include "platform/utilities/logger.h"

namespace {

std::string reachabilityCode(long number) { return os::format("I-REA%06ld", number); }

}  // namespace

DAZReachabilityApi DAZReachabilityApi::system() {
  return DAZReachabilityApi{
      .createWithNameFn = [](const std::string& host) { return os::SCNetworkReachabilityCreateWithName(host); },
      .setCallbackFn = [](const os::SCNetworkReachabilityRef& ref,
                          os::SCNetworkReachabilityCallBack callback) {
        return os::SCNetworkReachabilitySetCallback(ref, std::move(callback));
      },
      .scheduleWithRunLoopFn = [](const os::SCNetworkReachabilityRef& ref, os::RunLoop& runLoop,
                                  const std::string& mode) {
        return os::SCNetworkReachabilityScheduleWithRunLoop(ref, runLoop, mode);
      },
      .unscheduleFromRunLoopFn = [](const os::SCNetworkReachabilityRef& ref, os::RunLoop& runLoop,
                                    const std::string& mode) {
        return os::SCNetworkReachabilityUnscheduleFromRunLoop(ref, runLoop, mode);
      },
      .releaseFn = [](const os::SCNetworkReachabilityRef&) {},
  };
}

std::shared_ptr<DAZReachabilityChecker> DAZReachabilityChecker::initWithReachabilityDelegate(
    std::weak_ptr<DAZReachabilityDelegate> reachabilityDelegate, const std::string& host) {
  if (host.empty()) {
    DAZLogError(kDAZLoggerSubsystem, kDAZReachabilityLogCategory, false,
                reachabilityCode(kDAZReachabilityMessageCodeInvalidHost), "Invalid host specified");
    return nullptr;
  }
  std::shared_ptr<DAZReachabilityChecker> checker(new DAZReachabilityChecker(host));
  checker->setReachabilityDelegate(std::move(reachabilityDelegate));
  return checker;
}

DAZReachabilityChecker::DAZReachabilityChecker(std::string host)
    : reachabilityApi_(DAZReachabilityApi::system()), host_(std::move(host)) {}

DAZReachabilityChecker::~DAZReachabilityChecker() {
  setReachabilityDelegate({});
  stop();
}

bool DAZReachabilityChecker::start() {
  if (!reachability_) {
    os::SCNetworkReachabilityRef ref = reachabilityApi_.createWithNameFn(host_);
    if (!ref) return false;
    std::weak_ptr<DAZReachabilityChecker> weak = weak_from_this();
    const bool ok =
        reachabilityApi_.setCallbackFn(ref,
                                       [weak](const os::SCNetworkReachabilityRef&, os::SCNetworkReachabilityFlags f) {
                                         if (auto checker = weak.lock()) checker->reachabilityFlagsChanged(f);
                                       }) &&
        reachabilityApi_.scheduleWithRunLoopFn(ref, os::RunLoop::main(), os::kRunLoopCommonModes);
    if (!ok) {
      reachabilityApi_.releaseFn(ref);
      DAZLogError(kDAZLoggerSubsystem, kDAZReachabilityLogCategory, false,
                  reachabilityCode(kDAZReachabilityMessageCodeStartFailed), "Failed to start reachability handle");
      return false;
    }
    reachability_ = std::move(ref);
  }
  DAZLogDebug(kDAZLoggerSubsystem, kDAZReachabilityLogCategory, false,
              reachabilityCode(kDAZReachabilityMessageCodeMonitoring), "Monitoring the network status");
  return true;
}

void DAZReachabilityChecker::stop() {
  if (!reachability_) return;
  status_.store(DAZReachabilityStatus::Unknown);
  reachabilityApi_.unscheduleFromRunLoopFn(reachability_, os::RunLoop::main(), os::kRunLoopCommonModes);
  reachabilityApi_.releaseFn(reachability_);
  reachability_.reset();
}

void DAZReachabilityChecker::setReachabilityDelegate(std::weak_ptr<DAZReachabilityDelegate> reachabilityDelegate) {
  std::lock_guard lock(delegateMutex_);
  delegate_ = std::move(reachabilityDelegate);
}

void DAZReachabilityChecker::setReachabilityApi(DAZReachabilityApi reachabilityApi) {
  if (reachability_) {
    DAZLogError(kDAZLoggerSubsystem, kDAZReachabilityLogCategory, false,
                reachabilityCode(kDAZReachabilityMessageCodeCannotChangeApi),
                "Cannot change reachability API while reachability is running. Call stop first.");
    return;
  }
  reachabilityApi_ = std::move(reachabilityApi);
}

DAZReachabilityStatus DAZReachabilityChecker::statusForFlags(os::SCNetworkReachabilityFlags flags) {
  if ((flags & os::kSCNetworkReachabilityFlagsReachable) == 0) return DAZReachabilityStatus::NotReachable;
  const DAZReachabilityStatus reachable = (flags & os::kSCNetworkReachabilityFlagsIsWWAN) != 0
                                              ? DAZReachabilityStatus::ViaCellular
                                              : DAZReachabilityStatus::ViaWifi;
  if ((flags & os::kSCNetworkReachabilityFlagsConnectionRequired) == 0) return reachable;
  // A connection is required: reachable only when one comes up by itself.
  if ((flags & (os::kSCNetworkReachabilityFlagsConnectionOnTraffic |
                os::kSCNetworkReachabilityFlagsConnectionOnDemand)) == 0) {
    return DAZReachabilityStatus::NotReachable;
  }
  if ((flags & os::kSCNetworkReachabilityFlagsInterventionRequired) != 0) return DAZReachabilityStatus::NotReachable;
  return reachable;
}

const char* DAZReachabilityChecker::statusName(DAZReachabilityStatus status) {
  switch (status) {
    case DAZReachabilityStatus::Unknown:
      return "Unknown";
    case DAZReachabilityStatus::NotReachable:
      return "Disconnected";
    case DAZReachabilityStatus::ViaWifi:
    case DAZReachabilityStatus::ViaCellular:
      return "Connected";
  }
  return "Unknown";
}

void DAZReachabilityChecker::reachabilityFlagsChanged(os::SCNetworkReachabilityFlags flags) {
  const DAZReachabilityStatus status = statusForFlags(flags);
  if (status == status_.load()) return;
  DAZLogDebug(kDAZLoggerSubsystem, kDAZReachabilityLogCategory, false,
              reachabilityCode(kDAZReachabilityMessageCodeStatusChanged),
              "Network status has changed. Code:%@, status:%@", os::Value(static_cast<uint32_t>(status)),
              statusName(status));
  status_.store(status);
  std::shared_ptr<DAZReachabilityDelegate> delegate;
  {
    std::lock_guard lock(delegateMutex_);
    delegate = delegate_.lock();
  }
  if (delegate) delegate->reachability(*this, status);
}
