#include "crash/core/tests/crash_core_test_support.h"

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/process_info.h"

extern char** environ;

namespace crashtest {
namespace {
constexpr const char* kScenarioVariable = "DROSIL_CRASH_CORE_SCENARIO";
constexpr const char* kArgumentVariable = "DROSIL_CRASH_CORE_SCENARIO_ARGUMENT";
constexpr unsigned kScenarioBoundSeconds = 60;
}  // namespace

std::vector<std::string> keysOf(const nlohmann::ordered_json& object) {
  std::vector<std::string> keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
  return keys;
}

void writeMainBundle(const std::string& bundlePath, const os::Dictionary& info) {
  std::filesystem::create_directories(bundlePath);
  auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(info),
                                                                  os::PropertyListSerialization::Format::XML);
  ASSERT_TRUE(data.has_value());
  ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(bundlePath + "/Info.plist", *data));
  os::Bundle::setMainBundlePath(bundlePath);
}

std::string hex(const uint8_t* bytes, size_t length) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

void CrashCoreTest::SetUp() {
  sandbox_ = std::make_unique<os::TemporarySandbox>();
  clock_ = std::make_unique<os::ManualClockScope>();
  clock_->clock().setWallTime(kStartTime);
  bundlePath_ = sandbox_->root() + "/Drosil.app";
  writeMainBundle(bundlePath_, os::Dictionary{{os::kCFBundleIdentifierKey, kBundleIdentifier},
                                              {os::kCFBundleVersionKey, "42"},
                                              {os::kCFBundleShortVersionStringKey, "1.4"}});
  crashRootPath_ = sandbox_->sandbox()->cachesDirectory() + "/com.zoziduzuzud.data";
  reportPath_ = crashRootPath_ + "/v5/reports/active/launch-1";
  std::filesystem::create_directories(reportPath_);
}

void CrashCoreTest::TearDown() {
  os::dispatch::drainUntilIdle();
  os::Bundle::setMainBundlePath("");
  clock_.reset();
  sandbox_.reset();
}

std::shared_ptr<ZOZContextInitData> CrashCoreTest::initData() const {
  auto data = std::make_shared<ZOZContextInitData>();
  data->rootPath = reportPath_;
  data->previouslyCrashedFileRootPath = crashRootPath_;
  data->sessionId = "launch-1";
  data->appQualitySessionId = "session-7";
  data->betaToken = "";
  data->errorsEnabled = true;
  data->customExceptionsEnabled = true;
  data->maxCustomExceptions = 8;
  data->maxErrorLogSize = 65536;
  data->maxLogSize = 64000;
  data->maxKeyValues = 64;
  return data;
}

void CrashCoreTest::startContext(const std::shared_ptr<ZOZContextInitData>& data) {
  ASSERT_TRUE(ZOZContextInitialize(data));
  ASSERT_TRUE(os::dispatch::drainUntilIdle());
  ASSERT_TRUE(ZOZContextIsInitialized());
}

void CrashCoreTest::waitForBinaryImages() {
  auto queue = ZOZContextBinaryImagesQueue();
  ASSERT_NE(queue, nullptr);
  queue->sync([] {});
}

std::string CrashCoreTest::internalLog() const { return readFile(reportPath_ + "/sdk.log"); }

int runScenarioInFreshProcess(const std::string& scenario, const std::string& argument, bool traced) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    if (!std::string(*entry).starts_with("DROSIL_HOME=")) environment.emplace_back(*entry);
  }
  // The scenario's container is the test's.
  environment.push_back("DROSIL_HOME=" + os::Sandbox::current()->root());
  environment.push_back(std::string(kScenarioVariable) + "=" + scenario);
  environment.push_back(std::string(kArgumentVariable) + "=" + argument);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = "/proc/self/exe";
  char* argv[] = {program.data(), nullptr};

  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    ::alarm(kScenarioBoundSeconds);  // kept across exec: a hung scenario dies
    if (traced && ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(126);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  int status = 0;
  for (;;) {
    if (::waitpid(child, &status, 0) < 0) return -1;
    if (WIFSTOPPED(status)) {
      // The stop after exec is the tracer's; every other signal goes on.
      const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
      ::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(long(signal)));
      continue;
    }
    break;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- Scenarios (in the fresh process) ----
namespace {

// Start-up under a tracer: handlers are skipped, the rest is done.
int tracedStartUp(const std::string& root) {
  auto data = std::make_shared<ZOZContextInitData>();
  data->rootPath = root;
  data->previouslyCrashedFileRootPath = root;
  data->sessionId = "traced";
  if (!ZOZContextInitialize(data)) return 2;
  if (!os::dispatch::drainUntilIdle()) return 3;
  const ZOZReadOnlyContext* readonly = zozContext.readonly;
  if (!ZOZContextIsInitialized() || !readonly->debuggerAttached) return 4;
  // No handler module was prepared.
  if (readonly->signal.path || readonly->machException.path || readonly->exception.path) return 5;
  if (!readonly->binaryimage.path || !readonly->previouslyCrashedFileFullPath) return 6;
  return 0;
}

}  // namespace

std::optional<int> runScenarioFromEnvironment() {
  const char* scenario = std::getenv(kScenarioVariable);
  if (!scenario) return std::nullopt;
  const char* argument = std::getenv(kArgumentVariable);
  const std::string name = scenario;
  if (name == "traced-start-up") return tracedStartUp(argument ? argument : "");
  return 100;
}

}  // namespace crashtest
