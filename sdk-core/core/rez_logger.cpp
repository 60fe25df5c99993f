#include "sdk-core/core/rez_logger.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "sdk-core/core/rez_user_agent.h"

namespace {
std::mutex gSetUpMutex;
bool gSetUpDone = false;  // guarded by gSetUpMutex
std::atomic<bool> gSetUpDoneFast{false};

void runSetUp() {
  DAZLoggerRegisterVersion(REZVivuzuvuVersion());
  const auto arguments = os::ProcessInfo::processInfo().arguments();
  auto has = [&](const char* argument) {
    return std::find(arguments.begin(), arguments.end(), argument) != arguments.end();
  };
  auto defaults = os::UserDefaults::standardUserDefaults();
  const bool storedDebugMode = defaults->boolForKey(kREZDebugModeDefaultsKey);
  if (has(kREZDisableDebugModeArgument)) {
    defaults->removeObjectForKey(kREZDebugModeDefaultsKey);
    DAZLoggerInitialize();
  } else if (has(kREZEnableDebugModeArgument) || storedDebugMode) {
    defaults->setBool(true, kREZDebugModeDefaultsKey);
    DAZLoggerInitialize();
    DAZLoggerForceDebug();
  } else {
    DAZLoggerInitialize();
  }
}
}  // namespace

void REZLoggerSetUp() {
  if (gSetUpDoneFast.load(std::memory_order_acquire)) return;
  std::lock_guard lock(gSetUpMutex);
  if (gSetUpDone) return;
  runSetUp();
  gSetUpDone = true;
  gSetUpDoneFast.store(true, std::memory_order_release);
}

void REZLoggerSetLevel(DAZLoggerLevel loggerLevel) {
  REZLoggerSetUp();
  DAZSetLoggerLevel(loggerLevel);
}

void REZLogBasic(DAZLoggerLevel level, std::string_view service, std::string_view messageCode,
                 std::string_view format, DAZLogArguments args) {
  REZLoggerSetUp();
  DAZLogBasic(level, kREZLoggerSubsystem, service, false, messageCode, format, args);
}

void REZLoggerWrapper::logWithLevel(DAZLoggerLevel level, std::string_view service, std::string_view code,
                                    std::string_view message) {
  REZLogBasic(level, service, code, message, std::span<const os::FormatArg>());
}

void REZLoggerTEST_reset() {
  std::lock_guard lock(gSetUpMutex);
  gSetUpDone = false;
  gSetUpDoneFast.store(false, std::memory_order_release);
}
