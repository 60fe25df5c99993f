#include "app/preferences/preferences.h"


#include "os/dispatch/notification.h"
#include "os/foundation/console.h"
#include "os/foundation/format.h"
#include "os/foundation/user_defaults.h"
#include "os/uikit/uikit.h"

namespace {

std::shared_ptr<os::UserDefaults> defaults() { return os::UserDefaults::standardUserDefaults(); }

void seedBool(const char* key, bool value) {
  auto store = defaults();
  if (store->objectForKey(key).isNull()) store->setBool(value, key);
}

const char* text(bool value) { return value ? "true" : "false"; }

}  // namespace

CompensateManager::CompensateManager() { seedBool(kCompensateKey, false); }

double CompensateManager::value() const { return defaults()->doubleForKey(kCompensateKey); }

void CompensateManager::setValue(double value) {
  if (auto d = delegate()) {
    if (auto label = d->compensationReading()) label->setText(os::format("%.fK", value));
  }
  defaults()->setDouble(value, kCompensateKey);
  os::NotificationCenter::defaultCenter()->postNotificationName(kCompensateManagerDidChangeNotification, nullptr,
                                                                {{kCompensateManagerValueKey, os::Value(value)}});
}

GeoTagManager::GeoTagManager() { seedBool(kGeoTagEnableKey, false); }

bool GeoTagManager::isGeoTagEnabled() const { return defaults()->boolForKey(kGeoTagEnableKey); }

void GeoTagManager::setIsGeoTagEnabled(bool enabled) {
  os::Console::writef("set isGeoTagEnabled %s\n", text(enabled));
  if (auto d = delegate()) d->geoTagManagerDidChange(enabled);
  defaults()->setBool(enabled, kGeoTagEnableKey);
  os::NotificationCenter::defaultCenter()->postNotificationName(kGeoTagManagerDidChangeNotification, this);
}

AlwaysOnManager::AlwaysOnManager() { seedBool(kAlwaysOnEnableKey, false); }

bool AlwaysOnManager::isalwaysOnEnabled() const { return defaults()->boolForKey(kAlwaysOnEnableKey); }

void AlwaysOnManager::setIsalwaysOnEnabled(bool enabled) {
  os::Console::writef("set isalwaysOnEnabled %s\n", text(enabled));
  if (auto d = delegate()) d->alwaysOnManagerDidChange(enabled);
  defaults()->setBool(enabled, kAlwaysOnEnableKey);
  os::NotificationCenter::defaultCenter()->postNotificationName(kAlwaysOnManagerDidChangeNotification, this);
}

HapticFeedbackManager::HapticFeedbackManager() { seedBool(kHapticManagerKey, true); }

bool HapticFeedbackManager::isHapticEnabled() const { return defaults()->boolForKey(kHapticManagerKey); }

void HapticFeedbackManager::lightTapIfEnabled() const {
  if (!isHapticEnabled()) return;
  UIImpactFeedbackGenerator(UIImpactFeedbackStyle::Light).impactOccurred();
}
