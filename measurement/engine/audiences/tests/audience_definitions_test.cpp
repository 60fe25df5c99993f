#include "measurement/engine/audiences/audience.h"
#include "measurement/engine/audiences/tests/audience_test_support.h"
#include "measurement/store/errors.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"

namespace apm_audience_test {
namespace {

using CT = APMNumberFilterComparisonType;
using MT = APMStringFilterMatchType;

std::shared_ptr<APMPBFilter> exact(const char* text, std::optional<std::string> parameterName = std::nullopt) {
  return valueFilter(nullptr, stringFilter(MT::Exact, text), false, std::move(parameterName));
}

class DefinitionsTest : public AudienceDatabaseTest {
 protected:
  void SetUp() override {
    AudienceDatabaseTest::SetUp();
    audience_ = APMAudience::initWithDatabase(database_);
  }

  std::vector<std::string> rows(const std::string& sql) {
    os::Error error;
    auto records = database_->sqliteStore()->recordsForQuery(sql, {}, &error);
    EXPECT_TRUE(records) << error.description();
    std::vector<std::string> out;
    for (const auto& row : records.value_or(std::vector<os::Dictionary>{})) {
      std::string text;
      for (const auto& [column, value] : row) {
        if (column == "rowid" || value.isData()) continue;
        text += (text.empty() ? "" : " ") + column + "=" + value.description();
      }
      out.push_back(text);
    }
    return out;
  }
  std::vector<std::string> eventFilterRows() {
    return rows("SELECT audience_id, filter_id, event_name FROM event_filters ORDER BY audience_id, filter_id");
  }
  std::vector<std::string> propertyFilterRows() {
    return rows("SELECT audience_id, filter_id, property_name FROM property_filters ORDER BY audience_id, filter_id");
  }
  void storeResults(int32_t first, int32_t count) {
    std::vector<std::shared_ptr<APMFilterResult>> records;
    for (int32_t id = first; id < first + count; ++id) {
      records.push_back(std::make_shared<APMFilterResult>(id, os::Data("\x08\x01", 2), std::nullopt));
    }
    ASSERT_TRUE(database_->performTransaction([&] { return database_->updateFilterResults(records, nullptr); }));
  }
  // In one transaction, as the configuration applies it (and much faster).
  bool update(const std::vector<std::shared_ptr<APMPBAudience>>& audiences) {
    return database_->performTransaction([&] { return audience_->updateAudiences(audiences); });
  }

  std::shared_ptr<APMAudience> audience_;
};

TEST_F(DefinitionsTest, ValidityChecksInOrder) {
  auto good = [] { return eventFilter(0, "_e"); };
  auto floatCount = numberFilter(CT::GreaterThan, "1");
  APMPBSetBool(floatCount.get(), kAPMNumberFilterIsFloat, true);
  std::vector<std::shared_ptr<APMPBFilter>> tooManyParameters(26, exact("a", "p"));
  struct Case {
    std::shared_ptr<APMPBAudience> audience;
    int64_t code;
    const char* text;
  } cases[] = {
      {audience(std::nullopt, {good()}), 9, "Missing audience ID"},
      {audience(-1, {good()}), 9, "Audience ID is negative"},
      {audience(7, {good()}), 9, "Duplicate audience ID"},
      {audience(1, {}), 9, "Audience filter count out of range"},
      {audience(1, {good(), eventFilter(1, "_e"), eventFilter(2, "_e"), eventFilter(3, "_e"), eventFilter(4, "_e"),
                    eventFilter(5, "_e"), eventFilter(6, "_e"), eventFilter(7, "_e"), eventFilter(8, "_e")},
                {propertyFilter(9, "p", exact("a")), propertyFilter(10, "p", exact("a"))}),
       9, "Audience filter count out of range"},
      {audience(1, {eventFilter(0, std::nullopt)}), 10, "Event filter missing event name"},
      {audience(1, {eventFilter(std::nullopt, "_e")}), 10, "Missing event filter ID"},
      {audience(1, {eventFilter(-1, "_e")}), 10, "Event filter ID is out of range"},
      {audience(1, {eventFilter(10, "_e")}), 10, "Event filter ID is out of range"},
      {audience(1, {good(), good()}), 10, "Duplicate event filter ID"},
      {audience(1, {eventFilter(0, "_e", {}, floatCount)}), 10, "Event filter has float event count filter"},
      {audience(1, {eventFilter(0, "_e", {}, numberFilter(CT::Unknown, "1"))}), 10,
       "Event filter has invalid event count filter"},
      {audience(1, {eventFilter(0, "_e", tooManyParameters)}), 10, "Event filter parameters filters count out of range"},
      {audience(1, {eventFilter(0, "_e", {exact("a")})}), 10, "Event filter missing parameter name"},
      {audience(1, {eventFilter(0, "_e", {valueFilter(numberFilter(CT::Equal, "1"), stringFilter(MT::Exact, "a"),
                                                      false, "p")})}),
       10, "Event filter must have exactly one of number or string filter"},
      {audience(1, {eventFilter(0, "_e", {valueFilter(nullptr, nullptr, false, "p")})}), 10,
       "Event filter must have exactly one of number or string filter"},
      {audience(1, {eventFilter(0, "_e", {valueFilter(numberFilter(CT::Equal, "x"), nullptr, false, "p")})}), 10,
       "Event filter has invalid number filter"},
      {audience(1, {eventFilter(0, "_e", {valueFilter(nullptr, stringFilter(MT::RegularExpression, "("), false, "p")})}),
       10, "Event filter has invalid string filter"},
      {audience(1, {}, {propertyFilter(0, std::nullopt, exact("a"))}), 11, "Property filter missing property name"},
      {audience(1, {}, {propertyFilter(std::nullopt, "p", exact("a"))}), 11, "Missing property filter ID"},
      {audience(1, {}, {propertyFilter(10, "p", exact("a"))}), 11, "Property filter ID is out of range"},
      {audience(1, {eventFilter(3, "_e")}, {propertyFilter(3, "p", exact("a"))}), 11, "Duplicate property filter ID"},
      {audience(1, {}, {propertyFilter(0, "p", nullptr)}), 11, "Property filter has no filter"},
      {audience(1, {}, {propertyFilter(0, "p", valueFilter(nullptr))}), 11,
       "Property filter must have exactly one of number or string filter"},
      // Kept as it stands: this one has no text.
      {audience(1, {}, {propertyFilter(0, "p", valueFilter(numberFilter(CT::Equal, "x")))}), 11, ""},
      {audience(1, {}, {propertyFilter(0, "p", valueFilter(nullptr, stringFilter(MT::InList)))}), 11,
       "Property filter has invalid string filter"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    os::Error error;
    EXPECT_FALSE(APMIsValidAudienceDefinition(*c.audience, {7}, &error));
    EXPECT_EQ(error.domain(), kAPMErrorDomain);
    EXPECT_EQ(error.code(), c.code);
    EXPECT_EQ(error.userInfo().count(os::kLocalizedDescriptionKey) ? error.localizedDescription() : "",
              std::string(c.text));
  }
  // The limits' own edges are accepted: ID 9 of 10, 10 filters, 25 parameters.
  std::vector<std::shared_ptr<APMPBEventFilter>> ten;
  for (int32_t id = 0; id < 10; ++id) ten.push_back(eventFilter(9 - id, "_e"));
  std::vector<std::shared_ptr<APMPBFilter>> twentyFive(25, exact("a", "p"));
  ten[0] = eventFilter(9, "_e", twentyFive);
  os::Error error;
  EXPECT_TRUE(APMIsValidAudienceDefinition(*audience(0, ten), {7}, &error)) << error.description();
  EXPECT_TRUE(APMIsValidAudienceDefinition(*audience(1, {}, {propertyFilter(9, "p", exact("a"))}), {}, nullptr));
}

TEST_F(DefinitionsTest, UpdateStoresValidAudiencesUnderShortNames) {
  auto engagement = valueFilter(numberFilter(CT::GreaterThan, "10"), nullptr, false, "engagement_time_msec");
  ASSERT_TRUE(audience_->updateAudiences({
      audience(1, {eventFilter(0, "screen_view", {engagement, exact("x", "custom")})},
               {propertyFilter(1, "user_id", exact("u")), propertyFilter(2, "custom", exact("c"))}),
      audience(1, {eventFilter(0, "other")}),  // a second audience 1 is refused
      audience(2, {eventFilter(4, "user_engagement", {}, nullptr, {.sessionScoped = true})}),
  }));
  EXPECT_EQ(eventFilterRows(), (std::vector<std::string>{"audience_id=1 event_name=_vs filter_id=0",
                                                         "audience_id=2 event_name=_e filter_id=4"}));
  EXPECT_EQ(propertyFilterRows(), (std::vector<std::string>{"audience_id=1 filter_id=1 property_name=_id",
                                                            "audience_id=1 filter_id=2 property_name=custom"}));
  const auto line = this->line(kAPMAudienceCodeInvalidAudience);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->level, 2);
  ASSERT_TRUE(line->contexts.size() == 2 && line->contexts[1].error());
  EXPECT_EQ(line->contexts[1].error()->localizedDescription(), "Duplicate audience ID");

  // The stored filter holds the short names too, and its flags.
  auto filters = database_->eventFiltersForEventName("_vs", nullptr);
  ASSERT_TRUE(filters && filters->size() == 1);
  auto stored = APMPBEventFilter::initWithBuffer((*filters)[0]->data());
  EXPECT_EQ(APMPBGetString(stored.get(), kAPMEventFilterEventName), "_vs");
  auto parameters = *APMPBGetArray<APMPBFilter>(stored.get(), kAPMEventFilterParameterFilters);
  ASSERT_EQ(parameters.size(), 2u);
  EXPECT_EQ(APMPBGetString(parameters[0].get(), kAPMFilterParameterName), "_et");
  EXPECT_EQ(APMPBGetString(parameters[1].get(), kAPMFilterParameterName), "custom");
  EXPECT_EQ(*database_->allSessionScopedFilters(nullptr), (std::map<int32_t, std::vector<int32_t>>{{2, {4}}}));
}

TEST_F(DefinitionsTest, TooManyAudiencesStoreNothingAndEmptyListsDeleteEverything) {
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {eventFilter(0, "_e")}, {propertyFilter(1, "p", exact("a"))})}));
  std::vector<std::shared_ptr<APMPBAudience>> many;
  for (int32_t id = 0; id < 101; ++id) many.push_back(audience(id + 10, {eventFilter(0, "_f")}));
  EXPECT_TRUE(update(many));
  EXPECT_TRUE(logged(kAPMAudienceCodeTooManyAudiences));
  EXPECT_EQ(eventFilterRows(), std::vector<std::string>{"audience_id=1 event_name=_e filter_id=0"});

  many.pop_back();  // 100 is allowed
  EXPECT_TRUE(update(many));
  EXPECT_EQ(rowCount("event_filters"), 100);
  EXPECT_EQ(rowCount("property_filters"), 0);

  EXPECT_TRUE(audience_->updateAudiences({audience(-1, {eventFilter(0, "_e")})}));  // all invalid
  EXPECT_EQ(rowCount("event_filters"), 0);
  ASSERT_TRUE(update(many));
  EXPECT_TRUE(audience_->updateAudiences({}));
  EXPECT_EQ(rowCount("event_filters"), 0);
}

TEST_F(DefinitionsTest, StaleResultsAreDeletedOnlyAboveTheLimit) {
  // Audience 1 is defined in the old definitions, 2 in the new ones; the
  // others are defined nowhere.
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {eventFilter(0, "_e")})}));
  storeResults(1, 200);
  ASSERT_TRUE(audience_->updateAudiences({audience(2, {eventFilter(0, "_e")})}));
  EXPECT_EQ(rowCount("audience_filter_values"), 200);
  EXPECT_FALSE(logged(kAPMAudienceCodeTooManyResults));

  storeResults(201, 1);
  ASSERT_TRUE(audience_->updateAudiences({audience(3, {eventFilter(0, "_e")})}));
  EXPECT_TRUE(logged(kAPMAudienceCodeTooManyResults));
  // 2 was defined before this update, 3 by it; 1 is gone now.
  EXPECT_EQ(rows("SELECT audience_id FROM audience_filter_values ORDER BY audience_id"),
            (std::vector<std::string>{"audience_id=2", "audience_id=3"}));
}

TEST_F(DefinitionsTest, InsideATransactionAFailedUpdateLeavesTheOldFilters) {
  ASSERT_TRUE(audience_->updateAudiences({audience(1, {eventFilter(0, "_e")}, {propertyFilter(1, "p", exact("a"))})}));
  struct Case {
    const char* trigger;
    int64_t code;
  } cases[] = {
      {"BEFORE DELETE ON event_filters", kAPMAudienceCodeDeleteEventFiltersFailed},
      {"BEFORE DELETE ON property_filters", kAPMAudienceCodeDeletePropertyFiltersFailed},
      {"BEFORE INSERT ON event_filters", kAPMAudienceCodeSaveEventFiltersFailed},
      {"BEFORE INSERT ON property_filters", kAPMAudienceCodeSavePropertyFiltersFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trigger);
    exec(std::string("CREATE TRIGGER refuse ") + c.trigger + " BEGIN SELECT RAISE(ABORT, 'refused'); END");
    clearLog();
    EXPECT_FALSE(database_->performTransaction([&] {
      return audience_->updateAudiences({audience(2, {eventFilter(0, "_f")}, {propertyFilter(1, "q", exact("b"))})});
    }));
    EXPECT_TRUE(logged(c.code));
    exec("DROP TRIGGER refuse");
    EXPECT_EQ(eventFilterRows(), std::vector<std::string>{"audience_id=1 event_name=_e filter_id=0"});
    EXPECT_EQ(propertyFilterRows(), std::vector<std::string>{"audience_id=1 filter_id=1 property_name=p"});
  }

  // A failed query of the results ends the update before anything is deleted.
  storeResults(10, 201);
  exec("ALTER TABLE audience_filter_values RENAME TO away");
  EXPECT_FALSE(audience_->updateAudiences({}));
  EXPECT_TRUE(logged(kAPMAudienceCodeQueryResultsForStaleFailed));
  EXPECT_EQ(rowCount("event_filters"), 1);
  exec("ALTER TABLE away RENAME TO audience_filter_values");
  exec("CREATE TRIGGER refuse BEFORE DELETE ON audience_filter_values BEGIN SELECT RAISE(ABORT, 'refused'); END");
  EXPECT_FALSE(audience_->updateAudiences({}));
  EXPECT_TRUE(logged(kAPMAudienceCodeDeleteStaleResultsFailed));
  EXPECT_EQ(rowCount("event_filters"), 1);
}

}  // namespace
}  // namespace apm_audience_test
