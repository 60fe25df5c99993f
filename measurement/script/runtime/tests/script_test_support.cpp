#include "measurement/script/runtime/tests/script_test_support.h"

#include <gtest/gtest.h>

#include "measurement/messages/field_access.h"
#include "measurement/script/runtime/entity_converter.h"
#include "os/foundation/text.h"

namespace script_test {
namespace {

class LambdaNative final : public APMPNativeFunctionValue {
 public:
  LambdaNative(std::u16string name, Body body) : APMPNativeFunctionValue(std::move(name)), body_(std::move(body)) {}
  APMPResult invokeWithArguments(const APMPValueList& arguments, const APMPScopeRef& scope) override {
    return body_(arguments, scope);
  }

 private:
  Body body_;
};

}  // namespace

Entity Typed(int32_t type) {
  Entity entity = APMPBRuntimeEntity::initWithMessageInfo(nullptr);
  APMPBSetInt32(entity.get(), 0, type);
  return entity;
}

Entity S(std::string_view text) {
  Entity entity = Typed(1);
  APMPBSetString(entity.get(), 3, text);
  return entity;
}

Entity N(double number) {
  Entity entity = Typed(2);
  APMPBSetDouble(entity.get(), 5, number);
  return entity;
}

Entity B(bool value) {
  Entity entity = Typed(3);
  APMPBSetBool(entity.get(), 4, value);
  return entity;
}

Entity Op(std::string_view opcode, std::vector<Entity> arguments) {
  Entity entity = Typed(4);
  APMPBSetString(entity.get(), 2, opcode);
  APMPBSetArray(entity.get(), 1, arguments);
  return entity;
}

APMPValueRef Value(const Entity& entity) {
  APMPResult value = APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(*entity);
  EXPECT_TRUE(value.has_value()) << (value ? "" : value.error().description());
  return value ? *value : APMPUndefinedValue::sharedInstance();
}

APMPValueRef Num(double number) { return APMPNumberValue::make(number); }
APMPValueRef Str(std::u16string_view text) { return APMPStringValue::make(std::u16string(text)); }
APMPValueRef Undefined() { return APMPUndefinedValue::sharedInstance(); }
APMPValueRef Null() { return APMPNullValue::sharedInstance(); }

std::shared_ptr<APMPFunctionValue> Native(std::u16string name, Body body) {
  return std::make_shared<LambdaNative>(std::move(name), std::move(body));
}

bool IsRovav(const os::Error& error, APMPRovavError code) {
  return error.domain() == kAPMPRovavErrorDomain && error.code() == static_cast<int64_t>(code) &&
         error.userInfo().empty();
}

}  // namespace script_test
