#include "platform/utilities/user_defaults.h"

#include "os/dispatch/queue.h"
#include "os/foundation/format.h"
#include "os/foundation/plist.h"
#include "platform/utilities/logger.h"

namespace {

std::string userDefaultsCode(long number) { return os::format("I-DAZ%06ld", number); }

// What the preferences file can hold: no null at any depth, no non-finite
// date, no string with NUL.
bool isPropertyList(const os::Value& value) {
  return os::PropertyListSerialization::propertyList(value, os::PropertyListSerialization::Format::Binary);
}

}  // namespace

std::shared_ptr<DAZUserDefaults> DAZUserDefaults::standardUserDefaults() {
  static os::OnceFlag once;
  static auto& shared = *new std::shared_ptr<DAZUserDefaults>();
  os::once(once, [] { shared = std::make_shared<DAZUserDefaults>(); });
  return shared;
}

DAZUserDefaults::DAZUserDefaults(std::string_view suiteName) : suiteName_(suiteName) {
  if (!suiteName_.empty()) suite_ = os::UserDefaults::initWithSuiteName(suiteName_);
}

std::shared_ptr<os::UserDefaults> DAZUserDefaults::userDefaults() const {
  return suiteName_.empty() ? os::UserDefaults::standardUserDefaults() : suite_;
}

std::shared_ptr<os::UserDefaults> DAZUserDefaults::readableFor(std::string_view key) const {
  if (key.empty()) {
    DAZLogWarning(kDAZLoggerSubsystem, kDAZUserDefaultsGetCategory, false,
                  userDefaultsCode(kDAZUserDefaultsMessageCodeInvalidKeyGet),
                  "Cannot get object for invalid user default key.");
    return nullptr;
  }
  return userDefaults();
}

os::Value DAZUserDefaults::objectForKey(std::string_view key) const {
  auto defaults = readableFor(key);
  return defaults ? defaults->objectForKey(std::string(key)) : os::Value();
}

void DAZUserDefaults::setObject(const os::Value& value, std::string_view key) {
  if (key.empty()) {
    DAZLogWarning(kDAZLoggerSubsystem, kDAZUserDefaultsSetCategory, false,
                  userDefaultsCode(kDAZUserDefaultsMessageCodeInvalidKeySet),
                  "Cannot set object for invalid user default key.");
    return;
  }
  auto defaults = userDefaults();
  if (!defaults) return;
  if (value.isNull()) {
    defaults->removeObjectForKey(std::string(key));
    return;
  }
  if (!isPropertyList(value)) {
    DAZLogWarning(kDAZLoggerSubsystem, kDAZUserDefaultsSetCategory, false,
                  userDefaultsCode(kDAZUserDefaultsMessageCodeInvalidObjectSet),
                  "Cannot set invalid object to user defaults. Must be a string, number, array, dictionary, date, "
                  "or data. Value: %@",
                  value);
    return;
  }
  defaults->setObject(value, std::string(key));
}

int64_t DAZUserDefaults::integerForKey(std::string_view key) const {
  auto defaults = readableFor(key);
  return defaults ? defaults->integerForKey(std::string(key)) : 0;
}

float DAZUserDefaults::floatForKey(std::string_view key) const {
  auto defaults = readableFor(key);
  return defaults ? defaults->floatForKey(std::string(key)) : 0.0f;
}

double DAZUserDefaults::doubleForKey(std::string_view key) const {
  auto defaults = readableFor(key);
  return defaults ? defaults->doubleForKey(std::string(key)) : 0.0;
}

bool DAZUserDefaults::boolForKey(std::string_view key) const {
  auto defaults = readableFor(key);
  return defaults ? defaults->boolForKey(std::string(key)) : false;
}
