#include "crash/core/tests/crash_path_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "crash/core/zoz_context.h"
#include "os/dispatch/queue.h"

extern char** environ;

namespace crashpath {
namespace {

constexpr const char* kScenarioVariable = "DROSIL_CRASH_PATH_SCENARIO";
constexpr const char* kDirectoryVariable = "DROSIL_CRASH_PATH_DIRECTORY";
constexpr const char* kArgumentVariable = "DROSIL_CRASH_PATH_ARGUMENT";
constexpr unsigned kScenarioBoundSeconds = 60;

std::map<std::string, Scenario>& scenarios() {
  static auto* table = new std::map<std::string, Scenario>();
  return *table;
}

}  // namespace

const std::vector<std::string> kCrashPathSections = {"threads",     "runtime",       "dispatch_queue_names",
                                                     "thread_names", "process_stats", "storage"};

bool registerScenario(const std::string& name, Scenario scenario) {
  scenarios()[name] = std::move(scenario);
  return true;
}

os::testing::ChildResult runScenario(const std::string& name, const std::string& directory,
                                     const std::string& argument) {
  // Everything the child needs is built before the fork.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    if (text.starts_with(kScenarioVariable) || text.starts_with(kDirectoryVariable) ||
        text.starts_with(kArgumentVariable) || text.starts_with("DROSIL_HOME="))
      continue;
    environment.push_back(text);
  }
  environment.push_back(std::string(kScenarioVariable) + "=" + name);
  environment.push_back(std::string(kDirectoryVariable) + "=" + directory);
  environment.push_back(std::string(kArgumentVariable) + "=" + argument);
  environment.push_back("DROSIL_HOME=" + directory + "/home");
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::vector<char*> argv = {program.data(), nullptr};
  return os::testing::runInChild(
      [&] {
        ::execve(argv[0], argv.data(), envp.data());
        return std::string("exec failed");
      },
      kScenarioBoundSeconds);
}

std::optional<int> runScenarioFromEnvironment() {
  const char* name = std::getenv(kScenarioVariable);
  if (!name) return std::nullopt;
  const char* directory = std::getenv(kDirectoryVariable);
  const char* argument = std::getenv(kArgumentVariable);
  auto found = scenarios().find(name);
  if (found == scenarios().end()) return 100;
  return found->second(directory ? directory : "", argument ? argument : "");
}

bool startCaptureCore(const std::string& directory, const Limits& limits) {
  auto data = std::make_shared<ZOZContextInitData>();
  data->rootPath = directory;
  data->previouslyCrashedFileRootPath = directory;
  data->sessionId = "crash-path";
  data->betaToken = "";
  data->errorsEnabled = limits.errorsEnabled;
  data->customExceptionsEnabled = true;
  data->maxCustomExceptions = limits.maxCustomExceptions;
  data->maxLogSize = limits.maxLogSize;
  data->maxKeyValues = limits.maxKeyValues;
  if (!ZOZContextInitialize(data)) return false;
  if (!os::dispatch::drainUntilIdle()) return false;
  return ZOZContextIsInitialized();
}

std::string makeDirectory(const std::string& name) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string base = std::filesystem::temp_directory_path().string() + "/crash-path-" + std::to_string(::getpid());
  std::string path = base + "/" + (info ? std::string(info->test_suite_name()) + "." + info->name() : "x") + "/" + name;
  for (char& c : path) {
    if (c == ' ' || c == ':') c = '_';
  }
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path + "/home");
  return path;
}

bool fileExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::vector<std::string> sectionNames(const std::vector<nlohmann::ordered_json>& lines) {
  std::vector<std::string> names;
  for (const auto& line : lines) names.push_back(line.begin().key());
  return names;
}

const nlohmann::ordered_json* findSection(const std::vector<nlohmann::ordered_json>& lines, const std::string& name) {
  for (const auto& line : lines) {
    if (line.contains(name)) return &line[name];
  }
  return nullptr;
}

std::string hex(const std::string& text) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace crashpath
