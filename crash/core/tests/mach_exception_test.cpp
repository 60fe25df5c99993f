// Mach exception capture, with exception messages injected through the
// kernel stand-in, in fresh child processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "crash/core/tests/crash_path_main.h"
#include "crash/core/tests/crash_path_support.h"
#include "crash/core/zoz_mach_exception.h"
#include "os/kernel/mach.h"

namespace {

namespace k = os::kernel;
using crashpath::readRecordLines;
using nlohmann::ordered_json;

constexpr k::mach_msg_timeout_t kReplyTimeout = 20'000;

// Raises from a secondary thread (the server suspends every other thread):
// first as another task, then as the own task. Writes the two reply codes
// and whether the original (empty) exception ports are back.
int machScenario(const std::string& directory, const std::string&) {
  if (!crashpath::startCaptureCore(directory)) return 91;
  k::mach_port_t otherTask = k::MACH_PORT_NULL;
  if (k::mach_port_allocate(k::mach_task_self(), k::MACH_PORT_RIGHT_RECEIVE, &otherTask) != k::KERN_SUCCESS) return 93;
  k::kern_return_t foreign = -1, own = -1;
  bool recordAfterForeign = true;
  std::thread thread([&] {
    const k::mach_exception_data_type_t codes[2] = {1, 0};
    foreign = k::TEST_raiseException(k::mach_thread_self(), k::EXC_BAD_ACCESS, codes, 2, otherTask, kReplyTimeout);
    recordAfterForeign = crashpath::fileExists(directory + "/mach_exception.zozrecord") &&
                         !crashpath::readFile(directory + "/mach_exception.zozrecord").empty();
    own = k::TEST_raiseException(k::mach_thread_self(), k::EXC_BAD_ACCESS, codes, 2, k::mach_task_self(),
                                 kReplyTimeout);
  });
  thread.join();
  k::exception_mask_t masks[k::EXC_TYPES_COUNT];
  k::mach_port_t ports[k::EXC_TYPES_COUNT];
  k::exception_behavior_t behaviors[k::EXC_TYPES_COUNT];
  k::thread_state_flavor_t flavors[k::EXC_TYPES_COUNT];
  k::mach_msg_type_number_t count = k::EXC_TYPES_COUNT;
  k::task_get_exception_ports(k::mach_task_self(), kZOZMachExceptionMask, masks, &count, ports, behaviors, flavors);
  bool restored = count > 0;
  for (uint32_t i = 0; i < count; ++i) restored = restored && ports[i] == k::MACH_PORT_NULL;
  if (FILE* out = std::fopen((directory + "/outcome").c_str(), "w")) {
    std::fprintf(out, "%d %d %d %d", foreign, recordAfterForeign ? 1 : 0, own, restored ? 1 : 0);
    std::fclose(out);
  }
  return 0;
}
const bool kMach = crashpath::registerScenario("mach", machScenario);

TEST(MachExceptionTest, ABadAccessIsRecordedAndAnsweredAndAnotherTasksIsRefused) {
  if (!crashpath::suspensionBySignalAvailable()) GTEST_SKIP() << "the thread sanitizer holds back the suspend signal";
  const std::string directory = crashpath::makeDirectory("mach");
  const auto result = crashpath::runScenario("mach", directory);
  ASSERT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  // Another task's message: 5, nothing recorded. The own: 0, ports restored.
  EXPECT_EQ(crashpath::readFile(directory + "/outcome"), "5 0 0 1");

  size_t lineCount = 0;
  const auto lines = readRecordLines(directory + "/mach_exception.zozrecord", &lineCount);
  ASSERT_EQ(lines.size(), lineCount);
  std::vector<std::string> expected = {"mach_exception"};
  expected.insert(expected.end(), crashpath::kCrashPathSections.begin(), crashpath::kCrashPathSections.end());
  ASSERT_EQ(crashpath::sectionNames(lines), expected);
  const ordered_json& exception = lines[0]["mach_exception"];
  EXPECT_EQ(exception["exception"], 1u);
  EXPECT_EQ(exception["codes"], ordered_json::array({1, 0}));
  EXPECT_EQ(exception["name"], "EXC_BAD_ACCESS");
  EXPECT_EQ(exception["code_name"], "KERN_INVALID_ADDRESS");
  EXPECT_TRUE(exception.contains("original_ports") && exception.contains("time"));
  size_t crashed = 0;
  for (const auto& thread : lines[1]["threads"]) crashed += thread.value("crashed", false);
  EXPECT_EQ(crashed, 1u);
  EXPECT_TRUE(crashpath::fileExists(directory + "/previously-crashed"));
  EXPECT_NE(crashpath::readFile(directory + "/sdk.log").find("Mach exception task mis-match"), std::string::npos);
}

TEST(MachExceptionTest, NamesOfTypesAndCodes) {
  struct Case {
    k::exception_type_t type;
    k::mach_exception_data_type_t code;
    const char* name;
    const char* codeName;
  } cases[] = {{k::EXC_BAD_ACCESS, 1, "EXC_BAD_ACCESS", "KERN_INVALID_ADDRESS"},
               {k::EXC_BAD_ACCESS, 2, "EXC_BAD_ACCESS", "KERN_PROTECTION_FAILURE"},
               {k::EXC_BAD_ACCESS, 7, "EXC_BAD_ACCESS", nullptr},
               {k::EXC_BAD_INSTRUCTION, 1, "EXC_BAD_INSTRUCTION", nullptr},
               {k::EXC_ARITHMETIC, 0, "EXC_ARITHMETIC", nullptr},
               {k::EXC_BREAKPOINT, 0, "EXC_BREAKPOINT", nullptr},
               {k::EXC_GUARD, 0, "EXC_GUARD", nullptr},
               {k::EXC_SOFTWARE, 1, nullptr, nullptr},
               {99, 1, nullptr, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    const char* name = "unset";
    const char* codeName = "unset";
    ZOZMachExceptionNameLookup(c.type, c.code, &name, &codeName);
    EXPECT_EQ(name ? std::string(name) : "(null)", c.name ? std::string(c.name) : "(null)");
    EXPECT_EQ(codeName ? std::string(codeName) : "(null)", c.codeName ? std::string(c.codeName) : "(null)");
  }
}

}  // namespace
