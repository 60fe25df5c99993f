#include "measurement/engine/audiences/tests/audience_test_support.h"

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "platform/utilities/logger.h"

namespace apm_audience_test {
namespace {

// Monitor lines are checked through the audience log hook; the console stays
// quiet.
class QuietSink : public APMLogging {
 public:
  void logMessage(const std::string&, const std::string&, int64_t, int64_t) override {}
};

}  // namespace

void AudienceTest::SetUp() {
  os::UserDefaults::resetStandardUserDefaults();
  os::ProcessInfo::processInfo().setArguments({"tests"});
  DAZLoggerTEST_reset();
  APMMeasurementServices::setSharedInstance(nullptr);
  monitor_ = APMMonitor::initWithLogLevel(6, std::make_shared<QuietSink>(), 110100);
  APMMeasurementServices::TEST_setMonitor(monitor_);
  apm_audience::TEST_setLogObserver([this](int64_t level, int64_t code, const std::vector<APMLogContext>& contexts) {
    std::function<void(int64_t)> hook;
    {
      std::lock_guard lock(mutex_);
      lines_.push_back({level, code, contexts});
      hook = hook_;
    }
    if (hook) hook(code);
  });
}

void AudienceTest::TearDown() {
  apm_audience::TEST_setLogObserver(nullptr);
  // The monitor writes its record into the sandbox: done before it goes.
  monitor_->TEST_flush();
  APMMeasurementServices::TEST_setMonitor(nullptr);
  DAZLoggerTEST_flush();
  DAZLoggerTEST_reset();
  os::UserDefaults::resetStandardUserDefaults();
}

std::vector<int64_t> AudienceTest::codes() const {
  std::lock_guard lock(mutex_);
  std::vector<int64_t> out;
  for (const auto& line : lines_) out.push_back(line.code);
  return out;
}

bool AudienceTest::logged(int64_t code) const { return line(code).has_value(); }

std::optional<LoggedLine> AudienceTest::line(int64_t code) const {
  std::lock_guard lock(mutex_);
  for (const auto& line : lines_) {
    if (line.code == code) return line;
  }
  return std::nullopt;
}

void AudienceTest::clearLog() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

void AudienceTest::setLogHook(std::function<void(int64_t code)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void AudienceDatabaseTest::SetUp() {
  AudienceTest::SetUp();
  services_ = apm_test::MeasurementServicesDouble::install();
  persistedConfig_ = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
  ASSERT_TRUE(persistedConfig_);
  os::Error error;
  database_ = APMDatabase::initWithDatabaseName(kAPMDatabaseName, persistedConfig_, &error);
  ASSERT_TRUE(database_) << error.description();
  services_->setDatabase(database_);
}

void AudienceDatabaseTest::TearDown() {
  if (services_) services_->setDatabase(nullptr);
  database_.reset();
  persistedConfig_.reset();
  APMMeasurementServices::setSharedInstance(nullptr);
  AudienceTest::TearDown();
}

void AudienceDatabaseTest::reopen() {
  services_->setDatabase(nullptr);
  database_.reset();
  os::Error error;
  database_ = APMDatabase::initWithDatabaseName(kAPMDatabaseName, persistedConfig_, &error);
  ASSERT_TRUE(database_) << error.description();
  services_->setDatabase(database_);
}

void AudienceDatabaseTest::exec(const std::string& sql) {
  os::Error error;
  EXPECT_TRUE(database_->sqliteStore()->executeSQL(sql, &error)) << sql << ": " << error.description();
}

int64_t AudienceDatabaseTest::rowCount(const std::string& table) {
  os::Error error;
  auto count = database_->sqliteStore()->rowCountForTableWithName(table, &error);
  EXPECT_TRUE(count) << table << ": " << error.description();
  return count ? count->int64Value() : -1;
}

// ---- Builders ----

std::shared_ptr<APMPBNumberFilter> numberFilter(APMNumberFilterComparisonType type, std::optional<std::string> value,
                                                std::optional<std::string> minimum,
                                                std::optional<std::string> maximum) {
  auto filter = APMPBNumberFilter::initWithMessageInfo(nullptr);
  APMPBSetInt32(filter.get(), kAPMNumberFilterComparisonType, int32_t(type));
  if (value) APMPBSetString(filter.get(), kAPMNumberFilterComparisonValue, *value);
  if (minimum) APMPBSetString(filter.get(), kAPMNumberFilterMinComparisonValue, *minimum);
  if (maximum) APMPBSetString(filter.get(), kAPMNumberFilterMaxComparisonValue, *maximum);
  return filter;
}

std::shared_ptr<APMPBNumberFilter> betweenFilter(std::string minimum, std::string maximum) {
  return numberFilter(APMNumberFilterComparisonType::Between, std::nullopt, std::move(minimum), std::move(maximum));
}

std::shared_ptr<APMPBStringFilter> stringFilter(APMStringFilterMatchType type, std::optional<std::string> expression,
                                                std::optional<bool> caseSensitive, std::vector<std::string> list) {
  auto filter = APMPBStringFilter::initWithMessageInfo(nullptr);
  APMPBSetInt32(filter.get(), kAPMStringFilterMatchType, int32_t(type));
  if (expression) APMPBSetString(filter.get(), kAPMStringFilterExpression, *expression);
  if (caseSensitive) APMPBSetBool(filter.get(), kAPMStringFilterCaseSensitive, *caseSensitive);
  if (!list.empty()) {
    os::Array values;
    for (auto& entry : list) values.emplace_back(std::move(entry));
    APMPBSetArray(filter.get(), kAPMStringFilterExpressionList, values);
  }
  return filter;
}

std::shared_ptr<APMPBFilter> valueFilter(std::shared_ptr<APMPBNumberFilter> number,
                                         std::shared_ptr<APMPBStringFilter> string, bool complement,
                                         std::optional<std::string> parameterName) {
  auto filter = APMPBFilter::initWithMessageInfo(nullptr);
  if (number) APMPBSetMessage(filter.get(), kAPMFilterNumberFilter, number.get());
  if (string) APMPBSetMessage(filter.get(), kAPMFilterStringFilter, string.get());
  if (complement) APMPBSetBool(filter.get(), kAPMFilterComplement, true);
  if (parameterName) APMPBSetString(filter.get(), kAPMFilterParameterName, *parameterName);
  return filter;
}

std::shared_ptr<APMPBEventFilter> eventFilter(std::optional<int32_t> filterID, std::optional<std::string> eventName,
                                              std::vector<std::shared_ptr<APMPBFilter>> parameterFilters,
                                              std::shared_ptr<APMPBNumberFilter> countFilter, FilterFlags flags) {
  auto filter = APMPBEventFilter::initWithMessageInfo(nullptr);
  if (filterID) APMPBSetInt32(filter.get(), kAPMEventFilterFilterID, *filterID);
  if (eventName) APMPBSetString(filter.get(), kAPMEventFilterEventName, *eventName);
  if (!parameterFilters.empty()) APMPBSetArray(filter.get(), kAPMEventFilterParameterFilters, parameterFilters);
  if (countFilter) APMPBSetMessage(filter.get(), kAPMEventFilterCountFilter, countFilter.get());
  if (flags.dynamic) APMPBSetBool(filter.get(), kAPMEventFilterDynamic, true);
  if (flags.sequence) APMPBSetBool(filter.get(), kAPMEventFilterSequence, true);
  if (flags.sessionScoped) APMPBSetBool(filter.get(), kAPMEventFilterSessionScoped, true);
  return filter;
}

std::shared_ptr<APMPBPropertyFilter> propertyFilter(std::optional<int32_t> filterID,
                                                    std::optional<std::string> propertyName,
                                                    std::shared_ptr<APMPBFilter> valueFilter, FilterFlags flags) {
  auto filter = APMPBPropertyFilter::initWithMessageInfo(nullptr);
  if (filterID) APMPBSetInt32(filter.get(), kAPMPropertyFilterFilterID, *filterID);
  if (propertyName) APMPBSetString(filter.get(), kAPMPropertyFilterPropertyName, *propertyName);
  if (valueFilter) APMPBSetMessage(filter.get(), kAPMPropertyFilterValueFilter, valueFilter.get());
  if (flags.dynamic) APMPBSetBool(filter.get(), kAPMPropertyFilterDynamic, true);
  if (flags.sequence) APMPBSetBool(filter.get(), kAPMPropertyFilterSequence, true);
  if (flags.sessionScoped) APMPBSetBool(filter.get(), kAPMPropertyFilterSessionScoped, true);
  return filter;
}

std::shared_ptr<APMPBAudience> audience(std::optional<int32_t> audienceID,
                                        std::vector<std::shared_ptr<APMPBEventFilter>> eventFilters,
                                        std::vector<std::shared_ptr<APMPBPropertyFilter>> propertyFilters) {
  auto message = APMPBAudience::initWithMessageInfo(nullptr);
  if (audienceID) APMPBSetInt32(message.get(), 0, *audienceID);
  if (!propertyFilters.empty()) APMPBSetArray(message.get(), 1, propertyFilters);
  if (!eventFilters.empty()) APMPBSetArray(message.get(), 2, eventFilters);
  return message;
}

std::shared_ptr<APMEventFilter> eventFilterRow(int32_t audienceID, const APMPBEventFilter& filter) {
  return std::make_shared<APMEventFilter>(
      audienceID, APMPBGetInt32(&filter, kAPMEventFilterFilterID),
      APMPBGetString(&filter, kAPMEventFilterEventName).value_or(""), filter.protoBuffer().value_or(os::Data()),
      APMPBGetBool(&filter, kAPMEventFilterSessionScoped), APMPBGetBool(&filter, kAPMEventFilterDynamic),
      APMPBGetBool(&filter, kAPMEventFilterSequence));
}

std::shared_ptr<APMPropertyFilter> propertyFilterRow(int32_t audienceID, const APMPBPropertyFilter& filter) {
  return std::make_shared<APMPropertyFilter>(
      audienceID, APMPBGetInt32(&filter, kAPMPropertyFilterFilterID),
      APMPBGetString(&filter, kAPMPropertyFilterPropertyName).value_or(""), filter.protoBuffer().value_or(os::Data()),
      APMPBGetBool(&filter, kAPMPropertyFilterSessionScoped), APMPBGetBool(&filter, kAPMPropertyFilterDynamic),
      APMPBGetBool(&filter, kAPMPropertyFilterSequence));
}

}  // namespace apm_audience_test
