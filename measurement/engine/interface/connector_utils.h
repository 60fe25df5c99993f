// REZConnectorUtils: the allow and block lists that keep interop callers
// away from the engine's own origins, events, parameters and user
// properties. Class functions only; the lists are made once and never change,
// so every function may be called from any thread.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "os/foundation/value.h"

// Integration labels of a "_cmp" event, kept under "_cis".
inline constexpr const char* kREZCampaignEventName = "_cmp";
inline constexpr const char* kREZCampaignIntegrationParameter = "_cis";
inline constexpr const char* kREZCrashEventName = "_ae";
inline constexpr const char* kREZCrashOrigin = "zzd";
inline constexpr const char* kREZFirstOpenTimeUserProperty = "_fot";
inline constexpr const char* kREZLastNotificationUserProperty = "_ln";

class REZConnectorUtils {
 public:
  REZConnectorUtils() = delete;

  // "viam", "crash", "zzd".
  static const std::set<std::string, std::less<>>& allowedListenerOrigins();
  // "auto", "app", "am".
  static const std::set<std::string, std::less<>>& blocklistedOrigins();
  // "_e", "_f", "_iap", "_s", "_au".
  static const std::set<std::string, std::less<>>& blocklistedEventNames();
  // "_r", "_dbg".
  static const std::set<std::string, std::less<>>& blocklistedParameters();
  // "_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno".
  static const std::set<std::string, std::less<>>& blocklistedUserProperties();
  // "^_ltv_[A-Z]{3}$" and "^_cc[1-5]{1}$".
  static const std::set<std::string, std::less<>>& blocklistedUserPropertyPatterns();
  // Events listeners never hear of ("_xa", "_ai", "_exp_set", ...).
  static const std::set<std::string, std::less<>>& hiddenEventNames();

  static bool isOriginAllowed(std::string_view origin);
  // "app" and any origin beginning with "app+".
  static bool isAppOrigin(std::string_view origin);
  static bool isListenerOriginAllowed(std::string_view origin);
  static bool isEventNameAllowedForListeners(std::string_view name);
  // NO for an empty or blocklisted name, or any blocklisted parameter.
  static bool shouldLogEventWithName(std::string_view name, const os::Dictionary& parameters);
  // NO for an empty name; "_ln" only for "vcm" and "viam"; NO for the other
  // blocklisted names and for names a pattern finds anywhere in.
  static bool isUserPropertyAllowed(std::string_view name, std::string_view origin);
  // "_fot", and names that do not begin with "_".
  static bool isUserPropertyAllowedForQuery(std::string_view name);
  // The "_cis" label of an origin ("vdl" gives "vdl_integration"); empty for
  // an origin without one.
  static std::string integrationLabelForOrigin(std::string_view origin);
};
