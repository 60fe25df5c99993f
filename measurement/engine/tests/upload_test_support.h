// The upload tests' fixture: a started engine over the real store in a fresh
// sandbox, the manual clock, a loopback measurement service, and helpers that
// queue bundles, drive the schedule on the worker queue and read back what
// the service received and what stayed queued.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/messages/message_classes.h"
#include "measurement/store/persisted_config.h"
#include "os/testing/test_http_server.h"

namespace upload_test {

struct BundleOptions {
  std::string vendorID;
  // The "_npa" user property carried in the bundle.
  std::optional<int64_t> npa;
};

// A batch the measurement service received.
struct Upload {
  os::testing::RecordedRequest request;
  std::vector<std::shared_ptr<APMPBMeasurementBundle>> bundles;
};

class UploadTest : public engine_test::EngineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  static double now();
  static int64_t millis(double seconds) { return static_cast<int64_t>(seconds * 1000); }
  std::shared_ptr<APMPersistedConfig> persisted() { return APMPersistedConfig::sharedInstance(); }

  // Queues a bundle of the test app ending at `endMillis`.
  void queueBundle(int64_t endMillis, const BundleOptions& options = {});
  void clearQueue();
  std::vector<int64_t> queuedEndTimes();
  std::vector<int32_t> queuedRetryCounts();

  // On the worker queue.
  double nextUploadingTime();
  void updateSchedule();
  // uploadData, then waits for what it started.
  void uploadNow();
  // When the armed upload alarm fires (seconds since 1970); 0 when unarmed.
  double alarmTime();

  // The POSTs to "/a", decoded.
  std::vector<Upload> uploads();
  // Lines of that code logged since the fixture started or was cleared,
  // silent and verbose levels included.
  int64_t count(int64_t code);
  void clearCounts();

 private:
  std::mutex loggedMutex_;
  std::vector<int64_t> logged_;  // guarded by loggedMutex_
};

}  // namespace upload_test
