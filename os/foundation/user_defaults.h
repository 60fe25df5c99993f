// os::UserDefaults: the preferences store. Each suite is a binary property
// list, Library/Preferences/<suite>.plist in the current sandbox; the standard
// store's suite is the main bundle's identifier ("com.drosil.app" without
// one).
//
// Objects over the same suite share one in-memory domain; every change is
// written through at once (atomically: temporary file, sync, rename), so a
// value set is there for new objects made after a restart
// (resetStandardUserDefaults). Reads look in the suite's domain, then in the
// process-wide registration domain (registerDefaults).
//
// A preferences file that is not a dictionary (or not a regular file) is
// reported to the system log, set aside as "<suite>.plist.corrupt" and
// replaced by an empty domain; other suites are untouched. A file that exists
// but cannot be read now (too many open files, an I/O error) is reported once
// and leaves the suite unloaded: reads find nothing, writes are refused and
// change nothing, synchronize returns the read error, and the next access
// reads the file again. Temporaries left by a killed write are removed when
// the suite is read (FileManager::removeStaleTemporaryFilesOfPath). Values
// must be property lists: null, or a collection holding null, is refused
// (logged, nothing stored).
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

namespace os {

namespace foundation::detail {
class PreferencesDomain;
}

class UserDefaults {
 public:
  // The app's own store (one object per process until reset).
  static std::shared_ptr<UserDefaults> standardUserDefaults();
  // A named suite; the empty name gives the standard store. Null for a name
  // that cannot be a file name ("/" in it, ".", "..") or that names the
  // standard suite.
  static std::shared_ptr<UserDefaults> initWithSuiteName(const std::string& suiteName);
  // Flushes and forgets every loaded domain and the standard object, as a new
  // launch would; the next objects read the files again. Registration
  // defaults are forgotten too.
  static void resetStandardUserDefaults();

  const std::string& suiteName() const { return suiteName_; }
  // The file that holds the suite.
  std::string preferencesPath() const;

  // The stored value, else the registered one, else null.
  Value objectForKey(const std::string& key) const;
  // Strings as they are; numbers as their description; else nullopt.
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<Array> arrayForKey(const std::string& key) const;
  std::optional<Dictionary> dictionaryForKey(const std::string& key) const;
  std::optional<Data> dataForKey(const std::string& key) const;
  // Numbers convert; strings are parsed ("12" is 12, "YES"/"true" are true);
  // anything else or nothing is 0 / false.
  int64_t integerForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  float floatForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;

  // Stores the value and writes the suite's file. Null is refused (use
  // removeObjectForKey), as is anything a property list cannot hold.
  void setObject(const Value& value, const std::string& key);
  void setInteger(int64_t value, const std::string& key) { setObject(Value(Number::int64(value)), key); }
  void setDouble(double value, const std::string& key) { setObject(Value(value), key); }
  void setFloat(float value, const std::string& key) { setObject(Value(value), key); }
  void setBool(bool value, const std::string& key) { setObject(Value(value), key); }
  void removeObjectForKey(const std::string& key);
  // Removes the keys with one write of the suite's file.
  void removeObjectsForKeys(const std::vector<std::string>& keys);
  // The keys the suite stores (registered defaults not included), sorted.
  std::vector<std::string> keyList() const;
  // Empties the suite's domain and deletes its preferences file, without
  // writing an empty file in its place. Objects over the suite see it empty.
  static void removePersistentDomainForName(const std::string& suiteName);

  // Adds to the process-wide registration domain (values are not written).
  void registerDefaults(const Dictionary& defaults);
  // Registered values overlaid by the suite's stored ones.
  Dictionary dictionaryRepresentation() const;

  // Writes the suite when a previous write failed. An error when the file
  // still cannot be written, or cannot be read.
  Status synchronize();

 private:
  UserDefaults(std::string suiteName, std::shared_ptr<foundation::detail::PreferencesDomain> domain)
      : suiteName_(std::move(suiteName)), domain_(std::move(domain)) {}
  static std::shared_ptr<UserDefaults> make(const std::string& suiteName);

  std::string suiteName_;
  std::shared_ptr<foundation::detail::PreferencesDomain> domain_;
};

}  // namespace os
