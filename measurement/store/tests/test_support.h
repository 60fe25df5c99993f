// Shared fixtures of the measurement store tests: a fresh sandbox and user
// defaults, launch arguments under test control, and a process-wide monitor
// whose console lines are recorded instead of printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/store/monitor.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"

namespace apm_test {

// A main bundle in a fresh folder, installed while the object lives.
class TestBundle {
 public:
  TestBundle();
  ~TestBundle();
  TestBundle(const TestBundle&) = delete;
  TestBundle& operator=(const TestBundle&) = delete;
  void addFile(const std::string& relative, const std::string& text = "x");
  void addFolder(const std::string& relative);
  // An Info.plist holding the one key and its XML value ("<false/>").
  void setInfo(const std::string& key, const std::string& plistValue);

 private:
  std::string root_;
};

struct SinkLine {
  std::string message;
  std::string tag;
  int64_t code = 0;
  int64_t level = 0;
};

// An APMLogging sink that keeps every line.
class RecordingSink : public APMLogging {
 public:
  void logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                  int64_t logLevel) override;
  std::vector<SinkLine> lines() const;
  std::vector<int64_t> codes() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<SinkLine> lines_;  // guarded by mutex_
};

// A fresh sandbox, empty user defaults, launch arguments {"tests"}, the
// platform logger at its defaults, and no engine or analytics installed.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Platform logger lines of the measurement library, as "I-ACS043000 <text>",
  // once every queued line is written.
  std::vector<std::string> platformLines();

  os::TemporarySandbox sandbox_;
  os::LogCapture capture_;
};

// StoreTest with a process-wide monitor that records into `sink` and the
// platform logger at the debug level, so that every level prints.
class MonitoredTest : public StoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The recorded lines once the monitor's queue has drained.
  std::vector<SinkLine> lines();
  std::vector<int64_t> codes();

  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
  std::shared_ptr<APMMonitor> monitor_;
};

// A measurement configuration for the app ID carrying these settings (name,
// value) in order, with its version field set when one is given.
std::shared_ptr<APMPBMeasurementConfig> measurementConfig(
    const std::string& appID, const std::vector<std::pair<std::string, std::string>>& settings,
    std::optional<int64_t> version = std::nullopt);

}  // namespace apm_test
