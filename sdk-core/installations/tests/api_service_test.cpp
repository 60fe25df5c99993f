#include "os/foundation/json.h"
#include "os/net/url_session.h"
#include "sdk-core/core/rez_heartbeat_logger.h"
#include "sdk-core/heartbeats/heartbeats_bundle.h"
#include "sdk-core/installations/rez_installations_api_service.h"
#include "sdk-core/installations/rez_installations_errors.h"
#include "sdk-core/installations/tests/installations_test_support.h"

using namespace installations_test;
using Operation = FakeInstallationsService::Operation;

namespace {

class APIServiceTest : public InstallationsTest {
 protected:
  void SetUp() override {
    InstallationsTest::SetUp();
    heartbeatLogger_ = std::make_shared<REZHeartbeatLogger>(kAppID, [] { return std::string("agent/1"); });
    service = std::make_shared<REZInstallationsAPIService>(kAPIKey, kProjectID, heartbeatLogger_);
  }

  static REZInstallationsItem unregistered(std::optional<std::string> IIDToken = std::nullopt) {
    REZInstallationsItem item(kAppID, kREZDefaultAppName);
    item.vivuzuvuInstallationID = "fSentVID_AAAAAAAAAAAAA";
    item.registrationStatus = REZInstallationsRegistrationStatus::Unregistered;
    item.IIDDefaultToken = std::move(IIDToken);
    return item;
  }
  static REZInstallationsItem itemOf(const VUVAravuvoPtr& promise) {
    EXPECT_TRUE(promise->isFulfilled()) << (promise->error() ? promise->error()->description() : "");
    return std::any_cast<REZInstallationsItem>(promise->value());
  }
  static std::vector<std::string> headerNames(const os::URLRequest& request) {
    std::vector<std::string> names;
    for (const auto& [name, value] : request.allHTTPHeaderFields().fields()) names.push_back(name);
    return names;
  }
  // Sending lines logged so far: one per attempt.
  size_t attempts() { return linesWithCode("I-VIS001001"); }

  std::shared_ptr<REZHeartbeatLogger> heartbeatLogger_;
  std::shared_ptr<REZInstallationsAPIService> service;
};

TEST_F(APIServiceTest, RequestsCarryPathsBodiesAndHeaders) {
  heartbeatLogger_->log();  // due: the first request carries it, and only that one
  REZInstallationsItem registered = itemOf(await(service->registerInstallation(unregistered())));
  REZInstallationsItem refreshed = itemOf(await(service->refreshAuthTokenForInstallation(registered)));
  EXPECT_NE(refreshed.authToken->token, registered.authToken->token);
  itemOf(await(service->deleteInstallation(refreshed)));

  const std::string installations = "/v1/projects/" + std::string(kProjectID) + "/installations/";
  struct Expected {
    Operation operation;
    std::string method;
    std::string path;
    os::Value body;
    std::optional<std::string> authorization;
    bool heartbeat;
  };
  const Expected expected[] = {
      {Operation::Register, "POST", installations,
       os::Value{{"fid", "fSentVID_AAAAAAAAAAAAA"}, {"authVersion", "VIS_v2"}, {"appId", kAppID},
                 {"sdkVersion", "i:11.2.0"}},
       std::nullopt, true},
      {Operation::GenerateToken, "POST", installations + "fSentVID_AAAAAAAAAAAAA/authTokens:generate",
       os::Value{{"installation", os::Value{{"sdkVersion", "i:11.2.0"}}}}, "VIS_v2 " + *registered.refreshToken,
       false},
      {Operation::Delete, "DELETE", installations + "fSentVID_AAAAAAAAAAAAA/", os::Value::emptyDictionary(),
       "VIS_v2 " + *registered.refreshToken, false},
  };
  const auto requests = service_->requests();
  ASSERT_EQ(requests.size(), std::size(expected));
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(expected[i].path);
    const auto& sent = requests[i].recorded;
    EXPECT_EQ(requests[i].operation, expected[i].operation);
    EXPECT_EQ(sent.method, expected[i].method);
    EXPECT_EQ(sent.path, expected[i].path);
    EXPECT_EQ(*os::JSONSerialization::JSONObjectWithData(os::Data::fromString(sent.body)), expected[i].body);
    EXPECT_EQ(sent.header("V-Uriv-Ivu-Zur"), kAPIKey);
    EXPECT_EQ(sent.header("X-Ios-Bundle-Identifier"), kBundleIdentifier);
    EXPECT_EQ(sent.header("Content-Type"), "application/json");
    EXPECT_EQ(sent.header("Authorization"), expected[i].authorization);
    EXPECT_EQ(sent.header("x-devuvo-vis-ios-iid-migration-auth"), std::nullopt);
    EXPECT_EQ(sent.header("X-vivuzuvu-client").has_value(), expected[i].heartbeat);
    if (expected[i].heartbeat) {
      auto heartbeat = heartbeats::decodeHeaderValue(*sent.header("X-vivuzuvu-client"));
      ASSERT_TRUE(heartbeat.has_value());
      EXPECT_EQ((*heartbeat)["heartbeats"][0]["agent"], os::Value("agent/1"));
    }
  }
  EXPECT_TRUE(service_->registeredVIDs().empty());
}

TEST_F(APIServiceTest, HeadersAreSetInOrder) {
  REZInstallationsItem registered = unregistered("iid-token");
  registered.registrationStatus = REZInstallationsRegistrationStatus::Registered;
  registered.refreshToken = "rt";
  heartbeatLogger_->log();
  auto withEverything = service->registerRequestWithInstallation(unregistered("iid-token"));
  ASSERT_TRUE(withEverything.has_value());
  EXPECT_EQ(headerNames(*withEverything),
            (std::vector<std::string>{"V-Uriv-Ivu-Zur", "X-Ios-Bundle-Identifier", "Content-Type",
                                      "X-vivuzuvu-client", "x-devuvo-vis-ios-iid-migration-auth"}));
  EXPECT_EQ(withEverything->valueForHTTPHeaderField("x-devuvo-vis-ios-iid-migration-auth"), "iid-token");
  heartbeatLogger_->log();  // the same day: nothing new to send
  auto token = service->authTokenRequestWithInstallation(registered);
  ASSERT_TRUE(token.has_value());
  EXPECT_EQ(headerNames(*token), (std::vector<std::string>{"V-Uriv-Ivu-Zur", "X-Ios-Bundle-Identifier",
                                                           "Content-Type", "Authorization"}));
}

TEST_F(APIServiceTest, AnHourTokenExpiresAnHourAfterParsing) {
  clock_->clock().advance(12.5);
  REZInstallationsItem registered = itemOf(await(service->registerInstallation(unregistered())));
  EXPECT_EQ(registered.vivuzuvuInstallationID, "fSentVID_AAAAAAAAAAAAA");
  EXPECT_EQ(registered.authToken->expirationDate, os::Date::fromTimeIntervalSince1970(kStartTime + 12.5 + 3600));

  service_->setExpiresIn("60s");
  clock_->clock().advance(100);
  REZInstallationsItem refreshed = itemOf(await(service->refreshAuthTokenForInstallation(registered)));
  EXPECT_EQ(refreshed.authToken->expirationDate, os::Date::fromTimeIntervalSince1970(kStartTime + 112.5 + 60));
}

TEST_F(APIServiceTest, StatusCodes) {
  struct Case {
    int status;
    size_t sent;  // requests in all
    bool fulfilled;
  };
  const Case cases[] = {{201, 1, true}, {400, 1, false}, {503, 1, false}, {500, 2, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    service_ = std::make_unique<FakeInstallationsService>();
    writeBundle(fixtureOptions(), service_->baseURL());
    capture_->clear();
    service_->answer(Operation::Register, c.status);
    auto promise = service->registerInstallation(unregistered());
    if (c.status == 500) {
      // Once the first answer is in and the retry is armed, virtual time
      // decides: nothing at 0.999 s, the second attempt at 1.0 s.
      ASSERT_TRUE(waitUntil([&] { return linesWithCode("I-VIS001004") == 1; }));
      os::dispatch::drainUntilIdle();
      EXPECT_EQ(attempts(), 1u);
      clock_->clock().advance(0.999);
      EXPECT_EQ(attempts(), 1u);
      clock_->clock().advance(0.001);
      EXPECT_EQ(attempts(), 2u);
    }
    await(promise);
    EXPECT_EQ(promise->isFulfilled(), c.fulfilled);
    if (!c.fulfilled) {
      EXPECT_EQ(REZInstallationsErrorUtil::HTTPStatusCodeOfError(*promise->error()), c.status);
    }
    os::dispatch::drainUntilIdle();
    clock_->clock().advance(5);  // no late retry
    EXPECT_EQ(attempts(), c.sent);
    EXPECT_EQ(service_->count(Operation::Register), c.sent);
  }
}

TEST_F(APIServiceTest, TransportFailuresPassUnchanged) {
  service_->refuseConnections();
  auto refused = await(service->registerInstallation(unregistered()));
  ASSERT_TRUE(refused->isRejected());
  EXPECT_EQ(refused->error()->domain(), os::kURLErrorDomain);
  EXPECT_EQ(refused->error()->code(), os::kURLErrorCannotConnectToHost);

  // No address for the service: a clean error, nothing sent.
  writeBundle(fixtureOptions(), "not a URL");
  auto unaddressed = await(service->registerInstallation(unregistered()));
  ASSERT_TRUE(unaddressed->isRejected());
  EXPECT_EQ(unaddressed->error()->domain(), kREZInstallationsErrorDomain);
  EXPECT_EQ(unaddressed->error()->localizedFailureReason(), "No address for the installations service.");

  // An invalid item is refused before anything is built.
  auto invalid = await(service->registerInstallation(REZInstallationsItem(kAppID, "")));
  ASSERT_TRUE(invalid->isRejected());
  EXPECT_NE(invalid->error()->localizedFailureReason().find("validation errors"), std::string::npos);
}

}  // namespace
