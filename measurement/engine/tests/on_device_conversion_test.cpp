#include "measurement/engine/attribution/on_device_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "measurement/engine/tests/engine_test_support.h"
#include "measurement/store/persisted_config.h"
#include "os/dispatch/queue_confined.h"

namespace {

using engine_test::EngineTest;
namespace rt = os::runtime;

constexpr const char* kQueryPath = "/psm";

// The stand-in client: its query goes to the loopback service, the answer's
// body is the match.
class FakeClient : public rt::Object {
 public:
  using rt::Object::Object;
  int64_t inputType = 0;
};

std::string& queryBase() {
  static std::string base;
  return base;
}

// The identifiers the client was set up with, oldest first.
std::vector<std::string>& clientInputs() {
  static std::vector<std::string> inputs;
  return inputs;
}

// An initialiser with a prefix bit length that takes the identifier as the
// input type given.
rt::Imp initialiser(int64_t inputType) {
  return rt::Imp(std::function<APMPSMInitWithPrefixImp>(
      [inputType](rt::Object& self, std::string identifier, std::string, int64_t) {
        static_cast<FakeClient&>(self).inputType = inputType;
        clientInputs().push_back(identifier);
        return !identifier.empty();
      }));
}

// Registers the client class once per process (classes cannot be removed).
void registerClient() {
  if (rt::classFromString(kAPMPrivateSetMembershipClientClassName)) return;
  rt::Class* cls = rt::registerClass(kAPMPrivateSetMembershipClientClassName);
  cls->setFactory([cls] { return std::make_shared<FakeClient>(cls); });
  cls->addMethod(kAPMPSMInitEmailWithPrefix, initialiser(0));
  cls->addMethod(kAPMPSMInitPhone,
                 rt::Imp(std::function<APMPSMInitImp>([](rt::Object& self, std::string phone, std::string) {
                   static_cast<FakeClient&>(self).inputType = kAPMPSMInputTypePhone;
                   clientInputs().push_back(phone);
                   return true;
                 })));
  cls->addMethod(kAPMPSMInitHashedEmail, initialiser(kAPMPSMInputTypeHashedEmail));
  cls->addMethod(kAPMPSMInitHashedPhone, initialiser(kAPMPSMInputTypeHashedPhone));
  cls->addMethod(kAPMPSMRequestURLSelector, rt::Imp(std::function<APMPSMRequestURLImp>([](rt::Object&, int64_t retry) {
                   return os::URL::URLWithString(queryBase() + "?retry=" + std::to_string(retry));
                 })));
  cls->addMethod(kAPMPSMInputTypeSelector, rt::Imp(std::function<APMPSMInputTypeImp>([](rt::Object& self) {
                   return static_cast<FakeClient&>(self).inputType;
                 })));
  cls->addMethod(kAPMPSMParseSelector,
                 rt::Imp(std::function<APMPSMParseImp>(
                     [](rt::Object&, os::Data body) -> std::optional<std::string> { return body.toString(); })));
}

class OnDeviceConversionTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    queryBase() = server_.URLForPath(kQueryPath);
    clientInputs().clear();
  }
  void startWithClient() {
    registerClient();
    start();
  }
  void attempt(const os::Dictionary& userData) {
    engine()->setUserData(userData);
    settle();
  }
  std::vector<os::testing::RecordedRequest> queries() {
    settle();
    std::vector<os::testing::RecordedRequest> out;
    for (auto& request : server_.requests()) {
      if (request.path == kQueryPath) out.push_back(request);
    }
    return out;
  }
  size_t count(int64_t code) {
    const auto logged = codes();
    return std::count(logged.begin(), logged.end(), code);
  }
};

// The engine's worker-only state checks its queue: resetting the counts from
// the test thread reaches the failure handler (abort by default), on the
// worker queue it does not.
TEST_F(OnDeviceConversionTest, WorkerOnlyStateTouchedOffTheWorkerQueueFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  start();
  auto engine = this->engine();
  ASSERT_TRUE(engine);
  ASSERT_TRUE(os::queueChecksEnabled());
  EXPECT_DEATH(engine->resetPSMCounts(), "PSMStartCount_ touched off its queue \"com.devuvo.ruri.worker\"");
  onWorker([](APMMeasurement& engine) { engine.resetPSMCounts(); });
}

// Defined first: the client class is not registered yet in this process.
TEST_F(OnDeviceConversionTest, WithoutTheClientEveryAttemptLogs23233) {
  ASSERT_EQ(rt::classFromString(kAPMPrivateSetMembershipClientClassName), nullptr);
  start();
  attempt({{kAPMUserDataEmailAddress, "a@example.invalid"}});
  attempt({{kAPMUserDataPhoneNumber, "+15550100"}});
  EXPECT_EQ(count(23233), 2u);
  EXPECT_TRUE(queries().empty());
}

TEST_F(OnDeviceConversionTest, AMatchIsKeptAndReportedThenRefusesAttemptsUntilItExpires) {
  startWithClient();
  EXPECT_EQ(count(23253), 1u);
  // First open on a whole minute moves to the next one, as does one a second later.
  const int64_t noon = 1'700'049'600;  // 2023-11-15T12:00:00Z
  APMPersistedConfig::sharedInstance()->setFirstOpenTimestampMilliseconds(noon * 1000);
  server_.setResponse(kQueryPath, os::testing::ScriptedResponse::ok(""));
  attempt({{kAPMUserDataEmailAddress, "a@example.invalid"}, {kAPMUserDataPhoneNumber, "+15550100"}});
  APMPersistedConfig::sharedInstance()->setFirstOpenTimestampMilliseconds((noon + 1) * 1000);
  server_.setResponse(kQueryPath, os::testing::ScriptedResponse::ok("match-7"));
  attempt({{kAPMUserDataPhoneNumber, "+15550100"}});
  auto sent = queries();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].query, "retry=0&psm_count=0&timestamp_first_open=1700049660");
  EXPECT_EQ(sent[1].query, "retry=0&psm_phone_count=0&timestamp_first_open=1700049660");
  EXPECT_EQ(count(23230), 1u);
  EXPECT_EQ(count(23229), 1u);

  EXPECT_EQ(userAttribute(kAPMPSMValueProperty), os::Value("match-7"));
  EXPECT_EQ(userAttribute(kAPMPSMCountEmailProperty), os::Value(os::Number::int64(1)));
  EXPECT_EQ(userAttribute(kAPMPSMCountPhoneProperty), os::Value(os::Number::int64(1)));
  std::vector<os::Dictionary> written;
  for (auto& event : storedEvents()) {
    if (event.at("name") == os::Value(kAPMPSMMatchEventName)) written.push_back(event);
  }
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].at("name"), os::Value(kAPMPSMMatchEventName));
  // "_r": realtime.
  EXPECT_EQ(written[0].at("parameters"),
            os::Value(os::Dictionary{{"_fxs", "psm"}, {"_o", "auto"}, {"_r", os::Number::int64(1)}}));

  attempt({{kAPMUserDataEmailAddress, "b@example.invalid"}});
  EXPECT_EQ(count(23237), 1u);
  EXPECT_EQ(queries().size(), 2u);

  // 90 days on the match and the counts go.
  clock_->advance(89 * 86'400);
  onWorker([](APMMeasurement& engine) { engine.maybeDeleteExpiredPSMValueOnWorkerQueue(); });
  EXPECT_EQ(userAttribute(kAPMPSMValueProperty), os::Value("match-7"));
  clock_->advance(86'400);
  onWorker([](APMMeasurement& engine) { engine.maybeDeleteExpiredPSMValueOnWorkerQueue(); });
  for (const char* name : {kAPMPSMValueProperty, kAPMPSMCountEmailProperty, kAPMPSMCountPhoneProperty}) {
    EXPECT_TRUE(userAttribute(name).isNull()) << name;
  }
}

TEST_F(OnDeviceConversionTest, TheFourthAttemptOfARunIsRefused) {
  startWithClient();
  server_.setResponse(kQueryPath, os::testing::ScriptedResponse::ok(""));
  for (int i = 0; i < 4; ++i) attempt({{kAPMUserDataEmailAddress, "a@example.invalid"}});
  EXPECT_EQ(queries().size(), 3u);
  EXPECT_EQ(count(23236), 1u);
  EXPECT_EQ(userAttribute(kAPMPSMCountEmailProperty), os::Value(os::Number::int64(3)));
  EXPECT_EQ(queries().back().query.find("psm_count=2&"), 8u);

  // Outside the sign-in window (60 days after first open) nothing starts.
  onWorker([](APMMeasurement& engine) { engine.resetPSMCounts(); });
  clock_->advance(61 * 86'400);
  attempt({{kAPMUserDataEmailAddress, "a@example.invalid"}});
  EXPECT_EQ(count(23261), 1u);
  EXPECT_EQ(queries().size(), 3u);
}

TEST_F(OnDeviceConversionTest, FailuresRetryAfterDoublingDelaysUpToTheLimit) {
  startWithClient();
  server_.setResponse(kQueryPath, os::testing::ScriptedResponse::withStatus(500));
  attempt({{kAPMUserDataEmailAddress, "a@example.invalid"}});
  ASSERT_EQ(queries().size(), 1u);
  size_t expected = 1;
  for (const double delay : {300.0, 600.0, 1200.0, 2400.0}) {
    SCOPED_TRACE(delay);
    clock_->advance(delay - 1);
    EXPECT_EQ(queries().size(), expected);
    clock_->advance(1);
    EXPECT_EQ(queries().size(), ++expected);
    EXPECT_EQ(queries().back().query.rfind("retry=" + std::to_string(expected - 1), 0), 0u);
  }
  EXPECT_EQ(count(23228), 5u);
  EXPECT_EQ(count(23231), 1u);
  clock_->advance(86'400);
  EXPECT_EQ(queries().size(), 5u);
  EXPECT_EQ(userAttribute(kAPMPSMCountEmailProperty), os::Value(os::Number::int64(5)));
}

// The public road: the facade hands the app's user data to the engine, each
// kind of identifier reaching the client and counting a request of its kind.
// Hashed identifiers come as data and were read as text, so every one was
// refused as empty (23264): the client now gets the digest's bytes.
TEST_F(OnDeviceConversionTest, TheFacadesUserDataReachesTheClientByKind) {
  startWithClient();
  ASSERT_TRUE(applySettings({{"measurement.psm_start_count", "10"}}));
  server_.setResponse(kQueryPath, os::testing::ScriptedResponse::ok(""));  // no match
  const std::string digest("\x9f\x00\x86\xd0", 4);
  const struct {
    const char* key;
    os::Value value;
    std::string input;
    const char* countProperty;
    const char* countKey;
  } cases[] = {
      {kAPMUserDataEmailAddress, "a@example.invalid", "a@example.invalid", kAPMPSMCountEmailProperty, "psm_count"},
      {kAPMUserDataPhoneNumber, "+15550100", "+15550100", kAPMPSMCountPhoneProperty, "psm_phone_count"},
      {kAPMUserDataHashedEmailAddress, os::Data::fromString(digest), digest, kAPMPSMCountHashedEmailProperty,
       "psm_count"},
      {kAPMUserDataHashedPhoneNumber, os::Data::fromString(digest), digest, kAPMPSMCountHashedPhoneProperty,
       "psm_phone_count"},
  };
  size_t sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    APMAnalytics::setUserData({{c.key, c.value}});
    // The facade's queue pauses after a call that waits for it.
    clock_->advance(kAPMOperationQueuePauseSeconds);
    ASSERT_EQ(queries().size(), ++sent);
    EXPECT_NE(queries().back().query.find(std::string("&") + c.countKey + "=0"), std::string::npos);
    ASSERT_FALSE(clientInputs().empty());
    EXPECT_EQ(clientInputs().back(), c.input);
    EXPECT_EQ(userAttribute(c.countProperty), os::Value(os::Number::int64(1)));
  }
  EXPECT_EQ(count(23264), 0u);

  // While analytics is off the facade keeps the data to itself.
  APMAnalytics::setAnalyticsEnabled(false);
  settle();
  APMAnalytics::setUserData({{kAPMUserDataEmailAddress, "b@example.invalid"}});
  settle();
  EXPECT_EQ(count(25044), 1u);
  EXPECT_EQ(queries().size(), sent);
}

}  // namespace
