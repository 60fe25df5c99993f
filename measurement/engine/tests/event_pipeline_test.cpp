// Event intake and the event pipeline on a started engine over the real
// store: what reaches raw events, listeners and the interceptor.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>

#include "measurement/engine/events/event_intake.h"
#include "measurement/engine/tests/pipeline_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/engine_services/event_editing.h"

namespace {

using pipeline_test::PipelineTest;
using pipeline_test::now;

os::Value int64(int64_t value) { return os::Value(os::Number::int64(value)); }

// ---- Intake ----

TEST_F(PipelineTest, DefaultParametersFillEventsButNeverErrorEvents) {
  start();
  engine()->setDefaultEventParameters(os::Dictionary{{"shade", "warm"}, {"level", 3}});
  settle();
  logApp("reading", {{"level", 9}});
  engine()->logEventWithOrigin("auto", false, "_err", {{"_err", int64(13)}}, now(), true, false, false, nullptr, {});
  onWorker([](APMMeasurement& engine) {
    engine.handleInternalEventOnWorkerQueue(APMEvent::initWithOrigin("auto", false, "_err", now(), 0,
                                                                     os::Dictionary{{"_err", int64(2)}}));
    engine.handleInternalEventOnWorkerQueue(APMEvent::initWithOrigin("auto", false, "_ou", now(), 0,
                                                                     os::Dictionary{}));
  });
  const auto events = loggedEvents();
  ASSERT_EQ(events.size(), 4u);
  // The event's own value wins over the default.
  EXPECT_EQ(parameters(events[0]).at("level"), int64(9));
  EXPECT_EQ(parameters(events[0]).at("shade"), os::Value("warm"));
  for (const size_t i : {1, 2}) {
    EXPECT_EQ(events[i].at("name"), os::Value("_err"));
    EXPECT_FALSE(parameters(events[i]).contains("shade")) << i;
  }
  EXPECT_EQ(parameters(events[3]).at("shade"), os::Value("warm"));
}

TEST_F(PipelineTest, DefaultParametersAreRemovedByNullAndAllByNil) {
  start();
  engine()->setDefaultEventParameters(os::Dictionary{{"currency", "EUR"}, {"a", 1}});
  engine()->setDefaultEventParameters(os::Dictionary{{"currency", os::Value()}, {"bad name!", 1}});
  settle();
  EXPECT_EQ(persisted()->defaultEventParameters(), (os::Dictionary{{"a", int64(1)}}));
  EXPECT_EQ(count(kAPMIntakeCodeInvalidDefaultName), 1);
  engine()->setDefaultEventParameters(std::nullopt);
  settle();
  EXPECT_EQ(persisted()->defaultEventParameters(), os::Dictionary{});

  // 101 valid names: the one that sorts last goes, with an error event 26.
  os::Dictionary many;
  for (int i = 0; i <= 100; ++i) many.emplace("p" + std::string(i < 10 ? "00" : i < 100 ? "0" : "") + std::to_string(i), i);
  engine()->setDefaultEventParameters(many);
  settle();
  const auto stored = persisted()->defaultEventParameters().value_or(os::Dictionary{});
  EXPECT_EQ(stored.size(), 100u);
  EXPECT_FALSE(stored.contains("p100"));
  EXPECT_TRUE(stored.contains("p099"));
  const auto errors = eventsNamed("_err");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(parameters(errors[0]).at("_err"), int64(26));
}

TEST_F(PipelineTest, ListenersNeverSeeAdEventsAndTheInterceptorTakesPublicEvents) {
  start();
  std::vector<std::string> heard;
  const auto token = APMAnalytics::addLogEventListener(
      [&](const std::shared_ptr<APMEvent>& event) { heard.push_back(event->name()); });
  engine()->setDefaultEventParameters(os::Dictionary{{"shade", "warm"}});
  settle();
  engine()->logEventWithOrigin("am", false, "_ai", {}, now(), true, false, false, nullptr, {});
  engine()->logEventWithOrigin("auto", false, "_xa", {}, now(), true, false, false, nullptr, {});
  engine()->logEventWithOrigin("auto", false, "_xu", {}, now(), true, false, false, nullptr, {});
  engine()->logEventWithOrigin("app", true, "heard", {}, now(), true, false, false, nullptr, {});

  std::vector<os::Dictionary> intercepted;
  engine()->logEventWithOrigin(
      "app", true, "intercepted", {{"own", 1}}, now(), true, false, false,
      [&](const std::string&, const std::string& name, const os::Dictionary& parameters, double) {
        intercepted.push_back(parameters);
        EXPECT_EQ(name, "intercepted");
      },
      {{"_sn", "meter"}});
  settle();
  APMAnalytics::removeLogEventListener(token);
  EXPECT_EQ(heard, std::vector<std::string>{"heard"});
  ASSERT_EQ(intercepted.size(), 1u);
  EXPECT_EQ(intercepted[0], (os::Dictionary{{"own", 1}, {"shade", "warm"}, {"_sn", "meter"}}));
  const auto names = storedNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "intercepted"), 0);
  for (const char* name : {"_ai", "_xa", "_xu", "heard"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;
  }
}

TEST_F(PipelineTest, AStoredFirstOpenRaisesTheKeychainCount) {
  start();  // the first launch stores "_f"
  EXPECT_EQ(engine()->previousFirstOpenCount(), "1");
  onWorker([](APMMeasurement& engine) {
    engine.handleEventOnWorkerQueue(APMEvent::initWithOrigin("auto", false, "_f", now(), 0, os::Dictionary{}));
  });
  EXPECT_EQ(engine()->previousFirstOpenCount(), "2");

  const struct {
    std::optional<std::string> stored;
    std::string next;
  } cases[] = {{std::nullopt, "1"}, {"0", "1"}, {"-4", "1"}, {"x", "1"}, {"41", "42"},
               {"9223372036854775807", "9223372036854775807"}};
  for (const auto& c : cases) EXPECT_EQ(APMNextFirstOpenCount(c.stored), c.next) << c.stored.value_or("none");
}

// ---- Pipeline ----

TEST_F(PipelineTest, AnAllowlistMarksListedEventsAndDropsTheRest) {
  start({{"safelisted_events", os::Value::arrayOf({os::Value("listed")})}});
  logApp("listed", {});
  logApp("other", {});
  const auto events = storedEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("name"), os::Value("listed"));
  EXPECT_EQ(parameters(events[0]).at("dv_safelisted"), int64(1));
  EXPECT_GE(count(kAPMPipelineCodeNotInAllowlist), 1);
}

TEST_F(PipelineTest, ReservedAndDuplicateEventsAreDropped) {
  start();
  const size_t before = storedEvents().size();
  // extend_session other than 1 only logs.
  logApp("reading", {{"extend_session", 2}});
  EXPECT_EQ(count(kAPMPipelineCodeExtendSessionReserved), 1);
  // A subscription purchase counts once per "_did"; "_ssr" once per value.
  onWorker([](APMMeasurement& engine) {
    for (int i = 0; i < 2; ++i) {
      engine.handleEventOnWorkerQueue(APMEvent::initWithOrigin(
          "auto", false, "_iap", now(), 0,
          os::Dictionary{{"subscription", int64(1)}, {"_did", int64(77)}, {"product_id", "pro"}}));
      engine.handleEventOnWorkerQueue(
          APMEvent::initWithOrigin("auto", false, "_ssr", now(), 0, os::Dictionary{{"_ffr", "r1"}}));
    }
  });
  const auto names = storedNames();
  EXPECT_EQ(std::vector<std::string>(names.begin() + before, names.end()),
            (std::vector<std::string>{"reading", "_iap", "_ssr"}));
  EXPECT_EQ(count(kAPMPipelineCodeSubscriptionDuplicate), 1);
  EXPECT_EQ(persisted()->vivuzuvuFeatureRollouts(), "r1");
}

TEST_F(PipelineTest, InTheBackgroundExtendSessionExtendsOrStartsASessionAndExpiryRemovesItsProperties) {
  start();  // starts the launch's session; the app never becomes active here
  onWorker([](APMMeasurement& engine) {
    engine.database()->updateUserAttribute(
        APMUserAttribute::initWithOrigin("auto", "_se", APMValue::initWithInt64(500), now()), nullptr);
  });
  clearStoredEvents();
  const auto sessionProperties = [&] {
    std::vector<bool> present;
    for (const char* name : {"_sid", "_sno", "_se"}) present.push_back(!userAttribute(name).isNull());
    return present;
  };
  const std::vector<bool> all{true, true, true};

  // Extended at 1000 s, the session outlives its 1800 s timeout from the start.
  EXPECT_EQ(sessionProperties(), all);
  clock_->advance(1000);
  logApp("reading", {{"extend_session", 1}});
  clock_->advance(1000);
  logApp("reading", {});
  EXPECT_EQ(sessionProperties(), all);

  // Expired, any event removes the session's properties.
  clock_->advance(1801);
  logApp("reading", {});
  EXPECT_EQ(sessionProperties(), (std::vector<bool>{false, false, false}));
  EXPECT_EQ(count(kAPMPipelineCodeSessionIDRemoveFailed), 0);

  // After expiry, extend_session starts a new session before the event.
  logApp("extended", {{"extend_session", 1}});
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"reading", "reading", "reading", "_s", "extended"}));
  EXPECT_EQ(sessionProperties(), (std::vector<bool>{true, true, false}));
}

TEST_F(PipelineTest, DailyLimitsDropEventsAndKeepCounting) {
  start();
  auto database = engine()->database();
  const int32_t today = database->currentDay();
  const auto setCounts = [&](int32_t all, int32_t publicCount) {
    onWorker([&](APMMeasurement&) {
      ASSERT_TRUE(database->updateDailyCounts(APMDailyCounts(today, 0, all, publicCount, 0, 0, 0), nullptr));
    });
  };
  const size_t before = storedEvents().size();
  // The 100001st event, and the 101001st, are dropped with 23055; between
  // them events are dropped silently.
  for (const int32_t all : {100'000, 100'500, 101'000}) {
    setCounts(all, 0);
    logApp("reading", {});
  }
  EXPECT_EQ(count(kAPMPipelineCodeTooManyEvents), 2);
  EXPECT_EQ(database->dailyCounts(nullptr)->allEventsCount(), 101'001);

  // A public event past 50000 raises the public count, not the all-events
  // count, and logs an error event 16 each time.
  setCounts(60'000, 50'000);
  logApp("reading", {});
  const auto counts = *database->dailyCounts(nullptr);
  EXPECT_EQ(counts.publicEventsCount(), 50'001);
  EXPECT_EQ(counts.allEventsCount(), 60'000 + 1);  // + the error event 16 that followed
  const auto names = storedNames();
  EXPECT_EQ(std::vector<std::string>(names.begin() + before, names.end()), std::vector<std::string>{"_err"});
  EXPECT_EQ(parameters(eventsNamed("_err").back()).at("_err"), int64(16));
}

TEST_F(PipelineTest, PastTheRealtimeLimitAnEventIsStoredButNoLongerRealtime) {
  start();
  auto database = engine()->database();
  onWorker([&](APMMeasurement&) {
    // The day's default limits reached: 10 real-time events, 1 "_dcu".
    ASSERT_TRUE(database->updateDailyCounts(APMDailyCounts(database->currentDay(), 0, 0, 0, 0, 10, 1), nullptr));
  });
  clearStoredEvents();
  // "_iap", "_f" and "_fx" are exempt; "_dcu" has a limit of its own and
  // loses "_r" without a line.
  const struct {
    const char* name;
    bool realtime;
  } cases[] = {{"reading", false}, {"_iap", true}, {"_f", true}, {"_fx", true}, {"_dcu", false}};
  for (const auto& c : cases) {
    onWorker([&](APMMeasurement& engine) {
      engine.handleEventOnWorkerQueue(
          APMEvent::initWithOrigin("auto", false, c.name, now(), 0, os::Dictionary{{"_r", int64(1)}}));
    });
    const auto events = eventsNamed(c.name);
    ASSERT_EQ(events.size(), 1u) << c.name;
    EXPECT_EQ(events[0].at("isRealtime"), os::Value(c.realtime)) << c.name;
    EXPECT_EQ(parameters(events[0]).contains("_r"), c.realtime) << c.name;
  }
  EXPECT_EQ(count(kAPMPipelineCodeRealtimeOverLimit), 1);
}

TEST_F(PipelineTest, ABlocklistedEventIsNotStored) {
  start();
  applyConfig({{"measurement.upload.blacklist_public", "1"}});
  const size_t before = storedNames().size();
  logApp("reading", {});
  onWorker([](APMMeasurement& engine) {
    engine.handleEventOnWorkerQueue(APMEvent::initWithOrigin("auto", false, "_internal", now(), 0, os::Dictionary{}));
  });
  const auto names = storedNames();
  // Under a blanket public blocklist no error event follows the rejection.
  EXPECT_EQ(std::vector<std::string>(names.begin() + before, names.end()), std::vector<std::string>{"_internal"});
}

TEST_F(PipelineTest, AnEventBlocklistedByNameIsRejectedWithErrorEventElevenUnlessThatIsBlocklistedToo) {
  start();
  // The rejection line is level 5, below what the console keeps.
  std::atomic<int> rejected = 0;
  monitor_->TEST_setLogObserver([&](int64_t, int64_t code, const std::vector<APMLogContext>&) {
    if (code == kAPMPipelineCodeRejected) ++rejected;
  });
  // Applies a configuration whose event list blocklists the names.
  const auto blocklist = [&](std::vector<std::string> names) {
    auto config = apm_test::measurementConfig(engine_test::kAppID, {}, 3);
    std::vector<std::shared_ptr<APMPBEventConfig>> list;
    for (const auto& name : names) {
      auto entry = APMPBEventConfig::initWithMessageInfo(nullptr);
      APMPBSetString(entry.get(), 0, name);
      APMPBSetBool(entry.get(), 1, true);
      list.push_back(entry);
    }
    APMPBSetArray(config.get(), 4, list);
    onWorker([config](APMMeasurement& engine) {
      engine.remoteConfigInstance()->parseRemoteConfigFromMeasurementConfig(config);
    });
  };

  blocklist({"blocked"});
  clearStoredEvents();
  logApp("blocked", {});
  logApp("kept", {});
  EXPECT_EQ(rejected, 1);
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"_err", "kept"}));
  const auto errors = eventsNamed("_err");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(parameters(errors[0]).at("_err"), int64(11));
  EXPECT_EQ(parameters(errors[0]).at("_ev"), os::Value("blocked"));

  // A blocklisted "_err" is rejected without begetting another error event.
  blocklist({"blocked", "_err"});
  clearStoredEvents();
  logApp("blocked", {});
  logApp("kept", {});
  EXPECT_EQ(rejected, 3);
  EXPECT_EQ(storedNames(), std::vector<std::string>{"kept"});
  monitor_->TEST_setLogObserver(nullptr);
}

TEST_F(PipelineTest, TheStorageLimitDeletesTheOldestRawEventsSoTheNewOneFits) {
  start();
  applyConfig({{"measurement.store.max_stored_events_per_app", "3"}});
  for (int i = 0; i < 5; ++i) logApp("reading_" + std::to_string(i), {});
  const auto names = storedNames();
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names.back(), "reading_4");
  EXPECT_EQ(names[names.size() - 2], "reading_3");
  EXPECT_GE(count(kAPMPipelineCodeTooManyStored), 1);
}

TEST_F(PipelineTest, NameCardinalityLimitsPublicNamesOnly) {
  start();
  applyConfig({{"measurement.upload.max_event_name_cardinality", "500"}});
  auto database = engine()->database();
  onWorker([&](APMMeasurement&) {
    for (int i = 0; i < 500; ++i) {
      ASSERT_TRUE(database->updateEventAggregates(std::make_shared<APMEventAggregates>("n" + std::to_string(i), 1, 0, 0, 0),
                                                  nullptr));
    }
  });
  logApp("one_more", {});
  onWorker([](APMMeasurement& engine) {
    engine.handleEventOnWorkerQueue(APMEvent::initWithOrigin("auto", false, "_internal", now(), 0, os::Dictionary{}));
  });
  const auto names = storedNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "one_more"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "_internal"), 1);
  EXPECT_EQ(parameters(eventsNamed("_err").back()).at("_err"), int64(8));
  EXPECT_EQ(count(kAPMPipelineCodeNameCardinality), 1);
}

TEST_F(PipelineTest, DebugModeMarksEveryEventRealtime) {
  start();
  monitor_->setDebugModeEnabled(true);
  for (int i = 0; i < 12; ++i) logApp("reading", {});
  monitor_->setDebugModeEnabled(false);
  for (const auto& event : eventsNamed("reading")) {
    EXPECT_EQ(event.at("isRealtime"), os::Value(true));
    EXPECT_EQ(parameters(event).at("_r"), int64(1));
    EXPECT_EQ(parameters(event).at("_dbg"), int64(1));
  }
  EXPECT_EQ(eventsNamed("reading").size(), 12u);
}

// ---- Event editing ----

// An editing engine that renames "rename_me" to "renamed" and creates
// "created" beside it, or fails every event.
class RenamingEditing final : public APMPEventEditingInterface {
 public:
  explicit RenamingEditing(bool fail) : fail_(fail) {}
  void setModuleCreator(APMPModuleCreator, std::string_view) override {}
  os::Status loadProgram(const APMPBProgram&) override { return {}; }
  os::Result<bool> handleEvent(APMPEvent event) override {
    if (fail_) return std::unexpected(os::Error("com.devuvo.zev.measurement.rovav.ErrorDomain", 9));
    context_.setInputEvent(event);
    if (event.name() != "rename_me") return false;
    context_.outputEvent().setName("renamed");
    context_.logEventWithName("created", event.timestamp(), {{"from", "rename_me"}});
    return true;
  }
  bool hasEdits() const override { return !context_.inputEvent().isEqualToEvent(context_.outputEvent()); }
  bool hasCreatedEvents() const override { return !context_.eventsToLog().empty(); }
  const APMPEventContext& eventContext() const override { return context_; }

 private:
  bool fail_;
  APMPEventContext context_;
};

class RenamingServices final : public APMPScriptServices {
 public:
  explicit RenamingServices(bool fail) : fail_(fail) {}
  std::shared_ptr<APMPEventEditingInterface> newEventEditing() const override {
    return std::make_shared<RenamingEditing>(fail_);
  }
  std::shared_ptr<APMPRuntimeValue> newKeyValueStore(std::string, APMPGetValueBlock) const override { return nullptr; }
  std::shared_ptr<APMPRuntimeValue> newObjectProvider(std::string, APMPObjectProviderBlock) const override {
    return nullptr;
  }
  std::shared_ptr<APMPRuntimeValue> newMessageLogger() const override { return nullptr; }

 private:
  bool fail_;
};

TEST_F(PipelineTest, TheConfiguredProgramEditsAndCreatesEventsOrFailsToTheUneditedEvent) {
  const auto runtime = APMPScriptServices::sharedInstance();
  // The schedule's line while offline (23026) counts the schedules.
  monitor_->setVerboseLoggingEnabled(true);
  for (const bool fail : {false, true}) {
    SCOPED_TRACE(fail);
    APMPScriptServices::setSharedInstance(std::make_shared<RenamingServices>(fail));
    start();
    applyConfig({}, /*withProgram=*/true);
    const size_t schedules = count(23026);
    const size_t before = storedEvents().size();
    logApp("rename_me", {});
    const auto events = storedEvents();
    std::vector<std::string> names;
    for (size_t i = before; i < events.size(); ++i) names.push_back(events[i].at("name").stringValue());
    if (!fail) {
      EXPECT_EQ(names, (std::vector<std::string>{"renamed", "created"}));
      EXPECT_EQ(parameters(events.back()).at("from"), os::Value("rename_me"));
      EXPECT_EQ(parameters(events.back()).at("_o"), os::Value("app"));
      EXPECT_EQ(count(23026), schedules + 1);
    } else {
      EXPECT_EQ(names, std::vector<std::string>{"rename_me"});
      EXPECT_EQ(count(kAPMPipelineCodeEditingFailed), 1);
      EXPECT_EQ(count(23026), schedules);
    }
    APMAnalytics::TEST_reset();
  }
  APMPScriptServices::setSharedInstance(runtime);
}

}  // namespace
