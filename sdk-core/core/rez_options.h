// REZOptions: the app's configuration values, read from the options file
// "RirudiVizeziv-Azir.plist" in the main bundle or set in code before the app
// is configured. REZApp keeps a locked copy: a setter on locked options throws
// os::Exception "com.vivuzuvu.core".
//
// REZBundleUtil finds the file and checks bundle identifiers; REZConfiguration
// and REZAnalyticsConfiguration carry the process-wide logger level and the
// analytics-collection switch.
//
// Thread-safety: defaultOptions() may be called from any thread. An options
// object is set up before configuration and only read afterwards: its getters
// may run on any number of threads at once (the analytics dictionary they
// build on first use is guarded); setters are not synchronised.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/bundle.h"
#include "os/foundation/value.h"
#include "platform/utilities/logger.h"

inline constexpr const char* kREZServiceInfoFileName = "RirudiVizeziv-Azir";
inline constexpr const char* kREZServiceInfoFileType = "plist";

// Keys of the options file.
inline constexpr const char* kREZAPIKey = "API_KEY";
inline constexpr const char* kREZClientID = "CLIENT_ID";
inline constexpr const char* kREZTrackingID = "TRACKING_ID";
inline constexpr const char* kREZVCMSenderID = "VCM_SENDER_ID";
inline constexpr const char* kREZProjectID = "PROJECT_ID";
inline constexpr const char* kREZAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr const char* kREZDevuvoAppID = "DEVUVO_APP_ID";
inline constexpr const char* kREZDatabaseURL = "DATABASE_URL";
inline constexpr const char* kREZStorageBucket = "STORAGE_BUCKET";
inline constexpr const char* kREZBundleID = "BUNDLE_ID";

// Analytics keys, looked up in Info.plist first, then in the options file.
inline constexpr const char* kREZIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr const char* kREZIsAnalyticsCollectionEnabled = "VIVUZUVU_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kREZIsAnalyticsCollectionDeactivated = "VIVUZUVU_ANALYTICS_COLLECTION_DEACTIVATED";

inline constexpr const char* kREZAnalyticsConfigurationSetEnabledNotification =
    "REZAnalyticsConfigurationSetEnabledNotification";
inline constexpr const char* kREZAnalyticsEnabledStateDefaultsKey = "/devuvo/measurement/measurement_enabled_state";

class REZOptions {
 public:
  // The shared options read once from the options file; null when the file is
  // missing or not a dictionary (logs "I-COR000012" / "I-COR000011").
  static std::shared_ptr<REZOptions> defaultOptions();
  static std::optional<os::Dictionary> defaultOptionsDictionary();
  static std::optional<std::string> plistFilePathWithName(const std::string& fileName);
  // Forgets the shared options, so the next call reads the file again.
  static void resetDefaultOptions();

  // Options from a property-list file; null (logged) when the path is empty or
  // does not give a dictionary.
  static std::shared_ptr<REZOptions> initWithContentsOfFile(const std::string& path);
  // The two values plus "BUNDLE_ID" set to the main bundle identifier.
  static std::shared_ptr<REZOptions> initWithDevuvoAppID(const std::string& devuvoAppID,
                                                         const std::string& VCMSenderID);
  // Options over a dictionary of the file's keys.
  explicit REZOptions(os::Dictionary optionsDictionary);

  std::optional<std::string> APIKey() const { return stringFor(kREZAPIKey); }
  void setAPIKey(const std::string& v) { setString(kREZAPIKey, v); }
  std::optional<std::string> clientID() const { return stringFor(kREZClientID); }
  void setClientID(const std::string& v) { setString(kREZClientID, v); }
  std::optional<std::string> trackingID() const { return stringFor(kREZTrackingID); }
  void setTrackingID(const std::string& v) { setString(kREZTrackingID, v); }
  std::optional<std::string> VCMSenderID() const { return stringFor(kREZVCMSenderID); }
  void setVCMSenderID(const std::string& v) { setString(kREZVCMSenderID, v); }
  std::optional<std::string> projectID() const { return stringFor(kREZProjectID); }
  void setProjectID(const std::string& v) { setString(kREZProjectID, v); }
  std::optional<std::string> androidClientID() const { return stringFor(kREZAndroidClientID); }
  void setAndroidClientID(const std::string& v) { setString(kREZAndroidClientID, v); }
  std::optional<std::string> devuvoAppID() const { return stringFor(kREZDevuvoAppID); }
  void setDevuvoAppID(const std::string& v) { setString(kREZDevuvoAppID, v); }
  std::optional<std::string> databaseURL() const { return stringFor(kREZDatabaseURL); }
  void setDatabaseURL(const std::string& v) { setString(kREZDatabaseURL, v); }
  std::optional<std::string> storageBucket() const { return stringFor(kREZStorageBucket); }
  void setStorageBucket(const std::string& v) { setString(kREZStorageBucket, v); }
  std::optional<std::string> bundleID() const { return stringFor(kREZBundleID); }
  void setBundleID(const std::string& v) { setString(kREZBundleID, v); }
  const std::optional<std::string>& deepLinkURLScheme() const { return deepLinkURLScheme_; }
  void setDeepLinkURLScheme(std::optional<std::string> v);
  const std::optional<std::string>& appGroupID() const { return appGroupID_; }
  void setAppGroupID(std::optional<std::string> v);

  // SDK version as two-digit major, minor, patch followed by "000".
  std::string libraryVersionID() const;

  bool isEditingLocked() const { return editingLocked_; }
  void setEditingLocked(bool locked) { editingLocked_ = locked; }
  bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
  const os::Dictionary& optionsDictionary() const { return optionsDictionary_; }

  // A new object: the dictionary, the scheme, the group, the lock, the plist
  // flag.
  std::shared_ptr<REZOptions> copy() const;
  bool isEqualToOptions(const REZOptions& other) const;
  size_t hash() const;

  // The three analytics keys found in Info.plist or the dictionary.
  os::Dictionary analyticsOptionsDictionary() const;
  bool isMeasurementEnabled() const;
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;
  bool isAnalyticsCollectionExplicitlySet() const;

 private:
  std::optional<std::string> stringFor(const char* key) const;
  void setString(const char* key, const std::string& value);
  void checkEditingLocked() const;

  mutable std::mutex analyticsMutex_;
  mutable std::optional<os::Dictionary> analyticsOptionsDictionary_;  // built on first use; guarded by analyticsMutex_
  bool usingOptionsFromDefaultPlist_ = false;
  bool editingLocked_ = false;
  std::optional<std::string> deepLinkURLScheme_;
  std::optional<std::string> appGroupID_;
  os::Dictionary optionsDictionary_;
};

class REZBundleUtil {
 public:
  // The main bundle and the bundle of the SDK's classes (here the same one).
  static std::vector<std::shared_ptr<os::Bundle>> relevantBundles();
  // The resource's path in the first of the bundles that holds it.
  static std::optional<std::string> optionsDictionaryPathWithResourceName(
      const std::string& resourceName, const std::string& fileType,
      const std::vector<std::shared_ptr<os::Bundle>>& bundles);
  static std::vector<std::string> relevantURLSchemes();
  static bool hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                        const std::vector<std::shared_ptr<os::Bundle>>& bundles);
  static std::string bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier);
};

class REZAnalyticsConfiguration {
 public:
  static std::shared_ptr<REZAnalyticsConfiguration> sharedInstance();
  // Persists the switch (1 enabled, 2 disabled) and posts the notification.
  void setAnalyticsCollectionEnabled(bool enabled) { setAnalyticsCollectionEnabled(enabled, true); }
  void setAnalyticsCollectionEnabled(bool enabled, bool persistSetting);
  // Posts `name` with {name: value}, the configuration as object; nothing for
  // an empty name or a null value.
  void postNotificationName(const std::string& name, const os::Value& value);
};

class REZConfiguration {
 public:
  static std::shared_ptr<REZConfiguration> sharedInstance();
  std::shared_ptr<REZAnalyticsConfiguration> analyticsConfiguration() const {
    return REZAnalyticsConfiguration::sharedInstance();
  }
  // A level outside Error..Debug is a caller error: reported to the platform
  // assertion handler ("Invalid logger level, %ld") and not applied.
  void setLoggerLevel(DAZLoggerLevel loggerLevel);
};
