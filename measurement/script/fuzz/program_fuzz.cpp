// Decodes arbitrary bytes as a program message and runs its top-level
// statements on a fresh runtime, then collects garbage. Whatever the program
// does, the budget and the caps must end it quickly and cleanly: a crash, a
// sanitizer report, a leak, a time-out or memory past libFuzzer's limit is a
// finding. The runtime holds one native, "log", that evaluates its arguments
// and drops them, so the command tests' programs (the seeds) run whole.
#include <cstddef>
#include <cstdint>

#include "measurement/messages/field_access.h"
#include "measurement/messages/message_classes.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/modules.h"
#include "measurement/script/runtime/runtime.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto program = APMPBProgram::initWithBuffer(os::Data(data, size));
  if (!program) return 0;
  auto statements = APMPBGetArray<APMPBRuntimeEntity>(program.get(), 0);
  if (!statements) return 0;
  APMPRuntime runtime;
  runtime.globalScope()->addValue(std::make_shared<Log>(), u"log");
  (void)runtime.executeStatements(*statements);
  runtime.collectGarbage();
  return 0;
}
