// DAZUserDefaults: a validated store over the user defaults of one suite.
//
// Keys must be non-empty and values property lists (string, number, array,
// dictionary, date or data, with no null inside a collection). Anything else
// is logged as a warning ("I-DAZ000001".."I-DAZ000003") and ignored: nothing
// is stored, getters answer null or zero. There is no cache: every call goes
// to the os::UserDefaults object. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "os/foundation/user_defaults.h"
#include "os/foundation/value.h"

inline constexpr const char* kDAZUserDefaultsGetCategory = "<DevuvoUtilities>";
inline constexpr const char* kDAZUserDefaultsSetCategory = "[DevuvoUtilities/UserDefaults]";
inline constexpr long kDAZUserDefaultsMessageCodeInvalidKeyGet = 1;
inline constexpr long kDAZUserDefaultsMessageCodeInvalidKeySet = 2;
inline constexpr long kDAZUserDefaultsMessageCodeInvalidObjectSet = 3;

class DAZUserDefaults {
 public:
  // The shared store over the standard user defaults.
  static std::shared_ptr<DAZUserDefaults> standardUserDefaults();

  // The standard user defaults.
  DAZUserDefaults() : DAZUserDefaults(std::string_view()) {}
  // The suite's store; an empty name gives the standard user defaults. A name
  // the system refuses (see os::UserDefaults) gives a store that holds
  // nothing and ignores writes.
  explicit DAZUserDefaults(std::string_view suiteName);

  // The stored value, or null.
  os::Value objectForKey(std::string_view key) const;
  // Stores the value; a null value removes the key.
  void setObject(const os::Value& value, std::string_view key);
  void removeObjectForKey(std::string_view key) { setObject(os::Value(), key); }

  // objectForKey with the number conversion: 0, 0.0 or false when absent;
  // strings are parsed ("12" is 12).
  int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  // objectForKey unchanged: the kind of the stored value is not checked.
  os::Value stringForKey(std::string_view key) const { return objectForKey(key); }
  os::Value arrayForKey(std::string_view key) const { return objectForKey(key); }
  os::Value dictionaryForKey(std::string_view key) const { return objectForKey(key); }

  void setInteger(int64_t value, std::string_view key) { setObject(os::Value(os::Number::int64(value)), key); }
  void setFloat(float value, std::string_view key) { setObject(os::Value(value), key); }
  void setDouble(double value, std::string_view key) { setObject(os::Value(value), key); }
  void setBool(bool value, std::string_view key) { setObject(os::Value(value), key); }

  // The wrapped system object; null for a refused suite name.
  std::shared_ptr<os::UserDefaults> userDefaults() const;
  const std::string& suiteName() const { return suiteName_; }

 private:
  // Checks the key for a getter (warning 1 when invalid) and returns the
  // object to read, or null.
  std::shared_ptr<os::UserDefaults> readableFor(std::string_view key) const;

  std::string suiteName_;
  // The suite's object; unused for the standard store, which is looked up on
  // each call so that it follows os::UserDefaults::resetStandardUserDefaults.
  std::shared_ptr<os::UserDefaults> suite_;
};
