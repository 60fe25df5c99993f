// Custom keys, log messages and recorded errors in the report directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crash/core/tests/crash_core_test_support.h"
#include "crash/core/zoz_user_logging.h"

namespace {

using crashtest::readRecordLines;

class UserLoggingTest : public crashtest::CrashCoreTest {
 protected:
  // Waits for the compactions and swaps queued so far.
  void drainLogging() { ZOZContextLoggingQueue()->sync([] {}); }
  std::string path(const char* name) const { return reportPath_ + "/" + name; }
  bool exists(const char* name) const { return std::filesystem::exists(path(name)); }
  size_t lineCount(const char* name) const { return readRecordLines(path(name)).size(); }
  uintmax_t size(const char* name) const { return exists(name) ? std::filesystem::file_size(path(name)) : 0; }
  os::Dictionary userEntries() const {
    return ZOZUserLoggingGetCompactedKVEntries(&zozContext.readonly->logging.userKVStorage, true);
  }
};

std::string keyName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "key-%02d", i);
  return name;
}

TEST_F(UserLoggingTest, SixtyFourDistinctKeysCompactOnceAfterTheLast) {
  startContext();
  for (int i = 0; i < 63; ++i) ZOZUserLoggingRecordUserKeyValue(keyName(i), os::Value(int64_t(i)));
  drainLogging();
  EXPECT_EQ(lineCount(kZOZUserIncrementalKVFileName), 63u);
  EXPECT_FALSE(exists(kZOZUserCompactedKVFileName));

  ZOZUserLoggingRecordUserKeyValue(keyName(63), os::Value(int64_t(63)));
  drainLogging();
  EXPECT_FALSE(exists(kZOZUserIncrementalKVFileName));
  const auto compacted = readRecordLines(path(kZOZUserCompactedKVFileName));
  ASSERT_EQ(compacted.size(), 64u);
  // Compacted lines keep the hex text as plain strings.
  EXPECT_EQ(compacted[0]["kv"]["key"], crashtest::hex(reinterpret_cast<const uint8_t*>("key-00"), 6));
  const os::Dictionary entries = userEntries();
  ASSERT_EQ(entries.size(), 64u);
  EXPECT_EQ(entries.at("key-17").stringValue(), "17");
}

TEST_F(UserLoggingTest, ANilValueRemovesTheKeyAtOnce) {
  startContext();
  ZOZUserLoggingRecordUserKeysAndValues(os::Dictionary{{"a", os::Value("1")}, {"b", os::Value("2")}});
  ZOZUserLoggingRecordUserKeyValue("a", std::nullopt);
  drainLogging();
  EXPECT_FALSE(exists(kZOZUserIncrementalKVFileName));
  EXPECT_EQ(userEntries(), (os::Dictionary{{"b", os::Value("2")}}));
}

TEST_F(UserLoggingTest, CompactionKeepsAtMostTheMaximumAndSaysHowManyWereCut) {
  auto data = initData();
  data->maxKeyValues = 64;
  startContext(data);
  os::Dictionary many;
  for (int i = 0; i < 70; ++i) many[keyName(i)] = os::Value("v");
  ZOZUserLoggingRecordUserKeysAndValues(many);
  drainLogging();
  EXPECT_EQ(lineCount(kZOZUserCompactedKVFileName), 64u);
  EXPECT_NE(internalLog().find("Truncating 6 keys from KV set, which is above max 64"), std::string::npos);
}

TEST_F(UserLoggingTest, TheLogPairSwapsWhenTheActiveFilePassesItsSize) {
  auto data = initData();
  data->maxLogSize = 64000;
  startContext(data);
  const std::string message(1000, 'm');
  // Until log_a passes the bound: the entry that passes it is still in a.
  int written = 0;
  while (size(kZOZLogAFileName) <= 64000) {
    ZOZLog("%s", message);
    drainLogging();
    ASSERT_LT(++written, 100);
  }
  EXPECT_LT(size(kZOZLogAFileName), 64000u + 2100u);
  EXPECT_FALSE(exists(kZOZLogBFileName));
  ZOZLog("%s", std::string("next"));
  drainLogging();
  EXPECT_EQ(lineCount(kZOZLogBFileName), 1u);
  const auto first = readRecordLines(path(kZOZLogBFileName));
  EXPECT_EQ(first[0]["log"]["msg"], crashtest::hex(reinterpret_cast<const uint8_t*>("next"), 4));
  EXPECT_EQ(first[0]["log"]["time"], uint64_t(crashtest::kStartTime * 1000));

  // b passes the bound too: a is emptied and written again.
  while (size(kZOZLogBFileName) <= 64000) {
    ZOZLog("%s", message);
    drainLogging();
    ASSERT_LT(++written, 200);
  }
  ZOZLog("%s", std::string("again"));
  drainLogging();
  EXPECT_EQ(lineCount(kZOZLogAFileName), 1u);
}

// A message longer than the bound used to be cut by bytes, inside a
// character when one straddled the bound, and then did not decode.
TEST_F(UserLoggingTest, AMessageOverTheBoundIsCutAtACharacterAndStillDecodes) {
  auto data = initData();
  data->maxLogSize = 8;
  startContext(data);
  struct Case {
    std::string message, kept;
  } cases[] = {
      {"abcdefghij", "abcdefgh"},
      {"abcdefg\xc3\xa9", "abcdefg"},         // two-byte character across the bound
      {"abcdef\xe2\x82\xac!", "abcdef"},      // three bytes, one past it
      {"abcde\xe2\x82\xac!", "abcde\xe2\x82\xac"},  // ends on the bound
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kept);
    // Every entry passes the bound: the pair swaps after each.
    for (const char* name : {kZOZLogAFileName, kZOZLogBFileName}) std::filesystem::remove(path(name));
    ZOZLog("%s", c.message);
    drainLogging();
    auto lines = readRecordLines(path(kZOZLogAFileName));
    if (lines.empty()) lines = readRecordLines(path(kZOZLogBFileName));
    ASSERT_EQ(lines.size(), 1u);
    const std::string hexText = lines[0]["log"]["msg"];
    EXPECT_EQ(ZOZFileHexDecodeString(hexText.c_str()), c.kept);
  }
}

TEST_F(UserLoggingTest, ErrorsAreWrittenOnlyWhenEnabled) {
  for (bool enabled : {false, true}) {
    SCOPED_TRACE(enabled);
    std::filesystem::remove(path(kZOZErrorsAFileName));
    auto data = initData();
    data->errorsEnabled = enabled;
    startContext(data);
    const os::Error error("com.example.meter", -7, os::Dictionary{{"reason", os::Value("too dark")}});
    const os::Dictionary extra{{"lux", os::Value(int64_t(3))}};
    ZOZUserLoggingRecordError(&error, &extra, std::string("{\"rollouts\":[]}"));
    drainLogging();
    if (!enabled) {
      EXPECT_FALSE(exists(kZOZErrorsAFileName));
      continue;
    }
    const auto lines = readRecordLines(path(kZOZErrorsAFileName));
    ASSERT_EQ(lines.size(), 1u);
    const auto& entry = lines[0]["error"];
    EXPECT_EQ(entry["domain"], crashtest::hex(reinterpret_cast<const uint8_t*>("com.example.meter"), 17));
    EXPECT_EQ(entry["code"], -7);
    EXPECT_FALSE(entry["stacktrace"].empty());
    EXPECT_EQ(entry["info"][0][1], crashtest::hex(reinterpret_cast<const uint8_t*>("too dark"), 8));
    EXPECT_EQ(entry["extra_info"][0][1], crashtest::hex(reinterpret_cast<const uint8_t*>("3"), 1));
    EXPECT_EQ(entry["rollouts"], nlohmann::ordered_json({{"rollouts", nlohmann::ordered_json::array()}}));
  }
}

}  // namespace
