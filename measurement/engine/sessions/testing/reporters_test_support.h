// Fixtures of the reporter tests (sessions, screen views, ad exposure): a
// fresh sandbox and main bundle, the manual clock, an engine stand-in, the
// analytics facade recorded, every monitor line recorded whatever its level,
// a fresh shared application and fresh shared reporters.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/testing/measurement_services_double.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/value.h"

class UIViewController;
class UIWindow;

namespace apm_reporters_test {

// The facade's entries, recorded in call order. Thread-safe.
class RecordingAnalytics : public APMAnalyticsServices {
 public:
  struct Event {
    std::string origin, name;
    std::optional<double> timestamp;  // given by the caller
    os::Dictionary parameters;
  };
  struct Property {
    os::Value value;  // null: removed
    std::string name, origin;
  };

  void setConsent(const os::Dictionary&, const std::string&) override {}
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const os::Dictionary& parameters) override;
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double timestamp,
                                  const os::Dictionary& parameters) override;
  void setInternalUserProperty(const os::Value& value, const std::string& name, const std::string& origin) override;

  std::vector<Event> events() const;
  // The events of that name.
  std::vector<Event> events(const std::string& name) const;
  std::vector<Property> properties() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;          // guarded by mutex_
  std::vector<Property> properties_;   // guarded by mutex_
};

// The int64 under the key, or nullopt when absent or of another kind.
std::optional<int64_t> int64Parameter(const os::Dictionary& parameters, const std::string& key);
std::optional<std::string> stringParameter(const os::Dictionary& parameters, const std::string& key);

class ReportersTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Monitor codes logged so far, in order.
  std::vector<int64_t> codes() const;
  bool logged(int64_t code) const;
  void clearLog();

  // Writes the main bundle's Info.plist with these entries (key to XML value,
  // "<false/>", "<string>YES</string>").
  void setInfo(const std::vector<std::pair<std::string, std::string>>& entries);

  // The application's notifications, posted on this (the main) thread.
  void becomeActive();
  void resignActive();
  void enterBackground();
  // Runs what the reporters' queues and the main queue hold.
  void drain();

  // A key window showing a root controller of type T.
  template <class T>
  std::shared_ptr<T> showRoot() {
    auto root = std::make_shared<T>();
    showRootController(root);
    return root;
  }
  void showRootController(const std::shared_ptr<UIViewController>& root);

  os::TemporarySandbox sandbox_;
  os::ManualClockScope clock_;
  std::shared_ptr<apm_test::MeasurementServicesDouble> services_;
  std::shared_ptr<RecordingAnalytics> analytics_;
  std::shared_ptr<APMMonitor> monitor_;
  std::shared_ptr<APMPersistedConfig> persistedConfig_;
  std::shared_ptr<UIWindow> window_;

 private:
  std::string bundleRoot_;
  mutable std::mutex mutex_;
  std::vector<int64_t> codes_;  // guarded by mutex_
};

}  // namespace apm_reporters_test
