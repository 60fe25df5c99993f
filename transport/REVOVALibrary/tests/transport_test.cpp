#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "os/dispatch/manual_clock.h"
#include "os/dispatch/notification.h"
#include "os/foundation/bundle.h"
#include "os/foundation/system_log.h"
#include "os/uikit/application.h"
#include "transport/REVOVALibrary/revova_application.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_registrar.h"
#include "transport/REVOVALibrary/revova_transport.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace {

using revova_test::BytesDataObject;
using revova_test::drain;
using revova_test::eventFolder;
using revova_test::filesUnder;
using revova_test::waitFor;

using Outcome = std::pair<bool, std::optional<os::Error>>;

Outcome send(REVOVATransport& transport, const REVOVAEventPtr& event, bool telemetry = false) {
  auto outcome = waitFor<Outcome>([&](std::function<void(Outcome)> done) {
    auto completion = [done](bool written, std::optional<os::Error> error) { done({written, error}); };
    if (telemetry) transport.sendTelemetryEvent(event, completion);
    else transport.sendDataEvent(event, completion);
  });
  return outcome.value_or(Outcome{false, std::nullopt});
}

// The events stored for a target, decoded.
std::vector<REVOVAEventPtr> storedEvents(int64_t target) {
  std::vector<REVOVAEventPtr> events;
  for (const auto& name : filesUnder(eventFolder(target))) {
    auto event = REVOVAUnarchiveFile<REVOVAEvent>(eventFolder(target) + "/" + name);
    EXPECT_TRUE(event) << name;
    if (event) events.push_back(*event);
  }
  return events;
}

std::vector<std::string> activeTasks(const std::string& name) {
  auto names = UIApplication::sharedApplication()->TEST_activeBackgroundTaskNames();
  std::erase_if(names, [&](const std::string& n) { return n != name; });
  return names;
}

// Appends its marker to the event's custom bytes.
class MarkerTransformer : public REVOVAEventTransformer {
 public:
  explicit MarkerTransformer(std::string marker) : marker_(std::move(marker)) {}
  REVOVAEventPtr transformDOVEvent(const REVOVAEventPtr& event) override {
    os::Data bytes = event->customBytes().value_or(os::Data());
    bytes.append(marker_);
    event->setCustomBytes(bytes);
    return event;
  }

 private:
  std::string marker_;
};

class DroppingTransformer : public REVOVAEventTransformer {
 public:
  REVOVAEventPtr transformDOVEvent(const REVOVAEventPtr&) override { return nullptr; }
};

class REVOVATransportTest : public revova_test::StateTest {};

TEST_F(REVOVATransportTest, TransportNeedsAMappingIDAndAPositiveTarget) {
  os::LogCapture capture;
  EXPECT_EQ(REVOVATransport::initWithMappingID("", {}, 1001), nullptr);
  EXPECT_EQ(REVOVATransport::initWithMappingID("1974", {}, 0), nullptr);
  EXPECT_EQ(capture.recordsContaining("I-REVOVA001006").size(), 2u);
  auto transport = REVOVATransport::initWithMappingID("1974", {}, 1001);
  ASSERT_NE(transport, nullptr);
  auto event = transport->eventForTransport();
  EXPECT_EQ(event->mappingID(), "1974");
  EXPECT_EQ(event->target(), 1001);
  EXPECT_EQ(transport->eventForTransportWithProductData(REVOVAProductData::initWithProductID(7))->productData()->productID(), 7);
}

TEST_F(REVOVATransportTest, SendStoresACopyStampedAtTheSend) {
  os::ManualClockScope clock;
  auto transport = REVOVATransport::initWithMappingID("1974", {}, 1001);
  auto event = transport->eventForTransport();
  auto payload = std::make_shared<BytesDataObject>(os::Data::fromString("session"));
  event->setDataObject(payload);
  clock->advance(10);

  auto outcome = waitFor<Outcome>([&](std::function<void(Outcome)> done) {
    transport->sendDataEvent(event, [done](bool written, std::optional<os::Error> error) { done({written, error}); });
    // The client goes on with its own event.
    event->setQosTier(5);
    event->setCustomBytes(os::Data::fromString("late"));
    payload->setBytes(os::Data::fromString("changed"));
  });
  ASSERT_TRUE(outcome && outcome->first) << (outcome && outcome->second ? outcome->second->description() : "");

  auto stored = storedEvents(1001);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0]->eventID(), event->eventID());
  EXPECT_EQ(stored[0]->qosTier(), kREVOVAEventQoSTierDefault);
  EXPECT_FALSE(stored[0]->customBytes());
  EXPECT_EQ(stored[0]->serializedDataObjectBytes(), os::Data::fromString("session"));
  ASSERT_NE(stored[0]->clockSnapshot(), nullptr);
  EXPECT_EQ(stored[0]->clockSnapshot()->timeMillis(), 1'700'000'010'000);
}

TEST_F(REVOVATransportTest, TelemetrySendsStoreTierOne) {
  auto transport = REVOVATransport::initWithMappingID("1974", {}, 1001);
  auto telemetry = transport->eventForTransport();
  telemetry->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("t")));
  telemetry->setQosTier(4);
  EXPECT_TRUE(send(*transport, telemetry, true).first);

  // Through the data send a telemetry event is an assertion, and is sent.
  auto data = transport->eventForTransport();
  data->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("d")));
  data->setQosTier(kREVOVAEventQoSTierTelemetry);
  os::LogCapture capture;
  EXPECT_TRUE(send(*transport, data).first);
  EXPECT_EQ(capture.recordsContaining("Use -sendTelemetryEvent, please.").size(), 1u);

  auto stored = storedEvents(1001);
  ASSERT_EQ(stored.size(), 2u);
  for (const auto& event : stored) EXPECT_EQ(event->qosTier(), kREVOVAEventQoSTierTelemetry);
}

TEST_F(REVOVATransportTest, TransformersRunInOrderAndMayDropTheEvent) {
  auto a = std::make_shared<MarkerTransformer>("A");
  auto b = std::make_shared<MarkerTransformer>("B");
  const struct {
    const char* name;
    REVOVAEventTransformers transformers;
    bool written;
    const char* customBytes;
    size_t transformerErrorLines;
  } cases[] = {
      {"both markers", {a, b}, true, "AB", 0},
      {"dropped", {a, std::make_shared<DroppingTransformer>(), b}, false, nullptr, 0},
      {"not a transformer", {a, nullptr, b}, false, nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    emptyStore();
    auto transport = REVOVATransport::initWithMappingID("1206", c.transformers, 1002);
    auto event = transport->eventForTransport();
    event->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("report")));
    os::LogCapture capture;
    auto [written, error] = send(*transport, event);
    EXPECT_EQ(written, c.written);
    EXPECT_FALSE(error);
    EXPECT_EQ(capture.recordsContaining("[I-REVOVA001000] Transformer doesn't implement transformDOVEvent:").size(),
              c.transformerErrorLines);
    auto stored = storedEvents(1002);
    ASSERT_EQ(stored.size(), c.written ? 1u : 0u);
    if (c.written) {
      EXPECT_EQ(stored[0]->customBytes(), os::Data::fromString(c.customBytes));
    }
  }
}

// Mended: a send for a target that no storage serves never completed, and
// its background task was never ended; a caller waiting on it waited forever.
TEST_F(REVOVATransportTest, SendForATargetWithoutStorageFailsAndEndsItsBackgroundTask) {
  auto transport = REVOVATransport::initWithMappingID("1974", {}, 4242);
  auto event = transport->eventForTransport();
  event->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("x")));
  auto [written, error] = send(*transport, event);
  EXPECT_FALSE(written);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kREVOVATransformerErrorDomain);
  REVOVATransformer::sharedInstance()->eventWritingQueue()->sync([] {});
  EXPECT_TRUE(activeTasks(kREVOVATransformerBackgroundTaskName).empty());
}

// Grants numbered tasks (none when `refuse`), records what is ended and keeps
// the expiry handlers for the test to run.
class RecordingApplication : public REVOVAApplicationProtocol {
 public:
  REVOVABackgroundIdentifier beginBackgroundTaskWithName(const std::string&, std::function<void()> expiry) override {
    if (refuse) return kREVOVABackgroundIdentifierInvalid;
    expiries.push_back(std::move(expiry));
    return expiries.size();
  }
  void endBackgroundTask(REVOVABackgroundIdentifier bgID) override {
    if (bgID != kREVOVABackgroundIdentifierInvalid) ended.push_back(bgID);
  }
  bool isRunningInBackground() const override { return false; }
  bool refuse = false;
  std::vector<std::function<void()>> expiries;
  std::vector<REVOVABackgroundIdentifier> ended;
};

TEST(REVOVABackgroundTaskTest, EndsOnceWhicheverComesFirst) {
  auto app = std::make_shared<RecordingApplication>();
  // The owner first: a copy and the later expiry find the task ended.
  REVOVABackgroundTask owned(app, "owned");
  const REVOVABackgroundTask copy = owned;
  EXPECT_TRUE(owned.end());
  EXPECT_FALSE(copy.end());
  app->expiries[0]();
  // The expiry first: its handler runs while the task is on, the owner ends nothing.
  auto activeAtExpiry = std::make_shared<std::optional<bool>>();
  auto taskSeen = std::make_shared<REVOVABackgroundTask>();
  *taskSeen = REVOVABackgroundTask(app, "expiring", [=] { *activeAtExpiry = taskSeen->isActive(); });
  const REVOVABackgroundTask expiring = *taskSeen;
  app->expiries[1]();
  EXPECT_EQ(*activeAtExpiry, true);
  EXPECT_FALSE(expiring.isActive());
  EXPECT_FALSE(expiring.end());
  EXPECT_EQ(app->ended, (std::vector<REVOVABackgroundIdentifier>{1, 2}));
  // No task: nothing to end.
  app->refuse = true;
  EXPECT_FALSE(REVOVABackgroundTask(app, "refused").end());
  EXPECT_FALSE(REVOVABackgroundTask().end());
  app->expiries.clear();  // the handlers hold the application: break the cycle
}

TEST_F(REVOVATransportTest, BackgroundTimeIsHeldUntilTheStorageReports) {
  auto storage = REVOVAFlatFileStorage::sharedInstance();
  auto transformer = REVOVATransformer::sharedInstance();
  auto transport = REVOVATransport::initWithMappingID("1974", {}, 1001);
  for (bool expireFirst : {false, true}) {
    SCOPED_TRACE(expireFirst ? "time expires before the storage reports" : "the storage reports in time");
    auto event = transport->eventForTransport();
    event->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("x")));
    storage->storageQueue()->suspend();
    auto outcome = waitFor<Outcome>([&](std::function<void(Outcome)> done) {
      transport->sendDataEvent(event, [done](bool written, std::optional<os::Error> error) { done({written, error}); });
      transformer->eventWritingQueue()->sync([] {});
      EXPECT_EQ(activeTasks(kREVOVATransformerBackgroundTaskName).size(), 1u);
      EXPECT_EQ(activeTasks(kREVOVAFlatFileStorageBackgroundTaskName).size(), 1u);
      if (expireFirst) {
        UIApplication::sharedApplication()->TEST_expireBackgroundTasks();
        EXPECT_TRUE(activeTasks(kREVOVATransformerBackgroundTaskName).empty());
        EXPECT_TRUE(activeTasks(kREVOVAFlatFileStorageBackgroundTaskName).empty());
      }
      storage->storageQueue()->resume();
    });
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->first);
    drain(*storage);
    EXPECT_TRUE(activeTasks(kREVOVATransformerBackgroundTaskName).empty());
    EXPECT_TRUE(activeTasks(kREVOVAFlatFileStorageBackgroundTaskName).empty());
  }
}

TEST_F(REVOVATransportTest, AfterStartUpEveryTargetSharesOneStorageWhoseDelegateIsTheMetricsController) {
  auto registrar = REVOVARegistrar::sharedInstance();
  auto storage = REVOVAFlatFileStorage::sharedInstance();
  auto metrics = REVOVAMetricsController::sharedInstance();
  auto storages = registrar->targetToStorage();
  for (int64_t target : {999, 1000, 1001, 1002, 1003}) {
    SCOPED_TRACE(target);
    ASSERT_TRUE(storages.count(target));
    EXPECT_EQ(storages[target], storage);
    EXPECT_EQ(REVOVAStorageInstanceForTarget(target), storage);
  }
  EXPECT_FALSE(registrar->targetToUploader().count(999));
  auto controllers = registrar->targetToMetricsController();
  EXPECT_EQ(controllers.size(), 2u);
  EXPECT_EQ(REVOVAMetricsControllerInstanceForTarget(1001), metrics);
  EXPECT_EQ(REVOVAMetricsControllerInstanceForTarget(1002), metrics);
  EXPECT_EQ(REVOVAMetricsControllerInstanceForTarget(1000), nullptr);
  EXPECT_EQ(storage->delegate(), metrics);
  EXPECT_EQ(metrics->storage(), storage);
}

// Records the life-cycle calls the registrar passes on.
class RecordingUploader : public REVOVAUploader {
 public:
  void uploadTarget(int64_t, int64_t) override {}
  void appWillBackground(const std::shared_ptr<REVOVAApplication>&) override { record("background"); }
  void appWillForeground(const std::shared_ptr<REVOVAApplication>&) override { record("foreground"); }
  void appWillTerminate(const std::shared_ptr<REVOVAApplication>&) override { record("terminate"); }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

 private:
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

TEST(REVOVAApplicationTest, PlatformNotificationsSetTheFlagAndReachCoordinatorAndUploaders) {
  auto app = REVOVAApplication::sharedApplication();
  auto coordinator = REVOVAUploadCoordinator::sharedInstance();
  auto uploader = std::make_shared<RecordingUploader>();
  // Registered twice: it hears each notification once per registration.
  REVOVARegistrar::sharedInstance()->registerUploader(uploader, 4001);
  REVOVARegistrar::sharedInstance()->registerUploader(uploader, 4002);
  ASSERT_FALSE(app->isRunningInBackground());
  const struct {
    const char* notification;
    bool inBackground;
    const char* coordinatorCall;
    const char* uploaderCall;
  } cases[] = {
      {os::kUISceneWillDeactivateNotification, true, "appWillBackground:", "background"},
      {os::kUIApplicationWillTerminateNotification, true, "appWillTerminate:", "terminate"},
      {os::kUISceneWillEnterForegroundNotification, false, "appWillForeground:", "foreground"},
      {os::kUIApplicationDidEnterBackgroundNotification, true, "appWillBackground:", "background"},
      {os::kUIApplicationWillEnterForegroundNotification, false, "appWillForeground:", "foreground"},
  };
  coordinator->TEST_recordCalls(true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.notification);
    coordinator->TEST_clearRecordedCalls();
    uploader->clear();
    os::NotificationCenter::defaultCenter()->postNotificationName(c.notification, nullptr);
    EXPECT_EQ(app->isRunningInBackground(), c.inBackground);
    EXPECT_EQ(coordinator->TEST_recordedCalls(),
              (std::vector<REVOVAUploadCoordinator::RecordedCall>{{c.coordinatorCall, 0}}));
    EXPECT_EQ(uploader->calls(), (std::vector<std::string>{c.uploaderCall, c.uploaderCall}));
  }
  coordinator->TEST_recordCalls(false);
}

TEST(REVOVAApplicationTest, AnAppExtensionGetsNoBackgroundTime) {
  auto folder = std::filesystem::temp_directory_path() / ("revova-" + std::to_string(::getpid()) + ".appex");
  std::filesystem::create_directories(folder);
  os::Bundle::setMainBundlePath(folder.string());
  auto app = REVOVAApplication::sharedApplication();
  EXPECT_TRUE(REVOVAApplication::isAppExtension());
  size_t before = UIApplication::sharedApplication()->TEST_activeBackgroundTaskNames().size();
  EXPECT_EQ(app->beginBackgroundTaskWithName("DOVStorage", [] {}), kREVOVABackgroundIdentifierInvalid);
  app->endBackgroundTask(kREVOVABackgroundIdentifierInvalid);
  EXPECT_EQ(UIApplication::sharedApplication()->TEST_activeBackgroundTaskNames().size(), before);
  os::Bundle::setMainBundlePath("");
  std::filesystem::remove_all(folder);

  EXPECT_FALSE(REVOVAApplication::isAppExtension());
  auto id = app->beginBackgroundTaskWithName("DOVStorage", [] {});
  EXPECT_NE(id, kREVOVABackgroundIdentifierInvalid);
  app->endBackgroundTask(id);
}

}  // namespace
