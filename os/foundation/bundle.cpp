#include "os/foundation/bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "os/foundation/device_profile.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/system_log.h"

namespace os {
namespace {

struct BundleState {
  std::mutex mutex;
  std::string mainPath;                              // guarded by mutex; empty: find it
  std::shared_ptr<Bundle> main;                      // guarded by mutex
  std::map<std::string, std::string> classBundles;   // guarded by mutex
  std::map<std::string, std::shared_ptr<Bundle>> byPath;  // guarded by mutex
};

BundleState& state() {
  static BundleState* s = new BundleState();
  return *s;
}

std::string executableFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, size_t(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string findMainBundlePath() {
  if (const char* env = std::getenv("DROSIL_BUNDLE"); env && *env) return env;
  std::string beside = executableFolder() + "/Drosil.app";
  if (FileManager::defaultManager().isDirectoryAtPath(beside)) return beside;
  return executableFolder();
}

bool safeName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

std::shared_ptr<Bundle> cachedBundle(BundleState& s, const std::string& path) {
  auto& slot = s.byPath[path];
  if (!slot) slot = std::make_shared<Bundle>(path);
  return slot;
}

}  // namespace

std::shared_ptr<Bundle> Bundle::mainBundle() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.main) s.main = cachedBundle(s, s.mainPath.empty() ? findMainBundlePath() : s.mainPath);
  return s.main;
}

void Bundle::setMainBundlePath(const std::string& path) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.mainPath = path;
  s.main.reset();
  s.byPath.clear();  // bundles are read again from their files
}

std::shared_ptr<Bundle> Bundle::bundleWithPath(const std::string& path) {
  if (!FileManager::defaultManager().isDirectoryAtPath(path)) return nullptr;
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return cachedBundle(s, path);
}

std::shared_ptr<Bundle> Bundle::bundleNamed(const std::string& name) {
  if (!safeName(name)) return nullptr;
  std::string root = mainBundle()->bundlePath();
  if (auto b = bundleWithPath(root + "/Frameworks/" + name + ".framework")) return b;
  return bundleWithPath(root + "/" + name + ".bundle");
}

std::shared_ptr<Bundle> Bundle::bundleForClass(const std::string& className) {
  std::string name;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (auto it = s.classBundles.find(className); it != s.classBundles.end()) name = it->second;
  }
  if (!name.empty())
    if (auto b = bundleNamed(name)) return b;
  return mainBundle();
}

void Bundle::setBundleNameForClass(const std::string& className, const std::string& bundleName) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.classBundles[className] = bundleName;
}

const Dictionary& Bundle::loadedInfo() const {
  // Called with mutex_ held.
  if (!info_) {
    info_ = Dictionary{};
    auto data = FileManager::defaultManager().contentsAtPath(path_ + "/Info.plist");
    if (data) {
      auto plist = PropertyListSerialization::propertyListWithData(*data);
      if (plist && plist->isDictionary()) {
        info_ = *plist->dictionary();
      } else {
        Log::create("com.drosil.foundation", "Bundle")->error("Info.plist of " + path_ + " is not a dictionary");
      }
    }
  }
  return *info_;
}

Dictionary Bundle::infoDictionary() const {
  std::lock_guard lock(mutex_);
  return loadedInfo();
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  std::lock_guard lock(mutex_);
  const auto& info = loadedInfo();
  auto it = info.find(key);
  return it == info.end() ? Value() : it->second;
}

std::string Bundle::bundleIdentifier() const { return objectForInfoDictionaryKey(kCFBundleIdentifierKey).stringValue(); }

std::vector<std::string> Bundle::searchFolders() const {
  std::vector<std::string> folders = {path_, path_ + "/Resources"};
  auto add = [&](const std::string& lang) {
    std::string folder = path_ + "/" + lang + ".lproj";
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) folders.push_back(folder);
  };
  for (const auto& lang : DeviceProfile::current().preferredLanguages) {
    if (!safeName(lang)) continue;
    add(lang);
    if (auto dash = lang.find('-'); dash != std::string::npos) add(lang.substr(0, dash));
  }
  add("Base");
  add("en");
  return folders;
}

std::vector<std::string> Bundle::preferredLocalizations() const {
  std::vector<std::string> available;
  for (const std::string& folder : {path_, path_ + "/Resources"}) {
    auto entries = FileManager::defaultManager().contentsOfDirectoryAtPath(folder);
    if (!entries) continue;
    for (const auto& entry : *entries) {
      if (!entry.ends_with(".lproj") || entry.size() == 6) continue;
      std::string name = entry.substr(0, entry.size() - 6);
      if (name != "Base" && std::find(available.begin(), available.end(), name) == available.end())
        available.push_back(std::move(name));
    }
  }
  if (available.empty()) return {};
  std::sort(available.begin(), available.end());
  auto has = [&](const std::string& name) {
    return std::find(available.begin(), available.end(), name) != available.end();
  };
  for (const auto& lang : DeviceProfile::current().preferredLanguages) {
    if (has(lang)) return {lang};
    if (auto dash = lang.find('-'); dash != std::string::npos && has(lang.substr(0, dash)))
      return {lang.substr(0, dash)};
  }
  std::string region = objectForInfoDictionaryKey(kCFBundleDevelopmentRegionKey).stringValue();
  if (has(region)) return {region};
  return {available.front()};
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) const {
  if (!safeName(name) || (!type.empty() && type.find('/') != std::string::npos)) return std::nullopt;
  std::string file = name;
  if (!type.empty() && !(name.size() > type.size() + 1 && name.ends_with("." + type))) file += "." + type;
  auto& fm = FileManager::defaultManager();
  for (const auto& folder : searchFolders()) {
    std::string candidate = folder + "/" + file;
    if (fm.fileExistsAtPath(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string Bundle::localizedStringForKey(const std::string& key, const std::string& value,
                                          const std::string& table) const {
  std::string tableName = table.empty() ? "Localizable" : table;
  Dictionary strings;
  {
    std::lock_guard lock(mutex_);
    auto it = stringTables_.find(tableName);
    if (it == stringTables_.end()) {
      Dictionary loaded;
      if (auto path = pathForResource(tableName, "strings")) {
        if (auto data = FileManager::defaultManager().contentsAtPath(*path)) {
          auto plist = PropertyListSerialization::propertyListWithData(*data);
          if (plist && plist->isDictionary()) loaded = *plist->dictionary();
          else if (auto parsed = parseStringsFile(data->toString())) loaded = *parsed;
          else Log::create("com.drosil.foundation", "Bundle")->error("Cannot read strings table " + *path);
        }
      }
      it = stringTables_.emplace(tableName, std::move(loaded)).first;
    }
    strings = it->second;
  }
  if (auto found = strings.find(key); found != strings.end() && found->second.isString())
    return *found->second.string();
  return value.empty() ? key : value;
}

std::string Bundle::appStoreReceiptURL() const {
  std::string sandbox = path_ + "/StoreKit/sandboxReceipt";
  if (FileManager::defaultManager().fileExistsAtPath(sandbox)) return sandbox;
  return path_ + "/StoreKit/receipt";
}

std::optional<Dictionary> parseStringsFile(const std::string& text) {
  Dictionary out;
  size_t i = 0, n = text.size();
  auto skipSpaceAndComments = [&]() -> bool {
    while (i < n) {
      if (isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
      } else if (text.compare(i, 2, "//") == 0) {
        while (i < n && text[i] != '\n') ++i;
      } else if (text.compare(i, 2, "/*") == 0) {
        auto end = text.find("*/", i + 2);
        if (end == std::string::npos) return false;
        i = end + 2;
      } else {
        break;
      }
    }
    return true;
  };
  auto readString = [&]() -> std::optional<std::string> {
    if (i >= n || text[i] != '"') return std::nullopt;
    ++i;
    std::string s;
    while (i < n && text[i] != '"') {
      char c = text[i++];
      if (c == '\\') {
        if (i >= n) return std::nullopt;
        char e = text[i++];
        switch (e) {
          case 'n': s += '\n'; break;
          case 't': s += '\t'; break;
          case 'r': s += '\r'; break;
          default: s += e; break;
        }
      } else {
        s += c;
      }
    }
    if (i >= n) return std::nullopt;
    ++i;
    return s;
  };
  while (true) {
    if (!skipSpaceAndComments()) return std::nullopt;
    if (i >= n) break;
    auto key = readString();
    if (!key || !skipSpaceAndComments() || i >= n || text[i] != '=') return std::nullopt;
    ++i;
    if (!skipSpaceAndComments()) return std::nullopt;
    auto value = readString();
    if (!value || !skipSpaceAndComments() || i >= n || text[i] != ';') return std::nullopt;
    ++i;
    out[*key] = Value(*value);
  }
  return out;
}

}  // namespace os
