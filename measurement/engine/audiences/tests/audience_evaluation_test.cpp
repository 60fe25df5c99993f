#include <cmath>

#include "measurement/engine/audiences/audience.h"
#include "measurement/engine/audiences/audience_results.h"
#include "measurement/engine/audiences/tests/audience_test_support.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"

namespace apm_audience_test {
namespace {

using CT = APMNumberFilterComparisonType;
using MT = APMStringFilterMatchType;
using apm_audience::ResultBits;

APMValue str(const char* text) { return *APMValue::initWithString(APMObject(text)); }
APMValue i64(int64_t value) { return APMValue::initWithInt64(value); }

// A parameter filter: the event's "level" must equal `level`.
std::shared_ptr<APMPBFilter> levelIs(int64_t level) {
  return valueFilter(numberFilter(CT::Equal, std::to_string(level)), nullptr, false, "level");
}

// The decoded state of one audience's record.
struct Stored {
  std::shared_ptr<APMFilterResult> record;
  std::shared_ptr<APMPBResultData> current;
  ResultBits bits;
  std::map<int32_t, int64_t> dynamic;
  std::map<int32_t, std::vector<int64_t>> sequence;
};

class EvaluationTest : public AudienceDatabaseTest {
 protected:
  void SetUp() override {
    AudienceDatabaseTest::SetUp();
    audience_ = APMAudience::initWithDatabase(database_);
  }

  void define(std::vector<std::shared_ptr<APMPBAudience>> audiences) {
    ASSERT_TRUE(audience_->updateAudiences(audiences));
  }
  bool event(const std::string& name, double timestamp, APMEventParameters parameters = {},
             APMAudienceTimestampsCache* cache = nullptr, const APMEventAggregates* aggregates = nullptr) {
    return audience_->evaluateFiltersForEventName(name, parameters, aggregates, timestamp, cache);
  }
  bool property(const std::string& name, APMValue value, double timestamp) {
    auto attribute = APMUserAttribute::initWithOrigin("app", name, value, timestamp);
    EXPECT_TRUE(attribute);
    return audience_->evaluateFiltersForUserProperty(*attribute, nullptr, timestamp);
  }
  Stored stored(int32_t audienceID) {
    Stored out;
    os::Error error;
    out.record = database_->filterResultForAudienceID(audienceID, &error);
    EXPECT_TRUE(error.domain().empty()) << error.description();
    if (!out.record || !out.record->currentResults()) return out;
    out.current = APMPBResultData::initWithBuffer(*out.record->currentResults());
    out.bits = ResultBits::of(out.current.get());
    const auto dynamic = APMPBGetArray<APMPBDynamicFilterResultTimestamp>(out.current.get(), 2).value();
    for (const auto& entry : dynamic) out.dynamic[APMPBGetInt32(entry.get(), 0)] = APMPBGetInt64(entry.get(), 1);
    const auto sequence = APMPBGetArray<APMPBSequenceFilterResultTimestamp>(out.current.get(), 3).value();
    for (const auto& entry : sequence) {
      const os::Array steps = APMPBGetArray(entry.get(), 1).value();
      for (const auto& step : steps) out.sequence[APMPBGetInt32(entry.get(), 0)].push_back(step.int64Value());
    }
    return out;
  }
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> bundle() {
    std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> leaves;
    EXPECT_TRUE(audience_->resultsForBundling(&leaves));
    return leaves;
  }

  std::shared_ptr<APMAudience> audience_;
};

TEST_F(EvaluationTest, NewAudienceEvaluatesEveryFilterIntoAFirstRecord) {
  define({audience(1, {eventFilter(0, "_e"), eventFilter(1, "_e", {levelIs(3)}), eventFilter(2, "_e", {levelIs(4)})})});
  ASSERT_TRUE(event("_e", 100, {{"level", i64(3)}}));
  const Stored s = stored(1);
  ASSERT_TRUE(s.record);
  EXPECT_EQ(s.bits.evaluated, std::vector<uint64_t>{0b111});
  EXPECT_EQ(s.bits.results, std::vector<uint64_t>{0b011});
  EXPECT_FALSE(s.record->previousResults());
  EXPECT_TRUE(s.dynamic.empty());
  // Events of other names leave it alone.
  ASSERT_TRUE(event("_s", 101));
  EXPECT_EQ(stored(1).record->currentResults(), s.record->currentResults());
}

TEST_F(EvaluationTest, WhichFiltersAreEvaluatedAgainAndWhatTheyKeep) {
  // Each filter is true after the first event; the second event lacks the
  // parameter (evaluating it logs 7009 and gives no outcome); the third has
  // it with another value (NO).
  struct Case {
    const char* name;
    FilterFlags flags;
    bool evaluatedAgain;
  } cases[] = {
      {"plain", {}, false},
      {"dynamic", {.dynamic = true}, true},
      {"sequence", {.sequence = true}, true},
      {"session-scoped", {.sessionScoped = true}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    define({audience(1, {eventFilter(0, "_e", {levelIs(3)}, nullptr, c.flags)})});
    ASSERT_TRUE(database_->deleteFilterResults({std::make_shared<APMFilterResult>(1, std::nullopt, std::nullopt)}, nullptr));
    ASSERT_TRUE(event("_e", 100, {{"level", i64(3)}}));
    const Stored first = stored(1);
    ASSERT_TRUE(first.bits.isTrue(0));

    clearLog();
    ASSERT_TRUE(event("_e", 200));
    EXPECT_EQ(logged(kAPMAudienceCodeMissingParameter), c.evaluatedAgain);
    // No outcome changes nothing.
    EXPECT_EQ(stored(1).record->currentResults(), first.record->currentResults());

    // An event filter that was true stays true on NO.
    ASSERT_TRUE(event("_e", 300, {{"level", i64(4)}}));
    EXPECT_TRUE(stored(1).bits.isTrue(0));
  }
}

TEST_F(EvaluationTest, OnlyADynamicPropertyFilterThatIsNotSessionScopedTurnsFalse) {
  struct Case {
    const char* name;
    FilterFlags flags;
    bool trueAfterNo;
  } cases[] = {
      {"dynamic", {.dynamic = true}, false},
      {"dynamic, session-scoped", {.dynamic = true, .sessionScoped = true}, true},
      {"sequence", {.sequence = true}, true},
      {"plain", {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    define({audience(1, {}, {propertyFilter(0, "level", valueFilter(numberFilter(CT::GreaterThan, "5")), c.flags)})});
    database_->deleteFilterResults({std::make_shared<APMFilterResult>(1, std::nullopt, std::nullopt)}, nullptr);
    ASSERT_TRUE(property("level", i64(7), 100));
    ASSERT_TRUE(stored(1).bits.isTrue(0));
    ASSERT_TRUE(property("level", i64(2), 200));
    const Stored s = stored(1);
    EXPECT_EQ(s.bits.isTrue(0), c.trueAfterNo);
    EXPECT_EQ(s.bits.evaluated, std::vector<uint64_t>{1});
  }
}

TEST_F(EvaluationTest, TimestampsOfDynamicAndSequenceFilters) {
  define({audience(1, {eventFilter(0, "_e", {}, nullptr, {.dynamic = true}),
                       eventFilter(1, "_e", {}, nullptr, {.sequence = true}),
                       eventFilter(2, "_e", {}, nullptr, {.sessionScoped = true}), eventFilter(3, "_e")})});
  APMAudienceTimestampsCache cache;
  ASSERT_TRUE(event("_e", 100.9, {}, &cache));
  ASSERT_TRUE(event("_e", 250, {}, &cache));
  Stored s = stored(1);
  EXPECT_EQ(s.dynamic, (std::map<int32_t, int64_t>{{0, 250}, {2, 250}}));
  EXPECT_EQ(s.sequence, (std::map<int32_t, std::vector<int64_t>>{{1, {100, 250}}}));

  // An equal (or earlier) candidate keeps the cached time and says so; a new
  // cache starts from the stored times.
  clearLog();
  ASSERT_TRUE(event("_e", 250));
  EXPECT_TRUE(logged(kAPMAudienceCodeEarlierCandidateTimestamp));
  EXPECT_EQ(stored(1).dynamic, (std::map<int32_t, int64_t>{{0, 250}, {2, 250}}));
}

TEST_F(EvaluationTest, FilterSixtyFourIsWordOneBitZero) {
  APMAudienceTimestampsCache cache;
  auto first = APMAudience::updatedFilterResultWithFilterID(3, 9, nullptr, true, cache);
  const os::Data previous("previous", 8);
  first = std::make_shared<APMFilterResult>(9, first->currentResults(), previous);
  const auto second = APMAudience::updatedFilterResultWithFilterID(64, 9, first.get(), false, cache);
  const auto third = APMAudience::updatedFilterResultWithFilterID(65, 9, second.get(), true, cache);
  const ResultBits bits = ResultBits::of(APMPBResultData::initWithBuffer(*third->currentResults()).get());
  EXPECT_EQ(bits.evaluated, (std::vector<uint64_t>{0b1000, 0b11}));
  EXPECT_EQ(bits.results, (std::vector<uint64_t>{0b1000, 0b10}));
  EXPECT_EQ(third->previousResults(), previous);
  EXPECT_TRUE(APMAudience::isFilterResult(third.get(), 65));
  EXPECT_FALSE(APMAudience::isFilterResult(third.get(), 64));
  EXPECT_FALSE(APMAudience::isFilterResult(third.get(), 128));  // beyond the arrays
  EXPECT_FALSE(APMAudience::isFilterResult(nullptr, 3));
}

// A server-given expression that runs out of time has no outcome, and the
// audience's other filters are still evaluated.
TEST_F(EvaluationTest, RunawayExpressionLeavesItsFilterAndTheOthersGoOn) {
  auto runaway = valueFilter(nullptr, stringFilter(MT::RegularExpression, "(a+)+$"), false, "text");
  define({audience(1, {eventFilter(0, "_e", {runaway}), eventFilter(1, "_e")})});
  ASSERT_TRUE(event("_e", 100, {{"text", str("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaab")}}));
  EXPECT_TRUE(logged(kAPMAudienceCodeInvalidStringFilter));
  EXPECT_EQ(stored(1).bits.evaluated, std::vector<uint64_t>{0b10});
}

TEST_F(EvaluationTest, NanoUserPropertyTakesStringThenDoubleThenInteger) {
  define({audience(1, {}, {propertyFilter(0, "level", valueFilter(numberFilter(CT::GreaterThan, "5")), {.dynamic = true})})});
  auto nano = APMPBUserAttribute::initWithMessageInfo(nullptr);
  APMPBSetString(nano.get(), 1, "level");
  APMPBSetInt64(nano.get(), 0, 42'000);
  APMPBSetInt64(nano.get(), 3, 9);
  APMPBSetDouble(nano.get(), 5, 1.5);  // the double comes before the integer
  ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(*nano, nullptr, std::nullopt));
  EXPECT_FALSE(stored(1).bits.isTrue(0));
  APMPBClearField(nano.get(), 5);
  ASSERT_TRUE(audience_->evaluateFiltersForNanoUserProperty(*nano, nullptr, std::nullopt));
  EXPECT_TRUE(stored(1).bits.isTrue(0));
  EXPECT_EQ(stored(1).dynamic, (std::map<int32_t, int64_t>{{0, 42}}));  // the set time, in seconds

  APMPBClearField(nano.get(), 3);
  EXPECT_FALSE(audience_->evaluateFiltersForNanoUserProperty(*nano, nullptr, std::nullopt));
  EXPECT_TRUE(logged(kAPMAudienceCodeNanoUserPropertyUnconvertible));
}

TEST_F(EvaluationTest, ResultsForBundlingReportFirstChangedAndUnchangedResults) {
  define({audience(1, {eventFilter(0, "_e", {}, nullptr, {.sequence = true}),
                       eventFilter(1, "_e", {}, nullptr, {.dynamic = true})}),
          audience(2, {eventFilter(0, "_f")})});
  APMAudienceTimestampsCache cache;
  ASSERT_TRUE(event("_e", 100, {}, &cache));
  ASSERT_TRUE(event("_e", 200, {}, &cache));

  // First report: no previous results.
  auto leaves = bundle();
  ASSERT_EQ(leaves.size(), 1u);
  const auto first = leaves[0];
  EXPECT_EQ(APMPBGetInt32(first.get(), 0), 1);
  EXPECT_TRUE(APMPBGetBool(first.get(), 3));
  EXPECT_FALSE(APMPBHasField(first.get(), 2));
  const Stored afterFirst = stored(1);
  EXPECT_EQ(afterFirst.record->previousResults(), afterFirst.record->currentResults());
  EXPECT_EQ(afterFirst.sequence, (std::map<int32_t, std::vector<int64_t>>{{0, {100, 200}}}));

  // Unchanged: no previous results, and the first sequence filter keeps only
  // its last step.
  leaves = bundle();
  ASSERT_EQ(leaves.size(), 1u);
  EXPECT_TRUE(APMPBHasField(leaves[0].get(), 3));
  EXPECT_FALSE(APMPBGetBool(leaves[0].get(), 3));
  EXPECT_FALSE(APMPBHasField(leaves[0].get(), 2));
  auto current = APMPBGetMessage<APMPBResultData>(leaves[0].get(), 1);
  auto sequence = *APMPBGetArray<APMPBSequenceFilterResultTimestamp>(current.get(), 3);
  ASSERT_EQ(sequence.size(), 1u);
  EXPECT_EQ(APMPBGetArray(sequence[0].get(), 1)->size(), 1u);
  EXPECT_EQ((*APMPBGetArray(sequence[0].get(), 1))[0].int64Value(), 200);
  EXPECT_EQ(stored(1).sequence, (std::map<int32_t, std::vector<int64_t>>{{0, {200}}}));

  // Changed: the previous results travel along.
  ASSERT_TRUE(event("_e", 300));
  const auto previous = stored(1).record->previousResults();
  leaves = bundle();
  ASSERT_EQ(leaves.size(), 1u);
  ASSERT_TRUE(APMPBHasField(leaves[0].get(), 2));
  EXPECT_EQ(APMPBGetMessage<APMPBResultData>(leaves[0].get(), 2)->protoBuffer(), previous);
}

TEST_F(EvaluationTest, RecordWithoutEvaluatedBitsIsNotBundledAndKept) {
  auto zero = APMPBResultData::initWithMessageInfo(nullptr);
  ResultBits{{0}, {0}}.writeTo(zero.get());
  const auto record = std::make_shared<APMFilterResult>(5, zero->protoBuffer(), std::nullopt);
  ASSERT_TRUE(database_->updateFilterResults({record}, nullptr));
  EXPECT_TRUE(bundle().empty());
  EXPECT_TRUE(logged(kAPMAudienceCodeCurrentResultsZero));
  const Stored s = stored(5);
  EXPECT_EQ(s.record->currentResults(), record->currentResults());
  EXPECT_FALSE(s.record->previousResults());
}

TEST_F(EvaluationTest, NewSessionClearsSessionScopedFilters) {
  define({audience(1, {eventFilter(0, "_e", {}, nullptr, {.sessionScoped = true}), eventFilter(1, "_e")}),
          audience(2, {eventFilter(0, "_e", {}, nullptr, {.sessionScoped = true})})});
  ASSERT_TRUE(event("_e", 100));
  const Stored before = stored(1);
  ASSERT_TRUE(before.bits.isTrue(0));
  ASSERT_TRUE(stored(2).record);

  ASSERT_TRUE(audience_->clearEvaluationResultsForSessionScopedFilters());
  // Another bit remains: the record stays, without the session-scoped bit and
  // its timestamp, and its old results become the previous ones.
  const Stored after = stored(1);
  EXPECT_EQ(after.bits.evaluated, std::vector<uint64_t>{0b10});
  EXPECT_EQ(after.bits.results, std::vector<uint64_t>{0b10});
  EXPECT_TRUE(after.dynamic.empty());
  EXPECT_EQ(after.record->previousResults(), before.record->currentResults());
  // Nothing remains: the record goes, and the next evaluation starts anew.
  EXPECT_FALSE(stored(2).record);
  ASSERT_TRUE(event("_e", 200));
  EXPECT_FALSE(stored(2).record->previousResults());
  EXPECT_TRUE(APMPBGetBool(bundle().back().get(), 3));
}

// A failed read in the middle of an evaluation must not store the records
// already updated in memory.
TEST_F(EvaluationTest, FailedReadStoresNothing) {
  define({audience(1, {eventFilter(0, "_e", {}, nullptr, {.dynamic = true})}), audience(2, {eventFilter(0, "_e")})});
  ASSERT_TRUE(event("_e", 100));
  ASSERT_TRUE(database_->deleteFilterResults({std::make_shared<APMFilterResult>(2, std::nullopt, std::nullopt)}, nullptr));
  const Stored before = stored(1);

  // Audience 1's equal timestamp (6037) comes after its record was read and
  // before audience 2's is: the table disappears in between.
  setLogHook([this](int64_t code) {
    if (code == kAPMAudienceCodeEarlierCandidateTimestamp) exec("ALTER TABLE audience_filter_values RENAME TO away");
  });
  EXPECT_FALSE(event("_e", 100));
  setLogHook(nullptr);
  EXPECT_TRUE(logged(kAPMAudienceCodeQueryEventResultFailed));
  exec("ALTER TABLE away RENAME TO audience_filter_values");
  EXPECT_EQ(stored(1).record->currentResults(), before.record->currentResults());
  EXPECT_FALSE(stored(2).record);
}

TEST_F(EvaluationTest, StoreFailuresAnswerNoAndLeaveTheStoreAsItWas) {
  apm_test::SqliteFaultVFS vfs;
  reopen();
  audience_ = APMAudience::initWithDatabase(database_);
  define({audience(1, {eventFilter(0, "_e", {levelIs(3)})}, {propertyFilter(1, "level", levelIs(3))})});
  ASSERT_TRUE(event("_e", 100, {{"level", i64(4)}}));
  const Stored before = stored(1);

  // The disk refuses every write.
  vfs.failNthWriteOrSync(1, -1);
  EXPECT_FALSE(event("_e", 200, {{"level", i64(3)}}));
  EXPECT_TRUE(logged(kAPMAudienceCodeSaveEventResultsFailed));
  EXPECT_FALSE(property("level", i64(3), 200));
  EXPECT_TRUE(logged(kAPMAudienceCodeSavePropertyResultsFailed));
  std::vector<std::shared_ptr<APMPBAudienceLeafFilterResult>> leaves{nullptr};
  EXPECT_FALSE(audience_->resultsForBundling(&leaves));
  EXPECT_TRUE(leaves.empty());
  EXPECT_TRUE(logged(kAPMAudienceCodeSaveBundledResultsFailed));
  vfs.disarm();
  ASSERT_TRUE(vfs.hasFailed());
  EXPECT_EQ(stored(1).record->currentResults(), before.record->currentResults());
  EXPECT_FALSE(stored(1).record->previousResults());

  // Tables that cannot be read.
  exec("ALTER TABLE event_filters RENAME TO away");
  EXPECT_FALSE(event("_e", 200, {{"level", i64(3)}}));
  EXPECT_TRUE(logged(kAPMAudienceCodeQueryEventFiltersFailed));
  EXPECT_FALSE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_TRUE(logged(kAPMAudienceCodeQuerySessionScopedFailed));
  exec("ALTER TABLE away RENAME TO event_filters");
  exec("ALTER TABLE audience_filter_values RENAME TO away");
  EXPECT_FALSE(audience_->resultsForBundling(&leaves));
  EXPECT_TRUE(logged(kAPMAudienceCodeQueryResultsForBundlingFailed));
  EXPECT_FALSE(audience_->clearEvaluationResultsForSessionScopedFilters());
  EXPECT_TRUE(logged(kAPMAudienceCodeQueryResultsForClearingFailed));
  EXPECT_FALSE(property("level", i64(3), 300));
  EXPECT_TRUE(logged(kAPMAudienceCodeQueryPropertyResultFailed));

  // Connections opened through the VFS close before it goes.
  audience_.reset();
  services_->setDatabase(nullptr);
  database_.reset();
}

}  // namespace
}  // namespace apm_audience_test
