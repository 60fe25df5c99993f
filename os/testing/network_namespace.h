// A network of the test's own: a new network namespace (owned by a new user
// namespace, so no privilege is needed) whose only interface is loopback,
// down until the test brings it up. For tests that watch the host's
// interfaces change.
//
// Entering is for a process of its own (a death-test child started with the
// "threadsafe" style): the kernel lets only a single-threaded process make a
// user namespace, and the namespace lasts for the rest of that process.
#pragma once

namespace os::testing {

// Whether this host lets a process make the namespaces (checked in a forked
// child, so the caller is not moved).
bool canEnterPrivateNetwork();
// Moves the calling process into a private network; false when refused or
// when the process already runs more than one thread.
bool enterPrivateNetwork();
// Switches the loopback interface of the current network; false on failure.
bool setLoopbackUp(bool up);

}  // namespace os::testing
