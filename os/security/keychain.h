// The keychain: items of a class (generic passwords, keys) with attributes and
// secret data, kept for the app in one binary property list,
// Library/Keychains/keychain.plist in the current sandbox (mode 0600, written
// atomically on every change).
//
// The item functions take query dictionaries keyed by the platform's strings
// (the constants below) and answer with the platform's status codes:
//   SecItemAdd(attributes, result)       adds one item
//   SecItemCopyMatching(query, result)   finds items; returns data and/or
//                                        attributes, one (default) or all
//   SecItemUpdate(query, changes)        changes every matching item
//   SecItemDelete(query)                 removes every matching item
// A query matches an item when every attribute it names is equal in the item
// (no access group in the query matches every group). Attributes compare by
// their bytes, as the platform stores them: a string and data holding its
// UTF-8 bytes are equal (an item written with a data account is found by the
// string, and returns the data it was written with). Generic passwords are
// unique by (access group, service, account); keys by (access group,
// application tag, key type, key class).
//
// Device state that tests set through Keychain: the device lock
// (errSecInteractionNotAllowed for items accessible only while unlocked, or
// only after first unlock before it), and the access groups the app is
// entitled to (errSecMissingEntitlement outside them).
//
// A keychain file that is damaged (not a keychain, not a regular file) is
// reported to the system log, set aside as "keychain.plist.corrupt" and
// replaced by an empty keychain. A file that exists but cannot be read now (too
// many open files, an I/O error) leaves the keychain unloaded: every item
// function answers errSecIO and changes nothing, and the next call reads the
// file again. Temporaries left by a killed write are removed when the file is
// read. A change that cannot be written is not made (errSecIO) and memory
// keeps the previous items.
// Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/foundation/value.h"

namespace os {

using OSStatus = int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecNoSuchAttr = -25303;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecMissingEntitlement = -34018;

// Item classes.
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecClassKey = "keys";

// Attributes.
inline constexpr const char* kSecAttrAccessGroup = "agrp";
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrGeneric = "gena";
inline constexpr const char* kSecAttrLabel = "labl";
inline constexpr const char* kSecAttrDescription = "desc";
inline constexpr const char* kSecAttrComment = "icmt";
inline constexpr const char* kSecAttrCreationDate = "cdat";
inline constexpr const char* kSecAttrModificationDate = "mdat";
inline constexpr const char* kSecAttrSynchronizable = "sync";
inline constexpr const char* kSecAttrApplicationTag = "atag";
inline constexpr const char* kSecAttrApplicationLabel = "klbl";
inline constexpr const char* kSecAttrKeyType = "type";
inline constexpr const char* kSecAttrKeyClass = "kcls";
inline constexpr const char* kSecAttrKeySizeInBits = "bsiz";
inline constexpr const char* kSecAttrIsPermanent = "perm";

// Accessibility values.
inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "ak";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr const char* kSecAttrAccessibleAlways = "dk";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "dku";
inline constexpr const char* kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly = "akpu";

// Key types and classes.
inline constexpr const char* kSecAttrKeyTypeRSA = "42";
inline constexpr const char* kSecAttrKeyTypeECSECPrimeRandom = "73";
inline constexpr const char* kSecAttrKeyClassPublic = "0";
inline constexpr const char* kSecAttrKeyClassPrivate = "1";
inline constexpr const char* kSecAttrKeyClassSymmetric = "2";

// Values, returns, matching and use.
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";
inline constexpr const char* kSecUseDataProtectionKeychain = "nleg";

OSStatus SecItemAdd(const Dictionary& attributes, Value* result = nullptr);
// `result` receives data (kSecReturnData alone), an attribute dictionary
// (kSecReturnAttributes, with kSecValueData in it when both are asked), or an
// array of those (kSecMatchLimitAll); null when nothing is asked.
OSStatus SecItemCopyMatching(const Dictionary& query, Value* result);
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
OSStatus SecItemDelete(const Dictionary& query);

// The store behind the item functions.
class Keychain {
 public:
  enum class LockState { Unlocked, LockedAfterFirstUnlock, LockedBeforeFirstUnlock };

  // The keychain of the current sandbox, loaded on first use.
  static std::shared_ptr<Keychain> shared();
  // Forgets the loaded keychain, as a new launch would: the next use reads the
  // file again. Device state (lock, entitlements) is kept.
  static void resetShared();

  // Device lock state (default Unlocked).
  static void setLockState(LockState state);
  static LockState lockState();
  // Access groups the app may use; empty (the default) allows every group.
  static void setEntitledAccessGroups(std::set<std::string> groups);
  // The group given to items added without one ("drosil.default" unless set).
  static void setDefaultAccessGroup(std::string group);

  explicit Keychain(std::string path);
  const std::string& path() const { return path_; }

  OSStatus add(const Dictionary& attributes, Value* result);
  OSStatus copyMatching(const Dictionary& query, Value* result);
  OSStatus update(const Dictionary& query, const Dictionary& changes);
  OSStatus remove(const Dictionary& query);

 private:
  // Reads the file unless loaded; errSecIO when it exists but cannot be read.
  OSStatus loadLocked();
  OSStatus persistLocked(const std::vector<Dictionary>& items);

  const std::string path_;
  std::mutex mutex_;
  bool loaded_ = false;            // guarded by mutex_
  std::vector<Dictionary> items_;  // guarded by mutex_
};

}  // namespace os
