// os::Value: the one dynamic value of the system. It stands for the platform's
// collections, property lists and JSON: null, number (which remembers its kind,
// Boolean included), string, data, date, array and dictionary.
//
// Equality and hashing follow the platform's collections: numbers compare by
// value across kinds (1 == 1.0 == true), everything else by type and content.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/date.h"

namespace os {

class Number {
 public:
  enum class Kind { Bool, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64, Float, Double };

  constexpr Number() : kind_(Kind::Int64), i_(0) {}
  static constexpr Number boolean(bool b) { return Number(Kind::Bool, int64_t(b)); }
  static constexpr Number int8(int8_t v) { return Number(Kind::Int8, int64_t(v)); }
  static constexpr Number int16(int16_t v) { return Number(Kind::Int16, int64_t(v)); }
  static constexpr Number int32(int32_t v) { return Number(Kind::Int32, int64_t(v)); }
  static constexpr Number int64(int64_t v) { return Number(Kind::Int64, v); }
  static constexpr Number uint8(uint8_t v) { return Number(Kind::UInt8, int64_t(v)); }
  static constexpr Number uint16(uint16_t v) { return Number(Kind::UInt16, int64_t(v)); }
  static constexpr Number uint32(uint32_t v) { return Number(Kind::UInt32, int64_t(v)); }
  static constexpr Number uint64(uint64_t v) {
    Number n(Kind::UInt64, int64_t(0));
    n.u_ = v;
    return n;
  }
  static constexpr Number float32(float v) { return Number(Kind::Float, double(v)); }
  static constexpr Number float64(double v) { return Number(Kind::Double, v); }

  Kind kind() const { return kind_; }
  bool isBool() const { return kind_ == Kind::Bool; }
  bool isFloatingPoint() const { return kind_ == Kind::Float || kind_ == Kind::Double; }
  bool isUnsigned() const {
    return kind_ == Kind::UInt8 || kind_ == Kind::UInt16 || kind_ == Kind::UInt32 || kind_ == Kind::UInt64;
  }
  bool isInteger() const { return !isFloatingPoint(); }

  // Conversions as the platform's number does them (truncating, wrapping).
  bool boolValue() const;
  int32_t intValue() const { return static_cast<int32_t>(int64Value()); }
  int64_t int64Value() const;
  uint64_t uint64Value() const;
  double doubleValue() const;
  float floatValue() const { return static_cast<float>(doubleValue()); }

  // -1, 0 or 1, by numeric value across kinds.
  int compare(const Number& other) const;
  size_t hash() const;
  // "1", "-3", "1.5", "0.1" (shortest round-trip text for floating kinds).
  std::string description() const;

  friend bool operator==(const Number& a, const Number& b) { return a.compare(b) == 0; }

 private:
  constexpr Number(Kind k, int64_t v) : kind_(k), i_(v) {}
  constexpr Number(Kind k, double v) : kind_(k), d_(v) {}
  Kind kind_;
  union {
    int64_t i_;
    uint64_t u_;
    double d_;
  };
};

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;

class Value {
 public:
  enum class Type { Null, Number, String, Data, Date, Array, Dictionary };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : v_(Number::boolean(b)) {}
  Value(int v) : v_(Number::int32(v)) {}
  Value(long v) : v_(Number::int64(v)) {}
  Value(long long v) : v_(Number::int64(v)) {}
  Value(unsigned v) : v_(Number::uint32(v)) {}
  Value(unsigned long v) : v_(Number::uint64(v)) {}
  Value(unsigned long long v) : v_(Number::uint64(v)) {}
  Value(float v) : v_(Number::float32(v)) {}
  Value(double v) : v_(Number::float64(v)) {}
  Value(Number n) : v_(n) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(os::Data d) : v_(std::move(d)) {}
  Value(os::Date d) : v_(d) {}
  Value(os::Array a) : v_(std::move(a)) {}
  Value(os::Dictionary d) : v_(std::move(d)) {}
  // A dictionary from {"key", value} pairs.
  Value(std::initializer_list<std::pair<const std::string, Value>> d) : v_(os::Dictionary(d)) {}

  static Value arrayOf(std::initializer_list<Value> items = {}) { return Value(os::Array(items)); }
  static Value emptyDictionary() { return Value(os::Dictionary{}); }

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isNumber() const { return type() == Type::Number; }
  bool isBool() const { return isNumber() && std::get<Number>(v_).isBool(); }
  bool isString() const { return type() == Type::String; }
  bool isData() const { return type() == Type::Data; }
  bool isDate() const { return type() == Type::Date; }
  bool isArray() const { return type() == Type::Array; }
  bool isDictionary() const { return type() == Type::Dictionary; }

  // Typed access; null when the value is of another type.
  const Number* number() const { return std::get_if<Number>(&v_); }
  const std::string* string() const { return std::get_if<std::string>(&v_); }
  const os::Data* data() const { return std::get_if<os::Data>(&v_); }
  const os::Date* date() const { return std::get_if<os::Date>(&v_); }
  const os::Array* array() const { return std::get_if<os::Array>(&v_); }
  os::Array* array() { return std::get_if<os::Array>(&v_); }
  const os::Dictionary* dictionary() const { return std::get_if<os::Dictionary>(&v_); }
  os::Dictionary* dictionary() { return std::get_if<os::Dictionary>(&v_); }

  // Convenience conversions with a fallback for other types.
  bool boolValue(bool fallback = false) const;
  int64_t int64Value(int64_t fallback = 0) const;
  double doubleValue(double fallback = 0) const;
  std::string stringValue(std::string_view fallback = {}) const;

  // Dictionary look-up; null Value when absent or not a dictionary.
  const Value& operator[](std::string_view key) const;
  // Array element; null Value when out of range or not an array.
  const Value& operator[](size_t index) const;
  const Value* find(std::string_view key) const;
  // Sets a key, turning a null value into a dictionary first.
  void set(std::string key, Value value);
  void erase(std::string_view key);
  // Appends, turning a null value into an array first.
  void push_back(Value value);
  // Element count of an array or dictionary, byte count of data/string, else 0.
  size_t count() const;

  // The platform's description text: strings bare, arrays "(\n    a\n)",
  // dictionaries "{\n    key = value;\n}".
  std::string description() const;
  size_t hash() const;

  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

 private:
  std::variant<std::monostate, Number, std::string, os::Data, os::Date, os::Array, os::Dictionary> v_;
};

// Writes the description; lets test frameworks print values.
std::ostream& operator<<(std::ostream& out, const Value& value);

}  // namespace os

template <>
struct std::hash<os::Value> {
  size_t operator()(const os::Value& v) const { return v.hash(); }
};
