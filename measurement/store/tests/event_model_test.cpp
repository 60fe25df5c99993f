// Events as the engine makes them: creation with validation and parameter
// cleaning, the flags and screen parameters, the edit and message forms, the
// per-name aggregates, and the readable text of debug mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/engine_services/debug_description.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/event_editing.h"
#include "measurement/store/engine_services/event_names.h"
#include "measurement/store/engine_services/event_parameters.h"
#include "measurement/store/engine_services/event_records.h"
#include "measurement/store/testing/measurement_services_double.h"
#include "measurement/store/tests/test_support.h"
#include "os/runtime/runtime.h"

namespace {

class EventModelTest : public apm_test::MonitoredTest {
 protected:
  void SetUp() override {
    MonitoredTest::SetUp();
    services_ = apm_test::MeasurementServicesDouble::install();
  }
  void TearDown() override {
    APMMeasurementServices::setSharedInstance(nullptr);
    MonitoredTest::TearDown();
  }
  int64_t monitored() {
    auto sampled = monitor_->TEST_sampledData();
    return sampled ? (*sampled)[1].int64Value() : 0;
  }
  static std::optional<APMValue> at(const std::shared_ptr<APMEvent>& event, const std::string& name) {
    auto found = event->parameters().find(name);
    if (found == event->parameters().end()) return std::nullopt;
    return found->second;
  }
  static APMValue text(const std::string& s) { return *APMValue::initWithString(s); }
  static APMValue integer(int64_t i) { return APMValue::initWithInt64(i); }
  static os::Value item(os::Dictionary entries) { return os::Value(std::move(entries)); }

  std::shared_ptr<apm_test::MeasurementServicesDouble> services_;
};

TEST_F(EventModelTest, CreationRefusesBadOriginsAndNames) {
  struct Case {
    const char* origin;
    bool isPublic;
    std::string name;
    bool made;
  } cases[] = {
      {"app", true, "level_up", true},
      {"zzd+dtm", true, "level_up", true},  // forwarded origin
      {"", false, "_s", false},
      {"bad origin", false, "_s", false},
      {"+dtm", false, "_s", false},
      {"app", true, "_s", false},           // internal name, public rules
      {"app", false, "_s", true},
      {"app", true, "first_open", false},   // reserved
      {"app", true, "ad_impression", true},
      {"app", true, "screen_view", true},
      {"app", true, "dv_thing", false},     // reserved prefix
      {"app", false, std::string(41, 'e'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin + std::string(" ") + c.name);
    EXPECT_EQ(APMEvent::initWithOrigin(c.origin, c.isPublic, c.name, 10, 0, APMEventParameters{}) != nullptr, c.made);
  }
}

TEST_F(EventModelTest, CleaningKeepsWhatPassesAndRecordsTheFirstError) {
  os::Dictionary manyCustom;
  for (int i = 0; i <= 100; ++i) manyCustom.emplace(os::format("p%03d", i), os::Value(i));
  os::Dictionary manyCustomAndBadName = manyCustom;
  manyCustomAndBadName.emplace("_x", os::Value(1));
  os::Array manyItems;
  for (int i = 0; i < 201; ++i) manyItems.push_back(item({{"item_id", os::Value(os::format("i%d", i))}}));
  const std::string longName = std::string(44, 'n') + "!";

  struct Case {
    const char* what;
    std::string eventName;
    os::Dictionary parameters;
    std::function<void(apm_test::RemoteConfigSettingsDouble&)> configure;
    std::function<void(const std::shared_ptr<APMEvent>&)> check;
  } cases[] = {
      {"101 custom parameters keep the 100 that sort first", "level_up", manyCustom, nullptr,
       [](const auto& e) {
         EXPECT_EQ(APMCustomParameterCount(e->parameters(), false), 100);
         EXPECT_FALSE(at(e, "p100"));
         EXPECT_TRUE(at(e, "p099"));
         EXPECT_EQ(at(e, "_err"), integer(5));
       }},
      {"an earlier error is not replaced by the limit", "level_up", manyCustomAndBadName, nullptr,
       [](const auto& e) {
         EXPECT_EQ(APMCustomParameterCount(e->parameters(), false), 100);
         EXPECT_EQ(at(e, "_err"), integer(3));
       }},
      {"a public event refuses an internal name", "level_up", {{"_x", os::Value(1)}, {"kept", os::Value("k")}},
       nullptr,
       [](const auto& e) {
         EXPECT_FALSE(at(e, "_x"));
         EXPECT_EQ(at(e, "kept"), text("k"));
         EXPECT_EQ(at(e, "_err"), integer(3));
         EXPECT_EQ(at(e, "_ev"), text("_x"));
         EXPECT_EQ(at(e, "_el"), integer(0));
       }},
      {"a reserved prefix records 14", "level_up", {{"dv_x", os::Value(1)}}, nullptr,
       [](const auto& e) {
         EXPECT_EQ(at(e, "_err"), integer(14));
         EXPECT_EQ(at(e, "_ev"), text("dv_x"));
       }},
      {"a 45-character invalid name is cut in _ev", "level_up", {{longName, os::Value(1)}}, nullptr,
       [&](const auto& e) {
         EXPECT_EQ(at(e, "_err"), integer(3));
         EXPECT_EQ(at(e, "_ev"), text(std::string(40, 'n') + "..."));
         EXPECT_EQ(at(e, "_el"), integer(45));
       }},
      {"an overlong value records 4 with its length", "level_up", {{"v", os::Value(std::string(501, 'v'))}},
       nullptr,
       [](const auto& e) {
         EXPECT_FALSE(at(e, "v"));
         EXPECT_EQ(at(e, "_err"), integer(4));
         EXPECT_EQ(at(e, "_ev"), text("v"));
         EXPECT_EQ(at(e, "_el"), integer(501));
       }},
      {"an unsupported value is dropped without an error", "level_up", {{"d", os::Value::emptyDictionary()}},
       nullptr, [](const auto& e) { EXPECT_EQ(e->parameters().size(), 1u); }},
      {"an item's custom parameter while item parameters are disabled", "purchase",
       {{"items", os::Value::arrayOf({item({{"item_id", os::Value("a")}, {"color", os::Value("red")}})})}},
       [](auto& s) { s.setItemScopedCustomParameterEnabled(false); },
       [](const auto& e) {
         auto items = at(e, "items")->arrayValue();
         ASSERT_EQ(items->size(), 1u);
         const os::Dictionary& first = *(*items)[0].dictionary();
         EXPECT_FALSE(first.contains("color"));
         EXPECT_EQ(first.at("item_id"), os::Value("a"));
         EXPECT_EQ(first.at("_err"), os::Value(os::Number::int64(23)));
       }},
      {"201 items keep the first 200", "purchase", {{"items", os::Value(manyItems)}}, nullptr,
       [](const auto& e) {
         auto items = at(e, "items")->arrayValue();
         ASSERT_EQ(items->size(), 200u);
         EXPECT_EQ(items->back().dictionary()->at("item_id"), os::Value("i199"));
         EXPECT_EQ(at(e, "_err"), integer(17));
         EXPECT_EQ(at(e, "_ev"), text("items"));
       }},
      {"an array outside e-commerce names the event", "level_up",
       {{"items", os::Value::arrayOf({item({{"item_id", os::Value("a")}})})}}, nullptr,
       [](const auto& e) {
         EXPECT_FALSE(at(e, "items"));
         EXPECT_EQ(at(e, "_err"), integer(21));
         EXPECT_EQ(at(e, "_ev"), text("level_up"));
       }},
      {"an item that is not a dictionary", "purchase",
       {{"items", os::Value::arrayOf({os::Value("x"), item({{"item_id", os::Value("a")}})})}}, nullptr,
       [](const auto& e) {
         EXPECT_EQ(at(e, "items")->arrayValue()->size(), 1u);
         EXPECT_EQ(at(e, "_err"), integer(4));
         EXPECT_EQ(at(e, "_ev"), text("items[0]"));
       }},
      {"a non-numeric value of an ad impression", "ad_impression",
       {{"value", os::Value("ten")}, {"currency", os::Value("EUR")}}, nullptr,
       [](const auto& e) {
         EXPECT_FALSE(at(e, "value"));
         EXPECT_EQ(at(e, "_err"), integer(18));
         EXPECT_EQ(at(e, "_ev"), text("value"));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    services_ = apm_test::MeasurementServicesDouble::install();
    if (c.configure) c.configure(services_->settings());
    auto event = APMEvent::initWithOrigin("app", true, c.eventName, 10, 0, c.parameters);
    ASSERT_TRUE(event);
    EXPECT_EQ(at(event, "_o"), text("app"));
    c.check(event);
  }
}

TEST_F(EventModelTest, TrimmingOrdersNamesByCodeUnitsNotBytes) {
  // U+FF21 sorts after U+1F600 in UTF-8 bytes but before it in UTF-16 units.
  APMEventParameters parameters{{"a", integer(1)}, {"\xEF\xBC\xA1", integer(2)}, {"\xF0\x9F\x98\x80", integer(3)}};
  APMTrimParameters(parameters, 2, false);
  EXPECT_TRUE(parameters.contains("\xF0\x9F\x98\x80"));
  EXPECT_FALSE(parameters.contains("\xEF\xBC\xA1"));
  EXPECT_EQ(APMStringByTrimming("a\xF0\x9F\x98\x80" "bc", 2), "a\xF0\x9F\x98\x80...");
}

TEST_F(EventModelTest, ConversionFlagChecksValueAndCurrency) {
  auto purchase = APMEvent::initWithOrigin("app", true, "purchase", 10, 0,
                                           os::Dictionary{{"value", os::Value(9.5)}, {"currency", os::Value("E1R")}});
  ASSERT_TRUE(purchase);
  purchase->setConversion(true);
  EXPECT_FALSE(purchase->isConversion());
  EXPECT_FALSE(at(purchase, "value"));
  EXPECT_EQ(at(purchase, "currency"), text("E1R"));
  EXPECT_EQ(at(purchase, "_err"), integer(19));
  EXPECT_EQ(at(purchase, "_ev"), text("currency"));

  auto valid = APMEvent::initWithOrigin("app", true, "purchase", 10, 0,
                                        os::Dictionary{{"value", os::Value(9)}, {"currency", os::Value("eur")}});
  valid->setConversion(true);
  EXPECT_TRUE(valid->isConversion());
  valid->setConversion(false);
  EXPECT_FALSE(at(valid, "_c"));
  EXPECT_EQ(at(valid, "_err"), integer(10));
  valid->setConversion(true);  // the mark comes back and its removal error goes
  EXPECT_TRUE(valid->isConversion());
  EXPECT_FALSE(at(valid, "_err"));

  valid->setRealtime(true);
  valid->setDebug(true);
  EXPECT_TRUE(valid->isRealtime());
  EXPECT_TRUE(valid->isDebug());
  valid->setRealtime(false);
  EXPECT_FALSE(at(valid, "_r"));
  auto oddFlag = valid->copyWithParameters({{"_r", text("1")}});
  const int64_t before = monitored();
  EXPECT_FALSE(oddFlag->isRealtime());
  EXPECT_EQ(monitored(), before + 1);  // 16006

  // A conversion made with a bad value loses its mark at creation.
  auto made = APMEvent::initWithOrigin("auto", false, "_iap", 10, 0,
                                       APMEventParameters{{"_c", integer(1)}, {"value", text("x")}});
  EXPECT_FALSE(made->isConversion());
  EXPECT_EQ(at(made, "_err"), integer(18));
}

TEST_F(EventModelTest, DefaultAndScreenParameters) {
  auto event = APMEvent::initWithOrigin("app", true, "level_up", 10, 0, os::Dictionary{{"level", os::Value(2)}});
  event->applyParameters({{"level", os::Value(7)}, {"tier", os::Value("gold")}, {"_bad", os::Value(1)}});
  EXPECT_EQ(at(event, "level"), integer(2));  // the event's own value wins
  EXPECT_EQ(at(event, "tier"), text("gold"));
  EXPECT_FALSE(at(event, "_bad"));

  struct Case {
    const char* what;
    APMParameterObjects screen;
    bool added;
  } cases[] = {
      {"empty", {}, false},
      {"no instance ID", {{"_sc", os::Value("Meter")}}, false},
      {"instance ID not an integer", {{"_si", os::Value("5")}, {"_sc", os::Value("Meter")}}, false},
      {"instance ID a double", {{"_si", os::Value(5.5)}}, false},
      {"invalid class", {{"_si", os::Value(5)}, {"_sc", os::Value("")}}, false},
      {"class not a string", {{"_si", os::Value(5)}, {"_sn", os::Value(3)}}, false},
      {"valid", {{"_si", integer(5)}, {"_sc", text("Meter")}, {"_sn", os::Value("Main")}}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto e = event->copy();
    EXPECT_EQ(e->addScreenParameters(c.screen), c.added);
    EXPECT_EQ(at(e, "_si").has_value(), c.added);
    if (c.added) {
      EXPECT_EQ(at(e, "_si"), integer(5));
      EXPECT_EQ(at(e, "_sn"), text("Main"));
      EXPECT_FALSE(e->addScreenParameters(c.screen)) << "an event with screen parameters keeps them";
    }
  }
}

TEST_F(EventModelTest, EditFormUsesLongNamesAndPlainValues) {
  const os::Value items = os::Value::arrayOf({item({{"item_id", os::Value("a")}, {"price", os::Value(1.5)}})});
  auto screen = APMEvent::initWithOrigin("auto", false, "_vs", 10, 4,
                                         os::Dictionary{{"_si", os::Value(5)}, {"d", os::Value(2.5)}});
  APMPEvent edit = screen->editEvent();
  EXPECT_EQ(edit.name(), "screen_view");
  EXPECT_EQ(edit.timestamp(), 10);
  EXPECT_EQ(*edit.parameterForName("_si"), os::Value(os::Number::int64(5)));
  EXPECT_EQ(*edit.parameterForName("d"), os::Value(2.5));
  EXPECT_EQ(*edit.parameterForName("_o"), os::Value("auto"));
  auto back = APMEvent::eventFromEditEvent(edit);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->name(), "_vs");
  EXPECT_EQ(back->origin(), "auto");
  EXPECT_EQ(back->previousTimestamp(), 0);
  EXPECT_EQ(back->parameters(), screen->parameters());

  EXPECT_EQ(APMEvent::initWithOrigin("auto", false, "_cmp", 1, 0, APMEventParameters{})->editEvent().name(),
            kAPMCampaignEventLongName);
  auto purchase = APMEvent::initWithOrigin("app", true, "purchase", 1, 0, os::Dictionary{{"items", items}});
  APMPEvent purchaseEdit = purchase->editEvent();
  EXPECT_EQ(purchaseEdit.name(), "purchase");  // no table entry: unchanged
  EXPECT_EQ(*purchaseEdit.parameterForName("items"), items);
  APMPEvent custom("level_up", 3, {{"_o", os::Value(7)}, {"n", os::Value(1)}});
  auto fromCustom = APMEvent::eventFromEditEvent(custom);
  EXPECT_EQ(fromCustom->name(), "level_up");
  EXPECT_EQ(fromCustom->origin(), "app");  // "_o" not a string
}

std::string decodeRaw(const os::Data& bytes) {
  char path[] = "/tmp/apm-event-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return "mkstemp failed";
  const ssize_t written = write(fd, bytes.bytes(), bytes.length());
  close(fd);
  std::string output;
  if (written == static_cast<ssize_t>(bytes.length())) {
    if (FILE* pipe = popen((std::string("protoc --decode_raw < ") + path + " 2>&1").c_str(), "r")) {
      char chunk[4096];
      size_t n;
      while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, n);
      pclose(pipe);
    }
  }
  unlink(path);
  return output;
}

TEST_F(EventModelTest, MessageFormPutsEachKindAtItsField) {
  auto event = APMEvent::initWithOrigin(
      "app", true, "purchase", 2, 0,
      os::Dictionary{{"d", os::Value(0.5)},
                     {"i", os::Value(3)},
                     {"items", os::Value::arrayOf({item({{"item_id", os::Value("a")}})})},
                     {"s", os::Value("t")}});
  auto bytes = event->protoEvent()->protoBuffer();
  ASSERT_TRUE(bytes);
  // Field numbers are positions + 1; no previous time (4) for 0.
  EXPECT_EQ(decodeRaw(*bytes),
            "1 {\n  1: \"_o\"\n  2: \"app\"\n}\n"
            "1 {\n  1: \"d\"\n  5: 0x3fe0000000000000\n}\n"
            "1 {\n  1: \"i\"\n  3: 3\n}\n"
            "1 {\n  1: \"items\"\n  6 {\n    6 {\n      1: \"item_id\"\n      2: \"a\"\n    }\n  }\n}\n"
            "1 {\n  1: \"s\"\n  2: \"t\"\n}\n"
            "2: \"purchase\"\n3: 2000\n");
}

TEST_F(EventModelTest, AggregatesRefuseBadInputAndWrapAtTheLimit) {
  EXPECT_FALSE(APMEventAggregates::initWithName("bad name", 0, 0, 0, 0));
  int64_t before = monitored();
  EXPECT_FALSE(APMEventAggregates::initWithName("_e", 0, -1, 0, 0));
  EXPECT_EQ(monitored(), before + 1);  // 17000

  auto aggregates = APMEventAggregates::initWithName("_e", INT32_MAX, INT32_MAX - 1, INT32_MAX, 5);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  before = monitored();
  aggregates->incrementLifetimeCount();
  aggregates->incrementCurrentBundleCount();
  aggregates->incrementCurrentSessionCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_EQ(aggregates->currentBundleCount(), INT32_MAX);
  EXPECT_EQ(aggregates->currentSessionCount(), 0);
  EXPECT_EQ(monitored(), before + 2);  // 17001, 17003
}

TEST_F(EventModelTest, ErrorEventsLeaveThroughTheFacade) {
  struct Recorder : APMAnalyticsServices {
    void setConsent(const os::Dictionary&, const std::string&) override {}
    void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                    const os::Dictionary& parameters) override {
      logged.push_back({origin, name, parameters});
    }
    void logInternalEventWithOrigin(const std::string& origin, const std::string& name, double,
                                    const os::Dictionary& parameters) override {
      logged.push_back({origin, name, parameters});
    }
    void setInternalUserProperty(const os::Value&, const std::string&, const std::string&) override {}
    struct Entry {
      std::string origin, name;
      os::Dictionary parameters;
    };
    std::vector<Entry> logged;
  };
  auto recorder = std::make_shared<Recorder>();
  APMAnalyticsServices::setSharedInstance(recorder);
  APMLogErrorEvent(0);
  APMLogErrorEvent(13);
  const os::Value shortValue("abc");
  APMLogErrorEventWithValue(7, "name", 40, &shortValue);   // code 7: the length counts
  APMLogErrorEventWithValue(2, "name", 40, &shortValue);   // short value, other code: _el 0
  APMLogErrorEventWithValue(2, std::nullopt, 40, nullptr);
  APMAnalyticsServices::setSharedInstance(nullptr);
  ASSERT_EQ(recorder->logged.size(), 4u);
  EXPECT_EQ(recorder->logged[0].origin, "auto");
  EXPECT_EQ(recorder->logged[0].name, "_err");
  EXPECT_EQ(recorder->logged[0].parameters, (os::Dictionary{{"_err", os::Value(os::Number::int64(13))}}));
  EXPECT_EQ(recorder->logged[1].parameters.at("_el"), os::Value(os::Number::int64(3)));
  EXPECT_EQ(recorder->logged[2].parameters.at("_el"), os::Value(os::Number::int64(0)));
  EXPECT_EQ(recorder->logged[3].parameters.at("_ev"), os::Value("(nil)"));
}

TEST_F(EventModelTest, DebugTextOnlyInDebugModeWithTheAnalyticsClass) {
  const APMEventParameters parameters{{"_err", integer(13)}, {"Beta", text("b")}, {"alpha", integer(1)}};
  EXPECT_EQ(APMUserPropertyNameDebugDescription("_exp_7"), "experiment_id (_exp_7)");
  EXPECT_EQ(APMEventNameDebugDescription("_vs"), "_vs");
  monitor_->setDebugModeEnabled(true);
  if (os::runtime::classFromString("REZAnalytics") == nullptr) {
    EXPECT_EQ(APMEventNameDebugDescription("_vs"), "_vs") << "no analytics class";
    os::runtime::registerClassPair(os::runtime::allocateClassPair(nullptr, "REZAnalytics"));
  }
  EXPECT_EQ(APMEventNameDebugDescription("_vs"), "screen_view (_vs)");
  EXPECT_EQ(APMEventNameDebugDescription("_cmp"), "dv_campaign (_cmp)");
  EXPECT_EQ(APMEventNameDebugDescription("level_up"), "level_up");
  EXPECT_EQ(APMUserPropertyNameDebugDescription("_exp_7"), "experiment_id (_exp_7)");
  EXPECT_EQ(APMUserPropertyNameDebugDescription("_id"), "user_id (_id)");
  EXPECT_EQ(APMParametersDebugDescription(parameters),
            "{\n    alpha = 1;\n    Beta = b;\n    dv_error (_err) = EventNameIsReserved (13);\n}");
  EXPECT_EQ(APMParametersDebugDescription({{"_err", integer(26)}}), "{\n    dv_error (_err) = 26;\n}");
  EXPECT_EQ(APMParametersDebugDescription(
                {{"items", *APMValue::initWithArray(os::Value::arrayOf({item({{"b", os::Value(1)}})}))}}),
            "{\n    items = [\n    {\n        b = 1;\n    }\n    ];\n}");
  monitor_->setDebugModeEnabled(false);
  EXPECT_EQ(APMEventNameDebugDescription("_vs"), "_vs");
  EXPECT_EQ(APMParametersDebugDescription(parameters), os::Value(APMPlainParameters(parameters)).description());
}

}  // namespace
