#include "measurement/engine/attribution/ad_exposure_reporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/engine/sessions/session_reporter.h"
#include "measurement/engine/sessions/testing/reporters_test_support.h"
#include "measurement/engine/sessions/view_controller_screens.h"
#include "os/dispatch/notification.h"
#include "os/uikit/view_controller.h"

namespace {

using apm_reporters_test::int64Parameter;
using apm_reporters_test::stringParameter;

class BannerViewController : public UIViewController {};
class FeedViewController : public UIViewController {};

class AdExposureReporterTest : public apm_reporters_test::ReportersTest {
 protected:
  void SetUp() override {
    ReportersTest::SetUp();
    APMAdExposureReporter::TEST_reset();
    screens_ = APMScreenViewReporter::sharedInstance();
    reporter_ = APMAdExposureReporter::sharedInstance();
    becomeActive();
  }
  void TearDown() override {
    reporter_.reset();
    screens_.reset();
    APMAdExposureReporter::TEST_reset();
    ReportersTest::TearDown();
  }

  using Event = apm_reporters_test::RecordingAnalytics::Event;
  std::vector<Event> events(const std::string& name) {
    reporter_->TEST_flush();
    return analytics_->events(name);
  }
  // The one "_xu" and one "_xa" logged, both lasting `milliseconds`.
  void expectExposure(int64_t milliseconds, const std::string& unit) {
    const auto units = events(kAPMAdUnitExposureEventName);
    const auto any = events(kAPMAdExposureEventName);
    ASSERT_EQ(units.size(), 1u);
    ASSERT_EQ(any.size(), 1u);
    EXPECT_EQ(units[0].origin, "am");
    EXPECT_EQ(any[0].origin, "am");
    EXPECT_EQ(int64Parameter(units[0].parameters, "_xt"), milliseconds);
    EXPECT_EQ(int64Parameter(any[0].parameters, "_xt"), milliseconds);
    EXPECT_EQ(stringParameter(units[0].parameters, "_ai"), unit);
    EXPECT_FALSE(any[0].parameters.contains("_ai"));
  }

  std::shared_ptr<APMScreenViewReporter> screens_;
  std::shared_ptr<APMAdExposureReporter> reporter_;
};

TEST_F(AdExposureReporterTest, OneExposureLogsTheUnitAndAnyAdOnItsScreen) {
  auto banner = std::make_shared<BannerViewController>();
  screens_->setCurrentViewController(banner);
  reporter_->beginAdUnitExposure("unit-1");
  clock_->advance(1.5);
  reporter_->endAdUnitExposure("unit-1");
  expectExposure(1500, "unit-1");
  const auto unit = events(kAPMAdUnitExposureEventName)[0];
  EXPECT_EQ(stringParameter(unit.parameters, "_sc"), "BannerViewController");
  EXPECT_EQ(int64Parameter(unit.parameters, "_si"), apmScreen(*banner)->instanceID());
  EXPECT_EQ(stringParameter(events(kAPMAdExposureEventName)[0].parameters, "_sc"), "BannerViewController");
  EXPECT_EQ(reporter_->TEST_trackedUnitCount(), 0u);
}

TEST_F(AdExposureReporterTest, NestedBeginsNeedAsManyEnds) {
  reporter_->beginAdUnitExposure("unit-1");
  reporter_->beginAdUnitExposure("unit-1");
  clock_->advance(2);
  reporter_->endAdUnitExposure("unit-1");
  EXPECT_TRUE(analytics_->events().empty());
  clock_->advance(1);
  reporter_->endAdUnitExposure("unit-1");
  expectExposure(3000, "unit-1");
}

TEST_F(AdExposureReporterTest, ShortExposuresAreNotLogged) {
  reporter_->beginAdUnitExposure("unit-1");
  clock_->advance(0.8);
  reporter_->endAdUnitExposure("unit-1");
  reporter_->TEST_flush();
  EXPECT_TRUE(analytics_->events().empty());
  EXPECT_TRUE(logged(kAPMAdUnitExposureCodeTooShort));
  EXPECT_TRUE(logged(kAPMAdExposureCodeTooShort));
}

TEST_F(AdExposureReporterTest, ScreenChangeCutsWithTheScreenLeft) {
  auto banner = std::make_shared<BannerViewController>();
  auto feed = std::make_shared<FeedViewController>();
  screens_->setCurrentViewController(banner);
  reporter_->beginAdUnitExposure("unit-1");
  clock_->advance(2);
  screens_->setCurrentViewController(feed);
  expectExposure(2000, "unit-1");
  EXPECT_EQ(stringParameter(events(kAPMAdUnitExposureEventName)[0].parameters, "_sc"), "BannerViewController");
  EXPECT_EQ(stringParameter(events(kAPMAdExposureEventName)[0].parameters, "_sc"), "BannerViewController");

  analytics_->clear();
  clock_->advance(1.5);
  reporter_->endAdUnitExposure("unit-1");
  expectExposure(1500, "unit-1");  // restarted on the new screen
  EXPECT_EQ(stringParameter(events(kAPMAdUnitExposureEventName)[0].parameters, "_sc"), "FeedViewController");
}

TEST_F(AdExposureReporterTest, EngagementTimerCutsOpenIntervals) {
  reporter_->beginAdUnitExposure("unit-1");
  clock_->advance(4);
  os::NotificationCenter::defaultCenter()->postNotificationName(kAPMSessionReporterEngagementTimerDidFire, nullptr);
  expectExposure(4000, "unit-1");
  EXPECT_EQ(reporter_->TEST_trackedUnitCount(), 1u);
}

TEST_F(AdExposureReporterTest, BackgroundTimeNeverCounts) {
  reporter_->beginAdUnitExposure("unit-1");
  clock_->advance(2);
  resignActive();
  expectExposure(2000, "unit-1");
  enterBackground();
  analytics_->clear();
  clock_->advance(100);
  os::NotificationCenter::defaultCenter()->postNotificationName(kAPMSessionReporterEngagementTimerDidFire, nullptr);
  reporter_->TEST_flush();
  EXPECT_TRUE(analytics_->events().empty());
  EXPECT_TRUE(logged(kAPMAdUnitExposureCodeNotActive));
  EXPECT_TRUE(logged(kAPMAdExposureCodeNotActive));

  becomeActive();
  clock_->advance(3);
  reporter_->endAdUnitExposure("unit-1");
  expectExposure(3000, "unit-1");
}

TEST_F(AdExposureReporterTest, AtMostAHundredUnitsAreTracked) {
  for (size_t i = 0; i < kAPMMaxTrackedAdUnits; ++i) reporter_->beginAdUnitExposure("unit-" + std::to_string(i));
  reporter_->beginAdUnitExposure("unit-100");
  EXPECT_EQ(reporter_->TEST_trackedUnitCount(), kAPMMaxTrackedAdUnits);
  EXPECT_TRUE(logged(kAPMAdExposureCodeUnitLimit));
}

// At the limit a further begin of a tracked unit used to be refused as well,
// so the unit's exposure ended at the first of its two ends.
TEST_F(AdExposureReporterTest, AtTheLimitATrackedUnitStillCounts) {
  for (size_t i = 0; i < kAPMMaxTrackedAdUnits; ++i) reporter_->beginAdUnitExposure("unit-" + std::to_string(i));
  reporter_->beginAdUnitExposure("unit-0");
  reporter_->TEST_flush();
  EXPECT_FALSE(logged(kAPMAdExposureCodeUnitLimit));
  clock_->advance(2);
  reporter_->endAdUnitExposure("unit-0");
  EXPECT_TRUE(events(kAPMAdUnitExposureEventName).empty());
  reporter_->endAdUnitExposure("unit-0");
  const auto units = events(kAPMAdUnitExposureEventName);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(stringParameter(units[0].parameters, "_ai"), "unit-0");
  EXPECT_EQ(int64Parameter(units[0].parameters, "_xt"), 2000);
}

TEST_F(AdExposureReporterTest, RefusalsAreLoggedAndChangeNothing) {
  struct Case {
    const char* what;
    std::function<void()> call;
    int64_t code;
  };
  const Case cases[] = {
      {"empty begin", [&] { reporter_->beginAdUnitExposure(""); }, kAPMAdExposureCodeEmptyBeginID},
      {"empty end", [&] { reporter_->endAdUnitExposure(""); }, kAPMAdExposureCodeEmptyEndID},
      {"unknown unit", [&] { reporter_->endAdUnitExposure("never-begun"); }, kAPMAdExposureCodeUnknownUnit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.call();
    reporter_->TEST_flush();
    EXPECT_TRUE(logged(c.code));
    EXPECT_EQ(reporter_->TEST_trackedUnitCount(), 0u);
  }

  reporter_->setReportingEnabled(false);
  reporter_->beginAdUnitExposure("unit-1");
  clock_->advance(2);
  reporter_->endAdUnitExposure("unit-1");
  EXPECT_TRUE(analytics_->events().empty());
  EXPECT_TRUE(logged(kAPMAdUnitExposureCodeDisabled));
  EXPECT_TRUE(logged(kAPMAdExposureCodeDisabled));
}

}  // namespace
