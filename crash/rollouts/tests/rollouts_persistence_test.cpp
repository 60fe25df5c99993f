#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "crash/rollouts/zoz_rollouts_persistence_manager.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/logger.h"
#include "sdk-core/core/rez_logger.h"

namespace {

namespace fs = std::filesystem;

class RolloutsPersistenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DAZLoggerTEST_reset();
    REZLoggerTEST_reset();
    REZLoggerSetLevel(DAZLoggerLevel::Debug);
    capture_ = std::make_unique<os::LogCapture>();
    files_ = std::make_shared<ZOZFileManager>(sandbox_.sandbox()->cachesDirectory(), "com.example.drosil");
    queue_ = os::DispatchQueue::serial(kZOZRolloutsQueueLabel);
  }
  void TearDown() override {
    DAZLoggerTEST_flush();
    capture_.reset();
    DAZLoggerTEST_reset();
    REZLoggerTEST_reset();
  }
  size_t lines(const std::string& text) {
    DAZLoggerTEST_flush();
    return capture_->recordsContaining(text).size();
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  os::TemporarySandbox sandbox_;
  std::unique_ptr<os::LogCapture> capture_;
  std::shared_ptr<ZOZFileManager> files_;
  std::shared_ptr<os::DispatchQueue> queue_;
};

TEST_F(RolloutsPersistenceTest, EachUpdateAppendsOneLineInOrder) {
  ASSERT_TRUE(files_->setupNewPathForExecutionIdentifier("launch-1"));
  auto manager = ZOZRolloutsPersistenceManager::initWithFileManagerAndQueue(files_, queue_);
  ASSERT_TRUE(manager);
  manager->updateRolloutsStateToPersistenceWithRollouts(os::Data::fromString(R"({"rollouts":[1]})"), "launch-1");
  manager->updateRolloutsStateToPersistenceWithRollouts(os::Data::fromString(R"({"rollouts":[2]})"), "launch-1");
  queue_->sync([] {});
  EXPECT_EQ(read(files_->activePath() + "/launch-1/rollouts.zozrecord"),
            "{\"rollouts\":[1]}\n{\"rollouts\":[2]}\n");
}

TEST_F(RolloutsPersistenceTest, MissingReportDirectoryLogsTheErrorCode) {
  auto manager = ZOZRolloutsPersistenceManager::initWithFileManagerAndQueue(files_, queue_);
  ASSERT_TRUE(manager);
  manager->updateRolloutsStateToPersistenceWithRollouts(os::Data::fromString("{}"), "missing");
  queue_->sync([] {});
  EXPECT_EQ(lines("Could not create rollouts.zozrecord file. Error was code: 2 - message: No such file or directory"),
            1u);
  EXPECT_FALSE(fs::exists(files_->activePath() + "/missing"));

  EXPECT_FALSE(ZOZRolloutsPersistenceManager::initWithFileManagerAndQueue(files_, nullptr));
  EXPECT_EQ(lines("Failed to initialize ZOZRolloutsPersistenceManager, logging queue is nil"), 1u);
}

}  // namespace
