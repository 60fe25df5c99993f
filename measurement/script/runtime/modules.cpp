#include "measurement/script/runtime/modules.h"

#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/runtime.h"
#include "measurement/script/runtime/scope.h"

void APMPDynamicProvider::setModuleCreator(APMPModuleCreator creator, std::u16string_view name) {
  creators_.insert_or_assign(std::u16string(name), std::move(creator));
}

APMPResult APMPDynamicProvider::moduleForName(std::u16string_view name) const {
  auto it = creators_.find(std::u16string(name));
  if (it == creators_.end()) return APMPUndefinedValue::sharedInstance();
  APMPValueRef module = it->second ? it->second() : nullptr;
  if (!module) return APMPFail(APMPRovavError::ModuleMissing);
  return module;
}

APMPNativeFunctionValue::APMPNativeFunctionValue(std::u16string functionName)
    : APMPFunctionValue(std::move(functionName), {}, {}, APMPScope::initWithParentScope(nullptr)) {}

APMPRequire::APMPRequire(std::shared_ptr<APMPDynamicProvider> provider)
    : APMPNativeFunctionValue(std::u16string(kAPMPRequireFunctionName)), provider_(std::move(provider)) {}

APMPResult APMPRequire::invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) {
  if (auto status = APMPCheckExactArgumentCount(arguments, 1); !status) return std::unexpected(status.error());
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  auto name = values->front()->stringValueOrError();
  if (!name) return std::unexpected(name.error());
  if (auto cached = modules_.find(*name); cached != modules_.end()) return cached->second;
  APMPResult module = provider_ ? provider_->moduleForName(*name) : APMPResult(APMPUndefinedValue::sharedInstance());
  if (!module) return module;
  modules_.emplace(std::move(*name), *module);
  return module;
}

void APMPRequire::mark(APMPMarker& marker) {
  if (isMarked()) return;
  APMPNativeFunctionValue::mark(marker);
  for (const auto& [name, module] : modules_) marker.markValue(module);
}

void APMPRequire::dropContents() {
  APMPNativeFunctionValue::dropContents();
  APMPValueList modules;
  for (auto& [name, module] : modules_) modules.push_back(std::move(module));
  modules_.clear();
  apmp::detail::releaseAllLater(modules);
}

APMPRuntimePlatform::APMPRuntimePlatform() : APMPNativeFunctionValue(std::u16string(kAPMPPlatformModuleName)) {
  setValue(std::make_shared<APMPFunctionGetVersion>(), u"getVersion");
}

std::shared_ptr<APMPRuntimePlatform> APMPRuntimePlatform::make() { return std::make_shared<APMPRuntimePlatform>(); }

APMPResult APMPRuntimePlatform::invokeWithArguments(const APMPValueList&, const APMPScopeRef&) {
  return APMPUndefinedValue::sharedInstance();
}

APMPFunctionGetVersion::APMPFunctionGetVersion() : APMPNativeFunctionValue(u"getVersion") {}

APMPResult APMPFunctionGetVersion::invokeWithArguments(const APMPValueList&, const APMPScopeRef&) {
  return APMPNumberValue::make(static_cast<double>(APMPRuntime::runtimeVersion()));
}
