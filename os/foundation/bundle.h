// os::Bundle: a folder the program ships, with an "Info.plist" (XML or
// binary) and resources.
//
// The main bundle is, in this order: the folder set with setMainBundlePath;
// $DROSIL_BUNDLE; "Drosil.app" beside the executable; the executable's own
// folder. Framework bundles are folders named "<Name>.framework" under the
// main bundle's "Frameworks", or "<Name>.bundle" in the main bundle.
//
// Resources are looked up in the bundle's folder, then in its "Resources"
// folder, then in "<language>.lproj" for each preferred language of the
// device profile (and its base language), then "Base.lproj" and "en.lproj".
// Localized strings come from "<table>.strings" (default table "Localizable")
// found that way: a property-list dictionary, or "key" = "value"; lines.
//
// A bundle reads its Info.plist and string tables once, when first asked.
// Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "os/foundation/value.h"

namespace os {

// Info.plist keys of the platform.
inline constexpr const char* kCFBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kCFBundleNameKey = "CFBundleName";
inline constexpr const char* kCFBundleExecutableKey = "CFBundleExecutable";
inline constexpr const char* kCFBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr const char* kCFBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kCFBundleDevelopmentRegionKey = "CFBundleDevelopmentRegion";

class Bundle {
 public:
  static std::shared_ptr<Bundle> mainBundle();
  // Makes `path` the main bundle from now on (empty: find it again). For the
  // program's start-up and for tests.
  static void setMainBundlePath(const std::string& path);
  // The bundle at that folder, or null when it is not a folder.
  static std::shared_ptr<Bundle> bundleWithPath(const std::string& path);
  // "<Name>.framework" under the main bundle's Frameworks, or "<Name>.bundle"
  // in it; null when neither exists.
  static std::shared_ptr<Bundle> bundleNamed(const std::string& name);
  // The bundle that holds a class: the framework bundle registered for the
  // class name with setBundleNameForClass when it exists, else the main bundle
  // (our classes are linked into the program).
  static std::shared_ptr<Bundle> bundleForClass(const std::string& className);
  static void setBundleNameForClass(const std::string& className, const std::string& bundleName);

  const std::string& bundlePath() const { return path_; }
  // CFBundleIdentifier, or empty.
  std::string bundleIdentifier() const;
  // The Info.plist dictionary (empty when it is missing or unreadable).
  Dictionary infoDictionary() const;
  // The value of an Info.plist key, or null.
  Value objectForInfoDictionaryKey(const std::string& key) const;

  // The path of "<name>.<type>" (or "<name>" when the type is empty, or when
  // the name already carries it), or nullopt. Names with "/" or ".." are not
  // looked up.
  std::optional<std::string> pathForResource(const std::string& name, const std::string& type) const;
  // The localized text for the key; `value` when not found and not empty,
  // else the key itself.
  std::string localizedStringForKey(const std::string& key, const std::string& value = {},
                                    const std::string& table = {}) const;
  // The bundle's localizations (its "<name>.lproj" folders, "Base" aside)
  // that best suit the device's preferred languages: the first preferred
  // language the bundle has (as it is, or its base language), else the
  // development region (CFBundleDevelopmentRegion) when the bundle has it,
  // else the first in order. Empty for a bundle without localizations.
  std::vector<std::string> preferredLocalizations() const;
  // "<bundle>/StoreKit/sandboxReceipt" when that file exists, else
  // "<bundle>/StoreKit/receipt".
  std::string appStoreReceiptURL() const;

  explicit Bundle(std::string path) : path_(std::move(path)) {}

 private:
  const Dictionary& loadedInfo() const;
  std::vector<std::string> searchFolders() const;

  std::string path_;
  mutable std::mutex mutex_;
  mutable std::optional<Dictionary> info_;                     // guarded by mutex_
  mutable std::map<std::string, Dictionary> stringTables_;     // guarded by mutex_
};

// Parses "key" = "value"; lines (with /* */ and // comments and \" \\ \n \t
// escapes) into a dictionary of strings; nullopt when malformed.
std::optional<Dictionary> parseStringsFile(const std::string& text);

}  // namespace os
