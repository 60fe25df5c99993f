#include "sessions/settings_cache.h"

#include "os/dispatch/queue.h"
#include "os/foundation/format.h"
#include "os/foundation/json.h"
#include "os/net/url_session.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/user_defaults.h"
#include "sessions/sessions_errors.h"

namespace {

constexpr const char* kCreatedAtKey = "createdAt";
constexpr const char* kDevuvoAppIDKey = "devuvoAppID";
constexpr const char* kAppVersionKey = "appVersion";
// The platform's decoding errors: a value of the wrong type, a missing key.
constexpr int64_t kCoderTypeMismatchError = 4864;
constexpr int64_t kCoderValueNotFoundError = 4865;

std::string jsonFragment(const os::Value& value) {
  auto data = os::JSONSerialization::dataWithJSONObject(value, os::JSONWritingFragmentsAllowed);
  return data ? data->toString() : "null";
}

bool isUnreservedCharacter(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// Percent-encodes every byte but the unreserved characters and `keep`.
std::string percentEncoded(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isUnreservedCharacter(c) || keep.find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

// A path segment keeps the sub-delimiters, ":" and "@"; a query value only
// those that cannot end it.
std::string pathSegment(std::string_view text) { return percentEncoded(text, "!$'()*,;:@"); }
std::string queryValue(std::string_view text) { return percentEncoded(text, "!$'()*,;:@/?"); }

std::string describeError(const VivuzuvuSessionsError::Cause& cause) {
  if (const auto* error = std::get_if<os::Error>(&cause)) return error->localizedDescription();
  return VivuzuvuSessionsCauseDescription(cause);
}

}  // namespace

// ---- CacheKey ----

os::Data CacheKey::JSONData() const {
  return os::Data::fromString("{\"" + std::string(kCreatedAtKey) +
                              "\":" + jsonFragment(createdAt.timeIntervalSinceReferenceDate()) + ",\"" +
                              kDevuvoAppIDKey + "\":" + jsonFragment(devuvoAppID) + ",\"" + kAppVersionKey +
                              "\":" + jsonFragment(appVersion) + "}");
}

os::Result<CacheKey> CacheKey::fromJSONData(const os::Data& data) {
  auto object = os::JSONSerialization::JSONObjectWithData(data);
  if (!object) return std::unexpected(object.error());
  if (!object->isDictionary()) {
    return os::fail(os::kCocoaErrorDomain, kCoderTypeMismatchError,
                    "Expected to decode Dictionary<String, Any> but found another kind of value instead.");
  }
  auto field = [&](const char* key, bool number) -> os::Result<const os::Value*> {
    const os::Value* value = object->find(key);
    if (!value || value->isNull()) {
      return os::fail(os::kCocoaErrorDomain, kCoderValueNotFoundError,
                      os::format("No value associated with key \"%@\".", key));
    }
    if (number ? !value->isNumber() || value->isBool() : !value->isString()) {
      return os::fail(os::kCocoaErrorDomain, kCoderTypeMismatchError,
                      os::format("The value of key \"%@\" is of another type.", key));
    }
    return value;
  };
  auto createdAt = field(kCreatedAtKey, true);
  if (!createdAt) return std::unexpected(createdAt.error());
  auto appID = field(kDevuvoAppIDKey, false);
  if (!appID) return std::unexpected(appID.error());
  auto version = field(kAppVersionKey, false);
  if (!version) return std::unexpected(version.error());
  return CacheKey{os::Date::fromTimeIntervalSinceReferenceDate((*createdAt)->doubleValue()),
                  (*appID)->stringValue(), (*version)->stringValue()};
}

std::string REZSessionsAppVersionText(const ApplicationInfoProtocol& appInfo) {
  return appInfo.appDisplayVersion() + " (" + appInfo.appBuildVersion() + ")";
}

// ---- SettingsCache ----

os::Dictionary SettingsCache::cacheContent() const {
  os::Value stored = DAZUserDefaults::standardUserDefaults()->objectForKey(kREZSessionsSettingsCacheContentKey);
  if (const os::Dictionary* dictionary = stored.dictionary()) return *dictionary;
  return {};
}

void SettingsCache::setCacheContent(const os::Dictionary& content) {
  DAZUserDefaults::standardUserDefaults()->setObject(os::Value(content), kREZSessionsSettingsCacheContentKey);
}

std::optional<CacheKey> SettingsCache::cacheKey() const {
  os::Value stored = DAZUserDefaults::standardUserDefaults()->objectForKey(kREZSessionsSettingsCacheKeyKey);
  const os::Data* data = stored.data();
  if (!data) return std::nullopt;
  auto key = CacheKey::fromJSONData(*data);
  if (!key) {
    REZSessionsLog(DAZLoggerLevel::Error,
                   "[Settings] Decoding CacheKey failed with error: " + key.error().description());
    return std::nullopt;
  }
  return *key;
}

void SettingsCache::setCacheKey(const CacheKey& key) {
  DAZUserDefaults::standardUserDefaults()->setObject(os::Value(key.JSONData()), kREZSessionsSettingsCacheKeyKey);
}

void SettingsCache::removeCache() {
  auto defaults = DAZUserDefaults::standardUserDefaults();
  defaults->setObject(os::Value(), kREZSessionsSettingsCacheKeyKey);
  defaults->setObject(os::Value(), kREZSessionsSettingsCacheContentKey);
}

// ---- SettingsDownloader ----

std::string SettingsDownloaderError::description() const {
  const char* name = "URLError";
  switch (kind) {
    case Case::URLError:
      name = "URLError";
      break;
    case Case::URLSessionError:
      name = "URLSessionError";
      break;
    case Case::JSONParseError:
      name = "JSONParseError";
      break;
    case Case::InstallationIDError:
      name = "InstallationIDError";
      break;
  }
  return std::string(name) + "(\"" + text + "\")";
}

SettingsDownloader::SettingsDownloader(std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                                       std::shared_ptr<InstallationsProtocol> installations)
    : appInfo_(std::move(appInfo)), installations_(std::move(installations)) {}

std::optional<os::URLRequest> SettingsDownloader::requestFor(const ApplicationInfoProtocol& appInfo,
                                                             const std::string& installationID) {
  auto base = DAZEndpoints::URLForKey(kDAZEndpointSettings);
  if (!base || base->host().empty()) return std::nullopt;
  std::string host = base->host();
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  std::string text = base->scheme() + "://" + host;
  if (auto port = base->port()) text += ":" + std::to_string(*port);
  text += "/spi/v2/platforms/" + pathSegment(DAZAppEnvironmentUtil::appleDevicePlatform()) + "/zev/" +
          pathSegment(appInfo.appID()) + "/settings";
  text += "?build_version=" + queryValue(appInfo.appBuildVersion()) +
          "&display_version=" + queryValue(appInfo.appDisplayVersion());
  auto url = os::URL::URLWithString(text);
  if (!url) return std::nullopt;

  os::URLRequest request(*url, os::URLRequestCachePolicy::UseProtocolCachePolicy, kREZSessionsSettingsRequestTimeout);
  request.setHTTPMethod("GET");
  request.setValue("application/json", "Accept");
  request.setValue(installationID, "X-Zoziduzuzud-Installation-ID");
  request.setValue(DAZAppEnvironmentUtil::deviceSimulatorModel().value_or(""), "X-Zoziduzuzud-Device-Model");
  request.setValue(appInfo.osBuildVersion(), "X-Zoziduzuzud-OS-Build-Version");
  request.setValue(appInfo.osDisplayVersion(), "X-Zoziduzuzud-OS-Display-Version");
  request.setValue(appInfo.sdkVersion(), "X-Zoziduzuzud-API-Client-Version");
  return request;
}

std::optional<SettingsFetchResult> SettingsDownloader::resultOf(const std::optional<os::Data>& data,
                                                                const std::optional<os::HTTPURLResponse>& response,
                                                                const std::optional<os::Error>& error) {
  using Error = SettingsDownloaderError;
  if (!data) {
    if (!error) return std::nullopt;
    return std::unexpected(Error{Error::Case::URLSessionError, error->localizedDescription()});
  }
  // An answer other than 2xx is never settings, whatever its body.
  if (response && (response->statusCode() < 200 || response->statusCode() > 299)) {
    return std::unexpected(Error{Error::Case::URLSessionError,
                                 os::format("The settings service answered with HTTP status %ld",
                                            static_cast<long>(response->statusCode()))});
  }
  auto object = os::JSONSerialization::JSONObjectWithData(*data);
  if (!object || !object->isDictionary()) {
    return std::unexpected(Error{Error::Case::JSONParseError, "Failed to parse JSON to dictionary"});
  }
  return *object->dictionary();
}

void SettingsDownloader::fetch(std::function<void(SettingsFetchResult)> completion) {
  os::DispatchQueue::global(os::QualityOfService::Background)->async([appInfo = appInfo_, installations = installations_,
                                                                     completion = std::move(completion)] {
    using Error = SettingsDownloaderError;
    if (!requestFor(*appInfo, "")) {
      completion(std::unexpected(Error{Error::Case::URLError, "Invalid URL"}));
      return;
    }
    std::optional<InstallationIDResult> installationID;
    installations->installationID([&](InstallationIDResult result) { installationID = std::move(result); });
    if (!installationID || !*installationID) {
      completion(std::unexpected(Error{Error::Case::InstallationIDError,
                                       installationID ? describeError(installationID->error()) : std::string()}));
      return;
    }
    auto request = requestFor(*appInfo, (*installationID)->installationID);
    if (!request) {
      completion(std::unexpected(Error{Error::Case::URLError, "Invalid URL"}));
      return;
    }
    auto task = os::URLSession::sharedSession()->dataTaskWithRequest(
        *request, [completion](std::optional<os::Data> data, std::optional<os::HTTPURLResponse> response,
                               std::optional<os::Error> error) {
          if (auto result = resultOf(data, response, error)) completion(std::move(*result));
        });
    if (!task) {
      completion(std::unexpected(Error{Error::Case::URLSessionError, "The request could not be made"}));
      return;
    }
    task->resume();
  });
}
