// os::KeyedArchiver and os::KeyedUnarchiver: secure keyed archiving of object
// graphs (trees) of registered classes and plain values.
//
// A class takes part by deriving from SecureCoding, writing its fields in
// encodeWithCoder, offering `static std::shared_ptr<T> initWithCoder(
// KeyedUnarchiver&)` (null on failure), and registering under its archived
// name:
//   static const os::CodingRegistration<REVOVAClock> kCoding("REVOVAClock");
//
// Decoding is always secure: the caller names the classes it allows at the top
// and at each nested object; a class not allowed, a class not registered, a
// value of the wrong type under a key, a missing required key, or damaged
// bytes give an error in NSCocoaErrorDomain with code 4864, and no object is
// returned (never a half-decoded one). Archiving an object whose class is not
// registered gives 4866.
//
// Format (our own), a binary property list:
//   {"$archiver": "DrosilKeyedArchiver", "$version": 1, "$top": {"root": E}}
// where an entry E is {"$value": <plain value>} or {"$class": <name>,
// "$fields": {key: E, ...}} or {"$objects": [E, ...]} (an array of objects).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

namespace os {

inline constexpr int64_t kCoderReadCorruptError = 4864;
inline constexpr int64_t kCoderValueNotFoundError = 4865;
inline constexpr int64_t kCoderInvalidValueError = 4866;

inline constexpr const char* kKeyedArchiveRootObjectKey = "root";

class KeyedArchiver;
class KeyedUnarchiver;

class SecureCoding {
 public:
  virtual ~SecureCoding() = default;
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

using CodingDecoder = std::function<std::shared_ptr<SecureCoding>(KeyedUnarchiver&)>;

// Registers a class for archiving under `name`. A second registration of the
// same name or type is ignored. Thread-safe.
void registerCodingClass(const std::string& name, std::type_index type, CodingDecoder decoder);
// The archived name of a registered type, or empty.
std::string codingClassName(std::type_index type);

template <class T>
class CodingRegistration {
 public:
  explicit CodingRegistration(const std::string& name) {
    registerCodingClass(name, typeid(T), [](KeyedUnarchiver& coder) -> std::shared_ptr<SecureCoding> {
      return T::initWithCoder(coder);
    });
  }
};

class KeyedArchiver {
 public:
  KeyedArchiver() = default;

  // The archive of one object (null: an archive of nothing, which decodes to
  // an error) or of a plain value (not null).
  static Result<Data> archivedDataWithRootObject(const std::shared_ptr<const SecureCoding>& object);
  static Result<Data> archivedDataWithRootObject(const Value& value);

  // Writes objects of the registered class `className` under `codedName`.
  void setClassName(const std::string& codedName, const std::string& className);

  // Within encodeWithCoder. A null object or null value stores nothing.
  void encodeObject(const std::shared_ptr<const SecureCoding>& object, const std::string& key);
  void encodeObjects(const std::vector<std::shared_ptr<const SecureCoding>>& objects, const std::string& key);
  void encodeValue(const Value& value, const std::string& key);
  void encodeBool(bool value, const std::string& key) { encodeValue(Value(value), key); }
  void encodeInt32(int32_t value, const std::string& key) { encodeValue(Value(Number::int32(value)), key); }
  void encodeInt64(int64_t value, const std::string& key) { encodeValue(Value(Number::int64(value)), key); }
  void encodeDouble(double value, const std::string& key) { encodeValue(Value(value), key); }
  // Makes the whole archive fail with this error.
  void failWithError(Error error);

  void encodeRootObject(const std::shared_ptr<const SecureCoding>& object) {
    encodeObject(object, kKeyedArchiveRootObjectKey);
  }
  // The archive of everything encoded at the top level.
  Result<Data> encodedData() const;

 private:
  Value entryFor(const std::shared_ptr<const SecureCoding>& object);

  std::map<std::string, std::string> codedNames_;  // class name -> archived name
  Dictionary* fields_ = &top_;                     // the fields being written
  Dictionary top_;
  std::optional<Error> error_;
  int depth_ = 0;
};

class KeyedUnarchiver {
 public:
  // Reads an archive; 4864 when the bytes are not one.
  static Result<std::shared_ptr<KeyedUnarchiver>> initForReadingFromData(const Data& data);

  // The root object when its class is T (or mapped to it), else an error.
  template <class T>
  static Result<std::shared_ptr<T>> unarchivedObjectOfClass(const Data& data) {
    auto coder = initForReadingFromData(data);
    if (!coder) return fail(coder.error());
    return (*coder)->template decodeTopLevelObjectOfClass<T>();
  }
  static Result<std::shared_ptr<SecureCoding>> unarchivedObjectOfClasses(const std::vector<std::string>& classNames,
                                                                          const Data& data);
  // The root plain value.
  static Result<Value> unarchivedValue(const Data& data);

  // Decodes objects archived as `archivedName` with the registered class
  // `className`.
  void setClass(const std::string& className, const std::string& archivedName);

  template <class T>
  Result<std::shared_ptr<T>> decodeTopLevelObjectOfClass() {
    auto object = decodeTopLevelObjectOfClasses({codingClassName(typeid(T))});
    if (!object) return fail(object.error());
    auto typed = std::dynamic_pointer_cast<T>(*object);
    if (!typed) return fail(corrupt("The root object is not of the expected class."));
    return typed;
  }
  Result<std::shared_ptr<SecureCoding>> decodeTopLevelObjectOfClasses(const std::vector<std::string>& classNames);

  // ---- within initWithCoder ----
  bool containsValueForKey(const std::string& key) const;
  // Fails the decoding (4864) unless every key is present; returns whether so.
  bool requireKeys(std::initializer_list<const char*> keys);

  // The object under the key: null when absent; fails when it is of another
  // class than allowed.
  template <class T>
  std::shared_ptr<T> decodeObjectOfClass(const std::string& key) {
    auto object = decodeObjectOfClasses({codingClassName(typeid(T))}, key);
    auto typed = std::dynamic_pointer_cast<T>(object);
    if (object && !typed) failWithError(corrupt("Value for key " + key + " is not of the expected class."));
    return typed;
  }
  std::shared_ptr<SecureCoding> decodeObjectOfClasses(const std::vector<std::string>& classNames,
                                                      const std::string& key);
  template <class T>
  std::vector<std::shared_ptr<T>> decodeArrayOfObjectsOfClass(const std::string& key) {
    std::vector<std::shared_ptr<T>> out;
    for (auto& object : decodeArrayOfObjectsOfClasses({codingClassName(typeid(T))}, key)) {
      auto typed = std::dynamic_pointer_cast<T>(object);
      if (!typed) {
        failWithError(corrupt("Array for key " + key + " holds an object of another class."));
        return {};
      }
      out.push_back(std::move(typed));
    }
    return out;
  }
  std::vector<std::shared_ptr<SecureCoding>> decodeArrayOfObjectsOfClasses(const std::vector<std::string>& classNames,
                                                                          const std::string& key);

  // A plain value under the key; null when absent.
  Value decodeValue(const std::string& key);
  // Typed plain values: nullopt when absent; fails when of another type.
  std::optional<std::string> decodeStringForKey(const std::string& key);
  std::optional<Data> decodeDataForKey(const std::string& key);
  std::optional<Date> decodeDateForKey(const std::string& key);
  std::optional<Array> decodeArrayForKey(const std::string& key);
  std::optional<Dictionary> decodeDictionaryForKey(const std::string& key);
  // Numbers: 0 / false when absent; fail when not a number.
  bool decodeBoolForKey(const std::string& key);
  int32_t decodeInt32ForKey(const std::string& key);
  int64_t decodeInt64ForKey(const std::string& key);
  double decodeDoubleForKey(const std::string& key);

  void failWithError(Error error);
  const std::optional<Error>& error() const { return error_; }

  static Error corrupt(const std::string& reason);

 private:
  explicit KeyedUnarchiver(Dictionary top) : top_(std::move(top)), fields_(&top_) {}
  const Value* entry(const std::string& key) const;
  std::shared_ptr<SecureCoding> decodeEntry(const Value& entry, const std::vector<std::string>& classNames,
                                            const std::string& key);
  const Value* plainValue(const std::string& key);

  Dictionary top_;
  const Dictionary* fields_;                          // the fields being read
  std::map<std::string, std::string> classForName_;  // archived name -> class name
  std::optional<Error> error_;
  int depth_ = 0;
};

}  // namespace os
