#include "os/foundation/keyed_archiver.h"

#include <algorithm>
#include <mutex>

#include "os/foundation/plist.h"

namespace os {
namespace {

constexpr const char* kArchiverKey = "$archiver";
constexpr const char* kArchiverName = "DrosilKeyedArchiver";
constexpr const char* kVersionKey = "$version";
constexpr const char* kTopKey = "$top";
constexpr const char* kValueKey = "$value";
constexpr const char* kClassKey = "$class";
constexpr const char* kFieldsKey = "$fields";
constexpr const char* kObjectsKey = "$objects";
constexpr int kMaximumDepth = 256;

struct CodingRegistry {
  std::mutex mutex;
  std::map<std::string, CodingDecoder> decoders;     // guarded by mutex
  std::map<std::type_index, std::string> names;      // guarded by mutex
};

CodingRegistry& codingRegistry() {
  static CodingRegistry* r = new CodingRegistry();
  return *r;
}

CodingDecoder decoderFor(const std::string& name) {
  auto& r = codingRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.decoders.find(name);
  return it == r.decoders.end() ? CodingDecoder() : it->second;
}

Error invalidValue(const std::string& reason) {
  return Error::withDescription(kCocoaErrorDomain, kCoderInvalidValueError, reason);
}

}  // namespace

void registerCodingClass(const std::string& name, std::type_index type, CodingDecoder decoder) {
  auto& r = codingRegistry();
  std::lock_guard lock(r.mutex);
  if (r.decoders.count(name) || r.names.count(type)) return;
  r.decoders.emplace(name, std::move(decoder));
  r.names.emplace(type, name);
}

std::string codingClassName(std::type_index type) {
  auto& r = codingRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.names.find(type);
  return it == r.names.end() ? std::string() : it->second;
}

// ---- KeyedArchiver ----

Result<Data> KeyedArchiver::archivedDataWithRootObject(const std::shared_ptr<const SecureCoding>& object) {
  KeyedArchiver archiver;
  archiver.encodeRootObject(object);
  return archiver.encodedData();
}

Result<Data> KeyedArchiver::archivedDataWithRootObject(const Value& value) {
  if (value.isNull()) return fail(invalidValue("A null value cannot be archived."));
  KeyedArchiver archiver;
  archiver.encodeValue(value, kKeyedArchiveRootObjectKey);
  return archiver.encodedData();
}

void KeyedArchiver::setClassName(const std::string& codedName, const std::string& className) {
  codedNames_[className] = codedName;
}

void KeyedArchiver::failWithError(Error error) {
  if (!error_) error_ = std::move(error);
}

Value KeyedArchiver::entryFor(const std::shared_ptr<const SecureCoding>& object) {
  const SecureCoding& ref = *object;
  std::string name = codingClassName(typeid(ref));
  if (name.empty()) {
    failWithError(invalidValue(std::string("The class ") + typeid(ref).name() + " does not support secure coding."));
    return Value();
  }
  if (depth_ >= kMaximumDepth) {
    failWithError(invalidValue("The object graph is nested too deeply to archive."));
    return Value();
  }
  if (auto it = codedNames_.find(name); it != codedNames_.end()) name = it->second;
  Dictionary fields;
  Dictionary* outer = fields_;
  fields_ = &fields;
  depth_++;
  object->encodeWithCoder(*this);
  depth_--;
  fields_ = outer;
  return Value(Dictionary{{kClassKey, Value(name)}, {kFieldsKey, Value(std::move(fields))}});
}

void KeyedArchiver::encodeObject(const std::shared_ptr<const SecureCoding>& object, const std::string& key) {
  if (!object) return;
  Value entry = entryFor(object);
  if (!entry.isNull()) (*fields_)[key] = std::move(entry);
}

void KeyedArchiver::encodeObjects(const std::vector<std::shared_ptr<const SecureCoding>>& objects,
                                  const std::string& key) {
  Array entries;
  for (auto& object : objects) {
    if (!object) {
      failWithError(invalidValue("An array of objects cannot hold null (key " + key + ")."));
      return;
    }
    entries.push_back(entryFor(object));
  }
  (*fields_)[key] = Value(Dictionary{{kObjectsKey, Value(std::move(entries))}});
}

void KeyedArchiver::encodeValue(const Value& value, const std::string& key) {
  if (value.isNull()) return;
  (*fields_)[key] = Value(Dictionary{{kValueKey, value}});
}

Result<Data> KeyedArchiver::encodedData() const {
  if (error_) return fail(*error_);
  Dictionary archive;
  archive[kArchiverKey] = Value(kArchiverName);
  archive[kVersionKey] = Value(1);
  archive[kTopKey] = Value(top_);
  auto data = PropertyListSerialization::dataWithPropertyList(Value(std::move(archive)),
                                                              PropertyListSerialization::Format::Binary);
  if (!data) {
    Error error = invalidValue("The archive holds a value that a property list cannot: " +
                               data.error().localizedDescription());
    return fail(std::move(error));
  }
  return data;
}

// ---- KeyedUnarchiver ----

Error KeyedUnarchiver::corrupt(const std::string& reason) {
  return Error::withDescription(kCocoaErrorDomain, kCoderReadCorruptError,
                                "The data couldn\u2019t be read because it isn\u2019t in the correct format. " + reason);
}

Result<std::shared_ptr<KeyedUnarchiver>> KeyedUnarchiver::initForReadingFromData(const Data& data) {
  auto plist = PropertyListSerialization::propertyListWithData(data);
  if (!plist) {
    Error error = corrupt("The archive is not a property list.");
    error.setUnderlyingError(plist.error());
    return fail(std::move(error));
  }
  const Value& archive = *plist;
  if (!archive.isDictionary() || archive[kArchiverKey].stringValue() != kArchiverName ||
      !archive[kTopKey].isDictionary())
    return fail(corrupt("The data is not a keyed archive."));
  if (archive[kVersionKey].int64Value() != 1) return fail(corrupt("The archive's version is not supported."));
  return std::shared_ptr<KeyedUnarchiver>(new KeyedUnarchiver(*archive[kTopKey].dictionary()));
}

Result<std::shared_ptr<SecureCoding>> KeyedUnarchiver::unarchivedObjectOfClasses(
    const std::vector<std::string>& classNames, const Data& data) {
  auto coder = initForReadingFromData(data);
  if (!coder) return fail(coder.error());
  return (*coder)->decodeTopLevelObjectOfClasses(classNames);
}

Result<Value> KeyedUnarchiver::unarchivedValue(const Data& data) {
  auto coder = initForReadingFromData(data);
  if (!coder) return fail(coder.error());
  const Value* root = (*coder)->entry(kKeyedArchiveRootObjectKey);
  if (!root || !root->isDictionary() || !root->find(kValueKey))
    return fail(corrupt("The archive's root is not a plain value."));
  return *root->find(kValueKey);
}

void KeyedUnarchiver::setClass(const std::string& className, const std::string& archivedName) {
  classForName_[archivedName] = className;
}

Result<std::shared_ptr<SecureCoding>> KeyedUnarchiver::decodeTopLevelObjectOfClasses(
    const std::vector<std::string>& classNames) {
  if (!containsValueForKey(kKeyedArchiveRootObjectKey)) return fail(corrupt("The archive has no root object."));
  auto object = decodeObjectOfClasses(classNames, kKeyedArchiveRootObjectKey);
  if (error_) return fail(*error_);
  if (!object) return fail(corrupt("The root object could not be decoded."));
  return object;
}

const Value* KeyedUnarchiver::entry(const std::string& key) const {
  auto it = fields_->find(key);
  return it == fields_->end() ? nullptr : &it->second;
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const { return entry(key) != nullptr; }

bool KeyedUnarchiver::requireKeys(std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (!containsValueForKey(key)) {
      failWithError(corrupt(std::string("The required key \"") + key + "\" is missing."));
      return false;
    }
  }
  return true;
}

void KeyedUnarchiver::failWithError(Error error) {
  if (!error_) error_ = std::move(error);
}

std::shared_ptr<SecureCoding> KeyedUnarchiver::decodeEntry(const Value& e, const std::vector<std::string>& classNames,
                                                           const std::string& key) {
  if (error_) return nullptr;
  const Value* cls = e.find(kClassKey);
  const Value* fields = e.find(kFieldsKey);
  if (!cls || !cls->isString() || !fields || !fields->isDictionary()) {
    failWithError(corrupt("Value for key " + key + " is not an object."));
    return nullptr;
  }
  std::string name = *cls->string();
  if (auto it = classForName_.find(name); it != classForName_.end()) name = it->second;
  if (std::find(classNames.begin(), classNames.end(), name) == classNames.end()) {
    failWithError(corrupt("Value for key " + key + " was of unexpected class '" + *cls->string() + "'."));
    return nullptr;
  }
  CodingDecoder decoder = decoderFor(name);
  if (!decoder) {
    failWithError(corrupt("Cannot decode object of class (" + name + ") for key (" + key + ")."));
    return nullptr;
  }
  if (depth_ >= kMaximumDepth) {
    failWithError(corrupt("The archive is nested too deeply."));
    return nullptr;
  }
  const Dictionary* outer = fields_;
  fields_ = fields->dictionary();
  depth_++;
  auto object = decoder(*this);
  depth_--;
  fields_ = outer;
  if (error_) return nullptr;
  if (!object) failWithError(corrupt("The object of class " + name + " for key " + key + " could not be decoded."));
  return object;
}

std::shared_ptr<SecureCoding> KeyedUnarchiver::decodeObjectOfClasses(const std::vector<std::string>& classNames,
                                                                     const std::string& key) {
  if (error_) return nullptr;
  const Value* e = entry(key);
  if (!e) return nullptr;
  return decodeEntry(*e, classNames, key);
}

std::vector<std::shared_ptr<SecureCoding>> KeyedUnarchiver::decodeArrayOfObjectsOfClasses(
    const std::vector<std::string>& classNames, const std::string& key) {
  if (error_) return {};
  const Value* e = entry(key);
  if (!e) return {};
  const Value* items = e->find(kObjectsKey);
  if (!items || !items->isArray()) {
    failWithError(corrupt("Value for key " + key + " is not an array of objects."));
    return {};
  }
  std::vector<std::shared_ptr<SecureCoding>> out;
  for (const Value& item : *items->array()) {
    auto object = decodeEntry(item, classNames, key);
    if (!object) return {};
    out.push_back(std::move(object));
  }
  return out;
}

const Value* KeyedUnarchiver::plainValue(const std::string& key) {
  if (error_) return nullptr;
  const Value* e = entry(key);
  if (!e) return nullptr;
  const Value* v = e->find(kValueKey);
  if (!v) failWithError(corrupt("Value for key " + key + " is not a plain value."));
  return v;
}

Value KeyedUnarchiver::decodeValue(const std::string& key) {
  const Value* v = plainValue(key);
  return v ? *v : Value();
}

namespace {
template <class T, class Get>
std::optional<T> typed(KeyedUnarchiver& coder, const Value* v, const std::string& key, Get get) {
  if (!v) return std::nullopt;
  if (auto p = get(*v)) return *p;
  coder.failWithError(KeyedUnarchiver::corrupt("Value for key " + key + " is of an unexpected type."));
  return std::nullopt;
}
}  // namespace

std::optional<std::string> KeyedUnarchiver::decodeStringForKey(const std::string& key) {
  return typed<std::string>(*this, plainValue(key), key, [](const Value& v) { return v.string(); });
}
std::optional<Data> KeyedUnarchiver::decodeDataForKey(const std::string& key) {
  return typed<Data>(*this, plainValue(key), key, [](const Value& v) { return v.data(); });
}
std::optional<Date> KeyedUnarchiver::decodeDateForKey(const std::string& key) {
  return typed<Date>(*this, plainValue(key), key, [](const Value& v) { return v.date(); });
}
std::optional<Array> KeyedUnarchiver::decodeArrayForKey(const std::string& key) {
  return typed<Array>(*this, plainValue(key), key, [](const Value& v) { return v.array(); });
}
std::optional<Dictionary> KeyedUnarchiver::decodeDictionaryForKey(const std::string& key) {
  return typed<Dictionary>(*this, plainValue(key), key, [](const Value& v) { return v.dictionary(); });
}

bool KeyedUnarchiver::decodeBoolForKey(const std::string& key) {
  auto n = typed<Number>(*this, plainValue(key), key, [](const Value& v) { return v.number(); });
  return n ? n->boolValue() : false;
}
int32_t KeyedUnarchiver::decodeInt32ForKey(const std::string& key) {
  auto n = typed<Number>(*this, plainValue(key), key, [](const Value& v) { return v.number(); });
  return n ? n->intValue() : 0;
}
int64_t KeyedUnarchiver::decodeInt64ForKey(const std::string& key) {
  auto n = typed<Number>(*this, plainValue(key), key, [](const Value& v) { return v.number(); });
  return n ? n->int64Value() : 0;
}
double KeyedUnarchiver::decodeDoubleForKey(const std::string& key) {
  auto n = typed<Number>(*this, plainValue(key), key, [](const Value& v) { return v.number(); });
  return n ? n->doubleValue() : 0;
}

}  // namespace os
