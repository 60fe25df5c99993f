// The removal of an expired session's properties when the store's writes
// fail: all of them or none, and the event that found the session expired is
// stored either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "measurement/engine/events/event_intake.h"
#include "measurement/engine/tests/pipeline_test_support.h"
#include "measurement/store/database.h"
#include "measurement/store/testing/sqlite_fault_vfs.h"

namespace {

using pipeline_test::now;
using pipeline_test::PipelineTest;

// The store is opened through the fault VFS; every line is recorded, silent
// levels included.
class SessionExpiryTest : public PipelineTest {
 protected:
  void SetUp() override {
    vfs_ = std::make_unique<apm_test::SqliteFaultVFS>();
    PipelineTest::SetUp();
    monitor_->TEST_setLogObserver([this](int64_t, int64_t code, const std::vector<APMLogContext>&) {
      std::lock_guard lock(loggedMutex_);
      logged_.push_back(code);
    });
  }
  void TearDown() override {
    PipelineTest::TearDown();
    monitor_->TEST_setLogObserver(nullptr);
  }
  // The codes logged since the last call.
  std::vector<int64_t> takeLogged() {
    settle();
    std::lock_guard lock(loggedMutex_);
    return std::exchange(logged_, {});
  }

  // Outlives the engine's connections: TearDown closes them first.
  std::unique_ptr<apm_test::SqliteFaultVFS> vfs_;

 private:
  std::mutex loggedMutex_;
  std::vector<int64_t> logged_;  // guarded by loggedMutex_
};

// Every write and sync of the removal fails in turn, then of the event's own
// transaction, until an attempt goes through whole.
TEST_F(SessionExpiryTest, AFailedRemovalKeepsEverySessionPropertyAndTheEvent) {
  start();  // the launch's session; the app never becomes active here
  const char* const properties[] = {"_sid", "_sno", "_se"};
  const auto present = [&] {
    std::vector<bool> out;
    for (const char* name : properties) out.push_back(!userAttribute(name).isNull());
    return out;
  };
  const std::vector<bool> all(3, true), none(3, false);
  int removalFailures = 0;
  for (int n = 1;; ++n) {
    SCOPED_TRACE(n);
    onWorker([&](APMMeasurement& engine) {
      for (const char* name : properties) {
        engine.database()->updateUserAttribute(
            APMUserAttribute::initWithOrigin("auto", name, APMValue::initWithInt64(7), now()), nullptr);
      }
    });
    ASSERT_EQ(present(), all);
    clearStoredEvents();
    clock_->advance(1801);  // past the session's timeout
    (void)takeLogged();

    vfs_->failNthWriteOrSync(n, 1, kAPMDatabaseName);
    logApp("reading", {});
    vfs_->disarm();
    const auto logged = takeLogged();
    const auto loggedCount = [&](int64_t code) { return std::count(logged.begin(), logged.end(), code); };
    if (!vfs_->hasFailed()) {
      EXPECT_EQ(present(), none);
      EXPECT_EQ(storedNames(), std::vector<std::string>{"reading"});
      EXPECT_GT(removalFailures, 0);
      break;
    }
    if (present() == all) {
      // The removal failed, at its first deletion (23177) or as it
      // committed, and was rolled back; the event is stored all the same.
      removalFailures += loggedCount(kAPMPipelineCodeSessionIDRemoveFailed);
      EXPECT_LE(loggedCount(kAPMPipelineCodeSessionIDRemoveFailed), 1);
      EXPECT_EQ(loggedCount(kAPMDatabaseCodeTransactionFailed), 1);
      EXPECT_EQ(storedNames(), std::vector<std::string>{"reading"});
    } else {
      // The removal went through; the event's own write failed.
      EXPECT_EQ(present(), none);
      EXPECT_EQ(loggedCount(kAPMPipelineCodeSessionIDRemoveFailed), 0);
      EXPECT_TRUE(storedNames().empty());
    }
    ASSERT_LT(n, 100) << "the writes never stop failing";
  }
}

}  // namespace
