#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"

namespace {

using engine_test::EngineTest;

class LifetimeValuePipelineTest : public EngineTest {
 protected:
  void log(const std::string& name, const os::Dictionary& parameters) {
    engine()->logEventWithOrigin("app", true, name, parameters, clock_->wallTime(), true, false, false, nullptr, {});
  }
  size_t stored(const std::string& name) {
    size_t count = 0;
    for (const auto& event : storedEvents()) count += event.at("name") == os::Value(name);
    return count;
  }
};

TEST_F(LifetimeValuePipelineTest, PurchasesUpdateTheTotalInTheEventsTransaction) {
  start();
  log("purchase", {{"currency", "usd"}, {"value", 9.99}});
  EXPECT_EQ(userAttribute("_ltv_USD"), os::Value(os::Number::int64(9'990'000)));
  EXPECT_EQ(stored("purchase"), 1u);

  log("refund", {{"currency", "USD"}, {"value", 20}});
  EXPECT_EQ(userAttribute("_ltv_USD"), os::Value(os::Number::int64(-10'010'000)));

  // An amount out of bounds rolls the event back; the total stays.
  log("purchase", {{"currency", "USD"}, {"value", 1e13}});
  EXPECT_EQ(stored("purchase"), 1u);
  EXPECT_EQ(userAttribute("_ltv_USD"), os::Value(os::Number::int64(-10'010'000)));

  // A currency that is not three letters changes nothing, and the event goes on.
  log("purchase", {{"currency", "US"}, {"value", 1}});
  EXPECT_EQ(stored("purchase"), 2u);

  // A sum past the 64-bit range is out of bounds too: that event is not
  // stored and the total stays.
  log("purchase", {{"currency", "EUR"}, {"value", 9e12}});
  log("purchase", {{"currency", "EUR"}, {"value", 9e12}});
  EXPECT_EQ(stored("purchase"), 3u);
  EXPECT_EQ(userAttribute("_ltv_EUR"), os::Value(os::Number::int64(9'000'000'000'000'000'000)));
}

}  // namespace
