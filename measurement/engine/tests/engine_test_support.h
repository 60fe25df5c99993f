// Fixtures of the engine tests: the real store in a fresh sandbox, a main
// bundle whose endpoints point at loopback services, the manual clock, the
// monitor's console lines captured, no network (tests that upload give one),
// and the facade and engine back to a process that has not started analytics.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/engine/core/measurement.h"
#include "measurement/engine/interface/analytics.h"
#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"
#include "os/testing/test_http_server.h"

namespace engine_test {

inline constexpr const char* kAppID = "1:123456789012:ios:0a1b2c3d4e5f";
inline constexpr const char* kBundleIdentifier = "com.example.drosil";
inline constexpr const char* kAppVersion = "1.1";

// A clock whose wall time moves on by a millisecond at every read, so no two
// readings are equal.
class TickingClock : public os::Clock {
 public:
  explicit TickingClock(double start) : wallMillis_(static_cast<int64_t>(start * 1000)) {}
  double wallTime() const override { return wallMillis_.fetch_add(1) / 1000.0; }
  int64_t uptimeNanos() const override { return os::SystemClock::shared()->uptimeNanos(); }

 private:
  mutable std::atomic<int64_t> wallMillis_;
};

// Runs the main queue until every block queued so far on `queue` has run.
void waitForQueue(const std::shared_ptr<os::DispatchQueue>& queue);

// Forgets the simulated store, the product cache and the purchase reporter,
// then offers one product priced in US dollars.
void resetStoreOffering(const std::string& productIdentifier, const std::string& title, const char* price);

class EngineTest : public apm_test::MonitoredTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Tests that need the network from the start set this before SetUp.
  bool online_ = false;

  // Writes the main bundle: Info.plist (the bundle identifier, version 1.1
  // and `info`), the options file (`options`; none when nullopt) and the
  // endpoints resource (measurement services at the loopback server, or the
  // upload services at `uploadBase` when given; the installations service at
  // `installationsBase` when given).
  void writeBundle(const os::Dictionary& info = {}, const std::optional<os::Dictionary>& options = std::nullopt,
                   const std::string& installationsBase = {}, const std::string& uploadBase = {});
  // The facade's start as the public interface makes it.
  void start(os::Dictionary values = {}, const std::string& origin = kAPMOriginVivuzuvu,
             const std::string& appID = kAppID);
  // Ends the launch as a process exit would: the facade and engine go away and
  // the consent settings are forgotten; the sandbox, its store and defaults
  // stay for the next start().
  void endLaunch();
  // Fires the timers due now, then waits until the facade's queues, the
  // engine's worker queue and the monitor have nothing left to do.
  void settle();
  std::shared_ptr<APMMeasurement> engine();
  // The raw events of the store in row order, after settling: "origin",
  // "name", "isPublicEvent" (by name), "timestamp", "isRealtime",
  // "parameters".
  std::vector<os::Dictionary> storedEvents();
  // Deletes the store's raw events.
  void clearStoredEvents();
  // storedEvents() without the launch's automatic "_f", "_s" and "_e".
  std::vector<os::Dictionary> loggedEvents();
  // A stored user attribute's value, or the null value.
  os::Value userAttribute(const std::string& name);
  // Stores a configuration for kAppID holding the settings (name, value) as
  // the engine's current one; true when it was applied.
  bool applySettings(const std::vector<std::pair<std::string, std::string>>& settings);
  // The same with a consent section: the DMA region flag and the core
  // platform services.
  bool applyConsentSettings(const std::vector<std::pair<std::string, std::string>>& settings, bool dmaRegion,
                            const std::vector<std::string>& corePlatformServices);
  // Runs fn on the engine's worker queue and waits for it.
  void onWorker(const std::function<void(APMMeasurement&)>& fn);
  // The message of the one monitorable line (silent levels included) logged
  // since the last call, as the sampled record keeps it ("1E_110100:...");
  // empty when there was none.
  std::string takeSampledLine();

  os::ManualClockScope clock_;
  os::testing::TestHTTPServer server_;
  std::unique_ptr<apm_test::TestBundle> bundle_;
};

}  // namespace engine_test
