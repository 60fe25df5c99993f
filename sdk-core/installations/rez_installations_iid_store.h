// The older instance identity an app may carry from an earlier identity SDK:
// an identifier derived from an RSA key pair in the keychain, and a default
// token. The default app reuses the identifier as its VID and sends the token
// with its registration; deleting the installation deletes the identity too.
//
// Where it is kept:
//  - flag file: "Devuvo/VivuzuvuInstanceID/com.devuvo.iid-keypair.plist"
//    under Application Support; the identity counts only while this property
//    list holds the key "|S|cre". Without it no keychain query is made.
//  - key pair: keychain keys (RSA) tagged "com.devuvo.iid.keypair.public-" /
//    "com.devuvo.iid.keypair.private-" + the main bundle identifier (UTF-8);
//    no bundle identifier, no key.
//  - token: a generic password with generic attribute "com.devuvo.iid-tokens",
//    account the main bundle identifier (none when empty) and service
//    "<VCM sender ID>:*"; its data is a keyed archive whose root object was
//    archived as "REZInstanceIDTokenInfo" with a "token" field.
//
// The identifier: SHA-1 of the public key's data, first byte replaced by
// 0x70 | (byte & 0x0F), first 8 bytes, URL-safe base64 without "=": 11
// characters starting with "c" to "f".
//
// Work runs on the global queue of utility priority; results are promises.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/keyed_archiver.h"
#include "platform/promises/aravuvo.h"

inline constexpr const char* kREZInstallationsIIDFlagDirectory = "Devuvo/VivuzuvuInstanceID";
inline constexpr const char* kREZInstallationsIIDFlagFileName = "com.devuvo.iid-keypair.plist";
inline constexpr const char* kREZInstallationsIIDFlagKey = "|S|cre";
inline constexpr const char* kREZInstallationsIIDPublicKeyTagPrefix = "com.devuvo.iid.keypair.public-";
inline constexpr const char* kREZInstallationsIIDPrivateKeyTagPrefix = "com.devuvo.iid.keypair.private-";
inline constexpr const char* kREZInstallationsIIDTokensGeneric = "com.devuvo.iid-tokens";
inline constexpr const char* kREZInstallationsIIDTokenScope = "*";
inline constexpr const char* kREZInstanceIDTokenInfoArchivedClass = "REZInstanceIDTokenInfo";

class REZInstallationsIIDStore {
 public:
  // Fulfilled with the identifier string; rejected when there is none.
  VUVAravuvoPtr existingIID();
  // Removes the flag and both keys (missing ones count as removed); fulfilled
  // with the null object. Errors: the flag file's write error, or a keychain
  // error (code 1, "SecItemDelete (<status>)").
  VUVAravuvoPtr deleteExistingIID();

  // The flag file's path in the current sandbox.
  static std::string flagFilePath();
  // The identifier derived from a public key's data.
  static std::string IIDWithPublicKeyData(const os::Data& publicKeyData);
};

// The token info of the older SDK, as far as it is read here.
class REZInstallationsIIDTokenInfo final : public os::SecureCoding {
 public:
  std::optional<std::string> token;

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  static std::shared_ptr<REZInstallationsIIDTokenInfo> initWithCoder(os::KeyedUnarchiver& coder);
};

class REZInstallationsIIDTokenStore {
 public:
  explicit REZInstallationsIIDTokenStore(std::string VCMSenderID) : VCMSenderID_(std::move(VCMSenderID)) {}

  // Fulfilled with the token string. Errors: the keychain's, the
  // unarchiver's, or "IID token data stored in Keychain is corrupted or in an
  // incompatible format." when there is no item or no token in it.
  VUVAravuvoPtr existingIIDDefaultToken();

 private:
  const std::string VCMSenderID_;
};
