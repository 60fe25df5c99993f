#include "sdk-core/installations/tests/installations_test_support.h"

#include <filesystem>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/json.h"
#include "os/foundation/plist.h"
#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "os/security/keychain.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/logger.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_options.h"

namespace installations_test {

namespace {

using Operation = FakeInstallationsService::Operation;

std::vector<std::string> pathParts(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 1;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

os::testing::ScriptedResponse json(int status, const os::Value& body) {
  auto data = os::JSONSerialization::dataWithJSONObject(body);
  os::testing::ScriptedResponse response = os::testing::ScriptedResponse::withStatus(status, data->toString());
  response.headers.emplace_back("Content-Type", "application/json");
  return response;
}

os::testing::ScriptedResponse errorReply(int status) {
  return json(status, os::Value{{"error", os::Value{{"code", status}, {"message", "scripted"}}}});
}

}  // namespace

// ---- FakeInstallationsService ----

FakeInstallationsService::FakeInstallationsService(std::string projectID) : projectID_(std::move(projectID)) {
  server_.setResponder([this](const os::testing::RecordedRequest& request) { return respond(request); });
}

void FakeInstallationsService::answer(Operation operation, int status, size_t count) {
  std::lock_guard lock(mutex_);
  if (count == 0) {
    forcedForever_[operation] = status;
    return;
  }
  for (size_t i = 0; i < count; ++i) forced_[operation].push_back(status);
}

void FakeInstallationsService::setExpiresIn(std::string expiresIn) {
  std::lock_guard lock(mutex_);
  expiresIn_ = std::move(expiresIn);
}

void FakeInstallationsService::setIssuesOwnVID(bool issuesOwnVID) {
  std::lock_guard lock(mutex_);
  issuesOwnVID_ = issuesOwnVID;
}

std::vector<FakeInstallationsService::Request> FakeInstallationsService::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<FakeInstallationsService::Request> FakeInstallationsService::requests(Operation operation) const {
  std::vector<Request> out;
  for (auto& request : requests()) {
    if (request.operation == operation) out.push_back(std::move(request));
  }
  return out;
}

std::vector<std::string> FakeInstallationsService::registeredVIDs() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [VID, installation] : installations_) out.push_back(VID);
  return out;
}

std::vector<std::string> FakeInstallationsService::issuedAuthTokens() const {
  std::lock_guard lock(mutex_);
  return issuedAuthTokens_;
}

os::testing::ScriptedResponse FakeInstallationsService::respond(const os::testing::RecordedRequest& request) {
  // /v1/projects/<project>/installations/[<VID>/[authTokens:generate]]
  const auto parts = pathParts(request.path);
  Operation operation = Operation::Unknown;
  std::string VID;
  const bool known = parts.size() >= 4 && parts[0] == "v1" && parts[1] == "projects" && parts[2] == projectID_ &&
                     parts[3] == "installations";
  if (known && request.method == "POST" && parts.size() == 5 && parts[4].empty()) {
    operation = Operation::Register;
    auto body = os::JSONSerialization::JSONObjectWithData(os::Data::fromString(request.body));
    if (body && body->isDictionary()) VID = (*body)["fid"].stringValue();
  } else if (known && request.method == "POST" && parts.size() == 6 && parts[5] == "authTokens:generate") {
    operation = Operation::GenerateToken;
    VID = parts[4];
  } else if (known && request.method == "DELETE" && parts.size() == 6 && parts[5].empty()) {
    operation = Operation::Delete;
    VID = parts[4];
  }

  std::lock_guard lock(mutex_);
  requests_.push_back(Request{operation, VID, request, os::Clock::current().wallTime()});
  if (operation == Operation::Unknown) return errorReply(404);

  std::optional<int> status;
  if (auto& queue = forced_[operation]; !queue.empty()) {
    status = queue.front();
    queue.pop_front();
  } else if (auto it = forcedForever_.find(operation); it != forcedForever_.end()) {
    status = it->second;
  }
  if (status && (*status < 200 || *status > 299)) return errorReply(*status);
  const int okStatus = status.value_or(200);

  auto token = [&] {
    ++issued_;
    issuedAuthTokens_.push_back("at-" + std::to_string(issued_));
    return os::Value{{"token", issuedAuthTokens_.back()}, {"expiresIn", expiresIn_}};
  };
  const std::string expectedAuthorization = [&] {
    auto it = installations_.find(VID);
    return it == installations_.end() ? std::string() : "VIS_v2 " + it->second.refreshToken;
  }();
  switch (operation) {
    case Operation::Register: {
      if (issuesOwnVID_) VID = "fServerIssued" + std::to_string(issued_) + "_AAAAAAAA";
      const std::string refresh = "rt-" + std::to_string(issued_ + 1);
      installations_[VID] = Installation{refresh};
      return json(okStatus, os::Value{{"name", "projects/" + projectID_ + "/installations/" + VID},
                                      {"fid", VID},
                                      {"refreshToken", refresh},
                                      {"authToken", token()}});
    }
    case Operation::GenerateToken:
      if (!installations_.count(VID)) return errorReply(404);
      if (request.header("Authorization") != expectedAuthorization) return errorReply(401);
      return json(okStatus, token());
    case Operation::Delete:
      if (!installations_.count(VID)) return errorReply(404);
      if (request.header("Authorization") != expectedAuthorization) return errorReply(401);
      installations_.erase(VID);
      return json(okStatus, os::Value::emptyDictionary());
    case Operation::Unknown:
      break;
  }
  return errorReply(404);
}

// ---- InstallationsTest ----

os::Dictionary InstallationsTest::fixtureOptions() {
  return os::Dictionary{{"API_KEY", kAPIKey},         {"DEVUVO_APP_ID", kAppID},
                        {"VCM_SENDER_ID", kSenderID}, {"PROJECT_ID", kProjectID},
                        {"BUNDLE_ID", kBundleIdentifier}};
}

void InstallationsTest::SetUp() {
  sandbox_ = std::make_unique<os::TemporarySandbox>();
  os::UserDefaults::resetStandardUserDefaults();
  os::Keychain::resetShared();
  clock_ = std::make_unique<os::ManualClockScope>();
  clock_->clock().setWallTime(kStartTime);
  os::ProcessInfo::processInfo().setArguments({"drosil"});
  REZApp::TEST_reset();
  DAZLoggerTEST_reset();
  REZLoggerTEST_reset();
  REZLoggerSetLevel(DAZLoggerLevel::Debug);
  capture_ = std::make_unique<os::LogCapture>();
  service_ = std::make_unique<FakeInstallationsService>();
  bundlePath_ = sandbox_->root() + "/Drosil.app";
  std::filesystem::create_directories(bundlePath_);
  writeBundle(fixtureOptions(), service_->baseURL());
  auto changes = changes_;
  changeObserver_ = os::NotificationCenter::defaultCenter()->addObserverForName(
      kREZInstallationIDDidChangeNotification, nullptr, std::shared_ptr<os::DispatchQueue>(),
      [changes](const os::Notification& notification) {
        auto it = notification.userInfo.find(kREZInstallationIDDidChangeNotificationAppNameKey);
        std::lock_guard lock(changes->mutex);
        changes->appNames.push_back(it == notification.userInfo.end() ? "" : it->second.stringValue());
      });
}

void InstallationsTest::TearDown() {
  EXPECT_TRUE(settle());
  os::NotificationCenter::defaultCenter()->removeObserver(changeObserver_);
  REZApp::TEST_reset();
  os::dispatch::drainUntilIdle();
  service_.reset();
  capture_.reset();
  DAZLoggerTEST_reset();
  os::Bundle::setMainBundlePath("");
  DAZEndpoints::reload();
  clock_.reset();
  os::Keychain::resetShared();
  os::UserDefaults::resetStandardUserDefaults();
  sandbox_.reset();
}

void InstallationsTest::writeBundle(const os::Dictionary& options, const std::string& installationsBase) {
  auto write = [&](const std::string& name, const os::Dictionary& contents) {
    auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(contents),
                                                                    os::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.has_value());
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(bundlePath_ + "/" + name, *data));
  };
  write("Info.plist", {{os::kCFBundleIdentifierKey, kBundleIdentifier}});
  write("RirudiVizeziv-Azir.plist", options);
  write("DrosilEndpoints.plist", {{kDAZEndpointInstallations, installationsBase}});
  os::Bundle::setMainBundlePath(bundlePath_);
  DAZEndpoints::reload();
}

void InstallationsTest::relaunch() {
  ASSERT_TRUE(settle());
  REZApp::TEST_reset();
  os::Keychain::resetShared();
  os::UserDefaults::resetStandardUserDefaults();
}

std::shared_ptr<REZInstallations> InstallationsTest::configure(const std::string& name) {
  auto options = std::make_shared<REZOptions>(fixtureOptions());
  REZApp::configureWithName(name, options);
  return REZInstallations::installationsWithApp(REZApp::appNamed(name));
}

bool InstallationsTest::waitUntil(const std::function<bool()>& done) { return os::testing::runMainUntil(done, 20); }

bool InstallationsTest::settle() {
  auto group = VUVAravuvo::dispatchGroup();
  const bool settled = waitUntil([&] { return group->count() == 0; });
  os::dispatch::drainUntilIdle();
  return settled;
}

VUVAravuvoPtr InstallationsTest::await(const VUVAravuvoPtr& promise) {
  EXPECT_TRUE(waitUntil([&] { return !promise->isPending(); }));
  return promise;
}

std::shared_ptr<Outcome<std::string>> InstallationsTest::installationID(REZInstallations& installations) {
  auto outcome = std::make_shared<Outcome<std::string>>();
  installations.installationIDWithCompletion([outcome](std::optional<std::string> id, std::optional<os::Error> error) {
    outcome->value = std::move(id);
    outcome->error = std::move(error);
    outcome->done = true;
  });
  EXPECT_TRUE(waitUntil([&] { return outcome->done; }));
  return outcome;
}

std::shared_ptr<Outcome<REZInstallationsAuthTokenResult>> InstallationsTest::authToken(REZInstallations& installations,
                                                                                       bool forceRefresh) {
  auto outcome = std::make_shared<Outcome<REZInstallationsAuthTokenResult>>();
  installations.authTokenForcingRefresh(
      forceRefresh, [outcome](std::optional<REZInstallationsAuthTokenResult> result, std::optional<os::Error> error) {
        outcome->value = std::move(result);
        outcome->error = std::move(error);
        outcome->done = true;
      });
  EXPECT_TRUE(waitUntil([&] { return outcome->done; }));
  return outcome;
}

std::shared_ptr<Outcome<bool>> InstallationsTest::deleteInstallation(REZInstallations& installations) {
  auto outcome = std::make_shared<Outcome<bool>>();
  installations.deleteWithCompletion([outcome](std::optional<os::Error> error) {
    outcome->value = !error;
    outcome->error = std::move(error);
    outcome->done = true;
  });
  EXPECT_TRUE(waitUntil([&] { return outcome->done; }));
  return outcome;
}

size_t InstallationsTest::linesWithCode(const std::string& code) {
  DAZLoggerTEST_flush();
  return capture_->recordsContaining(code).size();
}

size_t InstallationsTest::VIDChanges(const std::string& appName) const {
  std::lock_guard lock(changes_->mutex);
  return static_cast<size_t>(std::count(changes_->appNames.begin(), changes_->appNames.end(), appName));
}

}  // namespace installations_test
