#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_async_operation.h"
#include "crash/reporting/zoz_network_client.h"
#include "crash/reporting/zoz_url_builder.h"
#include "os/testing/test_http_server.h"

namespace {

using os::testing::ScriptedResponse;
using reportingtest::ReportingTest;

ScriptedResponse json(int status, std::string contentType = "application/json; charset=utf-8") {
  ScriptedResponse response = ScriptedResponse::withStatus(status, "{}");
  response.headers.emplace_back("Content-Type", std::move(contentType));
  return response;
}

// The outcome of one request, filled by its completion on the session queue.
struct Outcome {
  std::mutex mutex;
  bool done = false;                     // guarded by mutex
  std::optional<os::Error> error;        // guarded by mutex
  std::optional<os::HTTPURLResponse> response;  // guarded by mutex
  bool isDone() {
    std::lock_guard lock(mutex);
    return done;
  }
};

class NetworkClientTest : public ReportingTest {
 protected:
  os::URLRequest request(const std::string& path) const {
    os::URLRequest request(*os::URL::URLWithString(server_.URLForPath(path)));
    request.setValue("application/json", "Accept");
    request.setValue("utf-8", "Accept-Charset");
    return request;
  }
  std::shared_ptr<Outcome> start(const os::URLRequest& request, int limit, int tries = 0) {
    auto outcome = std::make_shared<Outcome>();
    client_->startDataTaskWithRequest(request, limit, tries,
                                      [outcome](std::optional<os::Data>, std::optional<os::HTTPURLResponse> response,
                                                std::optional<os::Error> error) {
                                        std::lock_guard lock(outcome->mutex);
                                        outcome->done = true;
                                        outcome->error = error;
                                        outcome->response = response;
                                      });
    return outcome;
  }
  // Moves virtual time on; the clock first waits for the requests in flight.
  void advance(double seconds) { clock_->clock().advance(seconds); }

  os::testing::TestHTTPServer server_;
  std::shared_ptr<ZOZBaseNetworkClient> client_ = ZOZBaseNetworkClient::init();
};

TEST_F(NetworkClientTest, ServerErrorsAreRetriedAfterTheDelayUntilTheLimit) {
  server_.setResponse("/settings", json(503));
  auto outcome = start(request("/settings"), 1);
  advance(1.7);  // below 0.9 x 2 s
  EXPECT_EQ(server_.requestCount(), 1u);
  EXPECT_FALSE(outcome->isDone());
  advance(0.6);  // past 1.1 x 2 s
  EXPECT_EQ(server_.requestCount(), 2u);
  ASSERT_TRUE(outcome->isDone());
  ASSERT_TRUE(outcome->error);
  EXPECT_EQ(outcome->error->domain(), kZOZNetworkErrorDomain);
  EXPECT_EQ(outcome->error->code(), kZOZNetworkErrorRetryLimit);
  EXPECT_EQ(outcome->error->userInfo().at(kZOZNetworkErrorRetryLimitKey).int64Value(), 1);
}

TEST_F(NetworkClientTest, RetryAfterIsTheBaseRaisedToTheTries) {
  ScriptedResponse busy = json(503);
  busy.headers.emplace_back("Retry-After", "5");
  server_.setResponses("/settings", {busy, json(200)});
  auto outcome = start(request("/settings"), 3, 2);
  advance(22.4);  // below 0.9 x 25 s
  EXPECT_EQ(server_.requestCount(), 1u);
  advance(5.2);  // past 1.1 x 25 s
  EXPECT_EQ(server_.requestCount(), 2u);
  ASSERT_TRUE(outcome->isDone());
  EXPECT_FALSE(outcome->error) << outcome->error->description();
}

TEST_F(NetworkClientTest, AnswersThatAreNotRetried) {
  struct Case {
    const char* name;
    ScriptedResponse response;
    int64_t code;  // 0: success
    int type;
  };
  const Case cases[] = {
      {"404", json(404), kZOZNetworkErrorClientError, 2},
      {"other content type", json(200, "text/html; charset=utf-8"), kZOZNetworkErrorNonSuccess, 1},
      {"no blank before charset", json(200, "application/json;charset=utf-8"), kZOZNetworkErrorNonSuccess, 1},
      {"other charset", json(200, "application/json; charset=latin1"), kZOZNetworkErrorNonSuccess, 1},
      {"203", json(203), kZOZNetworkErrorNonSuccess, 1},
      {"200", json(200, "APPLICATION/JSON; charset=UTF-8"), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = std::string("/") + std::to_string(&c - cases);
    server_.setResponse(path, c.response);
    const size_t before = server_.requestCount();
    auto outcome = start(request(path), 1);
    advance(30);
    EXPECT_EQ(server_.requestCount(), before + 1);
    ASSERT_TRUE(outcome->isDone());
    if (c.code == 0) {
      EXPECT_FALSE(outcome->error);
      continue;
    }
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->code(), c.code);
    EXPECT_EQ(outcome->error->userInfo().at(kZOZNetworkErrorTypeKey).int64Value(), c.type);
    EXPECT_EQ(outcome->error->userInfo().at(kZOZNetworkErrorStatusCodeKey).int64Value(),
              c.response.status);
  }
}

TEST_F(NetworkClientTest, ResponseTypesAndRetryableTransportErrors) {
  auto typeOf = [](std::optional<int> status) {
    std::optional<os::HTTPURLResponse> response;
    if (status) response.emplace(os::URL(), *status, os::HTTPHeaderFields());
    int type = -1;
    ZOZNetworkResponseHandler::clientResponseType(response, [&](ZOZNetworkClientResponseType t, int) {
      type = static_cast<int>(t);
    });
    return type;
  };
  const std::pair<std::optional<int>, int> statuses[] = {
      {std::nullopt, 1}, {200, 0}, {204, 0}, {304, 0}, {203, 1}, {301, 1}, {400, 2}, {404, 2}, {431, 2},
      {420, 4},          {429, 4}, {408, 3}, {500, 3}, {599, 3}, {600, 1}, {418, 1}};
  for (const auto& [status, type] : statuses) EXPECT_EQ(typeOf(status), type) << status.value_or(0);

  auto retryable = [](const char* domain, int64_t code) {
    return ZOZNetworkResponseHandler::retryableURLError(os::Error(domain, code));
  };
  EXPECT_TRUE(retryable(os::kURLErrorDomain, os::kURLErrorTimedOut));
  EXPECT_TRUE(retryable(os::kURLErrorDomain, os::kURLErrorCannotConnectToHost));
  EXPECT_FALSE(retryable(os::kURLErrorDomain, os::kURLErrorBadURL));
  EXPECT_FALSE(retryable(os::kURLErrorDomain, -1203));
  EXPECT_FALSE(retryable(os::kURLErrorDomain, -995));
  EXPECT_FALSE(retryable(os::kPOSIXErrorDomain, os::kURLErrorTimedOut));
}

// Mended: query values kept "&" raw, so a value holding "&" or "=" ended its
// parameter and began another.
TEST_F(NetworkClientTest, URLBuilderEscapesQueryValuesAndLeavesOutMissingOnes) {
  auto builder = ZOZURLBuilder::URLWithBase("http://127.0.0.1:8080");
  builder.appendComponent("/spi/v2/platforms/");
  builder.escapeAndAppendComponent("ios");
  builder.appendComponent("");  // refused
  builder.appendValue(std::nullopt, "display_version");
  builder.appendValue(os::Value("a&b=c+d e"), "build_version");
  builder.appendValue(os::Value(4), "source");
  EXPECT_EQ(builder.URLString(), "http://127.0.0.1:8080/spi/v2/platforms/ios?build_version=a%26b%3Dc%2Bd%20e&source=4");
  ASSERT_TRUE(builder.URL());
  EXPECT_EQ(builder.URL()->query(), "build_version=a%26b%3Dc%2Bd%20e&source=4");
  EXPECT_EQ(lines("URLBuilder parameter component must not be empty"), 1u);
}

// An asynchronous operation that finishes later, with or without an error.
class LaterOperation : public ZOZBaseAsyncOperation {
 public:
  explicit LaterOperation(std::optional<os::Error> error) : error_(std::move(error)) {}
  void main() override {
    auto self = std::static_pointer_cast<LaterOperation>(shared_from_this());
    os::DispatchQueue::global()->async([self] { self->finishWithError(self->error_); });
  }

 private:
  std::optional<os::Error> error_;
};

TEST_F(NetworkClientTest, CompoundOperationFinishesOnceEveryMemberHas) {
  struct Case {
    const char* name;
    std::vector<std::optional<os::Error>> members;
    bool cancelFirst;
    std::optional<int64_t> code;
  };
  const os::Error failure("test", 7);
  for (const Case& c : {Case{"all succeed", {std::nullopt, std::nullopt}, false, std::nullopt},
                        Case{"one fails", {std::nullopt, failure}, false, kZOZCompoundOperationErrorCodeSuboperationFailed},
                        Case{"cancelled before it started", {std::nullopt, std::nullopt}, true, std::nullopt}}) {
    SCOPED_TRACE(c.name);
    std::vector<std::shared_ptr<ZOZBaseAsyncOperation>> members;
    for (const auto& error : c.members) members.push_back(std::make_shared<LaterOperation>(error));
    auto compound = ZOZCompoundOperation::compoundOperationWithOperations(members);
    std::mutex mutex;
    std::optional<std::optional<os::Error>> outcome;
    compound->setAsyncCompletion([&](const std::optional<os::Error>& error) {
      std::lock_guard lock(mutex);
      outcome = error;
    });
    if (c.cancelFirst) compound->cancel();
    auto queue = os::OperationQueue::create();
    queue->addOperation(compound);
    ASSERT_TRUE(os::dispatch::drainUntilIdle());
    compound->waitUntilFinished();
    if (c.cancelFirst) {
      // Every member finishes as cancelled; the compound with them.
      for (const auto& member : members) EXPECT_TRUE(member->isCancelled() && member->isFinished());
      continue;
    }
    std::lock_guard lock(mutex);
    ASSERT_TRUE(outcome.has_value());
    if (!c.code) {
      EXPECT_FALSE(outcome->has_value());
      EXPECT_EQ(compound->completedOperations(), members.size());
    } else {
      ASSERT_TRUE(outcome->has_value());
      EXPECT_EQ((*outcome)->domain(), kZOZCompoundOperationErrorDomain);
      EXPECT_EQ((*outcome)->code(), *c.code);
    }
  }
}

}  // namespace
