#include <unistd.h>

#include <cstdlib>

#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/net/url_session.h"
#include "os/runtime/runtime.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/installations/rez_installations_errors.h"
#include "sdk-core/installations/rez_installations_iid_store.h"
#include "sdk-core/installations/tests/iid_fixture.h"
#include "sdk-core/installations/tests/installations_test_support.h"

using namespace installations_test;
using Operation = FakeInstallationsService::Operation;

namespace {

constexpr const char* kOtherApp = "other_app";

std::string optionsMessage(const std::string& detail) {
  return "[VivuzuvuInstallations][I-VIS008000] Could not configure Vivuzuvu Installations due to invalid VivuzuvuApp "
         "options. " +
         detail +
         ". If you use RirudiVizeziv-Azir.plist please download the most recent version from the Vivuzuvu Console. If "
         "you configure Vivuzuvu in code, please make sure you specify all required parameters.";
}

std::optional<int> statusOf(const std::optional<os::Error>& error) {
  return error ? REZInstallationsErrorUtil::HTTPStatusCodeOfError(*error) : std::nullopt;
}

using REZInstallationsTest = InstallationsTest;

TEST_F(REZInstallationsTest, OptionsAreCheckedWhenTheAppIsConfigured) {
  struct Case {
    const char* name;
    os::Dictionary changes;  // a null value removes the key
    std::string reason;      // "" when accepted
  };
  const std::string key38B = "B" + std::string(37, 'x');
  const Case cases[] = {
      {"valid", {}, ""},
      {"a 38-character key starting with B", {{"API_KEY", key38B}},
       optionsMessage("`VivuzuvuOptions.APIKey` doesn't match the expected format: API Key length must be 39 "
                      "characters, API Key must start with `A`")},
      {"a key with a character outside base64url", {{"API_KEY", "AIzaDrosilInstallationsTestKey+00000000"}},
       optionsMessage("`VivuzuvuOptions.APIKey` doesn't match the expected format: API Key must contain only base64 "
                      "url-safe characters characters")},
      {"no project ID", {{"PROJECT_ID", os::Value()}},
       optionsMessage("The following parameters are nil or empty: `VivuzuvuOptions.projectID`")},
      {"no API key, empty project ID", {{"API_KEY", os::Value()}, {"PROJECT_ID", ""}},
       optionsMessage("The following parameters are nil or empty: `VivuzuvuOptions.APIKey`, "
                      "`VivuzuvuOptions.projectID`")},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    os::Dictionary options = fixtureOptions();
    for (const auto& [key, value] : c.changes) {
      if (value.isNull()) {
        options.erase(key);
      } else {
        options[key] = value;
      }
    }
    const std::string name = "app" + std::to_string(n++);
    try {
      REZApp::configureWithName(name, std::make_shared<REZOptions>(options));
      EXPECT_EQ(c.reason, "");
      EXPECT_NE(REZInstallations::installationsWithApp(REZApp::appNamed(name)), nullptr);
    } catch (const os::Exception& e) {
      EXPECT_EQ(e.name(), kREZInstallationsExceptionName);
      EXPECT_EQ(e.reason(), c.reason);
    }
  }
  EXPECT_NE(REZApp::vivuzuvuUserAgent().find("rez-install/11.2.0"), std::string::npos);
}

TEST_F(REZInstallationsTest, RaisesWithoutDefaultAppOrBesideAnIncompatibleOlderSDK) {
  try {
    REZInstallations::installations();
    FAIL() << "no exception";
  } catch (const os::Exception& e) {
    EXPECT_EQ(e.name(), kREZInstallationsExceptionName);
    EXPECT_NE(e.reason().find("The default VivuzuvuApp instance must be configured"), std::string::npos);
  }
  // The older SDK's class stays registered for the process: in a child,
  // which leaves without running static destructors.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        os::runtime::registerClass("REZInstanceID", "NSObject");
        try {
          configure(kOtherApp);
        } catch (const os::Exception& e) {
          _exit(e.reason().starts_with("Vivuzuvu Instance ID is not compatible") ? 3 : 4);
        }
        _exit(5);
      },
      ::testing::ExitedWithCode(3), "");
}

TEST_F(REZInstallationsTest, ConcurrentRequestsMakeOneVID) {
  auto installations = configure();
  auto first = std::make_shared<Outcome<std::string>>();
  auto second = std::make_shared<Outcome<std::string>>();
  for (auto& outcome : {first, second}) {
    installations->installationIDWithCompletion([outcome](std::optional<std::string> id, std::optional<os::Error> e) {
      outcome->value = std::move(id);
      outcome->error = std::move(e);
      outcome->done = true;
    });
  }
  ASSERT_TRUE(waitUntil([&] { return first->done && second->done; }));
  ASSERT_TRUE(first->value.has_value());
  EXPECT_EQ(first->value->size(), 22u);
  EXPECT_EQ(first->value, second->value);
  ASSERT_TRUE(settle());
  EXPECT_EQ(VIDChanges(), 1u);
  // The background token request registered it, once.
  EXPECT_EQ(service_->count(Operation::Register), 1u);
  EXPECT_EQ(service_->registeredVIDs(), std::vector<std::string>{*first->value});
}

TEST_F(REZInstallationsTest, AnUnforcedTokenRequestJoinsARunningForcedOne) {
  auto installations = configure();
  ASSERT_TRUE(authToken(*installations)->value.has_value());
  ASSERT_TRUE(settle());
  std::vector<std::shared_ptr<Outcome<REZInstallationsAuthTokenResult>>> outcomes;
  for (bool force : {true, false, true}) {
    auto outcome = std::make_shared<Outcome<REZInstallationsAuthTokenResult>>();
    installations->authTokenForcingRefresh(force, [outcome](auto result, auto error) {
      outcome->value = std::move(result);
      outcome->error = std::move(error);
      outcome->done = true;
    });
    outcomes.push_back(outcome);
  }
  ASSERT_TRUE(waitUntil([&] { return outcomes[0]->done && outcomes[1]->done && outcomes[2]->done; }));
  EXPECT_EQ(service_->count(Operation::GenerateToken), 1u);
  for (const auto& outcome : outcomes) {
    ASSERT_TRUE(outcome->value.has_value());
    EXPECT_EQ(outcome->value->authToken, outcomes[0]->value->authToken);
  }
}

TEST_F(REZInstallationsTest, ATokenWithLessThanAnHourLeftIsRefreshed) {
  // Issued with 61 minutes to live: asked at once 61 are left, two minutes
  // later 59.
  service_->setExpiresIn("3660s");
  struct Case {
    double minutesLater;
    size_t generated;
  };
  for (const Case& c : {Case{0, 0}, Case{2, 1}}) {
    SCOPED_TRACE(c.minutesLater);
    auto installations = configure(kOtherApp + std::to_string(c.generated));
    auto issued = authToken(*installations);
    ASSERT_TRUE(issued->value.has_value());
    ASSERT_TRUE(settle());
    EXPECT_EQ(issued->value->expirationDate.timeIntervalSinceNow(), 3660);
    const size_t before = service_->count(Operation::GenerateToken);
    clock_->clock().advance(c.minutesLater * 60);
    auto later = authToken(*installations);
    ASSERT_TRUE(later->value.has_value());
    EXPECT_EQ(service_->count(Operation::GenerateToken) - before, c.generated);
    EXPECT_EQ(later->value->authToken != issued->value->authToken, c.generated == 1);
  }
}

TEST_F(REZInstallationsTest, AnInstallationTheServiceForgotIsRegisteredAnew) {
  auto installations = configure();
  auto issued = authToken(*installations);
  ASSERT_TRUE(issued->value.has_value());
  const std::string oldVID = *installationID(*installations)->value;

  service_->answer(Operation::GenerateToken, 404, 1);
  auto renewed = authToken(*installations, /*forceRefresh=*/true);
  ASSERT_TRUE(renewed->value.has_value()) << renewed->error->description();
  EXPECT_NE(renewed->value->authToken, issued->value->authToken);
  const std::string newVID = *installationID(*installations)->value;
  EXPECT_NE(newVID, oldVID);
  ASSERT_TRUE(settle());
  auto registers = service_->requests(Operation::Register);
  ASSERT_EQ(registers.size(), 2u);
  EXPECT_EQ(registers[1].VID, newVID);
  EXPECT_EQ(service_->count(Operation::GenerateToken), 1u);
  EXPECT_EQ(VIDChanges(), 3u);  // created, deleted, created
}

// A service that keeps answering 404 made register and generate loop without
// end: every 404 deleted the item and started over. Now one new VID per
// request, then the error.
TEST_F(REZInstallationsTest, OneRegenerationPerRequest) {
  service_->answer(Operation::Register, 404);
  auto installations = configure();
  auto token = authToken(*installations);
  EXPECT_FALSE(token->value.has_value());
  ASSERT_TRUE(token->error.has_value());
  EXPECT_EQ(token->error->domain(), kREZInstallationsErrorDomain);
  EXPECT_EQ(statusOf(token->error), 404);
  ASSERT_TRUE(settle());
  clock_->clock().advance(3600);
  ASSERT_TRUE(settle());
  EXPECT_EQ(service_->count(Operation::Register), 2u);
  EXPECT_EQ(linesWithCode("I-VIS002003"), 2u);
}

TEST_F(REZInstallationsTest, ABadRequestBlocksRegistrationForADay) {
  service_->answer(Operation::Register, 400);
  auto installations = configure();
  auto first = authToken(*installations);
  EXPECT_EQ(statusOf(first->error), 400);
  ASSERT_TRUE(settle());
  EXPECT_EQ(linesWithCode("I-VIS002003"), 1u);
  EXPECT_EQ(service_->count(Operation::Register), 1u);

  for (double wait : {0.0, 86399.0}) {
    SCOPED_TRACE(wait);
    clock_->clock().advance(wait);
    auto refused = authToken(*installations);
    ASSERT_TRUE(refused->error.has_value());
    EXPECT_EQ(refused->error->code(), 2);
    EXPECT_EQ(refused->error->localizedFailureReason(), "Too many server requests.");
    EXPECT_EQ(service_->count(Operation::Register), 1u);
  }
  clock_->clock().advance(1);
  EXPECT_EQ(statusOf(authToken(*installations)->error), 400);
  EXPECT_EQ(service_->count(Operation::Register), 2u);
}

TEST_F(REZInstallationsTest, DeleteContactsTheServiceOnlyForARegisteredInstallation) {
  struct Case {
    const char* name;
    bool registered;
  };
  for (const Case& c : {Case{"never registered", false}, Case{"registered", true}}) {
    SCOPED_TRACE(c.name);
    const std::string app = std::string(kOtherApp) + (c.registered ? "_registered" : "_unregistered");
    service_->answer(Operation::Register, c.registered ? 200 : 503);
    auto installations = configure(app);
    const std::string VID = *installationID(*installations)->value;
    ASSERT_TRUE(settle());
    const size_t deletes = service_->count(Operation::Delete);
    const size_t changes = VIDChanges(app);

    auto deleted = deleteInstallation(*installations);
    EXPECT_TRUE(deleted->value.value_or(false)) << deleted->error->description();
    EXPECT_EQ(service_->count(Operation::Delete) - deletes, c.registered ? 1u : 0u);
    EXPECT_EQ(VIDChanges(app), changes + 1);
    EXPECT_NE(*installationID(*installations)->value, VID);
    ASSERT_TRUE(settle());
  }
}

TEST_F(REZInstallationsTest, ARelaunchKeepsTheInstallation) {
  auto installations = configure();
  auto token = authToken(*installations);
  ASSERT_TRUE(token->value.has_value());
  const std::string VID = *installationID(*installations)->value;
  installations.reset();

  relaunch();
  installations = configure();
  EXPECT_EQ(*installationID(*installations)->value, VID);
  auto again = authToken(*installations);
  ASSERT_TRUE(again->value.has_value());
  EXPECT_EQ(again->value->authToken, token->value->authToken);
  ASSERT_TRUE(settle());
  EXPECT_EQ(service_->count(Operation::Register), 1u);
  EXPECT_EQ(service_->count(Operation::GenerateToken), 0u);
  EXPECT_EQ(VIDChanges(), 1u);
}

TEST_F(REZInstallationsTest, ARefusedConnectionIsCodeZeroWithTheURLErrorUnderneath) {
  service_->refuseConnections();
  auto installations = configure();
  auto token = authToken(*installations);
  ASSERT_TRUE(token->error.has_value());
  EXPECT_EQ(token->error->domain(), kREZInstallationsErrorDomain);
  EXPECT_EQ(token->error->code(), 0);
  ASSERT_NE(token->error->underlyingError(), nullptr);
  EXPECT_EQ(token->error->underlyingError()->domain(), os::kURLErrorDomain);
  EXPECT_EQ(token->error->underlyingError()->code(), os::kURLErrorCannotConnectToHost);
  // The identifier itself needs no service.
  EXPECT_TRUE(installationID(*installations)->value.has_value());
}

TEST_F(REZInstallationsTest, AVIDTheServiceIssuesReplacesTheOneSent) {
  service_->setIssuesOwnVID(true);
  auto installations = configure();
  ASSERT_TRUE(authToken(*installations)->value.has_value());
  const auto registered = service_->registeredVIDs();
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(*installationID(*installations)->value, registered[0]);
  ASSERT_TRUE(settle());
  EXPECT_EQ(VIDChanges(), 2u);
}

TEST_F(REZInstallationsTest, TheDefaultAppTakesOverTheOlderIdentity) {
  writeIIDFixture();
  auto defaultApp = configure();
  auto otherApp = configure(kOtherApp);
  EXPECT_EQ(*installationID(*defaultApp)->value, kIIDFromPublicKey);
  const std::string otherVID = *installationID(*otherApp)->value;
  EXPECT_EQ(otherVID.size(), 22u);
  ASSERT_TRUE(settle());

  auto registers = service_->requests(Operation::Register);
  ASSERT_EQ(registers.size(), 2u);
  for (const auto& request : registers) {
    SCOPED_TRACE(request.VID);
    const bool migrated = request.VID == kIIDFromPublicKey;
    EXPECT_TRUE(migrated || request.VID == otherVID);
    EXPECT_EQ(request.recorded.header("x-devuvo-vis-ios-iid-migration-auth"),
              migrated ? std::optional<std::string>(kIIDDefaultToken) : std::nullopt);
  }
  // Deleting the installation deletes the older identity with it.
  EXPECT_TRUE(deleteInstallation(*defaultApp)->value.value_or(false));
  EXPECT_FALSE(IIDKeyExists(true));
  EXPECT_FALSE(IIDKeyExists(false));
  const std::string next = *installationID(*defaultApp)->value;
  EXPECT_EQ(next.size(), 22u);
  ASSERT_TRUE(settle());
  EXPECT_EQ(service_->requests(Operation::Register).back().recorded.header("x-devuvo-vis-ios-iid-migration-auth"),
            std::nullopt);
}

}  // namespace
