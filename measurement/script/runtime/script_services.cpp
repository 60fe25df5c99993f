// Installs the script runtime's APMPScriptServices at static initialisation,
// so the measurement store and engine, which may not include the runtime,
// find the engine and the host modules at run time. The library is linked
// whole, or the linker would drop this unreferenced object.
#include "measurement/script/runtime/event_editing.h"
#include "measurement/script/runtime/modules.h"

namespace {

class ScriptServices final : public APMPScriptServices {
 public:
  std::shared_ptr<APMPEventEditingInterface> newEventEditing() const override {
    return std::make_shared<APMPEventEditing>();
  }
  std::shared_ptr<APMPRuntimeValue> newKeyValueStore(std::string functionName,
                                                     APMPGetValueBlock getValueBlock) const override {
    return APMPKeyValueStore::initWithFunctionName(functionName, std::move(getValueBlock));
  }
  std::shared_ptr<APMPRuntimeValue> newObjectProvider(std::string name, APMPObjectProviderBlock block) const override {
    return APMPObjectProvider::initWithName(name, std::move(block));
  }
  std::shared_ptr<APMPRuntimeValue> newMessageLogger() const override {
    return APMPMessageLogger::initWithLogger(std::make_shared<APMRovavLogger>());
  }
};

[[maybe_unused]] const bool kInstalled = [] {
  APMPScriptServices::setSharedInstance(std::make_shared<ScriptServices>());
  return true;
}();

}  // namespace
