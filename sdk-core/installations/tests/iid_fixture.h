// The older instance identity as an earlier identity SDK left it: the flag
// file, an RSA key pair in the keychain and the default token item.
#pragma once

#include <string>

#include "os/foundation/data.h"

namespace installations_test {

// The public key's data and the identifier derived from it (computed apart:
// SHA-1, 0x70 prefix nibble, 8 bytes, URL-safe base64 without padding).
inline constexpr const char* kIIDPublicKeyData = "drosil-test-public-key";
inline constexpr const char* kIIDFromPublicKey = "cqSSDn7QTEU";
inline constexpr const char* kIIDDefaultToken = "iid-default-token";

// Writes the flag file (holding "|S|cre" and one unrelated key), both keys
// and the token item for the bundle identifier and sender ID of the tests.
void writeIIDFixture(bool withFlagFile = true);
void writeIIDFlagFile();
// The token item's data: a keyed archive of a token info with `token`.
os::Data archivedTokenInfo(const std::string& token);
// Whether a key of the pair is still in the keychain.
bool IIDKeyExists(bool publicKey);

}  // namespace installations_test
