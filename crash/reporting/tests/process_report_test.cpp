#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "crash/core/tests/crash_path_support.h"
#include "crash/reporting/tests/reporting_test_support.h"
#include "crash/reporting/zoz_process_report.h"

// Two adjacent functions of known sizes: the second begins exactly where the
// first (5 bytes) ends.
asm(R"(
  .text
  .globl zozReportingAdjacentFirst
  .type zozReportingAdjacentFirst, @function
zozReportingAdjacentFirst:
  nop
  nop
  nop
  nop
  ret
  .size zozReportingAdjacentFirst, .-zozReportingAdjacentFirst
  .globl zozReportingAdjacentSecond
  .type zozReportingAdjacentSecond, @function
zozReportingAdjacentSecond:
  ret
  .size zozReportingAdjacentSecond, .-zozReportingAdjacentSecond
)");
extern "C" void zozReportingAdjacentFirst();
extern "C" void zozReportingAdjacentSecond();

namespace reportingtest {
volatile int gSink = 0;
// Named, exported functions for the frames to resolve to.
[[gnu::noinline]] int symbolicatedFunction(int count) {
  int total = 0;
  for (int i = 0; i < count; ++i) total += gSink + i;
  return total;
}
[[gnu::noinline, gnu::no_sanitize("undefined", "address")]] void crashInNamedFunction(volatile int* pointer) {
  gSink = gSink + 1;
  *pointer = gSink;
}
}  // namespace reportingtest

namespace {

using nlohmann::ordered_json;
using reportingtest::ImageEntry;
using reportingtest::ReportingTest;
namespace fs = std::filesystem;

constexpr uint64_t kSyntheticBase = 0x10'0000'0000;

class ProcessReportTest : public ReportingTest {
 protected:
  void SetUp() override {
    ReportingTest::SetUp();
    self_ = reportingtest::imageDetailsForAddress(reinterpret_cast<uintptr_t>(&reportingtest::symbolicatedFunction));
    report_ = makeReport("processing", std::string("launch-1"));
  }
  // This program's image as the crashed process had it, at a synthetic base.
  ImageEntry syntheticSelf() const {
    return ImageEntry{"/opt/app/crash_reporting_tests", self_.uuidString, kSyntheticBase, self_.size};
  }
  uint64_t synthetic(const void* address, uint64_t delta = 0) const {
    return kSyntheticBase + (reinterpret_cast<uintptr_t>(address) - self_.baseAddress) + delta;
  }
  // The frames of the symbolicated companion of the record file.
  std::vector<std::vector<ordered_json>> symbolicated(const std::string& file) const {
    auto lines = reportingtest::readRecordLines(report_ + "/" + file + ".symbolicated");
    EXPECT_EQ(lines.size(), 1u);
    std::vector<std::vector<ordered_json>> threads;
    if (lines.empty()) return threads;
    for (const auto& thread : lines.front()["threads"]) threads.emplace_back(thread.begin(), thread.end());
    return threads;
  }
  void process() {
    auto report = ZOZInternalReport::reportWithPath(report_);
    ASSERT_TRUE(report);
    std::make_shared<ZOZProcessReportOperation>(report, std::make_shared<ZOZSymbolResolver>())->start();
  }

  ZOZBinaryImageDetails self_;
  std::string report_;
};

TEST_F(ProcessReportTest, FramesResolveThroughASyntheticSlide) {
  reportingtest::writeBinaryImages(report_, {syntheticSelf()});
  const void* function = reinterpret_cast<const void*>(&reportingtest::symbolicatedFunction);
  reportingtest::writeCrashRecord(report_ + "/signal.zozrecord", "signal", 100,
                                  {{synthetic(function, 4), synthetic(reinterpret_cast<const void*>(
                                                                &zozReportingAdjacentSecond))},
                                   {0x42, 0}});
  process();

  auto threads = symbolicated("signal.zozrecord");
  ASSERT_EQ(threads.size(), 2u);
  ASSERT_EQ(threads[0].size(), 2u);
  const ordered_json& cpp = threads[0][0];
  EXPECT_EQ(cpp["symbol"], "reportingtest::symbolicatedFunction(int)");
  EXPECT_EQ(cpp["raw_symbol"], "_ZN13reportingtest20symbolicatedFunctionEi");
  EXPECT_EQ(cpp["offset"], 4);
  EXPECT_EQ(cpp["library"], "crash_reporting_tests");

  // At a symbol's start: the return address of a call that ended the
  // previous function. A C name has no raw symbol of its own.
  const ordered_json& atStart = threads[0][1];
  EXPECT_EQ(atStart.dump(), R"({"symbol":"zozReportingAdjacentFirst","offset":3,"library":"crash_reporting_tests"})");

  const std::string unresolved = R"({"symbol":null,"raw_symbol":null,"offset":0,"library":null})";
  ASSERT_EQ(threads[1].size(), 2u);
  EXPECT_EQ(threads[1][0].dump(), unresolved);
  EXPECT_EQ(threads[1][1].dump(), unresolved);
}

TEST_F(ProcessReportTest, ImageEntriesWithoutABaseAndUnknownImagesAreIgnored) {
  reportingtest::writeBinaryImages(report_, {ImageEntry{"/lib/null-base.so", self_.uuidString, std::nullopt, ~0ull},
                                             ImageEntry{"/lib/elsewhere.so", "00112233445566778899aabbccddeeff",
                                                        0x2000, 0x1000},
                                             syntheticSelf()});
  ZOZSymbolResolver resolver;
  ASSERT_TRUE(resolver.loadBinaryImagesFromFile(report_ + "/binary_images.zozrecord"));
  ASSERT_EQ(resolver.binaryImages().size(), 2u);
  EXPECT_EQ(resolver.binaryImages()[0].at("base"), os::Value(0x2000));

  EXPECT_FALSE(resolver.frameForAddress(0x2010)) << "no image with that UUID is loaded";
  EXPECT_FALSE(resolver.frameForAddress(0));
  auto frame = resolver.frameForAddress(synthetic(reinterpret_cast<const void*>(&reportingtest::symbolicatedFunction), 1));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->library(), "crash_reporting_tests");

  EXPECT_FALSE(resolver.loadBinaryImagesFromFile(""));
  EXPECT_FALSE(resolver.loadBinaryImagesFromFile(report_ + "/missing.zozrecord"));
  EXPECT_EQ(lines("Failed to read binary image file"), 1u);
}

TEST_F(ProcessReportTest, OnlyTheFirstThreadsLineCountsAndFilesWithoutThreadsAreSkipped) {
  reportingtest::writeBinaryImages(report_, {syntheticSelf()});
  const void* function = reinterpret_cast<const void*>(&reportingtest::symbolicatedFunction);
  {
    reportingtest::RecordWriter writer(report_ + "/mach_exception.zozrecord");
    reportingtest::writeThreads(writer.get(), {{synthetic(function, 1)}});
    reportingtest::writeThreads(writer.get(), {{0x42}, {0x43}});
  }
  reportingtest::writeCrashRecord(report_ + "/exception.zozrecord", "exception", 100);
  process();

  auto threads = symbolicated("mach_exception.zozrecord");
  ASSERT_EQ(threads.size(), 1u);
  ASSERT_EQ(threads[0].size(), 1u);
  EXPECT_EQ(threads[0][0]["offset"], 1);
  EXPECT_FALSE(fs::exists(report_ + "/exception.zozrecord.symbolicated"));
  EXPECT_FALSE(fs::exists(report_ + "/signal.zozrecord.symbolicated"));
}

TEST_F(ProcessReportTest, ReportWithoutBinaryImagesIsLeftAlone) {
  reportingtest::writeCrashRecord(report_ + "/signal.zozrecord", "signal", 100, {{0x1234}});
  process();
  EXPECT_FALSE(fs::exists(report_ + "/signal.zozrecord.symbolicated"));
}

TEST_F(ProcessReportTest, DemanglingTable) {
  struct Case {
    const char* raw;
    std::optional<std::string> demangled;
  };
  const Case cases[] = {
      {"_ZN3foo3barEv", "foo::bar()"},
      {"__ZN3foo3barEv_block_invoke_2", "foo::bar()_block_invoke_2"},
      {"__ZN3foo3barEv_block_invoke", "foo::bar()_block_invoke"},
      {"__Z_block_invoke", std::nullopt},
      {"__Znotmangled_block_invoke_3", std::nullopt},
      {"__ZN3foo3barEv", std::nullopt},
      {"_Znot a name", std::nullopt},
      {"main", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(ZOZDemangleOperation::demangleSymbol(c.raw), c.demangled);
  }
  EXPECT_EQ(ZOZDemangleOperation::demangleSymbol(nullptr), std::nullopt);
}

TEST_F(ProcessReportTest, CancelledEnumerationSkipsTheRestOfEachThread) {
  auto threads = std::make_shared<ZOZThreadArray>();
  for (int t = 0; t < 2; ++t) {
    threads->emplace_back();
    for (uint64_t a = 1; a <= 3; ++a) threads->back().push_back(REZStackFrame::stackFrameWithAddress(a));
  }
  ZOZThreadArrayOperation operation(threads);
  operation.cancel();
  int visited = 0;
  operation.enumerateFramesWithBlock([&](REZStackFrame&) { ++visited; });
  EXPECT_EQ(visited, 2) << "the first frame of each thread";
}

const bool kCrashScenario =
    crashpath::registerScenario("reporting-crash", [](const std::string& directory, const std::string&) {
      if (!crashpath::startCaptureCore(directory)) return 2;
      reportingtest::crashInNamedFunction(nullptr);
      return 3;
    });

TEST_F(ProcessReportTest, RecordsOfACrashedChildAreSymbolicatedHere) {
  const std::string directory = crashpath::makeDirectory("crashed");
  auto result = crashpath::runScenario("reporting-crash", directory);
  ASSERT_EQ(result.signal, SIGSEGV) << result.describe();

  auto report = ZOZInternalReport::reportWithPath(directory);
  ASSERT_TRUE(report);
  std::make_shared<ZOZProcessReportOperation>(report, std::make_shared<ZOZSymbolResolver>())->start();

  auto records = crashpath::readRecordLines(directory + "/signal.zozrecord");
  const ordered_json* recorded = crashpath::findSection(records, "threads");
  ASSERT_TRUE(recorded);
  size_t crashed = recorded->size();
  for (size_t i = 0; i < recorded->size(); ++i) {
    if ((*recorded)[i].value("crashed", false)) crashed = i;
  }
  ASSERT_LT(crashed, recorded->size());

  auto lines = crashpath::readRecordLines(directory + "/signal.zozrecord.symbolicated");
  ASSERT_EQ(lines.size(), 1u);
  const ordered_json& threads = lines[0]["threads"];
  ASSERT_EQ(threads.size(), recorded->size());
  const ordered_json& frames = threads[crashed];
  ASSERT_EQ(frames.size(), (*recorded)[crashed]["stacktrace"].size());
  bool named = false;
  for (const auto& frame : frames) {
    if (!frame["symbol"].is_string()) continue;
    if (frame["symbol"].get<std::string>().starts_with("reportingtest::crashInNamedFunction(")) {
      named = true;
      EXPECT_EQ(frame["raw_symbol"], "_ZN13reportingtest20crashInNamedFunctionEPVi");
      EXPECT_GT(frame["offset"].get<uint64_t>(), 0u);
      EXPECT_EQ(frame["library"], "crash_reporting_tests");
    }
  }
  EXPECT_TRUE(named) << lines[0].dump();
}

}  // namespace
