#include "os/net/url_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"
#include "os/testing/test_http_server.h"

namespace os {
namespace {

using testing::ScriptedResponse;
using testing::TestHTTPServer;

// What a task delivered, filled from the delegate queue.
struct Outcome {
  std::mutex mutex;
  std::condition_variable cv;
  int calls = 0;
  std::optional<Data> data;
  std::optional<HTTPURLResponse> response;
  std::optional<Error> error;
  std::optional<std::string> downloaded;  // the file's contents while it existed
  std::string downloadPath;

  URLSessionDataCompletionHandler dataHandler() {
    return [this](std::optional<Data> d, std::optional<HTTPURLResponse> r, std::optional<Error> e) {
      std::lock_guard lock(mutex);
      ++calls;
      data = std::move(d);
      response = std::move(r);
      error = std::move(e);
      cv.notify_all();
    };
  }
  URLSessionDownloadCompletionHandler downloadHandler() {
    return [this](std::optional<URL> location, std::optional<HTTPURLResponse> r, std::optional<Error> e) {
      std::lock_guard lock(mutex);
      ++calls;
      if (location) {
        downloadPath = location->path();
        downloaded = FileManager::defaultManager().contentsAtPath(downloadPath)->toString();
      }
      response = std::move(r);
      error = std::move(e);
      cv.notify_all();
    };
  }
  bool wait(double seconds = 30) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return calls > 0; });
  }
  int64_t errorCode() {
    std::lock_guard lock(mutex);
    return error ? error->code() : 0;
  }
};

class RecordingDelegate : public URLSessionDelegate {
 public:
  std::mutex mutex;
  std::condition_variable cv;
  std::string received;
  std::vector<int> redirectStatuses;
  bool followRedirects = true;
  bool completed = false;
  std::optional<Error> error;
  std::optional<std::string> downloaded;
  std::string downloadPath;
  bool invalidated = false;

  void URLSessionDataTaskDidReceiveData(URLSession&, URLSessionDataTask&, const Data& data) override {
    std::lock_guard lock(mutex);
    received += data.toString();
  }
  void URLSessionTaskWillPerformHTTPRedirectionNewRequestCompletionHandler(
      URLSession&, URLSessionTask&, const HTTPURLResponse& response, const URLRequest& request,
      std::function<void(std::optional<URLRequest>)> completionHandler) override {
    {
      std::lock_guard lock(mutex);
      redirectStatuses.push_back(response.statusCode());
    }
    completionHandler(followRedirects ? std::optional<URLRequest>(request) : std::nullopt);
  }
  void URLSessionDownloadTaskDidFinishDownloadingToURL(URLSession&, URLSessionDownloadTask&,
                                                       const URL& location) override {
    std::lock_guard lock(mutex);
    downloadPath = location.path();
    downloaded = FileManager::defaultManager().contentsAtPath(downloadPath)->toString();
  }
  void URLSessionTaskDidCompleteWithError(URLSession&, URLSessionTask&, const std::optional<Error>& e) override {
    std::lock_guard lock(mutex);
    completed = true;
    error = e;
    cv.notify_all();
  }
  void URLSessionDidBecomeInvalidWithError(URLSession&, const std::optional<Error>&) override {
    std::lock_guard lock(mutex);
    invalidated = true;
    cv.notify_all();
  }
  template <class P>
  bool waitFor(P predicate, double seconds = 30) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds), predicate);
  }
};

class URLSessionTest : public ::testing::Test {
 protected:
  URLRequest request(const std::string& path) { return URLRequest(*URL::URLWithString(server.URLForPath(path))); }
  std::shared_ptr<URLSession> sessionWith(std::shared_ptr<URLSessionDelegate> delegate,
                                          URLSessionConfiguration config =
                                              URLSessionConfiguration::defaultSessionConfiguration()) {
    return URLSession::sessionWithConfiguration(std::move(config), std::move(delegate), queue);
  }
  // Waits for the delegate queue's current work to end.
  void settle() { queue->sync([] {}); }

  TemporarySandbox sandbox;
  TestHTTPServer server;
  std::shared_ptr<DispatchQueue> queue = DispatchQueue::serial("url-session-test");
};

TEST_F(URLSessionTest, DataTaskSendsHeadersAndReturnsTheAnswer) {
  ScriptedResponse answer = ScriptedResponse::withStatus(201, "hello");
  answer.headers = {{"X-Reply", "a"}, {"Content-Type", "text/x-test"}};
  server.setResponse("/data", answer);

  auto config = URLSessionConfiguration::defaultSessionConfiguration();
  HTTPHeaderFields extra;
  extra.setValue("from-config", "X-Config");
  extra.setValue("config", "X-Both");
  config.setHTTPAdditionalHeaders(extra);
  auto session = sessionWith(nullptr, config);
  URLRequest req = request("/data?k=v");
  req.setValue("from-request", "x-both");

  Outcome outcome;
  auto task = session->dataTaskWithRequest(req, outcome.dataHandler());
  ASSERT_TRUE(task);
  EXPECT_EQ(task->state(), URLSessionTask::State::Suspended);
  task->resume();
  ASSERT_TRUE(outcome.wait());

  EXPECT_FALSE(outcome.error);
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.response->statusCode(), 201);
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("x-reply"), "a");
  EXPECT_EQ(outcome.response->valueForHTTPHeaderField("Content-Type"), "text/x-test");
  EXPECT_EQ(outcome.data->toString(), "hello");
  EXPECT_EQ(task->state(), URLSessionTask::State::Completed);

  auto recorded = server.requests();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0].method, "GET");
  EXPECT_EQ(recorded[0].path, "/data");
  EXPECT_EQ(recorded[0].query, "k=v");
  EXPECT_EQ(recorded[0].header("X-Config"), "from-config");
  EXPECT_EQ(recorded[0].header("X-Both"), "from-request");
}

TEST_F(URLSessionTest, UploadsFromDataAndFromFile) {
  server.setResponse("/up", ScriptedResponse::ok("done"));
  auto session = sessionWith(nullptr);
  URLRequest req = request("/up");
  req.setHTTPMethod("POST");

  Outcome fromData;
  session->uploadTaskWithRequest(req, Data::fromString("payload-1"), fromData.dataHandler())->resume();
  ASSERT_TRUE(fromData.wait());
  EXPECT_FALSE(fromData.error);

  std::string path = sandbox.root() + "/upload.bin";
  ASSERT_TRUE(FileManager::defaultManager().createFileAtPath(path, Data::fromString("payload-2")));
  Outcome fromFile;
  session->uploadTaskWithRequest(req, URL::fileURLWithPath(path), fromFile.dataHandler())->resume();
  ASSERT_TRUE(fromFile.wait());
  EXPECT_EQ(fromFile.data->toString(), "done");

  Outcome missing;
  session->uploadTaskWithRequest(req, URL::fileURLWithPath(sandbox.root() + "/none"), missing.dataHandler())
      ->resume();
  ASSERT_TRUE(missing.wait());
  EXPECT_EQ(missing.errorCode(), kURLErrorFileDoesNotExist);

  auto recorded = server.requests();
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_EQ(recorded[0].method, "POST");
  EXPECT_EQ(recorded[0].body, "payload-1");
  EXPECT_EQ(recorded[1].body, "payload-2");
  EXPECT_EQ(recorded[1].header("Content-Length"), "9");
}

TEST_F(URLSessionTest, DelegateReceivesDataAndDownloadFiles) {
  std::string big(200000, 'x');
  server.setResponse("/big", ScriptedResponse::ok(big));
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = sessionWith(delegate);

  session->dataTaskWithRequest(request("/big"))->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return delegate->completed; }));
  EXPECT_EQ(delegate->received, big);
  EXPECT_FALSE(delegate->error);

  delegate->completed = false;
  session->downloadTaskWithRequest(request("/big"))->resume();
  ASSERT_TRUE(delegate->waitFor([&] { return delegate->completed; }));
  EXPECT_EQ(delegate->downloaded, big);
  settle();
  EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(delegate->downloadPath));

  Outcome handled;
  session->downloadTaskWithRequest(request("/big"), handled.downloadHandler())->resume();
  ASSERT_TRUE(handled.wait());
  EXPECT_EQ(handled.downloaded, big);
  settle();
  EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(handled.downloadPath));
}

TEST_F(URLSessionTest, RedirectsAreOfferedToTheDelegate) {
  server.setResponse("/moved", ScriptedResponse::redirect(301, "/final", "moved-body"));
  server.setResponse("/see-other", ScriptedResponse::redirect(303, "/final"));
  server.setResponse("/final", ScriptedResponse::ok("final-body"));
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = sessionWith(delegate);

  // Refused: the redirect answer is the final one, with its body.
  delegate->followRedirects = false;
  Outcome refused;
  session->dataTaskWithRequest(request("/moved"), refused.dataHandler())->resume();
  ASSERT_TRUE(refused.wait());
  EXPECT_EQ(refused.response->statusCode(), 301);
  EXPECT_EQ(refused.data->toString(), "moved-body");
  EXPECT_EQ(server.requestCount(), 1u);

  // Followed: a POST answered 303 continues as a GET without body.
  delegate->followRedirects = true;
  URLRequest post = request("/see-other");
  post.setHTTPMethod("POST");
  post.setValue("text/plain", "Content-Type");
  Outcome followed;
  session->uploadTaskWithRequest(post, Data::fromString("abc"), followed.dataHandler())->resume();
  ASSERT_TRUE(followed.wait());
  EXPECT_EQ(followed.response->statusCode(), 200);
  EXPECT_EQ(followed.response->url().absoluteString(), server.URLForPath("/final"));
  EXPECT_EQ(followed.data->toString(), "final-body");
  auto recorded = server.requests();
  ASSERT_EQ(recorded.size(), 3u);
  EXPECT_EQ(recorded[2].method, "GET");
  EXPECT_EQ(recorded[2].body, "");
  EXPECT_EQ(delegate->redirectStatuses, (std::vector<int>{301, 303}));

  // Without a delegate redirects are followed.
  Outcome plain;
  URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration())
      ->dataTaskWithRequest(request("/moved"), plain.dataHandler())
      ->resume();
  ASSERT_TRUE(plain.wait());
  EXPECT_EQ(plain.data->toString(), "final-body");
}

TEST_F(URLSessionTest, HangingServerIsCutOffAtTheTimeout) {
  server.setResponse("/hang", ScriptedResponse::hanging());
  auto session = sessionWith(nullptr);
  URLRequest req = request("/hang");
  req.setTimeoutInterval(1);

  Outcome outcome;
  auto start = std::chrono::steady_clock::now();
  session->dataTaskWithRequest(req, outcome.dataHandler())->resume();
  ASSERT_TRUE(outcome.wait());
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(outcome.errorCode(), kURLErrorTimedOut);
  EXPECT_EQ(outcome.error->domain(), kURLErrorDomain);
  EXPECT_EQ(outcome.error->localizedDescription(), "The request timed out.");
  EXPECT_GE(elapsed, 0.9);
  EXPECT_LT(elapsed, kURLRequestDefaultTimeoutInterval / 2);  // the request's interval, not the default
}

TEST_F(URLSessionTest, CancelCompletesOnceWithCancelled) {
  server.setResponse("/hang", ScriptedResponse::hanging());
  auto session = sessionWith(nullptr);
  Outcome outcome;
  auto task = session->dataTaskWithRequest(request("/hang"), outcome.dataHandler());
  task->resume();
  ASSERT_TRUE(server.waitForRequestCount(1));
  task->cancel();
  task->cancel();
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.errorCode(), kURLErrorCancelled);
  EXPECT_EQ(outcome.error->localizedDescription(), "cancelled");
  EXPECT_FALSE(outcome.data);
  EXPECT_EQ(task->state(), URLSessionTask::State::Completed);
  // Nothing else arrives for the task.
  session->finishTasksAndInvalidate();
  EXPECT_EQ(outcome.calls, 1);
}

TEST_F(URLSessionTest, TransportFailuresMapToURLErrors) {
  // A port that was just bound and released: nothing listens there.
  int closedPort;
  {
    TestHTTPServer other;
    closedPort = other.port();
  }
  struct Case {
    std::string url;
    int64_t code;
  } cases[] = {
      {"", kURLErrorUnsupportedURL},
      {"ftp://127.0.0.1/x", kURLErrorUnsupportedURL},
      {"http:///nohost", kURLErrorBadURL},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/", kURLErrorCannotConnectToHost},
      // Reserved names went to the resolver, whose lost datagram held a
      // virtual-time run for 5 s of real time; they fail at once now.
      {"https://transport.drosil.invalid/upload", kURLErrorCannotFindHost},
      {"http://Settings.INVALID./x", kURLErrorCannotFindHost},
  };
  auto session = sessionWith(nullptr);
  for (const Case& c : cases) {
    Outcome outcome;
    session->dataTaskWithRequest(URLRequest(*URL::URLWithString(c.url)), outcome.dataHandler())->resume();
    ASSERT_TRUE(outcome.wait()) << c.url;
    EXPECT_EQ(outcome.errorCode(), c.code) << c.url;
  }
}

TEST_F(URLSessionTest, BodyThatBreaksOffGivesResponseAndError) {
  ScriptedResponse broken = ScriptedResponse::ok(std::string(1000, 'b'));
  broken.truncateBody = true;
  server.setResponse("/broken", broken);
  Outcome outcome;
  sessionWith(nullptr)->dataTaskWithRequest(request("/broken"), outcome.dataHandler())->resume();
  ASSERT_TRUE(outcome.wait());
  EXPECT_EQ(outcome.errorCode(), kURLErrorNetworkConnectionLost);
  ASSERT_TRUE(outcome.response);
  EXPECT_EQ(outcome.response->statusCode(), 200);
}

TEST_F(URLSessionTest, InvalidationTellsTheDelegateAndRefusesNewTasks) {
  server.setResponse("/ok", ScriptedResponse::ok("x"));
  server.setResponse("/hang", ScriptedResponse::hanging());

  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = sessionWith(delegate);
  session->dataTaskWithRequest(request("/ok"))->resume();
  session->finishTasksAndInvalidate();
  EXPECT_FALSE(session->dataTaskWithRequest(request("/ok")));
  ASSERT_TRUE(delegate->waitFor([&] { return delegate->invalidated; }));
  EXPECT_TRUE(delegate->completed);
  EXPECT_FALSE(delegate->error);
  settle();
  EXPECT_EQ(session->delegate(), nullptr);

  auto second = std::make_shared<RecordingDelegate>();
  auto cancelling = sessionWith(second);
  cancelling->dataTaskWithRequest(request("/hang"))->resume();
  ASSERT_TRUE(server.waitForRequestCount(2));
  cancelling->invalidateAndCancel();
  ASSERT_TRUE(second->waitFor([&] { return second->invalidated; }));
  ASSERT_TRUE(second->error);
  EXPECT_EQ(second->error->code(), kURLErrorCancelled);
}

TEST_F(URLSessionTest, MainOperationQueueDeliversOnTheMainThread) {
  server.setResponse("/ok", ScriptedResponse::ok("main"));
  auto session = URLSession::sessionWithConfiguration(
      URLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("bg-1"), nullptr,
      OperationQueue::mainQueue());
  EXPECT_EQ(session->configuration().identifier(), "bg-1");
  bool onMain = false;
  std::optional<std::string> body;
  session
      ->dataTaskWithRequest(request("/ok"),
                            [&](std::optional<Data> d, std::optional<HTTPURLResponse>, std::optional<Error>) {
                              onMain = DispatchQueue::isMainThread();
                              body = d ? d->toString() : "";
                            })
      ->resume();
  ASSERT_TRUE(testing::runMainUntil([&] { return body.has_value(); }));
  EXPECT_TRUE(onMain);
  EXPECT_EQ(body, "main");
}

// Virtual time used to run past an answer on its way: a one-second timer
// fired before a reply that took a quarter second of real time had arrived.
TEST_F(URLSessionTest, VirtualTimeWaitsForAnAnswerInFlight) {
  ManualClockScope clock;
  ScriptedResponse slow = ScriptedResponse::ok("late");
  slow.delaySeconds = 0.25;
  server.setResponse("/slow", slow);
  std::atomic<bool> answered{false};
  std::atomic<bool> answeredBeforeTheTimer{false};
  auto session = sessionWith(nullptr);
  session->dataTaskWithRequest(request("/slow"), [&](std::optional<Data>, std::optional<HTTPURLResponse>,
                                                     std::optional<Error>) { answered = true; })
      ->resume();
  DispatchQueue::global()->after(DispatchTime::fromNow(1), [&] { answeredBeforeTheTimer = answered.load(); });
  clock->advance(2);
  EXPECT_TRUE(answered.load());
  EXPECT_TRUE(answeredBeforeTheTimer.load());
}

}  // namespace
}  // namespace os
