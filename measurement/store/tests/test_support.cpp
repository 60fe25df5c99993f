#include "measurement/store/tests/test_support.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/engine_services.h"
#include "os/foundation/bundle.h"
#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "platform/utilities/logger.h"

namespace apm_test {

TestBundle::TestBundle() {
  std::string pattern = (std::filesystem::temp_directory_path() / "apm_bundle_XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  root_ = pattern;
  os::Bundle::setMainBundlePath(root_);
}

TestBundle::~TestBundle() {
  os::Bundle::setMainBundlePath("");
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

void TestBundle::addFile(const std::string& relative, const std::string& text) {
  const std::filesystem::path path = std::filesystem::path(root_) / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path) << text;
  os::Bundle::setMainBundlePath(root_);  // read again
}

void TestBundle::addFolder(const std::string& relative) {
  std::filesystem::create_directories(std::filesystem::path(root_) / relative);
}

void TestBundle::setInfo(const std::string& key, const std::string& plistValue) {
  addFile("Info.plist", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>" + key +
                            "</key>" + plistValue + "</dict></plist>\n");
}

void RecordingSink::logMessage(const std::string& message, const std::string& logTag, int64_t messageCode,
                               int64_t logLevel) {
  std::lock_guard lock(mutex_);
  lines_.push_back({message, logTag, messageCode, logLevel});
}

std::vector<SinkLine> RecordingSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<int64_t> RecordingSink::codes() const {
  std::vector<int64_t> out;
  for (const auto& line : lines()) out.push_back(line.code);
  return out;
}

void RecordingSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

void StoreTest::SetUp() {
  os::UserDefaults::resetStandardUserDefaults();
  os::ProcessInfo::processInfo().setArguments({"tests"});
  DAZLoggerTEST_reset();
  APMMeasurementServices::setSharedInstance(nullptr);
  APMAnalyticsServices::setSharedInstance(nullptr);
  APMMeasurementServices::TEST_setMonitor(nullptr);
}

void StoreTest::TearDown() {
  APMMeasurementServices::TEST_setMonitor(nullptr);
  DAZLoggerTEST_flush();
  DAZLoggerTEST_reset();
  os::UserDefaults::resetStandardUserDefaults();
}

std::vector<std::string> StoreTest::platformLines() {
  DAZLoggerTEST_flush();
  std::vector<std::string> out;
  for (const auto& record : capture_.recordsContaining("[I-ACS")) {
    const size_t open = record.message.find("[I-ACS");
    const size_t close = record.message.find("] ", open);
    out.push_back(record.message.substr(open + 1, close - open - 1) + " " + record.message.substr(close + 2));
  }
  return out;
}

void MonitoredTest::SetUp() {
  StoreTest::SetUp();
  DAZSetLoggerLevel(DAZLoggerLevel::Debug);
  monitor_ = APMMonitor::initWithLogLevel(6, sink_, 110100);
  APMMeasurementServices::TEST_setMonitor(monitor_);
}

void MonitoredTest::TearDown() {
  monitor_->TEST_flush();
  StoreTest::TearDown();
}

std::vector<SinkLine> MonitoredTest::lines() {
  monitor_->TEST_flush();
  return sink_->lines();
}

std::vector<int64_t> MonitoredTest::codes() {
  monitor_->TEST_flush();
  return sink_->codes();
}

std::shared_ptr<APMPBMeasurementConfig> measurementConfig(
    const std::string& appID, const std::vector<std::pair<std::string, std::string>>& settings,
    std::optional<int64_t> version) {
  auto config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  if (version) APMPBSetInt64(config.get(), 0, *version);
  APMPBSetString(config.get(), 1, appID);
  std::vector<std::shared_ptr<APMPBSetting>> list;
  for (const auto& [name, value] : settings) {
    auto setting = APMPBSetting::initWithMessageInfo(nullptr);
    APMPBSetString(setting.get(), 0, name);
    APMPBSetString(setting.get(), 1, value);
    list.push_back(setting);
  }
  APMPBSetArray(config.get(), 3, list);
  return config;
}

}  // namespace apm_test
