// The modules the measurement library hands to programs: key-value stores,
// object providers and the logger, which writes to the measurement monitor.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/script/commands/tests/program_support.h"
#include "measurement/script/runtime/modules.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/user_defaults.h"
#include "platform/utilities/logger.h"

namespace {

using namespace program;

Entity Require(std::string_view name) { return Op("require", {S(name)}); }

class ModulesTest : public ProgramTest {
 protected:
  ModulesTest() {
    runtime_.setModuleCreator(
        [] {
          return APMPKeyValueStore::initWithFunctionName("internal.remoteConfig", [](const std::string& key) {
            return key == "k" ? std::optional<std::string>("v") : std::nullopt;
          });
        },
        u"internal.remoteConfig");
    runtime_.setModuleCreator(
        [] {
          return APMPObjectProvider::initWithName("internal.appMetadata", [] {
            return os::Dictionary{{"platform", os::Value("ios")}, {"zev_version", os::Value(int64_t{110100})}};
          });
        },
        u"internal.appMetadata");
  }
};

TEST_F(ModulesTest, HostModulesAnswerThroughTheirFunctions) {
  struct Case {
    const char* what;
    Entities program;
    const char* result;
    const char* logged;
  } cases[] = {
      {"a setting", {Call(Require("internal.remoteConfig"), "getValue", {S("k"), N(0)})}, "'v'", ""},
      {"a missing setting gives its default unchanged",
       {Call(Require("internal.remoteConfig"), "getValue", {S("missing"), N(42)})}, "42", ""},
      {"getValue counts before evaluating",
       {Call(Require("internal.remoteConfig"), "getValue", {S("k")})}, "rovav 9", ""},
      {"calling the store itself evaluates its arguments",
       {Op("13", {Const("store", Require("internal.remoteConfig")), Op("store", {Log({N(1)})})})}, "undefined", "1"},
      {"an object provider gives its dictionary as a map",
       {Op("13", {Const("meta", Require("internal.appMetadata")), Op("meta", {Log({N(1)})})})},
       "{platform:'ios',zev_version:110100}", ""},
      {"an unknown module has no methods", {Call(Require("internal.unknown"), "getValue", {S("k"), N(0)})}, "rovav 7", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(show(c.program), c.result);
    EXPECT_EQ(logged(), c.logged);
  }
  // Every request of a name gives the module made the first time.
  EXPECT_EQ(*run({Require("internal.remoteConfig")}), *run({Require("internal.remoteConfig")}));
}

TEST(APMRovavLoggerTest, ScriptLevelsMapToMonitorLevels) {
  struct Case {
    int64_t script;
    bool silent;
    bool monitored;
    int64_t monitor;
  } cases[] = {
      {2, false, true, 8}, {2, true, false, 8}, {3, false, true, 7}, {3, true, false, 7},
      {5, true, true, 5},  {5, true, false, 5}, {5, false, true, 4}, {5, false, false, 3},
      {6, true, true, 2},  {6, true, false, 2}, {6, false, true, 1}, {6, false, false, 0},
      {4, true, false, 6}, {0, false, true, 6}, {1, false, true, 6}, {7, true, true, 6},
      {-6, false, false, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.script) + (c.silent ? " silent" : "") + (c.monitored ? " monitored" : ""));
    EXPECT_EQ(APMRovavLogger::monitorLevelWithScriptLevel(c.script, c.silent, c.monitored), c.monitor);
  }
}

// Lines the monitor prints, as "level code message".
class RecordingSink : public APMLogging {
 public:
  void logMessage(const std::string& message, const std::string&, int64_t messageCode, int64_t logLevel) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::to_string(logLevel) + " " + std::to_string(messageCode) + " " + message);
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

class LoggerModuleTest : public ProgramTest {
 protected:
  void SetUp() override {
    os::UserDefaults::resetStandardUserDefaults();
    DAZLoggerTEST_reset();
    DAZSetLoggerLevel(DAZLoggerLevel::Debug);
    monitor_ = APMMonitor::initWithLogLevel(6, sink_, 110100);
    APMMeasurementServices::TEST_setMonitor(monitor_);
    runtime_.setModuleCreator([] { return APMPMessageLogger::initWithLogger(std::make_shared<APMRovavLogger>()); },
                              u"internal.logger");
    ASSERT_EQ(show({Const("logger", Op("require", {S("internal.logger")}))}), "undefined");
  }
  void TearDown() override {
    monitor_->TEST_flush();
    APMMeasurementServices::TEST_setMonitor(nullptr);
    DAZLoggerTEST_flush();
    DAZLoggerTEST_reset();
    os::UserDefaults::resetStandardUserDefaults();
  }
  std::vector<std::string> printed() {
    monitor_->TEST_flush();
    return sink_->take();
  }

  os::TemporarySandbox sandbox_;
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
  std::shared_ptr<APMMonitor> monitor_;
};

TEST_F(LoggerModuleTest, LogLinesReachTheMonitorAtTheirMappedLevels) {
  struct Case {
    const char* what;
    Entity call;
    const char* result;
    std::vector<std::string> printed;
  } cases[] = {
      {"one argument logs at script level 4", Call(Get("logger"), "log", {N(42)}), "undefined", {"6 24005 42"}},
      {"level, message and at most three contexts",
       Call(Get("logger"), "log", {N(6), S("m"), S("a"), S("b"), S("c"), S("d")}), "undefined",
       {"1 24005 m: a, b, c"}},
      {"level 5", Call(Get("logger"), "log", {N(5), S("w")}), "undefined", {"4 24005 w"}},
      {"unmonitored level 6", Call(Call(Get("logger"), "unmonitored", {}), "log", {N(6), S("u")}), "undefined",
       {"0 24005 u"}},
      {"unmonitored level 5", Call(Prop(Get("logger"), S("unmonitored")), "log", {N(5), S("u")}), "undefined",
       {"3 24005 u"}},
      // Silent lines go to the sampled record only.
      {"silent level 6", Call(Prop(Get("logger"), S("silent")), "log", {N(6), S("s")}), "undefined", {}},
      {"a level that is not a number", Call(Get("logger"), "log", {S("x"), S("m")}), "undefined", {"6 24005 m"}},
      {"no argument", Call(Get("logger"), "log", {}), "rovav 9", {}},
      {"a context without a string form", Call(Get("logger"), "log", {N(6), S("m"), Op("4")}), "rovav 5", {}},
      {"the module itself", Op("logger", {N(1)}), "undefined", {}},
      {"silent called itself", Call(Get("logger"), "silent", {}), "function silent", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(show({c.call}), c.result);
    EXPECT_EQ(printed(), c.printed);
  }
}

}  // namespace
