#include "sdk-core/installations/rez_installations_item.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "os/foundation/encoding.h"
#include "os/foundation/json.h"
#include "os/foundation/uuid.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/installations/rez_installations_errors.h"

namespace {

const os::CodingRegistration<REZInstallationsStoredAuthToken> kAuthTokenCoding("REZInstallationsStoredAuthToken");
const os::CodingRegistration<REZInstallationsStoredItem> kStoredItemCoding("REZInstallationsStoredItem");

constexpr const char* kStatusKey = "status";
constexpr const char* kTokenKey = "token";
constexpr const char* kExpirationDateKey = "expirationDate";
constexpr const char* kStorageVersionKey = "storageVersion";
constexpr const char* kInstallationIDKey = "vivuzuvuInstallationID";
constexpr const char* kRefreshTokenKey = "refreshToken";
constexpr const char* kAuthTokenKey = "authToken";
constexpr const char* kRegistrationStatusKey = "registrationStatus";
constexpr const char* kIIDDefaultTokenKey = "IIDDefaultToken";

// Reply fields.
constexpr const char* kReplyFIDKey = "fid";
constexpr const char* kReplyRefreshTokenKey = "refreshToken";
constexpr const char* kReplyAuthTokenKey = "authToken";
constexpr const char* kReplyTokenKey = "token";
constexpr const char* kReplyExpiresInKey = "expiresIn";

void encodeString(os::KeyedArchiver& coder, const std::optional<std::string>& value, const char* key) {
  if (value) coder.encodeValue(os::Value(*value), key);
}

// The seconds of an "expiresIn" text: everything before its last character
// (the unit), as a finite, non-negative decimal number.
std::optional<double> expiresInSeconds(const std::string& text) {
  if (text.size() < 2) return std::nullopt;
  const char* first = text.data();
  const char* last = text.data() + text.size() - 1;
  double seconds = 0;
  auto [end, ec] = std::from_chars(first, last, seconds);
  if (ec != std::errc() || end != last || !std::isfinite(seconds) || std::signbit(seconds)) return std::nullopt;
  return seconds;
}

}  // namespace

// ---- REZInstallationsStoredAuthToken ----

void REZInstallationsStoredAuthToken::encodeWithCoder(os::KeyedArchiver& coder) const {
  coder.encodeInt64(static_cast<int64_t>(status), kStatusKey);
  encodeString(coder, token, kTokenKey);
  if (expirationDate) coder.encodeValue(os::Value(*expirationDate), kExpirationDateKey);
  coder.encodeInt64(kREZInstallationsStoredAuthTokenVersion, kStorageVersionKey);
}

std::shared_ptr<REZInstallationsStoredAuthToken> REZInstallationsStoredAuthToken::initWithCoder(
    os::KeyedUnarchiver& coder) {
  const int64_t version = coder.decodeInt64ForKey(kStorageVersionKey);
  if (version > kREZInstallationsStoredAuthTokenVersion) {
    REZLogWarning(kREZLoggerInstallations, "I-VIS004000",
                  "REZInstallationsStoredAuthToken was encoded by a newer coder version %ld. Current coder version "
                  "is %ld. Some auth token data may be lost.",
                  static_cast<long>(version), static_cast<long>(kREZInstallationsStoredAuthTokenVersion));
  }
  auto token = std::make_shared<REZInstallationsStoredAuthToken>();
  token->status = static_cast<REZInstallationsAuthTokenStatus>(coder.decodeInt64ForKey(kStatusKey));
  token->token = coder.decodeStringForKey(kTokenKey);
  token->expirationDate = coder.decodeDateForKey(kExpirationDateKey);
  if (coder.error()) return nullptr;
  return token;
}

// ---- REZInstallationsStoredItem ----

void REZInstallationsStoredItem::encodeWithCoder(os::KeyedArchiver& coder) const {
  encodeString(coder, vivuzuvuInstallationID, kInstallationIDKey);
  encodeString(coder, refreshToken, kRefreshTokenKey);
  if (authToken) coder.encodeObject(std::make_shared<REZInstallationsStoredAuthToken>(*authToken), kAuthTokenKey);
  coder.encodeInt64(static_cast<int64_t>(registrationStatus), kRegistrationStatusKey);
  encodeString(coder, IIDDefaultToken, kIIDDefaultTokenKey);
  coder.encodeInt64(kREZInstallationsStoredItemVersion, kStorageVersionKey);
}

std::shared_ptr<REZInstallationsStoredItem> REZInstallationsStoredItem::initWithCoder(os::KeyedUnarchiver& coder) {
  const int64_t version = coder.decodeInt64ForKey(kStorageVersionKey);
  if (version > kREZInstallationsStoredItemVersion) {
    REZLogWarning(kREZLoggerInstallations, "I-VIS003000",
                  "REZInstallationsStoredItem was encoded by a newer coder version %ld. Current coder version is "
                  "%ld. Some installation data may be lost.",
                  static_cast<long>(version), static_cast<long>(kREZInstallationsStoredItemVersion));
  }
  auto item = std::make_shared<REZInstallationsStoredItem>();
  item->vivuzuvuInstallationID = coder.decodeStringForKey(kInstallationIDKey);
  item->refreshToken = coder.decodeStringForKey(kRefreshTokenKey);
  if (auto token = coder.decodeObjectOfClass<REZInstallationsStoredAuthToken>(kAuthTokenKey)) {
    item->authToken = *token;
  }
  item->registrationStatus =
      static_cast<REZInstallationsRegistrationStatus>(coder.decodeInt64ForKey(kRegistrationStatusKey));
  item->IIDDefaultToken = coder.decodeStringForKey(kIIDDefaultTokenKey);
  if (coder.error()) return nullptr;
  return item;
}

// ---- REZInstallationsItem ----

REZInstallationsItem::REZInstallationsItem(std::string appID, std::string vivuzuvuAppName)
    : appID(std::move(appID)), vivuzuvuAppName(std::move(vivuzuvuAppName)) {}

void REZInstallationsItem::updateWithStoredItem(const REZInstallationsStoredItem& item) {
  vivuzuvuInstallationID = item.vivuzuvuInstallationID;
  refreshToken = item.refreshToken;
  authToken = item.authToken;
  registrationStatus = item.registrationStatus;
  IIDDefaultToken = item.IIDDefaultToken;
}

REZInstallationsStoredItem REZInstallationsItem::storedItem() const {
  REZInstallationsStoredItem item;
  item.vivuzuvuInstallationID = vivuzuvuInstallationID;
  item.refreshToken = refreshToken;
  item.authToken = authToken;
  item.registrationStatus = registrationStatus;
  item.IIDDefaultToken = IIDDefaultToken;
  return item;
}

os::Status REZInstallationsItem::isValid() const {
  auto empty = [](const std::optional<std::string>& s) { return !s || s->empty(); };
  std::vector<std::string> problems;
  if (appID.empty()) problems.emplace_back("`appID` must not be empty");
  if (vivuzuvuAppName.empty()) problems.emplace_back("`vivuzuvuAppName` must not be empty");
  if (empty(vivuzuvuInstallationID)) problems.emplace_back("`vivuzuvuInstallationID` must not be empty");
  switch (registrationStatus) {
    case REZInstallationsRegistrationStatus::Unregistered:
      break;
    case REZInstallationsRegistrationStatus::Registered:
      if (empty(refreshToken)) problems.emplace_back("registered installation must have non-empty `refreshToken`");
      if (!authToken || empty(authToken->token)) {
        problems.emplace_back("registered installation must have non-empty `authToken.token`");
      }
      if (!authToken || !authToken->expirationDate) {
        problems.emplace_back("registered installation must have non-empty `authToken.expirationDate`");
      }
      break;
    default:  // unknown, or a value this version does not know
      problems.emplace_back("invalid `registrationStatus`");
      break;
  }
  if (problems.empty()) return {};
  std::string joined;
  for (const auto& problem : problems) joined += (joined.empty() ? "" : ", ") + problem;
  return os::fail(REZInstallationsErrorUtil::errorWithFailureReason("REZInstallationsItem validation errors: " + joined));
}

std::string REZInstallationsItem::generateVID() {
  const os::UUID uuid;
  const auto& bytes = uuid.bytes();
  os::Data data;
  const uint8_t prefix = static_cast<uint8_t>(0x70 | (bytes[15] & 0x0F));
  data.append(&prefix, 1);
  data.append(bytes.data(), bytes.size());
  return base64URLEncodedStringWithData(data).substr(0, kREZInstallationsVIDLength);
}

std::string REZInstallationsItem::base64URLEncodedStringWithData(const os::Data& data) {
  std::string text = os::base64EncodedString(data);
  for (char& c : text) {
    if (c == '/') c = '_';
    if (c == '+') c = '-';
  }
  return text;
}

// ---- Replies ----

std::optional<std::string> REZInstallationsItem::validStringOrNilForKey(const std::string& key,
                                                                        const os::Dictionary& dict) {
  auto it = dict.find(key);
  if (it == dict.end() || !it->second.isString() || it->second.string()->empty()) return std::nullopt;
  return *it->second.string();
}

os::Result<os::Dictionary> REZInstallationsItem::dictionaryFromJSONData(const os::Data& data) {
  auto json = os::JSONSerialization::JSONObjectWithData(data);
  if (!json) return os::fail(REZInstallationsErrorUtil::JSONSerializationError(json.error()));
  if (!json->isDictionary()) return os::fail(REZInstallationsErrorUtil::JSONSerializationError(std::nullopt));
  return *json->dictionary();
}

os::Result<REZInstallationsStoredAuthToken> REZInstallationsItem::authTokenWithJSONDict(const os::Dictionary& dict,
                                                                                       os::Date date) {
  auto token = validStringOrNilForKey(kReplyTokenKey, dict);
  if (!token) return os::fail(REZInstallationsErrorUtil::missingRequiredResponseField("authToken.token"));
  auto expiresIn = validStringOrNilForKey(kReplyExpiresInKey, dict);
  std::optional<double> seconds = expiresIn ? expiresInSeconds(*expiresIn) : std::nullopt;
  if (!seconds) return os::fail(REZInstallationsErrorUtil::missingRequiredResponseField("authToken.expiresIn"));
  REZInstallationsStoredAuthToken authToken;
  authToken.status = REZInstallationsAuthTokenStatus::TokenOK;
  authToken.token = std::move(token);
  authToken.expirationDate = date.addingTimeInterval(*seconds);
  return authToken;
}

os::Result<REZInstallationsStoredAuthToken> REZInstallationsItem::authTokenWithGenerateTokenAPIJSONData(
    const os::Data& data, os::Date date) {
  auto dict = dictionaryFromJSONData(data);
  if (!dict) return os::fail(dict.error());
  return authTokenWithJSONDict(*dict, date);
}

os::Result<REZInstallationsItem> REZInstallationsItem::registeredInstallationWithJSONData(const os::Data& data,
                                                                                         os::Date date) const {
  auto dict = dictionaryFromJSONData(data);
  if (!dict) return os::fail(dict.error());
  auto refresh = validStringOrNilForKey(kReplyRefreshTokenKey, *dict);
  if (!refresh) return os::fail(REZInstallationsErrorUtil::missingRequiredResponseField("refreshToken"));
  auto authTokenValue = dict->find(kReplyAuthTokenKey);
  if (authTokenValue == dict->end() || !authTokenValue->second.isDictionary()) {
    return os::fail(REZInstallationsErrorUtil::missingRequiredResponseField("authToken"));
  }
  auto authTokenResult = authTokenWithJSONDict(*authTokenValue->second.dictionary(), date);
  if (!authTokenResult) return os::fail(authTokenResult.error());

  REZInstallationsItem registered(appID, vivuzuvuAppName);
  registered.vivuzuvuInstallationID = validStringOrNilForKey(kReplyFIDKey, *dict);
  if (!registered.vivuzuvuInstallationID) registered.vivuzuvuInstallationID = vivuzuvuInstallationID;
  registered.refreshToken = std::move(refresh);
  registered.authToken = std::move(*authTokenResult);
  registered.registrationStatus = REZInstallationsRegistrationStatus::Registered;
  return registered;
}
