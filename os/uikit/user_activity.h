// NSUserActivity: an activity the system hands to the app (a universal link
// opened in the browser, a handoff). A runtime object of the class
// "NSUserActivity", whose instances answer "activityType" and "webpageURL".
//
// Launch options hold values only, so an activity that launched the app sits
// there in a value form: under UIApplicationLaunchOptionsUserActivityDictionaryKey
// a dictionary with the activity's type under
// UIApplicationLaunchOptionsUserActivityTypeKey and the activity under
// UIApplicationLaunchOptionsUserActivityKey, as the dictionary
// {"activityType": type, "webpageURL": absolute string (when set)} that
// launchOptionsValue makes and fromLaunchOptionsValue reads.
//
// Value semantics aside from identity; not thread-safe for writes.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "os/foundation/url.h"
#include "os/foundation/value.h"
#include "os/runtime/runtime.h"

inline constexpr const char* NSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

inline constexpr const char* UIApplicationLaunchOptionsUserActivityDictionaryKey =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr const char* UIApplicationLaunchOptionsUserActivityTypeKey =
    "UIApplicationLaunchOptionsUserActivityTypeKey";
inline constexpr const char* UIApplicationLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";

class NSUserActivity : public os::runtime::Object {
 public:
  explicit NSUserActivity(std::string activityType);

  const std::string& activityType() const { return activityType_; }
  const std::optional<os::URL>& webpageURL() const { return webpageURL_; }
  void setWebpageURL(std::optional<os::URL> url) { webpageURL_ = std::move(url); }

  os::Value launchOptionsValue() const;
  // Null when the value is not an activity's form (no string "activityType";
  // a "webpageURL" that is not a URL is left unset).
  static std::shared_ptr<NSUserActivity> fromLaunchOptionsValue(const os::Value& value);
  // The launch-options entry for an activity (the dictionary under
  // UIApplicationLaunchOptionsUserActivityDictionaryKey).
  os::Value launchOptionsDictionaryValue() const;

 private:
  std::string activityType_;
  std::optional<os::URL> webpageURL_;
};
