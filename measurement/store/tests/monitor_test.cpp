#include "measurement/store/monitor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "measurement/store/errors.h"
#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/process_info.h"
#include "os/runtime/runtime.h"

namespace {

using apm_test::MonitoredTest;
using apm_test::RecordingSink;
using apm_test::StoreTest;

class MonitorTest : public MonitoredTest {
 protected:
  // The sampled entry as "key|context|population", or "<none>".
  std::string sampled() {
    auto entry = monitor_->TEST_sampledData();
    if (!entry) return "<none>";
    return *(*entry)[2].string() + "|" + *(*entry)[0].string() + "|" + std::to_string((*entry)[1].int64Value());
  }
};

TEST_F(MonitorTest, EachLevelIsPrintedSampledOrDroppedByItsTraits) {
  struct Case {
    int64_t level;
    const char* name;  // null: none
    bool printed;
    const char* sampledKey;  // null: not sampled
    bool verbose;
  };
  const Case cases[] = {
      {0, "ERROR", true, nullptr, false},
      {1, "ERROR", true, "1E_110100:m", false},
      {2, "ERROR", false, "1E_110100:m", false},
      {3, "WARNING", true, nullptr, false},
      {4, "WARNING", true, "1W_110100:m", false},
      {5, "WARNING", false, "1W_110100:m", false},
      {6, "NOTICE", true, nullptr, false},
      {7, "DEBUG", true, nullptr, false},
      {8, nullptr, false, nullptr, false},  // verbose only
      {9, nullptr, false, nullptr, false},
      {8, nullptr, true, nullptr, true},
      {9, nullptr, false, "1?_110100:m", true},
      {-1, nullptr, false, "1?_110100:m", false},  // unsigned look-up: any other level; signed verbose gate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.level) + (c.verbose ? " verbose" : ""));
    monitor_->setVerboseLoggingEnabled(c.verbose);
    DAZSetLoggerLevel(DAZLoggerLevel::Debug);  // every printable level prints
    monitor_->clearMonitoringData();
    sink_->clear();
    EXPECT_EQ(APMMonitor::logLevelDescriptionFromLogLevel(c.level), c.name ? std::optional<std::string>(c.name)
                                                                            : std::nullopt);
    monitor_->logWithLevel(c.level, 7, "m", "secret");
    const auto printed = lines();
    EXPECT_EQ(printed.size(), c.printed ? 1u : 0u);
    if (c.printed && !printed.empty()) {
      EXPECT_EQ(printed[0].message, "m: secret");
      EXPECT_EQ(printed[0].tag, "<DuvEvodedezudi>");
      EXPECT_EQ(printed[0].level, c.level);
    }
    EXPECT_EQ(sampled(), c.sampledKey ? std::string(c.sampledKey) + "|-|1" : "<none>");
  }
}

TEST_F(MonitorTest, ContextsAreEncodedWithoutRevealingValues) {
  struct Case {
    APMLogContext context;
    const char* encoded;
  };
  const Case cases[] = {
      {APMLogContext(), ""},
      {APMLogContext("user@example.com"), "-"},
      {APMLogContext(0), "0"},
      {APMLogContext(99), "99"},
      {APMLogContext(-99), "-99"},
      {APMLogContext(100), "100...999"},
      {APMLogContext(345), "100...999"},
      {APMLogContext(1000), "1000...9999"},
      {APMLogContext(-100), "-999...-100"},
      {APMLogContext(-345), "-999...-100"},
      {APMLogContext(2.75), "2"},
      {APMLogContext(true), "1"},
      {APMLogContext(os::Error("NSCocoaErrorDomain", 4)), "NSCocoaErrorDomain"},
      {APMLogContext(os::Value(os::Date::fromTimeIntervalSince1970(1))), "?"},
      {APMLogContext(os::Exception("com.vivuzuvu.core", "reason")), "com.vivuzuvu.core"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoded);
    EXPECT_EQ(APMMonitor::encodedStringWithContextObject(c.context), c.encoded);
  }
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({APMLogContext(), 5, "x"}, false), ",5,-");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({APMLogContext(), 5, "x"}, true), ", 5, -");
}

// 10p - 1 and the magnitude of the most negative value overflowed 64 bits,
// and the decade came from a rounded logarithm, so the largest values got
// wrong buckets and a value just below a power of ten could land in the next.
TEST_F(MonitorTest, NumberBucketsHoldForEveryWidth) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const std::pair<int64_t, const char*> cases[] = {
      {kMax, "1000000000000000000...9999999999999999999"},
      {kMin, "-9999999999999999999...-1000000000000000000"},
      {kMin + 1, "-9999999999999999999...-1000000000000000000"},
      {999999999999999999, "100000000000000000...999999999999999999"},
      {1000000000000000000, "1000000000000000000...9999999999999999999"},
      {-999999999999999999, "-999999999999999999...-100000000000000000"},
      {9999999999999999, "1000000000000000...9999999999999999"},
  };
  for (const auto& [value, encoded] : cases) {
    SCOPED_TRACE(value);
    EXPECT_EQ(APMMonitor::encodedStringWithContextObject(APMLogContext(value)), encoded);
  }
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(APMLogContext(os::Value(os::Number::uint64(UINT64_MAX)))),
            "-1");  // read as a signed 64-bit value, as the platform's number does
}

TEST_F(MonitorTest, ErrorsAddTheirMonitorContextAfterAllContexts) {
  const os::Error withContext = apm_errorWithCode(APMErrorCode::DatabaseOperationFailed, "failed", "exec,19,A");
  monitor_->logWithLevel(2, 12000, "Database failed", 7, withContext);
  EXPECT_EQ(sampled(), "1E_110100:Database failed|7,com.devuvo.zev.measurement.ErrorDomain,exec,19,A|1");

  monitor_->clearMonitoringData();
  const os::Error otherDomain("other", 1, {{kAPMMonitorContextKey, os::Value("ignored")}});
  monitor_->logWithLevel(2, 12000, "Database failed", otherDomain, withContext, withContext);
  EXPECT_EQ(sampled(),
            "1E_110100:Database failed|other,com.devuvo.zev.measurement.ErrorDomain,"
            "com.devuvo.zev.measurement.ErrorDomain,exec,19,A,exec,19,A|1");
}

TEST_F(MonitorTest, ConsoleLinesShowOrEncodeTheirContexts) {
  monitor_->logWithLevel(1, 1, "Value", APMLogContext());
  monitor_->logWithLevel(1, 2, "", 5, "text");
  monitor_->logWithLevel(1, 3, "Error", os::Exception("NSRangeException", "out of range"));
  monitor_->setEncodeContexts(true);
  monitor_->logWithLevel(1, 4, "Encoded", APMLogContext(), 345, "text");
  monitor_->TEST_flush();  // the sink is given the tag in force when a line is written
  monitor_->setLogTag("[VivuzuvuAnalytics]");
  monitor_->logWithLevel(1, 5, "Tagged");
  const auto all = lines();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].message, "Value: (nil)");
  EXPECT_EQ(all[1].message, "(Message was empty): 5, text");
  EXPECT_EQ(all[2].message, "Error: NSRangeException: out of range");
  EXPECT_EQ(all[3].message, "Encoded: , 100...999, -");
  EXPECT_EQ(all[4].tag, "[VivuzuvuAnalytics]");
  EXPECT_EQ(all[0].tag, "<DuvEvodedezudi>");
}

TEST(APMMonitorSymbolsTest, TheFirstMeasurementSymbolFromTheThirdLineOn) {
  struct Case {
    std::vector<std::string> lines;
    const char* expected;
  };
  const Case cases[] = {
      {{}, "Name"},
      {{"0 App 0x1 -[APMA a] + 1"}, "Name"},
      {{"0 App 0x1 -[APMFirst a] + 1", "1 App 0x2 APMSecond + 2", "2 App 0x3 main + 3"}, "Name"},
      {{"0 x", "1 x", "2   App   0x3   -[APMDatabase   open:]   +   12"}, "-[APMDatabase open:]"},
      {{"0 x", "1 x", "2 App 0x3 apmHelper + 12", "3 App 0x4 APMOther + 1"}, "apmHelper"},
      {{"0 x", "1 x", "2 short line"}, "Name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(APMMonitor::lastAPMSymbolFromCallStackSymbols(c.lines, "Name"), c.expected);
  }
}

TEST(APMMonitoringSampledDataTest, EachMessageIsKeptWithProbabilityOneInN) {
  os::ManualClockScope clock;
  const double created = os::Date::now().timeIntervalSince1970();
  std::vector<uint32_t> asked;
  uint32_t answer = 1;
  APMMonitoringSampledData record(os::Value(), [&](uint32_t n) {
    asked.push_back(n);
    return answer;
  });
  record.insertOrUpdateSampledDataWithKey("first", "a");
  clock->advance(5);
  answer = 1;  // not this one
  record.insertOrUpdateSampledDataWithKey("second", "b");
  answer = 0;  // this one
  record.insertOrUpdateSampledDataWithKey("third", "c");
  EXPECT_EQ(asked, (std::vector<uint32_t>{2, 3}));
  const os::Array entry = *record.sampledData();
  EXPECT_EQ(entry, (os::Array{os::Value("c"), os::Value(3), os::Value("third"),
                              os::Value(os::Date::fromTimeIntervalSince1970(created))}));

  // The real source: over many records each of three messages wins about a
  // third of the time.
  int wins[3] = {0, 0, 0};
  for (int i = 0; i < 3000; ++i) {
    APMMonitoringSampledData fair;
    for (const char* key : {"0", "1", "2"}) fair.insertOrUpdateSampledDataWithKey(key, "");
    ++wins[std::stoi(*(*fair.sampledData())[2].string())];
  }
  for (int w : wins) EXPECT_NEAR(w, 1000, 150);
}

TEST(APMMonitoringSampledDataTest, DispatchRules) {
  os::ManualClockScope clock;
  const double now = os::Date::now().timeIntervalSince1970();
  const double period = 86400;
  struct Case {
    const char* name;
    bool entry;
    double entryAge;
    double lastSampled;
    const char* expected;  // null: nothing
  };
  const Case cases[] = {
      {"nothing, never sampled", false, 0, 0, nullptr},
      {"nothing, last sample a period ago", false, 0, now - period - 1, "0:"},
      {"nothing, last sample in the future by a period", false, 0, now + period + 1, "0:"},
      {"nothing, last sample within the period", false, 0, now - 10, nullptr},
      {"young entry, old last sample", true, period - 1, now - 10 * period, nullptr},
      {"old entry", true, period + 1, now - 10, "4:1W_110100:m:-,5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Value stored;
    if (c.entry)
      stored = os::Value(APMMonitoringSampledData::sampledDataEntryWithKey(
          "1W_110100:m", os::Date::fromTimeIntervalSince1970(now - c.entryAge), "-,5", 4));
    APMMonitoringSampledData record(stored);
    const auto parameter = record.monitoringDataForDispatchWithSamplePeriod(period, c.lastSampled);
    EXPECT_EQ(parameter, c.expected ? std::optional<std::string>(c.expected) : std::nullopt);
    EXPECT_EQ(record.sampledData().has_value(), c.entry && c.expected == nullptr);
  }
  EXPECT_EQ(APMMonitoringSampledData::monitoringURLParamWithKey("k", 2, ""), "2:k");
  EXPECT_FALSE(APMMonitoringSampledData(os::Value::arrayOf({os::Value("-"), os::Value(1), os::Value("k")}))
                   .sampledData());
}

TEST_F(MonitorTest, TheRecordIsPersistedDispatchedAndCleared) {
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("Failed to exclude database file from backup", 4, 110100),
            "1W_110100:Failed to exclude database file from backup");
  os::ManualClockScope clock;
  monitor_->logWithLevel(4, 12001, "Failed to exclude database file from backup");
  monitor_->TEST_flush();
  APMUserDefaults suite(kAPMMonitorSuiteName);
  EXPECT_EQ(suite.arrayForKey(kAPMHealthMonitorKey)->at(2),
            os::Value("1W_110100:Failed to exclude database file from backup"));

  // A new monitor (a new launch) finds the record.
  auto relaunched = APMMonitor::initWithLogLevel(6, std::make_shared<RecordingSink>(), 110100);
  EXPECT_EQ(relaunched->TEST_sampledData()->at(0), os::Value(""));

  EXPECT_FALSE(monitor_->monitoringDataForDispatchWithSamplePeriod(3600, 0));
  clock->advance(3601);
  EXPECT_EQ(monitor_->monitoringDataForDispatchWithSamplePeriod(3600, 0),
            "1:1W_110100:Failed to exclude database file from backup");
  EXPECT_TRUE(suite.objectForKey(kAPMHealthMonitorKey).isNull());

  monitor_->logWithLevel(1, 1, "again");
  APMUserDefaults::sharedUserDefaults()->setBool(true, kAPMDebugModeKey);
  monitor_->clearMonitoringData();
  EXPECT_FALSE(monitor_->TEST_sampledData());
  EXPECT_TRUE(suite.objectForKey(kAPMHealthMonitorKey).isNull());
  EXPECT_TRUE(APMUserDefaults::sharedUserDefaults()->objectForKey(kAPMDebugModeKey).isNull());
}

TEST_F(StoreTest, TheRecordMovesFromTheSharedDefaultsIntoTheMonitorSuite) {
  const os::Value old = os::Value(APMMonitoringSampledData::sampledDataEntryWithKey(
      "1E_110100:old", os::Date::fromTimeIntervalSince1970(1), "", 9));
  const os::Value newer = os::Value(APMMonitoringSampledData::sampledDataEntryWithKey(
      "1E_110100:newer", os::Date::fromTimeIntervalSince1970(2), "", 1));
  struct Case {
    const char* name;
    int64_t state;          // stored migration state, -1: none
    bool suiteHasRecord;
    const char* expectedKey;  // of the record the monitor loads
  };
  const Case cases[] = {
      {"never migrated: copied, then removed", -1, false, "1E_110100:old"},
      {"never migrated, suite has one: kept", -1, true, "1E_110100:newer"},
      {"copied before: only removed", 1, false, nullptr},
      {"done: nothing", 2, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto shared = APMUserDefaults::sharedUserDefaults();
    APMUserDefaults suite(kAPMMonitorSuiteName);
    suite.clearAllData();
    shared->setObject(old, kAPMHealthMonitorKey);
    if (c.state >= 0) suite.setInteger(c.state, kAPMMonitorMigrationStateKey);
    if (c.suiteHasRecord) suite.setObject(newer, kAPMHealthMonitorKey);

    auto monitor = APMMonitor::initWithLogLevel(6, std::make_shared<RecordingSink>(), 110100);
    const auto record = monitor->TEST_sampledData();
    EXPECT_EQ(record ? *(*record)[2].string() : std::string("<none>"), c.expectedKey ? c.expectedKey : "<none>");
    EXPECT_EQ(suite.integerForKey(kAPMMonitorMigrationStateKey), 2);
    EXPECT_EQ(shared->objectForKey(kAPMHealthMonitorKey).isNull(), c.state != 2);
    shared->removeObjectForKey(kAPMHealthMonitorKey);
  }
}

class LaunchSwitchTest : public StoreTest {
 protected:
  std::shared_ptr<APMMonitor> launch(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "tests");
    os::ProcessInfo::processInfo().setArguments(arguments);
    auto monitor = APMMonitor::initWithLogLevel(6, std::make_shared<RecordingSink>(), 110100);
    monitor->TEST_flush();
    return monitor;
  }
  static os::Value stored(const char* key) { return APMUserDefaults::sharedUserDefaults()->objectForKey(key); }
};

TEST_F(LaunchSwitchTest, ArgumentsAndStoredValuesDecideTheModes) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool storedDebug;
    bool storedVerbose;
    bool debug;
    bool verbose;
    int64_t logLevel;
  };
  const Case cases[] = {
      {"nothing", {}, false, false, false, false, 6},
      {"stored debug mode", {}, true, false, true, false, 7},
      {"enabling argument", {"-APMAnalyticsDebugEnabled"}, false, false, true, false, 7},
      {"disabling argument beats the stored value", {"-noAPMAnalyticsDebugEnabled"}, true, false, false, false, 6},
      {"disabling beats enabling", {"-REZAnalyticsDebugEnabled", "-noREZAnalyticsDebugEnabled"}, false, false,
       false, false, 6},
      {"verbose by argument", {"-APMAnalyticsVerboseLoggingEnabled"}, false, false, false, true, 8},
      {"stored verbose, disabled by argument", {"-REZAnalyticsVerboseLoggingDisabled"}, false, true, false, false,
       6},
      {"debug and stored verbose", {"-APMAnalyticsDebugEnabled"}, false, true, true, true, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DAZLoggerTEST_reset();
    auto shared = APMUserDefaults::sharedUserDefaults();
    shared->clearAllData();
    if (c.storedDebug) shared->setBool(true, kAPMDebugModeKey);
    if (c.storedVerbose) shared->setBool(true, kAPMVerboseLoggingKey);

    auto monitor = launch(c.arguments);
    EXPECT_EQ(monitor->isDebugModeEnabled(), c.debug);
    EXPECT_EQ(monitor->isVerboseLoggingEnabled(), c.verbose);
    EXPECT_EQ(monitor->logLevel(), c.logLevel);
    EXPECT_EQ(stored(kAPMDebugModeKey).boolValue(), c.debug);
    EXPECT_EQ(stored(kAPMVerboseLoggingKey).boolValue(), c.verbose);
    EXPECT_EQ(DAZIsLoggableLevel(DAZLoggerLevel::Debug), c.debug || c.verbose);
  }
}

TEST_F(LaunchSwitchTest, AnEnablingArgumentPersistsUntilADisablingOne) {
  EXPECT_TRUE(launch({"-REZDebugEnabled"})->isDebugModeEnabled());
  EXPECT_TRUE(launch({})->isDebugModeEnabled());  // the next launch, without arguments
  auto off = launch({"-REZDebugDisabled"});
  EXPECT_FALSE(off->isDebugModeEnabled());
  EXPECT_TRUE(stored(kAPMDebugModeKey).isNull());
  EXPECT_FALSE(launch({})->isDebugModeEnabled());
}

TEST_F(LaunchSwitchTest, AnAppStoreInstallationStaysInNormalMode) {
  apm_test::TestBundle bundle;
  bundle.addFolder("SC_Info");
  APMUserDefaults::sharedUserDefaults()->setBool(true, kAPMVerboseLoggingKey);
  auto monitor = launch({"-REZDebugEnabled", "-APMAnalyticsVerboseLoggingEnabled"});
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_FALSE(monitor->isVerboseLoggingEnabled());
  monitor->setDebugModeEnabled(true);
  EXPECT_FALSE(monitor->isDebugModeEnabled());
  EXPECT_TRUE(stored(kAPMDebugModeKey).isNull());
  EXPECT_EQ(monitor->logLevel(), 6);
}

TEST_F(LaunchSwitchTest, WithTheSDKCoreLinkedItsLoggerLevelIsLeftAlone) {
  os::runtime::registerClass("REZConfiguration");
  DAZLoggerTEST_reset();
  auto monitor = launch({"-REZDebugEnabled"});
  EXPECT_TRUE(monitor->isDebugModeEnabled());
  EXPECT_TRUE(stored(kAPMDebugModeKey).boolValue());
  EXPECT_FALSE(DAZIsLoggableLevel(DAZLoggerLevel::Debug));  // still notice
  // Without an SDK-core argument the monitor sets the level itself.
  DAZLoggerTEST_reset();
  EXPECT_TRUE(launch({"-APMAnalyticsDebugEnabled"})->isDebugModeEnabled());
  EXPECT_TRUE(DAZIsLoggableLevel(DAZLoggerLevel::Debug));
}

}  // namespace
