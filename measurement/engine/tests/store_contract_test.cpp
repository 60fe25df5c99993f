// What the engine requires of the measurement store, configuration and
// identity, called once each on the real module in a fresh sandbox.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/backward_compatibility_util.h"
#include "measurement/store/conditional_user_property.h"
#include "measurement/store/conditional_user_property_controller.h"
#include "measurement/store/consent_settings.h"
#include "measurement/store/daily_counts.h"
#include "measurement/store/data_type_labels.h"
#include "measurement/store/database.h"
#include "measurement/store/errors.h"
#include "measurement/store/experiment_manager.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/identifiers.h"
#include "measurement/store/identity.h"
#include "measurement/store/info_plist_file_util.h"
#include "measurement/store/keychain_wrapper.h"
#include "measurement/store/numeric_util.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/records.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/tcf.h"
#include "measurement/store/user_defaults.h"
#include "measurement/store/value.h"

namespace {

using engine_test::EngineTest;

class StoreContractTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    database_ = APMDatabase::initWithDatabaseName(kAPMDatabaseName, APMPersistedConfig::sharedInstance(), nullptr);
    ASSERT_NE(database_, nullptr);
  }
  std::shared_ptr<APMEvent> event(const std::string& name, double timestamp) {
    return APMEvent::initWithOrigin("app", false, name, timestamp, 0, APMEventParameters{});
  }
  std::shared_ptr<APMDatabase> database_;
};

TEST_F(StoreContractTest, TransactionsUserPropertiesAndAggregates) {
  // A transaction commits on YES and rolls back on NO, with 12056.
  auto attribute = [](const std::string& name, const std::string& origin, const APMValue& value) {
    return APMUserAttribute::initWithOrigin(origin, name, value, 1'700'000'000.0);
  };
  EXPECT_TRUE(database_->performTransaction(
      [&] { return database_->updateUserAttribute(attribute("kept", "app", *APMValue::initWithString("a")), nullptr); }));
  EXPECT_FALSE(database_->performTransaction([&] {
    database_->updateUserAttribute(attribute("dropped", "app", APMValue::initWithInt64(1)), nullptr);
    return false;
  }));
  EXPECT_EQ(database_->containsUserAttributeWithName("kept", nullptr), true);
  EXPECT_EQ(database_->containsUserAttributeWithName("dropped", nullptr), false);
  EXPECT_EQ(takeSampledLine().substr(0, 30), "1E_110100:Transaction failed. ");

  database_->updateUserAttribute(attribute("_ltv_USD", "auto", APMValue::initWithInt64(990000)), nullptr);
  database_->updateUserAttribute(attribute("_fot", "auto", APMValue::initWithInt64(5)), nullptr);
  EXPECT_EQ(database_->userAttributeWithName("kept", nullptr)->value().stringValue(), "a");
  EXPECT_EQ(database_->userAttributesIncludingInternal(true, nullptr)->size(), 3u);
  EXPECT_EQ(database_->userAttributesIncludingInternal(false, nullptr)->size(), 1u);
  EXPECT_EQ(database_->publicUserAttributeCount(nullptr), 1);
  EXPECT_EQ(database_->userAttributeCountForOrigin("auto", nullptr), 2);
  EXPECT_EQ(database_->allLifetimeValueUserAttributes(nullptr)->size(), 1u);
  EXPECT_TRUE(database_->deleteUserAttributeWithName("kept", nullptr));
  EXPECT_EQ(database_->userAttributeWithName("kept", nullptr), nullptr);

  // Event aggregates: the public count skips names beginning with "_".
  for (const char* name : {"_s", "_e", "purchase", "level_up"}) {
    ASSERT_TRUE(database_->updateEventAggregates(APMEventAggregates::initWithName(name, 3, 2, 1, 1.0), nullptr));
  }
  EXPECT_EQ(database_->publicEventCount(nullptr), 2);
  EXPECT_EQ(database_->allEventAggregates(nullptr)->size(), 4u);
  EXPECT_EQ(database_->eventAggregatesWithName("_s", nullptr)->lifetimeCount(), 3);
  EXPECT_EQ(database_->eventAggregatesWithName("missing", nullptr), nullptr);
  EXPECT_TRUE(database_->createEventsSnapshotTable(nullptr));
  EXPECT_TRUE(database_->clearCurrentSessionCounts(nullptr));
  EXPECT_EQ(database_->eventAggregatesWithName("_s", nullptr)->currentSessionCount(), 0);
  EXPECT_TRUE(database_->restoreFromEventsSnapshotTable(nullptr));
  EXPECT_EQ(database_->eventAggregatesWithName("_s", nullptr)->currentSessionCount(), 1);

  // Daily counts and app metadata.
  APMDailyCounts counts = *database_->dailyCounts(nullptr);
  counts.incrementCountsForCurrentDay(counts.day(), true, true);
  counts.incrementErrorEventsCountForCurrentDay(counts.day());
  ASSERT_TRUE(database_->updateDailyCounts(counts, nullptr));
  EXPECT_EQ(database_->dailyCounts(nullptr)->allEventsCount(), 2);
  EXPECT_EQ(database_->dailyCounts(nullptr)->errorEventsCount(), 1);
  ASSERT_TRUE(database_->updateAppMetadata(APMAppMetadata(4, 1.0, 2.0), nullptr));
  EXPECT_EQ(database_->queryAppMetadata(nullptr), APMAppMetadata(4, 1.0, 2.0));
  EXPECT_TRUE(database_->updateRemoteConfigSuccessfulTimestamp(1'700'000'000.0, nullptr));
  EXPECT_TRUE(database_->maybeDeleteStaleData(nullptr).has_value());
  EXPECT_TRUE(database_->reset(nullptr));
  EXPECT_EQ(database_->publicEventCount(nullptr), 0);
}

TEST_F(StoreContractTest, RawEventsQueueAndPurchases) {
  auto metadata = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetString(metadata.get(), 14, engine_test::kBundleIdentifier);
  ASSERT_TRUE(database_->insertIfNotExistsRawEventMetadata(metadata, nullptr));
  const int64_t fingerprint = apm_64LSBMD5(*metadata->protoBuffer());
  EXPECT_EQ(database_->isRawEventsTableEmpty(nullptr), true);
  ASSERT_TRUE(database_->insertRawEvent(event("_f", 1'700'000'000.0), fingerprint, false, nullptr));
  ASSERT_TRUE(database_->insertRawEvent(event("_e", 1'700'000'001.0), fingerprint, true, nullptr));
  EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(nullptr), 0);
  EXPECT_EQ(database_->nextMetadataFingerprintToProcess(nullptr), fingerprint);
  EXPECT_NE(database_->queryRawEventsMetadataWithFingerprint(fingerprint, nullptr), nullptr);
  EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(fingerprint, nullptr), true);
  EXPECT_EQ(database_->containsRealtimeRawEventsWithError(nullptr), true);
  EXPECT_EQ(database_->queryLatestRawEventTime(nullptr), 1'700'000'001.0);
  const auto rows = database_->rawEventsWithMetadataFingerprint(
      fingerprint, nullptr, [](uint32_t position, const os::Dictionary&) { return position < 1; });
  ASSERT_TRUE(rows && rows->size() == 1);
  EXPECT_EQ((*rows)[0]->rawEvent()->name(), "_f");  // in row order, the filter's first NO ends the read
  EXPECT_TRUE(database_->deleteRawEventsWithMaxRowID((*rows)[0]->rowID(), nullptr));
  const auto left = database_->rawEventsWithMetadataFingerprint(
      fingerprint, nullptr, [](uint32_t, const os::Dictionary&) { return true; });
  ASSERT_TRUE(left);
  EXPECT_EQ(left->size(), 1u);
  EXPECT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, nullptr));

  // The upload queue, oldest first.
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetString(bundle.get(), 14, engine_test::kBundleIdentifier);
  APMPBSetInt64(bundle.get(), 5, 1'700'000'000'000);
  ASSERT_TRUE(database_->insertBundle(bundle, true, nullptr));
  ASSERT_TRUE(database_->insertBundle(bundle, false, nullptr));
  const auto queued = database_->queryBundlesWithCountLimit(10, 1'000'000, nullptr);
  ASSERT_TRUE(queued && queued->size() == 2);
  EXPECT_LT((*queued)[0].rowID, (*queued)[1].rowID);
  EXPECT_TRUE(database_->incrementRetryCounterForBundlesWithIDs({(*queued)[0].rowID}, nullptr));
  EXPECT_EQ(database_->queryLatestBundleTime(nullptr), 1'700'000'000.0);
  EXPECT_EQ(database_->containsRealtimeBundlesWithError(nullptr), true);
  EXPECT_TRUE(database_->deleteBundlesWithRowIDs({(*queued)[0].rowID, (*queued)[1].rowID}, nullptr));
  EXPECT_EQ(database_->isQueuedBundleTableEmpty(nullptr), true);

  // Purchases and subscriptions: new once.
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p1", nullptr), 1);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p1", nullptr), 0);
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s1", nullptr), 1);
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s1", nullptr), 0);
  EXPECT_EQ(database_->deleteSubscriptionsOverLimit(nullptr), 0);

  // Audience filters and results.
  auto filter = APMPBEventFilter::initWithMessageInfo(nullptr);
  APMPBSetInt32(filter.get(), 0, 1);
  APMPBSetString(filter.get(), 1, "_f");
  APMPBSetBool(filter.get(), 7, true);
  const auto filterRow = std::make_shared<APMEventFilter>(7, 1, "_f", *filter->protoBuffer(), true, false, false);
  ASSERT_TRUE(database_->updateEventFilters({filterRow}, nullptr));
  auto propertyFilter = APMPBPropertyFilter::initWithMessageInfo(nullptr);
  APMPBSetString(propertyFilter.get(), 1, "_fot");
  const auto propertyRow =
      std::make_shared<APMPropertyFilter>(8, 2, "_fot", *propertyFilter->protoBuffer(), false, false, false);
  ASSERT_TRUE(database_->updatePropertyFilters({propertyRow}, nullptr));
  EXPECT_EQ(database_->eventFiltersForEventName("_f", nullptr)->size(), 1u);
  EXPECT_EQ(database_->propertyFiltersForPropertyName("_fot", nullptr)->size(), 1u);
  EXPECT_EQ(database_->allAudienceIDs(nullptr), (std::vector<int32_t>{7, 8}));
  EXPECT_EQ(database_->allSessionScopedFilters(nullptr)->at(7), std::vector<int32_t>{1});
  auto result = std::make_shared<APMFilterResult>(7, os::Data::fromString("r"), std::nullopt);
  ASSERT_TRUE(database_->updateFilterResults({result}, nullptr));
  EXPECT_NE(database_->filterResultForAudienceID(7, nullptr), nullptr);
  EXPECT_EQ(database_->filterResultForAudienceID(9, nullptr), nullptr);
  EXPECT_EQ(database_->allFilterResults(nullptr)->size(), 1u);
  EXPECT_TRUE(database_->deleteFilterResults({result}, nullptr));
  EXPECT_TRUE(database_->deleteAllEventFilters(nullptr));
  EXPECT_TRUE(database_->deleteAllPropertyFilters(nullptr));
  EXPECT_TRUE(database_->allAudienceIDs(nullptr)->empty());
}

TEST_F(StoreContractTest, RecordsConfigurationAndRoutines) {
  // Records.
  APMDailyCounts counts(3, 0, 0, 0, 0, 0, 0);
  counts.incrementCountsForCurrentDay(4, true, false, 5);  // a new day resets first
  EXPECT_EQ(counts.day(), 4);
  EXPECT_EQ(counts.allEventsCount(), 5);
  counts.decrementAllEventsCount();
  counts.incrementRealtimeCountsForCurrentDay(4);
  counts.incrementDCURealtimeCountsForCurrentDay(4);
  EXPECT_EQ(counts.allEventsCount(), 4);
  EXPECT_EQ(counts.realtimeCount(), 1);
  EXPECT_EQ(APMValue::valueFromObject(APMObject(os::Value(2.5)))->doubleValue(), 2.5);
  EXPECT_FALSE(APMValue::valueFromObject(APMObject(os::Value(os::Dictionary{}))));
  EXPECT_TRUE(APMValue::initWithArray(APMObject(os::Value::arrayOf({})))->isArray());
  const auto attribute = APMUserAttribute::initWithOrigin("app", "_id", *APMValue::initWithString("u"), 2.0);
  EXPECT_FALSE(attribute->isPublic());
  EXPECT_EQ(APMPBGetInt64(attribute->protoUserAttribute().get(), 0), 2000);
  auto cache = APMSequenceTimestampsCache::initWithAudienceID(1);
  cache->addEventFilterTimestamp(5, 2);
  cache->setUserPropertyTimestamp(6, 3);
  EXPECT_EQ(cache->sequenceFilterResultTimestamps().size(), 2u);
  EXPECT_EQ(APMSequenceTimestampsCache::initWithAudienceID(std::nullopt), nullptr);
  EXPECT_NE(APMRawEventData::initWithRawEvent(event("_f", 1.0), 0, 9), nullptr);
  EXPECT_NE(APMConditionalUserPropertyController::sharedInstance(), nullptr);

  // Persisted configuration: typed values with neutral defaults.
  auto persisted = APMPersistedConfig::sharedInstance();
  EXPECT_EQ(persisted->firstOpenTimestampMilliseconds(), 0);
  persisted->setFirstOpenTimestampMilliseconds(1'700'000'000'123);
  persisted->setSessionNumber(3);
  persisted->setAppVersion("1.0");
  persisted->setMeasurementEnabledState(2);
  EXPECT_EQ(persisted->firstOpenTimestampMilliseconds(), 1'700'000'000'123);
  EXPECT_EQ(persisted->sessionNumber(), 3);
  EXPECT_EQ(persisted->appVersion(), "1.0");
  EXPECT_EQ(persisted->measurementEnabledState(), 2);
  const double midnight = persisted->midnightOffset();
  EXPECT_TRUE(midnight >= 0 && midnight < 86'400);
  persisted->synchronizeToDisk();
  persisted->clearValues();
  EXPECT_EQ(persisted->sessionNumber(), 0);
  EXPECT_EQ(persisted->measurementEnabledState(), 2);  // lives in the app's defaults

  // Remote configuration: defaults, then the engine's over the store.
  auto defaults = APMRemoteConfig::defaultInstance();
  EXPECT_FALSE(defaults->isExpired());
  EXPECT_EQ(defaults->version(), -1);
  EXPECT_TRUE(defaults->DMAConsentEnabled());
  EXPECT_TRUE(defaults->tcfFeatureEnabled());
  EXPECT_EQ(defaults->attributionCacheTTLInterval(), 604'800);
  EXPECT_FALSE(defaults->efficientEngagementReportingEnabled());
  EXPECT_FALSE(defaults->redundantEngagementRemovalEnabled());
  EXPECT_EQ(APMRemoteConfig::initWithAppID("", database_, nullptr), nullptr);
  auto config = APMRemoteConfig::initWithAppID(engine_test::kAppID, database_, nullptr);
  ASSERT_NE(config, nullptr);
  const auto uploadURL = config->uploadURL();
  ASSERT_TRUE(uploadURL);
  EXPECT_EQ(uploadURL->absoluteString(), server_.baseURL() + "/a");
  EXPECT_TRUE(config->remoteConfigURLWithPlatform("ios", 110100, 1));
  auto measurementConfig = APMPBMeasurementConfig::initWithMessageInfo(nullptr);
  APMPBSetString(measurementConfig.get(), 1, engine_test::kAppID);
  EXPECT_TRUE(config->updateMeasurementConfig(measurementConfig));
  EXPECT_FALSE(config->isEventBlocklisted("purchase"));
  EXPECT_EQ(config->samplingRateForEvent("purchase"), 1);
  EXPECT_EQ(config->eventEditing(), nullptr);
  config->reset();

  // App defaults, the options file, backward compatibility.
  auto suite = std::make_shared<APMUserDefaults>("APMContractSuite");
  suite->setInteger(3, "count");
  suite->setBool(true, "flag");
  EXPECT_EQ(suite->integerForKey("count"), 3);
  EXPECT_TRUE(suite->boolForKey("flag"));
  EXPECT_EQ(suite->integerForKey("missing"), 0);
  suite->removeObjectForKey("count");
  EXPECT_TRUE(suite->objectForKey("count").isNull());
  EXPECT_FALSE(APMInfoPlistFileUtil::devuvoServiceInfoPlistPath());
  writeBundle({}, os::Dictionary{{"DEVUVO_APP_ID", engine_test::kAppID}});
  EXPECT_EQ(APMInfoPlistFileUtil::dictionaryFromDevuvoServiceInfoPlist()->at("DEVUVO_APP_ID"),
            os::Value(engine_test::kAppID));
  EXPECT_FALSE(APMBackwardCompatibilityUtil::disableVEZMeasurement());

  // Shared routines.
  os::Error error;
  APMSetError(&error, APMErrorCode::InvalidArgument, "bad");
  EXPECT_EQ(error.domain(), kAPMErrorDomain);
  EXPECT_EQ(apm_errorWithCode(13, "Analytics uninitialized").localizedDescription(), "Analytics uninitialized");
  int64_t failure = 0;
  EXPECT_FALSE(APMIsValidAPMValue(APMObject(), 3, &failure));
  EXPECT_EQ(failure, 1);
  EXPECT_FALSE(APMIsValidAPMValue(APMObject(os::Value(1)), 3, &failure));
  EXPECT_EQ(failure, 5);
  EXPECT_EQ(APMDataTypeDisplayName(0), "Event name");
  EXPECT_TRUE(APMIsNumericString("-12"));
  EXPECT_TRUE(APMIsDecimalNumberString(".5"));
  EXPECT_TRUE(APMDecimalNumberFromString("1.25"));
  EXPECT_NE(APMNumericUtil::randomInt64(), APMNumericUtil::randomInt64());
  EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(apm_UTF32Length("a\u00e9\U0001F600"), 3u);
  char32_t codePoints[2] = {};
  EXPECT_TRUE(apm_getUTF32Bytes("ab", codePoints, sizeof codePoints));
  EXPECT_EQ(codePoints[1], U'b');
  EXPECT_EQ(apm_dictionaryWithHttpArgumentsString("a=1&b&&a=2&c=x%20y"),
            (os::Dictionary{{"a", "1"}, {"b", ""}, {"c", "x y"}}));
  EXPECT_EQ(APMPublicToInternalParameterNames().at("engagement_time_msec"), "_et");
  EXPECT_EQ(APMUserPropertyShortNames().at("user_id"), "_id");
}

TEST_F(StoreContractTest, IdentityConsentAndMonitor) {
  writeBundle({{"DEVUVO_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", false}},
              os::Dictionary{{"DEVUVO_APP_ID", engine_test::kAppID}});
  auto identity = APMIdentity::sharedInstance();
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(identity->appID(), engine_test::kBundleIdentifier);
  EXPECT_EQ(identity->appVersion(), engine_test::kAppVersion);
  EXPECT_EQ(APMIdentity::duvEvodedezudiLibraryVersion(), 110100);
  identity->updateIdentifiersAndWait();
  EXPECT_TRUE(identity->appInstanceID().has_value());
  EXPECT_EQ(APMIdentity::randomAppInstanceID().size(), 32u);
  identity->setVivuzuvuInstallationID("vid");
  EXPECT_EQ(identity->vivuzuvuInstallationID(), "vid");
  EXPECT_FALSE(identity->isFromAppStore());
  EXPECT_FALSE(identity->ephemeralAppInstanceID().empty());
  APMIdentifiers::sharedInstance()->setOrigin("fa");
  EXPECT_EQ(APMIdentifiers::sharedInstance()->origin(), "fa");

  // Consent: the state, priorities and the signal string.
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);
  EXPECT_EQ(APMConsentSettingsUtil::consentSignals().substr(0, 2), "G1");
  EXPECT_EQ(APMConsentSettingsUtil::consentSettingsFromPlist(), (os::Dictionary{{"ad_storage", "denied"}}));
  EXPECT_EQ(APMConsentSettingsUtil::consentSettingsFromDictionary({{"ad_storage", "granted"}, {"other", "x"}}),
            (os::Dictionary{{"ad_storage", "granted"}}));
  APMConsentSettingsUtil::updateSettings({{"ad_storage", "denied"}, {"analytics_storage", "granted"}}, 10);
  EXPECT_TRUE(APMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_FALSE(APMConsentSettingsUtil::isAnalyticsStorageDenied());
  EXPECT_EQ(APMConsentSettingsUtil::consentSignals(), "G101");
  EXPECT_TRUE(APMConsentSettingsUtil::isConsentSourceHigherPriority(5));   // 5 and 10 are one level
  EXPECT_FALSE(APMConsentSettingsUtil::isConsentSourceHigherPriority(30));
  APMConsentSettingsUtil::setDiagnosticSource(3, "ad_personalization");
  EXPECT_EQ(APMConsentSettingsUtil::consentDiagnostics().size(), 5u);
  APMConsentSettingsUtil::clearAllSettings();
  EXPECT_EQ(APMConsentSettingsUtil::consentSource(), 100);

  // TCF client, keychain items, experiments.
  APMTCFClient tcf;
  tcf.setIsDMARegion(false);
  tcf.setConsentFromTCFData();
  EXPECT_FALSE(tcf.isDMARegion());
  EXPECT_TRUE(APMKeychainWrapper::upsertKeychainValue(os::Value("2"), "_pfo", engine_test::kBundleIdentifier));
  EXPECT_EQ(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", engine_test::kBundleIdentifier), "2");
  APMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", engine_test::kBundleIdentifier);
  EXPECT_FALSE(APMKeychainWrapper::keychainValueWithIdentifier("_pfo", engine_test::kBundleIdentifier));
  EXPECT_NE(APMEManager::sharedInstance(), nullptr);

  // Monitor: lines go through the sink with their levels; level 8 only in
  // verbose mode.
  sink_->clear();
  monitor_->logWithLevel(6, 99001, "notice");
  monitor_->logWithLevel(8, 99002, "verbose");
  monitor_->logWithLevel(3, 99003, "two contexts", "a", 1);
  EXPECT_EQ(codes(), (std::vector<int64_t>{99001, 99003}));
  monitor_->setLogTag("[Tag]");
  EXPECT_EQ(monitor_->logTag(), "[Tag]");
  EXPECT_FALSE(monitor_->isDebugModeEnabled());
  monitor_->clearMonitoringData();
  monitor_->logWithLevel(1, 99004, "sampled");
  EXPECT_EQ(takeSampledLine(), "1E_110100:sampled");
}

}  // namespace
