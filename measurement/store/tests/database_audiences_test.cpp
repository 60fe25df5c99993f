#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"
#include "measurement/store/tests/database_test_support.h"

namespace {

using apm_test::DatabaseTest;

class APMAudienceTablesTest : public DatabaseTest {
 protected:
  // An encoded EventFilter whose session-scoped flag (index 7) is as given.
  static os::Data eventFilterData(bool sessionScoped, bool dynamic = false) {
    auto message = APMPBEventFilter::initWithMessageInfo(nullptr);
    APMPBSetInt32(message.get(), 0, 1);
    APMPBSetBool(message.get(), 5, dynamic);
    APMPBSetBool(message.get(), 7, sessionScoped);
    return *message->protoBuffer();
  }
  static std::shared_ptr<APMEventFilter> eventFilter(int32_t audience, int32_t filter, std::string name = "purchase",
                                                     bool sessionScoped = false) {
    return std::make_shared<APMEventFilter>(audience, filter, std::move(name), eventFilterData(sessionScoped),
                                            sessionScoped, false, false);
  }
  static std::shared_ptr<APMPropertyFilter> propertyFilter(int32_t audience, int32_t filter,
                                                           bool sessionScoped = false) {
    auto message = APMPBPropertyFilter::initWithMessageInfo(nullptr);
    APMPBSetBool(message.get(), 5, sessionScoped);
    APMPBSetBool(message.get(), 4, true);
    return std::make_shared<APMPropertyFilter>(audience, filter, "level", *message->protoBuffer(), sessionScoped,
                                               false, true);
  }
  std::vector<std::pair<int32_t, int32_t>> eventFilterKeys() {
    std::vector<std::pair<int32_t, int32_t>> keys;
    for (const auto& row : query("SELECT audience_id, filter_id FROM event_filters ORDER BY audience_id, filter_id")) {
      keys.emplace_back(int32_t(row.at("audience_id").int64Value()), int32_t(row.at("filter_id").int64Value()));
    }
    return keys;
  }
};

TEST_F(APMAudienceTablesTest, FiltersAreReplacedByKeyAndReadWithTheirMessagesFlags) {
  ASSERT_TRUE(database_->updateEventFilters({eventFilter(3, 1), eventFilter(3, 2, "level_up")}, nullptr));
  // Same key, new content: replaced.
  auto replacement = std::make_shared<APMEventFilter>(3, 1, "purchase", eventFilterData(true, true), false, false,
                                                      false);
  ASSERT_TRUE(database_->updateEventFilters({replacement}, nullptr));
  auto filters = database_->eventFiltersForEventName("purchase", nullptr);
  ASSERT_TRUE(filters);
  ASSERT_EQ(filters->size(), 1u);
  EXPECT_EQ((*filters)[0]->data(), replacement->data());
  EXPECT_TRUE((*filters)[0]->isSessionScoped());  // from the message, not the column
  EXPECT_TRUE((*filters)[0]->isDynamic());
  EXPECT_EQ(rowCount(kAPMEventFiltersTableName), 2);

  // The column says session-scoped, the message does not: listed as
  // session-scoped, read as not.
  ASSERT_TRUE(database_->updateEventFilters(
      {std::make_shared<APMEventFilter>(7, 2, "screen", eventFilterData(false), true, false, false)}, nullptr));
  ASSERT_TRUE(database_->updatePropertyFilters({propertyFilter(9, 4, true), propertyFilter(3, 5)}, nullptr));
  auto sessionScoped = database_->allSessionScopedFilters(nullptr);
  ASSERT_TRUE(sessionScoped);
  EXPECT_EQ(*sessionScoped, (std::map<int32_t, std::vector<int32_t>>{{7, {2}}, {9, {4}}}));
  EXPECT_FALSE(database_->eventFiltersForEventName("screen", nullptr)->front()->isSessionScoped());
  auto properties = database_->propertyFiltersForPropertyName("level", nullptr);
  ASSERT_TRUE(properties);
  ASSERT_EQ(properties->size(), 2u);
  EXPECT_TRUE((*properties)[0]->isSessionScoped());
  EXPECT_TRUE((*properties)[0]->isSequence());

  // A filter whose data does not decode reads with every flag off.
  execOnFile("UPDATE event_filters SET data = x'ff' WHERE audience_id = 3 AND filter_id = 2");
  auto damaged = database_->eventFiltersForEventName("level_up", nullptr);
  ASSERT_TRUE(damaged);
  EXPECT_FALSE(damaged->front()->isSessionScoped() || damaged->front()->isDynamic() || damaged->front()->isSequence());

  // Audience 9 is only in property_filters.
  auto audiences = database_->allAudienceIDs(nullptr);
  ASSERT_TRUE(audiences);
  EXPECT_EQ(*audiences, (std::vector<int32_t>{3, 7, 9}));

  ASSERT_TRUE(database_->deleteEventFilters({eventFilter(3, 1), eventFilter(7, 2)}, nullptr));
  EXPECT_EQ(eventFilterKeys(), (std::vector<std::pair<int32_t, int32_t>>{{3, 2}}));
  ASSERT_TRUE(database_->deletePropertyFilters({propertyFilter(9, 4)}, nullptr));
  EXPECT_EQ(rowCount(kAPMPropertyFiltersTableName), 1);
  ASSERT_TRUE(database_->deleteAllEventFilters(nullptr));
  ASSERT_TRUE(database_->deleteAllPropertyFilters(nullptr));
  EXPECT_TRUE(database_->allAudienceIDs(nullptr)->empty());
}

TEST_F(APMAudienceTablesTest, RefusedFilterWritesAndDeletes) {
  struct Case {
    std::function<bool(os::Error*)> call;
    int64_t code;
    const char* description;
  };
  auto withoutData = std::make_shared<APMEventFilter>(1, 1, "purchase", os::Data(), false, false, false);
  auto withoutCurrent = std::make_shared<APMFilterResult>(1, std::nullopt, std::nullopt);
  const std::vector<Case> cases = {
      {[&](os::Error* e) { return database_->updateEventFilters({}, e); }, 1, "Received empty event filters to update"},
      {[&](os::Error* e) { return database_->updateEventFilters({eventFilter(1, 1), nullptr}, e); }, 3,
       "Received empty event filter for getting dictionary representation"},
      {[&](os::Error* e) { return database_->updateEventFilters({eventFilter(1, 1, "")}, e); }, 3,
       "Received event filter with empty event name for getting dictionary representation"},
      {[&](os::Error* e) { return database_->updateEventFilters({withoutData}, e); }, 3,
       "Received event filter with empty data for getting dictionary representation"},
      {[&](os::Error* e) { return database_->updatePropertyFilters({}, e); }, 1,
       "Received empty property filters to update"},
      {[&](os::Error* e) { return database_->updateFilterResults({withoutCurrent}, e); }, 3,
       "Received filter result with empty data for getting dictionary representation"},
      {[&](os::Error* e) { return database_->deleteEventFilters({}, e); }, 1, "Received empty event filters to delete"},
      {[&](os::Error* e) { return database_->deleteFilterResults({}, e); }, 1,
       "Received empty filter results to delete"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    os::Error error;
    EXPECT_FALSE(c.call(&error));
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(description(error), c.description);
  }
  // The element before the refused one stays written.
  EXPECT_EQ(eventFilterKeys(), (std::vector<std::pair<int32_t, int32_t>>{{1, 1}}));
  os::Error error;
  EXPECT_FALSE(database_->eventFiltersForEventName("", &error));
  EXPECT_EQ(description(error), "Received empty event name for getting event filters");
}

TEST_F(APMAudienceTablesTest, FilterResultsStoreEmptyPreviousResultsAsNull) {
  const os::Data current = os::Data::fromString("current");
  ASSERT_TRUE(database_->updateFilterResults(
      {std::make_shared<APMFilterResult>(4, current, os::Data()),
       std::make_shared<APMFilterResult>(5, current, os::Data::fromString("previous"))},
      nullptr));
  EXPECT_TRUE(query("SELECT previous_results FROM audience_filter_values WHERE audience_id = 4")[0]
                  .at("previous_results")
                  .isNull());
  auto four = database_->filterResultForAudienceID(4, nullptr);
  ASSERT_TRUE(four);
  EXPECT_EQ(four->currentResults(), current);
  EXPECT_FALSE(four->previousResults());
  auto all = database_->allFilterResults(nullptr);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ(all->at(5)->previousResults(), os::Data::fromString("previous"));

  os::Error error;
  EXPECT_FALSE(database_->filterResultForAudienceID(6, &error));
  EXPECT_TRUE(error.domain().empty());
  ASSERT_TRUE(database_->deleteFilterResults({four, four}, nullptr));
  EXPECT_EQ(database_->allFilterResults(nullptr)->size(), 1u);
}

TEST_F(APMAudienceTablesTest, PurchasesAreReportedOnceAndTheNewestThousandKept) {
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p-0", nullptr), 1);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p-0", nullptr), 0);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("", nullptr), 0);
  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 1; i <= 1000; ++i) {
      if (database_->insertIfNotDuplicatePurchaseFingerprint("p-" + std::to_string(i), nullptr) != 1) return false;
    }
    return true;
  }));
  EXPECT_EQ(rowCount(kAPMPurchaseTransactionsTableName), 1000);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p-0", nullptr), 1);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("p-1000", nullptr), 0);

  ASSERT_TRUE(database_->performTransaction([&] {
    for (int i = 0; i < 1005; ++i) {
      if (database_->insertIfNotDuplicateSubscriptionID("s-" + std::to_string(i), nullptr) != 1) return false;
    }
    return true;
  }));
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s-0", nullptr), 0);
  EXPECT_EQ(rowCount(kAPMSubscriptionsTableName), 1005);
  EXPECT_EQ(database_->deleteSubscriptionsOverLimit(nullptr), 5);
  EXPECT_EQ(rowCount(kAPMSubscriptionsTableName), 1000);
  EXPECT_EQ(database_->insertIfNotDuplicateSubscriptionID("s-0", nullptr), 1);
}

// A failed look-up or write answered as if the purchase were new (or went on
// to write it anyway), so it could be reported twice. Each write fails in
// turn, and a locked file fails the look-up: no answer, and nothing recorded
// that was not reported.
TEST_F(APMAudienceTablesTest, AFailedStepGivesNoAnswerAndRecordsNothing) {
  apm_test::SqliteFaultVFS vfs;
  database_.reset();
  database_ = open();
  ASSERT_TRUE(database_);
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 50);
    vfs.failNthWriteOrSync(n, 1, "devuvo-app-measurement");
    os::Error error;
    const auto recorded = database_->insertIfNotDuplicatePurchaseFingerprint("p-" + std::to_string(n), &error);
    vfs.disarm();
    if (!vfs.hasFailed()) {
      EXPECT_EQ(recorded, 1);
      break;
    }
    EXPECT_FALSE(recorded);
    EXPECT_EQ(error.code(), 3);
  }

  // Another connection holds the file: the look-up itself fails.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  os::Error error;
  EXPECT_FALSE(database_->insertIfNotDuplicatePurchaseFingerprint("locked", &error));
  EXPECT_EQ(error.code(), 3);
  EXPECT_FALSE(database_->allSessionScopedFilters(&error));
  EXPECT_FALSE(database_->allSessionScopedFilters(nullptr));
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("locked", nullptr), 1);
}

TEST_F(APMAudienceTablesTest, MainEventsAreKeptPerComplexEvent) {
  auto first = event("purchase", 1000, {{"value", APMValue::initWithInt64(5)}});
  auto second = event("purchase", 2000, {{"value", APMValue::initWithInt64(6)}});
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(42, 3, first, nullptr));
  ASSERT_TRUE(database_->updateComplexEventForAudienceEvaluationWithEventID(42, 2, second, nullptr));
  EXPECT_EQ(rowCount(kAPMMainEventParamsTableName), 1);
  auto pair = database_->mainEventAndChildCountPairWithEventID(42, nullptr);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->childCount, 2);
  EXPECT_EQ(pair->mainEvent->timestamp(), 2000);
  EXPECT_EQ(pair->mainEvent->parameters(), second->parameters());

  os::Error error;
  EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(7, &error));
  EXPECT_TRUE(error.domain().empty());
  EXPECT_FALSE(database_->updateComplexEventForAudienceEvaluationWithEventID(1, 1, nullptr, &error));
  EXPECT_EQ(description(error), "Received nil main event");
  execOnFile("UPDATE main_event_params SET main_event = x'ff'");
  EXPECT_FALSE(database_->mainEventAndChildCountPairWithEventID(42, &error));
  EXPECT_EQ(description(error), "Main event blob is nil in database");
  ASSERT_TRUE(database_->deleteComplexEventForAudienceEvaluationWithEventID(42, nullptr));
  EXPECT_EQ(rowCount(kAPMMainEventParamsTableName), 0);
}

}  // namespace
