// The fixture of the measurement database tests: a fresh sandbox, a manual
// clock, an engine stand-in whose settings a test may change, a persisted
// configuration and an open database; with helpers that read the file
// directly and build events and bundles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/store/database.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/testing/measurement_services_double.h"
#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"

namespace apm_test {

class DatabaseTest : public MonitoredTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new database on the measurement file; null (with the error) when
  // creation fails.
  std::shared_ptr<APMDatabase> open(os::Error* error = nullptr);
  // The rows of a query on the open database's connection.
  std::vector<os::Dictionary> query(std::string_view sql, const os::Array& parameters = {});
  int64_t rowCount(std::string_view table);
  // Runs SQL on a connection of its own to the measurement file (making
  // older files, damaging rows); fails the test when SQLite refuses it.
  void execOnFile(const std::string& sql);

 public:
  // An event of origin "app" at `timestamp` with the given parameters.
  static std::shared_ptr<APMEvent> event(std::string_view name, double timestamp, APMEventParameters parameters = {});
  // Bundle metadata naming the app.
  static std::shared_ptr<APMPBMeasurementBundle> metadata(std::string_view appID = "com.example.meter");
  // A bundle ready to queue: app ID, end time, and `padding` bytes of
  // os_version so its encoding has about that size.
  static std::shared_ptr<APMPBMeasurementBundle> bundle(int64_t endTimestampMillis, size_t padding = 0,
                                                        std::string_view appID = "com.example.meter");
  static std::string description(const os::Error& error) { return error.localizedDescription(); }

 protected:

  os::ManualClockScope clock_;
  std::shared_ptr<MeasurementServicesDouble> services_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMDatabase> database_;
  std::string path_;
};

}  // namespace apm_test
