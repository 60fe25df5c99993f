#include "measurement/store/consent_settings.h"

#include <array>
#include <map>
#include <memory>

#include "measurement/store/foundation_extensions.h"
#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/text.h"

namespace {

constexpr std::array<const char*, 4> kConsentTypes = {kAPMConsentTypeAdStorage, kAPMConsentTypeAnalyticsStorage,
                                                      kAPMConsentTypeAdUserData, kAPMConsentTypeAdPersonalization};

// Digits of the diagnostics string.
constexpr int64_t kDigitNoSource = 0;
constexpr int64_t kDigitServerDefault = 1;
constexpr int64_t kDigitDelegated = 2;
constexpr int64_t kDigitEUConsentPolicy = 8;
constexpr int64_t kDigitNotSet = 9;

// Touched only on the queue.
struct ConsentState {
  std::optional<os::Dictionary> current;
  std::optional<os::Dictionary> defaults;
  std::optional<os::Dictionary> delegated;
  std::optional<os::Dictionary> regional;
  int64_t source = kAPMConsentSourceNone;
  int64_t version = 1;
  // Absent until the first reset.
  std::optional<std::map<std::string, int64_t, std::less<>>> diagnostics;
};

struct Store {
  std::shared_ptr<os::DispatchQueue> queue = os::DispatchQueue::create(
      kAPMConsentSettingsUtilQueueLabel, os::DispatchQueue::Attributes::Serial, os::QualityOfService::Utility);
  ConsentState state;  // touched on `queue` only
};

// Made on first use; never destroyed, since queued writers may still run at
// exit.
Store& store() {
  static Store* s = new Store();
  return *s;
}

template <class F>
auto read(F&& fn) {
  Store& s = store();
  return s.queue->sync([&] { return fn(s.state); });
}

template <class F>
void write(F fn) {
  Store& s = store();
  s.queue->async([&s, fn = std::move(fn)]() mutable { fn(s.state); });
}

// ---- Helpers on a state (queue only) ----

const os::Value* valueOf(const std::optional<os::Dictionary>& dictionary, std::string_view key) {
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

// The value is a string equal to `constant` once lower-cased.
bool is(const os::Value* value, std::string_view constant) {
  return value != nullptr && value->isString() && os::lowercaseString(*value->string()) == constant;
}

bool isEUPolicyType(std::string_view type) {
  return type == kAPMConsentTypeAdUserData || type == kAPMConsentTypeAdPersonalization;
}

// Where "eu_consent_policy" leads: the regional default, else "denied" for
// the two types it applies to and "granted" for any other.
os::Value regionalFallback(const ConsentState& state, std::string_view type) {
  if (const os::Value* regional = valueOf(state.regional, type)) return *regional;
  return os::Value(isEUPolicyType(type) ? kAPMConsentStatusDenied : kAPMConsentStatusGranted);
}

int64_t digitForSource(int64_t source) {
  switch (source) {
    case kAPMConsentSourceTCF: return 7;
    case kAPMConsentSourceThirdParty: return 5;
    case kAPMConsentSourceInfoPlist: return 3;
    case kAPMConsentSourcePublicAPI: return 5;
    case kAPMConsentSourceOnStart: return 4;
    default: return kDigitNoSource;
  }
}

void resetDiagnosticSources(ConsentState& state) {
  state.diagnostics.emplace();
  for (const char* type : kConsentTypes) (*state.diagnostics)[type] = kDigitNoSource;
}

// `fromSource`: a set type takes the current source's digit; otherwise it
// keeps the digit recorded for it.
void refreshDiagnosticSources(ConsentState& state, bool fromSource) {
  if (!state.diagnostics) resetDiagnosticSources(state);
  auto& digits = *state.diagnostics;
  for (const char* type : kConsentTypes) {
    const std::string_view t = type;
    int64_t digit;
    if (const os::Value* value = valueOf(state.current, t)) {
      digit = fromSource ? digitForSource(state.source) : digits[type];
      if (isEUPolicyType(t) && is(value, kAPMConsentStatusEUConsentPolicy)) digit = kDigitEUConsentPolicy;
    } else if (t == kAPMConsentTypeAdUserData && valueOf(state.delegated, t) != nullptr) {
      digit = kDigitDelegated;
    } else if (valueOf(state.defaults, t) != nullptr && !t.ends_with("_storage")) {
      digit = kDigitServerDefault;
    } else {
      digit = kDigitNotSet;
    }
    digits[type] = digit;
  }
}

bool isAdUserDataDenied(const ConsentState& state) {
  os::Value value;
  if (const os::Value* current = valueOf(state.current, kAPMConsentTypeAdUserData)) {
    value = *current;
    if (is(&value, kAPMConsentStatusEUConsentPolicy)) value = regionalFallback(state, kAPMConsentTypeAdUserData);
  } else {
    const os::Value* delegate = valueOf(state.delegated, kAPMConsentTypeAdUserData);
    if (delegate != nullptr && delegate->isString()) {
      if (const os::Value* delegated = valueOf(state.current, *delegate->string())) {
        return is(delegated, kAPMConsentStatusDenied);
      }
    }
    if (const os::Value* fallback = valueOf(state.defaults, kAPMConsentTypeAdUserData)) value = *fallback;
  }
  return is(&value, kAPMConsentStatusDenied);
}

char signalCharacter(const ConsentState& state, std::string_view type) {
  const os::Value* value = valueOf(state.current, type);
  if (is(value, kAPMConsentStatusGranted)) return '1';
  if (is(value, kAPMConsentStatusDenied)) return '0';
  return '-';
}

std::string displayValue(const ConsentState& state, std::string_view type) {
  const os::Value* value = valueOf(state.current, type);
  if (value == nullptr) return kAPMConsentStatusGranted;
  if (isEUPolicyType(type) && is(value, kAPMConsentStatusEUConsentPolicy)) {
    return regionalFallback(state, type).description() + " (" + kAPMConsentStatusEUConsentPolicy + ")";
  }
  return value->description();
}

// ---- Info.plist readings ----

// nullopt for kinds without a boolean reading.
std::optional<bool> boolReading(const os::Value& value) {
  if (const os::Number* number = value.number()) return number->boolValue();
  if (const std::string* text = value.string()) return apm_stringBoolValue(*text);
  return std::nullopt;
}

std::optional<std::string> plistConsentValue(const os::Value& value, std::string_view type) {
  if (isEUPolicyType(type) && value.isString() &&
      os::lowercaseString(*value.string()) == kAPMConsentStatusEUConsentPolicy) {
    return kAPMConsentStatusEUConsentPolicy;
  }
  if (auto reading = boolReading(value)) return *reading ? kAPMConsentStatusGranted : kAPMConsentStatusDenied;
  return std::nullopt;
}

}  // namespace

// ---- Readers ----

std::optional<os::Dictionary> APMConsentSettingsUtil::consentSettings() {
  return read([](const ConsentState& s) { return s.current; });
}

std::optional<os::Dictionary> APMConsentSettingsUtil::defaultSettings() {
  return read([](const ConsentState& s) { return s.defaults; });
}

std::optional<os::Dictionary> APMConsentSettingsUtil::delegatedSettings() {
  return read([](const ConsentState& s) { return s.delegated; });
}

std::optional<os::Dictionary> APMConsentSettingsUtil::regionalDefaults() {
  return read([](const ConsentState& s) { return s.regional; });
}

int64_t APMConsentSettingsUtil::consentSource() {
  return read([](const ConsentState& s) { return s.source; });
}

int64_t APMConsentSettingsUtil::version() {
  return read([](const ConsentState& s) { return s.version; });
}

bool APMConsentSettingsUtil::isAdStorageDenied() {
  return read([](const ConsentState& s) {
    return is(valueOf(s.current, kAPMConsentTypeAdStorage), kAPMConsentStatusDenied);
  });
}

bool APMConsentSettingsUtil::isAnalyticsStorageDenied() {
  return read([](const ConsentState& s) {
    return is(valueOf(s.current, kAPMConsentTypeAnalyticsStorage), kAPMConsentStatusDenied);
  });
}

bool APMConsentSettingsUtil::isAdUserDataDenied() {
  return read([](const ConsentState& s) { return ::isAdUserDataDenied(s); });
}

std::optional<int> APMConsentSettingsUtil::adPersonalization() {
  return read([](const ConsentState& s) -> std::optional<int> {
    os::Value value;
    if (const os::Value* current = valueOf(s.current, kAPMConsentTypeAdPersonalization)) {
      value = *current;
      if (is(&value, kAPMConsentStatusEUConsentPolicy)) value = regionalFallback(s, kAPMConsentTypeAdPersonalization);
    } else if (const os::Value* fallback = valueOf(s.defaults, kAPMConsentTypeAdPersonalization)) {
      value = *fallback;
    }
    if (is(&value, kAPMConsentStatusDenied)) return 0;
    if (is(&value, kAPMConsentStatusGranted)) return 1;
    return std::nullopt;
  });
}

std::string APMConsentSettingsUtil::consentSignals() {
  return read([](const ConsentState& s) {
    return std::string("G1") + signalCharacter(s, kAPMConsentTypeAdStorage) +
           signalCharacter(s, kAPMConsentTypeAnalyticsStorage);
  });
}

std::string APMConsentSettingsUtil::consentDiagnostics() {
  Store& st = store();
  return st.queue->sync([&st] {
    ConsentState& s = st.state;
    refreshDiagnosticSources(s, false);
    const bool neitherDefaultsNorDelegations = !s.defaults && !s.delegated;
    std::string out = "1";
    for (const char* type : kConsentTypes) {
      if (neitherDefaultsNorDelegations && valueOf(s.current, type) == nullptr) {
        out += std::to_string(kDigitNotSet);
      } else {
        out += std::to_string((*s.diagnostics)[type]);
      }
    }
    return out;
  });
}

std::string APMConsentSettingsUtil::description() {
  return read([](const ConsentState& s) {
    std::string out = std::string(kAPMConsentTypeAdStorage) + " is " + displayValue(s, kAPMConsentTypeAdStorage) +
                      ". " + kAPMConsentTypeAnalyticsStorage + " is " +
                      displayValue(s, kAPMConsentTypeAnalyticsStorage) + ".";
    for (const char* type : {kAPMConsentTypeAdUserData, kAPMConsentTypeAdPersonalization}) {
      if (valueOf(s.current, type) != nullptr) out += std::string(" ") + type + " is " + displayValue(s, type) + ".";
    }
    return out;
  });
}

namespace {
bool equalPriority(int64_t candidate, int64_t current) {
  if (candidate == current) return true;
  return (candidate == kAPMConsentSourceTCF && current == kAPMConsentSourceThirdParty) ||
         (candidate == kAPMConsentSourceThirdParty && current == kAPMConsentSourceTCF);
}
}  // namespace

bool APMConsentSettingsUtil::isConsentSourceEqualPriority(int64_t source) {
  return equalPriority(source, consentSource());
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(int64_t source) {
  const int64_t current = consentSource();
  return equalPriority(source, current) || current >= source;
}

bool APMConsentSettingsUtil::didAdUserDataConsentChange(bool previousAdUserDataDenied) {
  return isAdUserDataDenied() != previousAdUserDataDenied;
}

// ---- Writers ----

void APMConsentSettingsUtil::setConsentSettings(std::optional<os::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) {
    s.current = settings;
    if (!settings) {
      s.source = kAPMConsentSourceNone;
      refreshDiagnosticSources(s, true);
    }
  });
}

void APMConsentSettingsUtil::setDefaultSettings(std::optional<os::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) { s.defaults = settings; });
}

void APMConsentSettingsUtil::setDelegatedSettings(std::optional<os::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) { s.delegated = settings; });
}

void APMConsentSettingsUtil::setRegionalDefaults(std::optional<os::Dictionary> settings) {
  write([settings = std::move(settings)](ConsentState& s) { s.regional = settings; });
}

void APMConsentSettingsUtil::setConsentSource(int64_t source) {
  write([source](ConsentState& s) {
    s.source = source;
    refreshDiagnosticSources(s, true);
  });
}

void APMConsentSettingsUtil::setVersion(int64_t version) {
  if (version != 1 && version != 2) return;
  write([version](ConsentState& s) { s.version = version; });
}

void APMConsentSettingsUtil::updateSettings(os::Dictionary settings) {
  write([settings = std::move(settings)](ConsentState& s) {
    os::Dictionary merged = s.current.value_or(os::Dictionary{});
    for (const auto& [key, value] : settings) merged[key] = value;
    s.current = std::move(merged);
  });
}

void APMConsentSettingsUtil::updateSettings(os::Dictionary settings, int64_t source) {
  write([settings = std::move(settings), source](ConsentState& s) {
    os::Dictionary merged = s.current.value_or(os::Dictionary{});
    for (const auto& [key, value] : settings) merged[key] = value;
    s.current = std::move(merged);
    s.source = source;
    if (s.diagnostics) {
      for (const auto& entry : settings) (*s.diagnostics)[entry.first] = digitForSource(source);
    }
  });
}

void APMConsentSettingsUtil::setDiagnosticSource(int64_t digit, std::string consentType) {
  write([digit, consentType = std::move(consentType)](ConsentState& s) {
    if (!s.diagnostics) resetDiagnosticSources(s);
    (*s.diagnostics)[consentType] = digit;
  });
}

void APMConsentSettingsUtil::unsetAdPersonalization() {
  write([](ConsentState& s) {
    if (valueOf(s.current, kAPMConsentTypeAdPersonalization) == nullptr) return;
    os::Dictionary without = *s.current;
    without.erase(std::string(kAPMConsentTypeAdPersonalization));
    s.current = std::move(without);
    if (s.diagnostics) (*s.diagnostics)[kAPMConsentTypeAdPersonalization] = kDigitNoSource;
  });
}

void APMConsentSettingsUtil::clearAllSettings() {
  write([](ConsentState& s) {
    s.source = kAPMConsentSourceNone;
    s.current.reset();
    s.defaults.reset();
    s.delegated.reset();
    s.regional.reset();
    resetDiagnosticSources(s);
  });
}

void APMConsentSettingsUtil::TEST_reset() {
  store().queue->sync([] { store().state = ConsentState(); });
}

// ---- Conversions ----

os::Dictionary APMConsentSettingsUtil::consentSettingsFromDictionary(const os::Dictionary& dictionary) {
  os::Dictionary out;
  for (const char* type : kConsentTypes) {
    if (auto it = dictionary.find(type); it != dictionary.end()) out[type] = it->second;
  }
  return out;
}

os::Dictionary APMConsentSettingsUtil::consentSettingsFromPlist() {
  const auto bundle = os::Bundle::mainBundle();
  const std::pair<const char*, const char*> keys[] = {
      {kAPMInfoPlistDefaultAllowAdStorageKey, kAPMConsentTypeAdStorage},
      {kAPMInfoPlistDefaultAllowAnalyticsStorageKey, kAPMConsentTypeAnalyticsStorage},
      {kAPMInfoPlistDefaultAllowAdUserDataKey, kAPMConsentTypeAdUserData},
      {kAPMInfoPlistDefaultAllowAdPersonalizationSignalsKey, kAPMConsentTypeAdPersonalization},
  };
  os::Dictionary out;
  for (const auto& [key, type] : keys) {
    const os::Value value = bundle->objectForInfoDictionaryKey(key);
    if (value.isNull()) continue;
    // The personalization key is read from strings only.
    if (std::string_view(type) == kAPMConsentTypeAdPersonalization && !value.isString()) continue;
    if (auto consent = plistConsentValue(value, type)) out[type] = os::Value(*consent);
  }
  return out;
}

std::optional<std::string> APMConsentSettingsUtil::consentTypeForCode(int64_t code) {
  if (code < 1 || code > 4) return std::nullopt;
  return kConsentTypes[code - 1];
}

std::optional<std::string> APMConsentSettingsUtil::consentStatusForCode(int64_t code) {
  if (code == 1) return kAPMConsentStatusGranted;
  if (code == 2) return kAPMConsentStatusDenied;
  return std::nullopt;
}
