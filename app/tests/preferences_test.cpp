#include "app/preferences/preferences.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "app/tests/app_test_support.h"
#include "os/dispatch/notification.h"
#include "os/foundation/user_defaults.h"
#include "os/uikit/uikit.h"

namespace {

using drosil::testing::AppTest;

std::shared_ptr<os::UserDefaults> defaults() { return os::UserDefaults::standardUserDefaults(); }

// Every notification of one name, recorded while the recorder lives.
class NotificationRecorder {
 public:
  explicit NotificationRecorder(const char* name) {
    os::NotificationCenter::defaultCenter()->addObserver(
        this, [this](const os::Notification& n) { received.push_back(n); }, name, nullptr);
  }
  ~NotificationRecorder() { os::NotificationCenter::defaultCenter()->removeObserver(this); }
  std::vector<os::Notification> received;
};

class LabelOwner : public CompensateManagerDelegate {
 public:
  std::shared_ptr<UILabel> label = std::make_shared<UILabel>();
  std::shared_ptr<UILabel> compensationReading() const override { return label; }
};

class PreferencesTest : public AppTest {};

TEST_F(PreferencesTest, ConstructionSeedsAbsentKeysOnly) {
  struct Case {
    const char* key;
    std::function<void()> construct;
    bool seeded;
  };
  const Case cases[] = {
      {kCompensateKey, [] { CompensateManager(); }, false},
      {kGeoTagEnableKey, [] { GeoTagManager(); }, false},
      {kAlwaysOnEnableKey, [] { AlwaysOnManager(); }, false},
      {kHapticManagerKey, [] { HapticFeedbackManager(); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    ASSERT_TRUE(defaults()->objectForKey(c.key).isNull());
    c.construct();
    EXPECT_EQ(defaults()->objectForKey(c.key), os::Value(c.seeded));
    EXPECT_TRUE(defaults()->objectForKey(c.key).isBool());
  }
  EXPECT_EQ(defaults()->doubleForKey(kCompensateKey), 0.0);

  // A stored value of any type survives construction.
  defaults()->setDouble(-300.0, kCompensateKey);
  defaults()->setObject(os::Value("off"), kHapticManagerKey);
  CompensateManager compensate;
  HapticFeedbackManager haptic;
  EXPECT_EQ(compensate.value(), -300.0);
  EXPECT_EQ(defaults()->objectForKey(kHapticManagerKey), os::Value("off"));
}

TEST_F(PreferencesTest, CompensationSetterLabelsStoresAndPosts) {
  auto owner = std::make_shared<LabelOwner>();
  CompensateManager manager;
  manager.setDelegate(owner);
  NotificationRecorder posted(kCompensateManagerDidChangeNotification);

  const std::pair<double, const char*> cases[] = {{300.0, "300K"}, {-150.0, "-150K"}, {0.5, "0K"}};
  for (const auto& [value, text] : cases) {
    manager.setValue(value);
    EXPECT_EQ(owner->label->text(), text);
    EXPECT_EQ(defaults()->doubleForKey(kCompensateKey), value);
    ASSERT_FALSE(posted.received.empty());
    EXPECT_EQ(posted.received.back().userInfo.at(kCompensateManagerValueKey), os::Value(value));
  }
  EXPECT_EQ(posted.received.size(), 3u);

  // Another instance sees the same value: there is no cached copy.
  EXPECT_EQ(CompensateManager().value(), 0.5);
}

TEST_F(PreferencesTest, SwitchSettersStoreAndPostWithOrWithoutDelegate) {
  struct Recorder : GeoTagManagerDelegate, AlwaysOnManagerDelegate {
    std::vector<bool> geo, alwaysOn;
    void geoTagManagerDidChange(bool on) override { geo.push_back(on); }
    void alwaysOnManagerDidChange(bool on) override { alwaysOn.push_back(on); }
  };
  GeoTagManager geo;
  AlwaysOnManager alwaysOn;
  NotificationRecorder geoPosted(kGeoTagManagerDidChangeNotification);
  NotificationRecorder alwaysOnPosted(kAlwaysOnManagerDidChangeNotification);

  geo.setIsGeoTagEnabled(true);
  alwaysOn.setIsalwaysOnEnabled(true);
  EXPECT_TRUE(defaults()->boolForKey(kGeoTagEnableKey));
  EXPECT_TRUE(defaults()->boolForKey(kAlwaysOnEnableKey));
  ASSERT_EQ(geoPosted.received.size(), 1u);
  EXPECT_EQ(geoPosted.received[0].object, &geo);
  ASSERT_EQ(alwaysOnPosted.received.size(), 1u);
  EXPECT_EQ(alwaysOnPosted.received[0].object, &alwaysOn);

  auto recorder = std::make_shared<Recorder>();
  geo.setDelegate(recorder);
  alwaysOn.setDelegate(recorder);
  geo.setIsGeoTagEnabled(false);
  alwaysOn.setIsalwaysOnEnabled(false);
  EXPECT_EQ(recorder->geo, std::vector<bool>{false});
  EXPECT_EQ(recorder->alwaysOn, std::vector<bool>{false});
  EXPECT_FALSE(GeoTagManager().isGeoTagEnabled());
  EXPECT_FALSE(AlwaysOnManager().isalwaysOnEnabled());
}

TEST_F(PreferencesTest, HapticTapFollowsThePreference) {
  HapticFeedbackManager haptic;
  haptic.lightTapIfEnabled();
  defaults()->setBool(false, kHapticManagerKey);
  haptic.lightTapIfEnabled();
  const auto events = TEST_feedbackEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, UIFeedbackEvent::Kind::Impact);
  EXPECT_EQ(events[0].style, static_cast<int>(UIImpactFeedbackStyle::Light));
}

}  // namespace
