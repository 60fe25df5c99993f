// APMConfigStore: the key-value protocol shared by the file-backed
// APMPersistentDictionary and the preferences-backed APMUserDefaults, so that
// either can stand in for the other.
//
// Keys are non-empty strings. Values are strings, numbers, arrays,
// dictionaries, dates and data that a property list can hold; a null value
// removes the key. Each store logs and ignores a bad key or value.
//
// The typed accessors are built here on objectForKey and setObject: a getter
// answers the stored object when it is of its kind and the neutral value
// (0, 0.0, false, nullopt) otherwise; a setter wraps the value in a number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/value.h"

class APMConfigStore {
 public:
  virtual ~APMConfigStore() = default;

  // The stored object, or null.
  virtual os::Value objectForKey(std::string_view key) = 0;
  // Stores the object; null removes the key.
  virtual void setObject(const os::Value& object, std::string_view key) = 0;
  virtual void removeObjectForKey(std::string_view key) { setObject(os::Value(), key); }
  virtual void clearAllData() = 0;
  virtual void synchronize() = 0;

  std::optional<os::Array> arrayForKey(std::string_view key);
  std::optional<os::Dictionary> dictionaryForKey(std::string_view key);
  std::optional<std::string> stringForKey(std::string_view key);
  std::optional<os::Number> numberForKey(std::string_view key);
  int64_t integerForKey(std::string_view key);
  float floatForKey(std::string_view key);
  double doubleForKey(std::string_view key);
  bool boolForKey(std::string_view key);

  void setFloat(float value, std::string_view key) { setObject(os::Value(value), key); }
  void setDouble(double value, std::string_view key) { setObject(os::Value(value), key); }
  void setInteger(int64_t value, std::string_view key) { setObject(os::Value(os::Number::int64(value)), key); }
  void setBool(bool value, std::string_view key) { setObject(os::Value(value), key); }

 protected:
  // A value the stores accept: one of the six kinds, and a property list
  // (no null inside a collection).
  static bool isAcceptableObject(const os::Value& object);
};
