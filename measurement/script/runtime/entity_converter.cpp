#include "measurement/script/runtime/entity_converter.h"

#include <cmath>

#include "measurement/messages/field_access.h"
#include "measurement/script/runtime/array_value.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/object_manager.h"
#include "os/foundation/text.h"

namespace {

// Field positions of a program entity.
constexpr int32_t kEntityType = 0;
constexpr int32_t kEntityArguments = 1;
constexpr int32_t kEntityOpcode = 2;
constexpr int32_t kEntityString = 3;
constexpr int32_t kEntityBoolean = 4;
constexpr int32_t kEntityNumber = 5;

enum EntityType : int32_t { kString = 1, kNumber = 2, kBoolean = 3, kStatement = 4 };

// Conversions between script and platform values in progress on this thread,
// and the items the outermost one has made so far (nested containers
// included).
thread_local int gConversions = 0;
thread_local size_t gConversionItems = 0;

// Counts the items of one container of a conversion: each is made (an
// allocation now, a release later) and pays an instruction, as bulk work of
// the statement that converts. False past kAPMPMaxConversionItems: a
// container shared many times within a value would otherwise make an
// unbounded result from a small one.
class ConversionItems {
 public:
  ConversionItems() {
    if (gConversions++ == 0) gConversionItems = 0;
  }
  ~ConversionItems() { --gConversions; }
  ConversionItems(const ConversionItems&) = delete;
  ConversionItems& operator=(const ConversionItems&) = delete;
  bool add(size_t count) {
    gConversionItems += count;
    apmp::detail::addBulkWork(count * kAPMPBulkUnitsPerInstruction);
    return gConversionItems <= kAPMPMaxConversionItems;
  }
};

APMPResult convert(const APMPBRuntimeEntity& entity, int depth);

APMPResult statementValue(const APMPBRuntimeEntity& entity, int depth) {
  std::optional<std::string> opcode = APMPBGetString(&entity, kEntityOpcode);
  if (!opcode) return APMPFail(APMPRovavError::MissingOpcode);
  if (depth >= kAPMPMaxEvaluationDepth) return APMPFail(APMPRovavError::BudgetExhausted);
  APMPValueList arguments;
  if (auto entities = APMPBGetArray<APMPBRuntimeEntity>(&entity, kEntityArguments)) {
    arguments.reserve(entities->size());
    for (const auto& argument : *entities) {
      APMPResult value = convert(*argument, depth + 1);
      if (!value) return value;
      arguments.push_back(std::move(*value));
    }
  }
  return std::make_shared<APMPStatementValue>(os::utf16(*opcode), std::move(arguments));
}

APMPResult convert(const APMPBRuntimeEntity& entity, int depth) {
  switch (APMPBGetInt32(&entity, kEntityType)) {
    case kString:
      return APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(entity);
    case kNumber:
      return APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(entity);
    case kBoolean:
      return APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(entity);
    case kStatement:
      return statementValue(entity, depth);
    default:
      return APMPFail(APMPRovavError::UnknownEntityType);
  }
}

}  // namespace

APMPResult APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return convert(entity, 0);
}

APMPValueRef APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return APMPStringValue::make(os::utf16(APMPBGetString(&entity, kEntityString).value_or("")));
}

APMPValueRef APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  if (!APMPBHasField(&entity, kEntityNumber)) return APMPNumberValue::make(std::nan(""));
  return APMPNumberValue::make(APMPBGetDouble(&entity, kEntityNumber));
}

APMPValueRef APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return APMPBooleanValue::booleanValueWithBool(APMPBGetBool(&entity, kEntityBoolean));
}

APMPResult APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  return statementValue(entity, 0);
}

APMPResult APMPRuntimeEntityConverter::runtimeValueFromNSObject(const os::Value& object, const APMPScopeRef& scope) {
  switch (object.type()) {
    case os::Value::Type::Null:
      return APMPNullValue::sharedInstance();
    case os::Value::Type::String:
      return APMPStringValue::make(os::utf16(*object.string()));
    case os::Value::Type::Number: {
      const os::Number& number = *object.number();
      switch (number.kind()) {
        case os::Number::Kind::Bool:
        case os::Number::Kind::Int8:
        case os::Number::Kind::UInt8:
          return APMPBooleanValue::booleanValueWithBool(number.boolValue());
        default:
          return APMPNumberValue::make(number.doubleValue());
      }
    }
    case os::Value::Type::Dictionary: {
      apmp::detail::NestingGuard guard;
      ConversionItems items;
      if (!guard.ok() || !items.add(object.dictionary()->size())) return APMPFail(APMPRovavError::BudgetExhausted);
      auto map = APMPObjectManager::mapValueWithScope(scope);
      for (const auto& [key, entry] : *object.dictionary()) {
        APMPResult value = runtimeValueFromNSObject(entry, scope);
        if (!value) return value;
        map->setValue(std::move(*value), os::utf16(key));
      }
      return map;
    }
    case os::Value::Type::Array: {
      apmp::detail::NestingGuard guard;
      ConversionItems items;
      if (!guard.ok()) return APMPFail(APMPRovavError::BudgetExhausted);
      const os::Array& list = *object.array();
      if (list.size() > kAPMPMaxArraySlots) return APMPFail(APMPRovavError::InvalidArrayLength);
      if (!items.add(list.size())) return APMPFail(APMPRovavError::BudgetExhausted);
      APMPValueList elements;
      elements.reserve(list.size());
      for (const auto& entry : list) {
        APMPResult value = runtimeValueFromNSObject(entry, scope);
        if (!value) return value;
        elements.push_back(std::move(*value));
      }
      auto array = APMPObjectManager::arrayValueWithArray(std::move(elements), scope);
      if (!array) return std::unexpected(array.error());
      return APMPValueRef(std::move(*array));
    }
    case os::Value::Type::Data:
    case os::Value::Type::Date:
      break;
  }
  return APMPFail(APMPRovavError::UnsupportedObject);
}

os::Result<os::Value> APMPRuntimeEntityConverter::objectFromRuntimeValue(const APMPRuntimeValue& value) {
  switch (value.kind()) {
    case APMPRuntimeValue::Kind::Null:
      return os::Value();
    case APMPRuntimeValue::Kind::Undefined:
      return os::Value(std::string());
    case APMPRuntimeValue::Kind::Map: {
      auto dictionary = dictionaryFromMapValue(static_cast<const APMPMapValue&>(value));
      if (!dictionary) return std::unexpected(dictionary.error());
      return os::Value(std::move(*dictionary));
    }
    case APMPRuntimeValue::Kind::Array: {
      apmp::detail::NestingGuard guard;
      ConversionItems items;
      const auto& array = static_cast<const APMPArrayValue&>(value);
      if (!guard.ok() || !items.add(array.count())) return APMPFail(APMPRovavError::BudgetExhausted);
      os::Array list;
      for (const auto& element : array.allElements()) {
        auto converted = objectFromRuntimeValue(*element);
        if (!converted) return converted;
        if (!converted->isNull()) list.push_back(std::move(*converted));
      }
      return os::Value(std::move(list));
    }
    default:
      break;
  }
  auto number = value.doubleValueOrError();
  if (!number) return std::unexpected(number.error());
  if (!std::isnan(*number)) return os::Value(*number);
  auto text = value.stringValueOrError();
  if (!text) return std::unexpected(text.error());
  return os::Value(os::utf8(*text));
}

os::Result<os::Dictionary> APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPPropertyHolderValue& map) {
  apmp::detail::NestingGuard guard;
  ConversionItems items;
  if (!guard.ok() || !items.add(map.propertyMap().count())) return APMPFail(APMPRovavError::BudgetExhausted);
  os::Dictionary dictionary;
  for (const std::u16string& name : map.allPropertyNames()) {
    auto converted = objectFromRuntimeValue(*map.valueForProperty(name));
    if (!converted) return std::unexpected(converted.error());
    if (!converted->isNull()) dictionary.insert_or_assign(os::utf8(name), std::move(*converted));
  }
  return dictionary;
}
