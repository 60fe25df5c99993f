#include "sdk-core/installations/tests/iid_fixture.h"

#include <gtest/gtest.h>

#include "os/foundation/file_manager.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/plist.h"
#include "os/security/keychain.h"
#include "sdk-core/installations/rez_installations_iid_store.h"
#include "sdk-core/installations/tests/installations_test_support.h"

namespace installations_test {

namespace {

// The older SDK's token info, with fields this SDK does not read.
class OlderTokenInfo final : public os::SecureCoding {
 public:
  explicit OlderTokenInfo(std::string token) : token_(std::move(token)) {}
  void encodeWithCoder(os::KeyedArchiver& coder) const override {
    coder.encodeValue(os::Value("123456789012"), "authorizedEntity");
    coder.encodeValue(os::Value("*"), "scope");
    coder.encodeValue(os::Value(token_), "token");
  }
  static std::shared_ptr<OlderTokenInfo> initWithCoder(os::KeyedUnarchiver&) { return nullptr; }

 private:
  std::string token_;
};
const os::CodingRegistration<OlderTokenInfo> kOlderTokenInfo("TestOlderTokenInfo");

os::Data tag(const char* prefix) { return os::Data::fromString(std::string(prefix) + kBundleIdentifier); }

void addKey(const char* prefix, const char* keyClass, const std::string& data) {
  ASSERT_EQ(os::SecItemAdd({{os::kSecClass, os::Value(os::kSecClassKey)},
                            {os::kSecAttrKeyType, os::Value(os::kSecAttrKeyTypeRSA)},
                            {os::kSecAttrKeyClass, os::Value(keyClass)},
                            {os::kSecAttrApplicationTag, os::Value(tag(prefix))},
                            {os::kSecValueData, os::Value(os::Data::fromString(data))}}),
            os::errSecSuccess);
}

}  // namespace

os::Data archivedTokenInfo(const std::string& token) {
  os::KeyedArchiver coder;
  coder.setClassName(kREZInstanceIDTokenInfoArchivedClass, "TestOlderTokenInfo");
  coder.encodeRootObject(std::make_shared<OlderTokenInfo>(token));
  return *coder.encodedData();
}

void writeIIDFlagFile() {
  const std::string path = REZInstallationsIIDStore::flagFilePath();
  auto& fm = os::FileManager::defaultManager();
  ASSERT_TRUE(fm.createDirectoryAtPath(path.substr(0, path.rfind('/')), true));
  auto data = os::PropertyListSerialization::dataWithPropertyList(
      os::Value{{kREZInstallationsIIDFlagKey, os::Value(os::Data::fromString("secret"))}, {"|P|other", 1}},
      os::PropertyListSerialization::Format::Binary);
  ASSERT_TRUE(fm.createFileAtPath(path, *data));
}

void writeIIDFixture(bool withFlagFile) {
  if (withFlagFile) writeIIDFlagFile();
  addKey(kREZInstallationsIIDPublicKeyTagPrefix, os::kSecAttrKeyClassPublic, kIIDPublicKeyData);
  addKey(kREZInstallationsIIDPrivateKeyTagPrefix, os::kSecAttrKeyClassPrivate, "drosil-test-private-key");
  ASSERT_EQ(os::SecItemAdd({{os::kSecClass, os::Value(os::kSecClassGenericPassword)},
                            {os::kSecAttrGeneric, os::Value(kREZInstallationsIIDTokensGeneric)},
                            {os::kSecAttrAccount, os::Value(kBundleIdentifier)},
                            {os::kSecAttrService, os::Value(std::string(kSenderID) + ":*")},
                            {os::kSecValueData, os::Value(archivedTokenInfo(kIIDDefaultToken))}}),
            os::errSecSuccess);
}

bool IIDKeyExists(bool publicKey) {
  os::Value result;
  return os::SecItemCopyMatching({{os::kSecClass, os::Value(os::kSecClassKey)},
                                  {os::kSecAttrApplicationTag,
                                   os::Value(tag(publicKey ? kREZInstallationsIIDPublicKeyTagPrefix
                                                           : kREZInstallationsIIDPrivateKeyTagPrefix))}},
                                 &result) == os::errSecSuccess;
}

}  // namespace installations_test
