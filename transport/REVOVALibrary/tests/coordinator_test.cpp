// The upload coordinator: network conditions, the timer on virtual time,
// forced uploads and the application's life cycle.
#include <gtest/gtest.h>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/device_profile.h"
#include "os/net/reachability.h"
#include "os/uikit/application.h"
#include "transport/REVOVALibrary/revova_application.h"
#include "transport/REVOVALibrary/revova_registrar.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace {

// An uploader that records what it is asked.
class RecordingUploader : public REVOVAUploader {
 public:
  void uploadTarget(int64_t target, int64_t conditions) override {
    std::lock_guard lock(mutex_);
    calls_.emplace_back(target, conditions);
  }
  std::vector<std::pair<int64_t, int64_t>> takeCalls() {
    std::lock_guard lock(mutex_);
    return std::exchange(calls_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int64_t, int64_t>> calls_;  // guarded by mutex_
};

// A storage that counts expiry checks and does nothing else.
class CountingStorage : public REVOVAStorageProtocol {
 public:
  void storeEvent(const REVOVAEventPtr&, StoreCompletion) override {}
  void hasEventsForTarget(int64_t, BoolCompletion) override {}
  void batchWithEventSelector(const REVOVAStorageEventSelector&, os::Date, BatchCompletion) override {}
  void removeBatchWithID(int64_t, bool, Completion) override {}
  void batchIDsForTarget(int64_t, BatchIDsCompletion) override {}
  void checkForExpirations() override { ++expiryChecks; }
  void storeLibraryData(const os::Data&, const std::string&, ErrorCompletion) override {}
  void libraryDataForKey(const std::string&, DataCompletion, NewValueBlock) override {}
  void removeLibraryDataForKey(const std::string&, ErrorCompletion) override {}
  void storageSizeWithCallback(SizeCompletion) override {}
  std::shared_ptr<REVOVAStorageDelegate> delegate() const override { return nullptr; }
  void setDelegate(const std::shared_ptr<REVOVAStorageDelegate>&) override {}
  std::atomic<int> expiryChecks{0};
};

using Calls = std::vector<std::pair<int64_t, int64_t>>;

class REVOVAUploadCoordinatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::DeviceProfile device;
    device.network = os::DeviceNetwork::WiFi;
    os::DeviceProfile::setCurrent(device);
    for (int64_t target : {1000, 1001, 1002, 1003}) {
      registrar_->registerUploader(uploader_, target);
      registrar_->registerStorage(storage_, target);
    }
    registrar_->targetToUploader();  // the registrations are in
  }
  void TearDown() override {
    os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
    os::DeviceProfile device;
    device.network = os::DeviceNetwork::None;
    os::DeviceProfile::setCurrent(device);
    postPlatform(os::kUIApplicationWillEnterForegroundNotification);
  }
  // Waits until the coordinator has passed on what it was asked.
  Calls calls() {
    for (int i = 0; i < 2; ++i) coordinator_->coordinationQueue()->sync([] {});
    return uploader_->takeCalls();
  }
  static void postPlatform(const char* name) { os::NotificationCenter::defaultCenter()->postNotificationName(name, nullptr); }

  os::ManualClockScope clock_;
  std::shared_ptr<REVOVARegistrar> registrar_ = std::make_shared<REVOVARegistrar>();
  std::shared_ptr<RecordingUploader> uploader_ = std::make_shared<RecordingUploader>();
  std::shared_ptr<CountingStorage> storage_ = std::make_shared<CountingStorage>();
  std::shared_ptr<REVOVAUploadCoordinator> coordinator_ = std::make_shared<REVOVAUploadCoordinator>(registrar_);
};

TEST_F(REVOVAUploadCoordinatorTest, ConditionsComeFromTheReachabilityFlags) {
  const struct {
    uint32_t flags;
    int64_t conditions;
  } cases[] = {
      {0x2, 4},            // reachable: Wi-Fi
      {0x2 | 0x40000, 2},  // over the mobile network
      {0x2 | 0x4, 1},      // a connection is still required
      {0x0, 1},
      {0x40000, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flags);
    const uint32_t flags = c.flags;
    os::SCNetworkReachabilityTEST_setFlagsProvider([flags](const std::string&) { return flags; });
    EXPECT_EQ(REVOVAUploadCoordinator::uploadConditions(), c.conditions);
  }
}

// Mended: a notification with no flags at all (the network gone) was taken
// for "no notification yet", so the flags read at start, reachable, stayed in
// force.
TEST_F(REVOVAUploadCoordinatorTest, LosingTheNetworkAfterStartIsNoNetwork) {
  EXPECT_EQ(REVOVAUploadCoordinator::uploadConditions(), 4);
  os::DeviceProfile device = os::DeviceProfile::current();
  device.network = os::DeviceNetwork::None;
  os::DeviceProfile::setCurrent(device);
  EXPECT_EQ(REVOVAUploadCoordinator::uploadConditions(), 1);
  device.network = os::DeviceNetwork::Mobile;
  os::DeviceProfile::setCurrent(device);
  EXPECT_EQ(REVOVAUploadCoordinator::uploadConditions(), 2);
}

TEST_F(REVOVAUploadCoordinatorTest, AForcedUploadReachesOnlyItsTargetWithTheForcedBit) {
  coordinator_->forceUploadForTarget(1002);
  EXPECT_EQ(calls(), (Calls{{1002, 20}}));
  os::DeviceProfile device = os::DeviceProfile::current();
  device.network = os::DeviceNetwork::None;
  os::DeviceProfile::setCurrent(device);
  coordinator_->forceUploadForTarget(1002);
  EXPECT_EQ(calls(), Calls{});  // forced or not, nothing without network
}

TEST_F(REVOVAUploadCoordinatorTest, TheTimerFiresHalfASecondAfterItStartsThenEveryThirtySeconds) {
  const Calls everyTarget{{1000, 4}, {1001, 4}, {1002, 4}, {1003, 4}};
  coordinator_->startTimer();
  EXPECT_TRUE(coordinator_->TEST_isTimerRunning());
  clock_->advance(0.4);
  EXPECT_EQ(calls(), Calls{});
  clock_->advance(0.1);
  EXPECT_EQ(calls(), everyTarget);
  clock_->advance(29.9);
  EXPECT_EQ(calls(), Calls{});
  clock_->advance(0.1);
  EXPECT_EQ(calls(), everyTarget);

  // In the background the timer's firings upload nothing; forced uploads do.
  postPlatform(os::kUIApplicationDidEnterBackgroundNotification);
  clock_->advance(30);
  EXPECT_EQ(calls(), Calls{});
  coordinator_->forceUploadForTarget(1001);
  EXPECT_EQ(calls(), (Calls{{1001, 20}}));
}

TEST_F(REVOVAUploadCoordinatorTest, TheLifeCycleStopsAndRestartsTheTimerAndChecksExpiryOnce) {
  auto app = REVOVAApplication::sharedApplication();
  coordinator_->startTimer();
  ASSERT_TRUE(coordinator_->TEST_isTimerRunning());
  clock_->advance(0.5);
  EXPECT_EQ(calls().size(), 4u);

  postPlatform(os::kUIApplicationDidEnterBackgroundNotification);
  coordinator_->appWillBackground(app);
  EXPECT_FALSE(coordinator_->TEST_isTimerRunning());
  clock_->advance(60);
  EXPECT_EQ(calls(), Calls{});

  postPlatform(os::kUIApplicationWillEnterForegroundNotification);
  const int checksBefore = storage_->expiryChecks;
  coordinator_->appWillForeground(app);
  EXPECT_EQ(storage_->expiryChecks - checksBefore, 1);  // one storage behind four targets
  EXPECT_TRUE(coordinator_->TEST_isTimerRunning());
  clock_->advance(0.5);
  EXPECT_EQ(calls().size(), 4u);

  coordinator_->appWillTerminate(app);
  EXPECT_FALSE(coordinator_->TEST_isTimerRunning());
}

}  // namespace
