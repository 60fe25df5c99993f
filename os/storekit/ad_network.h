// SKAdNetwork: the system's ad-network attribution. Headless there is no
// system to register with: each registration is recorded for tests and the
// program to read.
//
// Thread-safe.
#pragma once

class SKAdNetwork {
 public:
  // Registers the app for ad-network attribution.
  static void registerAppForAdNetworkAttribution();

  // Registrations made since the process started (or the last clear).
  static int TEST_registrationCount();
  static void TEST_clearRegistrations();
};
