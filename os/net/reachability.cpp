#include "os/net/reachability.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "os/foundation/device_profile.h"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <cctype>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace os {

class SCNetworkReachability {
 public:
  explicit SCNetworkReachability(std::string host) : host_(std::move(host)) {}
  // A reference still scheduled when released stops being watched.
  ~SCNetworkReachability();

  const std::string& host() const { return host_; }

  std::mutex mutex;
  SCNetworkReachabilityCallBack callback;             // guarded by mutex
  // Where callbacks go: a run loop in a mode, or a queue; at most one.
  RunLoop* runLoop = nullptr;                         // guarded by mutex
  std::string mode;                                   // guarded by mutex
  std::shared_ptr<DispatchQueue> queue;               // guarded by mutex
  std::optional<SCNetworkReachabilityFlags> lastFlags;  // last posted; guarded by mutex

  // Requires mutex.
  bool isScheduled() const { return runLoop != nullptr || queue != nullptr; }

 private:
  const std::string host_;
};

namespace {

// The interface watcher: one thread, alive while any reference is scheduled.
// It waits on a netlink route socket subscribed to link and address changes
// and rechecks every scheduled reference after each burst of messages; where
// no such socket can be had it rechecks every kInterfacePollMillis instead.
// Stopping signals its event descriptor and joins it, except from the thread
// itself (a reference released there), which lets it run out on its own.
constexpr int kInterfacePollMillis = 2000;
// Tests: when positive, watchers started from now on poll at this interval
// and open no route socket.
std::atomic<int> gTestPollMillis{0};

int openRouteSocket();

// The route socket is opened by the thread that schedules, before that thread
// reads the flags it reports first: a change between the two cannot be missed.
struct WatcherState {
  WatcherState()
      : wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
        route(gTestPollMillis > 0 ? -1 : openRouteSocket()),
        pollMillis(gTestPollMillis > 0 ? gTestPollMillis.load() : kInterfacePollMillis) {}
  ~WatcherState() {
    if (wake >= 0) close(wake);
    if (route >= 0) close(route);
  }
  const int wake;
  const int route;  // -1: poll the interfaces instead
  const int pollMillis;
  std::atomic<bool> stopping{false};
};

void watchInterfaces(const std::shared_ptr<WatcherState>& state);

struct Watcher {
  std::shared_ptr<WatcherState> state;
  std::thread thread;
};

struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<SCNetworkReachability>> scheduled;  // guarded by mutex
  SCNetworkReachabilityFlagsProvider provider;                   // guarded by mutex
  std::optional<Watcher> watcher;                                // guarded by mutex
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: references may outlive statics
  return *r;
}

// Starts the watcher when something is scheduled and none runs. Requires
// registry().mutex.
void startWatcherLocked(Registry& r) {
  if (r.watcher || r.scheduled.empty()) return;
  auto state = std::make_shared<WatcherState>();
  if (state->wake < 0) return;  // no descriptor to stop it by: not started
  r.watcher = Watcher{state, std::thread([state] { watchInterfaces(state); })};
}

// Stops the watcher when nothing live is scheduled any more. Takes
// registry().mutex; joins outside it.
void stopWatcherIfIdle() {
  std::optional<Watcher> stopped;
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.scheduled, [](const std::weak_ptr<SCNetworkReachability>& w) { return w.expired(); });
    if (!r.scheduled.empty() || !r.watcher) return;
    stopped = std::move(r.watcher);
    r.watcher.reset();
  }
  stopped->state->stopping = true;
  const uint64_t one = 1;
  (void)!write(stopped->state->wake, &one, sizeof one);
  if (stopped->thread.get_id() == std::this_thread::get_id()) {
    stopped->thread.detach();
  } else {
    stopped->thread.join();
  }
}

// A netlink route socket that reports link and address changes, or -1.
int openRouteSocket() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool isLoopbackName(const std::string& host);

SCNetworkReachabilityFlags currentFlags(const std::string& host) {
  SCNetworkReachabilityFlagsProvider provider;
  {
    std::lock_guard lock(registry().mutex);
    provider = registry().provider;
  }
  if (provider) return provider(host);
  if (auto network = DeviceProfile::current().network; network && !isLoopbackName(host)) {
    switch (*network) {
      case DeviceNetwork::None:
        return 0;
      case DeviceNetwork::WiFi:
        return kSCNetworkReachabilityFlagsReachable;
      case DeviceNetwork::Mobile:
        return kSCNetworkReachabilityFlagsReachable | kSCNetworkReachabilityFlagsIsWWAN;
    }
  }
  return SCNetworkReachabilityFlagsFromInterfaces(host);
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

// Posts the flags to the reference's run loop or queue unless they were the
// last ones posted. Takes the reference's lock.
void postIfChanged(const SCNetworkReachabilityRef& ref, SCNetworkReachabilityFlags flags) {
  std::lock_guard lock(ref->mutex);
  if (!ref->isScheduled() || ref->lastFlags == flags) return;
  ref->lastFlags = flags;
  std::weak_ptr<SCNetworkReachability> weak = ref;
  if (ref->queue) {
    std::weak_ptr<DispatchQueue> queue = ref->queue;
    ref->queue->async([weak, queue, flags] {
      SCNetworkReachabilityRef target = weak.lock();
      if (!target) return;
      SCNetworkReachabilityCallBack callback;
      {
        std::lock_guard lock(target->mutex);
        if (target->queue == nullptr || target->queue != queue.lock()) return;  // stopped meanwhile
        callback = target->callback;
      }
      if (callback) callback(target, flags);
    });
    return;
  }
  RunLoop* loop = ref->runLoop;
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

void watchInterfaces(const std::shared_ptr<WatcherState>& state) {
  const int route = state->route;
  pollfd fds[2] = {{state->wake, POLLIN, 0}, {route, POLLIN, 0}};
  const nfds_t count = route >= 0 ? 2 : 1;
  while (!state->stopping) {
    const int ready = poll(fds, count, route >= 0 ? -1 : state->pollMillis);
    if (state->stopping) break;
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (route >= 0) {
      if (ready == 0 || (fds[1].revents & (POLLIN | POLLERR)) == 0) continue;
      // One recheck per burst: read everything queued (an overrun, ENOBUFS,
      // also means something changed).
      char buffer[8192];
      for (;;) {
        const ssize_t n = recv(route, buffer, sizeof buffer, 0);
        if (n > 0 || (n < 0 && (errno == ENOBUFS || errno == EINTR))) continue;
        break;
      }
    }
    SCNetworkReachabilityRecheck();
  }
}

// A change of the device profile may change every reference's flags.
void recheckAfterProfileChange() { SCNetworkReachabilityRecheck(); }

// Adds a reference just scheduled to the watched ones and posts its flags.
void startWatching(const SCNetworkReachabilityRef& target) {
  static std::once_flag profileHandler;
  std::call_once(profileHandler, [] { DeviceProfile::addChangeHandler(recheckAfterProfileChange); });
  {
    std::lock_guard lock(registry().mutex);
    registry().scheduled.push_back(target);
    startWatcherLocked(registry());
  }
  postIfChanged(target, currentFlags(target->host()));
}

// Removes a reference just unscheduled from the watched ones.
void stopWatching(const SCNetworkReachabilityRef& target) {
  {
    std::lock_guard lock(registry().mutex);
    std::erase_if(registry().scheduled, [&](const std::weak_ptr<SCNetworkReachability>& w) {
      auto s = w.lock();
      return !s || s == target;
    });
  }
  stopWatcherIfIdle();
}

}  // namespace

SCNetworkReachability::~SCNetworkReachability() {
  bool wasScheduled = false;
  {
    std::lock_guard lock(mutex);
    wasScheduled = isScheduled();
  }
  if (wasScheduled) stopWatcherIfIdle();
}

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

SCNetworkReachabilityRef SCNetworkReachabilityCreateWithAddress(const sockaddr* address) {
  if (address == nullptr) return nullptr;
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    sockaddr_in v4{};
    std::memcpy(&v4, address, sizeof v4);
    if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) == nullptr) return nullptr;
  } else if (address->sa_family == AF_INET6) {
    sockaddr_in6 v6{};
    std::memcpy(&v6, address, sizeof v6);
    if (inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text) == nullptr) return nullptr;
  } else {
    return nullptr;
  }
  return std::make_shared<SCNetworkReachability>(text);
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
    if (target->queue != nullptr) return false;
    if (target->runLoop != nullptr) return target->runLoop == &runLoop && target->mode == runLoopMode;
    target->runLoop = &runLoop;
    target->mode = runLoopMode;
    target->lastFlags.reset();
  }
  startWatching(target);
  return true;
}

bool SCNetworkReachabilitySetDispatchQueue(const SCNetworkReachabilityRef& target,
                                           std::shared_ptr<DispatchQueue> queue) {
  if (!target) return false;
  bool moved = false;
  bool starting = false;
  {
    std::lock_guard lock(target->mutex);
    if (target->runLoop != nullptr) return false;
    if (target->queue == queue) return true;
    moved = target->queue != nullptr && queue != nullptr;
    target->queue = std::move(queue);
    target->lastFlags.reset();
    starting = target->queue != nullptr && !moved;
  }
  if (moved) {
    postIfChanged(target, currentFlags(target->host()));  // already watched
  } else if (starting) {
    startWatching(target);
  } else {
    stopWatching(target);
  }
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
  stopWatching(target);
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

void SCNetworkReachabilityTEST_setPollInterval(int milliseconds) { gTestPollMillis = milliseconds; }

bool SCNetworkReachabilityTEST_isWatching() {
  std::lock_guard lock(registry().mutex);
  return registry().watcher.has_value();
}

void SCNetworkReachabilityTEST_setFlagsProvider(SCNetworkReachabilityFlagsProvider provider) {
  {
    std::lock_guard lock(registry().mutex);
    registry().provider = std::move(provider);
  }
  SCNetworkReachabilityRecheck();
}

}  // namespace os
