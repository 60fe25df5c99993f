#include "measurement/store/keychain_wrapper.h"

#include <mutex>

#include "os/foundation/encoding.h"
#include "os/security/keychain.h"

namespace {

struct Migration {
  std::mutex mutex;
  bool done = false;  // guarded by mutex
};

Migration& migration() {
  static Migration* m = new Migration();
  return *m;
}

}  // namespace

std::optional<os::Dictionary> APMKeychainWrapper::searchDirectoryForIdentifier(std::string_view identifier,
                                                                               std::string_view appID) {
  if (identifier.empty() || appID.empty()) return std::nullopt;
  return os::Dictionary{
      {os::kSecClass, os::Value(os::kSecClassGenericPassword)},
      {os::kSecAttrService, os::Value(appID)},
      {os::kSecAttrGeneric, os::Value(identifier)},
      {os::kSecAttrAccount, os::Value(identifier)},
  };
}

bool APMKeychainWrapper::upsertKeychainValue(const os::Value& value, std::string_view identifier,
                                             std::string_view appID) {
  if (!value.isString() || value.string()->empty()) return false;
  std::optional<os::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  const os::Value data(os::Data::fromString(*value.string()));
  const os::Value accessible(os::kSecAttrAccessibleAlwaysThisDeviceOnly);

  const std::optional<std::string> present = keychainValueWithIdentifier(identifier, appID);
  if (present && !present->empty()) {
    // Matched without the accessibility, which is set with the value: an item
    // stored with another accessibility is updated too, instead of staying
    // beyond every later write.
    return os::SecItemUpdate(*query, {{os::kSecValueData, data}, {os::kSecAttrAccessible, accessible}}) ==
           os::errSecSuccess;
  }
  (*query)[os::kSecValueData] = data;
  (*query)[os::kSecAttrAccessible] = accessible;
  return os::SecItemAdd(*query) == os::errSecSuccess;
}

std::optional<std::string> APMKeychainWrapper::keychainValueWithIdentifier(std::string_view identifier,
                                                                           std::string_view appID) {
  {
    Migration& m = migration();
    std::lock_guard lock(m.mutex);
    if (!m.done) {
      m.done = true;
      migrateKeychainDataToStringWithIdentifier(identifier, appID);
    }
  }
  const std::optional<os::Data> data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty()) return std::nullopt;
  std::string text = data->toString();
  if (!os::isValidUTF8(text)) return std::nullopt;
  return text;
}

void APMKeychainWrapper::deleteKeychainValueWithIdentifier(std::string_view identifier, std::string_view appID) {
  if (auto query = searchDirectoryForIdentifier(identifier, appID)) os::SecItemDelete(*query);
}

std::optional<os::Data> APMKeychainWrapper::keychainDataWithIdentifier(std::string_view identifier,
                                                                       std::string_view appID) {
  std::optional<os::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::nullopt;
  (*query)[os::kSecMatchLimit] = os::Value(os::kSecMatchLimitOne);
  (*query)[os::kSecReturnData] = os::Value(true);
  os::Value result;
  if (os::SecItemCopyMatching(*query, &result) != os::errSecSuccess || !result.isData()) return std::nullopt;
  return *result.data();
}

bool APMKeychainWrapper::isMigrationNeededForIdentifier(std::string_view identifier, std::string_view appID) {
  std::optional<os::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  (*query)[os::kSecMatchLimit] = os::Value(os::kSecMatchLimitOne);
  (*query)[os::kSecReturnData] = os::Value(true);
  (*query)[os::kSecReturnAttributes] = os::Value(true);
  os::Value result;
  if (os::SecItemCopyMatching(*query, &result) != os::errSecSuccess || !result.isDictionary()) return false;
  const os::Value* account = result.find(os::kSecAttrAccount);
  if (account == nullptr || !account->isString()) return true;
  const os::Value* generic = result.find(os::kSecAttrGeneric);
  return generic == nullptr || !generic->isString();
}

void APMKeychainWrapper::migrateKeychainDataToStringWithIdentifier(std::string_view identifier,
                                                                   std::string_view appID) {
  if (!isMigrationNeededForIdentifier(identifier, appID)) return;
  const std::optional<os::Data> data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty()) return;
  os::SecItemUpdate(*searchDirectoryForIdentifier(identifier, appID),
                    {{os::kSecAttrGeneric, os::Value(identifier)}, {os::kSecAttrAccount, os::Value(identifier)}});
}

void APMKeychainWrapper::TEST_resetMigration() {
  Migration& m = migration();
  std::lock_guard lock(m.mutex);
  m.done = false;
}
