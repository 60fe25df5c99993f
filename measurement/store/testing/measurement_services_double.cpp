#include "measurement/store/testing/measurement_services_double.h"

#include <utility>

namespace apm_test {

bool RemoteConfigSettingsDouble::eventHasSamplingRate(std::string_view eventName) {
  std::lock_guard lock(samplingRatesMutex_);
  return samplingRates_.find(eventName) != samplingRates_.end();
}

int32_t RemoteConfigSettingsDouble::samplingRateForEvent(std::string_view eventName) {
  std::lock_guard lock(samplingRatesMutex_);
  auto found = samplingRates_.find(eventName);
  return found != samplingRates_.end() ? found->second : 1;
}

void RemoteConfigSettingsDouble::setSamplingRateForEvent(const std::string& eventName, int32_t rate) {
  std::lock_guard lock(samplingRatesMutex_);
  samplingRates_[eventName] = rate;
}

std::shared_ptr<MeasurementServicesDouble> MeasurementServicesDouble::install() {
  auto services = std::make_shared<MeasurementServicesDouble>();
  APMMeasurementServices::setSharedInstance(services);
  return services;
}

std::shared_ptr<APMDatabase> MeasurementServicesDouble::database() const {
  std::lock_guard lock(mutex_);
  return database_;
}

std::shared_ptr<APMScheduler> MeasurementServicesDouble::scheduler() const {
  std::lock_guard lock(mutex_);
  return scheduler_;
}

std::shared_ptr<APMSessionReporter> MeasurementServicesDouble::sessionReporter() const {
  std::lock_guard lock(mutex_);
  return sessionReporter_;
}

void MeasurementServicesDouble::setSessionReporter(std::shared_ptr<APMSessionReporter> reporter) {
  std::lock_guard lock(mutex_);
  sessionReporter_ = std::move(reporter);
}

void MeasurementServicesDouble::writeEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  std::lock_guard lock(mutex_);
  writtenEvents_.push_back({std::move(event), false});
}

void MeasurementServicesDouble::writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent> event) {
  std::lock_guard lock(mutex_);
  writtenEvents_.push_back({std::move(event), true});
}

void MeasurementServicesDouble::setDatabase(std::shared_ptr<APMDatabase> database) {
  std::lock_guard lock(mutex_);
  database_ = std::move(database);
}

void MeasurementServicesDouble::setScheduler(std::shared_ptr<APMScheduler> scheduler) {
  std::lock_guard lock(mutex_);
  scheduler_ = std::move(scheduler);
}

std::vector<MeasurementServicesDouble::WrittenEvent> MeasurementServicesDouble::writtenEvents() const {
  std::lock_guard lock(mutex_);
  return writtenEvents_;
}

std::vector<MeasurementServicesDouble::WrittenEvent> MeasurementServicesDouble::takeWrittenEvents() {
  std::lock_guard lock(mutex_);
  return std::exchange(writtenEvents_, {});
}

}  // namespace apm_test
