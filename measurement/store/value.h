// APMValue: the typed value of an event parameter or a user property: a
// double, a 64-bit integer, a string, or an array (of parameter items). The
// type is kept beside the wrapped value, so an int64 5 and a double 5.0 are
// different values. Immutable; a value type, safe to share between threads.
//
// APMObject: what the value checks take where any object may arrive: nil, an
// APMValue, or any other value (os::Value, whose null is the null object, not
// nil). It is a parameter type: it refers to the APMValue it was made from,
// which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/value.h"

// Monitor codes (level 0).
inline constexpr int64_t kAPMValueCodeNilObject = 35000;
inline constexpr int64_t kAPMValueCodeUnsupportedObject = 35001;
inline constexpr int64_t kAPMValueCodeNilString = 35002;
inline constexpr int64_t kAPMValueCodeNotAString = 35003;
inline constexpr int64_t kAPMValueCodeNilArray = 35004;
inline constexpr int64_t kAPMValueCodeNotAnArray = 35005;

class APMValue;

class APMObject {
 public:
  APMObject() = default;  // nil
  APMObject(std::nullptr_t) {}
  APMObject(const APMValue& value) : apmValue_(&value) {}
  APMObject(os::Value value) : value_(std::move(value)), isValue_(true) {}
  APMObject(const char* text) : APMObject(os::Value(text)) {}
  APMObject(std::string text) : APMObject(os::Value(std::move(text))) {}
  APMObject(std::string_view text) : APMObject(os::Value(text)) {}

  bool isNil() const { return apmValue_ == nullptr && !isValue_; }
  // The APMValue, or null.
  const APMValue* apmValue() const { return apmValue_; }
  // The other value, or null.
  const os::Value* value() const { return isValue_ ? &value_ : nullptr; }
  // The platform class name a log shows for the object ("APMValue",
  // "NSString", "NSNumber", "NSNull", ...; "nil").
  std::string className() const;
  std::string description() const;

 private:
  const APMValue* apmValue_ = nullptr;
  os::Value value_;
  bool isValue_ = false;
};

class APMValue {
 public:
  enum class Type : int64_t { Double = 0, Int64 = 1, String = 2, Array = 3 };

  // A value from an object: an APMValue is returned as it is; a string gives
  // a string value; a floating-point number a double; any other number an
  // int64 (a Boolean 0 or 1); an array, when allowed, an array value. nil
  // (35000) and anything else (35001) give nullopt.
  static std::optional<APMValue> valueFromObject(const APMObject& object, bool allowArray = false);
  static APMValue initWithDouble(double value) { return APMValue(Type::Double, os::Value(os::Number::float64(value))); }
  static APMValue initWithInt64(int64_t value) { return APMValue(Type::Int64, os::Value(os::Number::int64(value))); }
  // nullopt for nil (35002) or a non-string (35003).
  static std::optional<APMValue> initWithString(const APMObject& string);
  // A copy of the array; its elements are not checked. nullopt for nil
  // (35004) or a non-array (35005).
  static std::optional<APMValue> initWithArray(const APMObject& array);
  // Stores both as they are.
  static APMValue initWithValueType(Type type, os::Value value) { return APMValue(type, std::move(value)); }

  virtual ~APMValue() = default;
  APMValue(const APMValue&) = default;
  APMValue& operator=(const APMValue&) = default;

  Type valueType() const { return type_; }
  bool isDouble() const { return type_ == Type::Double; }
  bool isInt64() const { return type_ == Type::Int64; }
  bool isString() const { return type_ == Type::String; }
  bool isArray() const { return type_ == Type::Array; }
  // No conversion between types: 0.0, 0 or nullopt for a value of another
  // type.
  double doubleValue() const { return isDouble() ? value_.doubleValue() : 0.0; }
  int64_t int64Value() const { return isInt64() ? value_.int64Value() : 0; }
  std::optional<std::string> stringValue() const;
  std::optional<os::Array> arrayValue() const;
  // The wrapped object.
  const os::Value& value() const { return value_; }
  std::string description() const { return value_.description(); }

  // True only when `other` is exactly an APMValue (not a subclass) of the
  // same type wrapping an equal object. A copy is always an APMValue.
  bool isEqual(const APMValue& other) const;
  size_t hash() const;
  virtual const char* className() const { return "APMValue"; }

  friend bool operator==(const APMValue& a, const APMValue& b) { return a.isEqual(b); }

 protected:
  APMValue(Type type, os::Value value) : type_(type), value_(std::move(value)) {}

 private:
  Type type_;
  os::Value value_;
};

// The value type the interop connector makes; nothing of its own.
class RURIValue final : public APMValue {
 public:
  explicit RURIValue(const APMValue& value) : APMValue(value) {}
  const char* className() const override { return "RURIValue"; }
};
