#include <gtest/gtest.h>

#include "os/dispatch/manual_clock.h"
#include "os/dispatch/queue.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"
#include "os/foundation/sandbox.h"
#include "sdk-core/heartbeats/heartbeat_controller.h"

using namespace heartbeats;

namespace {
constexpr const char* kID = "1:123456789012:ios:0a1b2c3d4e5f";
// 2023-11-15 23:59:00 UTC.
constexpr double kBeforeMidnight = 1'700'006'400.0 + 86400 - 60;

class HeartbeatControllerTest : public ::testing::Test {
 protected:
  void SetUp() override { clock_->setWallTime(kBeforeMidnight); }
  void TearDown() override { os::dispatch::drainUntilIdle(); }
  std::string storePath() const {
    return sandbox_.sandbox()->applicationSupportDirectory() +
           "/devuvo-heartbeat-storage/heartbeats-1_123456789012_ios_0a1b2c3d4e5f";
  }
  size_t storedHeartbeats(HeartbeatController& controller) {
    size_t n = 0;
    for (const auto& entry : controller.flush().userAgentPayloads) n += entry.dates.size();
    return n;
  }

  os::TemporarySandbox sandbox_;
  os::ManualClockScope clock_;
};

// A byte store whose writes can be made to fail.
class FlakyStorage : public Storage {
 public:
  std::expected<os::Data, StorageError> readValue() override { return bytes; }
  std::expected<void, StorageError> writeValue(const std::optional<os::Data>& value) override {
    if (failWrites) return std::unexpected(StorageError::writeError);
    bytes = value.value_or(os::Data());
    return {};
  }
  os::Data bytes;
  bool failWrites = false;
};
}  // namespace

TEST_F(HeartbeatControllerTest, OneHeartbeatPerUTCDay) {
  HeartbeatController controller(kID);
  controller.log("agent");
  clock_->advance(30);
  controller.log("agent");  // 23:59:30, same day
  clock_->advance(60);
  controller.log("agent");  // 00:00:30, next day
  auto payload = controller.flush();
  ASSERT_EQ(payload.userAgentPayloads.size(), 1u);
  EXPECT_EQ(payload.userAgentPayloads[0].dates,
            (std::vector<os::Date>{os::Date::fromTimeIntervalSince1970(1'700'006'400.0),
                                   os::Date::fromTimeIntervalSince1970(1'700'006'400.0 + 86400)}));

  // The last-added date survives the flush.
  controller.log("agent");
  EXPECT_EQ(storedHeartbeats(controller), 0u);
  clock_->advance(86400);
  controller.log("agent");
  EXPECT_EQ(storedHeartbeats(controller), 1u);

  // A clock set back stores nothing.
  clock_->setWallTime(kBeforeMidnight - 2 * 86400);
  controller.log("agent");
  EXPECT_EQ(storedHeartbeats(controller), 0u);
}

TEST_F(HeartbeatControllerTest, StoreSurvivesRestartAndSharesOneStorage) {
  {
    HeartbeatController a(kID), b(kID);
    EXPECT_EQ(a.storage(), b.storage());
    a.log("agent");
    EXPECT_EQ(a.flushHeartbeatFromToday().userAgentPayloads.size(), 1u);
    clock_->advance(86400);
    b.log("agent");
    os::dispatch::drainUntilIdle();
  }
  ASSERT_TRUE(os::FileManager::defaultManager().fileExistsAtPath(storePath()));
  HeartbeatController relaunched(kID);
  clock_->advance(86400);
  // Yesterday's heartbeat is not today's.
  EXPECT_TRUE(relaunched.flushHeartbeatFromToday().isEmpty());
  EXPECT_EQ(storedHeartbeats(relaunched), 1u);
}

TEST_F(HeartbeatControllerTest, DamagedOrEmptyFileIsReplaced) {
  ASSERT_TRUE(os::FileManager::defaultManager().createDirectoryAtPath(
      sandbox_.sandbox()->applicationSupportDirectory() + "/devuvo-heartbeat-storage", true));
  for (const std::string bytes : {"{not json", "", "[]", R"({"capacity":30})"}) {
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(storePath(), os::Data::fromString(bytes)));
    HeartbeatController controller(kID);
    controller.log("agent");
    EXPECT_EQ(storedHeartbeats(controller), 1u) << bytes;
  }
  // A fresh flush leaves an empty file.
  ASSERT_TRUE(os::FileManager::defaultManager().removeItemAtPath(storePath()));
  HeartbeatController fresh(kID);
  EXPECT_TRUE(fresh.flush().isEmpty());
  EXPECT_EQ(os::FileManager::defaultManager().contentsAtPath(storePath())->size(), 0u);
}

TEST_F(HeartbeatControllerTest, FailedWriteKeepsHeartbeatsForTheNextFlush) {
  auto bytes = std::make_shared<FlakyStorage>();
  HeartbeatController controller(HeartbeatStorage::TEST_make(kID, bytes), [] { return os::Date::now(); });
  controller.log("agent");
  controller.storage()->updateSync([](auto bundle) { return bundle; });  // the log is written
  bytes->failWrites = true;
  EXPECT_TRUE(controller.flush().isEmpty());
  bytes->failWrites = false;
  EXPECT_EQ(storedHeartbeats(controller), 1u);
}

// A read that failed (too many open files) counted as "no heartbeats", so the
// next log wrote a fresh bundle over the stored ones.
TEST_F(HeartbeatControllerTest, FailedReadKeepsTheStoredHeartbeats) {
  {
    HeartbeatController first(kID);
    first.log("agent");
    os::dispatch::drainUntilIdle();
  }
  HeartbeatController relaunched(kID);
  {
    auto faulty = std::make_shared<os::FaultInjectingFileSystem>();
    os::ScopedFileSystem installed(faulty);
    faulty->inject(os::FileOp::Open, os::FaultInjectingFileSystem::Fault{EMFILE, storePath(), 0, 2});
    clock_->advance(86400);
    relaunched.log("agent");                    // dropped: the stored bundle is not written over
    EXPECT_TRUE(relaunched.flush().isEmpty());  // reported as nothing to send, nothing taken
    EXPECT_EQ(faulty->failureCount(os::FileOp::Open), 2);
  }
  clock_->advance(86400);
  relaunched.log("agent");
  EXPECT_EQ(storedHeartbeats(relaunched), 2u);
}

// The cache of storages died at exit before a storage held by another static
// (the app object), whose destructor then erased from it: memory damage at
// every exit, seen by the sanitizer build.
TEST_F(HeartbeatControllerTest, StorageHeldByAStaticOutlivesTheCacheAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static std::shared_ptr<HeartbeatStorage> heldUntilExit;
        heldUntilExit = HeartbeatStorage::instance(kID);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}
