#include "measurement/script/runtime/runtime.h"

#include "measurement/script/runtime/entity_converter.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/number_forms.h"

APMPRuntime::APMPRuntime() {
  initScope_ = APMPScope::initWithParentScope(nullptr);
  globalScope_ = initScope_->createChildScope();
  objectManager_ = std::make_shared<APMPObjectManager>();
  objectManager_->addRoot(initScope_);
  objectManager_->addRoot(globalScope_);
  initScope_->setObjectManager(objectManager_);
  apiProvider_ = std::make_shared<APMPDynamicProvider>();
  globalScope_->addValue(std::make_shared<APMPRequire>(apiProvider_), kAPMPRequireFunctionName);
  apiProvider_->setModuleCreator([] { return APMPRuntimePlatform::make(); }, kAPMPPlatformModuleName);
  resetInstructionCount();
}

APMPRuntime::~APMPRuntime() {
  objectManager_->teardown();
  initScope_->setObjectManager(nullptr);
}

void APMPRuntime::setModuleCreator(APMPModuleCreator creator, std::u16string_view name) {
  apiProvider_->setModuleCreator(std::move(creator), name);
}

APMPResult APMPRuntime::executeStatements(const std::vector<std::shared_ptr<APMPBRuntimeEntity>>& statements) {
  APMPValueRef result = APMPUndefinedValue::sharedInstance();
  for (const auto& entity : statements) {
    if (!entity) continue;
    APMPResult statement = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity);
    if (!statement) return statement;
    APMPResult value = APMPEvaluator::evaluateStatement(*statement, globalScope_);
    if (!value) return value;
    result = std::move(*value);
  }
  return result;
}

int32_t APMPRuntime::getInstructionCount() const {
  return APMPToInt32(static_cast<double>(initScope_->executionState().instructionCount));
}

void APMPRuntime::resetInstructionCount() {
  initScope_->executionState().instructionCount = 0;
  initScope_->executionState().slotsMade = 0;
}

void APMPRuntime::collectGarbage() {
  objectManager_->collectGarbage();
  APMPExecutionState& state = initScope_->executionState();
  state.retainedSlots = objectManager_->reachableSlots();
  state.slotsMade = 0;
}
