// Network reachability: whether a host or an address can be reached, and
// over what.
//
// The flags come from the host's network interfaces (getifaddrs): a host is
// reachable when an interface that is up and running carries an address, or,
// for a loopback name or address, when the loopback interface is up. No name
// is resolved and nothing is sent. A device profile that sets the device's
// network (os::DeviceProfile::network) decides instead for every host but
// loopback: none is unreachable, Wi-Fi reachable, mobile reachable over the
// mobile network (kSCNetworkReachabilityFlagsIsWWAN). An address reference is
// answered as its numeric text would be; the all-zero address stands for the
// network in general. Tests replace the source of the flags with
// SCNetworkReachabilityTEST_setFlagsProvider.
//
// A reference scheduled on a run loop, or given a dispatch queue, gets its
// callback there once with its current flags, and again whenever they change
// (a change of the device profile included). Changes are found
// by a watcher thread that runs while any reference is scheduled: it follows
// the kernel's link and address notifications (a netlink route socket), or,
// where those cannot be had, reads the interfaces every 2 seconds. The
// watcher stops (and is joined) when the last reference is unscheduled or
// released. SCNetworkReachabilityRecheck and a new flags provider check at
// once.
//
// All functions are thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "os/dispatch/queue.h"
#include "os/dispatch/run_loop.h"

struct sockaddr;

namespace os {

using SCNetworkReachabilityFlags = uint32_t;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsTransientConnection = 1u << 0;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsReachable = 1u << 1;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnTraffic = 1u << 3;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsInterventionRequired = 1u << 4;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsConnectionOnDemand = 1u << 5;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsLocalAddress = 1u << 16;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsDirect = 1u << 17;
inline constexpr SCNetworkReachabilityFlags kSCNetworkReachabilityFlagsIsWWAN = 1u << 18;

// A reachability reference for one host name. Dropping the last shared_ptr
// releases it (and unschedules it).
class SCNetworkReachability;
using SCNetworkReachabilityRef = std::shared_ptr<SCNetworkReachability>;
using SCNetworkReachabilityCallBack =
    std::function<void(const SCNetworkReachabilityRef& target, SCNetworkReachabilityFlags flags)>;

// A reference for the host name; null for an empty name.
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithName(const std::string& nodename);
// A reference for an IPv4 (family 2, length 16) or IPv6 socket address; null
// for any other family or length.
SCNetworkReachabilityRef SCNetworkReachabilityCreateWithAddress(const sockaddr* address);
// The host's current flags; false (flags untouched) for a null reference.
bool SCNetworkReachabilityGetFlags(const SCNetworkReachabilityRef& target, SCNetworkReachabilityFlags* flags);
// Sets or (with an empty function) clears the callback.
bool SCNetworkReachabilitySetCallback(const SCNetworkReachabilityRef& target, SCNetworkReachabilityCallBack callout);
// Delivers callbacks on the run loop in the mode; one run loop at a time.
// False when the reference is null or already scheduled elsewhere.
bool SCNetworkReachabilityScheduleWithRunLoop(const SCNetworkReachabilityRef& target, RunLoop& runLoop,
                                              const std::string& runLoopMode);
bool SCNetworkReachabilityUnscheduleFromRunLoop(const SCNetworkReachabilityRef& target, RunLoop& runLoop,
                                                const std::string& runLoopMode);
// Delivers callbacks on the queue; null stops them. False when the reference
// is null, or scheduled on a run loop.
bool SCNetworkReachabilitySetDispatchQueue(const SCNetworkReachabilityRef& target,
                                           std::shared_ptr<DispatchQueue> queue);

// Reads the flags again for every scheduled reference and calls back those
// whose flags changed.
void SCNetworkReachabilityRecheck();

// The flags the host's interfaces give for a host name.
SCNetworkReachabilityFlags SCNetworkReachabilityFlagsFromInterfaces(const std::string& nodename);

// Replaces the source of flags for every reference (an empty function restores
// the host's interfaces), then rechecks scheduled references.
using SCNetworkReachabilityFlagsProvider = std::function<SCNetworkReachabilityFlags(const std::string& nodename)>;
void SCNetworkReachabilityTEST_setFlagsProvider(SCNetworkReachabilityFlagsProvider provider);
// Whether the interface watcher runs.
bool SCNetworkReachabilityTEST_isWatching();
// Watchers started from now on read the interfaces every `milliseconds`
// instead of following the kernel's notifications; 0 restores those.
void SCNetworkReachabilityTEST_setPollInterval(int milliseconds);

}  // namespace os
