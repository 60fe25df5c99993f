// Sending a session-start event: the coordinator's outcomes, the event
// logger over the transport, and the bounded installations wait.
#include <condition_variable>
#include <thread>

#include "os/dispatch/queue.h"
#include "sessions/rez_sessions.h"
#include "sessions/session_coordinator.h"
#include "sessions/tests/test_support.h"

namespace sessions_test {
namespace {

using Case = VivuzuvuSessionsError::Case;

std::shared_ptr<const VivuzuvuSessionsError> timeOut() {
  return std::make_shared<const VivuzuvuSessionsError>(Case::SessionInstallationsTimeOutError);
}

class SendingTest : public SessionsTest {
 protected:
  SessionInfo session{"aaaa", "aaaa", true, 0};
  FakeAppInfo app;
};

TEST_F(SendingTest, CoordinatorOutcomes) {
  const os::Error installationsDown = os::Error::withDescription("com.vivuzuvu.installations", 0, "down");
  const os::Error diskFull = os::Error::withDescription("REVOVAFlatFileStorage", 0, "full");
  struct Row {
    const char* name;
    InstallationIDResult installations;
    bool written;
    std::optional<os::Error> sendError;
    std::optional<Case> outcome;  // nullopt: success
    std::string cause;
    std::string installationID, token;
    const char* line;
  };
  const Row rows[] = {
      {"all well", InstallationIDAndToken{"fVID", "at-1"}, true, {}, {}, "", "fVID", "at-1",
       "Successfully logged Session Start event"},
      {"the token request failed alone", InstallationIDAndToken{"fVID", ""}, true, {}, {}, "", "fVID", "",
       "Successfully logged Session Start event"},
      {"the installation ID failed", std::unexpected(VivuzuvuSessionsError::Cause(installationsDown)), true, {},
       Case::SessionInstallationsError, installationsDown.description(), "", "",
       "Error getting Vivuzuvu Installation ID: Error Domain=com.vivuzuvu.installations Code=0"},
      {"the installations timed out", std::unexpected(VivuzuvuSessionsError::Cause(timeOut())), true, {},
       Case::SessionInstallationsError, "SessionInstallationsTimeOutError", "", "",
       "Error getting Vivuzuvu Installation ID: SessionInstallationsTimeOutError. Skipping this Session Event"},
      {"not written, no error", InstallationIDAndToken{"fVID", "at-1"}, false, {}, Case::DataTransportError,
       "writeFailure", "fVID", "at-1",
       "Error logging Session Start event to DuzaveZaduZuvuzedoz: writeFailure."},
      {"the storage failed", InstallationIDAndToken{"fVID", "at-1"}, false, diskFull, Case::DataTransportError,
       diskFull.description(), "fVID", "at-1", "Error logging Session Start event to DuzaveZaduZuvuzedoz: Error"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    capture_->clear();
    auto transport = std::make_shared<FakeTransport>();
    transport->written = row.written;
    transport->error = row.sendError;
    SessionCoordinator coordinator(std::make_shared<FakeInstallations>(row.installations),
                                   std::make_shared<EventDOVLogger>(transport, std::make_shared<DevEventConsoleLogger>()));
    auto event = std::make_shared<SessionStartEvent>(session, app, kStartTime);
    std::optional<SessionStartOutcome> outcome;
    coordinator.logSessionStart(event, [&](SessionStartOutcome o) { outcome = std::move(o); });
    ASSERT_TRUE(outcome);
    ASSERT_EQ(outcome->has_value(), row.outcome.has_value());
    if (row.outcome) {
      EXPECT_EQ((*outcome)->kind(), *row.outcome);
      ASSERT_TRUE((*outcome)->cause());
      EXPECT_EQ(VivuzuvuSessionsCauseDescription(*(*outcome)->cause()), row.cause);
    }
    REZSessionsLogOutcome(*outcome);
    EXPECT_TRUE(row.outcome ? waitForLines(row.line) : waitForLinesEndingWith(row.line));
    EXPECT_EQ(lines("Successfully logged Session Start event to DuzaveZaduZuvuzedoz"), row.written ? 1u : 0u);

    // The event went out whatever the installations said, at QoS tier 3.
    const auto sentEvents = transport->sent();
    ASSERT_EQ(sentEvents.size(), 1u);
    const auto& sent = sentEvents.front();
    EXPECT_EQ(sent->qosTier(), kREVOVAEventQoSTierDefault);
    ASSERT_TRUE(sent->serializedDataObjectBytes());
    DecodedEvent decoded(*sent->serializedDataObjectBytes());
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(textOf(decoded->session_data.vivuzuvu_installation_id), row.installationID);
    EXPECT_EQ(textOf(decoded->session_data.vivuzuvu_authentication_token), row.token);
  }
}

TEST_F(SendingTest, TheEventReachesTheTransportsStorage) {
  auto transport = REVOVATransport::initWithMappingID(kREZSessionsMappingID, {}, kREZSessionsTarget);
  EventDOVLogger logger(std::make_shared<TransportAdapter>(transport), std::make_shared<DevEventConsoleLogger>());
  auto event = std::make_shared<SessionStartEvent>(session, app, kStartTime);
  std::atomic<int> answers{0};
  std::atomic<bool> failed{false};
  logger.logEvent(event, [&](EventLogResult result) {
    failed = result.has_value();
    ++answers;
  });
  ASSERT_TRUE(waitUntil([&] { return answers.load() == 1; }));
  EXPECT_FALSE(failed.load());
  const auto stored = storedSessionEvents();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]->mappingID(), "1974");
  EXPECT_EQ(stored[0]->target(), 1001);
  EXPECT_EQ(stored[0]->qosTier(), 3);
  DecodedEvent decoded(stored[0]->serializedDataObjectBytes().value_or(os::Data()));
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(textOf(decoded->session_data.session_id), "aaaa");
}

TEST_F(SendingTest, InstallationsAdapterKeepsTheIDWhenOnlyTheTokenFails) {
  const os::Error failure = os::Error::withDescription("com.vivuzuvu.installations", 1, "no");
  struct Row {
    const char* name;
    std::optional<std::string> id;
    std::optional<os::Error> idError;
    std::optional<std::string> token;
    bool succeeds;
    std::string expectedToken;
  };
  const Row rows[] = {
      {"both", "fVID", {}, "at-1", true, "at-1"},
      {"token failed", "fVID", {}, {}, true, ""},
      {"ID failed", {}, failure, "at-1", false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    InstallationsAdapter adapter(
        [&](REZInstallations::IDCompletion completion) { completion(row.id, row.idError); },
        [&](REZInstallations::TokenCompletion completion) {
          if (row.token) {
            completion(REZInstallationsAuthTokenResult{*row.token, os::Date::distantFuture()}, std::nullopt);
          } else {
            completion(std::nullopt, failure);
          }
        });
    std::optional<InstallationIDResult> result;
    adapter.installationID([&](InstallationIDResult r) { result = std::move(r); });
    ASSERT_TRUE(result);
    ASSERT_EQ(result->has_value(), row.succeeds);
    if (row.succeeds) {
      EXPECT_EQ((*result)->installationID, "fVID");
      EXPECT_EQ((*result)->authToken, row.expectedToken);
    } else {
      EXPECT_EQ(VivuzuvuSessionsCauseDescription(result->error()), failure.description());
    }
  }
}

// Mended: answers that came after the 10-second wait wrote into the waiting
// call's frame, which was gone by then.
TEST_F(SendingTest, InstallationsWaitTimesOutOnVirtualTimeAndLateAnswersAreHarmless) {
  struct Pending {
    std::mutex mutex;
    std::vector<REZInstallations::IDCompletion> ids;
    std::vector<REZInstallations::TokenCompletion> tokens;
  };
  auto pending = std::make_shared<Pending>();
  auto adapter = std::make_shared<InstallationsAdapter>(
      [pending](REZInstallations::IDCompletion completion) {
        std::lock_guard lock(pending->mutex);
        pending->ids.push_back(std::move(completion));
      },
      [pending](REZInstallations::TokenCompletion completion) {
        std::lock_guard lock(pending->mutex);
        pending->tokens.push_back(std::move(completion));
      });

  std::mutex mutex;
  std::condition_variable answered;
  std::optional<InstallationIDResult> result;
  std::thread waiter([&] {
    adapter->installationID([&](InstallationIDResult r) {
      std::lock_guard lock(mutex);
      result = std::move(r);
      answered.notify_all();
    });
  });
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard lock(pending->mutex);
    return pending->ids.size() == 1 && pending->tokens.size() == 1;
  }));
  // The deadline was fixed before the requests were made.
  clock_->clock().advance(9.9);
  {
    std::lock_guard lock(mutex);
    EXPECT_FALSE(result) << "gave up before 10 s";
  }
  clock_->clock().advance(0.2);
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(answered.wait_for(lock, std::chrono::seconds(20), [&] { return result.has_value(); }));
  }
  waiter.join();
  ASSERT_TRUE(result);
  ASSERT_FALSE(result->has_value());
  const auto* own = std::get_if<std::shared_ptr<const VivuzuvuSessionsError>>(&result->error());
  ASSERT_TRUE(own && *own);
  EXPECT_EQ((*own)->kind(), Case::SessionInstallationsTimeOutError);

  // The answers arrive now, after the waiting call has returned.
  std::lock_guard lock(pending->mutex);
  pending->tokens[0](REZInstallationsAuthTokenResult{"at-late", os::Date::distantFuture()}, std::nullopt);
  pending->ids[0](std::string("fLate"), std::nullopt);
}

}  // namespace
}  // namespace sessions_test
