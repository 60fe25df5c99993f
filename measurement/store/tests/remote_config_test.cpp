#include "measurement/store/remote_config.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/experiment_database.h"
#include "measurement/store/experiment_manager.h"
#include "measurement/store/experiment_task_manager.h"
#include "measurement/store/identifiers.h"
#include "measurement/store/identity.h"
#include "measurement/store/identity_support.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "measurement/store/tests/database_test_support.h"
#include "os/net/url_session.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/endpoints.h"

namespace {

using apm_test::DatabaseTest;

constexpr const char* kAppID = "1:1234567890:ios:abcdef";

// ---- Building configurations ----

// MeasurementConfig fields.
constexpr int32_t kVersion = 0, kAppIDField = 1, kSettings = 3, kEventConfigs = 4, kAudiences = 5, kRoZarAppID = 6,
                  kPrograms = 8, kDataControls = 9, kSubdomain = 10, kConsent = 12, kPsm = 13;

std::shared_ptr<APMPBSetting> setting(const std::string& name, const std::string& value) {
  auto s = APMPBSetting::initWithMessageInfo(nullptr);
  APMPBSetString(s.get(), 0, name);
  APMPBSetString(s.get(), 1, value);
  return s;
}

struct EventSpec {
  std::string name;
  std::optional<bool> blocklisted;
  std::optional<bool> customConversion;
  std::optional<int32_t> samplingRate;
};

std::shared_ptr<APMPBConsentDefaultEntry> consentEntry(int32_t type, int32_t status) {
  auto e = APMPBConsentDefaultEntry::initWithMessageInfo(nullptr);
  APMPBSetInt32(e.get(), 0, type);
  APMPBSetInt32(e.get(), 1, status);
  return e;
}

using Settings = std::vector<std::pair<std::string, std::string>>;

// A configuration for kAppID with the given settings, version 7.
struct ConfigBuilder {
  std::shared_ptr<APMPBMeasurementConfig> config = APMPBMeasurementConfig::initWithMessageInfo(nullptr);

  explicit ConfigBuilder(Settings settings = {}, std::string appID = kAppID) {
    APMPBSetInt64(config.get(), kVersion, 7);
    APMPBSetString(config.get(), kAppIDField, appID);
    std::vector<std::shared_ptr<APMPBSetting>> list;
    for (const auto& [name, value] : settings) list.push_back(setting(name, value));
    APMPBSetArray(config.get(), kSettings, list);
  }
  ConfigBuilder& events(const std::vector<EventSpec>& specs) {
    std::vector<std::shared_ptr<APMPBEventConfig>> list;
    for (const auto& spec : specs) {
      auto e = APMPBEventConfig::initWithMessageInfo(nullptr);
      APMPBSetString(e.get(), 0, spec.name);
      if (spec.blocklisted) APMPBSetBool(e.get(), 1, *spec.blocklisted);
      if (spec.customConversion) APMPBSetBool(e.get(), 2, *spec.customConversion);
      if (spec.samplingRate) APMPBSetInt32(e.get(), 3, *spec.samplingRate);
      list.push_back(e);
    }
    APMPBSetArray(config.get(), kEventConfigs, list);
    return *this;
  }
  ConfigBuilder& dataControls(const std::vector<std::string>& names) {
    std::vector<std::shared_ptr<APMPBDataControl>> list;
    for (const auto& name : names) {
      auto d = APMPBDataControl::initWithMessageInfo(nullptr);
      APMPBSetString(d.get(), 0, name);
      list.push_back(d);
    }
    APMPBSetArray(config.get(), kDataControls, list);
    return *this;
  }
  // Defaults ad_storage granted (plus entries with unknown type or status),
  // ad_user_data delegated to ad_storage, one service, the DMA flag, and a
  // regional default analytics_storage denied.
  ConfigBuilder& consent(bool dmaRegion) {
    auto c = APMPBConsentConfig::initWithMessageInfo(nullptr);
    APMPBSetArray(c.get(), 0, std::vector{consentEntry(1, 1), consentEntry(9, 1), consentEntry(2, 7)});
    auto delegation = APMPBConsentDelegationEntry::initWithMessageInfo(nullptr);
    APMPBSetInt32(delegation.get(), 0, 3);
    APMPBSetInt32(delegation.get(), 1, 1);
    APMPBSetArray(c.get(), 1, std::vector{delegation});
    auto service = APMPBCorePlatformServiceEntry::initWithMessageInfo(nullptr);
    APMPBSetString(service.get(), 0, "cps");
    APMPBSetArray(c.get(), 2, std::vector{service});
    APMPBSetBool(c.get(), 3, dmaRegion);
    APMPBSetArray(c.get(), 4, std::vector{consentEntry(2, 2)});
    APMPBSetMessage(config.get(), kConsent, c.get());
    return *this;
  }
  ConfigBuilder& psm(int32_t email) {
    auto p = APMPBPsmSetting::initWithMessageInfo(nullptr);
    APMPBSetInt32(p.get(), 0, email);
    APMPBSetMessage(config.get(), kPsm, p.get());
    return *this;
  }
  ConfigBuilder& programs(size_t count) {
    std::vector<std::shared_ptr<APMPBProgram>> list;
    for (size_t i = 0; i < count; ++i) list.push_back(APMPBProgram::initWithMessageInfo(nullptr));
    APMPBSetArray(config.get(), kPrograms, list);
    return *this;
  }
  ConfigBuilder& set(int32_t field, const std::string& text) {
    APMPBSetString(config.get(), field, text);
    return *this;
  }
  operator std::shared_ptr<APMPBMeasurementConfig>() const { return config; }
};

// ---- A script runtime stand-in ----

// Records what the remote configuration asks of the script runtime. Loading
// requires every registered module, as a program's require would, and then
// succeeds or fails with the chosen editing code.
struct FakeScript {
  std::mutex mutex;
  int loads = 0;                        // guarded by mutex
  std::vector<std::string> modules;     // guarded by mutex: names required on the last load
  APMPGetValueBlock keyValueBlock;      // guarded by mutex
  std::string keyValueFunctionName;     // guarded by mutex
  APMPObjectProviderBlock objectBlock;  // guarded by mutex
  std::optional<int64_t> failWithCode;  // guarded by mutex
};

class FakeEditing final : public APMPEventEditingInterface {
 public:
  explicit FakeEditing(std::shared_ptr<FakeScript> script) : script_(std::move(script)) {}
  void setModuleCreator(APMPModuleCreator creator, std::string_view name) override {
    creators_.emplace_back(std::string(name), std::move(creator));
  }
  os::Status loadProgram(const APMPBProgram&) override {
    std::vector<std::string> required;
    for (auto& [name, creator] : creators_) {
      creator();
      required.push_back(name);
    }
    std::lock_guard lock(script_->mutex);
    ++script_->loads;
    script_->modules = required;
    if (script_->failWithCode) {
      return std::unexpected(os::Error("com.devuvo.zev.measurement.rovav.editing.ErrorDomain", *script_->failWithCode));
    }
    return {};
  }
  os::Result<bool> handleEvent(APMPEvent) override { return false; }
  bool hasEdits() const override { return false; }
  bool hasCreatedEvents() const override { return false; }
  const APMPEventContext& eventContext() const override { return context_; }

 private:
  std::shared_ptr<FakeScript> script_;
  std::vector<std::pair<std::string, APMPModuleCreator>> creators_;
  APMPEventContext context_;
};

class FakeScriptServices final : public APMPScriptServices {
 public:
  explicit FakeScriptServices(std::shared_ptr<FakeScript> script) : script_(std::move(script)) {}
  std::shared_ptr<APMPEventEditingInterface> newEventEditing() const override {
    return std::make_shared<FakeEditing>(script_);
  }
  std::shared_ptr<APMPRuntimeValue> newKeyValueStore(std::string functionName,
                                                     APMPGetValueBlock getValueBlock) const override {
    std::lock_guard lock(script_->mutex);
    script_->keyValueFunctionName = std::move(functionName);
    script_->keyValueBlock = std::move(getValueBlock);
    return nullptr;
  }
  std::shared_ptr<APMPRuntimeValue> newObjectProvider(std::string, APMPObjectProviderBlock block) const override {
    std::lock_guard lock(script_->mutex);
    script_->objectBlock = std::move(block);
    return nullptr;
  }
  std::shared_ptr<APMPRuntimeValue> newMessageLogger() const override { return nullptr; }

 private:
  std::shared_ptr<FakeScript> script_;
};

class FixedIdentitySupport final : public APMIdentitySupport {
 public:
  explicit FixedIdentitySupport(uint64_t status) : status_(status) {}
  bool hasAppDataConsentStatus() override { return true; }
  uint64_t appDataConsentStatus() override { return status_; }
  bool hasLimitedAdTracking() override { return false; }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override { return std::nullopt; }

 private:
  uint64_t status_;
};

class RemoteConfigTest : public DatabaseTest {
 protected:
  void SetUp() override {
    DatabaseTest::SetUp();
    previousServices_ = APMPScriptServices::sharedInstance();
    APMPScriptServices::setSharedInstance(std::make_shared<FakeScriptServices>(script_));
    monitor_->setDebugModeEnabled(true);  // level 7 lines reach the sink
    bundle_.addFile("Info.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier"
                    "</key><string>com.drosil.meter</string></dict></plist>\n");
    bundle_.addFile("DrosilEndpoints.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                    "<key>MeasurementConfigService</key><string>" + server_.baseURL() + "</string>"
                    "<key>MeasurementUploadService</key><string>http://upload.test:8080</string>"
                    "<key>MeasurementUploadAuthorizedService</key><string>http://upload-authorized.test/</string>"
                    "</dict></plist>\n");
    DAZEndpoints::reload();
    config_ = APMRemoteConfig::initWithAppID(kAppID, database_, nullptr);
    ASSERT_TRUE(config_);
  }
  void TearDown() override {
    config_.reset();
    APMPScriptServices::setSharedInstance(previousServices_);
    DAZEndpoints::reload();
    DatabaseTest::TearDown();
  }
  bool logged(int64_t code) {
    for (const auto& line : lines()) {
      if (line.code == code) return true;
    }
    return false;
  }
  std::string lineOf(int64_t code) {
    for (const auto& line : lines()) {
      if (line.code == code) return line.message;
    }
    return "";
  }

  std::shared_ptr<FakeScript> script_ = std::make_shared<FakeScript>();
  std::shared_ptr<APMPScriptServices> previousServices_;
  apm_test::TestBundle bundle_;
  os::testing::TestHTTPServer server_;
  std::shared_ptr<APMRemoteConfig> config_;
};

// ---- Creation and the default instance ----

TEST_F(RemoteConfigTest, CreationNeedsAnAppIDAndADatabaseAndTheDefaultInstanceAnswersDefaults) {
  EXPECT_FALSE(APMRemoteConfig::initWithAppID("", database_, nullptr));
  EXPECT_FALSE(APMRemoteConfig::initWithAppID(kAppID, nullptr, nullptr));
  EXPECT_TRUE(logged(kAPMRemoteConfigCodeEmptyAppID));
  EXPECT_TRUE(logged(kAPMRemoteConfigCodeNoDatabase));

  auto defaults = APMRemoteConfig::defaultInstance();
  EXPECT_TRUE(defaults->isDefaultInstance());
  EXPECT_FALSE(defaults->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.upload.interval", "60000"}})));
  EXPECT_FALSE(defaults->measurementConfigFromDatabase());
  EXPECT_FALSE(defaults->isExpired());
  EXPECT_EQ(defaults->lastRemoteConfigUpdateTimestamp(), 0);
  EXPECT_EQ(defaults->uploadingInterval(), 3600);

  // Before any configuration.
  EXPECT_FALSE(config_->isDefaultInstance());
  EXPECT_EQ(config_->version(), -1);
  EXPECT_TRUE(config_->isDMARegion());
  EXPECT_TRUE(config_->isExpired());
  EXPECT_TRUE(logged(kAPMRemoteConfigCodeNotStored));
}

// ---- Updates ----

TEST_F(RemoteConfigTest, RefusedConfigurationsLeaveTheCurrentOneInForce) {
  ASSERT_TRUE(config_->updateMeasurementConfig(
      ConfigBuilder(Settings{{"measurement.upload.interval", "60000"}}).set(kRoZarAppID, kAppID).dataControls({"user_id"})));
  EXPECT_EQ(config_->uploadingInterval(), 60);

  const struct {
    const char* what;
    std::optional<std::string> origin;
    std::string devuvoAppID;
    std::optional<std::string> roZarAppID;
  } cases[] = {
      {"Devuvo App ID differs", std::nullopt, "1:other", kAppID},
      {"RoZar App ID differs under origin am", "am", kAppID, "other"},
      {"RoZar App ID missing under origin am", "am", kAppID, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.origin) APMIdentifiers::sharedInstance()->setOrigin(c.origin);
    ConfigBuilder refused(Settings{{"measurement.upload.interval", "120000"}}, c.devuvoAppID);
    APMPBSetInt64(refused.config.get(), kVersion, 8);
    if (c.roZarAppID) refused.set(kRoZarAppID, *c.roZarAppID);
    refused.dataControls({"device_info"});
    EXPECT_FALSE(config_->updateMeasurementConfig(refused));
    APMIdentifiers::sharedInstance()->setOrigin("app");
    EXPECT_EQ(config_->uploadingInterval(), 60);
    EXPECT_EQ(config_->version(), 7);
    EXPECT_EQ(config_->dataControls(), std::vector<std::string>{"user_id"});
  }
  // Origin "am" with both IDs matching is accepted.
  APMIdentifiers::sharedInstance()->setOrigin("am");
  EXPECT_TRUE(config_->updateMeasurementConfig(ConfigBuilder().set(kRoZarAppID, kAppID)));
  APMIdentifiers::sharedInstance()->setOrigin("app");
  EXPECT_FALSE(config_->updateMeasurementConfig(nullptr));
}

// A store the database refuses must fail the update: parsing it anyway would
// put settings in force that the next start does not load.
TEST_F(RemoteConfigTest, AStoreFailureRefusesTheUpdateAndKeepsTheCurrentConfiguration) {
  apm_test::SqliteFaultVFS vfs;
  auto database = open();  // through the fault VFS
  ASSERT_TRUE(database);
  auto config = APMRemoteConfig::initWithAppID(kAppID, database, nullptr);
  ASSERT_TRUE(config->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.upload.interval", "60000"}})));

  vfs.failNthWriteOrSync(1, -1);
  EXPECT_FALSE(config->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.upload.interval", "120000"}})));
  vfs.disarm();
  EXPECT_TRUE(vfs.hasFailed());
  EXPECT_TRUE(logged(kAPMRemoteConfigCodeStoreFailed));
  EXPECT_EQ(config->uploadingInterval(), 60);
  EXPECT_EQ(config->version(), 7);
  config.reset();
  database.reset();
}

TEST_F(RemoteConfigTest, AStoredConfigurationIsLoadedAndParsedByANewInstance) {
  ASSERT_TRUE(config_->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.upload.interval", "60000"}})
                                                   .events({{"first_open", true, true, 10}})
                                                   .dataControls({"user_id", "os_version"})
                                                   .consent(false)
                                                   .psm(3)));
  EXPECT_EQ(config_->lastRemoteConfigUpdateTimestamp(), os::Clock::current().wallTime());
  EXPECT_FALSE(config_->isExpired());
  clock_->advance(3600);
  EXPECT_TRUE(config_->isExpired());

  auto reloaded = APMRemoteConfig::initWithAppID(kAppID, database_, nullptr);
  ASSERT_TRUE(reloaded);
  for (auto* c : {config_.get(), reloaded.get()}) {
    EXPECT_EQ(c->version(), 7);
    EXPECT_EQ(c->uploadingInterval(), 60);
    EXPECT_TRUE(c->isEventBlocklisted("_f"));
    EXPECT_EQ(c->samplingRateForEvent("_f"), 10);
    EXPECT_EQ(c->dataControls(), (std::vector<std::string>{"user_id", "os_version"}));
    EXPECT_FALSE(c->isDMARegion());
    EXPECT_EQ(c->consentDefaults(), (os::Dictionary{{"ad_storage", os::Value("granted")}}));
    // A PSM value delivered as a number is taken without the bounds check (min 6).
    EXPECT_EQ(c->hashPrefixBitLengthEmail(), 3);
  }
}

// ---- Parse ----

TEST_F(RemoteConfigTest, EventConfigurationsAreKeyedByTheirInternalNames) {
  ASSERT_TRUE(config_->updateMeasurementConfig(
      ConfigBuilder(Settings{{"measurement.upload.blacklist_public", "1"}})
          .events({{"first_open", std::nullopt, true, 0},
                   {"purchase", false, std::nullopt, std::nullopt},
                   {"_internal", false, std::nullopt, std::nullopt},
                   {"r0", std::nullopt, std::nullopt, 0},
                   {"r1", std::nullopt, std::nullopt, 1},
                   {"r2", std::nullopt, std::nullopt, 2},
                   {"rmax", std::nullopt, std::nullopt, 65535},
                   {"rover", std::nullopt, std::nullopt, 65536},
                   {"rneg", std::nullopt, std::nullopt, -5},
                   {"", true, std::nullopt, std::nullopt}})));
  EXPECT_TRUE(config_->eventConfigWithName("_f"));
  EXPECT_FALSE(config_->eventConfigWithName("first_open"));
  EXPECT_FALSE(config_->eventConfigWithName(""));
  EXPECT_TRUE(config_->isEventCustomConversion("_f"));
  EXPECT_FALSE(config_->isEventCustomConversion("purchase"));
  EXPECT_TRUE(config_->eventHasSamplingRate("_f"));
  EXPECT_FALSE(config_->eventHasSamplingRate("purchase"));

  const std::map<std::string, int32_t> rates = {{"r0", 1},      {"r1", 1},    {"r2", 2},      {"rmax", 65535},
                                                {"rover", 1},   {"rneg", 1},  {"unknown", 1}, {"purchase", 1}};
  for (const auto& [name, rate] : rates) {
    SCOPED_TRACE(name);
    EXPECT_EQ(config_->samplingRateForEvent(name), rate);
  }
  // blocklisted = NO does not lift the public block list; internal names
  // follow their own setting.
  EXPECT_TRUE(config_->isEventBlocklisted("purchase"));
  EXPECT_TRUE(config_->isEventBlocklisted("unconfigured"));
  EXPECT_FALSE(config_->isEventBlocklisted("_internal"));
}

TEST_F(RemoteConfigTest, ConsentConfigurationIsReadOnlyWhenPresent) {
  ASSERT_TRUE(config_->updateMeasurementConfig(ConfigBuilder().consent(false)));
  EXPECT_EQ(config_->consentDefaults(), (os::Dictionary{{"ad_storage", os::Value("granted")}}));
  EXPECT_EQ(config_->consentDelegations(), (os::Dictionary{{"ad_user_data", os::Value("ad_storage")}}));
  EXPECT_EQ(config_->regionalDefaults(), (os::Dictionary{{"analytics_storage", os::Value("denied")}}));
  EXPECT_EQ(config_->corePlatformServices(), std::set<std::string>{"cps"});
  EXPECT_FALSE(config_->isDMARegion());

  // A configuration without consent keeps what was there.
  ASSERT_TRUE(config_->updateMeasurementConfig(ConfigBuilder()));
  EXPECT_FALSE(config_->isDMARegion());
  EXPECT_EQ(config_->corePlatformServices().size(), 1u);

  config_->reset();
  EXPECT_TRUE(config_->isDMARegion());
  EXPECT_TRUE(config_->consentDefaults().empty());
  EXPECT_TRUE(config_->corePlatformServices().empty());
  EXPECT_EQ(config_->version(), -1);
}

TEST_F(RemoteConfigTest, OnlyTheFirstProgramIsLoadedWithTheThreeModules) {
  ASSERT_TRUE(config_->updateMeasurementConfig(
      ConfigBuilder(Settings{{"measurement.upload.interval", "60000"}}).programs(2).dataControls({"user_id"})));
  ASSERT_TRUE(config_->eventEditing());
  std::lock_guard lock(script_->mutex);
  EXPECT_EQ(script_->loads, 1);
  EXPECT_EQ(script_->modules,
            (std::vector<std::string>{"internal.remoteConfig", "internal.appMetadata", "internal.logger"}));
  EXPECT_EQ(script_->keyValueFunctionName, "internal.remoteConfig");
  // The key-value module reads the live settings cache: strings as they are,
  // settled numbers as their text.
  EXPECT_EQ(script_->keyValueBlock("measurement.upload.interval"), "60000");
  EXPECT_EQ(script_->keyValueBlock("measurement.absent"), std::nullopt);
  EXPECT_EQ(config_->uploadingInterval(), 60);
  EXPECT_EQ(script_->keyValueBlock("measurement.upload.interval"), "60");

  const os::Dictionary metadata = script_->objectBlock();
  EXPECT_EQ(metadata.at("platform"), os::Value("ios"));
  EXPECT_EQ(metadata.at("package_name"), os::Value("com.drosil.meter"));
  EXPECT_EQ(metadata.at("zev_version"), os::Value(os::Number::int64(110100)));
  EXPECT_FALSE(metadata.contains("app_version"));  // no engine identity here
  EXPECT_TRUE(lineOf(kAPMRemoteConfigCodeEventEditingLoaded).ends_with("programs: 2")) << lineOf(kAPMRemoteConfigCodeEventEditingLoaded);
}

TEST_F(RemoteConfigTest, AProgramThatFailsToLoadEndsTheParse) {
  ASSERT_TRUE(config_->updateMeasurementConfig(ConfigBuilder().dataControls({"user_id"}).consent(false).psm(8)));
  {
    std::lock_guard lock(script_->mutex);
    script_->failWithCode = 5;
  }
  ASSERT_TRUE(config_->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.upload.interval", "60000"}})
                                                   .programs(1)
                                                   .dataControls({"device_info"})
                                                   .consent(true)
                                                   .psm(9)));
  EXPECT_TRUE(logged(kAPMRemoteConfigCodeEventEditingFailed));
  EXPECT_FALSE(config_->eventEditing());
  // Settings come before the program; data controls, consent and PSM after.
  EXPECT_EQ(config_->uploadingInterval(), 60);
  EXPECT_EQ(config_->dataControls(), std::vector<std::string>{"user_id"});
  EXPECT_FALSE(config_->isDMARegion());
  EXPECT_EQ(config_->hashPrefixBitLengthEmail(), 14);  // the settings were refilled, the PSM value not
}

// ---- URLs ----

TEST_F(RemoteConfigTest, ConfigurationAndUploadURLs) {
  auto url = config_->remoteConfigURLWithPlatform("ios", 110100, 3);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->absoluteString(), server_.baseURL() + "/config/app/" + kAppID +
                                       "?platform=ios&runtime_version=3&zev_version=110100");
  EXPECT_FALSE(config_->remoteConfigURLWithPlatform(std::nullopt, 110100, 3));

  const struct {
    uint64_t status;
    std::optional<std::string> subdomain;
    const char* expected;
  } cases[] = {
      {0, std::nullopt, "http://upload.test:8080/a"},
      {0, "eu", "http://eu.upload.test:8080/a"},
      {2, "", "http://upload.test:8080/a"},
      {3, std::nullopt, "http://upload-authorized.test/a"},
      {3, "eu", "http://eu.upload-authorized.test/a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    config_->TEST_setIdentitySupport(std::make_shared<FixedIdentitySupport>(c.status));
    ConfigBuilder builder;
    if (c.subdomain) builder.set(kSubdomain, *c.subdomain);
    ASSERT_TRUE(config_->updateMeasurementConfig(builder));
    auto upload = config_->uploadURL();
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->absoluteString(), c.expected);
  }
}

// ---- Experiments ----

TEST_F(RemoteConfigTest, ExperimentFlagsOverrideTheirSettings) {
  auto manager = APMEManager::initWithTaskManager(nullptr);
  auto config = APMRemoteConfig::initWithAppID(kAppID, database_, manager);
  ASSERT_TRUE(config->experimentClient());
  manager->TEST_flush();
  EXPECT_TRUE(manager->clientForSDKName(kAPMRemoteConfigSDKName));
  ASSERT_TRUE(config->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.regional_defaults_enabled", "1"},
                                                             {"measurement.session_stitching_token_enabled", "0"}})));
  EXPECT_TRUE(config->regionalDefaultsEnabled());
  EXPECT_FALSE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_FALSE(config->activateNewSnapshot());  // nothing new

  auto snapshot = APMESnapshot::initWithSDKName(
      kAPMRemoteConfigSDKName,
      {APMEExperiment::initWithExperimentID(
          4, {APMPBFlagWithNameValue(os::Value(kAPMRegionalDefaultsEnabledFlag), os::Value(os::Number::int64(0))),
              APMPBFlagWithNameValue(os::Value(kAPMSessionStitchingTokenFeatureEnabledFlag),
                                     os::Value(os::Number::int64(1)))})});
  auto taskManager = APMETaskManager::initWithQueue(os::DispatchQueue::serial("unused"), nullptr, nullptr,
                                                    std::make_shared<APMUserDefaults>("unused"), "unused.sql", 0);
  manager->taskManagerDidFinishFetchingExperimentSnapshots(*taskManager, APMESnapshots{snapshot}, std::nullopt);
  manager->TEST_flush();
  // Pending only: the copied flag is not there yet; the live one is not either.
  EXPECT_TRUE(config->regionalDefaultsEnabled());
  config->clientDidReceiveNewSnapshot(config->experimentClient());
  EXPECT_TRUE(config->activateNewSnapshot());
  EXPECT_FALSE(config->regionalDefaultsEnabled());
  EXPECT_TRUE(config->sessionStitchingTokenFeatureEnabled());
  EXPECT_EQ(config->experimentIDs(), std::vector<int64_t>{4});
  EXPECT_FALSE(config->activateNewSnapshot());  // consumed

  // shouldFetch follows the engine's switch.
  EXPECT_TRUE(config->shouldFetchExperimentsForClient(config->experimentClient()));
  services_->setEnabled(false);
  EXPECT_FALSE(config->shouldFetchExperimentsForClient(config->experimentClient()));
  APMMeasurementServices::setSharedInstance(nullptr);
  EXPECT_FALSE(config->shouldFetchExperimentsForClient(config->experimentClient()));
}

// The first activation ran while the experiments manager's load of stored
// snapshots was still queued: a stored flag was ignored for the whole process.
TEST_F(RemoteConfigTest, TheFirstActivationFollowsTheLoadOfStoredSnapshots) {
  const std::string path = APMMeasurementDirectoryPathForFile(kAPMEDatabaseFileName);
  {
    // An earlier run fetched this; the database activates it at the next start.
    auto snapshot = APMESnapshot::initWithSDKName(
        kAPMRemoteConfigSDKName,
        {APMEExperiment::initWithExperimentID(
            4, {APMPBFlagWithNameValue(os::Value(kAPMRegionalDefaultsEnabledFlag), os::Value(os::Number::int64(0)))})});
    auto stored = APMEDatabase::initWithPath(path);
    ASSERT_TRUE(stored);
    ASSERT_TRUE(stored->upsertSnapshot(snapshot->proto().get(), kAPMEPendingSnapshotTable,
                                       os::Clock::current().wallTime(), std::nullopt, nullptr));
  }
  auto queue = os::DispatchQueue::serial(kAPMExperimentWorkerQueueLabel);
  auto taskManager = APMETaskManager::initWithQueue(queue, APMAlarm::initWithDispatchQueue(queue, kAPMExperimentAlarmName),
                                                    nullptr, std::make_shared<APMUserDefaults>("experiments"), path,
                                                    os::Clock::current().wallTime());
  auto manager = APMEManager::initWithTaskManager(taskManager);
  // The start waits behind other work of the worker queue, as at a busy launch.
  std::promise<void> release;
  queue->async([done = release.get_future().share()] { done.wait_for(std::chrono::seconds(30)); });
  taskManager->startTaskManager();

  std::shared_ptr<APMRemoteConfig> config;
  std::thread creating([&] { config = APMRemoteConfig::initWithAppID(kAppID, database_, manager); });
  for (int i = 0; i < 100'000 && !manager->clientForSDKName(kAPMRemoteConfigSDKName); ++i) std::this_thread::yield();
  release.set_value();
  creating.join();
  ASSERT_TRUE(config);
  EXPECT_FALSE(config->regionalDefaultsEnabled());
  EXPECT_EQ(config->experimentIDs(), std::vector<int64_t>{4});
  taskManager->dispatchSyncOnWorkerQueue([&] { taskManager->alarm()->cancel(); });
}

// ---- End to end: the engine's part played by the test ----

TEST_F(RemoteConfigTest, AConfigurationFetchedFromTheServiceIsStoredAndParsed) {
  auto audience = APMPBAudience::initWithMessageInfo(nullptr);
  ConfigBuilder served(Settings{{"measurement.upload.interval", "120000"}});
  APMPBSetArray(served.config.get(), kAudiences, std::vector{audience});
  const os::Data body = *served.config->protoBuffer();
  server_.setResponse("/config/app/" + std::string(kAppID),
                      os::testing::ScriptedResponse::ok(std::string(reinterpret_cast<const char*>(body.bytes()),
                                                                    body.length())));

  auto url = config_->remoteConfigURLWithPlatform("ios", 110100, 0);
  ASSERT_TRUE(url);
  auto session = os::URLSession::sessionWithConfiguration(os::URLSessionConfiguration::defaultSessionConfiguration());
  std::promise<std::optional<os::Data>> reply;
  session
      ->dataTaskWithURL(*url, [&reply](std::optional<os::Data> data, std::optional<os::HTTPURLResponse> response,
                                       std::optional<os::Error>) {
        reply.set_value(response && response->statusCode() == 200 ? data : std::nullopt);
      })
      ->resume();
  auto future = reply.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  std::optional<os::Data> data = future.get();
  ASSERT_TRUE(data);
  ASSERT_EQ(server_.requests().front().query, "platform=ios&runtime_version=0&zev_version=110100");

  auto fetched = APMPBMeasurementConfig::initWithBuffer(*data);
  ASSERT_TRUE(fetched);
  EXPECT_EQ(APMPBGetArray<APMPBAudience>(fetched.get(), kAudiences)->size(), 1u);
  APMPBClearField(fetched.get(), kAudiences);
  ASSERT_TRUE(config_->updateMeasurementConfig(fetched));
  EXPECT_EQ(config_->uploadingInterval(), 120);
  auto stored = config_->measurementConfigFromDatabase();
  ASSERT_TRUE(stored);
  EXPECT_TRUE(APMPBGetArray<APMPBAudience>(stored.get(), kAudiences)->empty());
  session->invalidateAndCancel();
}

// ---- Serving the engine's settings ----

// An engine whose configuration is a real remote configuration.
class EngineWithConfig final : public apm_test::MeasurementServicesDouble {
 public:
  explicit EngineWithConfig(std::shared_ptr<APMRemoteConfig> config) : config_(std::move(config)) {}
  std::shared_ptr<APMRemoteConfigSettings> engineRemoteConfig() const override { return config_; }

 private:
  std::shared_ptr<APMRemoteConfig> config_;
};

TEST_F(RemoteConfigTest, TheStoreAndIdentityReadTheEnginesConfiguration) {
  APMMeasurementServices::setSharedInstance(std::make_shared<EngineWithConfig>(config_));
  const APMIdentityRemoteSettings before = APMIdentity::remoteSettings();
  EXPECT_EQ(before.adIDCacheTime, 1);
  EXPECT_FALSE(before.gateIDFAOnATTMASEnabled);

  ASSERT_TRUE(config_->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.ad_id_cache_time", "60000"},
                                                                      {"measurement.attmas_gate", "1"},
                                                                      {"measurement.store.max_stored_events_per_app", "5"},
                                                                      {"measurement.upload.max_queue_time", "700000000"}})));
  const APMIdentityRemoteSettings after = APMIdentity::remoteSettings();
  EXPECT_EQ(after.adIDCacheTime, 60);
  EXPECT_TRUE(after.gateIDFAOnATTMASEnabled);
  EXPECT_EQ(APMMeasurementServices::remoteConfig()->maxEventsStored(), 5);
  EXPECT_EQ(APMMeasurementServices::remoteConfig()->maxQueueTime(), 700000);
  // A provider set on identity still wins.
  APMIdentity::setRemoteSettingsProvider([] { return APMIdentityRemoteSettings{3, false}; });
  EXPECT_EQ(APMIdentity::remoteSettings().adIDCacheTime, 3);
  APMIdentity::setRemoteSettingsProvider({});
  APMMeasurementServices::setSharedInstance(nullptr);
}

// Getters run on any thread while the worker queue parses. A getter that read
// between the parse's emptying and refilling of the cache used to store its
// default over the newly delivered value, which then stayed until the next parse.
TEST_F(RemoteConfigTest, GettersMayRunWhileAConfigurationIsParsed) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      (void)config_->version();
      (void)config_->dataControls();
      (void)config_->uploadingInterval();
      (void)config_->isDMARegion();
      (void)config_->eventEditing();
      (void)config_->samplingRateForEvent("_f");
      (void)config_->consentDefaults();
    }
  });
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(config_->updateMeasurementConfig(ConfigBuilder(Settings{{"measurement.upload.interval",
                                                                         std::to_string(60000 + i * 1000)}})
                                                     .events({{"first_open", std::nullopt, std::nullopt, i + 2}})
                                                     .dataControls({"user_id"})
                                                     .consent(i % 2 == 0)
                                                     .programs(1)));
  }
  done = true;
  reader.join();
  EXPECT_EQ(config_->uploadingInterval(), 79);
  EXPECT_EQ(config_->samplingRateForEvent("_f"), 21);
}

}  // namespace
