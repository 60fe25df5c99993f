#include "os/storekit/ad_network.h"

#include <atomic>

namespace {
std::atomic<int> registrations{0};
}  // namespace

void SKAdNetwork::registerAppForAdNetworkAttribution() { registrations.fetch_add(1); }

int SKAdNetwork::TEST_registrationCount() { return registrations.load(); }

void SKAdNetwork::TEST_clearRegistrations() { registrations.store(0); }
