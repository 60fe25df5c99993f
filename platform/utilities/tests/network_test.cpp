#include "platform/utilities/network.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "os/foundation/clock.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/gzip.h"
#include "platform/utilities/logger.h"

namespace {

using os::testing::ScriptedResponse;
using os::testing::TestHTTPServer;

// What a request's handler received. The handler runs on the test's queue
// while the main thread polls `calls`; the other fields are read after the
// queue has been synced.
struct Reply {
  std::atomic<int> calls = 0;
  bool onExpectedQueue = false;
  std::optional<os::HTTPURLResponse> response;
  std::optional<os::Data> data;
  std::optional<os::Error> error;
};

// The system clock with its wall time moved; uptime is left alone.
class ShiftedClock : public os::Clock {
 public:
  explicit ShiftedClock(double shift) : shift_(shift) {}
  double wallTime() const override { return os::SystemClock::shared()->wallTime() + shift_; }
  int64_t uptimeNanos() const override { return os::SystemClock::shared()->uptimeNanos(); }

 private:
  double shift_;
};

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAZLoggerTEST_reset();
    network = DAZNetwork::initWithReachabilityHost("127.0.0.1");
    ASSERT_TRUE(network);
  }
  void TearDown() override {
    os::URLSessionTEST_setTaskCreationFails(false);
    os::Clock::setCurrent(nullptr);
    DAZLoggerTEST_flush();
    DAZLoggerTEST_reset();
  }

  os::URL url(const std::string& path) { return *os::URL::URLWithString(server.URLForPath(path)); }

  DAZNetworkCompletionHandler handlerFor(Reply& reply) {
    return [&reply, queue = queue](std::optional<os::HTTPURLResponse> response, std::optional<os::Data> data,
                                   std::optional<os::Error> error) {
      ++reply.calls;
      reply.onExpectedQueue = queue->isCurrent();
      reply.response = std::move(response);
      reply.data = std::move(data);
      reply.error = std::move(error);
    };
  }
  // Runs the main queue until the handler was called, then a little longer
  // so that a second call would show.
  bool waitFor(Reply& reply) {
    bool done = os::testing::runMainUntil([&] { return reply.calls > 0; });
    queue->sync([] {});
    os::testing::runMainUntil([] { return false; }, 0.05);
    queue->sync([] {});
    return done;
  }
  std::string networkDirectory() {
    return os::Sandbox::current()->applicationSupportDirectory() + "/DAZ/Network/DAZNetworkTemporaryDirectory";
  }

  os::TemporarySandbox sandbox;
  TestHTTPServer server;
  std::shared_ptr<DAZNetwork> network;
  std::shared_ptr<os::DispatchQueue> queue = os::DispatchQueue::serial("network-test");
};

TEST_F(NetworkTest, PostSendsGzippedBodyWithItsHeaders) {
  server.setResponse("/upload", ScriptedResponse::ok("accepted"));
  const os::Data payload = os::Data::fromString(std::string(2000, 'a') + "measurement batch");
  const auto gzipped = DAZGzip::daz_dataByGzippingData(payload);
  ASSERT_TRUE(gzipped && *gzipped);

  Reply reply;
  auto id = network->postURL(url("/upload"), {{"Content-Type", "text/json"}, {"X-Custom", "1"}}, payload, queue,
                             false, handlerFor(reply));
  ASSERT_TRUE(id);
  EXPECT_TRUE(id->starts_with("com.daz.network.background-upload-"));
  EXPECT_TRUE(network->hasUploadInProgress());
  ASSERT_TRUE(waitFor(reply));
  EXPECT_EQ(reply.calls.load(), 1);
  EXPECT_TRUE(reply.onExpectedQueue);
  EXPECT_FALSE(reply.error);
  EXPECT_EQ(reply.response->statusCode(), 200);
  EXPECT_EQ(reply.data->toString(), "accepted");
  EXPECT_FALSE(network->hasUploadInProgress());

  // An empty payload goes out as an empty gzip body.
  Reply empty;
  ASSERT_TRUE(network->postURL(url("/upload"), os::Data(), queue, false, handlerFor(empty)));
  ASSERT_TRUE(waitFor(empty));

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].header("Content-Encoding"), "gzip");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].header("X-Custom"), "1");
  EXPECT_EQ(requests[0].header("Content-Length"), std::to_string((*gzipped)->size()));
  EXPECT_EQ(requests[0].body, payload.toString());  // the server expands the gzip body
  EXPECT_EQ(requests[1].header("Content-Length"), "0");
  EXPECT_EQ(requests[1].header("Content-Encoding"), "gzip");
  EXPECT_EQ(requests[1].body, "");
}

TEST_F(NetworkTest, EmptyURLFailsOnTheCallersQueue) {
  Reply post;
  EXPECT_FALSE(network->postURL(os::URL(), os::Data::fromString("x"), queue, false, handlerFor(post)));
  Reply get;
  EXPECT_FALSE(network->getURL(os::URL(), {}, queue, false, handlerFor(get)));
  ASSERT_TRUE(waitFor(post));
  ASSERT_TRUE(waitFor(get));
  for (Reply* reply : {&post, &get}) {
    EXPECT_EQ(reply->calls.load(), 1);
    EXPECT_TRUE(reply->onExpectedQueue);
    ASSERT_TRUE(reply->error);
    EXPECT_EQ(reply->error->domain(), kDAZNetworkErrorDomain);
    EXPECT_EQ(reply->error->code(), 1);
    EXPECT_EQ(reply->error->userInfo().at(kDAZNetworkErrorContext), os::Value("Failed to create network request"));
    EXPECT_FALSE(reply->response);
  }
  EXPECT_EQ(server.requestCount(), 0u);
}

TEST_F(NetworkTest, GetKeepsCallerHeadersAndReturnsTheBody) {
  server.setResponse("/config", ScriptedResponse::ok("config-bytes"));
  for (bool background : {false, true}) {
    Reply reply;
    ASSERT_TRUE(network->getURL(url("/config"), {{"Content-Type", "text/json"}}, queue, background,
                                handlerFor(reply)));
    ASSERT_TRUE(waitFor(reply));
    EXPECT_FALSE(reply.error);
    EXPECT_EQ(reply.data->toString(), "config-bytes");
  }
  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.header("Content-Type"), "text/json");
    EXPECT_FALSE(request.header("Content-Encoding"));
  }
}

TEST_F(NetworkTest, BackgroundPostUploadsFromATemporaryFileAndRemovesIt) {
  ScriptedResponse slow = ScriptedResponse::ok("stored");
  slow.delaySeconds = 0.3;
  server.setResponse("/upload", slow);

  Reply reply;
  auto id = network->postURL(url("/upload"), os::Data::fromString("background payload"), queue, true,
                             handlerFor(reply));
  ASSERT_TRUE(id);
  const std::string file = networkDirectory() + "/DAZUpload_temp_" + *id;
  auto& files = os::FileManager::defaultManager();
  EXPECT_TRUE(files.fileExistsAtPath(file));
  EXPECT_EQ(files.resourceValue(file, os::kURLIsExcludedFromBackupKey).value_or(false), os::Value(true));

  ASSERT_TRUE(waitFor(reply));
  EXPECT_FALSE(reply.error);
  EXPECT_EQ(reply.data->toString(), "stored");
  EXPECT_FALSE(files.fileExistsAtPath(file));
  EXPECT_EQ(server.requests().at(0).body, "background payload");
}

TEST_F(NetworkTest, StaleTemporaryFilesAreSwept) {
  server.setResponse("/upload", ScriptedResponse::ok());
  auto& files = os::FileManager::defaultManager();
  ASSERT_TRUE(files.createDirectoryAtPath(networkDirectory(), true));
  const std::string old = networkDirectory() + "/DAZUpload_temp_old";
  ASSERT_TRUE(files.createFileAtPath(old, os::Data::fromString("x")));

  // Ten seconds later the file is young and stays.
  os::Clock::setCurrent(std::make_shared<ShiftedClock>(10));
  Reply first;
  network->postURL(url("/upload"), os::Data::fromString("1"), queue, false, handlerFor(first));
  ASSERT_TRUE(waitFor(first));
  EXPECT_TRUE(files.fileExistsAtPath(old));

  // An hour and a bit later it is stale.
  os::Clock::setCurrent(std::make_shared<ShiftedClock>(3601));
  Reply second;
  network->postURL(url("/upload"), os::Data::fromString("2"), queue, false, handlerFor(second));
  ASSERT_TRUE(waitFor(second));
  EXPECT_FALSE(files.fileExistsAtPath(old));
}

TEST_F(NetworkTest, RedirectsOf301AreNotFollowedAndOf303Are) {
  server.setResponse("/moved", ScriptedResponse::redirect(301, "/final", "moved"));
  server.setResponse("/see-other", ScriptedResponse::redirect(303, "/final"));
  server.setResponse("/final", ScriptedResponse::ok("final"));

  Reply moved;
  network->postURL(url("/moved"), os::Data::fromString("p"), queue, false, handlerFor(moved));
  ASSERT_TRUE(waitFor(moved));
  EXPECT_FALSE(moved.error);
  EXPECT_EQ(moved.response->statusCode(), 301);
  EXPECT_EQ(moved.data->toString(), "moved");
  EXPECT_EQ(server.requestCount(), 1u);

  Reply seeOther;
  network->postURL(url("/see-other"), os::Data::fromString("p"), queue, false, handlerFor(seeOther));
  ASSERT_TRUE(waitFor(seeOther));
  EXPECT_EQ(seeOther.response->statusCode(), 200);
  EXPECT_EQ(seeOther.data->toString(), "final");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2].path, "/final");
  EXPECT_EQ(requests[2].method, "GET");
}

TEST_F(NetworkTest, HangingServerIsCutOffAtTheTimeout) {
  server.setResponse("/hang", ScriptedResponse::hanging());
  network->setTimeoutInterval(1);
  Reply reply;
  const auto start = std::chrono::steady_clock::now();
  network->postURL(url("/hang"), os::Data::fromString("p"), queue, false, handlerFor(reply));
  ASSERT_TRUE(waitFor(reply));
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(reply.calls.load(), 1);
  ASSERT_TRUE(reply.error);
  EXPECT_EQ(reply.error->domain(), os::kURLErrorDomain);
  EXPECT_EQ(reply.error->code(), os::kURLErrorTimedOut);
  EXPECT_LT(elapsed, kDAZNetworkDefaultTimeoutInterval / 2);  // the set interval, not the default
}

TEST_F(NetworkTest, BodyThatBreaksOffReportsTheError) {
  // Mended: a task with a response and a transport error used to report success.
  ScriptedResponse broken = ScriptedResponse::ok(std::string(4000, 'z'));
  broken.truncateBody = true;
  server.setResponse("/broken", broken);
  Reply reply;
  network->postURL(url("/broken"), os::Data::fromString("p"), queue, false, handlerFor(reply));
  ASSERT_TRUE(waitFor(reply));
  ASSERT_TRUE(reply.error);
  EXPECT_EQ(reply.error->code(), os::kURLErrorNetworkConnectionLost);
  ASSERT_TRUE(reply.response);
  EXPECT_EQ(reply.response->statusCode(), 200);
}

TEST_F(NetworkTest, RequestThatCannotStartCallsItsHandlerOnce) {
  // Mended: the handler got error 2 from the session and then error 4 as well.
  os::URLSessionTEST_setTaskCreationFails(true);
  Reply post;
  EXPECT_FALSE(network->postURL(url("/x"), os::Data::fromString("p"), queue, true, handlerFor(post)));
  Reply get;
  EXPECT_FALSE(network->getURL(url("/x"), {}, queue, false, handlerFor(get)));
  ASSERT_TRUE(waitFor(post));
  ASSERT_TRUE(waitFor(get));
  for (Reply* reply : {&post, &get}) {
    EXPECT_EQ(reply->calls.load(), 1);
    ASSERT_TRUE(reply->error);
    EXPECT_EQ(reply->error->code(), 2);
    EXPECT_EQ(reply->error->userInfo().at(kDAZNetworkErrorContext), os::Value("Cannot create network session"));
  }
  EXPECT_FALSE(network->hasUploadInProgress());
  auto leftovers = os::FileManager::defaultManager().contentsOfDirectoryAtPath(networkDirectory());
  EXPECT_TRUE(!leftovers || leftovers->empty());
}

TEST_F(NetworkTest, BackgroundEventsKeepTheLastSystemHandlerUntilTheSessionFinishes) {
  int other = 0;
  DAZNetwork::handleEventsForBackgroundURLSessionID("com.other.session", [&] { ++other; });
  EXPECT_FALSE(DAZNetworkURLSession::sessionFromFetcherMapForSessionID("com.other.session"));

  const std::string id = "com.daz.network.background-upload-TEST";
  int first = 0, second = 0;
  DAZNetwork::handleEventsForBackgroundURLSessionID(id, [&] { ++first; });
  DAZNetwork::handleEventsForBackgroundURLSessionID(id, [&] { ++second; });
  auto fetcher = DAZNetworkURLSession::sessionFromFetcherMapForSessionID(id);
  ASSERT_TRUE(fetcher);

  auto session = os::URLSession::sessionWithConfiguration(
      os::URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(id));
  fetcher->URLSessionDidFinishEventsForBackgroundURLSession(*session);
  fetcher->URLSessionDidFinishEventsForBackgroundURLSession(*session);
  os::testing::runMainUntil([&] { return second > 0; });
  os::testing::runMainUntil([] { return false; }, 0.05);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(other, 0);
  DAZNetworkURLSession::setSessionInFetcherMap(nullptr, id);
}

class RecordingLogger : public DAZNetworkLoggerDelegate {
 public:
  std::vector<std::pair<long, std::string>> lines;
  void DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel, long code, const std::string& message,
                                                         const std::vector<os::Value>&) override {
    lines.emplace_back(code, message);
  }
  void DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel, long code, const std::string& message,
                                                        const os::Value&) override {
    lines.emplace_back(code, message);
  }
  void DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel, long code, const std::string& message) override {
    lines.emplace_back(code, message);
  }
};

TEST_F(NetworkTest, LogsGoToTheDelegateOrToConsoleAndLogger) {
  DAZSetLoggerLevel(DAZLoggerLevel::Debug);
  os::LogCapture capture;
  network->DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel::Debug, 900001, "hidden");
  network->DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel::Info, 900001, "shown",
                                                             {os::Value("a"), os::Value()});
  DAZLoggerTEST_flush();
  int console = 0, logger = 0;
  for (const auto& record : capture.records()) {
    EXPECT_EQ(record.message.find("hidden"), std::string::npos);
    if (record.message.find("<Devuvo/Utilities/Network/INFO> shown: a, (nil)") == std::string::npos) continue;
    if (record.subsystem == kDAZLoggerSubsystem) {
      ++logger;
      EXPECT_EQ(record.category, "[DAZNetwork]");
      EXPECT_NE(record.message.find("I-NET900001"), std::string::npos);
    } else {
      ++console;
    }
  }
  EXPECT_EQ(console, 1);
  EXPECT_EQ(logger, 1);

  auto delegate = std::make_shared<RecordingLogger>();
  network->setLoggerDelegate(delegate);
  server.setResponse("/x", ScriptedResponse::ok());
  Reply reply;
  network->getURL(url("/x"), {}, queue, false, handlerFor(reply));
  ASSERT_TRUE(waitFor(reply));
  ASSERT_FALSE(delegate->lines.empty());
  EXPECT_EQ(delegate->lines[0], (std::pair<long, std::string>{900001, "Downloading data. Host"}));
}

// Holds the thread that logs "Downloading data" (the request's caller, its
// task started) until released.
class HoldingLogger : public DAZNetworkLoggerDelegate {
 public:
  void release() { released_.set_value(); }
  void DAZNetwork_logWithLevelMessageCodeMessageContexts(DAZNetworkLogLevel, long, const std::string&,
                                                         const std::vector<os::Value>&) override {}
  void DAZNetwork_logWithLevelMessageCodeMessageContext(DAZNetworkLogLevel, long code, const std::string&,
                                                        const os::Value&) override {
    if (code == kDAZNetworkMessageCodeNetwork001) (void)releasedFuture_.wait_for(std::chrono::seconds(30));
  }
  void DAZNetwork_logWithLevelMessageCodeMessage(DAZNetworkLogLevel, long, const std::string&) override {}

 private:
  std::promise<void> released_;
  std::shared_future<void> releasedFuture_ = released_.get_future().share();
};

// A request entered the in-flight table only after its task had started: one
// that finished before its caller went on was removed before it was added, and
// hasUploadInProgress stayed true for good.
TEST_F(NetworkTest, RequestThatFinishesBeforeItsCallerGoesOnIsNotLeftInFlight) {
  server.setResponse("/fast", ScriptedResponse::ok());
  auto logger = std::make_shared<HoldingLogger>();
  network->setLoggerDelegate(logger);
  Reply reply;
  std::thread caller([&] { network->getURL(url("/fast"), {}, queue, false, handlerFor(reply)); });
  const bool finished = waitFor(reply);  // while the caller is held after starting the task
  logger->release();
  caller.join();
  ASSERT_TRUE(finished);
  EXPECT_EQ(reply.calls.load(), 1);
  EXPECT_FALSE(network->hasUploadInProgress());
}

TEST_F(NetworkTest, ReachabilityChangesReachTheDelegate) {
  struct Delegate : DAZNetworkReachabilityDelegate {
    int changes = 0;
    void reachabilityDidChange() override { ++changes; }
  };
  auto delegate = std::make_shared<Delegate>();
  network->setReachabilityDelegate(delegate);
  auto& checker = *network->reachabilityChecker();
  network->reachability(checker, DAZReachabilityStatus::ViaCellular);
  EXPECT_TRUE(network->isNetworkConnected());
  network->reachability(checker, DAZReachabilityStatus::NotReachable);
  EXPECT_FALSE(network->isNetworkConnected());
  EXPECT_EQ(delegate->changes, 2);
  EXPECT_FALSE(DAZNetwork::initWithReachabilityHost(""));
}

}  // namespace
