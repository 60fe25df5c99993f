#include <set>

#include "os/foundation/format.h"
#include "os/foundation/keyed_archiver.h"
#include "os/net/url_session.h"
#include "sdk-core/installations/rez_installations_errors.h"
#include "sdk-core/installations/rez_installations_item.h"
#include "sdk-core/installations/tests/installations_test_support.h"

using namespace installations_test;

namespace {

// Records as a later version writes them: storage version 2 and a field this
// version does not know.
class NewerStoredItem final : public os::SecureCoding {
 public:
  void encodeWithCoder(os::KeyedArchiver& coder) const override {
    coder.encodeValue(os::Value("fNewerVersionVID_AAAAA"), "vivuzuvuInstallationID");
    coder.encodeInt64(1, "registrationStatus");
    coder.encodeValue(os::Value("from the future"), "futureField");
    coder.encodeInt64(2, "storageVersion");
  }
  static std::shared_ptr<NewerStoredItem> initWithCoder(os::KeyedUnarchiver&) { return nullptr; }
};
class NewerAuthToken final : public os::SecureCoding {
 public:
  void encodeWithCoder(os::KeyedArchiver& coder) const override {
    coder.encodeInt64(1, "status");
    coder.encodeValue(os::Value("at-newer"), "token");
    coder.encodeInt64(3, "storageVersion");
  }
  static std::shared_ptr<NewerAuthToken> initWithCoder(os::KeyedUnarchiver&) { return nullptr; }
};
// An archived HTTP error that lost its response.
class HTTPErrorWithoutResponse final : public os::SecureCoding {
 public:
  void encodeWithCoder(os::KeyedArchiver& coder) const override {
    coder.encodeValue(os::Value(os::Data::fromString("body")), "data");
  }
  static std::shared_ptr<HTTPErrorWithoutResponse> initWithCoder(os::KeyedUnarchiver&) { return nullptr; }
};
const os::CodingRegistration<NewerStoredItem> kNewerStoredItem("TestNewerStoredItem");
const os::CodingRegistration<NewerAuthToken> kNewerAuthToken("TestNewerAuthToken");
const os::CodingRegistration<HTTPErrorWithoutResponse> kHTTPErrorWithoutResponse("TestHTTPErrorWithoutResponse");

template <class T>
os::Data archiveAs(const std::string& archivedName, const std::string& className) {
  os::KeyedArchiver coder;
  coder.setClassName(archivedName, className);
  coder.encodeRootObject(std::make_shared<T>());
  return *coder.encodedData();
}

REZInstallationsItem unregisteredItem() {
  REZInstallationsItem item(kAppID, kREZDefaultAppName);
  item.vivuzuvuInstallationID = "fAAAAAAAAAAAAAAAAAAAAA";
  item.registrationStatus = REZInstallationsRegistrationStatus::Unregistered;
  return item;
}

using ItemTest = InstallationsTest;

}  // namespace

TEST(VIDTest, TwentyTwoURLSafeCharactersStartingWithCToF) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string VID = REZInstallationsItem::generateVID();
    SCOPED_TRACE(VID);
    ASSERT_EQ(VID.size(), 22u);
    ASSERT_NE(std::string("cdef").find(VID[0]), std::string::npos);
    ASSERT_EQ(VID.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    seen.insert(VID);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

TEST(ItemValidityTest, ProblemsAreListedInOrder) {
  REZInstallationsItem registered = unregisteredItem();
  registered.registrationStatus = REZInstallationsRegistrationStatus::Registered;
  registered.refreshToken = "rt";
  registered.authToken.emplace();
  registered.authToken->token = "at";
  REZInstallationsItem complete = registered;
  complete.authToken->expirationDate = os::Date::fromTimeIntervalSince1970(kStartTime);
  REZInstallationsItem empty("", "");

  struct Case {
    const char* name;
    REZInstallationsItem item;
    std::string problems;  // "" when valid
  };
  const Case cases[] = {
      {"unregistered without tokens", unregisteredItem(), ""},
      {"registered, complete", complete, ""},
      {"registered without expiration", registered,
       "registered installation must have non-empty `authToken.expirationDate`"},
      {"nothing at all", empty,
       "`appID` must not be empty, `vivuzuvuAppName` must not be empty, `vivuzuvuInstallationID` must not be empty, "
       "invalid `registrationStatus`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto valid = c.item.isValid();
    if (c.problems.empty()) {
      EXPECT_TRUE(valid.has_value());
      continue;
    }
    ASSERT_FALSE(valid.has_value());
    EXPECT_EQ(valid.error().domain(), kREZInstallationsErrorDomain);
    EXPECT_EQ(valid.error().code(), 0);
    EXPECT_EQ(valid.error().localizedFailureReason(), "REZInstallationsItem validation errors: " + c.problems);
  }
}

TEST(RegistrationReplyTest, FieldsAreRequiredAndTheExpiryIsANumber) {
  const os::Date parsedAt = os::Date::fromTimeIntervalSince1970(kStartTime);
  auto reply = [](const std::string& authToken, const std::string& more = R"("refreshToken": "rt-1")") {
    return os::Data::fromString("{" + more + R"(, "authToken": )" + authToken + "}");
  };
  auto token = [](const std::string& expiresIn) {
    return R"({"token": "at-1", "expiresIn": )" + expiresIn + "}";
  };
  struct Case {
    const char* name;
    os::Data body;
    std::string failure;  // "" when parsed
    std::string VID = "fAAAAAAAAAAAAAAAAAAAAA";
    double expiresAfter = 3600;
  };
  const std::string missing = "A required response field with name %@ is missing";
  const Case cases[] = {
      {"no fid keeps the VID sent", reply(token(R"("3600s")")), ""},
      {"an empty fid keeps the VID sent", reply(token(R"("3600s")"), R"("fid": "", "refreshToken": "rt-1")"), ""},
      {"a fid replaces it", reply(token(R"("3600s")"), R"("fid": "fServer", "refreshToken": "rt-1")"), "",
       "fServer"},
      {"fractional seconds", reply(token(R"("0.5s")")), "", "fAAAAAAAAAAAAAAAAAAAAA", 0.5},
      {"no refresh token", reply(token(R"("3600s")"), R"("fid": "x")"), os::format(missing, "refreshToken")},
      {"a refresh token that is a number", reply(token(R"("3600s")"), R"("refreshToken": 5)"),
       os::format(missing, "refreshToken")},
      {"an auth token that is text", reply(R"("at-1")"), os::format(missing, "authToken")},
      {"an empty token", reply(R"({"token": "", "expiresIn": "3600s"})"), os::format(missing, "authToken.token")},
      {"no expiry", reply(R"({"token": "at-1"})"), os::format(missing, "authToken.expiresIn")},
      {"an expiry that is a number", reply(token("3600")), os::format(missing, "authToken.expiresIn")},
      // A number part that is empty, letters or negative was read as 0 (or
      // less): a token born expired and refreshed on every request.
      {"a unit alone", reply(token(R"("s")")), os::format(missing, "authToken.expiresIn")},
      {"letters", reply(token(R"("abcs")")), os::format(missing, "authToken.expiresIn")},
      {"negative", reply(token(R"("-60s")")), os::format(missing, "authToken.expiresIn")},
      {"infinite", reply(token(R"("infs")")), os::format(missing, "authToken.expiresIn")},
      {"a number with trailing text", reply(token(R"("60 secs")")), os::format(missing, "authToken.expiresIn")},
      {"not JSON", os::Data::fromString("<html>"), "Failed to serialize JSON data."},
      {"not an object", os::Data::fromString("[]"), "Failed to serialize JSON data."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto registered = unregisteredItem().registeredInstallationWithJSONData(c.body, parsedAt);
    if (!c.failure.empty()) {
      ASSERT_FALSE(registered.has_value());
      EXPECT_EQ(registered.error().domain(), kREZInstallationsErrorDomain);
      EXPECT_EQ(registered.error().localizedFailureReason(), c.failure);
      continue;
    }
    ASSERT_TRUE(registered.has_value()) << registered.error().description();
    EXPECT_EQ(registered->vivuzuvuInstallationID, c.VID);
    EXPECT_EQ(registered->registrationStatus, REZInstallationsRegistrationStatus::Registered);
    EXPECT_EQ(registered->refreshToken, "rt-1");
    EXPECT_EQ(registered->authToken->status, REZInstallationsAuthTokenStatus::TokenOK);
    EXPECT_EQ(registered->authToken->token, "at-1");
    EXPECT_EQ(registered->authToken->expirationDate, parsedAt.addingTimeInterval(c.expiresAfter));
    EXPECT_TRUE(registered->isValid().has_value());
  }
}

TEST_F(ItemTest, StoredRecordsRoundTripAndNewerVersionsAreReadWithAWarning) {
  REZInstallationsItem item = unregisteredItem();
  item.registrationStatus = REZInstallationsRegistrationStatus::Registered;
  item.refreshToken = "rt";
  item.IIDDefaultToken = "iid-token";
  item.authToken.emplace();
  item.authToken->status = REZInstallationsAuthTokenStatus::TokenOK;
  item.authToken->token = "at";
  item.authToken->expirationDate = os::Date::fromTimeIntervalSince1970(kStartTime + 0.25);
  auto archived = os::KeyedArchiver::archivedDataWithRootObject(
      std::make_shared<REZInstallationsStoredItem>(item.storedItem()));
  ASSERT_TRUE(archived.has_value());
  auto stored = os::KeyedUnarchiver::unarchivedObjectOfClass<REZInstallationsStoredItem>(*archived);
  ASSERT_TRUE(stored.has_value());
  REZInstallationsItem read(kAppID, kREZDefaultAppName);
  read.updateWithStoredItem(**stored);
  EXPECT_EQ(read.vivuzuvuInstallationID, item.vivuzuvuInstallationID);
  EXPECT_EQ(read.refreshToken, "rt");
  EXPECT_EQ(read.IIDDefaultToken, "iid-token");
  EXPECT_EQ(read.registrationStatus, REZInstallationsRegistrationStatus::Registered);
  EXPECT_EQ(read.authToken->token, "at");
  EXPECT_EQ(read.authToken->expirationDate, item.authToken->expirationDate);
  EXPECT_EQ(linesWithCode("I-VIS003000"), 0u);

  auto newer = os::KeyedUnarchiver::unarchivedObjectOfClass<REZInstallationsStoredItem>(
      archiveAs<NewerStoredItem>("REZInstallationsStoredItem", "TestNewerStoredItem"));
  ASSERT_TRUE(newer.has_value());
  EXPECT_EQ((*newer)->vivuzuvuInstallationID, "fNewerVersionVID_AAAAA");
  EXPECT_EQ((*newer)->registrationStatus, REZInstallationsRegistrationStatus::Unregistered);
  EXPECT_EQ(linesWithCode("I-VIS003000"), 1u);

  auto newerToken = os::KeyedUnarchiver::unarchivedObjectOfClass<REZInstallationsStoredAuthToken>(
      archiveAs<NewerAuthToken>("REZInstallationsStoredAuthToken", "TestNewerAuthToken"));
  ASSERT_TRUE(newerToken.has_value());
  EXPECT_EQ((*newerToken)->token, "at-newer");
  EXPECT_EQ(linesWithCode("I-VIS004000"), 1u);
}

TEST(InstallationsErrorTest, PublicErrorsAndHTTPErrors) {
  const auto url = *os::URL::URLWithString("http://127.0.0.1:9/v1/projects/p/installations/");
  const os::Error network = os::URLError(os::kURLErrorCannotConnectToHost, url);
  const os::Error wrapped = REZInstallationsErrorUtil::publicDomainError(network);
  EXPECT_EQ(wrapped.domain(), kREZInstallationsErrorDomain);
  EXPECT_EQ(wrapped.code(), 0);
  ASSERT_NE(wrapped.underlyingError(), nullptr);
  EXPECT_EQ(*wrapped.underlyingError(), network);
  EXPECT_EQ(wrapped.localizedFailureReason(), "Underlying error: " + network.description());

  const os::Error backoff = REZInstallationsErrorUtil::backoffIntervalWaitError();
  EXPECT_EQ(REZInstallationsErrorUtil::publicDomainError(backoff).code(), 2);
  EXPECT_EQ(REZInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", -25308).localizedFailureReason(),
            "SecItemDelete (-25308)");

  const os::Error http = REZInstallationsErrorUtil::APIErrorWithHTTPResponse(
      os::HTTPURLResponse(url, 404, {}), os::Data::fromString(R"({"error": "gone"})"));
  EXPECT_EQ(http.domain(), kREZInstallationsErrorDomain);
  EXPECT_EQ(http.code(), 0);
  EXPECT_EQ(REZInstallationsErrorUtil::HTTPStatusCodeOfError(http), 404);
  EXPECT_EQ(REZInstallationsErrorUtil::HTTPStatusCodeOfError(network), std::nullopt);
  EXPECT_EQ(http.localizedFailureReason(),
            "The server responded with an error: \n - URL: http://127.0.0.1:9/v1/projects/p/installations/ \n - "
            "HTTP status code: 404 \n - Response body: {\"error\": \"gone\"}");

  // Archived and read back; an archive without the response is refused.
  auto archived = os::KeyedArchiver::archivedDataWithRootObject(REZInstallationsHTTPError::fromError(http));
  ASSERT_TRUE(archived.has_value());
  auto decoded = os::KeyedUnarchiver::unarchivedObjectOfClass<REZInstallationsHTTPError>(*archived);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ((*decoded)->HTTPResponse.statusCode(), 404);
  EXPECT_EQ((*decoded)->data, os::Data::fromString(R"({"error": "gone"})"));
  EXPECT_FALSE(os::KeyedUnarchiver::unarchivedObjectOfClass<REZInstallationsHTTPError>(
                   archiveAs<HTTPErrorWithoutResponse>("REZInstallationsHTTPError", "TestHTTPErrorWithoutResponse"))
                   .has_value());
}
