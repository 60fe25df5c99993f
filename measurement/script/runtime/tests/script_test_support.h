// Helpers of the script tests: program entities in one line each, a runtime
// to run them in, and native functions written as lambdas.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/messages/message_classes.h"
#include "measurement/script/runtime/array_value.h"
#include "measurement/script/runtime/evaluator.h"
#include "measurement/script/runtime/modules.h"
#include "measurement/script/runtime/runtime.h"
#include "measurement/script/runtime/values.h"

namespace script_test {

using Entity = std::shared_ptr<APMPBRuntimeEntity>;

// Literals, a statement, and an entity of a bare type with no value.
Entity S(std::string_view text);
Entity N(double number);
Entity B(bool value);
Entity Op(std::string_view opcode, std::vector<Entity> arguments = {});
Entity Typed(int32_t type);

// The entity converted into a value; fails the test when it does not convert.
APMPValueRef Value(const Entity& entity);

APMPValueRef Num(double number);
APMPValueRef Str(std::u16string_view text);
APMPValueRef Undefined();
APMPValueRef Null();

// A native function whose body is a lambda over the unevaluated arguments
// and the calling scope.
using Body = std::function<APMPResult(const APMPValueList& arguments, const APMPScopeRef& scope)>;
std::shared_ptr<APMPFunctionValue> Native(std::u16string name, Body body);

// The error's domain is rovav and its code is the given one.
bool IsRovav(const os::Error& error, APMPRovavError code);

}  // namespace script_test
