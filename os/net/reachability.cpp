#include "os/net/reachability.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>
#include <vector>

namespace os {

class SCNetworkReachability {
 public:
  explicit SCNetworkReachability(std::string host) : host_(std::move(host)) {}

  const std::string& host() const { return host_; }

  std::mutex mutex;
  SCNetworkReachabilityCallBack callback;             // guarded by mutex
  RunLoop* runLoop = nullptr;                         // guarded by mutex
  std::string mode;                                   // guarded by mutex
  std::optional<SCNetworkReachabilityFlags> lastFlags;  // last posted; guarded by mutex

 private:
  const std::string host_;
};

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<SCNetworkReachability>> scheduled;  // guarded by mutex
  SCNetworkReachabilityFlagsProvider provider;                   // guarded by mutex
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: references may outlive statics
  return *r;
}

SCNetworkReachabilityFlags currentFlags(const std::string& host) {
  SCNetworkReachabilityFlagsProvider provider;
  {
    std::lock_guard lock(registry().mutex);
    provider = registry().provider;
  }
  return provider ? provider(host) : SCNetworkReachabilityFlagsFromInterfaces(host);
}

bool isLoopbackName(const std::string& host) {
  std::string h = host;
  std::transform(h.begin(), h.end(), h.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (h == "localhost" || h.ends_with(".localhost") || h == "::1" || h == "[::1]") return true;
  in_addr v4{};
  return inet_pton(AF_INET, h.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool isWirelessWideAreaName(const char* name) {
  const std::string_view n(name);
  return n.starts_with("wwan") || n.starts_with("rmnet") || n.starts_with("ccmni") || n.starts_with("pdp_ip");
}

// Posts the flags to the reference's run loop unless they were the last ones
// posted. Takes the reference's lock.
void postIfChanged(const SCNetworkReachabilityRef& ref, SCNetworkReachabilityFlags flags) {
  std::lock_guard lock(ref->mutex);
  if (ref->runLoop == nullptr || ref->lastFlags == flags) return;
  ref->lastFlags = flags;
  RunLoop* loop = ref->runLoop;
  std::weak_ptr<SCNetworkReachability> weak = ref;
  loop->perform(
      [weak, loop, flags] {
        SCNetworkReachabilityRef target = weak.lock();
        if (!target) return;
        SCNetworkReachabilityCallBack callback;
        {
          std::lock_guard lock(target->mutex);
          if (target->runLoop != loop) return;  // unscheduled meanwhile
          callback = target->callback;
        }
        if (callback) callback(target, flags);
      },
      ref->mode);
}

}  // namespace

SCNetworkReachabilityFlags SCNetworkReachabilityFlagsFromInterfaces(const std::string& nodename) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  const bool loopbackHost = isLoopbackName(nodename);
  bool any = false;
  bool allWireless = true;
  for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr) continue;
    const int family = ifa->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    if ((ifa->ifa_flags & IFF_UP) == 0 || (ifa->ifa_flags & IFF_RUNNING) == 0) continue;
    const bool loopback = (ifa->ifa_flags & IFF_LOOPBACK) != 0;
    if (loopback != loopbackHost) continue;
    if (family == AF_INET6) {
      // A link-local address alone reaches no named host.
      const auto* a6 = reinterpret_cast<const sockaddr_in6*>(ifa->ifa_addr);
      if (!loopback && IN6_IS_ADDR_LINKLOCAL(&a6->sin6_addr)) continue;
    }
    any = true;
    if (!isWirelessWideAreaName(ifa->ifa_name)) allWireless = false;
  }
  freeifaddrs(list);
  if (!any) return 0;
  if (loopbackHost) {
    return kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsLocalAddress |
           kSCNetworkReachabilityFlagsIsDirect;
  }
  return kSCNetworkReachabilityFlagsReachable | (allWireless ? kSCNetworkReachabilityFlagsIsWWAN : 0);
}

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const std::string& nodename) {
  if (nodename.empty()) return nullptr;
  return std::make_shared<SCNetworkReachability>(nodename);
}

bool SCNetworkReachabilityGetFlags(const SCNetworkReachabilityRef& target, SCNetworkReachabilityFlags* flags) {
  if (!target || flags == nullptr) return false;
  *flags = currentFlags(target->host());
  return true;
}

bool SCNetworkReachabilitySetCallback(const SCNetworkReachabilityRef& target, SCNetworkReachabilityCallBack callout) {
  if (!target) return false;
  std::lock_guard lock(target->mutex);
  target->callback = std::move(callout);
  return true;
}

bool SCNetworkReachabilityScheduleWithRunLoop(const SCNetworkReachabilityRef& target, RunLoop& runLoop,
                                              const std::string& runLoopMode) {
  if (!target) return false;
  {
    std::lock_guard lock(target->mutex);
    if (target->runLoop != nullptr) return target->runLoop == &runLoop && target->mode == runLoopMode;
    target->runLoop = &runLoop;
    target->mode = runLoopMode;
    target->lastFlags.reset();
  }
  {
    std::lock_guard lock(registry().mutex);
    registry().scheduled.push_back(target);
  }
  postIfChanged(target, currentFlags(target->host()));
  return true;
}

bool SCNetworkReachabilityUnscheduleFromRunLoop(const SCNetworkReachabilityRef& target, RunLoop& runLoop,
                                                const std::string& runLoopMode) {
  if (!target) return false;
  {
    std::lock_guard lock(target->mutex);
    if (target->runLoop != &runLoop || target->mode != runLoopMode) return false;
    target->runLoop = nullptr;
    target->lastFlags.reset();
  }
  std::lock_guard lock(registry().mutex);
  std::erase_if(registry().scheduled, [&](const std::weak_ptr<SCNetworkReachability>& w) {
    auto s = w.lock();
    return !s || s == target;
  });
  return true;
}

void SCNetworkReachabilityRecheck() {
  std::vector<SCNetworkReachabilityRef> refs;
  {
    std::lock_guard lock(registry().mutex);
    std::erase_if(registry().scheduled, [](const std::weak_ptr<SCNetworkReachability>& w) { return w.expired(); });
    for (const auto& w : registry().scheduled) {
      if (auto s = w.lock()) refs.push_back(std::move(s));
    }
  }
  for (const auto& ref : refs) postIfChanged(ref, currentFlags(ref->host()));
}

void SCNetworkReachabilityTEST_setFlagsProvider(SCNetworkReachabilityFlagsProvider provider) {
  {
    std::lock_guard lock(registry().mutex);
    registry().provider = std::move(provider);
  }
  SCNetworkReachabilityRecheck();
}

}  // namespace os
