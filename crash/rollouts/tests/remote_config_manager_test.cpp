#include <gtest/gtest.h>

#include <mutex>

#include "crash/rollouts/zoz_remote_config_manager.h"
#include "os/foundation/console.h"
#include "os/foundation/json.h"

namespace {

class PersistenceDouble final : public ZOZPersistenceLog {
 public:
  void updateRolloutsStateToPersistenceWithRollouts(const os::Data& rollouts, const std::string& reportID) override {
    std::lock_guard lock(mutex);
    updates.emplace_back(rollouts.toString(), reportID);
  }
  void debugLogWithMessage(const std::string& message) override {
    std::lock_guard lock(mutex);
    debugLines.push_back(message);
  }
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> updates;
  std::vector<std::string> debugLines;
};

std::shared_ptr<REZRolloutAssignment> assignment(std::string id, std::string value = "v") {
  return std::make_shared<REZRolloutAssignment>(std::move(id), "variant", 7, "key", std::move(value));
}

os::Value parse(const std::string& json) {
  auto parsed = os::JSONSerialization::JSONObjectWithData(os::Data::fromString(json));
  EXPECT_TRUE(parsed.has_value()) << json;
  return parsed.value_or(os::Value());
}

class RemoteConfigManagerTest : public ::testing::Test {
 protected:
  std::shared_ptr<PersistenceDouble> persistence_ = std::make_shared<PersistenceDouble>();
  ZOZRemoteConfigManager manager_{nullptr, persistence_};
};

TEST_F(RemoteConfigManagerTest, EncodesHexTextAndIsEmptyBeforeAnyUpdate) {
  EXPECT_EQ(manager_.getRolloutAssignmentsEncodedJsonString(), "{\"rollouts\":[]}");
  auto same = assignment("ab");
  manager_.updateRolloutsStateWithRolloutsState(
      std::make_shared<REZRolloutsState>(std::vector{same, assignment("ab"), same}), "report-1");
  ASSERT_EQ(persistence_->updates.size(), 1u);
  EXPECT_EQ(persistence_->updates[0].second, "report-1");
  const os::Value written = parse(persistence_->updates[0].first);
  ASSERT_EQ(written["rollouts"].count(), 2u);  // identical values, two objects; one object once
  const os::Value& first = written["rollouts"][0];
  EXPECT_EQ(first["rollout_id"], os::Value("6162"));
  EXPECT_EQ(first["variant_id"], os::Value(ZOZwiftFileUtility::stringToHexConverterFor("variant")));
  EXPECT_EQ(first["parameter_key"], os::Value("6b6579"));
  EXPECT_EQ(first["parameter_value"], os::Value("76"));
  EXPECT_EQ(first["template_version"].int64Value(), 7);
  EXPECT_EQ(manager_.getRolloutAssignmentsEncodedJsonString(), persistence_->updates[0].first);
  EXPECT_EQ(ZOZwiftFileUtility::stringToHexConverterFor(""), "");
}

TEST_F(RemoteConfigManagerTest, KeepsTheFirst128Assignments) {
  std::vector<std::shared_ptr<REZRolloutAssignment>> list;
  for (int i = 0; i < 130; ++i) list.push_back(assignment("r" + std::to_string(i)));
  manager_.updateRolloutsStateWithRolloutsState(std::make_shared<REZRolloutsState>(list), "report-1");
  ASSERT_EQ(manager_.rolloutAssignment().size(), 128u);
  EXPECT_EQ(manager_.rolloutAssignment().back()->rolloutId(), "r127");
  EXPECT_EQ(persistence_->debugLines,
            (std::vector<std::string>{"Rollouts excess the maximum number of assignments can pass to Zoziduzuzud"}));
  EXPECT_EQ(parse(persistence_->updates.at(0).first)["rollouts"].count(), 128u);
}

// Mended: a value was cut at 256 UTF-16 code units even when the 256th was
// the first half of a surrogate pair, leaving half a character behind.
TEST_F(RemoteConfigManagerTest, LongValuesAreCutAt256UnitsNeverInsideAPair) {
  const std::string emoji = "\xF0\x9F\x98\x80";  // two UTF-16 code units
  std::string emojis;
  for (int i = 0; i < 200; ++i) emojis += emoji;
  struct Case {
    const char* name;
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {"300 ASCII", std::string(300, 'a'), std::string(256, 'a')},
      {"exactly 256", std::string(256, 'b'), std::string(256, 'b')},
      {"200 characters of two units", emojis, emojis},
      {"a pair across the cut", std::string(255, 'c') + emoji + emoji, std::string(255, 'c')},
  };
  std::vector<std::shared_ptr<REZRolloutAssignment>> list;
  for (const Case& c : cases) list.push_back(assignment(c.name, c.value));
  auto state = std::make_shared<REZRolloutsState>(list);
  os::ConsoleCapture console;
  manager_.updateRolloutsStateWithRolloutsState(state, "report-1");
  const std::string printed = console.take();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    // Cut in place: the component's own objects see it.
    EXPECT_EQ(state->assignments()[i]->parameterValue(), cases[i].expected);
  }
  EXPECT_EQ(printed.find("Rollouts excess the maximum length of parameter value can pass to Zoziduzuzud " +
                         std::string(300, 'a') + "\n"),
            0u);
}

}  // namespace
