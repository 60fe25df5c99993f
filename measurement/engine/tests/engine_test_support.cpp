#include "measurement/engine/tests/engine_test_support.h"

#include "measurement/engine/attribution/ad_exposure_reporter.h"
#include "measurement/engine/purchases/in_app_purchase_product_cache.h"
#include "measurement/engine/purchases/in_app_purchase_transaction_reporter.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/identity.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/user_defaults.h"
#include "os/dispatch/queue.h"
#include "os/foundation/plist.h"
#include "os/net/reachability.h"
#include "os/security/keychain.h"
#include "os/storekit/ad_network.h"
#include "os/storekit/product.h"
#include "os/storekit/store_simulator.h"
#include "platform/utilities/endpoints.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_options.h"

namespace engine_test {

namespace {

std::string plistText(const os::Dictionary& contents) {
  auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(contents),
                                                                  os::PropertyListSerialization::Format::XML);
  return data ? data->toString() : std::string();
}

}  // namespace

void EngineTest::SetUp() {
  MonitoredTest::SetUp();
  // Offline unless a test gives the engine a network: an upload would bundle
  // the raw events a test reads.
  if (online_) {
    os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
  } else {
    os::SCNetworkReachabilityTEST_setFlagsProvider([](const std::string&) { return os::SCNetworkReachabilityFlags{0}; });
  }
  os::Keychain::resetShared();
  os::Keychain::setLockState(os::Keychain::LockState::Unlocked);
  bundle_ = std::make_unique<apm_test::TestBundle>();
  writeBundle();
  REZApp::TEST_reset();
  REZOptions::resetDefaultOptions();
  APMAnalytics::TEST_reset();
  APMConsentSettingsUtil::TEST_reset();
  APMIdentity::TEST_resetAppIDOnce();
  APMSetFirstOpenInstallSource(nullptr);
  SKAdNetwork::TEST_reset();
  APMScreenViewReporter::TEST_reset();
  APMAdExposureReporter::TEST_reset();
  SKPaymentQueue::defaultQueue()->TEST_reset();
  // Process-wide stores outlive a test: forget what an earlier one left.
  if (auto persisted = APMPersistedConfig::sharedInstance()) persisted->clearValues();
  APMAnalytics::suite()->clearAllData();
  APMUserDefaults::sharedUserDefaults()->clearAllData();
  monitor_->clearMonitoringData();
  sink_->clear();
}

void EngineTest::endLaunch() {
  APMAnalytics::TEST_reset();
  APMConsentSettingsUtil::TEST_reset();
}

void EngineTest::TearDown() {
  APMAnalytics::TEST_reset();
  os::dispatch::drainUntilIdle();
  os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
  REZApp::TEST_reset();
  REZOptions::resetDefaultOptions();
  APMSetFirstOpenInstallSource(nullptr);
  bundle_.reset();
  DAZEndpoints::reload();
  MonitoredTest::TearDown();
}

void EngineTest::writeBundle(const os::Dictionary& info, const std::optional<os::Dictionary>& options,
                             const std::string& installationsBase, const std::string& uploadBase) {
  os::Dictionary infoPlist{{"CFBundleIdentifier", kBundleIdentifier},
                           {"CFBundleShortVersionString", kAppVersion},
                           {"CFBundleVersion", "11"}};
  for (const auto& [key, value] : info) infoPlist[key] = value;
  bundle_->addFile("Info.plist", plistText(infoPlist));
  if (options) bundle_->addFile("RirudiVizeziv-Azir.plist", plistText(*options));
  const std::string upload = uploadBase.empty() ? server_.baseURL() : uploadBase;
  os::Dictionary endpoints{{"MeasurementUploadService", upload},
                           {"MeasurementUploadAuthorizedService", upload},
                           {"MeasurementConfigService", server_.baseURL()},
                           {"ExperimentsService", server_.baseURL()},
                           {"DeferredDeepLinkService", server_.baseURL()},
                           {"SearchAdsAttributionService", server_.baseURL()}};
  if (!installationsBase.empty()) endpoints["InstallationsService"] = installationsBase;
  bundle_->addFile("DrosilEndpoints.plist", plistText(endpoints));
  DAZEndpoints::reload();
}

void EngineTest::start(os::Dictionary values, const std::string& origin, const std::string& appID) {
  values.emplace(kAPMStartOptionLogTag, "[VivuzuvuAnalytics]");
  APMAnalytics::startWithAppID(appID, origin, APMStartOptions{std::move(values), nullptr});
  settle();
}

void EngineTest::settle() {
  for (int round = 0; round < 3; ++round) {
    // Timers armed to fire at once (the search-ads attempt of a first start)
    // fire here rather than at some later moment of the test.
    clock_->runDue();
    os::dispatch::drainUntilIdle();
    waitForQueue(APMAnalytics::queue());
    if (auto engine = this->engine()) waitForQueue(engine->scheduler()->workerQueue());
  }
  monitor_->TEST_flush();
}

void resetStoreOffering(const std::string& productIdentifier, const std::string& title, const char* price) {
  os::StoreSimulator::reset();
  APMInAppPurchaseProductCache::TEST_reset();
  APMInAppPurchaseTransactionReporter::TEST_reset();
  SKProduct::Description product;
  product.productIdentifier = productIdentifier;
  product.localizedTitle = title;
  product.price = os::Decimal::fromString(price);
  product.priceLocale = {.localeIdentifier = "en_US@currency=USD", .currencyCode = "USD"};
  os::StoreSimulator::addProduct(std::make_shared<SKProduct>(product));
}

void waitForQueue(const std::shared_ptr<os::DispatchQueue>& queue) {
  // The worker queue may wait on the main queue (the vendor identifier is
  // read there): the main thread drains instead of blocking on it.
  auto done = std::make_shared<std::atomic<bool>>(false);
  queue->async([done] { done->store(true); });
  while (!done->load()) {
    if (!os::dispatch::drainUntilIdle()) break;
  }
}

std::shared_ptr<APMMeasurement> EngineTest::engine() {
  return APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr;
}

std::vector<os::Dictionary> EngineTest::storedEvents() {
  settle();
  std::vector<os::Dictionary> events;
  auto engine = this->engine();
  auto database = engine ? engine->database() : nullptr;
  if (!database) return events;
  const auto rows =
      database->sqliteStore()->recordsForQuery("SELECT rowid, * FROM raw_events ORDER BY rowid ASC", {}, nullptr);
  for (const os::Dictionary& row : rows.value_or(std::vector<os::Dictionary>{})) {
    const auto raw = APMDatabase::rawEventDataFromDictionary(row, nullptr);
    if (!raw) continue;
    const auto& event = raw->rawEvent();
    events.push_back({{"origin", event->origin()},
                      {"name", event->name()},
                      {"isPublicEvent", APMIsPublicName(event->name())},
                      {"timestamp", event->timestamp()},
                      {"isRealtime", row.at("is_realtime").boolValue()},
                      {"parameters", APMPlainParameters(event->parameters())}});
  }
  return events;
}

void EngineTest::clearStoredEvents() {
  onWorker([](APMMeasurement& engine) {
    if (auto database = engine.database()) database->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
  });
}

std::vector<os::Dictionary> EngineTest::loggedEvents() {
  auto events = storedEvents();
  std::erase_if(events, [](const os::Dictionary& event) {
    const os::Value& name = event.at("name");
    return event.at("origin") == os::Value("auto") &&
           (name == os::Value("_f") || name == os::Value("_s") || name == os::Value("_e"));
  });
  return events;
}

os::Value EngineTest::userAttribute(const std::string& name) {
  settle();
  auto engine = this->engine();
  auto database = engine ? engine->database() : nullptr;
  auto attribute = database ? database->userAttributeWithName(name, nullptr) : nullptr;
  return attribute ? attribute->value().value() : os::Value();
}

bool EngineTest::applySettings(const std::vector<std::pair<std::string, std::string>>& settings) {
  const auto config = apm_test::measurementConfig(kAppID, settings, 1);
  bool applied = false;
  onWorker([&](APMMeasurement& engine) {
    if (auto remoteConfig = engine.remoteConfigInstance()) applied = remoteConfig->updateMeasurementConfig(config);
  });
  return applied;
}

bool EngineTest::applyConsentSettings(const std::vector<std::pair<std::string, std::string>>& settings, bool dmaRegion,
                                      const std::vector<std::string>& corePlatformServices) {
  auto config = apm_test::measurementConfig(kAppID, settings, 1);
  auto consent = APMPBConsentConfig::initWithMessageInfo(nullptr);
  std::vector<std::shared_ptr<APMPBCorePlatformServiceEntry>> services;
  for (const auto& name : corePlatformServices) {
    services.push_back(APMPBCorePlatformServiceEntry::initWithMessageInfo(nullptr));
    APMPBSetString(services.back().get(), 0, name);
  }
  APMPBSetArray(consent.get(), 2, services);
  APMPBSetBool(consent.get(), 3, dmaRegion);
  APMPBSetMessage(config.get(), 12, consent.get());
  bool applied = false;
  onWorker([&](APMMeasurement& engine) {
    if (auto remoteConfig = engine.remoteConfigInstance()) applied = remoteConfig->updateMeasurementConfig(config);
  });
  return applied;
}

void EngineTest::onWorker(const std::function<void(APMMeasurement&)>& fn) {
  auto engine = this->engine();
  if (!engine) return;
  engine->scheduler()->workerQueue()->sync([&] { fn(*engine); });
}

std::string EngineTest::takeSampledLine() {
  settle();
  const auto entry = monitor_->TEST_sampledData();
  monitor_->clearMonitoringData();
  return entry ? (*entry)[2].stringValue() : std::string();
}

}  // namespace engine_test
