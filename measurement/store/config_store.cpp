#include "measurement/store/config_store.h"

#include "os/foundation/plist.h"

std::optional<os::Array> APMConfigStore::arrayForKey(std::string_view key) {
  os::Value v = objectForKey(key);
  if (const os::Array* a = v.array()) return *a;
  return std::nullopt;
}

std::optional<os::Dictionary> APMConfigStore::dictionaryForKey(std::string_view key) {
  os::Value v = objectForKey(key);
  if (const os::Dictionary* d = v.dictionary()) return *d;
  return std::nullopt;
}

std::optional<std::string> APMConfigStore::stringForKey(std::string_view key) {
  os::Value v = objectForKey(key);
  if (const std::string* s = v.string()) return *s;
  return std::nullopt;
}

std::optional<os::Number> APMConfigStore::numberForKey(std::string_view key) {
  os::Value v = objectForKey(key);
  if (const os::Number* n = v.number()) return *n;
  return std::nullopt;
}

int64_t APMConfigStore::integerForKey(std::string_view key) {
  auto n = numberForKey(key);
  return n ? n->int64Value() : 0;
}

float APMConfigStore::floatForKey(std::string_view key) {
  auto n = numberForKey(key);
  return n ? n->floatValue() : 0.0f;
}

double APMConfigStore::doubleForKey(std::string_view key) {
  auto n = numberForKey(key);
  return n ? n->doubleValue() : 0.0;
}

bool APMConfigStore::boolForKey(std::string_view key) {
  auto n = numberForKey(key);
  return n ? n->boolValue() : false;
}

bool APMConfigStore::isAcceptableObject(const os::Value& object) {
  switch (object.type()) {
    case os::Value::Type::String:
    case os::Value::Type::Number:
    case os::Value::Type::Array:
    case os::Value::Type::Dictionary:
    case os::Value::Type::Date:
    case os::Value::Type::Data:
      return os::PropertyListSerialization::propertyList(object, os::PropertyListSerialization::Format::XML);
    default:
      return false;
  }
}
