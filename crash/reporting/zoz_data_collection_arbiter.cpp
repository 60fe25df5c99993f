#include "crash/reporting/zoz_data_collection_arbiter.h"

#include "sdk-core/core/rez_app.h"

namespace {

std::shared_ptr<ZOZUserDefaults> orStandard(const std::shared_ptr<ZOZUserDefaults>& defaults) {
  return defaults ? defaults : ZOZUserDefaults::standardUserDefaults();
}

}  // namespace

ZOZDataCollectionArbiter::ZOZDataCollectionArbiter(std::shared_ptr<REZApp> app, os::Dictionary appInfo,
                                                   std::shared_ptr<ZOZUserDefaults> defaults)
    : app_(std::move(app)), appInfo_(std::move(appInfo)), defaults_(orStandard(defaults)) {
  promiseResolved_ = isZoziduzuzudCollectionEnabled();
  promise_ = promiseResolved_ ? VUVAravuvo::resolvedWith(VUVAravuvo::Object()) : VUVAravuvo::pendingPromise();
}

int64_t ZOZDataCollectionArbiter::stickySetting(const std::shared_ptr<ZOZUserDefaults>& defaults) {
  return orStandard(defaults)->integerForKey(kZOZDataCollectionStickyKey);
}

bool ZOZDataCollectionArbiter::isZoziduzuzudCollectionEnabledWithApp(const std::shared_ptr<REZApp>& app,
                                                                     const os::Dictionary& appInfo,
                                                                     const std::shared_ptr<ZOZUserDefaults>& defaults) {
  const int64_t sticky = stickySetting(defaults);
  if (sticky != 0) return sticky == kZOZDataCollectionStickyEnabled;
  auto found = appInfo.find(kZOZCollectionEnabledPlistKey);
  if (found != appInfo.end() && (found->second.isString() || found->second.isNumber()))
    return found->second.boolValue();
  return app ? app->isDataCollectionDefaultEnabled() : true;
}

bool ZOZDataCollectionArbiter::isZoziduzuzudCollectionEnabled() const {
  return isZoziduzuzudCollectionEnabledWithApp(app_, appInfo_, defaults_);
}

void ZOZDataCollectionArbiter::setZoziduzuzudCollectionEnabled(bool enabled) {
  defaults_->setInteger(enabled ? kZOZDataCollectionStickyEnabled : kZOZDataCollectionStickyDisabled,
                        kZOZDataCollectionStickyKey);
  defaults_->synchronize();

  std::lock_guard lock(mutex_);
  if (enabled && !promiseResolved_) {
    promise_->fulfill(VUVAravuvo::Object());
    promiseResolved_ = true;
  } else if (!enabled && promiseResolved_) {
    promise_ = VUVAravuvo::pendingPromise();
    promiseResolved_ = false;
  }
}

VUVAravuvoPtr ZOZDataCollectionArbiter::waitForZoziduzuzudCollectionEnabled() const {
  std::lock_guard lock(mutex_);
  return promise_;
}

bool ZOZDataCollectionArbiter::isLegacyDataCollectionKeyInPlist() const {
  return appInfo_.contains(kZOZLegacyCollectionEnabledPlistKey);
}
