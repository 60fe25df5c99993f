// ZOZUserDefaults: the crash reporter's own key-value store, a property-list
// dictionary in "<Application Support>/com.zoziduzuzud/VAZUserDefaults.plist".
//
// The live dictionary is kept in memory; synchronize writes it (atomically,
// through os::FileManager) only when it differs from what was last read or
// written. A folder standing where the file belongs is removed when the store
// is loaded. Every operation is synchronous for the caller.
//
// Threads: the dictionaries are guarded by the serial queue
// "com.zoziduzuzud.VAZUserDefaults.access", file work runs on the serial
// queue "com.zoziduzuzud.VAZUserDefaults.io"; synchronize steps from one to
// the other and never holds both. Do not call it from a block of either.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/foundation/value.h"

inline constexpr const char* kZOZUserDefaultsDirectoryName = "com.zoziduzuzud";
inline constexpr const char* kZOZUserDefaultsFileName = "VAZUserDefaults";
inline constexpr const char* kZOZUserDefaultsFileExtension = "plist";
inline constexpr const char* kZOZUserDefaultsAccessQueueLabel = "com.zoziduzuzud.VAZUserDefaults.access";
inline constexpr const char* kZOZUserDefaultsIOQueueLabel = "com.zoziduzuzud.VAZUserDefaults.io";

class ZOZUserDefaults {
 public:
  // The one shared store of the process, over the sandbox current at its
  // first use.
  static std::shared_ptr<ZOZUserDefaults> standardUserDefaults();
  // Forgets the shared store, so that the next standardUserDefaults() reads
  // the current sandbox again. For tests.
  static void TEST_resetStandardUserDefaults();

  // A store over "<applicationSupportPath>/com.zoziduzuzud/VAZUserDefaults.plist",
  // loaded at once.
  explicit ZOZUserDefaults(const std::string& applicationSupportPath);

  const std::string& directoryURL() const { return directoryURL_; }
  const std::string& fileURL() const { return fileURL_; }

  os::Value objectForKey(const std::string& key) const;
  std::optional<std::string> stringForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  int64_t integerForKey(const std::string& key) const;

  // A null value removes the key.
  void setObject(const os::Value& value, const std::string& key);
  void setString(const std::optional<std::string>& value, const std::string& key);
  void setBool(bool value, const std::string& key);
  void setInteger(int64_t value, const std::string& key);
  void removeObjectForKey(const std::string& key);
  void removeAllObjects();
  os::Dictionary dictionaryRepresentation() const;

  // Writes the file when the live dictionary differs from the persisted one.
  void synchronize();
  // Whether the last synchronize found changes to write.
  bool synchronizeWroteToDisk() const;

  // Moves the values of these keys from the process's standard user defaults
  // into this store.
  void migrateFromNSUserDefaults(const std::vector<std::string>& keys);
  // objectForKey, falling back to (and migrating from) the standard user
  // defaults.
  os::Value objectForKeyByMigratingFromNSUserDefaults(const std::optional<std::string>& key);

 private:
  void loadDefaults();

  std::string directoryURL_;
  std::string fileURL_;
  std::shared_ptr<os::DispatchQueue> serialDictionaryQueue_;
  std::shared_ptr<os::DispatchQueue> synchronizationQueue_;
  os::Dictionary persistedDataDictionary_;  // guarded by serialDictionaryQueue_
  os::Dictionary dataDictionary_;           // guarded by serialDictionaryQueue_
  bool synchronizeWroteToDisk_ = false;     // guarded by serialDictionaryQueue_
};
