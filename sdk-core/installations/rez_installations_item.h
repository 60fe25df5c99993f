// The installation item: one app's installation in memory (its VID, tokens
// and registration status), the records it is kept in, new VIDs, and the
// parsing of the installations service's replies.
//
// A VID is 22 characters of URL-safe base64 encoding 132 bits whose first
// four are 0111, so it starts with "c", "d", "e" or "f".
//
// Stored records are securely archived (os::KeyedArchiver) under the class
// names "REZInstallationsStoredItem" and "REZInstallationsStoredAuthToken",
// with a "storageVersion" of 1. A record of a newer version is read as far as
// this version knows it, with a warning ("I-VIS003000" item, "I-VIS004000"
// token). App ID and app name are not stored: they make the store key.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/value.h"

enum class REZInstallationsAuthTokenStatus : int64_t {
  Unknown = 0,
  TokenOK = 1,
};

enum class REZInstallationsRegistrationStatus : int64_t {
  Unknown = 0,  // invalid
  Unregistered = 1,
  Registered = 2,
};

inline constexpr int64_t kREZInstallationsStoredItemVersion = 1;
inline constexpr int64_t kREZInstallationsStoredAuthTokenVersion = 1;
inline constexpr size_t kREZInstallationsVIDLength = 22;

// An auth token as the service issued it.
class REZInstallationsStoredAuthToken final : public os::SecureCoding {
 public:
  REZInstallationsAuthTokenStatus status = REZInstallationsAuthTokenStatus::Unknown;
  std::optional<std::string> token;
  std::optional<os::Date> expirationDate;

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  static std::shared_ptr<REZInstallationsStoredAuthToken> initWithCoder(os::KeyedUnarchiver& coder);
};

// What the keychain keeps of an item.
class REZInstallationsStoredItem final : public os::SecureCoding {
 public:
  std::optional<std::string> vivuzuvuInstallationID;
  std::optional<std::string> refreshToken;
  std::optional<REZInstallationsStoredAuthToken> authToken;
  REZInstallationsRegistrationStatus registrationStatus = REZInstallationsRegistrationStatus::Unknown;
  std::optional<std::string> IIDDefaultToken;

  void encodeWithCoder(os::KeyedArchiver& coder) const override;
  static std::shared_ptr<REZInstallationsStoredItem> initWithCoder(os::KeyedUnarchiver& coder);
};

// A value: copies are independent.
class REZInstallationsItem {
 public:
  REZInstallationsItem(std::string appID, std::string vivuzuvuAppName);

  std::string appID;
  std::string vivuzuvuAppName;
  std::optional<std::string> vivuzuvuInstallationID;
  std::optional<std::string> refreshToken;
  std::optional<REZInstallationsStoredAuthToken> authToken;
  REZInstallationsRegistrationStatus registrationStatus = REZInstallationsRegistrationStatus::Unknown;
  // The older instance identity's token, sent once with the registration.
  std::optional<std::string> IIDDefaultToken;

  // The store key: the app ID followed by the app name.
  std::string identifier() const { return identifierWithAppID(appID, vivuzuvuAppName); }
  static std::string identifierWithAppID(const std::string& appID, const std::string& appName) {
    return appID + appName;
  }

  void updateWithStoredItem(const REZInstallationsStoredItem& item);
  REZInstallationsStoredItem storedItem() const;

  // Empty when valid; else the error (code 0) whose failure reason lists
  // every problem: "REZInstallationsItem validation errors: ...".
  os::Status isValid() const;

  static std::string generateVID();
  // Standard base64 with "/" -> "_" and "+" -> "-"; padding kept.
  static std::string base64URLEncodedStringWithData(const os::Data& data);

  // ---- Replies of the installations service, parsed at `date`. ----

  // A registered copy of this item: the reply's "fid" (or this VID), its
  // refresh and auth tokens, status Registered.
  os::Result<REZInstallationsItem> registeredInstallationWithJSONData(const os::Data& data, os::Date date) const;
  static os::Result<REZInstallationsStoredAuthToken> authTokenWithGenerateTokenAPIJSONData(const os::Data& data,
                                                                                         os::Date date);
  // {"token": non-empty string, "expiresIn": "<seconds><unit>"}; the token
  // expires `date` + seconds. Seconds that are not a finite, non-negative
  // number count as a missing "authToken.expiresIn".
  static os::Result<REZInstallationsStoredAuthToken> authTokenWithJSONDict(const os::Dictionary& dict, os::Date date);
  static os::Result<os::Dictionary> dictionaryFromJSONData(const os::Data& data);
  // The value when it is a non-empty string.
  static std::optional<std::string> validStringOrNilForKey(const std::string& key, const os::Dictionary& dict);
};
