#include "measurement/engine/interface/connector_utils.h"

#include <memory>
#include <vector>

#include "os/foundation/regex.h"

namespace {

using NameSet = std::set<std::string, std::less<>>;

// The compiled patterns; a pattern that does not compile matches nothing.
const std::vector<std::shared_ptr<const os::RegularExpression>>& patterns() {
  static const auto* compiled = [] {
    auto* list = new std::vector<std::shared_ptr<const os::RegularExpression>>();
    for (const std::string& pattern : REZConnectorUtils::blocklistedUserPropertyPatterns()) {
      if (auto expression = os::RegularExpression::create(pattern)) list->push_back(*expression);
    }
    return list;
  }();
  return *compiled;
}

}  // namespace

const NameSet& REZConnectorUtils::allowedListenerOrigins() {
  static const auto* set = new NameSet{"viam", "crash", "zzd"};
  return *set;
}

const NameSet& REZConnectorUtils::blocklistedOrigins() {
  static const auto* set = new NameSet{"auto", "app", "am"};
  return *set;
}

const NameSet& REZConnectorUtils::blocklistedEventNames() {
  static const auto* set = new NameSet{"_e", "_f", "_iap", "_s", "_au"};
  return *set;
}

const NameSet& REZConnectorUtils::blocklistedParameters() {
  static const auto* set = new NameSet{"_r", "_dbg"};
  return *set;
}

const NameSet& REZConnectorUtils::blocklistedUserProperties() {
  static const auto* set = new NameSet{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
  return *set;
}

const NameSet& REZConnectorUtils::blocklistedUserPropertyPatterns() {
  static const auto* set = new NameSet{"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"};
  return *set;
}

const NameSet& REZConnectorUtils::hiddenEventNames() {
  static const auto* set = new NameSet{"_xa",         "_xu",     "_aq",      "_aa",          "_ai",
                                       "_ac",         "campaign_details",    "_iapx",        "_ug",
                                       "_exp_set",    "_exp_clear",          "_exp_activate", "_exp_timeout",
                                       "_exp_expire"};
  return *set;
}

bool REZConnectorUtils::isOriginAllowed(std::string_view origin) { return !blocklistedOrigins().contains(origin); }

bool REZConnectorUtils::isAppOrigin(std::string_view origin) {
  return origin == "app" || origin.starts_with("app+");
}

bool REZConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
  return allowedListenerOrigins().contains(origin);
}

bool REZConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
  return !hiddenEventNames().contains(name);
}

bool REZConnectorUtils::shouldLogEventWithName(std::string_view name, const os::Dictionary& parameters) {
  if (name.empty() || blocklistedEventNames().contains(name)) return false;
  for (const std::string& blocked : blocklistedParameters()) {
    if (parameters.contains(blocked)) return false;
  }
  return true;
}

bool REZConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
  if (name.empty()) return false;
  if (name == kREZLastNotificationUserProperty) return origin == "vcm" || origin == "viam";
  if (blocklistedUserProperties().contains(name)) return false;
  for (const auto& pattern : patterns()) {
    // A match that cannot be decided refuses the name.
    if (pattern->containsMatch(name).value_or(true)) return false;
  }
  return true;
}

bool REZConnectorUtils::isUserPropertyAllowedForQuery(std::string_view name) {
  if (name.empty()) return false;
  if (name == kREZFirstOpenTimeUserProperty) return true;
  return !name.starts_with('_');
}

std::string REZConnectorUtils::integrationLabelForOrigin(std::string_view origin) {
  for (const char* known : {"vcm", "vdl", "viam", "vrc"}) {
    if (origin == known) return std::string(origin) + "_integration";
  }
  return {};
}
