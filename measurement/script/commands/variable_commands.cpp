// The variable family: declarations, assignment and reads of names, reads
// and writes of properties, array and map literals, type names, undefined
// and null. Eager: every handler receives evaluated values.
#include "measurement/script/commands/command_handlers.h"
#include "measurement/script/commands/command_support.h"
#include "measurement/script/runtime/object_manager.h"
#include "measurement/script/runtime/scope.h"

namespace {

using apmp::commands::asArray;
using apmp::commands::Kind;

// A name argument: a string value (else rovav 10), paid for by its length
// (names are copied and hashed).
os::Result<std::u16string_view> nameOf(const APMPValueRef& value, const APMPScopeRef& scope) {
  if (value->kind() != Kind::String) return APMPFail(APMPRovavError::ArgumentKind);
  const std::u16string& name = static_cast<const APMPStringValue&>(*value).value();
  if (auto paid = APMPChargeBulkWork(scope, name.size()); !paid) return std::unexpected(paid.error());
  return std::u16string_view(name);
}

// A property key's string form, paid for by its length.
os::Result<std::u16string> keyOf(const APMPRuntimeValue& key, const APMPScopeRef& scope) {
  auto text = key.stringValueOrError();
  if (!text) return std::unexpected(text.error());
  if (auto paid = APMPChargeBulkWork(scope, text->size()); !paid) return std::unexpected(paid.error());
  return text;
}

}  // namespace

APMPResult APMPVariableDeclare(APMPArguments arguments, const APMPScopeRef& scope) {
  for (const APMPValueRef& argument : arguments) {
    auto name = nameOf(argument, scope);
    if (!name) return std::unexpected(name.error());
    scope->addValue(APMPUndefinedValue::sharedInstance(), *name);
  }
  return APMPUndefinedValue::sharedInstance();
}

APMPResult APMPVariableDeclareConstants(APMPArguments arguments, const APMPScopeRef& scope) {
  for (size_t i = 0; i + 1 < arguments.size(); i += 2) {
    auto name = nameOf(arguments[i], scope);
    if (!name) return std::unexpected(name.error());
    scope->addImmutableValue(arguments[i + 1], *name);
  }
  return APMPUndefinedValue::sharedInstance();
}

APMPResult APMPVariableAssign(APMPArguments arguments, const APMPScopeRef& scope) {
  auto name = nameOf(arguments[0], scope);
  if (!name) return std::unexpected(name.error());
  const APMPNameKey key = static_cast<const APMPStringValue&>(*arguments[0]).nameKey();
  if (!scope->assignExisting(arguments[1], key)) return APMPFail(APMPRovavError::UndeclaredAssignment);
  return arguments[1];
}

APMPResult APMPVariableRead(APMPArguments arguments, const APMPScopeRef& scope) {
  auto name = nameOf(arguments[0], scope);
  if (!name) return std::unexpected(name.error());
  return scope->valueForName(static_cast<const APMPStringValue&>(*arguments[0]).nameKey());
}

APMPResult APMPVariableReadProperty(APMPArguments arguments, const APMPScopeRef& scope) {
  const APMPValueRef& object = arguments[0];
  const APMPValueRef& key = arguments[1];
  switch (object->kind()) {
    case Kind::Array: {
      if (key->kind() == Kind::String) {
        size_t length = static_cast<const APMPStringValue&>(*key).value().size();
        if (auto paid = APMPChargeBulkWork(scope, length); !paid) return std::unexpected(paid.error());
      }
      return static_cast<const APMPArrayValue&>(*object).valueForProperty(*key);
    }
    case Kind::Map:
    case Kind::Function: {
      auto name = keyOf(*key, scope);
      if (!name) return std::unexpected(name.error());
      return static_cast<const APMPPropertyHolderValue&>(*object).valueForProperty(*name);
    }
    case Kind::String: {
      auto name = keyOf(*key, scope);
      if (!name) return std::unexpected(name.error());
      const std::u16string& text = static_cast<const APMPStringValue&>(*object).value();
      if (*name == u"length") return APMPNumberValue::make(static_cast<double>(text.size()));
      if (APMPIsArrayIndex(*key)) {
        double index = key->doubleValueOrError().value_or(0);
        if (index < static_cast<double>(text.size())) {
          return APMPStringValue::make(std::u16string(1, text[static_cast<size_t>(index)]));
        }
      }
      return APMPUndefinedValue::sharedInstance();
    }
    default:
      return APMPUndefinedValue::sharedInstance();
  }
}

APMPResult APMPVariableWriteProperty(APMPArguments arguments, const APMPScopeRef& scope) {
  const APMPValueRef& object = arguments[0];
  const APMPValueRef& key = arguments[1];
  const APMPValueRef& value = arguments[2];
  switch (object->kind()) {
    case Kind::Undefined:
    case Kind::Null:
      return APMPFail(APMPRovavError::PropertyOfNothing);
    case Kind::Array: {
      auto& array = static_cast<APMPArrayValue&>(*object);
      if (key->kind() == Kind::String) {
        size_t length = static_cast<const APMPStringValue&>(*key).value().size();
        if (auto paid = APMPChargeBulkWork(scope, length); !paid) return std::unexpected(paid.error());
      }
      size_t before = array.count();
      if (auto status = array.setValue(value, *key); !status) return std::unexpected(status.error());
      // Growing by "length" or a far index appends holes: work of its own.
      if (array.count() > before) {
        if (auto paid = APMPChargeSlots(scope, array.count() - before); !paid) return std::unexpected(paid.error());
      }
      return value;
    }
    case Kind::Map:
    case Kind::Function: {
      auto name = keyOf(*key, scope);
      if (!name) return std::unexpected(name.error());
      static_cast<APMPPropertyHolderValue&>(*object).setValue(value, *name);
      return value;
    }
    default:
      return value;
  }
}

APMPResult APMPVariableArrayLiteral(APMPArguments arguments, const APMPScopeRef& scope) {
  auto array = APMPObjectManager::arrayValueWithArray(APMPValueList(arguments.begin(), arguments.end()), scope);
  if (!array) return std::unexpected(array.error());
  return APMPValueRef(std::move(*array));
}

APMPResult APMPVariableMapLiteral(APMPArguments arguments, const APMPScopeRef& scope) {
  auto map = APMPObjectManager::mapValueWithScope(scope);
  for (size_t i = 0; i + 1 < arguments.size(); i += 2) {
    auto name = keyOf(*arguments[i], scope);
    if (!name) return std::unexpected(name.error());
    map->setValue(arguments[i + 1], *name);
  }
  return APMPValueRef(std::move(map));
}

APMPResult APMPVariableTypeName(APMPArguments arguments, const APMPScopeRef&) {
  const char16_t* name = u"object";
  switch (arguments[0]->kind()) {
    case Kind::Boolean:
      name = u"boolean";
      break;
    case Kind::Function:
      name = u"function";
      break;
    case Kind::Number:
      name = u"number";
      break;
    case Kind::String:
      name = u"string";
      break;
    case Kind::Undefined:
      name = u"undefined";
      break;
    default:
      break;
  }
  return APMPStringValue::make(name);
}

APMPResult APMPVariableUndefined(APMPArguments, const APMPScopeRef&) {
  return APMPUndefinedValue::sharedInstance();
}

APMPResult APMPVariableNull(APMPArguments, const APMPScopeRef&) { return APMPNullValue::sharedInstance(); }
