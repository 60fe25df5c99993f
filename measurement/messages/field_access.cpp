#include "measurement/messages/field_access.h"

#include <cstdlib>
#include <cstring>

#include "os/foundation/encoding.h"
#include "os/foundation/format.h"
#include "os/foundation/system_log.h"

namespace {

// The system log line of the platform's NSLog.
template <class... Args>
void nanoLog(std::string_view format, const Args&... args) {
  os::Log::defaultLog()->log(os::format(format, args...));
}

constexpr const char* kNotInitialized = "ProtocolBuffer message hasn't been initialized. %s can't be performed";
constexpr const char* kNotClass = "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %@";
constexpr const char* kArrayMissing = "<ERROR> Repeated field should have been allocated";

enum class Check { Any, Bool, Int32, Int64, Double, String, Message, Repeated };

const char* typeMessage(Check check) {
  switch (check) {
    case Check::Bool:
      return "<Nano/Failure> Field type isn't a scalar BOOL. Message: %s, field ID: %d";
    case Check::Int32:
      return "<Nano/Failure> Field type isn't a scalar INT32. Message: %s, field ID: %d";
    case Check::Int64:
      return "<Nano/Failure> Field type isn't a scalar INT64. Message: %s, field ID: %d";
    case Check::Double:
      return "<Nano/Failure> Field type isn't a scalar DOUBLE. Message: %s, field ID: %d";
    case Check::String:
      return "<Nano/Failure> Field type isn't a scalar STRING. Message: %s, field ID: %d";
    case Check::Message:
      return "<Nano/Failure> Field type isn't a scalar MESSAGE. Message: %s, field ID: %d";
    case Check::Repeated:
      return "<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d";
    case Check::Any:
      break;
  }
  return "";
}

bool accepts(Check check, int32_t type) {
  switch (check) {
    case Check::Any:
      return true;
    case Check::Bool:
      return (type & 0x28) == 0x20;
    case Check::Int32:
      return (type & 0x1C0) != 0 && (type & kAPMPBTypeRepeated) == 0;
    case Check::Int64:
      return (type & 0x600) != 0 && (type & kAPMPBTypeRepeated) == 0;
    case Check::Double:
      return (type & 0x1008) == 0x1000;
    case Check::String:
      return (type & 0x2008) == 0x2000;
    case Check::Message:
      return (type & 0x4008) == 0x4000;
    case Check::Repeated:
      return (type & kAPMPBTypeRepeated) != 0;
  }
  return false;
}

// The record of the message when the operation may go ahead on the field;
// null after logging why not.
MessageInfo* fieldRecord(const NANOMessageBase* message, int32_t index, const char* operation,
                         Check check) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (record == nullptr || record->values == nullptr) {
    nanoLog(kNotInitialized, operation);
    return nullptr;
  }
  // Indices must lie inside the message: its slot array has exactly N entries.
  if (index < 0 || index >= message->descriptor().fieldCount()) {
    nanoLog("<Nano/Failure> Field index out of range. Message: %s, field ID: %d", record->name, index);
    return nullptr;
  }
  if (!accepts(check, record->types[index])) {
    nanoLog(typeMessage(check), record->name, index);
    return nullptr;
  }
  return record;
}

const void* scalarCell(const NANOMessageBase* message, int32_t index, const char* operation,
                       Check check) {
  MessageInfo* record = fieldRecord(message, index, operation, check);
  return record ? record->values[index] : nullptr;
}

uint64_t cellBits(const void* cell) {
  uint64_t value;
  std::memcpy(&value, cell, sizeof(value));
  return value;
}

std::optional<std::string> stringOfCell(const APMPBArray* cell) {
  if (cell == nullptr || cell->data == nullptr) return std::nullopt;
  // Strict UTF-8, as the platform's string decoding takes it.
  const std::string_view text(static_cast<const char*>(cell->data), cell->size);
  if (!os::isValidUTF8(text)) return std::nullopt;
  return std::string(text);
}

// Fills a string cell with exactly the bytes (no terminating zero).
void fillStringCell(APMPBArray* cell, const void* bytes, size_t length) {
  auto* copy = static_cast<uint8_t*>(std::malloc(length ? length : 1));
  if (copy == nullptr) return;
  if (length > 0) std::memcpy(copy, bytes, length);
  cell->data = copy;
  cell->size = static_cast<uint32_t>(length);
}

// The platform class name of a value, as "%@" of its class prints it.
const char* classNameOf(const os::Value& value) {
  switch (value.type()) {
    case os::Value::Type::Null:
      return "NSNull";
    case os::Value::Type::Number:
      return "NSNumber";
    case os::Value::Type::String:
      return "NSString";
    case os::Value::Type::Data:
      return "NSData";
    case os::Value::Type::Date:
      return "NSDate";
    case os::Value::Type::Array:
      return "NSArray";
    case os::Value::Type::Dictionary:
      return "NSDictionary";
  }
  return "NSObject";
}

const char* classNameOf(const apmpb::detail::ElementRef& element) {
  if (element.value != nullptr) return classNameOf(*element.value);
  if (element.message != nullptr && element.message->className() != nullptr) {
    return element.message->className();
  }
  return "(null)";
}

void clearWithClassFunction(NANOMessageBase* message, MessageInfo* record, int32_t index) {
  message->deallocMessageFieldFn()(record, index);
}

}  // namespace

bool APMPBHasField(const NANOMessageBase* message, int32_t index) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (record == nullptr || record->values == nullptr) {
    nanoLog("ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
            "Message name %s",
            message ? message->messageID() : "(null)");
    return false;
  }
  if (fieldRecord(message, index, "HasField", Check::Any) == nullptr) return false;
  if ((record->types[index] & kAPMPBTypeRepeated) != 0) return true;
  return record->values[index] != nullptr;
}

void APMPBClearField(NANOMessageBase* message, int32_t index) {
  MessageInfo* record = message ? message->messageInfo() : nullptr;
  if (record == nullptr || record->values == nullptr) {
    nanoLog("ProtocolBuffer message hasn't been initialized. ClearField can't be performed");
    return;
  }
  // The clear-field function itself reports an index outside the message.
  clearWithClassFunction(message, record, index);
}

bool APMPBGetBool(const NANOMessageBase* message, int32_t index) {
  const void* cell = scalarCell(message, index, "GetBool", Check::Bool);
  return cell != nullptr && (cellBits(cell) & 0xFF) != 0;
}

void APMPBSetBool(NANOMessageBase* message, int32_t index, bool value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetBool", Check::Bool)) {
    APMPBSetUInt32Cell(&record->values[index], value ? 1 : 0);
  }
}

int32_t APMPBGetInt32(const NANOMessageBase* message, int32_t index) {
  const void* cell = scalarCell(message, index, "GetInt32", Check::Int32);
  return cell ? static_cast<int32_t>(static_cast<uint32_t>(cellBits(cell))) : 0;
}

void APMPBSetInt32(NANOMessageBase* message, int32_t index, int32_t value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetInt32", Check::Int32)) {
    APMPBSetUInt32Cell(&record->values[index], static_cast<uint32_t>(value));
  }
}

int64_t APMPBGetInt64(const NANOMessageBase* message, int32_t index) {
  const void* cell = scalarCell(message, index, "GetInt64", Check::Int64);
  return cell ? static_cast<int64_t>(cellBits(cell)) : 0;
}

void APMPBSetInt64(NANOMessageBase* message, int32_t index, int64_t value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetInt64", Check::Int64)) {
    APMPBSetUInt64Cell(&record->values[index], static_cast<uint64_t>(value));
  }
}

double APMPBGetDouble(const NANOMessageBase* message, int32_t index) {
  const void* cell = scalarCell(message, index, "GetDouble", Check::Double);
  if (cell == nullptr) return 0.0;
  double value;
  std::memcpy(&value, cell, sizeof(value));
  return value;
}

void APMPBSetDouble(NANOMessageBase* message, int32_t index, double value) {
  if (MessageInfo* record = fieldRecord(message, index, "SetDouble", Check::Double)) {
    APMPBSetDoubleCell(&record->values[index], value);
  }
}

std::optional<std::string> APMPBGetString(const NANOMessageBase* message, int32_t index) {
  const void* cell = scalarCell(message, index, "GetString", Check::String);
  return stringOfCell(static_cast<const APMPBArray*>(cell));
}

void APMPBSetString(NANOMessageBase* message, int32_t index, std::optional<std::string_view> value) {
  MessageInfo* record = fieldRecord(message, index, "SetString", Check::String);
  if (record == nullptr) return;
  if (!value) {
    clearWithClassFunction(message, record, index);
    return;
  }
  auto* cell = static_cast<APMPBArray*>(record->values[index]);
  if (cell == nullptr) {
    cell = static_cast<APMPBArray*>(std::calloc(1, sizeof(APMPBArray)));
    if (cell == nullptr) return;
    record->values[index] = cell;
  } else if (cell->data != nullptr) {
    APMPBFreeString(cell);
  }
  fillStringCell(cell, value->data(), value->size());
}

void APMPBSetMessage(NANOMessageBase* message, int32_t index, const NANOMessageBase* value) {
  MessageInfo* record = fieldRecord(message, index, "SetMessage", Check::Message);
  if (record == nullptr) return;
  // The field's encoder, copier and freer walk the stored record with the
  // schema's sub-message type; a record of another message would be read
  // past its end.
  const APMPBMessageDescriptor* expected = message->descriptor().child(index);
  if (value != nullptr && (expected == nullptr || std::strcmp(value->messageID(), expected->name()) != 0)) {
    nanoLog("<ERROR> Invalid message type. Field expects %s. Type: %@",
            expected ? expected->name() : "(none)", value->className() ? value->className() : "(null)");
    return;
  }
  clearWithClassFunction(message, record, index);
  if (value == nullptr) return;
  auto* copy = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
  if (copy == nullptr) return;
  if (!value->initMessageInfoFn()(copy) || !value->copyMessageInfoFn()(&copy, value->messageInfo())) {
    if (copy != nullptr) value->descriptor().functions().free(copy);
    return;
  }
  record->values[index] = copy;
}

std::optional<os::Array> APMPBGetArray(const NANOMessageBase* message, int32_t index) {
  auto elements = apmpb::detail::arrayField(message, index, nullptr);
  if (!elements) return std::nullopt;
  os::Array result;
  result.reserve(elements->size());
  for (auto& element : *elements) {
    if (auto* value = std::get_if<os::Value>(&element)) result.push_back(std::move(*value));
  }
  return result;
}

void APMPBSetArray(NANOMessageBase* message, int32_t index, const os::Array& values) {
  std::vector<apmpb::detail::ElementRef> refs;
  refs.reserve(values.size());
  for (const auto& value : values) refs.push_back({&value, nullptr});
  std::span<const apmpb::detail::ElementRef> span(refs);
  apmpb::detail::setArrayField(message, index, &span);
}

void APMPBSetArray(NANOMessageBase* message, int32_t index, std::nullptr_t) {
  apmpb::detail::setArrayField(message, index, nullptr);
}

namespace apmpb::detail {

const MessageInfo* messageField(const NANOMessageBase* message, int32_t index) {
  const void* cell = scalarCell(message, index, "GetMessage", Check::Message);
  return static_cast<const MessageInfo*>(cell);
}

std::optional<std::vector<Element>> arrayField(const NANOMessageBase* message, int32_t index,
                                               MessageFactory factory) {
  MessageInfo* record = fieldRecord(message, index, "GetArray", Check::Repeated);
  if (record == nullptr) return std::nullopt;
  auto* array = static_cast<const APMPBArray*>(record->values[index]);
  if (array == nullptr) {
    nanoLog(kArrayMissing);
    return std::nullopt;
  }
  std::vector<Element> result;
  if (array->data == nullptr) return result;
  int32_t type = record->types[index];
  auto* const* elements = static_cast<void* const*>(array->data);
  result.reserve(array->size);
  for (uint32_t k = 0; k < array->size; k++) {
    const void* cell = elements[k];
    if (cell == nullptr) {
      nanoLog("<ERROR> Unable to convert NULL data to an ObjC object");
      continue;
    }
    uint64_t bits = 0;
    if ((type & (kAPMPBTypeString | kAPMPBTypeBytes | kAPMPBTypeMessage)) == 0) bits = cellBits(cell);
    if (type & kAPMPBTypeBool) {
      result.emplace_back(os::Value(os::Number::boolean((bits & 0xFF) != 0)));
    } else if (type & kAPMPBTypeInt32) {
      result.emplace_back(os::Value(os::Number::int32(static_cast<int32_t>(bits))));
    } else if (type & kAPMPBTypeUInt32) {
      result.emplace_back(os::Value(os::Number::uint32(static_cast<uint32_t>(bits))));
    } else if (type & kAPMPBTypeInt64) {
      result.emplace_back(os::Value(os::Number::int64(static_cast<int64_t>(bits))));
    } else if (type & kAPMPBTypeUInt64) {
      result.emplace_back(os::Value(os::Number::uint64(bits)));
    } else if (type & kAPMPBTypeFloat) {
      float f;
      std::memcpy(&f, cell, sizeof(f));
      result.emplace_back(os::Value(os::Number::float32(f)));
    } else if (type & kAPMPBTypeDouble) {
      double d;
      std::memcpy(&d, cell, sizeof(d));
      result.emplace_back(os::Value(os::Number::float64(d)));
    } else if (type & kAPMPBTypeEnum) {
      result.emplace_back(os::Value(os::Number::int32(static_cast<int32_t>(bits))));
    } else if (type & kAPMPBTypeString) {
      if (auto s = stringOfCell(static_cast<const APMPBArray*>(cell))) {
        result.emplace_back(os::Value(std::move(*s)));
      }
    } else if (type & kAPMPBTypeBytes) {
      auto* bytes = static_cast<const APMPBArray*>(cell);
      if (bytes->data != nullptr) result.emplace_back(os::Value(os::Data(bytes->data, bytes->size)));
    } else if (type & kAPMPBTypeMessage) {
      if (factory == nullptr) {
        nanoLog(kNotClass, "(null)");
        continue;
      }
      if (auto object = factory(static_cast<const MessageInfo*>(cell))) {
        result.emplace_back(std::move(object));
      }
    } else {
      nanoLog("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d", type);
    }
  }
  return result;
}

void setArrayField(NANOMessageBase* message, int32_t index, const std::span<const ElementRef>* values) {
  MessageInfo* record = fieldRecord(message, index, "SetArray", Check::Repeated);
  if (record == nullptr) return;
  auto* array = static_cast<APMPBArray*>(record->values[index]);
  if (array == nullptr) {
    nanoLog(kArrayMissing);
    return;
  }
  clearWithClassFunction(message, record, index);
  if (values == nullptr || values->empty()) return;
  array->data = std::calloc(values->size(), sizeof(void*));
  if (array->data == nullptr) return;
  array->size = static_cast<uint32_t>(values->size());
  int32_t type = record->types[index];
  const APMPBMessageDescriptor* expected = message->descriptor().child(index);
  auto** slots = static_cast<void**>(array->data);

  auto fail = [&](std::string line) {
    nanoLog("%@", line);
    clearWithClassFunction(message, record, index);
  };
  for (size_t k = 0; k < values->size(); k++) {
    const ElementRef& element = (*values)[k];
    void** slot = &slots[k];
    const os::Number* number = element.value ? element.value->number() : nullptr;
    auto needNumber = [&](const char* kindName) {
      if (number != nullptr) return true;
      fail(os::format("<ERROR> Invalid object type. %s fields expect NSNumber. Type: %@", kindName,
                      classNameOf(element)));
      return false;
    };
    if (type & kAPMPBTypeBool) {
      if (!needNumber("Boolean")) return;
      APMPBSetBoolCell(slot, number->boolValue() ? 1 : 0);
    } else if (type & (kAPMPBTypeInt32 | kAPMPBTypeUInt32)) {
      if (!needNumber("Int32")) return;
      APMPBSetUInt32Cell(slot, static_cast<uint32_t>(number->int64Value()));
    } else if (type & (kAPMPBTypeInt64 | kAPMPBTypeUInt64)) {
      if (!needNumber("Int64")) return;
      APMPBSetUInt64Cell(slot, static_cast<uint64_t>(number->int64Value()));
    } else if (type & kAPMPBTypeFloat) {
      if (!needNumber("Float")) return;
      APMPBSetFloatCell(slot, number->floatValue());
    } else if (type & kAPMPBTypeDouble) {
      if (!needNumber("Double")) return;
      APMPBSetDoubleCell(slot, number->doubleValue());
    } else if (type & kAPMPBTypeEnum) {
      if (!needNumber("Enum")) return;
      APMPBSetUInt32Cell(slot, static_cast<uint32_t>(number->int64Value()));
    } else if (type & (kAPMPBTypeString | kAPMPBTypeBytes)) {
      bool isString = (type & kAPMPBTypeString) != 0;
      const std::string* s = element.value ? element.value->string() : nullptr;
      const os::Data* d = element.value ? element.value->data() : nullptr;
      if ((isString && s == nullptr) || (!isString && d == nullptr)) {
        fail(os::format(isString ? "<ERROR> Invalid object type. String fields expect NSString. Type: %@"
                                 : "<ERROR> Invalid object type. Bytes fields expect NSData. Type: %@",
                        classNameOf(element)));
        return;
      }
      auto* cell = static_cast<APMPBArray*>(std::calloc(1, sizeof(APMPBArray)));
      if (cell == nullptr) {
        fail("<ERROR> Unable to set NULL data to an ObjC object");
        return;
      }
      *slot = cell;
      if (isString) {
        fillStringCell(cell, s->data(), s->size());
      } else {
        fillStringCell(cell, d->bytes(), d->length());
      }
    } else if (type & kAPMPBTypeMessage) {
      if (element.message == nullptr) {
        fail(os::format("<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: %@",
                        classNameOf(element)));
        return;
      }
      if (expected == nullptr || std::strcmp(element.message->messageID(), expected->name()) != 0) {
        fail(os::format("<ERROR> Invalid message type. Field expects %s. Type: %@",
                        expected ? expected->name() : "(none)", classNameOf(element)));
        return;
      }
      auto** target = reinterpret_cast<MessageInfo**>(slot);
      if (!element.message->copyMessageInfoFn()(target, element.message->messageInfo())) {
        fail("<ERROR> Unable to set NULL data to an ObjC object");
        return;
      }
    } else {
      fail(os::format("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d", type));
      return;
    }
    if (*slot == nullptr) {
      fail("<ERROR> Unable to set NULL data to an ObjC object");
      return;
    }
  }
}

}  // namespace apmpb::detail
