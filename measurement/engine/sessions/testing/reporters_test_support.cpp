#include "measurement/engine/sessions/testing/reporters_test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "measurement/engine/sessions/screen_view_reporter.h"
#include "os/dispatch/notification.h"
#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "os/uikit/application.h"
#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"
#include "platform/utilities/logger.h"

namespace apm_reporters_test {
namespace {

// Lines are checked through the monitor's observer; the console stays quiet.
class QuietSink : public APMLogging {
 public:
  void logMessage(const std::string&, const std::string&, int64_t, int64_t) override {}
};

}  // namespace

// ---- RecordingAnalytics ----

void RecordingAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                                    const os::Dictionary& parameters) {
  std::lock_guard lock(mutex_);
  events_.push_back({origin, name, std::nullopt, parameters});
}

void RecordingAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                                    double timestamp, const os::Dictionary& parameters) {
  std::lock_guard lock(mutex_);
  events_.push_back({origin, name, timestamp, parameters});
}

void RecordingAnalytics::setInternalUserProperty(const os::Value& value, const std::string& name,
                                                 const std::string& origin) {
  std::lock_guard lock(mutex_);
  properties_.push_back({value, name, origin});
}

std::vector<RecordingAnalytics::Event> RecordingAnalytics::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<RecordingAnalytics::Event> RecordingAnalytics::events(const std::string& name) const {
  std::vector<Event> out;
  for (auto& event : events()) {
    if (event.name == name) out.push_back(std::move(event));
  }
  return out;
}

std::vector<RecordingAnalytics::Property> RecordingAnalytics::properties() const {
  std::lock_guard lock(mutex_);
  return properties_;
}

void RecordingAnalytics::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
  properties_.clear();
}

std::optional<int64_t> int64Parameter(const os::Dictionary& parameters, const std::string& key) {
  auto it = parameters.find(key);
  if (it == parameters.end() || !it->second.isNumber() || it->second.number()->isFloatingPoint()) return std::nullopt;
  return it->second.int64Value();
}

std::optional<std::string> stringParameter(const os::Dictionary& parameters, const std::string& key) {
  auto it = parameters.find(key);
  if (it == parameters.end() || !it->second.isString()) return std::nullopt;
  return *it->second.string();
}

// ---- ReportersTest ----

void ReportersTest::SetUp() {
  os::UserDefaults::resetStandardUserDefaults();
  os::ProcessInfo::processInfo().setArguments({"tests"});
  DAZLoggerTEST_reset();
  std::string pattern = (std::filesystem::temp_directory_path() / "apm_reporters_bundle_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  bundleRoot_ = pattern;
  os::Bundle::setMainBundlePath(bundleRoot_);
  UIApplication::setSharedApplication(std::make_shared<UIApplication>());

  monitor_ = APMMonitor::initWithLogLevel(6, std::make_shared<QuietSink>(), 110100);
  monitor_->TEST_setLogObserver([this](int64_t, int64_t code, const std::vector<APMLogContext>&) {
    std::lock_guard lock(mutex_);
    codes_.push_back(code);
  });
  APMMeasurementServices::TEST_setMonitor(monitor_);
  services_ = apm_test::MeasurementServicesDouble::install();
  analytics_ = std::make_shared<RecordingAnalytics>();
  APMAnalyticsServices::setSharedInstance(analytics_);
  persistedConfig_ = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
  ASSERT_TRUE(persistedConfig_);
  APMScreenViewReporter::TEST_reset();
}

void ReportersTest::TearDown() {
  drain();
  APMScreenViewReporter::TEST_reset();
  APMAnalyticsServices::setSharedInstance(nullptr);
  services_->setSessionReporter(nullptr);
  APMMeasurementServices::setSharedInstance(nullptr);
  persistedConfig_.reset();
  window_.reset();
  UIApplication::setSharedApplication(std::make_shared<UIApplication>());
  monitor_->TEST_setLogObserver(nullptr);
  monitor_->TEST_flush();
  APMMeasurementServices::TEST_setMonitor(nullptr);
  os::Bundle::setMainBundlePath("");
  std::error_code ec;
  std::filesystem::remove_all(bundleRoot_, ec);
  DAZLoggerTEST_flush();
  DAZLoggerTEST_reset();
  os::UserDefaults::resetStandardUserDefaults();
}

std::vector<int64_t> ReportersTest::codes() const {
  std::lock_guard lock(mutex_);
  return codes_;
}

bool ReportersTest::logged(int64_t code) const {
  const auto all = codes();
  return std::find(all.begin(), all.end(), code) != all.end();
}

void ReportersTest::clearLog() {
  std::lock_guard lock(mutex_);
  codes_.clear();
}

void ReportersTest::setInfo(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string plist = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
  for (const auto& [key, value] : entries) plist += "<key>" + key + "</key>" + value;
  plist += "</dict></plist>\n";
  std::ofstream(std::filesystem::path(bundleRoot_) / "Info.plist") << plist;
  os::Bundle::setMainBundlePath(bundleRoot_);  // read again
}

void ReportersTest::becomeActive() {
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationDidBecomeActiveNotification, nullptr);
  drain();
}

void ReportersTest::resignActive() {
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationWillResignActiveNotification,
                                                                nullptr);
  drain();
}

void ReportersTest::enterBackground() {
  os::NotificationCenter::defaultCenter()->postNotificationName(os::kUIApplicationDidEnterBackgroundNotification,
                                                                nullptr);
  drain();
}

void ReportersTest::drain() { ASSERT_TRUE(os::dispatch::drainUntilIdle()); }

void ReportersTest::showRootController(const std::shared_ptr<UIViewController>& root) {
  window_ = std::make_shared<UIWindow>();
  window_->setRootViewController(root);
  window_->makeKeyAndVisible();
  drain();
}

}  // namespace apm_reporters_test
