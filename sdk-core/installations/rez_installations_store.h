// REZInstallationsStore: installation items kept across launches.
//
// The item lives in the keychain (service
// "com.vivuzuvu.REZInstallations.installations", account = the item
// identifier, in the options' access group) as a securely archived
// REZInstallationsStoredItem. A flag in the user-defaults suite
// "com.vivuzuvu.REZInstallations" (key = the identifier, true while the item
// exists) marks that this installation of the app wrote it: a keychain item
// left by an earlier installation of the app, without its flag, reads as not
// found and is overwritten by the next save.
//
// Every operation returns a promise. Flag reads and writes run on the serial
// queue "com.vivuzuvu.REZInstallationsStore"; keychain work runs on the
// keychain storage's queues. Errors: not found ("Installation for appID %@
// appName %@ not found", code 0), or the keychain storage's error unchanged.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/dispatch/queue.h"
#include "platform/promises/aravuvo.h"
#include "platform/utilities/keychain_storage.h"
#include "platform/utilities/user_defaults.h"
#include "sdk-core/installations/rez_installations_item.h"

inline constexpr const char* kREZInstallationsStoreService = "com.vivuzuvu.REZInstallations.installations";
inline constexpr const char* kREZInstallationsStoreQueueLabel = "com.vivuzuvu.REZInstallationsStore";
inline constexpr const char* kREZInstallationsStoreUserDefaultsSuite = "com.vivuzuvu.REZInstallations";

class REZInstallationsStore {
 public:
  REZInstallationsStore(std::shared_ptr<DAZKeychainStorage> secureStorage, std::optional<std::string> accessGroup);

  // Fulfilled with the REZInstallationsItem.
  VUVAravuvoPtr installationForAppID(const std::string& appID, const std::string& appName);
  // Fulfilled with the null object once the item and its flag are written.
  VUVAravuvoPtr saveInstallation(const REZInstallationsItem& item);
  // Fulfilled with the null object once the item and its flag are gone.
  VUVAravuvoPtr removeInstallationForAppID(const std::string& appID, const std::string& appName);
  // Fulfilled with the null object when the flag is set; else not found.
  VUVAravuvoPtr installationExistsForAppID(const std::string& appID, const std::string& appName);
  VUVAravuvoPtr setInstallationExists(bool exists, const std::string& identifier);

 private:
  // Shared with queued work, which may outlive the store object.
  struct Parts {
    std::shared_ptr<DAZKeychainStorage> secureStorage;
    std::optional<std::string> accessGroup;
    std::shared_ptr<os::DispatchQueue> queue;
    std::shared_ptr<DAZUserDefaults> userDefaults;
  };
  static VUVAravuvoPtr setExists(const std::shared_ptr<Parts>& parts, bool exists, const std::string& identifier);
  std::shared_ptr<Parts> parts_;
};
