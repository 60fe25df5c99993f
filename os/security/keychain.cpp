#include "os/security/keychain.h"

#include <algorithm>
#include <atomic>

#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"

namespace os {
namespace {

constexpr const char* kItemsKey = "items";
constexpr const char* kVersionKey = "version";

// Never destroyed: item functions run on other threads during exit.
using KeySet = std::set<std::string, std::less<>>;
const KeySet& kCommonAttributes = *new const KeySet{
    kSecAttrAccessGroup, kSecAttrAccessible,       kSecAttrLabel,           kSecAttrDescription,
    kSecAttrComment,     kSecAttrCreationDate,     kSecAttrModificationDate, kSecAttrSynchronizable};
const KeySet& kPasswordAttributes = *new const KeySet{kSecAttrAccount, kSecAttrService, kSecAttrGeneric};
const KeySet& kKeyAttributes = *new const KeySet{kSecAttrApplicationTag, kSecAttrApplicationLabel, kSecAttrKeyType,
                                                 kSecAttrKeyClass,       kSecAttrKeySizeInBits,    kSecAttrIsPermanent};
const KeySet& kControlKeys = *new const KeySet{kSecClass, kSecReturnData, kSecReturnAttributes, kSecMatchLimit,
                                               kSecUseDataProtectionKeychain};
const KeySet& kAccessibilities = *new const KeySet{
    kSecAttrAccessibleWhenUnlocked,  kSecAttrAccessibleAfterFirstUnlock,
    kSecAttrAccessibleAlways,        kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
    kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly, kSecAttrAccessibleAlwaysThisDeviceOnly,
    kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly};

struct DeviceState {
  std::mutex mutex;
  Keychain::LockState lock = Keychain::LockState::Unlocked;  // guarded by mutex
  std::set<std::string> entitled;                            // guarded by mutex
  std::string defaultGroup = "drosil.default";               // guarded by mutex
  std::shared_ptr<Keychain> shared;                          // guarded by mutex
};

DeviceState& device() {
  static DeviceState* d = new DeviceState();
  return *d;
}

std::shared_ptr<Log> log() { return Log::create("com.drosil.security", "Keychain"); }

std::string keychainPath() { return Sandbox::current()->libraryDirectory() + "/Keychains/keychain.plist"; }

std::string classOf(const Dictionary& d) {
  auto it = d.find(kSecClass);
  return it != d.end() && it->second.isString() ? *it->second.string() : std::string();
}

bool isAttribute(const std::string& cls, const std::string& key) {
  if (kCommonAttributes.count(key)) return true;
  if (cls == kSecClassGenericPassword) return kPasswordAttributes.count(key) > 0;
  if (cls == kSecClassKey) return kKeyAttributes.count(key) > 0;
  return false;
}

bool flag(const Dictionary& d, const char* key) {
  auto it = d.find(key);
  return it != d.end() && it->second.boolValue();
}

// Checks the class, the keys and the values of a dictionary given to an item
// function. `forChanges`: the attributes of an update, where the class and
// control keys are not allowed.
OSStatus validate(const Dictionary& d, const std::string& cls, bool forChanges) {
  if (cls != kSecClassGenericPassword && cls != kSecClassKey) return errSecParam;
  for (const auto& [key, value] : d) {
    if (value.isNull()) return errSecParam;
    if (kControlKeys.count(key)) {
      if (forChanges) return errSecParam;
      continue;
    }
    if (key == kSecValueData) {
      if (!value.isData()) return errSecParam;
      continue;
    }
    if (!isAttribute(cls, key)) return errSecNoSuchAttr;
    if (key == kSecAttrAccessible && (!value.isString() || !kAccessibilities.count(*value.string())))
      return errSecParam;
  }
  if (auto it = d.find(kSecAttrAccessGroup); it != d.end()) {
    if (!it->second.isString()) return errSecParam;
    auto& dev = device();
    std::lock_guard lock(dev.mutex);
    if (!dev.entitled.empty() && !dev.entitled.count(*it->second.string())) return errSecMissingEntitlement;
  }
  return errSecSuccess;
}

// An attribute as the keychain compares it: the bytes of a string or of
// data, so a string and data of the same UTF-8 bytes are the same attribute
// (each is still returned as it was stored).
Value comparable(const Value& value) {
  if (const std::string* text = value.string()) return Value(Data::fromString(*text));
  return value;
}

bool matches(const Dictionary& item, const Dictionary& query) {
  if (classOf(item) != classOf(query)) return false;
  for (const auto& [key, value] : query) {
    if (kControlKeys.count(key) || key == kSecValueData) continue;
    auto it = item.find(key);
    if (it == item.end() || comparable(it->second) != comparable(value)) return false;
  }
  return true;
}

bool accessible(const Dictionary& item) {
  auto it = item.find(kSecAttrAccessible);
  std::string pdmn = it != item.end() ? it->second.stringValue() : kSecAttrAccessibleWhenUnlocked;
  Keychain::LockState state = Keychain::lockState();
  if (state == Keychain::LockState::Unlocked) return true;
  bool always = pdmn == kSecAttrAccessibleAlways || pdmn == kSecAttrAccessibleAlwaysThisDeviceOnly;
  if (state == Keychain::LockState::LockedBeforeFirstUnlock) return always;
  return always || pdmn == kSecAttrAccessibleAfterFirstUnlock || pdmn == kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly;
}

// The attributes that make an item unique within its class.
std::vector<Value> primaryKey(const Dictionary& item) {
  std::vector<const char*> keys = {kSecAttrAccessGroup, kSecAttrSynchronizable};
  if (classOf(item) == kSecClassGenericPassword) {
    keys.insert(keys.end(), {kSecAttrService, kSecAttrAccount});
  } else {
    keys.insert(keys.end(), {kSecAttrApplicationTag, kSecAttrApplicationLabel, kSecAttrKeyType, kSecAttrKeyClass});
  }
  std::vector<Value> out{Value(classOf(item))};
  for (const char* key : keys) {
    auto it = item.find(key);
    out.push_back(it == item.end() ? Value() : comparable(it->second));
  }
  return out;
}

bool hasDuplicates(const std::vector<Dictionary>& items) {
  for (size_t i = 0; i < items.size(); ++i)
    for (size_t j = i + 1; j < items.size(); ++j)
      if (primaryKey(items[i]) == primaryKey(items[j])) return true;
  return false;
}

Value resultFor(const Dictionary& item, bool wantData, bool wantAttributes) {
  auto data = item.find(kSecValueData);
  if (!wantAttributes) return data != item.end() ? data->second : Value(Data());
  Dictionary attrs;
  for (const auto& [key, value] : item)
    if (key != kSecValueData || wantData) attrs[key] = value;
  if (wantData && data == item.end()) attrs[kSecValueData] = Value(Data());
  return Value(std::move(attrs));
}

}  // namespace

OSStatus SecItemAdd(const Dictionary& attributes, Value* result) { return Keychain::shared()->add(attributes, result); }
OSStatus SecItemCopyMatching(const Dictionary& query, Value* result) {
  return Keychain::shared()->copyMatching(query, result);
}
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
  return Keychain::shared()->update(query, attributesToUpdate);
}
OSStatus SecItemDelete(const Dictionary& query) { return Keychain::shared()->remove(query); }

std::shared_ptr<Keychain> Keychain::shared() {
  std::string path = keychainPath();
  auto& dev = device();
  std::lock_guard lock(dev.mutex);
  if (!dev.shared || dev.shared->path() != path) dev.shared = std::make_shared<Keychain>(path);
  return dev.shared;
}

void Keychain::resetShared() {
  auto& dev = device();
  std::lock_guard lock(dev.mutex);
  dev.shared.reset();
}

void Keychain::setLockState(LockState state) {
  auto& dev = device();
  std::lock_guard lock(dev.mutex);
  dev.lock = state;
}

Keychain::LockState Keychain::lockState() {
  auto& dev = device();
  std::lock_guard lock(dev.mutex);
  return dev.lock;
}

void Keychain::setEntitledAccessGroups(std::set<std::string> groups) {
  auto& dev = device();
  std::lock_guard lock(dev.mutex);
  dev.entitled = std::move(groups);
}

void Keychain::setDefaultAccessGroup(std::string group) {
  auto& dev = device();
  std::lock_guard lock(dev.mutex);
  dev.defaultGroup = std::move(group);
}

Keychain::Keychain(std::string path) : path_(std::move(path)) {}

OSStatus Keychain::loadLocked() {
  if (loaded_) return errSecSuccess;
  auto& fm = FileManager::defaultManager();
  (void)fm.removeStaleTemporaryFilesOfPath(path_);
  auto data = fm.contentsAtPath(path_);
  if (!data && data.error().code() == kFileReadNoSuchFileError) {
    loaded_ = true;
    return errSecSuccess;
  }
  if (!data && data.error().code() != kFileReadCorruptFileError) {
    // The items may all be sound: starting empty would write over them.
    log()->error("Cannot read the keychain " + path_ + ": " + data.error().description());
    return errSecIO;
  }
  loaded_ = true;
  std::optional<Result<Value>> plist;
  if (data) plist = PropertyListSerialization::propertyListWithData(*data);
  bool sound = plist && *plist && (*plist)->isDictionary() && (**plist)[kItemsKey].isArray();
  if (sound) {
    for (const Value& item : *(**plist)[kItemsKey].array()) {
      if (!item.isDictionary() || validate(*item.dictionary(), classOf(*item.dictionary()), false) != errSecSuccess) {
        sound = false;
        break;
      }
    }
  }
  if (!sound) {
    log()->fault("The keychain file " + path_ + " is corrupt; it is set aside and replaced by an empty keychain");
    std::string aside = path_ + ".corrupt";
    (void)fm.removeItemAtPath(aside);
    (void)fm.moveItemAtPath(path_, aside);
    return errSecSuccess;
  }
  for (const Value& item : *(**plist)[kItemsKey].array()) items_.push_back(*item.dictionary());
  return errSecSuccess;
}

OSStatus Keychain::persistLocked(const std::vector<Dictionary>& items) {
  Array list(items.begin(), items.end());
  Dictionary file;
  file[kVersionKey] = Value(1);
  file[kItemsKey] = Value(std::move(list));
  auto data = PropertyListSerialization::dataWithPropertyList(Value(std::move(file)),
                                                              PropertyListSerialization::Format::Binary);
  if (!data) {
    log()->error("Cannot encode the keychain: " + data.error().description());
    return errSecParam;
  }
  auto& fm = FileManager::defaultManager();
  std::string dir = path_.substr(0, path_.rfind('/'));
  if (auto made = fm.createDirectoryAtPath(dir, true, {{kFilePosixPermissions, Value(0700)}}); !made) {
    log()->error("Cannot create " + dir + ": " + made.error().description());
    return errSecIO;
  }
  if (auto written = fm.createFileAtPath(path_, *data, {{kFilePosixPermissions, Value(0600)}}); !written) {
    log()->error("Cannot write the keychain: " + written.error().description());
    return errSecIO;
  }
  items_ = items;
  return errSecSuccess;
}

OSStatus Keychain::add(const Dictionary& attributes, Value* result) {
  if (result) *result = Value();
  std::string cls = classOf(attributes);
  if (OSStatus s = validate(attributes, cls, false); s != errSecSuccess) return s;
  if (attributes.count(kSecMatchLimit)) return errSecParam;
  Dictionary item;
  for (const auto& [key, value] : attributes)
    if (!kControlKeys.count(key) || key == kSecClass) item[key] = value;
  {
    auto& dev = device();
    std::lock_guard lock(dev.mutex);
    if (!item.count(kSecAttrAccessGroup)) item[kSecAttrAccessGroup] = Value(dev.defaultGroup);
  }
  if (!item.count(kSecAttrAccessible)) item[kSecAttrAccessible] = Value(kSecAttrAccessibleWhenUnlocked);
  if (!item.count(kSecAttrSynchronizable)) item[kSecAttrSynchronizable] = Value(0);
  Date now = Date::now();
  item[kSecAttrCreationDate] = Value(now);
  item[kSecAttrModificationDate] = Value(now);
  if (!accessible(item)) return errSecInteractionNotAllowed;

  std::lock_guard lock(mutex_);
  if (OSStatus s = loadLocked(); s != errSecSuccess) return s;
  for (const auto& existing : items_)
    if (primaryKey(existing) == primaryKey(item)) return errSecDuplicateItem;
  std::vector<Dictionary> next = items_;
  next.push_back(item);
  if (OSStatus s = persistLocked(next); s != errSecSuccess) return s;
  if (result && (flag(attributes, kSecReturnData) || flag(attributes, kSecReturnAttributes)))
    *result = resultFor(item, flag(attributes, kSecReturnData), flag(attributes, kSecReturnAttributes));
  return errSecSuccess;
}

OSStatus Keychain::copyMatching(const Dictionary& query, Value* result) {
  if (result) *result = Value();
  std::string cls = classOf(query);
  if (OSStatus s = validate(query, cls, false); s != errSecSuccess) return s;
  bool all = false;
  if (auto it = query.find(kSecMatchLimit); it != query.end()) {
    if (it->second.stringValue() == kSecMatchLimitAll) all = true;
    else if (it->second.stringValue() != kSecMatchLimitOne) return errSecParam;
  }
  bool wantData = flag(query, kSecReturnData), wantAttributes = flag(query, kSecReturnAttributes);
  if (all && wantData && !wantAttributes) return errSecParam;  // data alone cannot be returned for many items

  std::lock_guard lock(mutex_);
  if (OSStatus s = loadLocked(); s != errSecSuccess) return s;
  std::vector<const Dictionary*> found;
  for (const auto& item : items_)
    if (matches(item, query)) found.push_back(&item);
  if (found.empty()) return errSecItemNotFound;
  for (auto* item : found)
    if (!accessible(*item)) return errSecInteractionNotAllowed;
  if (!result || (!wantData && !wantAttributes)) return errSecSuccess;
  if (!all) {
    *result = resultFor(*found.front(), wantData, wantAttributes);
  } else {
    Array list;
    for (auto* item : found) list.push_back(resultFor(*item, wantData, wantAttributes));
    *result = Value(std::move(list));
  }
  return errSecSuccess;
}

OSStatus Keychain::update(const Dictionary& query, const Dictionary& changes) {
  std::string cls = classOf(query);
  if (OSStatus s = validate(query, cls, false); s != errSecSuccess) return s;
  if (OSStatus s = validate(changes, cls, true); s != errSecSuccess) return s;
  if (changes.empty()) return errSecParam;

  std::lock_guard lock(mutex_);
  if (OSStatus s = loadLocked(); s != errSecSuccess) return s;
  std::vector<Dictionary> next = items_;
  bool any = false;
  for (auto& item : next) {
    if (!matches(item, query)) continue;
    if (!accessible(item)) return errSecInteractionNotAllowed;
    any = true;
    for (const auto& [key, value] : changes) item[key] = value;
    item[kSecAttrModificationDate] = Value(Date::now());
  }
  if (!any) return errSecItemNotFound;
  if (hasDuplicates(next)) return errSecDuplicateItem;
  return persistLocked(next);
}

OSStatus Keychain::remove(const Dictionary& query) {
  std::string cls = classOf(query);
  if (OSStatus s = validate(query, cls, false); s != errSecSuccess) return s;
  std::lock_guard lock(mutex_);
  if (OSStatus s = loadLocked(); s != errSecSuccess) return s;
  std::vector<Dictionary> next;
  for (const auto& item : items_)
    if (!matches(item, query)) next.push_back(item);
  if (next.size() == items_.size()) return errSecItemNotFound;
  return persistLocked(next);
}

}  // namespace os
