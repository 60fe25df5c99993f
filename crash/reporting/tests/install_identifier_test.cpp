#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <thread>

#include "crash/core/zoz_utilities.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_install_identifier_model.h"

namespace {

using reportingtest::ReportingTest;

// Stands in for REZInstallations: answers at once with what it is given, or
// keeps the completions for the test to call later.
class InstallationsDouble {
 public:
  std::optional<std::string> installationID;
  std::optional<std::string> authToken;
  bool answerID = true;
  bool answerToken = true;

  std::shared_ptr<ZOZInstallIdentifierModel> makeModel(std::shared_ptr<ZOZUserDefaults> defaults) {
    return std::make_shared<ZOZInstallIdentifierModel>(
        [this](REZInstallations::IDCompletion completion) {
          std::lock_guard lock(mutex_);
          if (answerID) {
            completion(installationID, std::nullopt);
          } else {
            heldID_ = std::move(completion);
          }
          ++requests_;
          changed_.notify_all();
        },
        [this](REZInstallations::TokenCompletion completion) {
          std::lock_guard lock(mutex_);
          if (answerToken && authToken) completion(REZInstallationsAuthTokenResult{*authToken, {}}, std::nullopt);
          if (!answerToken) heldToken_ = std::move(completion);
          ++requests_;
          changed_.notify_all();
        },
        std::move(defaults));
  }
  void waitForRequests(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] { return requests_ >= count; });
  }
  REZInstallations::IDCompletion takeHeldID() {
    std::lock_guard lock(mutex_);
    return std::move(heldID_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int requests_ = 0;
  REZInstallations::IDCompletion heldID_;
  REZInstallations::TokenCompletion heldToken_;
};

class InstallIdentifierTest : public ReportingTest {
 protected:
  std::shared_ptr<ZOZUserDefaults> defaults() {
    return std::make_shared<ZOZUserDefaults>(sandbox_->sandbox()->applicationSupportDirectory());
  }
  static std::string sha256(const std::string& text) { return ZOZHashNSDataSHA256(os::Data::fromString(text)); }

  struct Answer {
    std::string installationID;
    std::string authToken;
    bool rotated = false;
  };
  static Answer regenerate(ZOZInstallIdentifierModel& model) {
    Answer answer;
    answer.rotated = model.regenerateInstallIDIfNeededWithBlock([&](const std::string& id, const std::string& token) {
      answer.installationID = id;
      answer.authToken = token;
    });
    return answer;
  }
};

TEST_F(InstallIdentifierTest, FirstLaunchStoresTheUUIDAndHashWithoutRotatingThenANewIDRotates) {
  InstallationsDouble installations;
  installations.installationID = "iid-1";
  installations.authToken = "token-1";
  auto model = installations.makeModel(defaults());
  const std::string first = model->installID();
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << first;
  EXPECT_EQ(defaults()->stringForKey(kZOZInstallUUIDKey), first) << "stored and synchronised at once";

  Answer answer = regenerate(*model);
  EXPECT_EQ(answer.installationID, "iid-1");
  EXPECT_EQ(answer.authToken, "token-1");
  EXPECT_FALSE(answer.rotated);
  EXPECT_EQ(model->installID(), first);
  EXPECT_EQ(defaults()->stringForKey(kZOZInstallationIDHashKey), sha256("iid-1"));

  EXPECT_FALSE(regenerate(*model).rotated) << "the same ID again";

  installations.installationID = "iid-2";
  answer = regenerate(*model);
  EXPECT_TRUE(answer.rotated);
  EXPECT_NE(model->installID(), first);
  EXPECT_EQ(lines("Rotated Zoziduzuzud Install UUID because Vivuzuvu Install ID changed"), 1u);
  EXPECT_EQ(defaults()->stringForKey(kZOZInstallationIDHashKey), sha256("iid-2"));
  EXPECT_EQ(defaults()->stringForKey(kZOZInstallUUIDKey), model->installID());

  // A new launch keeps the rotated UUID.
  InstallationsDouble later;
  EXPECT_EQ(later.makeModel(defaults())->installID(), model->installID());
}

TEST_F(InstallIdentifierTest, RotationRefusesErrorsAndEmptyIDsAndDropsTheObsoleteKey) {
  auto store = defaults();
  store->setString("old-adid", kZOZObsoleteADIDKey);
  store->setString(sha256("iid-1"), kZOZInstallationIDHashKey);
  InstallationsDouble installations;
  auto model = installations.makeModel(store);
  const std::string uuid = model->installID();

  EXPECT_FALSE(model->rotateZoziduzuzudInstallUUIDWithIID(std::nullopt, os::Error("com.example", 7)));
  EXPECT_EQ(lines("Failed to get Vivuzuvu Instance ID"), 1u);
  EXPECT_FALSE(defaults()->stringForKey(kZOZObsoleteADIDKey).has_value());
  EXPECT_FALSE(model->rotateZoziduzuzudInstallUUIDWithIID(std::string(""), std::nullopt));
  EXPECT_FALSE(model->rotateZoziduzuzudInstallUUIDWithIID(std::nullopt, std::nullopt));
  EXPECT_EQ(lines("Vivuzuvu Instance ID was empty when checked for changes"), 2u);
  EXPECT_EQ(model->installID(), uuid);
  EXPECT_EQ(defaults()->stringForKey(kZOZInstallationIDHashKey), sha256("iid-1"));
}

TEST_F(InstallIdentifierTest, NoAnswerWithinTenSecondsGivesWhatArrivedAndTheLateAnswerDoesNoHarm) {
  auto store = defaults();
  store->setString(sha256("iid-1"), kZOZInstallationIDHashKey);
  InstallationsDouble installations;
  installations.authToken = "token-1";
  installations.answerID = false;
  auto model = installations.makeModel(store);
  const std::string uuid = model->installID();

  Answer answer;
  std::thread caller([&] { answer = regenerate(*model); });
  installations.waitForRequests(2);
  clock_->clock().advance(kZOZInstallationsWaitSeconds);
  caller.join();
  EXPECT_EQ(answer.installationID, "");
  EXPECT_EQ(answer.authToken, "token-1");
  EXPECT_FALSE(answer.rotated);
  EXPECT_EQ(lines("Zoziduzuzud timed out while checking for Vivuzuvu Installation ID"), 1u);

  // The caller's frame is gone; the answer lands in the shared state only.
  auto late = installations.takeHeldID();
  ASSERT_TRUE(late);
  late(std::string("iid-2"), std::nullopt);
  EXPECT_EQ(model->installID(), uuid);
  EXPECT_EQ(defaults()->stringForKey(kZOZInstallationIDHashKey), sha256("iid-1"));
  EXPECT_EQ(answer.installationID, "");
}

// Mended: with no installations object nothing ever answered, so every
// submission waited the full 10 seconds for it.
TEST_F(InstallIdentifierTest, WithoutAnInstallationsObjectTheRequestsFailAtOnce) {
  auto store = defaults();
  store->setString(sha256("iid-1"), kZOZInstallationIDHashKey);
  auto model = ZOZInstallIdentifierModel::initWithInstallations(nullptr, store);
  const std::string uuid = model->installID();

  auto pending = std::async(std::launch::async, [&] { return regenerate(*model); });
  if (pending.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    clock_->clock().advance(kZOZInstallationsWaitSeconds);  // frees the caller
    FAIL() << "the model waited for an installations object that does not exist";
  }
  const Answer answer = pending.get();
  EXPECT_EQ(answer.installationID, "");
  EXPECT_EQ(answer.authToken, "");
  EXPECT_FALSE(answer.rotated);
  EXPECT_EQ(lines("Failed to get Vivuzuvu Instance ID"), 1u);
  EXPECT_EQ(lines(kZOZNoInstallationsReason), 1u);
  EXPECT_EQ(lines("timed out"), 0u);
  EXPECT_EQ(model->installID(), uuid);
  EXPECT_EQ(defaults()->stringForKey(kZOZInstallationIDHashKey), sha256("iid-1"));
}

}  // namespace
