#include "measurement/store/value.h"

#include <cstring>

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"

namespace {

void logError(int64_t code, std::string_view message, APMLogContext context = {}) {
  auto monitor = APMMeasurementServices::monitor();
  if (context.isNull()) {
    monitor->logWithLevel(0, code, message);
  } else {
    monitor->logWithLevel(0, code, message, std::move(context));
  }
}

// The object as a log context.
APMLogContext contextOf(const APMObject& object) {
  if (const APMValue* value = object.apmValue()) return APMLogContext(value->description());
  if (const os::Value* value = object.value()) return value->isNull() ? APMLogContext(os::Value("<null>")) : APMLogContext(*value);
  return APMLogContext();
}

}  // namespace

std::string APMObject::className() const {
  if (apmValue_ != nullptr) return apmValue_->className();
  if (!isValue_) return "nil";
  switch (value_.type()) {
    case os::Value::Type::Null: return "NSNull";
    case os::Value::Type::Number: return "NSNumber";
    case os::Value::Type::String: return "NSString";
    case os::Value::Type::Data: return "NSData";
    case os::Value::Type::Date: return "NSDate";
    case os::Value::Type::Array: return "NSArray";
    case os::Value::Type::Dictionary: return "NSDictionary";
  }
  return "NSObject";
}

std::string APMObject::description() const {
  if (apmValue_ != nullptr) return apmValue_->description();
  if (!isValue_) return "(nil)";
  return value_.description();
}

std::optional<APMValue> APMValue::valueFromObject(const APMObject& object, bool allowArray) {
  if (object.isNil()) {
    logError(kAPMValueCodeNilObject, "Cannot create Value type with nil value");
    return std::nullopt;
  }
  if (const APMValue* value = object.apmValue()) return *value;
  const os::Value& value = *object.value();
  if (value.isString()) return initWithString(object);
  if (const os::Number* number = value.number()) {
    return number->isFloatingPoint() ? initWithDouble(number->doubleValue()) : initWithInt64(number->int64Value());
  }
  if (value.isArray() && allowArray) return initWithArray(object);
  logError(kAPMValueCodeUnsupportedObject,
           "Cannot create Value type with unsupported value. The Value has to be NSNumber, NSString or NSArray (if "
           "supported). Value",
           contextOf(object));
  return std::nullopt;
}

std::optional<APMValue> APMValue::initWithString(const APMObject& string) {
  if (string.isNil()) {
    logError(kAPMValueCodeNilString, "Cannot create String value with nil");
    return std::nullopt;
  }
  const os::Value* value = string.value();
  if (value == nullptr || !value->isString()) {
    logError(kAPMValueCodeNotAString, "Cannot create String value with non-string value. Value", contextOf(string));
    return std::nullopt;
  }
  return APMValue(Type::String, *value);
}

std::optional<APMValue> APMValue::initWithArray(const APMObject& array) {
  if (array.isNil()) {
    logError(kAPMValueCodeNilArray, "Cannot create Array value with nil");
    return std::nullopt;
  }
  const os::Value* value = array.value();
  if (value == nullptr || !value->isArray()) {
    logError(kAPMValueCodeNotAnArray, "Cannot create Array value with non-array value. Value", contextOf(array));
    return std::nullopt;
  }
  return APMValue(Type::Array, *value);
}

std::optional<std::string> APMValue::stringValue() const {
  if (const std::string* text = isString() ? value_.string() : nullptr) return *text;
  return std::nullopt;
}

std::optional<os::Array> APMValue::arrayValue() const {
  if (const os::Array* items = isArray() ? value_.array() : nullptr) return *items;
  return std::nullopt;
}

bool APMValue::isEqual(const APMValue& other) const {
  return std::strcmp(other.className(), "APMValue") == 0 && type_ == other.type_ && value_ == other.value_;
}

size_t APMValue::hash() const { return value_.hash() ^ (static_cast<size_t>(type_) * 31); }
