#include "os/foundation/user_defaults.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <strings.h>

#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"

namespace os {
namespace foundation::detail {

// One suite's values, shared by every UserDefaults object over it.
//
// The file is read on first use. A missing file starts an empty suite, a
// damaged one is set aside and starts an empty suite; any other read failure
// (too many open files, an I/O error) leaves the suite unloaded: reads find
// nothing, writes fail and change nothing, and the next access reads again.
// An empty suite written over an unread file would lose it.
class PreferencesDomain {
 public:
  PreferencesDomain(std::string suite, std::string path) : suite_(std::move(suite)), path_(std::move(path)) {
    std::lock_guard lock(mutex_);
    (void)loadLocked();
  }

  const std::string& path() const { return path_; }

  Value get(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (!loadLocked()) return Value();
    auto it = values_.find(key);
    return it == values_.end() ? Value() : it->second;
  }

  Dictionary snapshot() {
    std::lock_guard lock(mutex_);
    if (!loadLocked()) return {};
    return values_;
  }

  std::vector<std::string> keys() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    if (!loadLocked()) return out;
    for (const auto& [key, value] : values_) out.push_back(key);
    return out;
  }

  void removeKeys(const std::vector<std::string>& keys) {
    std::lock_guard lock(mutex_);
    if (!loadLocked()) return;
    size_t removed = 0;
    for (const auto& key : keys) removed += values_.erase(key);
    if (removed > 0) (void)persistLocked();
  }

  // Forgets every value and the file; the suite is then loaded and empty.
  void removePersistentDomain() {
    std::lock_guard lock(mutex_);
    values_.clear();
    unsaved_ = false;
    auto& fm = FileManager::defaultManager();
    if (fm.fileExistsAtPath(path_)) {
      auto removed = fm.removeItemAtPath(path_);
      if (!removed) {
        log()->error("Cannot remove preferences of suite " + suite_ + ": " + removed.error().description());
        loaded_ = false;  // what is left on disk is read again next time
        return;
      }
    }
    loaded_ = true;
  }

  Status set(const std::string& key, std::optional<Value> value) {
    std::lock_guard lock(mutex_);
    if (auto loaded = loadLocked(); !loaded) return loaded;
    if (value) {
      values_[key] = std::move(*value);
    } else if (values_.erase(key) == 0) {
      return {};
    }
    return persistLocked();
  }

  Status synchronize() {
    std::lock_guard lock(mutex_);
    if (auto loaded = loadLocked(); !loaded) return loaded;
    if (!unsaved_) return {};
    return persistLocked();
  }

  // Writes what a failed write left unsaved; an unread suite is left alone.
  void flush() {
    std::lock_guard lock(mutex_);
    if (loaded_ && unsaved_) (void)persistLocked();
  }

 private:
  // Called with mutex_ held. Success once the suite is in memory.
  Status loadLocked() {
    if (loaded_) return {};
    auto& fm = FileManager::defaultManager();
    (void)fm.removeStaleTemporaryFilesOfPath(path_);
    auto data = fm.contentsAtPath(path_);
    if (!data && data.error().code() == kFileReadNoSuchFileError) {
      loaded_ = true;
      return {};
    }
    if (!data && data.error().code() != kFileReadCorruptFileError) {
      // Reported once per run of failures, not at every read.
      if (!loadFailureReported_)
        log()->error("Cannot read " + path_ + ": " + data.error().description() + "; the suite stays unloaded");
      loadFailureReported_ = true;
      return fail(data.error());
    }
    loaded_ = true;
    loadFailureReported_ = false;
    if (data) {
      auto plist = PropertyListSerialization::propertyListWithData(*data);
      if (plist && plist->isDictionary()) {
        values_ = *plist->dictionary();
        return {};
      }
      setAside(plist ? std::string("not a dictionary") : plist.error().description());
    } else {
      setAside(data.error().description());
    }
    return {};
  }

  // Damaged: keep the bytes for inspection, start over with an empty suite.
  void setAside(const std::string& why) {
    log()->fault("Preferences file of suite " + suite_ + " is corrupt (" + why + "); it is replaced by an empty one");
    auto& fm = FileManager::defaultManager();
    std::string aside = path_ + ".corrupt";
    (void)fm.removeItemAtPath(aside);
    (void)fm.moveItemAtPath(path_, aside);
  }

  // Called with mutex_ held, the suite loaded.
  Status persistLocked() {
    auto data = PropertyListSerialization::dataWithPropertyList(Value(values_), PropertyListSerialization::Format::Binary);
    Status written = data ? FileManager::defaultManager().createFileAtPath(path_, *data) : Status(fail(data.error()));
    unsaved_ = !written;
    if (!written) log()->error("Cannot write preferences of suite " + suite_ + ": " + written.error().description());
    return written;
  }

  static std::shared_ptr<Log> log() { return Log::create("com.drosil.foundation", "UserDefaults"); }

  const std::string suite_;
  const std::string path_;
  std::mutex mutex_;
  bool loaded_ = false;                // guarded by mutex_
  bool loadFailureReported_ = false;   // guarded by mutex_
  Dictionary values_;                  // guarded by mutex_
  bool unsaved_ = false;               // guarded by mutex_: the last write failed
};

}  // namespace foundation::detail

namespace {

constexpr const char* kFallbackStandardSuite = "com.drosil.app";

struct DefaultsState {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<foundation::detail::PreferencesDomain>> domains;  // by path; guarded by mutex
  std::shared_ptr<UserDefaults> standard;                                     // guarded by mutex
  std::string standardRoot;  // sandbox root of `standard`; guarded by mutex
  Dictionary registration;                                                    // guarded by mutex
};

DefaultsState& state() {
  static DefaultsState* s = new DefaultsState();
  return *s;
}

std::string standardSuiteName() {
  std::string id = Bundle::mainBundle()->bundleIdentifier();
  return id.empty() || id.find('/') != std::string::npos ? kFallbackStandardSuite : id;
}

Value registered(const std::string& key) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  auto it = s.registration.find(key);
  return it == s.registration.end() ? Value() : it->second;
}

// Whether a property list can hold the value.
bool isPropertyList(const Value& v) {
  return !v.isNull() && PropertyListSerialization::propertyList(v, PropertyListSerialization::Format::Binary);
}

int64_t parseInteger(const std::string& s) {
  const char* p = s.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  return std::strtoll(p, nullptr, 10);
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::make(const std::string& suiteName) {
  std::string path = Sandbox::current()->preferencesDirectory() + "/" + suiteName + ".plist";
  auto& s = state();
  std::shared_ptr<foundation::detail::PreferencesDomain> domain;
  {
    std::lock_guard lock(s.mutex);
    auto& slot = s.domains[path];
    if (!slot) {
      (void)FileManager::defaultManager().createDirectoryAtPath(Sandbox::current()->preferencesDirectory(), true);
      slot = std::make_shared<foundation::detail::PreferencesDomain>(suiteName, path);
    }
    domain = slot;
  }
  return std::shared_ptr<UserDefaults>(new UserDefaults(suiteName, std::move(domain)));
}

std::shared_ptr<UserDefaults> UserDefaults::standardUserDefaults() {
  std::string root = Sandbox::current()->root();
  auto& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.standard && s.standardRoot == root) return s.standard;
  }
  auto made = make(standardSuiteName());
  std::lock_guard lock(s.mutex);
  if (!s.standard || s.standardRoot != root) {
    s.standard = made;
    s.standardRoot = root;
  }
  return s.standard;
}

std::shared_ptr<UserDefaults> UserDefaults::initWithSuiteName(const std::string& suiteName) {
  if (suiteName.empty()) return standardUserDefaults();
  if (suiteName.find('/') != std::string::npos || suiteName == "." || suiteName == ".." ||
      suiteName == standardSuiteName())
    return nullptr;
  return make(suiteName);
}

void UserDefaults::resetStandardUserDefaults() {
  auto& s = state();
  std::map<std::string, std::shared_ptr<foundation::detail::PreferencesDomain>> domains;
  {
    std::lock_guard lock(s.mutex);
    domains.swap(s.domains);
    s.standard.reset();
    s.registration.clear();
  }
  for (auto& [path, domain] : domains) domain->flush();
}

std::string UserDefaults::preferencesPath() const { return domain_->path(); }

Value UserDefaults::objectForKey(const std::string& key) const {
  Value v = domain_->get(key);
  return v.isNull() ? registered(key) : v;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isString()) return *v.string();
  if (v.isNumber()) return v.number()->description();
  return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isArray()) return *v.array();
  return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isDictionary()) return *v.dictionary();
  return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isData()) return *v.data();
  return std::nullopt;
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber()) return v.number()->int64Value();
  if (v.isString()) return parseInteger(*v.string());
  return 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber()) return v.number()->doubleValue();
  if (v.isString()) return std::strtod(v.string()->c_str(), nullptr);
  return 0;
}

float UserDefaults::floatForKey(const std::string& key) const { return static_cast<float>(doubleForKey(key)); }

bool UserDefaults::boolForKey(const std::string& key) const {
  Value v = objectForKey(key);
  if (v.isNumber()) return v.number()->boolValue();
  if (v.isString()) {
    const std::string& s = *v.string();
    if (strcasecmp(s.c_str(), "yes") == 0 || strcasecmp(s.c_str(), "true") == 0) return true;
    return parseInteger(s) != 0;
  }
  return false;
}

void UserDefaults::setObject(const Value& value, const std::string& key) {
  if (!isPropertyList(value)) {
    Log::create("com.drosil.foundation", "UserDefaults")
        ->error("Refused to store a value that is not a property list for key \"" + key + "\" in suite " + suiteName_);
    return;
  }
  (void)domain_->set(key, value);
}

void UserDefaults::removeObjectForKey(const std::string& key) { (void)domain_->set(key, std::nullopt); }

void UserDefaults::removeObjectsForKeys(const std::vector<std::string>& keys) { domain_->removeKeys(keys); }

std::vector<std::string> UserDefaults::keyList() const { return domain_->keys(); }

void UserDefaults::removePersistentDomainForName(const std::string& suiteName) {
  if (suiteName.empty()) return;
  // Through the suite's object, so that a domain already loaded is emptied
  // as well as the file.
  if (auto defaults = suiteName == standardSuiteName() ? standardUserDefaults() : initWithSuiteName(suiteName))
    defaults->domain_->removePersistentDomain();
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  for (const auto& [key, value] : defaults)
    if (!value.isNull()) s.registration[key] = value;
}

Dictionary UserDefaults::dictionaryRepresentation() const {
  Dictionary out;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    out = s.registration;
  }
  for (auto& [key, value] : domain_->snapshot()) out[key] = value;
  return out;
}

Status UserDefaults::synchronize() { return domain_->synchronize(); }

}  // namespace os
