#include "measurement/script/runtime/modules.h"

#include "measurement/script/runtime/entity_converter.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/runtime.h"
#include "measurement/script/runtime/scope.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/text.h"

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

// ---- host modules ----

namespace {

// A script number truncated to 64 bits, saturating (NaN gives 0).
int64_t truncatedLevel(double number) { return os::Number::float64(number).int64Value(); }

}  // namespace

APMPKeyValueStore::APMPKeyValueStore(std::u16string functionName, APMPGetValueBlock getValueBlock)
    : APMPNativeFunctionValue(std::move(functionName)) {
  setValue(std::make_shared<APMPKeyValueStoreGetValue>(std::move(getValueBlock)), u"getValue");
}

std::shared_ptr<APMPKeyValueStore> APMPKeyValueStore::initWithFunctionName(std::string_view functionName,
                                                                           APMPGetValueBlock getValueBlock) {
  return std::make_shared<APMPKeyValueStore>(os::utf16(functionName), std::move(getValueBlock));
}

APMPKeyValueStoreGetValue::APMPKeyValueStoreGetValue(APMPGetValueBlock getValueBlock)
    : APMPNativeFunctionValue(u"getValue"), getValueBlock_(std::move(getValueBlock)) {}

APMPResult APMPKeyValueStoreGetValue::invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) {
  if (auto status = APMPCheckExactArgumentCount(arguments, 2); !status) return std::unexpected(status.error());
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  auto key = (*values)[0]->stringValueOrError();
  if (!key) return std::unexpected(key.error());
  std::optional<std::string> found = getValueBlock_ ? getValueBlock_(os::utf8(*key)) : std::nullopt;
  if (!found) return (*values)[1];
  return APMPMakeString(os::utf16(*found));
}

APMPObjectProvider::APMPObjectProvider(std::u16string name, APMPObjectProviderBlock block)
    : APMPNativeFunctionValue(std::move(name)), objectProviderBlock_(std::move(block)) {}

std::shared_ptr<APMPObjectProvider> APMPObjectProvider::initWithName(std::string_view name,
                                                                     APMPObjectProviderBlock block) {
  return std::make_shared<APMPObjectProvider>(os::utf16(name), std::move(block));
}

APMPResult APMPObjectProvider::invokeWithArguments(const APMPValueList&, const APMPScopeRef& scope) {
  os::Dictionary dictionary = objectProviderBlock_ ? objectProviderBlock_() : os::Dictionary();
  return APMPRuntimeEntityConverter::runtimeValueFromNSObject(os::Value(std::move(dictionary)), scope);
}

void APMRovavLogger::logWithLevel(int64_t level, std::string_view message, const std::vector<std::string>& context,
                                  bool silent, bool monitored) const {
  std::vector<APMLogContext> contexts(context.begin(), context.end());
  APMMeasurementServices::monitor()->logWithLevel(monitorLevelWithScriptLevel(level, silent, monitored),
                                                  kAPMRovavLoggerMessageCode, message, std::move(contexts));
}

int64_t APMRovavLogger::monitorLevelWithScriptLevel(int64_t level, bool silent, bool monitored) {
  switch (level) {
    case 2:
      return 8;
    case 3:
      return 7;
    case 5:
      return silent ? 5 : (monitored ? 4 : 3);
    case 6:
      return silent ? 2 : (monitored ? 1 : 0);
    default:
      return 6;
  }
}

APMPFunctionLog::APMPFunctionLog(std::shared_ptr<APMRovavLogger> logger, bool silent, bool monitored)
    : APMPNativeFunctionValue(u"log"), logger_(std::move(logger)), silent_(silent), monitored_(monitored) {}

APMPResult APMPFunctionLog::invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) {
  if (auto status = APMPCheckMinimumArgumentCount(arguments, 1); !status) return std::unexpected(status.error());
  auto values = APMPEvaluateArguments(arguments, scope);
  if (!values) return std::unexpected(values.error());
  int64_t level = 4;
  size_t messageIndex = 0;
  if (values->size() >= 2) {
    auto number = (*values)[0]->doubleValueOrError();
    if (!number) return std::unexpected(number.error());
    level = truncatedLevel(*number);
    messageIndex = 1;
  }
  auto message = (*values)[messageIndex]->stringValueOrError();
  if (!message) return std::unexpected(message.error());
  std::vector<std::string> context;
  if (values->size() >= 2) {
    for (size_t i = 2; i < values->size() && i < 5; ++i) {
      auto text = (*values)[i]->stringValueOrError();
      if (!text) return std::unexpected(text.error());
      context.push_back(os::utf8(*text));
    }
  }
  if (logger_) logger_->logWithLevel(level, os::utf8(*message), context, silent_, monitored_);
  return APMPUndefinedValue::sharedInstance();
}

APMPMessageLogger::APMPMessageLogger(std::shared_ptr<APMRovavLogger> logger)
    : APMPNativeFunctionValue(std::u16string(kAPMPLoggerModuleName)) {
  setValue(std::make_shared<APMPFunctionLog>(logger, false, true), u"log");
  setValue(std::make_shared<APMPFunctionLogSilent>(logger), u"silent");
  setValue(std::make_shared<APMPFunctionLogUnmonitored>(logger), u"unmonitored");
}

std::shared_ptr<APMPMessageLogger> APMPMessageLogger::initWithLogger(std::shared_ptr<APMRovavLogger> logger) {
  return std::make_shared<APMPMessageLogger>(std::move(logger));
}

APMPResult APMPMessageLogger::invokeWithArguments(const APMPValueList&, const APMPScopeRef&) {
  return APMPUndefinedValue::sharedInstance();
}

APMPFunctionLogSilent::APMPFunctionLogSilent(std::shared_ptr<APMRovavLogger> logger)
    : APMPNativeFunctionValue(u"silent") {
  setValue(std::make_shared<APMPFunctionLog>(std::move(logger), true, true), u"log");
}

APMPResult APMPFunctionLogSilent::invokeWithArguments(const APMPValueList&, const APMPScopeRef&) {
  return shared_from_this();
}

APMPFunctionLogUnmonitored::APMPFunctionLogUnmonitored(std::shared_ptr<APMRovavLogger> logger)
    : APMPNativeFunctionValue(u"unmonitored") {
  setValue(std::make_shared<APMPFunctionLog>(std::move(logger), false, false), u"log");
}

APMPResult APMPFunctionLogUnmonitored::invokeWithArguments(const APMPValueList&, const APMPScopeRef&) {
  return shared_from_this();
}
