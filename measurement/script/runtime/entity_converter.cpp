#include "measurement/script/runtime/entity_converter.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "measurement/messages/message_info.h"
#include "measurement/script/runtime/array_value.h"
#include "measurement/script/runtime/limits.h"
#include "measurement/script/runtime/object_manager.h"
#include "os/foundation/encoding.h"
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

// The walk reads the entity records in place: reading children through the
// copying field accessors would copy every sub-tree once per level above it.
// The reads below mirror those accessors: an absent or mistyped field reads
// as absent, and a child that is not an initialised entity record is skipped.
thread_local size_t gEntitiesRead = 0;

bool isEntityRecord(const MessageInfo* record) {
  return record != nullptr && record->values != nullptr &&
         APMPBRuntimeEntity::classDescriptor().describes(record);
}

const void* cellOf(const MessageInfo* record, int32_t index, int32_t kind) {
  if ((record->types[index] & kind) == 0 || (record->types[index] & kAPMPBTypeRepeated) != 0) return nullptr;
  return record->values[index];
}

int32_t entityType(const MessageInfo* record) {
  const void* cell = cellOf(record, kEntityType, kAPMPBTypeEnum | kAPMPBTypeInt32);
  if (cell == nullptr) return 0;
  uint64_t bits;
  std::memcpy(&bits, cell, sizeof(bits));
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

std::optional<std::string_view> entityString(const MessageInfo* record, int32_t index) {
  const auto* cell = static_cast<const APMPBArray*>(cellOf(record, index, kAPMPBTypeString));
  if (cell == nullptr || cell->data == nullptr) return std::nullopt;
  const std::string_view text(static_cast<const char*>(cell->data), cell->size);
  if (!os::isValidUTF8(text)) return std::nullopt;
  return text;
}

std::span<MessageInfo* const> entityArguments(const MessageInfo* record) {
  if ((record->types[kEntityArguments] & (kAPMPBTypeRepeated | kAPMPBTypeMessage)) !=
      (kAPMPBTypeRepeated | kAPMPBTypeMessage)) {
    return {};
  }
  const auto* array = static_cast<const APMPBArray*>(record->values[kEntityArguments]);
  if (array == nullptr || array->data == nullptr) return {};
  return {static_cast<MessageInfo* const*>(array->data), array->size};
}

APMPValueRef stringValue(const MessageInfo* record) {
  return APMPStringValue::make(os::utf16(entityString(record, kEntityString).value_or("")));
}

APMPValueRef numberValue(const MessageInfo* record) {
  const void* cell = cellOf(record, kEntityNumber, kAPMPBTypeDouble);
  if (cell == nullptr) return APMPNumberValue::make(std::nan(""));
  double value;
  std::memcpy(&value, cell, sizeof(value));
  return APMPNumberValue::make(value);
}

APMPValueRef booleanValue(const MessageInfo* record) {
  const void* cell = cellOf(record, kEntityBoolean, kAPMPBTypeBool);
  bool value = false;
  if (cell != nullptr) {
    uint64_t bits;
    std::memcpy(&bits, cell, sizeof(bits));
    value = (bits & 0xFF) != 0;
  }
  return APMPBooleanValue::booleanValueWithBool(value);
}

APMPResult convert(const MessageInfo* record, int depth);

APMPResult statementValue(const MessageInfo* record, int depth) {
  std::optional<std::string_view> opcode = entityString(record, kEntityOpcode);
  if (!opcode) return APMPFail(APMPRovavError::MissingOpcode);
  if (depth >= kAPMPMaxEvaluationDepth) return APMPFail(APMPRovavError::BudgetExhausted);
  std::span<MessageInfo* const> children = entityArguments(record);
  APMPValueList arguments;
  arguments.reserve(children.size());
  for (const MessageInfo* child : children) {
    if (!isEntityRecord(child)) continue;
    APMPResult value = convert(child, depth + 1);
    if (!value) return value;
    arguments.push_back(std::move(*value));
  }
  return std::make_shared<APMPStatementValue>(os::utf16(*opcode), std::move(arguments));
}

APMPResult convert(const MessageInfo* record, int depth) {
  ++gEntitiesRead;
  switch (entityType(record)) {
    case kString:
      return stringValue(record);
    case kNumber:
      return numberValue(record);
    case kBoolean:
      return booleanValue(record);
    case kStatement:
      return statementValue(record, depth);
    default:
      return APMPFail(APMPRovavError::UnknownEntityType);
  }
}

// An entity object's record, null (read as absent fields) when it has none.
const MessageInfo* recordOf(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = entity.messageInfo();
  return isEntityRecord(record) ? record : nullptr;
}

}  // namespace

APMPResult APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = recordOf(entity);
  if (record == nullptr) return APMPFail(APMPRovavError::UnknownEntityType);
  return convert(record, 0);
}

APMPValueRef APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = recordOf(entity);
  return record ? stringValue(record) : APMPStringValue::make(u"");
}

APMPValueRef APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = recordOf(entity);
  return record ? numberValue(record) : APMPNumberValue::make(std::nan(""));
}

APMPValueRef APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = recordOf(entity);
  return record ? booleanValue(record) : APMPBooleanValue::booleanValueWithBool(false);
}

APMPResult APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const APMPBRuntimeEntity& entity) {
  const MessageInfo* record = recordOf(entity);
  if (record == nullptr) return APMPFail(APMPRovavError::MissingOpcode);
  return statementValue(record, 0);
}

size_t APMPRuntimeEntityConverter::TEST_entitiesRead() { return gEntitiesRead; }

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
