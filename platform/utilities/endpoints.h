// DAZEndpoints: the addresses of every network service the SDKs talk to, kept
// in one property-list resource of the main bundle, "DrosilEndpoints.plist":
// a dictionary from an endpoint key to a URL string.
//
// An entry is a base URL: scheme "http" or "https", a host, an optional port,
// and for the keys whose users take a whole address (the transport's upload
// URLs) a path; no query or fragment. The shipped resource points every key at
// a host under ".invalid"; tests and users point a copied bundle elsewhere
// ($DROSIL_BUNDLE, or os::Bundle::setMainBundlePath) and call reload().
//
// The resource is read once, on first use. A missing resource, a missing key or
// an entry that is not such a URL gives that service no address: URLForKey
// answers nullopt and logs one warning naming the key ("I-DAZ001001" missing
// or unreadable resource, "I-DAZ001002" missing key, "I-DAZ001003" bad entry),
// once per key until the next reload. Never throws.
//
// Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "os/foundation/url.h"

inline constexpr const char* kDAZEndpointsResourceName = "DrosilEndpoints";
inline constexpr const char* kDAZEndpointsResourceType = "plist";

// Keys of the resource. Each SDK adds the keys of its services here.
inline constexpr const char* kDAZEndpointExperiments = "ExperimentsService";
inline constexpr const char* kDAZEndpointInstallations = "InstallationsService";
// The measurement configuration service; the two measurement upload hosts (the
// second serves devices whose tracking authorisation status is 3).
inline constexpr const char* kDAZEndpointMeasurementConfig = "MeasurementConfigService";
inline constexpr const char* kDAZEndpointMeasurementUpload = "MeasurementUploadService";
inline constexpr const char* kDAZEndpointMeasurementUploadAuthorized = "MeasurementUploadAuthorizedService";
inline constexpr const char* kDAZEndpointSettings = "SettingsService";
// The advertising service that answers deferred deep links, and the
// platform's search-ads attribution service.
inline constexpr const char* kDAZEndpointDeferredDeepLink = "DeferredDeepLinkService";
inline constexpr const char* kDAZEndpointSearchAdsAttribution = "SearchAdsAttributionService";
inline constexpr const char* kDAZEndpointTransportUpload1000 = "TransportUpload1000";
inline constexpr const char* kDAZEndpointTransportUpload1001 = "TransportUpload1001";
inline constexpr const char* kDAZEndpointTransportUpload1002 = "TransportUpload1002";
inline constexpr const char* kDAZEndpointTransportUpload1003 = "TransportUpload1003";

inline constexpr const char* kDAZEndpointsMessageCodeNoResource = "I-DAZ001001";
inline constexpr const char* kDAZEndpointsMessageCodeNoKey = "I-DAZ001002";
inline constexpr const char* kDAZEndpointsMessageCodeBadEntry = "I-DAZ001003";

class DAZEndpoints {
 public:
  // The URL of the key, or nullopt (logged once per key) when there is none.
  static std::optional<os::URL> URLForKey(std::string_view key);
  // The key's URL as text without trailing "/", for appending a path; nullopt
  // as URLForKey.
  static std::optional<std::string> baseForKey(std::string_view key);
  // Forgets what was read; the next call reads the main bundle's resource again.
  static void reload();
};
