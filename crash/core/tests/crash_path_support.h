// The crash-path tests' harness. Every scenario that crashes, raises or
// changes process-wide handlers runs in a fresh process: the test program
// forks, the child executes the program again with the scenario's name and
// its report directory in the environment, and the scenario starts the
// capture core there (a forked copy of the runner would inherit a dispatch
// pool without its threads). The parent reads how the child ended and what
// it left on disk.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crash/core/tests/record_file_support.h"
#include "os/testing/child_process.h"

namespace crashpath {

// A scenario's body: given its directory (the report directory and the
// crashed marker's root), it returns the process's exit status, if it gets
// to return at all.
using Scenario = std::function<int(const std::string& directory, const std::string& argument)>;
// Scenarios register themselves at static-initialisation time.
bool registerScenario(const std::string& name, Scenario scenario);

// Runs the scenario in a fresh process; how it ended.
os::testing::ChildResult runScenario(const std::string& name, const std::string& directory,
                                     const std::string& argument = "");
// In the fresh process: runs the scenario named in the environment; nullopt
// in an ordinary test run.
std::optional<int> runScenarioFromEnvironment();

// In the scenario: the capture core started over `directory` (limits as the
// arguments say), every start-up task done. False when start-up failed.
struct Limits {
  int maxKeyValues = 64;
  int maxLogSize = 64000;
  int maxCustomExceptions = 8;
  bool errorsEnabled = true;
};
bool startCaptureCore(const std::string& directory, const Limits& limits = {});

// A fresh directory under the test's temporary folder.
std::string makeDirectory(const std::string& name);
using crashtest::readFile;
bool fileExists(const std::string& path);
using crashtest::readRecordLines;
// The section names of the lines, in order.
std::vector<std::string> sectionNames(const std::vector<nlohmann::ordered_json>& lines);
// The first line holding the section, or null.
const nlohmann::ordered_json* findSection(const std::vector<nlohmann::ordered_json>& lines, const std::string& name);
// Hex text of a string, as the record writer writes it.
std::string hex(const std::string& text);

// The crash path's sections after the capture path's own.
extern const std::vector<std::string> kCrashPathSections;

}  // namespace crashpath
