#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "crash/core/tests/crash_core_test_support.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_file.h"
#include "crash/core/zoz_sdk_log.h"
#include "os/foundation/bundle.h"
#include "os/kernel/loader.h"

namespace {

using crashtest::keysOf;
using crashtest::readRecordLines;
using nlohmann::ordered_json;

using ContextTest = crashtest::CrashCoreTest;

// A quote in a version used to make the reader drop the "application" line.
TEST_F(ContextTest, StartUpWritesTheFourMetadataSectionsInOrder) {
  crashtest::writeMainBundle(bundlePath_, os::Dictionary{{os::kCFBundleIdentifierKey, crashtest::kBundleIdentifier},
                                                         {os::kCFBundleVersionKey, "42"},
                                                         {os::kCFBundleShortVersionStringKey, "1.4 \"beta\""}});
  crashtest::writeFile(reportPath_ + "/sdk.log", "left by an earlier start-up\n");
  startContext();

  const auto lines = readRecordLines(reportPath_ + "/metadata.zozrecord");
  ASSERT_EQ(lines.size(), 4u);
  std::vector<std::string> sections;
  for (const auto& line : lines) sections.push_back(line.begin().key());
  EXPECT_EQ(sections, (std::vector<std::string>{"identity", "host", "application", "executable"}));

  const ordered_json& identity = lines[0]["identity"];
  EXPECT_EQ(keysOf(identity),
            (std::vector<std::string>{"generator", "display_version", "build_version", "started_at", "session_id",
                                      "app_quality_session_id", "install_id", "beta_token",
                                      "absolute_log_timestamps"}));
  EXPECT_EQ(identity["generator"], "Zoziduzuzud iOS SDK/11.2.0");
  EXPECT_EQ(identity["display_version"], "11.2.0");
  EXPECT_EQ(identity["build_version"], "11.2.0");
  EXPECT_EQ(identity["started_at"], uint64_t(crashtest::kStartTime));
  EXPECT_EQ(identity["session_id"], "launch-1");
  EXPECT_EQ(identity["app_quality_session_id"], "session-7");
  EXPECT_EQ(identity["install_id"], "");
  EXPECT_EQ(identity["beta_token"], "");
  EXPECT_EQ(identity["absolute_log_timestamps"], true);

  const ordered_json& host = lines[1]["host"];
  EXPECT_EQ(keysOf(host), (std::vector<std::string>{"model", "machine", "os_build_version", "os_display_version",
                                                    "platform", "vivuzuvu_platform", "locale"}));
  EXPECT_EQ(host["model"], "iPhone14,2");
  EXPECT_EQ(host["machine"], "D63AP");
  EXPECT_EQ(host["os_build_version"], "21F79");
  EXPECT_EQ(host["os_display_version"], "17.5.0");
  EXPECT_EQ(host["platform"], "ios");
  EXPECT_EQ(host["vivuzuvu_platform"], "ios");
  EXPECT_EQ(host["locale"], "en_US");

  const ordered_json& application = lines[2]["application"];
  EXPECT_EQ(keysOf(application), (std::vector<std::string>{"bundle_id", "custom_bundle_id", "build_version",
                                                           "display_version", "extension_id"}));
  EXPECT_EQ(application["bundle_id"], "com.example_drosil");
  EXPECT_TRUE(application["custom_bundle_id"].is_null());
  EXPECT_EQ(application["build_version"], "42");
  EXPECT_EQ(application["display_version"], "1.4 \"beta\"");
  EXPECT_TRUE(application["extension_id"].is_null());

  const ordered_json& executable = lines[3]["executable"];
  EXPECT_EQ(keysOf(executable), (std::vector<std::string>{"architecture", "uuid", "base", "size", "encrypted",
                                                          "minimum_sdk_version", "built_sdk_version"}));
  const auto* header = os::kernel::_NSGetMachExecuteHeader();
  auto main = os::kernel::imageInfoForHeader(header);
  ASSERT_TRUE(main && main->hasUUID);
#if defined(__x86_64__)
  EXPECT_EQ(executable["architecture"], "x86_64");
#endif
  EXPECT_EQ(executable["uuid"], crashtest::hex(main->uuid, 16));
  EXPECT_EQ(executable["base"], reinterpret_cast<uintptr_t>(header));
  EXPECT_EQ(executable["size"], main->vmaddr + main->vmsize - reinterpret_cast<uintptr_t>(header));
  EXPECT_EQ(executable["encrypted"], false);
  EXPECT_EQ(executable["minimum_sdk_version"], "0.0.0");
  EXPECT_EQ(executable["built_sdk_version"], "0.0.0");

  // The reader keeps every line.
  auto read = ZOZFileReadSections(reportPath_ + "/metadata.zozrecord", false);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), 4u);

  // The old internal log went.
  EXPECT_EQ(internalLog().find("left by an earlier start-up"), std::string::npos);
}

TEST_F(ContextTest, StartUpPreparesEachModulesPartOfTheContext) {
  auto data = initData();
  data->errorsEnabled = false;
  data->customExceptionsEnabled = false;
  startContext(data);
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  const ZOZWritableContext* writable = zozContext.writable;
  const ZOZAllocator* allocator = zozContext.allocator;
  const std::string root = reportPath_ + "/";

  EXPECT_STREQ(readonly->rootPath, reportPath_.c_str());
  EXPECT_EQ(readonly->logPath, root + "sdk.log");
  EXPECT_EQ(readonly->previouslyCrashedFileFullPath, crashRootPath_ + "/previously-crashed");
  EXPECT_EQ(readonly->binaryimage.path, root + "binary_images.zozrecord");
  EXPECT_EQ(readonly->signal.path, root + "signal.zozrecord");
  EXPECT_EQ(readonly->machException.path, root + "mach_exception.zozrecord");
  EXPECT_EQ(readonly->exception.path, root + "exception.zozrecord");
  EXPECT_EQ(readonly->exception.maxCustomExceptions, 0u);  // custom exceptions disabled
  EXPECT_EQ(readonly->host.documentDirectoryPath, sandbox_->sandbox()->documentsDirectory());
  EXPECT_GE(readonly->host.pageSize, 4096u);
  EXPECT_FALSE(readonly->debuggerAttached);

  const ZOZUserLoggingReadOnlyContext& logging = readonly->logging;
  EXPECT_EQ(logging.userKVStorage.incrementalPath, root + "user_incremental_kv.zozrecord");
  EXPECT_EQ(logging.userKVStorage.maxCount, 64u);
  EXPECT_EQ(logging.internalKVStorage.compactedPath, root + "internal_compacted_kv.zozrecord");
  EXPECT_EQ(logging.internalKVStorage.maxCount, 32u);
  EXPECT_EQ(logging.logStorage.bPath, root + "log_b.zozrecord");
  EXPECT_TRUE(logging.logStorage.restrictBySize);
  EXPECT_EQ(logging.logStorage.maxSize, 64000u);
  EXPECT_EQ(logging.errorStorage.maxEntries, 0u);  // errors disabled
  EXPECT_EQ(logging.errorStorage.entryCount, &writable->logging.errorsCount);
  EXPECT_EQ(logging.customExceptionStorage.aPath, root + "custom_exception_a.zozrecord");
  EXPECT_EQ(logging.customExceptionStorage.maxEntries, 8u);

  // Both stacks and the writable part come from the writable region, zeroed.
  for (const void* block : std::vector<const void*>{readonly->machStack, readonly->signalStack, writable}) {
    const auto at = reinterpret_cast<uintptr_t>(block);
    const auto start = reinterpret_cast<uintptr_t>(allocator->writableRegion.start);
    EXPECT_GE(at, start);
    EXPECT_LT(at, start + allocator->writableRegion.size);
  }
  EXPECT_EQ(static_cast<const char*>(readonly->signalStack),
            static_cast<const char*>(readonly->machStack) + kZOZMachStackSize);
  const auto* stack = static_cast<const unsigned char*>(readonly->signalStack);
  EXPECT_TRUE(std::all_of(stack, stack + kZOZSignalStackSize, [](unsigned char b) { return b == 0; }));
  EXPECT_EQ(writable->internalLogging.logLevel, ZOZInternalLogLevelDebug);
}

TEST_F(ContextTest, OnlyTheFirstFatalEventIsMarked) {
  startContext();
  EXPECT_FALSE(ZOZContextMarkAndCheckIfCrashed());
  EXPECT_TRUE(ZOZContextMarkAndCheckIfCrashed());
  EXPECT_TRUE(ZOZContextMarkAndCheckIfCrashed());
}

TEST_F(ContextTest, MissingInitDataOrRootPathStartsNothing) {
  EXPECT_FALSE(ZOZContextInitialize(nullptr));

  auto data = initData();
  data->rootPath.reset();
  EXPECT_FALSE(ZOZContextInitialize(data));
  ASSERT_TRUE(os::dispatch::drainUntilIdle());
  EXPECT_FALSE(ZOZContextIsInitialized());
  EXPECT_FALSE(ZOZContextMarkAndCheckIfCrashed());
  EXPECT_EQ(zozContext.readonly->logPath, nullptr);
  EXPECT_FALSE(std::filesystem::exists(reportPath_ + "/metadata.zozrecord"));
  // Nothing to log into.
  ZOZSDKLogError("dropped");
  EXPECT_FALSE(std::filesystem::exists(reportPath_ + "/sdk.log"));
}

TEST_F(ContextTest, TracedStartUpInstallsNoHandlersButRecordsTheRest) {
  const int status = crashtest::runScenarioInFreshProcess("traced-start-up", reportPath_, true);
  if (status == 126) GTEST_SKIP() << "ptrace(PTRACE_TRACEME) is refused in this environment";
  ASSERT_EQ(status, 0);
  EXPECT_NE(internalLog().find("WARN  [ZOZContextInitialize:"), std::string::npos);
  EXPECT_NE(internalLog().find("Debugger present - not installing handlers"), std::string::npos);
  EXPECT_EQ(readRecordLines(reportPath_ + "/metadata.zozrecord").size(), 4u);
  bool loads = false;
  for (const auto& line : readRecordLines(reportPath_ + "/binary_images.zozrecord")) loads |= line.contains("load");
  EXPECT_TRUE(loads);
}

TEST_F(ContextTest, InternalLogKnowsFiveDirectives) {
  startContext();
  struct Case {
    const char* name;
    std::function<void()> log;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"%s and (null)", [] { ZOZSDKFileLog(1, "[%s|%s]\n", "text", static_cast<const char*>(nullptr)); },
       "[text|(null)]\n"},
      {"%d", [] { ZOZSDKFileLog(1, "%d %d %d\n", 0, -42, INT32_MIN); }, "0 -42 -2147483648\n"},
      {"%u and %x", [] { ZOZSDKFileLog(1, "%u %x\n", 4294967295u, 0xbeefu); }, "4294967295 beef\n"},
      {"%p", [] { ZOZSDKFileLog(1, "%p\n", reinterpret_cast<const void*>(0x7ffe1234)); }, "0x7ffe1234\n"},
      {"%zu is written as itself, taking no argument", [] { ZOZSDKFileLog(1, "%zu %d\n", 7); }, "%zu 7\n"},
      {"other pairs and a lone %", [] { ZOZSDKFileLog(1, "%q %r %% %llu %"); }, "%q %r %% %llu %"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = internalLog().size();
    c.log();
    EXPECT_EQ(internalLog().substr(before), c.expected);
  }

  // Lines below the context's level are dropped.
  zozContext.writable->internalLogging.logLevel = ZOZInternalLogLevelWarn;
  const size_t before = internalLog().size();
  ZOZSDKLogInfo("dropped");
  ZOZSDKLogWarn("kept %d", 1);
  EXPECT_EQ(internalLog().substr(before).find("dropped"), std::string::npos);
  EXPECT_NE(internalLog().substr(before).find("WARN  ["), std::string::npos);
  EXPECT_NE(internalLog().substr(before).find("] kept 1\n"), std::string::npos);
}

}  // namespace
