#include "platform/utilities/logger.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "os/foundation/system_log.h"

namespace {

constexpr const char* kSubsystem = "com.devuvo.utilities.tests";

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override { DAZLoggerTEST_reset(); }
  void TearDown() override {
    DAZLoggerTEST_flush();
    DAZLoggerTEST_reset();
  }

  std::vector<os::LogRecord> lines(const std::string& subsystem = kSubsystem) {
    DAZLoggerTEST_flush();
    std::vector<os::LogRecord> out;
    for (auto& r : capture_.records()) {
      if (r.subsystem == subsystem) out.push_back(r);
    }
    return out;
  }

  os::LogCapture capture_;
};

TEST_F(LoggerTest, EachLevelWritesTheLineWithItsLogType) {
  DAZLoggerRegisterVersion("11.2.0");
  DAZSetLoggerLevel(DAZLoggerLevel::Debug);
  DAZLogError(kSubsystem, "[Cat]", false, "I-TST000003", "error %d", 3);
  DAZLogWarning(kSubsystem, "[Cat]", false, "I-TST000004", "warning %@", std::string("w"));
  DAZLogNotice(kSubsystem, "[Cat]", false, "I-TST000005", "notice %s", "n");
  DAZLogInfo(kSubsystem, "[Cat]", false, "I-TST000006", "info %.1f", 6.0);
  DAZLogDebug(kSubsystem, "<Other>", false, "I-TST000007", "debug %ld", 7L);
  DAZLogBasic(static_cast<DAZLoggerLevel>(1), kSubsystem, "[Cat]", false, "I-TST000001", "below error", std::nullopt);

  struct Expected {
    const char* category;
    os::LogType type;
    const char* message;
  };
  const Expected expected[] = {
      {"[Cat]", os::LogType::Error, "11.2.0 - [Cat][I-TST000003] error 3"},
      {"[Cat]", os::LogType::Default, "11.2.0 - [Cat][I-TST000004] warning w"},
      {"[Cat]", os::LogType::Default, "11.2.0 - [Cat][I-TST000005] notice n"},
      {"[Cat]", os::LogType::Info, "11.2.0 - [Cat][I-TST000006] info 6.0"},
      {"<Other>", os::LogType::Debug, "11.2.0 - <Other>[I-TST000007] debug 7"},
      {"[Cat]", os::LogType::Error, "11.2.0 - [Cat][I-TST000001] below error"},
  };
  const auto got = lines();
  ASSERT_EQ(got.size(), std::size(expected));
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].category, expected[i].category);
    EXPECT_EQ(got[i].type, expected[i].type);
    EXPECT_EQ(got[i].message, expected[i].message);
  }
}

TEST_F(LoggerTest, InvalidLevelIsLoggedEvenAtErrorLevelAndIgnored) {
  DAZSetLoggerLevel(DAZLoggerLevel::Error);
  DAZSetLoggerLevel(static_cast<DAZLoggerLevel>(2));
  DAZSetLoggerLevel(static_cast<DAZLoggerLevel>(8));
  EXPECT_FALSE(DAZIsLoggableLevel(DAZLoggerLevel::Warning));
  EXPECT_TRUE(DAZIsLoggableLevel(DAZLoggerLevel::Error));

  const auto got = lines(kDAZLoggerSubsystem);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].message, " - [DAZLogger][I-COR000023] Invalid logger level, 2");
  EXPECT_EQ(got[1].message, " - [DAZLogger][I-COR000023] Invalid logger level, 8");
  EXPECT_EQ(got[1].category, "[DAZLogger]");
  EXPECT_EQ(got[1].type, os::LogType::Error);
}

TEST_F(LoggerTest, FilterDropsAboveLevelUnlessForced) {
  EXPECT_TRUE(DAZIsLoggableLevel(DAZLoggerLevel::Notice));
  EXPECT_FALSE(DAZIsLoggableLevel(DAZLoggerLevel::Info));
  DAZLogDebug(kSubsystem, "[Cat]", false, "I-TST000001", "dropped");
  DAZLogInfo(kSubsystem, "[Cat]", false, "I-TST000002", "dropped");
  DAZLogDebug(kSubsystem, "[Cat]", true, "I-TST000003", "forced");
  DAZLogNotice(kSubsystem, "[Cat]", false, "I-TST000004", "kept");
  auto got = lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].message, " - [Cat][I-TST000003] forced");
  EXPECT_EQ(got[0].type, os::LogType::Debug);
  EXPECT_EQ(got[1].message, " - [Cat][I-TST000004] kept");
}

TEST_F(LoggerTest, ForceDebugOpensEveryLevelOutsideStoreBuilds) {
  DAZSetLoggerLevel(DAZLoggerLevel::Error);
  DAZLoggerForceDebug();
  for (long level = 0; level <= 9; ++level) EXPECT_TRUE(DAZIsLoggableLevel(static_cast<DAZLoggerLevel>(level)));
  // The flag outlives a later lowering of the level.
  DAZSetLoggerLevel(DAZLoggerLevel::Error);
  DAZLogDebug(kSubsystem, "[Cat]", false, "I-TST000001", "still written");
  EXPECT_EQ(lines().size(), 1u);
}

TEST_F(LoggerTest, MessageWithoutArgumentsIsVerbatim) {
  DAZLogBasic(DAZLoggerLevel::Error, kSubsystem, "[Cat]", false, "I-TST000001", "100%d done %@", std::nullopt);
  const os::FormatArg args[] = {os::FormatArg(5)};
  DAZLoggerWrapper::logWithLevel(DAZLoggerLevel::Error, kSubsystem, "[Cat]", "I-TST000002", "%d%%", args);
  DAZLoggerWrapper::logWithLevel(DAZLoggerLevel::Error, "[Service]", "I-TST000003", "%d", std::nullopt);
  auto got = lines();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].message, " - [Cat][I-TST000001] 100%d done %@");
  EXPECT_EQ(got[1].message, " - [Cat][I-TST000002] 5%");
  auto wrapped = lines(kDAZLoggerSubsystem);
  ASSERT_EQ(wrapped.size(), 1u);
  EXPECT_EQ(wrapped[0].category, "[Service]");
  EXPECT_EQ(wrapped[0].message, " - [Service][I-TST000003] %d");
}

TEST_F(LoggerTest, LinesOfEachThreadKeepTheirOrder) {
  constexpr int kPerThread = 200;
  auto writer = [](const char* category) {
    for (int i = 0; i < kPerThread; ++i) DAZLogError(kSubsystem, category, false, "I-TST000001", "%d", i);
  };
  std::thread a(writer, "[A]"), b(writer, "[B]");
  a.join();
  b.join();
  int nextA = 0, nextB = 0;
  for (const auto& r : lines()) {
    int& next = r.category == "[A]" ? nextA : nextB;
    EXPECT_EQ(r.message, os::format(" - %@[I-TST000001] %d", r.category, next));
    ++next;
  }
  EXPECT_EQ(nextA, kPerThread);
  EXPECT_EQ(nextB, kPerThread);
}

}  // namespace
