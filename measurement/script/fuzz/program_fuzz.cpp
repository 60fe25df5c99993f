// Decodes arbitrary bytes as a program message and runs it, in one of two
// modes chosen by DROSIL_SCRIPT_FUZZ_MODE:
//   "program" (the default): its top-level statements on a fresh runtime,
//     then a collection. The runtime holds one native, "log", that evaluates
//     its arguments and drops them, so the command tests' programs (the
//     seeds) run whole.
//   "editing": loaded into a fresh event-editing engine with the host
//     modules the remote configuration registers (the logger writes to a
//     monitor that drops its lines), then one fixed event handled twice.
// Whatever the program does, the budget and the caps must end it quickly and
// cleanly: a crash, a sanitizer report, a leak, a time-out or memory past
// libFuzzer's limit is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "measurement/messages/field_access.h"
#include "measurement/messages/message_classes.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/event_editing.h"
#include "measurement/script/runtime/modules.h"
#include "measurement/script/runtime/runtime.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/sandbox.h"

namespace {

class Log final : public APMPNativeFunctionValue {
 public:
  Log() : APMPNativeFunctionValue(u"log") {}
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override {
    auto values = APMPEvaluateArguments(arguments, scope);
    if (!values) return std::unexpected(values.error());
    return APMPUndefinedValue::sharedInstance();
  }
};

class DroppingSink final : public APMLogging {
 public:
  void logMessage(const std::string&, const std::string&, int64_t, int64_t) override {}
};

bool gEditingMode = false;

void runProgram(const APMPBProgram& program) {
  auto statements = APMPBGetArray<APMPBRuntimeEntity>(&program, 0);
  if (!statements) return;
  APMPRuntime runtime;
  runtime.globalScope()->addValue(std::make_shared<Log>(), u"log");
  (void)runtime.executeStatements(*statements);
  runtime.collectGarbage();
}

void runEditing(const APMPBProgram& program) {
  APMPEventEditing editing;
  editing.setModuleCreator(
      [] {
        return APMPKeyValueStore::initWithFunctionName("internal.remoteConfig", [](const std::string& key) {
          return key.starts_with("measurement.") ? std::optional<std::string>("1") : std::nullopt;
        });
      },
      "internal.remoteConfig");
  editing.setModuleCreator(
      [] {
        return APMPObjectProvider::initWithName("internal.appMetadata", [] {
          return os::Dictionary{{"platform", os::Value("ios")},
                                {"package_name", os::Value("com.example.drosil")},
                                {"zev_version", os::Value(int64_t{110100})},
                                {"app_version", os::Value("1.0")}};
        });
      },
      "internal.appMetadata");
  editing.setModuleCreator([] { return APMPMessageLogger::initWithLogger(std::make_shared<APMRovavLogger>()); },
                           "internal.logger");
  if (!editing.loadProgram(program)) return;
  const APMPEvent event("purchase", 1700000000000.0,
                        {{"value", os::Value(int64_t{1299})},
                         {"currency", os::Value("EUR")},
                         {"_c", os::Value(int64_t{1})},
                         {"_r", os::Value(0.5)},
                         {"items", os::Value::arrayOf({os::Value{{"item_id", os::Value("sku-1")}}})}});
  for (int i = 0; i < 2; ++i) {
    (void)editing.handleEvent(event);
    (void)editing.hasEdits();
    (void)editing.hasCreatedEvents();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* mode = std::getenv("DROSIL_SCRIPT_FUZZ_MODE");
  gEditingMode = mode != nullptr && std::string_view(mode) == "editing";
  if (gEditingMode) {
    // The monitor keeps its record in a sandbox of its own, and drops lines.
    static os::TemporarySandbox* sandbox = new os::TemporarySandbox();
    (void)sandbox;
    APMMeasurementServices::TEST_setMonitor(
        APMMonitor::initWithLogLevel(6, std::make_shared<DroppingSink>(), 110100));
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto program = APMPBProgram::initWithBuffer(os::Data(data, size));
  if (!program) return 0;
  if (gEditingMode) {
    runEditing(*program);
  } else {
    runProgram(*program);
  }
  return 0;
}
