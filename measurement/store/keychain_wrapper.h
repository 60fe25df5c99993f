// APMKeychainWrapper: short string values of the measurement library in the
// keychain, as generic-password items keyed by an identifier and an app ID.
// The engine keeps the previous first-open count here ("_pfo", with the main
// bundle's identifier as the app ID).
//
// Item layout: class generic password, service = the app ID, generic
// attribute and account = the identifier (strings), value data = the value's
// UTF-8 bytes, accessible always, this device only. An item of an older
// layout (same service, a generic attribute or account that is not a string)
// is rewritten in place by the first read of the process.
//
// A write updates the item found by class, service, generic attribute and
// account, whatever accessibility it was stored with, and sets both the value
// data and the accessibility; it adds the item when there is no value to
// update.
//
// Failures are reported only as false or nullopt; nothing is logged. No lock
// of its own: the keychain serialises item access. The one-time migration
// runs once per process even when the first reads come from several threads
// (later readers wait for it).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/data.h"
#include "os/foundation/value.h"

class APMKeychainWrapper {
 public:
  APMKeychainWrapper() = delete;

  // True when the item was added or updated. False, writing nothing, for a
  // value that is not a non-empty string, or an empty identifier or app ID.
  static bool upsertKeychainValue(const os::Value& value, std::string_view identifier, std::string_view appID);
  // The stored string; nullopt when there is none, it is empty or it is not
  // UTF-8.
  static std::optional<std::string> keychainValueWithIdentifier(std::string_view identifier, std::string_view appID);
  // Removes every item the base query matches.
  static void deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID);

  // The base query (class, service, generic attribute, account); nullopt for
  // an empty identifier or app ID.
  static std::optional<os::Dictionary> searchDirectoryForIdentifier(std::string_view identifier,
                                                                    std::string_view appID);
  // The stored bytes of the one matching item, or nullopt.
  static std::optional<os::Data> keychainDataWithIdentifier(std::string_view identifier, std::string_view appID);
  // An item is found and its account, or else its generic attribute, is not
  // a string.
  static bool isMigrationNeededForIdentifier(std::string_view identifier, std::string_view appID);
  // Rewrites the generic attribute and account of an older item with a
  // non-empty value to the identifier string.
  static void migrateKeychainDataToStringWithIdentifier(std::string_view identifier, std::string_view appID);

  // ---- For tests ----
  // The next read runs the migration again, as in a new process.
  static void TEST_resetMigration();
};
