#include "measurement/store/identity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <regex>
#include <set>
#include <thread>
#include <utility>

#include "measurement/store/consent_settings.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/identifiers.h"
#include "measurement/store/identity_support.h"
#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"
#include "os/dispatch/run_loop.h"
#include "os/foundation/device_profile.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"

namespace {

namespace rt = os::runtime;

// A companion module's answers, set by the test. Thread-safe: identity asks
// from its queues. A fetch of the advertising identifier can be made late:
// it moves the manual clock on before it answers, and can then hold until
// released.
class FakeSupport : public APMIdentitySupport {
 public:
  void set(bool hasLimitedAdTracking, bool hasStatus, uint64_t status, std::optional<std::string> identifier) {
    std::lock_guard lock(mutex_);
    hasLimitedAdTracking_ = hasLimitedAdTracking;
    hasStatus_ = hasStatus;
    status_ = status;
    identifier_ = std::move(identifier);
  }
  void setIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(mutex_);
    identifier_ = std::move(identifier);
  }
  void setStatus(uint64_t status) {
    std::lock_guard lock(mutex_);
    status_ = status;
  }
  void setLimitedAdTracking(bool limited) {
    std::lock_guard lock(mutex_);
    limitedAdTracking_ = limited;
  }
  // The next fetch moves `clock` on by `nanos` and, with `hold`, waits for
  // release() before it answers.
  void makeNextFetchLate(os::ManualClock* clock, int64_t nanos, bool hold) {
    std::lock_guard lock(mutex_);
    clock_ = clock;
    lateNanos_ = nanos;
    holdNext_ = hold;
  }
  // Lets the oldest held fetch answer (or the next one, should it not have
  // begun yet).
  void release() {
    std::lock_guard lock(mutex_);
    ++releases_;
    released_.notify_all();
  }
  int fetches() {
    std::lock_guard lock(mutex_);
    return fetches_;
  }

  bool hasAppDataConsentStatus() override {
    std::lock_guard lock(mutex_);
    return hasStatus_;
  }
  uint64_t appDataConsentStatus() override {
    std::lock_guard lock(mutex_);
    return status_;
  }
  bool hasLimitedAdTracking() override {
    std::lock_guard lock(mutex_);
    return hasLimitedAdTracking_;
  }
  bool limitedAdTracking() override {
    std::lock_guard lock(mutex_);
    return limitedAdTracking_;
  }
  std::optional<std::string> resettableDeviceID() override {
    std::unique_lock lock(mutex_);
    ++fetches_;
    // This fetch's answer and lateness, taken as it begins.
    const std::optional<std::string> answer = identifier_;
    const int64_t lateNanos = std::exchange(lateNanos_, 0);
    const int ticket = std::exchange(holdNext_, false) ? ++holds_ : 0;
    if (lateNanos > 0) {
      os::ManualClock* clock = clock_;
      lock.unlock();
      clock->advanceNanos(lateNanos);
      lock.lock();
    }
    released_.wait(lock, [&] { return releases_ >= ticket; });
    return answer;
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool hasLimitedAdTracking_ = true;       // guarded by mutex_
  bool hasStatus_ = true;                  // guarded by mutex_
  uint64_t status_ = 3;                    // guarded by mutex_
  bool limitedAdTracking_ = false;         // guarded by mutex_
  std::optional<std::string> identifier_;  // guarded by mutex_
  os::ManualClock* clock_ = nullptr;       // guarded by mutex_
  int64_t lateNanos_ = 0;                  // guarded by mutex_
  bool holdNext_ = false;                  // guarded by mutex_
  int holds_ = 0;                          // guarded by mutex_
  int releases_ = 0;                       // guarded by mutex_
  int fetches_ = 0;                        // guarded by mutex_
};

// The companion module as the runtime finds it: an object of the class
// "APMPlatformIdentitySupport" that is also an APMIdentitySupport.
class PlatformSupport : public rt::Object, public FakeSupport {
 public:
  PlatformSupport() : rt::Object(rt::classFromString(kAPMPlatformIdentitySupportClassName)) {}
};

std::mutex gPlatformMutex;
std::shared_ptr<PlatformSupport> gPlatform;  // guarded by gPlatformMutex; null: the module gives no object

const rt::ClassRegistration kPlatformSupportClass{
    kAPMPlatformIdentitySupportClassName, "", [](rt::Class& cls) {
      cls.addProtocol(kAPMIdentitySupportProtocol);
      cls.addClassMethod(kAPMPlatformIdentitySupportSharedInstanceSelector,
                         rt::makeClassImp<std::shared_ptr<rt::Object>>([](rt::Class&) -> std::shared_ptr<rt::Object> {
                           std::lock_guard lock(gPlatformMutex);
                           return gPlatform;
                         }));
    }};

void setPlatform(std::shared_ptr<PlatformSupport> platform) {
  std::lock_guard lock(gPlatformMutex);
  gPlatform = std::move(platform);
}

bool isAppInstanceID(const std::optional<std::string>& id) {
  return id && std::regex_match(*id, std::regex("[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}"));
}

os::DeviceProfile systemVersion(const char* version) {
  os::DeviceProfile profile;
  profile.systemVersion = version;
  return profile;
}

class IdentityTest : public apm_test::MonitoredTest {
 protected:
  void SetUp() override {
    MonitoredTest::SetUp();
    APMConsentSettingsUtil::TEST_reset();
    APMIdentity::TEST_resetAppIDOnce();
    APMIdentity::setRemoteSettingsProvider({});
    config_ = APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
    ASSERT_TRUE(config_);
    support_->set(true, true, 3, std::nullopt);
  }
  void TearDown() override {
    identity_.reset();
    APMIdentity::setRemoteSettingsProvider({});
    APMConsentSettingsUtil::TEST_reset();
    config_.reset();
    MonitoredTest::TearDown();
  }
  std::shared_ptr<APMIdentity> makeIdentity() { return APMIdentity::initWithPersistedConfig(config_, support_); }
  static void setConsent(os::Dictionary settings) { APMConsentSettingsUtil::setConsentSettings(std::move(settings)); }
  // Drops the lines logged so far, once they are all written.
  void clearLines() {
    (void)codes();
    sink_->clear();
  }
  bool logged(int64_t code) {
    const auto all = codes();
    return std::find(all.begin(), all.end(), code) != all.end();
  }
  // Levels 2 and 5 are never printed, only sampled: runs `fn` over an empty
  // health record and answers the sample key of what it logged at a
  // monitorable level ("1E_110100:<text>"), with the count of such lines.
  std::pair<std::string, int64_t> sampled(const std::function<void()>& fn) {
    monitor_->TEST_flush();
    monitor_->clearMonitoringData();
    fn();
    const auto entry = monitor_->TEST_sampledData();
    if (!entry) return {"", 0};
    return {(*entry)[2].stringValue(), (*entry)[1].int64Value()};
  }

  os::ManualClockScope clock_;
  std::shared_ptr<APMPersistedConfig> config_;
  std::shared_ptr<FakeSupport> support_ = std::make_shared<FakeSupport>();
  std::shared_ptr<APMIdentity> identity_;
};

TEST_F(IdentityTest, AFreshInstallGetsAnAppInstanceIDOnlyWhileAnalyticsStorageIsGranted) {
  setConsent({{"analytics_storage", "denied"}});
  identity_ = makeIdentity();
  EXPECT_EQ(config_->appInstanceID(), std::nullopt);
  EXPECT_EQ(identity_->appInstanceID(), std::nullopt);
  EXPECT_EQ(config_->appInstanceID(), std::nullopt);  // the refresh made none either

  setConsent({{"analytics_storage", "granted"}});
  identity_ = makeIdentity();
  const std::optional<std::string> made = config_->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(made)) << made.value_or("none");
  EXPECT_EQ(identity_->appInstanceID(), made);
  EXPECT_EQ(makeIdentity()->appInstanceID(), made);  // the next launch keeps it

  // The refresh makes one when it is missing.
  config_->setAppInstanceID(std::nullopt);
  identity_->updateIdentifiersAndWait();
  EXPECT_TRUE(isAppInstanceID(config_->appInstanceID()));
  EXPECT_NE(config_->appInstanceID(), made);
}

TEST_F(IdentityTest, ANewAdvertisingIdentifierReplacesTheAppInstanceID) {
  identity_ = makeIdentity();
  const auto first = config_->appInstanceID();
  ASSERT_TRUE(first);

  // The first identifier ever seen only stores its hash.
  support_->setIdentifier("AAAA-1");
  EXPECT_EQ(identity_->resettableDeviceID(), "AAAA-1");
  EXPECT_EQ(identity_->hashedResettableDeviceID(), apm_MD5String("AAAA-1"));
  EXPECT_EQ(identity_->appInstanceID(), first);
  EXPECT_FALSE(identity_->shouldSetLastAdvertisingIDResetUserProperty());

  // The same one again changes nothing.
  identity_->updateIdentifiersAndWait();
  EXPECT_EQ(identity_->appInstanceID(), first);

  support_->setIdentifier("BBBB-2");
  identity_->updateIdentifiersAndWait();
  const auto second = identity_->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(second));
  EXPECT_NE(second, first);
  EXPECT_TRUE(identity_->shouldSetLastAdvertisingIDResetUserProperty());
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("BBBB-2"));

  // The all-zero identifier is none: the cache is cleared, the hash stays.
  support_->setIdentifier(kAPMZeroResettableDeviceID);
  EXPECT_EQ(identity_->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("BBBB-2"));
  EXPECT_EQ(identity_->appInstanceID(), second);

  // An empty answer leaves the cache as it is.
  support_->setIdentifier("BBBB-2");
  EXPECT_EQ(identity_->resettableDeviceID(), "BBBB-2");
  support_->setIdentifier("");
  EXPECT_EQ(identity_->resettableDeviceID(), "BBBB-2");
}

TEST_F(IdentityTest, TheAllZeroIdentifierFirstStoresNoHash) {
  support_->setIdentifier(kAPMZeroResettableDeviceID);
  identity_ = makeIdentity();
  EXPECT_EQ(identity_->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(config_->hashedResettableDeviceID(), std::nullopt);
}

TEST_F(IdentityTest, StatusFromTheSupportAndTheTrackingGate) {
  struct Case {
    const char* system;
    bool hasLimitedAdTracking, hasStatus;
    uint64_t status;
    APMAppleConsentStatus expected;
  };
  using S = APMAppleConsentStatus;
  const Case cases[] = {
      {"17.5", false, true, 3, S::unavailable},  {"17.5", true, false, 3, S::noUsableStatus},
      {"17.5", true, true, 0, S::notDetermined}, {"17.5", true, true, 1, S::restricted},
      {"17.5", true, true, 2, S::denied},        {"17.5", true, true, 3, S::authorized},
      {"17.5", true, true, 4, S::noUsableStatus}, {"17.5", true, true, uint64_t(-1), S::noUsableStatus},
      {"14.0", true, true, 0, S::notDetermined}, {"13.7", true, true, 3, S::unavailable},
  };
  identity_ = makeIdentity();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.system) + " status " + std::to_string(c.status));
    os::ScopedDeviceProfile device(systemVersion(c.system));
    support_->set(c.hasLimitedAdTracking, c.hasStatus, c.status, "ID-1");
    EXPECT_EQ(identity_->appleConsentStatus(), c.expected);
    EXPECT_EQ(identity_->resettableDeviceID(), "ID-1");  // the gate is off
  }

  // With the gate on, only an authorised status lets the identifier in; a
  // gated refresh keeps what was cached.
  APMIdentity::setRemoteSettingsProvider([] { return APMIdentityRemoteSettings{0, true}; });
  support_->set(true, true, 0, "ID-2");
  identity_ = makeIdentity();
  EXPECT_EQ(identity_->appleConsentStatus(), S::notDetermined);
  EXPECT_EQ(identity_->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("ID-1"));
  support_->setStatus(3);
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-2");
  support_->setStatus(2);
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-2");
  {
    // Before system 14 there is no gate.
    os::ScopedDeviceProfile device(systemVersion("13.7"));
    support_->setIdentifier("ID-3");
    EXPECT_EQ(identity_->resettableDeviceID(), "ID-3");
  }
}

TEST_F(IdentityTest, DeniedAdStorageKeepsTheAdvertisingIdentifierOut) {
  support_->setIdentifier("ID-1");
  identity_ = makeIdentity();
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-1");
  setConsent({{"ad_storage", "denied"}});
  EXPECT_EQ(identity_->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity_->hashedResettableDeviceID(), std::nullopt);
  support_->setIdentifier("ID-2");
  identity_->updateIdentifiersAndWait();
  EXPECT_EQ(config_->hashedResettableDeviceID(), apm_MD5String("ID-1"));  // nothing new stored
  EXPECT_EQ(support_->fetches(), 1);
}

TEST_F(IdentityTest, ARefreshIsGoodForTheCacheTime) {
  APMIdentity::setRemoteSettingsProvider([] { return APMIdentityRemoteSettings{60, false}; });
  support_->setIdentifier("ID-1");
  identity_ = makeIdentity();
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-1");
  support_->setIdentifier("ID-2");
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-2");  // no time has passed: not in the past yet
  clock_->advance(1);
  support_->setIdentifier("ID-3");
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-2");
  clock_->advance(59);
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-3");
  // Without an app instance ID the cache does not hold.
  clock_->advance(1);
  support_->setIdentifier("ID-4");
  config_->setAppInstanceID(std::nullopt);
  EXPECT_EQ(identity_->resettableDeviceID(), "ID-4");
}

TEST_F(IdentityTest, LimitedAdTrackingAndTheVendorIdentifier) {
  support_->setLimitedAdTracking(true);
  identity_ = makeIdentity();
  EXPECT_TRUE(identity_->limitedAdTracking());
  EXPECT_TRUE(identity_->hasLimitedAdTracking());

  // No advertising identifier: the vendor's, read on the main thread and kept.
  const auto vendor = UIDevice::currentDevice()->identifierForVendor();
  ASSERT_TRUE(vendor);
  EXPECT_EQ(identity_->identifierForVendor(), vendor->UUIDString());
  auto reader = std::async(std::launch::async, [this] { return identity_->identifierForVendor(); });
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (reader.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready &&
         std::chrono::steady_clock::now() < limit) {
    os::RunLoop::main().runOnce();
  }
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(reader.get(), vendor->UUIDString());

  setConsent({{"analytics_storage", "denied"}});
  EXPECT_EQ(identity_->identifierForVendor(), std::nullopt);
  setConsent({});
  support_->setIdentifier("ID-1");
  EXPECT_EQ(identity_->identifierForVendor(), std::nullopt);
}

TEST_F(IdentityTest, TheInfoPlistSwitchTurnsTheVendorIdentifierOff) {
  apm_test::TestBundle bundle;
  bundle.setInfo(kAPMIDFVCollectionEnabledKey, "<false/>");
  identity_ = makeIdentity();
  EXPECT_EQ(identity_->identifierForVendor(), std::nullopt);
  const auto all = lines();
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const apm_test::SinkLine& line) {
    return line.code == 20009 && line.message == "DEVUVO_ANALYTICS_IDFV_COLLECTION_ENABLED = NO";
  }));
}

TEST_F(IdentityTest, BundleValuesAndTheServicePropertyList) {
  apm_test::TestBundle bundle;
  bundle.addFile("Info.plist",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                 "<key>CFBundleIdentifier</key><string>com.example.meter</string>"
                 "<key>CFBundleShortVersionString</key><string>2.5</string>"
                 "<key>CFBundleVersion</key><string>2.5b</string></dict></plist>\n");
  bundle.addFile("RirudiVizeziv-Azir.plist",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                 "<key>DEVUVO_APP_ID</key><string>1:123:ios:abc</string>"
                 "<key>ROZAR_APP_ID</key><string>rz-1</string></dict></plist>\n");
  EXPECT_EQ(sampled([&] { identity_ = makeIdentity(); }),
            std::make_pair(std::string("1W_110100:app version numeric has non-numeric characters"), int64_t(1)));
  EXPECT_EQ(identity_->appID(), "com.example.meter");
  EXPECT_EQ(identity_->appVersion(), "2.5");
  EXPECT_EQ(identity_->appVersionMajor(), 2);
  EXPECT_EQ(identity_->appVersionMinor(), 5);
  EXPECT_EQ(identity_->appVersionRelease(), std::nullopt);
  EXPECT_EQ(identity_->appIDFromZEV(), "1:123:ios:abc");
  EXPECT_EQ(identity_->appIDFromRoZar(), "rz-1");
}

TEST_F(IdentityTest, VersionFields) {
  struct Case {
    const char* version;
    std::vector<int64_t> fields;
    size_t logLines;
  };
  const Case cases[] = {
      {"1.2b.3", {1, 2, 3}, 1}, {"10..2", {10, 2}, 0},   {"", {}, 0},
      {"a.7", {0, 7}, 1},       {".4.", {4}, 0},        {"1.2.3.4", {1, 2, 3, 4}, 0},
      {"99999999999999999999", {INT64_MAX}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    std::vector<int64_t> fields;
    const auto [key, count] = sampled([&] { fields = APMIdentity::numericFieldsFromAppVersionNumeric(c.version); });
    EXPECT_EQ(fields, c.fields);
    EXPECT_EQ(count, int64_t(c.logLines));
    if (count > 0) {
      EXPECT_EQ(key, "1W_110100:app version numeric has non-numeric characters");
    }
  }
  EXPECT_EQ(APMIdentity::duvEvodedezudiLibraryVersion(), 110100);
  EXPECT_EQ(APMIdentifiers::sharedInstance()->libraryVersion(), "110100");
}

TEST_F(IdentityTest, SessionStitchingToken) {
  identity_ = makeIdentity();
  auto token = [&](int64_t n, bool expired, bool userID = true) {
    return identity_->sessionStitchingTokenWithSessionNumber(n, expired, userID);
  };
  const auto t1 = token(5, false);
  ASSERT_TRUE(isAppInstanceID(t1));
  EXPECT_EQ(token(5, false), t1);       // the same session
  const auto t2 = token(5, true);       // the session expired: a new token
  EXPECT_NE(t2, t1);
  EXPECT_EQ(token(6, false), t2);       // an expired session followed by the next one
  const auto t3 = token(8, false);      // a gap
  EXPECT_NE(t3, t2);
  EXPECT_NE(token(7, false), t3);       // going back

  // Without a user ID a token lasts a day.
  const auto t4 = token(9, false, false);
  clock_->advance(86399);
  EXPECT_EQ(token(9, false, false), t4);
  clock_->advance(1);
  const auto t5 = token(9, false, false);
  EXPECT_NE(t5, t4);

  // Denied analytics storage: none, and nothing changes.
  setConsent({{"analytics_storage", "denied"}});
  EXPECT_EQ(token(12, true, false), std::nullopt);
  setConsent({});
  EXPECT_EQ(token(9, false, false), t5);

  identity_->resetSessionStitchingToken();
  EXPECT_NE(token(9, false, false), t5);
}

TEST_F(IdentityTest, AppIDsDiversionKeyAndEphemeralID) {
  identity_ = makeIdentity();
  EXPECT_EQ(identity_->appIDFromZEV(), std::nullopt);
  EXPECT_EQ(sampled([&] { identity_->setAppIDFromZEV(""); }).first, "1E_110100:Cannot set empty Devuvo App ID");
  identity_->setAppIDFromZEV("1:first");
  identity_->setAppIDFromZEV("1:second");
  EXPECT_EQ(sampled([&] { identity_->setAppIDFromRoZar(std::nullopt); }).first,
            "1E_110100:Cannot set empty RoZar App ID");
  identity_->setAppIDFromRoZar("rz");
  EXPECT_EQ(identity_->appIDFromZEV(), "1:first");
  EXPECT_EQ(identity_->appIDFromRoZar(), "rz");

  config_->setDiversionKey("abcd");
  const std::string key = identity_->diversionKey();
  EXPECT_TRUE(std::regex_match(key, std::regex("[0-9A-F]{5}"))) << key;
  EXPECT_EQ(config_->diversionKey(), key);
  EXPECT_EQ(identity_->diversionKey(), key);
  config_->setDiversionKey("abcde");
  EXPECT_EQ(identity_->diversionKey(), "abcde");

  const std::string ephemeral = identity_->ephemeralAppInstanceID();
  EXPECT_EQ(identity_->ephemeralAppInstanceID(), ephemeral);
  identity_->resetEphemeralAppInstanceID();
  EXPECT_NE(identity_->ephemeralAppInstanceID(), ephemeral);
  EXPECT_NE(config_->appInstanceID(), ephemeral);

  identity_->setAppInstanceID("FIXED");
  identity_->setShouldSetLastAdvertisingIDResetUserProperty(true);
  EXPECT_EQ(identity_->appInstanceID(), "FIXED");
  EXPECT_TRUE(identity_->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, AMissingAppIDIsReportedWhenTheAnalyticsInterfaceIsThere) {
  if (!rt::classFromString(kAPMAnalyticsInterfaceClassName)) rt::registerClass(kAPMAnalyticsInterfaceClassName);
  identity_ = makeIdentity();
  const auto all = lines();
  const auto line = std::find_if(all.begin(), all.end(), [](const auto& l) { return l.code == 20006; });
  ASSERT_NE(line, all.end());
  EXPECT_EQ(line->level, 0);
  EXPECT_TRUE(line->message.ends_with(" See https://docs.devuvo.invalid/analytics/app-id")) << line->message;
}

TEST_F(IdentityTest, NoPersistedConfigurationMakesNoIdentity) {
  std::shared_ptr<APMIdentity> none;
  EXPECT_EQ(sampled([&] { none = APMIdentity::initWithPersistedConfig(nullptr, support_); }).first,
            "1E_110100:Unable to create measurement identity, missing a valid persisted config instance");
  EXPECT_EQ(none, nullptr);
}

// ---- The bridge to the companion module ----

class DefaultIdentitySupportTest : public IdentityTest {
 protected:
  void TearDown() override {
    setPlatform(nullptr);
    IdentityTest::TearDown();
  }
  std::shared_ptr<PlatformSupport> platform_ = std::make_shared<PlatformSupport>();
};

TEST_F(DefaultIdentitySupportTest, WithoutTheModuleThereIsNoAdvertisingIdentifier) {
  setPlatform(nullptr);  // the class is there but gives no object
  auto support = APMDefaultIdentitySupport::init();
  EXPECT_FALSE(support->hasPlatformIdentitySupport());
  EXPECT_TRUE(logged(44003));
  EXPECT_EQ(support->resettableDeviceID(), std::nullopt);
  EXPECT_FALSE(support->hasAppDataConsentStatus());
  EXPECT_EQ(support->appDataConsentStatus(), UINT64_MAX);
  EXPECT_FALSE(support->hasLimitedAdTracking());
  EXPECT_TRUE(support->limitedAdTracking());
  {
    os::ScopedDeviceProfile device(systemVersion("13.7"));
    EXPECT_FALSE(support->limitedAdTracking());
  }

  identity_ = APMIdentity::initWithPersistedConfig(config_, support);
  EXPECT_EQ(identity_->appleConsentStatus(), APMAppleConsentStatus::unavailable);
  EXPECT_EQ(identity_->resettableDeviceID(), std::nullopt);
  EXPECT_TRUE(isAppInstanceID(identity_->appInstanceID()));
}

TEST_F(DefaultIdentitySupportTest, TheModuleIsFoundByNameAndAnswersThroughTheBridge) {
  struct Case {
    bool hasLimitedAdTracking;
    std::vector<int64_t> codes;
  };
  const Case cases[] = {{true, {44000, 44001}}, {false, {44000, 44002}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hasLimitedAdTracking);
    clearLines();
    platform_->set(c.hasLimitedAdTracking, true, 3, "ID-1");
    setPlatform(platform_);
    auto support = APMDefaultIdentitySupport::init();
    EXPECT_TRUE(support->hasPlatformIdentitySupport());
    EXPECT_EQ(codes(), c.codes);
    EXPECT_EQ(support->resettableDeviceID(), "ID-1");
    EXPECT_EQ(support->appDataConsentStatus(), 3u);
    EXPECT_FALSE(support->limitedAdTracking());
  }
  const auto all = lines();
  EXPECT_TRUE(all.back().message.ends_with(" Learn more at https://docs.devuvo.invalid/analytics/ad-support"));

  platform_->setLimitedAdTracking(true);
  platform_->setIdentifier(kAPMZeroResettableDeviceID);
  auto support = APMDefaultIdentitySupport::init();
  EXPECT_TRUE(support->limitedAdTracking());  // from 14: the all-zero identifier
  os::ScopedDeviceProfile device(systemVersion("13.7"));
  platform_->setLimitedAdTracking(false);
  EXPECT_FALSE(support->limitedAdTracking());  // before: the module's own answer
}

TEST_F(DefaultIdentitySupportTest, TheAdvertisingIdentifierIsWaitedForAtMostTenMilliseconds) {
  platform_->set(true, true, 3, "A");
  setPlatform(platform_);
  auto support = APMDefaultIdentitySupport::init();
  EXPECT_EQ(support->resettableDeviceID(), "A");

  // 9 ms of clock time: within the bound.
  platform_->setIdentifier("B");
  platform_->makeNextFetchLate(&clock_.clock(), 9 * os::kNanosPerMillisecond, false);
  EXPECT_EQ(support->resettableDeviceID(), "B");

  // 11 ms: the caller gets the previous answer; the late one lands later.
  platform_->setIdentifier("C");
  platform_->makeNextFetchLate(&clock_.clock(), 11 * os::kNanosPerMillisecond, true);
  EXPECT_EQ(support->resettableDeviceID(), "B");
  platform_->release();
  platform_->setIdentifier("D");
  platform_->makeNextFetchLate(&clock_.clock(), 11 * os::kNanosPerMillisecond, true);
  EXPECT_EQ(support->resettableDeviceID(), "C");
  platform_->release();
  EXPECT_EQ(platform_->fetches(), 4);
}

// ---- Identifiers ----

class FakeEngine : public APMMeasurementServices {
 public:
  explicit FakeEngine(std::shared_ptr<APMIdentity> identity) : identity_(std::move(identity)) {}
  bool isEnabled() const override { return true; }
  std::shared_ptr<APMIdentity> identity() const override { return identity_; }
  std::shared_ptr<APMDatabase> database() const override { return nullptr; }
  std::shared_ptr<APMRemoteConfigSettings> engineRemoteConfig() const override { return nullptr; }
  std::shared_ptr<APMScheduler> scheduler() const override { return nullptr; }
  void writeEventOnWorkerQueue(std::shared_ptr<APMEvent>) override {}
  void writeFilteredEventOnWorkerQueue(std::shared_ptr<APMEvent>) override {}

 private:
  std::shared_ptr<APMIdentity> identity_;
};

TEST_F(IdentityTest, IdentifiersComeFromTheEnginesIdentity) {
  identity_ = makeIdentity();
  APMMeasurementServices::setSharedInstance(std::make_shared<FakeEngine>(identity_));
  APMIdentifiers identifiers;
  const auto logs = [&](const std::function<void()>& fn) { return sampled(fn).first; };

  EXPECT_EQ(logs([&] { EXPECT_EQ(identifiers.devuvoAppID(), std::nullopt); }),
            "1E_110100:Unable to fetch Devuvo App ID from identity");
  EXPECT_EQ(logs([&] { EXPECT_EQ(identifiers.analyticsAppID(), std::nullopt); }),
            "1E_110100:Unable to fetch effective App ID from identity");
  identity_->setAppIDFromRoZar("rz");
  EXPECT_EQ(identifiers.analyticsAppID(), "rz");
  identity_->setAppIDFromZEV("1:zev");
  EXPECT_EQ(identifiers.devuvoAppID(), "1:zev");
  EXPECT_EQ(identifiers.analyticsAppID(), "1:zev");
  EXPECT_EQ(identifiers.appInstanceID(), config_->appInstanceID());
  setConsent({{"analytics_storage", "denied"}});
  EXPECT_EQ(logs([&] { EXPECT_EQ(identifiers.appInstanceID(), std::nullopt); }),
            "1E_110100:Unable to fetch App Instance ID from identity");

  EXPECT_EQ(logs([&] { identifiers.setOrigin(""); }),
            "1E_110100:Cannot set the data collection origin. Origin cannot be empty");
  identifiers.setOrigin("app");
  identifiers.setOrigin(std::nullopt);
  EXPECT_EQ(identifiers.origin(), "app");
  APMMeasurementServices::setSharedInstance(nullptr);
}

TEST_F(IdentityTest, WithoutAnEngineIdentifiersComeFromTheSharedIdentity) {
  // Denied first, so the process-wide identity writes nothing into this
  // test's sandbox.
  setConsent({{"analytics_storage", "denied"}});
  APMMeasurementServices::setSharedInstance(nullptr);
  APMIdentifiers identifiers;
  ASSERT_TRUE(APMIdentity::sharedInstance());  // made now, with what it logs
  EXPECT_EQ(sampled([&] { EXPECT_EQ(identifiers.devuvoAppID(), std::nullopt); }).first,
            "1E_110100:Unable to fetch Devuvo App ID from default options");
  EXPECT_EQ(sampled([&] { EXPECT_EQ(identifiers.appInstanceID(), std::nullopt); }).first,
            "1E_110100:Unable to fetch App Instance ID from identity shared instance");
}

TEST(APMIdentifiersTest, AdEventIDsAreConsecutiveAcrossThreads) {
  constexpr int kThreads = 8, kEach = 500;
  std::vector<std::vector<int64_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < kEach; ++i) seen[t].push_back(std::stoll(APMIdentifiers::sharedInstance()->adEventID()));
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<uint64_t> all;
  for (const auto& values : seen) {
    // Each thread's values rise (wrapping like the counter).
    for (size_t i = 1; i < values.size(); ++i) EXPECT_GT(uint64_t(values[i]) - uint64_t(values[i - 1]), 0u);
    for (int64_t v : values) all.push_back(uint64_t(v));
  }
  // Together they are one run without gaps or repeats (differences taken
  // modulo 2^64, so a run across the wrap counts too).
  const uint64_t base = all.front();
  std::vector<int64_t> offsets;
  for (uint64_t v : all) offsets.push_back(static_cast<int64_t>(v - base));
  std::sort(offsets.begin(), offsets.end());
  for (size_t i = 1; i < offsets.size(); ++i) ASSERT_EQ(offsets[i], offsets[i - 1] + 1);
}

}  // namespace
