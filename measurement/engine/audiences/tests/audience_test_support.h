// Fixtures and message builders of the audience tests: a fresh sandbox, a
// process-wide monitor, every audience log line recorded whatever its level,
// and (AudienceDatabaseTest) an engine stand-in and an open measurement
// database.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/audiences/audience_filter_matching.h"
#include "measurement/engine/audiences/audience_log.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/monitor.h"
#include "measurement/store/testing/measurement_services_double.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"

namespace apm_audience_test {

struct LoggedLine {
  int64_t level = 0;
  int64_t code = 0;
  std::vector<APMLogContext> contexts;
};

class AudienceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::vector<int64_t> codes() const;
  bool logged(int64_t code) const;
  // The first line with the code, or null.
  std::optional<LoggedLine> line(int64_t code) const;
  void clearLog();
  // Called with each line's code after it is recorded (on the logging thread).
  void setLogHook(std::function<void(int64_t code)> hook);

  os::TemporarySandbox sandbox_;
  os::LogCapture capture_;
  std::shared_ptr<APMMonitor> monitor_;

 private:
  mutable std::mutex mutex_;
  std::vector<LoggedLine> lines_;  // guarded by mutex_
  std::function<void(int64_t)> hook_;  // guarded by mutex_
};

class AudienceDatabaseTest : public AudienceTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Closes the database and opens it anew (through a fault VFS made since).
  void reopen();
  // Runs SQL on the open database's connection; fails the test when refused.
  void exec(const std::string& sql);
  int64_t rowCount(const std::string& table);

  os::ManualClockScope clock_;
  std::shared_ptr<apm_test::MeasurementServicesDouble> services_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<APMDatabase> database_;
};

// ---- Message builders ----

std::shared_ptr<APMPBNumberFilter> numberFilter(APMNumberFilterComparisonType type,
                                                std::optional<std::string> value = std::nullopt,
                                                std::optional<std::string> minimum = std::nullopt,
                                                std::optional<std::string> maximum = std::nullopt);
std::shared_ptr<APMPBNumberFilter> betweenFilter(std::string minimum, std::string maximum);
std::shared_ptr<APMPBStringFilter> stringFilter(APMStringFilterMatchType type,
                                                std::optional<std::string> expression = std::nullopt,
                                                std::optional<bool> caseSensitive = std::nullopt,
                                                std::vector<std::string> list = {});
// A value filter; `parameterName` for event parameter filters.
std::shared_ptr<APMPBFilter> valueFilter(std::shared_ptr<APMPBNumberFilter> number,
                                         std::shared_ptr<APMPBStringFilter> string = nullptr, bool complement = false,
                                         std::optional<std::string> parameterName = std::nullopt);

struct FilterFlags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};
std::shared_ptr<APMPBEventFilter> eventFilter(std::optional<int32_t> filterID, std::optional<std::string> eventName,
                                              std::vector<std::shared_ptr<APMPBFilter>> parameterFilters = {},
                                              std::shared_ptr<APMPBNumberFilter> countFilter = nullptr,
                                              FilterFlags flags = {});
std::shared_ptr<APMPBPropertyFilter> propertyFilter(std::optional<int32_t> filterID,
                                                    std::optional<std::string> propertyName,
                                                    std::shared_ptr<APMPBFilter> filter, FilterFlags flags = {});
std::shared_ptr<APMPBAudience> audience(std::optional<int32_t> audienceID,
                                        std::vector<std::shared_ptr<APMPBEventFilter>> eventFilters,
                                        std::vector<std::shared_ptr<APMPBPropertyFilter>> propertyFilters = {});

// Stored rows of the messages.
std::shared_ptr<APMEventFilter> eventFilterRow(int32_t audienceID, const APMPBEventFilter& filter);
std::shared_ptr<APMPropertyFilter> propertyFilterRow(int32_t audienceID, const APMPBPropertyFilter& filter);

}  // namespace apm_audience_test
