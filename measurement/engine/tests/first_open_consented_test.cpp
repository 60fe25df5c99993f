// The first open stored without an advertising identifier, matched by "_fx"
// once an event is written with one.
#include <gtest/gtest.h>

#include "measurement/engine/events/event_intake.h"
#include "measurement/engine/tests/advertising_module.h"
#include "measurement/engine/tests/pipeline_test_support.h"
#include "measurement/store/consent_settings.h"

namespace {

using pipeline_test::now;
using pipeline_test::PipelineTest;

constexpr const char* kAdvertisingID = "6D92078A-8246-4BA4-AE5B-76104861E7DC";

os::Value int64(int64_t value) { return os::Value(os::Number::int64(value)); }

class FirstOpenConsentedTest : public PipelineTest {
 protected:
  // A public event of that time, stored once this returns.
  void logAt(const std::string& name, double timestamp) {
    engine()->logEventWithOrigin("app", true, name, {}, timestamp, true, false, false, nullptr, {});
    settle();
  }
};

TEST_F(FirstOpenConsentedTest, AnEventWithTheAdvertisingIdentifierLogsTheFirstOpenItMatchesOnce) {
  start();  // "_f" stored without an advertising identifier
  ASSERT_EQ(eventsNamed("_f").size(), 1u);
  EXPECT_TRUE(persisted()->unmatchedFirstOpenWithoutIDFA());
  engine_test::AdvertisingIdentifierScope advertising(kAdvertisingID);

  // Denied ad storage keeps the identifier out of the metadata: no match yet.
  APMConsentSettingsUtil::setConsentSettings(os::Dictionary{{kAPMConsentTypeAdStorage, "denied"}});
  logAt("reading", now());
  EXPECT_TRUE(eventsNamed("_fx").empty());
  EXPECT_TRUE(persisted()->unmatchedFirstOpenWithoutIDFA());
  APMConsentSettingsUtil::setConsentSettings(os::Dictionary{{kAPMConsentTypeAdStorage, "granted"}});

  // "_pfo": earlier first opens less this one; "_uwa": "_fi" below 1.
  const struct {
    const char* previousFirstOpens;
    int64_t firstOpenAfterInstall;
    int64_t pfo, uwa;
  } cases[] = {{"1", 1, 0, 0}, {"4", 0, 3, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.previousFirstOpens);
    persisted()->setUnmatchedFirstOpenWithoutIDFA(true);
    onWorker([&](APMMeasurement& engine) {
      engine.setPreviousFirstOpenCount(c.previousFirstOpens);
      engine.database()->updateUserAttribute(
          APMUserAttribute::initWithOrigin("auto", "_fi", APMValue::initWithInt64(c.firstOpenAfterInstall), now()),
          nullptr);
    });
    clearStoredEvents();
    const double stamped = now() - 100;
    logAt("reading", stamped);
    logAt("later", now());
    // Written after the event that matched, with that event's time.
    ASSERT_EQ(storedNames(), (std::vector<std::string>{"reading", "_fx", "later"}));
    const auto matched = eventsNamed("_fx")[0];
    EXPECT_EQ(matched.at("origin"), os::Value("auto"));
    EXPECT_DOUBLE_EQ(matched.at("timestamp").doubleValue(), stamped);
    EXPECT_EQ(matched.at("isRealtime"), os::Value(true));
    EXPECT_EQ(parameters(matched),
              (os::Dictionary{{"_o", "auto"}, {"_r", int64(1)}, {"_pfo", int64(c.pfo)}, {"_uwa", int64(c.uwa)}}));
    EXPECT_FALSE(persisted()->unmatchedFirstOpenWithoutIDFA());
  }
}

}  // namespace
