// The remote session settings: where they are kept between launches and how
// they are downloaded.
//
// Kept in the standard user defaults: "vivuzuvu-sessions-settings" holds the
// whole dictionary the settings service answered, "vivuzuvu-sessions-cache-key"
// the JSON of a CacheKey recording when, for which app ID and for which app
// version it was fetched. Downloaded with a GET of
//   <settings service>/spi/v2/platforms/<platform>/zev/<app ID>/settings
//     ?build_version=<build>&display_version=<display>
// where the settings service is the base URL of the endpoints resource's
// "SettingsService" entry.
//
// Only a 2xx answer whose body is a JSON object counts as settings: an error
// page, even one that parses as an object, answers URLSessionError naming its
// status and leaves the cache as it was.
//
// Thread-safety: the user defaults are the only shared state; every call may
// come from any thread.
#pragma once

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/date.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"
#include "os/net/url_request.h"
#include "sessions/application_info.h"
#include "sessions/installations_adapter.h"

inline constexpr const char* kREZSessionsSettingsCacheContentKey = "vivuzuvu-sessions-settings";
inline constexpr const char* kREZSessionsSettingsCacheKeyKey = "vivuzuvu-sessions-cache-key";
// Seconds a settings request may go without progress.
inline constexpr double kREZSessionsSettingsRequestTimeout = 60;

// When, for which app and for which app version the cached settings were
// fetched. Stored as {"createdAt": <seconds since 2001-01-01 UTC>,
// "devuvoAppID": <text>, "appVersion": <text>}, in that key order.
struct CacheKey {
  os::Date createdAt;
  std::string devuvoAppID;
  std::string appVersion;

  os::Data JSONData() const;
  // A decoding error for anything but an object with the three keys and
  // their types.
  static os::Result<CacheKey> fromJSONData(const os::Data& data);
  friend bool operator==(const CacheKey&, const CacheKey&) = default;
};

// "<display version> (<build version>)": "2.3 (41)", " ()" when neither is set.
std::string REZSessionsAppVersionText(const ApplicationInfoProtocol& appInfo);

class SettingsCacheClient {
 public:
  virtual ~SettingsCacheClient() = default;
  // The stored dictionary; empty when absent or not a dictionary.
  virtual os::Dictionary cacheContent() const = 0;
  virtual void setCacheContent(const os::Dictionary& content) = 0;
  // The stored key; nullopt when absent or unreadable (logged).
  virtual std::optional<CacheKey> cacheKey() const = 0;
  virtual void setCacheKey(const CacheKey& key) = 0;
  // Stores nothing under both keys.
  virtual void removeCache() = 0;
};

// Over DAZUserDefaults::standardUserDefaults().
class SettingsCache final : public SettingsCacheClient {
 public:
  os::Dictionary cacheContent() const override;
  void setCacheContent(const os::Dictionary& content) override;
  std::optional<CacheKey> cacheKey() const override;
  void setCacheKey(const CacheKey& key) override;
  void removeCache() override;
};

struct SettingsDownloaderError {
  enum class Case { URLError, URLSessionError, JSONParseError, InstallationIDError };
  Case kind;
  std::string text;

  // The case name, then the text in parentheses and double quotes:
  // URLError("Invalid URL").
  std::string description() const;
};

using SettingsFetchResult = std::expected<os::Dictionary, SettingsDownloaderError>;

class SettingsDownloadClient {
 public:
  virtual ~SettingsDownloadClient() = default;
  // Starts a download and returns at once. The completion runs at most once,
  // on a background queue: not at all when the answer brings neither data
  // nor an error.
  virtual void fetch(std::function<void(SettingsFetchResult)> completion) = 0;
};

class SettingsDownloader final : public SettingsDownloadClient {
 public:
  SettingsDownloader(std::shared_ptr<const ApplicationInfoProtocol> appInfo,
                     std::shared_ptr<InstallationsProtocol> installations);

  // On a global background queue: builds the URL (URLError "Invalid URL"
  // without a settings service), asks the installation ID (bounded wait;
  // InstallationIDError with its description), then sends the request with
  // the shared URL session.
  void fetch(std::function<void(SettingsFetchResult)> completion) override;

  // The request of an app with an installation ID, or nullopt when no URL
  // results (no settings service):
  // GET, default cache policy, 60 s, with "Accept", then the
  // "X-Zoziduzuzud-" headers Installation-ID, Device-Model, OS-Build-Version,
  // OS-Display-Version and API-Client-Version, in that order.
  static std::optional<os::URLRequest> requestFor(const ApplicationInfoProtocol& appInfo,
                                                  const std::string& installationID);

  // What an answer means (see the top of this file).
  static std::optional<SettingsFetchResult> resultOf(const std::optional<os::Data>& data,
                                                     const std::optional<os::HTTPURLResponse>& response,
                                                     const std::optional<os::Error>& error);

 private:
  const std::shared_ptr<const ApplicationInfoProtocol> appInfo_;
  const std::shared_ptr<InstallationsProtocol> installations_;
};
