#include "sdk-core/installations/rez_installations_iid_store.h"

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/crypto.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/format.h"
#include "os/foundation/plist.h"
#include "os/security/keychain.h"
#include "platform/utilities/keychain_storage.h"
#include "sdk-core/installations/rez_installations_errors.h"
#include "sdk-core/installations/rez_installations_item.h"

using Object = VUVAravuvo::Object;

namespace {

const os::CodingRegistration<REZInstallationsIIDTokenInfo> kTokenInfoCoding("REZInstallationsIIDTokenInfo");

constexpr const char* kTokenInfoTokenKey = "token";
constexpr const char* kNoIIDReason = "No instance identifier of an earlier identity SDK.";
constexpr size_t kIIDByteCount = 8;

std::shared_ptr<os::DispatchQueue> utilityQueue() {
  return os::DispatchQueue::global(os::QualityOfService::Utility);
}

// The flag file's dictionary, or nullopt when it is missing or is none.
std::optional<os::Dictionary> readFlagFile() {
  auto data = os::FileManager::defaultManager().contentsAtPath(REZInstallationsIIDStore::flagFilePath());
  if (!data) return std::nullopt;
  auto plist = os::PropertyListSerialization::propertyListWithData(*data);
  if (!plist || !plist->isDictionary()) return std::nullopt;
  return *plist->dictionary();
}

// The application tag of a key; nullopt without a bundle identifier.
std::optional<os::Data> keyTag(const char* prefix) {
  const std::string bundleID = os::Bundle::mainBundle()->bundleIdentifier();
  if (bundleID.empty()) return std::nullopt;
  return os::Data::fromString(prefix + bundleID);
}

os::Dictionary keyQuery(const os::Data& tag) {
  return os::Dictionary{{os::kSecClass, os::Value(os::kSecClassKey)},
                        {os::kSecAttrKeyType, os::Value(os::kSecAttrKeyTypeRSA)},
                        {os::kSecAttrApplicationTag, os::Value(tag)}};
}

// Deletes the key of the tag; a missing key counts as deleted.
std::optional<os::Error> deleteKey(const char* prefix) {
  auto tag = keyTag(prefix);
  if (!tag) return std::nullopt;
  const os::OSStatus status = os::SecItemDelete(keyQuery(*tag));
  if (status == os::errSecSuccess || status == os::errSecItemNotFound) return std::nullopt;
  return REZInstallationsErrorUtil::keychainErrorWithFunction("SecItemDelete", status);
}

}  // namespace

// ---- REZInstallationsIIDStore ----

std::string REZInstallationsIIDStore::flagFilePath() {
  return os::FileManager::defaultManager().URLForDirectory(os::SearchPathDirectory::ApplicationSupport) + "/" +
         kREZInstallationsIIDFlagDirectory + "/" + kREZInstallationsIIDFlagFileName;
}

std::string REZInstallationsIIDStore::IIDWithPublicKeyData(const os::Data& publicKeyData) {
  os::Data digest = os::sha1(publicKeyData);
  if (digest.length() < kIIDByteCount) return {};
  std::vector<uint8_t> bytes(digest.bytes(), digest.bytes() + kIIDByteCount);
  bytes[0] = static_cast<uint8_t>(0x70 | (bytes[0] & 0x0F));
  std::string text = REZInstallationsItem::base64URLEncodedStringWithData(os::Data(std::move(bytes)));
  std::erase(text, '=');
  return text;
}

VUVAravuvoPtr REZInstallationsIIDStore::existingIID() {
  return VUVAravuvo::onQueueDo(utilityQueue(), []() -> Object {
    auto flags = readFlagFile();
    if (!flags || !flags->contains(kREZInstallationsIIDFlagKey)) {
      return REZInstallationsErrorUtil::errorWithFailureReason(kNoIIDReason);
    }
    auto tag = keyTag(kREZInstallationsIIDPublicKeyTagPrefix);
    if (!tag) return REZInstallationsErrorUtil::errorWithFailureReason(kNoIIDReason);
    os::Dictionary query = keyQuery(*tag);
    query[os::kSecReturnData] = os::Value(true);
    os::Value keyData;
    const os::OSStatus status = os::SecItemCopyMatching(query, &keyData);
    if (status != os::errSecSuccess || !keyData.isData()) {
      return REZInstallationsErrorUtil::errorWithFailureReason(kNoIIDReason);
    }
    std::string identifier = IIDWithPublicKeyData(*keyData.data());
    if (identifier.empty()) return REZInstallationsErrorUtil::errorWithFailureReason(kNoIIDReason);
    return identifier;
  });
}

VUVAravuvoPtr REZInstallationsIIDStore::deleteExistingIID() {
  return VUVAravuvo::onQueueDo(utilityQueue(), []() -> Object {
    if (auto flags = readFlagFile(); flags && flags->erase(kREZInstallationsIIDFlagKey) > 0) {
      auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(std::move(*flags)),
                                                                      os::PropertyListSerialization::Format::XML);
      if (!data) return data.error();
      auto written = os::FileManager::defaultManager().createFileAtPath(flagFilePath(), *data);
      if (!written) return written.error();
    }
    if (auto error = deleteKey(kREZInstallationsIIDPublicKeyTagPrefix)) return *error;
    if (auto error = deleteKey(kREZInstallationsIIDPrivateKeyTagPrefix)) return *error;
    return VUVAravuvo::nullObject();
  });
}

// ---- REZInstallationsIIDTokenInfo ----

void REZInstallationsIIDTokenInfo::encodeWithCoder(os::KeyedArchiver& coder) const {
  if (token) coder.encodeValue(os::Value(*token), kTokenInfoTokenKey);
}

std::shared_ptr<REZInstallationsIIDTokenInfo> REZInstallationsIIDTokenInfo::initWithCoder(os::KeyedUnarchiver& coder) {
  auto info = std::make_shared<REZInstallationsIIDTokenInfo>();
  info->token = coder.decodeStringForKey(kTokenInfoTokenKey);
  if (coder.error()) return nullptr;
  return info;
}

// ---- REZInstallationsIIDTokenStore ----

VUVAravuvoPtr REZInstallationsIIDTokenStore::existingIIDDefaultToken() {
  const std::string senderID = VCMSenderID_;
  return VUVAravuvo::onQueueDo(utilityQueue(), [senderID]() -> Object {
    os::Dictionary query{{os::kSecClass, os::Value(os::kSecClassGenericPassword)},
                         {os::kSecAttrGeneric, os::Value(kREZInstallationsIIDTokensGeneric)},
                         {os::kSecAttrService, os::Value(os::format("%@:%@", senderID, kREZInstallationsIIDTokenScope))}};
    const std::string bundleID = os::Bundle::mainBundle()->bundleIdentifier();
    if (!bundleID.empty()) query[os::kSecAttrAccount] = os::Value(bundleID);
    auto data = DAZKeychainUtils::getItemWithQuery(query);
    if (!data) return data.error();
    if (!*data) return REZInstallationsErrorUtil::corruptedIIDTokenData();

    auto coder = os::KeyedUnarchiver::initForReadingFromData(**data);
    if (!coder) return coder.error();
    (*coder)->setClass(os::codingClassName(typeid(REZInstallationsIIDTokenInfo)), kREZInstanceIDTokenInfoArchivedClass);
    auto info = (*coder)->decodeTopLevelObjectOfClass<REZInstallationsIIDTokenInfo>();
    if (!info) return info.error();
    if (!*info || !(*info)->token || (*info)->token->empty()) return REZInstallationsErrorUtil::corruptedIIDTokenData();
    return *(*info)->token;
  });
}
