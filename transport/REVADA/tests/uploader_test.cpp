// The uploader end to end: events stored in the flat-file storage are posted
// through os/net to a collector on 127.0.0.1, which checks and decodes what it
// receives and answers as each case needs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/sandbox.h"
#include "os/testing/test_http_server.h"
#include "os/uikit/application.h"
#include "transport/REVADA/revada_messages.h"
#include "transport/REVADA/revada_uploader.h"
#include "transport/REVADA/tests/upload_test_support.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_transport.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace {

using os::testing::ScriptedResponse;
using revada_test::decodeUploadRequest;
using revada_test::payloadsOf;
using revova_test::settle;
using Counts = REVOVALogSourceMetrics::Counts;

constexpr double kBound = 30;  // seconds of real time for work on real threads

void setNetwork(os::DeviceNetwork network) {
  os::DeviceProfile device = os::DeviceProfile::current();
  device.network = network;
  os::DeviceProfile::setCurrent(device);
}

class REVADAUploaderTest : public revova_test::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    // Uploads here come from the test, or from a coordinator of its own.
    REVOVAUploadCoordinator::sharedInstance()->stopTimer();
    REVOVAUploadCoordinator::sharedInstance()->coordinationQueue()->sync([] {});
    setNetwork(os::DeviceNetwork::WiFi);
    bundle_ = std::make_unique<revada_test::CollectorBundle>(server_.baseURL());
    for (int64_t target : {1000, 1001, 1002, 1003}) {
      uploader_->setNextUploadTime(nullptr, target);
      server_.setResponse("/upload/" + std::to_string(target), ScriptedResponse::ok());
    }
  }
  void TearDown() override {
    EXPECT_TRUE(idle());
    setNetwork(os::DeviceNetwork::None);
    bundle_.reset();
    StateTest::TearDown();
  }

  // Waits (pumping the main queue, where data tasks start) until the
  // uploader has no operation left.
  bool idle() {
    return os::testing::runMainUntil([&] { return uploader_->uploadOperationQueue()->operationCount() == 0; },
                                     kBound);
  }
  // Moves virtual time on; the coordinator's firings have asked the uploader
  // (its queue runs what a firing queues), and what they queued has run.
  void advance(REVOVAUploadCoordinator& coordinator, double seconds) {
    clock_->advance(seconds);
    for (int i = 0; i < 2; ++i) coordinator.coordinationQueue()->sync([] {});
    ASSERT_TRUE(idle());
  }
  void upload(int64_t target, int64_t conditions) {
    uploader_->uploadTarget(target, conditions);
    ASSERT_TRUE(idle());
  }
  // Stores an event without network, so that a tier-4 event forces nothing.
  REVOVAEventPtr store(const std::string& payload, int64_t target = 1001, int64_t tier = 3,
                       const std::string& mappingID = "1974") {
    setNetwork(os::DeviceNetwork::None);
    auto event = revova_test::makeEvent(mappingID, target, payload, tier);
    EXPECT_TRUE(revova_test::store(*storage_, event).first);
    revova_test::drain(*storage_);
    auto coordinator = REVOVAUploadCoordinator::sharedInstance();
    for (int i = 0; i < 2; ++i) coordinator->coordinationQueue()->sync([] {});
    setNetwork(os::DeviceNetwork::WiFi);
    return event;
  }
  // The payloads of the target's queued events, sorted.
  std::vector<std::string> stored(int64_t target = 1001) {
    std::vector<std::string> payloads;
    for (const auto& name : revova_test::filesUnder(revova_test::eventFolder(target))) {
      if (name.starts_with(".")) continue;
      auto event = REVOVAUnarchiveFile<REVOVAEvent>(revova_test::eventFolder(target) + "/" + name);
      payloads.push_back(event && *event ? (*event)->serializedDataObjectBytes()->toString() : "<unreadable>");
    }
    std::sort(payloads.begin(), payloads.end());
    return payloads;
  }
  bool noBatchLeft() { return revova_test::filesUnder(revova_test::storageRoot() + "/dov_batch_data").empty(); }
  // Counts a drop so that the next upload of 1001 or 1002 carries metrics.
  void primeMetrics() {
    ASSERT_TRUE(settle(metrics_->logEventsDroppedForReason(
        2, REVOVAEventSet{revova_test::makeEvent("1206", 1002, "lost")})));
  }
  Counts takeCounts() {
    auto taken = metrics_->getAndResetMetrics();
    EXPECT_TRUE(settle(taken));
    return taken.value() ? taken.value()->logSourceMetrics()->droppedEventCounterByLogSource() : Counts{};
  }
  std::vector<revada_test::DecodedSource> lastRequest() {
    auto requests = server_.requests();
    if (requests.empty()) return {};
    return decodeUploadRequest(requests.back().body).value_or(std::vector<revada_test::DecodedSource>{});
  }
  int64_t waitMillis(int64_t target = 1001) {
    auto next = uploader_->nextUploadTimeForTarget(target);
    return next ? next->timeMillis() - REVOVAClock::snapshot()->timeMillis() : -1;
  }

  os::ManualClockScope clock_;
  os::testing::TestHTTPServer server_;
  std::unique_ptr<revada_test::CollectorBundle> bundle_;
  std::shared_ptr<REVADAUploader> uploader_ = REVADAUploader::sharedInstance();
  std::shared_ptr<REVOVAFlatFileStorage> storage_ = REVOVAFlatFileStorage::sharedInstance();
  std::shared_ptr<REVOVAMetricsController> metrics_ = REVOVAMetricsController::sharedInstance();
};

TEST_F(REVADAUploaderTest, AStoredTierFourEventIsUploadedAtOnce) {
  auto transport = REVOVATransport::initWithMappingID("1206", {}, 1002);
  auto event = transport->eventForTransport();
  const std::string report = "crash report " + std::string(300, 'r');
  event->setDataObject(std::make_shared<revova_test::BytesDataObject>(os::Data::fromString(report)));
  event->setQosTier(4);
  transport->sendDataEvent(event);
  ASSERT_TRUE(os::testing::runMainUntil([&] { return server_.requestCount() == 1; }, kBound));
  ASSERT_TRUE(idle());

  const auto request = server_.requests().front();
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/upload/1002");
  EXPECT_EQ(request.header("Content-Encoding"), "gzip");  // the collector expanded it
  EXPECT_EQ(request.header("Content-Type"), "application/x-protobuf");
  EXPECT_EQ(request.header("User-Agent"), "eventtransport/0.0.1 cshsupport/0.0.1 apple/");
  EXPECT_EQ(request.header(kREVADAAPIKeyHeader), REVADAUploader::FLLAndCSHAndINTAPIKey());
  EXPECT_EQ(payloadsOf(lastRequest(), 1206), std::vector<std::string>{report});
  EXPECT_TRUE(stored(1002).empty());
  EXPECT_TRUE(noBatchLeft());
}

TEST_F(REVADAUploaderTest, EachConditionTakesItsTiers) {
  const struct {
    int64_t conditions;
    std::vector<std::string> sent;
  } cases[] = {
      {4, {"tier 0", "tier 1", "tier 3", "tier 4", "tier 5"}},  // Wi-Fi
      {2, {"tier 3", "tier 4"}},                                // mobile
      {20, {"tier 0", "tier 1", "tier 2", "tier 3", "tier 4", "tier 5"}},  // forced
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conditions);
    emptyStore();
    uploader_->setNextUploadTime(nullptr, 1001);
    std::vector<std::string> all;
    for (int tier = 0; tier <= 5; ++tier) all.push_back(store("tier " + std::to_string(tier), 1001, tier)
                                                             ->serializedDataObjectBytes()->toString());
    upload(1001, c.conditions);
    EXPECT_EQ(payloadsOf(lastRequest(), 1974), c.sent);
    std::vector<std::string> left;
    std::set_difference(all.begin(), all.end(), c.sent.begin(), c.sent.end(), std::back_inserter(left));
    EXPECT_EQ(stored(), left);
  }
}

TEST_F(REVADAUploaderTest, TheServersWaitHoldsTheTimerUntilItHasPassed) {
  server_.setResponse("/upload/1001", ScriptedResponse::ok(revada_test::encodeUploadResponse(60'000)));
  auto coordinator = std::make_shared<REVOVAUploadCoordinator>();
  coordinator->startTimer();  // firings at 0.5, 30.5, 60.5 s
  ASSERT_TRUE(coordinator->TEST_isTimerRunning());
  store("first");
  upload(1001, 4);  // at 0 s: wait until 60 s
  EXPECT_EQ(waitMillis(), 60'000);
  store("second");
  for (double step : {0.5, 30.0}) {
    advance(*coordinator, step);
    EXPECT_EQ(server_.requestCount(), 1u);
  }
  advance(*coordinator, 30);
  EXPECT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(payloadsOf(lastRequest(), 1974), std::vector<std::string>{"second"});
}

TEST_F(REVADAUploaderTest, TheNextUploadTimeComesFromTheBodyThenRetryAfterThenFifteenMinutes) {
  const struct {
    int status;
    std::optional<std::string> retryAfter;
    std::optional<int64_t> bodyWait;
    int64_t expectedMillis;
  } cases[] = {
      {503, "120", std::nullopt, 120'000},
      {429, "1.5", std::nullopt, 1'000},
      {503, std::nullopt, std::nullopt, 900'000},
      {503, "soon", std::nullopt, 900'000},
      {200, "120", 60'000, 60'000},
      // Mended: a negative or huge value wrapped through the unsigned
      // conversion into a wait of ages, or into none at all.
      {503, "-5", std::nullopt, 900'000},
      {503, "99999999999999999999", std::nullopt, 900'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retryAfter.value_or("(none)") + " / " + std::to_string(c.status));
    emptyStore();
    uploader_->setNextUploadTime(nullptr, 1001);
    ScriptedResponse answer = ScriptedResponse::withStatus(
        c.status, c.bodyWait ? revada_test::encodeUploadResponse(*c.bodyWait) : std::string());
    if (c.retryAfter) answer.headers.emplace_back("Retry-After", *c.retryAfter);
    server_.setResponse("/upload/1001", answer);
    store("event");
    upload(1001, 4);
    EXPECT_EQ(waitMillis(), c.expectedMillis);
  }
}

TEST_F(REVADAUploaderTest, TheStatusDecidesWhatBecomesOfTheEventsAndTheMetrics) {
  const Counts offeredBack{{"1206", {{2, 1}}}};
  const struct {
    int status;
    bool returned;
    Counts counts;
  } cases[] = {
      {200, false, {}},
      {404, true, offeredBack},
      {429, true, offeredBack},
      {500, true, offeredBack},
      {503, true, offeredBack},
      // Every event of the batch counts as dropped, the metrics event too.
      {400, false, {{"1206", {{2, 1}}}, {"1974", {{5, 2}}}, {"1710", {{5, 1}}}}},
      {401, false, offeredBack},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    emptyStore();
    uploader_->setNextUploadTime(nullptr, 1001);
    server_.setResponse("/upload/1001", ScriptedResponse::withStatus(c.status));
    primeMetrics();
    store("a");
    store("b");
    upload(1001, 4);
    const auto sent = lastRequest();
    EXPECT_EQ(payloadsOf(sent, 1974), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(payloadsOf(sent, 1710).size(), 1u);  // the metrics event
    EXPECT_EQ(stored(), (c.returned ? std::vector<std::string>{"a", "b"} : std::vector<std::string>{}));
    EXPECT_TRUE(noBatchLeft());
    EXPECT_EQ(takeCounts(), c.counts);
  }
}

// Mended: every failed attempt rewrote the metrics file twice (the counts
// taken out, then offered back), the cost of an idle week without a network.
TEST_F(REVADAUploaderTest, FailedUploadsLeaveTheMetricsFileAloneAndASuccessClearsTheCounts) {
  primeMetrics();
  store("a");
  const std::string written = revova_test::fileIdentity(revova_test::metricsFile());
  ASSERT_NE(written, "");
  server_.setResponse("/upload/1001", ScriptedResponse::withStatus(503));
  for (int attempt = 1; attempt <= 3; ++attempt) {
    SCOPED_TRACE(attempt);
    upload(1001, kREVOVAUploadConditionHighPriority);
    ASSERT_EQ(server_.requestCount(), size_t(attempt));
    EXPECT_EQ(payloadsOf(lastRequest(), 1710).size(), 1u);
    EXPECT_EQ(stored(), std::vector<std::string>{"a"});
  }
  EXPECT_EQ(revova_test::fileIdentity(revova_test::metricsFile()), written);
  EXPECT_EQ(takeCounts(), (Counts{{"1206", {{2, 1}}}}));

  server_.setResponse("/upload/1001", ScriptedResponse::withStatus(200));
  upload(1001, kREVOVAUploadConditionHighPriority);
  EXPECT_EQ(payloadsOf(lastRequest(), 1974), std::vector<std::string>{"a"});
  EXPECT_EQ(takeCounts(), Counts{});
}

TEST_F(REVADAUploaderTest, TheKeyAndUserAgentFollowTheTargetThroughARedirect) {
  const struct {
    int64_t target;
    const char* name;
    bool hasKey;
  } cases[] = {{1000, "revada", false}, {1001, "fll", true}, {1002, "csh", true}, {1003, "int", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string target = std::to_string(c.target);
    server_.setResponse("/upload/" + target,
                        ScriptedResponse::redirect(302, server_.URLForPath("/moved/" + target)));
    server_.setResponse("/moved/" + target, ScriptedResponse::ok());
    const size_t before = server_.requestCount();
    store("redirected " + target, c.target);
    upload(c.target, 4);
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), before + 2);
    const auto& first = requests[before];
    const auto& moved = requests[before + 1];
    EXPECT_EQ(moved.path, "/moved/" + target);
    EXPECT_EQ(moved.method, "POST");
    EXPECT_EQ(moved.body, first.body);
    for (const auto* request : {&first, &moved}) {
      // Mended: the request after a redirect was built for target 1000, so
      // 1001 to 1003 lost their key and the 401 that followed lost the batch.
      EXPECT_EQ(request->header(kREVADAAPIKeyHeader).has_value(), c.hasKey) << request->path;
      EXPECT_EQ(request->header("User-Agent"),
                "eventtransport/0.0.1 " + std::string(c.name) + "support/0.0.1 apple/");
    }
    EXPECT_TRUE(stored(c.target).empty());
  }
}

TEST_F(REVADAUploaderTest, ARefusedConnectionReturnsTheEventsAndKeepsTheNextUploadTime) {
  std::string closedURL;
  {
    os::testing::TestHTTPServer closed;
    closedURL = closed.baseURL();
  }
  bundle_.reset();
  bundle_ = std::make_unique<revada_test::CollectorBundle>(closedURL);
  auto now = REVOVAClock::snapshot();
  auto past = std::make_shared<REVOVAClock>(now->timeMillis() - 1'000, now->timezoneOffsetSeconds(),
                                            now->kernelBootTimeNanoseconds(), now->uptimeNanoseconds());
  uploader_->setNextUploadTime(past, 1001);
  primeMetrics();
  store("kept");
  upload(1001, 4);
  EXPECT_EQ(stored(), std::vector<std::string>{"kept"});
  EXPECT_TRUE(noBatchLeft());
  EXPECT_EQ(uploader_->nextUploadTimeForTarget(1001), past);
  EXPECT_EQ(takeCounts(), (Counts{{"1206", {{2, 1}}}}));
}

TEST_F(REVADAUploaderTest, AHangCutOffByTheBackgroundExpiryReturnsTheEvents) {
  server_.setResponse("/upload/1001", ScriptedResponse::hanging());
  primeMetrics();
  store("held");
  uploader_->uploadTarget(1001, 4);
  ASSERT_TRUE(os::testing::runMainUntil([&] { return server_.requestCount() == 1; }, kBound));
  UIApplication::sharedApplication()->TEST_expireBackgroundTasks();
  ASSERT_TRUE(idle());
  EXPECT_EQ(stored(), std::vector<std::string>{"held"});
  EXPECT_TRUE(noBatchLeft());
  EXPECT_EQ(uploader_->nextUploadTimeForTarget(1001), nullptr);
  EXPECT_EQ(takeCounts(), (Counts{{"1206", {{2, 1}}}}));
  const auto tasks = UIApplication::sharedApplication()->TEST_activeBackgroundTaskNames();
  EXPECT_EQ(std::count(tasks.begin(), tasks.end(), kREVADAUploadBackgroundTaskName), 0);
}

TEST_F(REVADAUploaderTest, OneFiringSendsOneBatchAndTheNextFiringStillRuns) {
  for (int64_t target : {1000, 1001, 1002, 1003}) store("for " + std::to_string(target), target);
  auto coordinator = std::make_shared<REVOVAUploadCoordinator>();
  coordinator->startTimer();
  ASSERT_TRUE(coordinator->TEST_isTimerRunning());
  advance(*coordinator, 0.5);
  ASSERT_EQ(server_.requestCount(), 1u);
  EXPECT_EQ(server_.requests()[0].path, "/upload/1000");
  EXPECT_EQ(stored(1001), std::vector<std::string>{"for 1001"});  // cancelled before it started

  advance(*coordinator, 30);
  ASSERT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(server_.requests()[1].path, "/upload/1001");
  EXPECT_EQ(payloadsOf(lastRequest(), 1974), std::vector<std::string>{"for 1001"});
}

// An empty body (a failed encoding) built no request, and the operation went
// on with none: the batch was left in its folder until the next upload.
TEST_F(REVADAUploaderTest, AnEmptyEncodingReturnsTheBatchAndOffersTheMetricsBack) {
  primeMetrics();
  store("unsent");
  revada_detail::TEST_setFailingEncodingPass(2);
  upload(1001, 4);
  revada_detail::TEST_setFailingEncodingPass(0);
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_EQ(stored(), std::vector<std::string>{"unsent"});
  EXPECT_TRUE(noBatchLeft());
  EXPECT_EQ(takeCounts(), (Counts{{"1206", {{2, 1}}}}));
}

TEST_F(REVADAUploaderTest, ABatchLeftByAKilledProcessIsReturnedByTheNextOperationAndSentOnce) {
  server_.setResponse("/upload/1001", ScriptedResponse::hanging());
  const std::string bundle = bundle_->path() + "-child";
  revada_test::CollectorBundle::write(bundle, server_.baseURL());
  const std::string root = os::Sandbox::current()->root();
  const char* argv[] = {TRANSPORT_UPLOAD_CHILD, root.c_str(), bundle.c_str(), nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(argv[0], const_cast<char* const*>(argv));  // async-signal-safe calls only until exec
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  const bool sent = server_.waitForRequestCount(1, kBound);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::filesystem::remove_all(bundle);
  ASSERT_TRUE(sent);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(noBatchLeft());  // the killed upload's batch
  EXPECT_TRUE(stored().empty());

  server_.setResponse("/upload/1001", ScriptedResponse::ok());
  upload(1001, 4);
  ASSERT_EQ(server_.requestCount(), 2u);
  EXPECT_EQ(payloadsOf(lastRequest(), 1974),
            (std::vector<std::string>{"killed 0", "killed 1", "killed 2", "killed 3", "killed 4"}));
  EXPECT_TRUE(stored().empty());
  EXPECT_TRUE(noBatchLeft());
}

}  // namespace
