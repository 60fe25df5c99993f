#include "measurement/store/tests/database_test_support.h"

#include <sqlite3.h>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/measurement_files.h"

namespace apm_test {

void DatabaseTest::SetUp() {
  MonitoredTest::SetUp();
  services_ = MeasurementServicesDouble::install();
  persistedConfig_ = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
  ASSERT_TRUE(persistedConfig_);
  path_ = APMMeasurementDirectoryPathForFile(kAPMDatabaseName);
  database_ = open();
  ASSERT_TRUE(database_);
}

void DatabaseTest::TearDown() {
  database_.reset();
  persistedConfig_.reset();
  APMMeasurementServices::setSharedInstance(nullptr);
  MonitoredTest::TearDown();
}

std::shared_ptr<APMDatabase> DatabaseTest::open(os::Error* error) {
  os::Error local;
  auto database = APMDatabase::initWithDatabaseName(kAPMDatabaseName, persistedConfig_, error ? error : &local);
  if (error == nullptr) {
    EXPECT_TRUE(database) << local.description();
  }
  return database;
}

std::vector<os::Dictionary> DatabaseTest::query(std::string_view sql, const os::Array& parameters) {
  os::Error error;
  auto rows = database_->sqliteStore()->recordsForQuery(sql, parameters, &error);
  EXPECT_TRUE(rows) << sql << ": " << error.description();
  return rows.value_or(std::vector<os::Dictionary>{});
}

int64_t DatabaseTest::rowCount(std::string_view table) {
  os::Error error;
  auto count = database_->sqliteStore()->rowCountForTableWithName(table, &error);
  EXPECT_TRUE(count) << table << ": " << error.description();
  return count ? count->int64Value() : -1;
}

void DatabaseTest::execOnFile(const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  EXPECT_EQ(result, SQLITE_OK) << sql << ": " << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

std::shared_ptr<APMEvent> DatabaseTest::event(std::string_view name, double timestamp, APMEventParameters parameters) {
  return APMEvent::initWithOrigin("app", !name.starts_with('_'), name, timestamp, 0, std::move(parameters));
}

std::shared_ptr<APMPBMeasurementBundle> DatabaseTest::metadata(std::string_view appID) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetInt32(bundle.get(), 0, 1);
  APMPBSetString(bundle.get(), 8, "ios");
  APMPBSetString(bundle.get(), 14, appID);
  return bundle;
}

std::shared_ptr<APMPBMeasurementBundle> DatabaseTest::bundle(int64_t endTimestampMillis, size_t padding,
                                                             std::string_view appID) {
  auto bundle = metadata(appID);
  APMPBSetInt64(bundle.get(), 5, endTimestampMillis);
  if (padding > 0) APMPBSetString(bundle.get(), 9, std::string(padding, 'v'));
  return bundle;
}

}  // namespace apm_test
