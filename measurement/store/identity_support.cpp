#include "measurement/store/identity_support.h"

#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/monitor.h"
#include "os/foundation/process_info.h"
#include "os/runtime/runtime.h"

namespace {

// The companion module's shared object, when the class is registered and
// its shared object is an APMIdentitySupport.
std::shared_ptr<APMIdentitySupport> platformIdentitySupport() {
  using SharedInstance = std::shared_ptr<os::runtime::Object>(os::runtime::Class&);
  os::runtime::Class* cls = os::runtime::classFromString(kAPMPlatformIdentitySupportClassName);
  if (cls == nullptr || !cls->respondsToSelector(kAPMPlatformIdentitySupportSharedInstanceSelector)) return nullptr;
  const os::runtime::Imp imp = cls->classMethod(kAPMPlatformIdentitySupportSharedInstanceSelector);
  const auto* sharedInstance = imp.as<SharedInstance>();
  if (sharedInstance == nullptr) return nullptr;
  const std::shared_ptr<os::runtime::Object> object = (*sharedInstance)(*cls);
  if (!object || !object->conformsToProtocol(kAPMIdentitySupportProtocol)) return nullptr;
  return std::dynamic_pointer_cast<APMIdentitySupport>(object);
}

}  // namespace

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::sharedInstance() {
  static const auto* shared = new std::shared_ptr<APMDefaultIdentitySupport>(init());
  return *shared;
}

std::shared_ptr<APMDefaultIdentitySupport> APMDefaultIdentitySupport::init() {
  std::shared_ptr<APMIdentitySupport> module = platformIdentitySupport();
  auto monitor = APMMeasurementServices::monitor();
  if (module) {
    monitor->logWithLevel(7, kAPMIdentitySupportCodeModuleLinked,
                          "DevuvoDuvEvodedezudiIdentitySupport dependency is linked.");
    if (module->hasLimitedAdTracking()) {
      monitor->logWithLevel(7, kAPMIdentitySupportCodeAdSupportLinked, "The AdSupport Framework is linked.");
    } else {
      monitor->logWithLevel(4, kAPMIdentitySupportCodeAdSupportMissing,
                            std::string("The AdSupport Framework is not currently linked. Some features will not "
                                        "function properly. Learn more at ") +
                                kAPMAdSupportDocumentationURL);
    }
  } else {
    monitor->logWithLevel(4, kAPMIdentitySupportCodeModuleMissing,
                          "DevuvoDuvEvodedezudiIdentitySupport dependency is not currently linked. IDFA will not be "
                          "accessible.");
  }
  return std::shared_ptr<APMDefaultIdentitySupport>(new APMDefaultIdentitySupport(std::move(module)));
}

APMDefaultIdentitySupport::APMDefaultIdentitySupport(std::shared_ptr<APMIdentitySupport> platformIdentitySupport)
    : platformIdentitySupport_(std::move(platformIdentitySupport)),
      queue_(os::DispatchQueue::serial(kAPMDefaultIdentitySupportQueueLabel)) {}

bool APMDefaultIdentitySupport::iOS14OrAbove() {
  return os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({14, 0, 0});
}

bool APMDefaultIdentitySupport::hasAppDataConsentStatus() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasAppDataConsentStatus();
}

uint64_t APMDefaultIdentitySupport::appDataConsentStatus() {
  return platformIdentitySupport_ ? platformIdentitySupport_->appDataConsentStatus() : uint64_t(-1);
}

bool APMDefaultIdentitySupport::hasLimitedAdTracking() {
  return platformIdentitySupport_ && platformIdentitySupport_->hasLimitedAdTracking();
}

bool APMDefaultIdentitySupport::limitedAdTracking() {
  if (iOS14OrAbove()) {
    const std::optional<std::string> identifier = resettableDeviceID();
    return !identifier || *identifier == kAPMZeroResettableDeviceID;
  }
  return platformIdentitySupport_ && platformIdentitySupport_->limitedAdTracking();
}

std::optional<std::string> APMDefaultIdentitySupport::resettableDeviceID() {
  if (!platformIdentitySupport_) return std::nullopt;
  // The bound counts from the call, not from whenever the wait begins.
  const os::DispatchTime deadline = os::DispatchTime::fromNowNanos(kAPMResettableDeviceIDWaitNanos);
  auto done = os::DispatchSemaphore::create(0);
  // The task owns what it needs: it may finish after this call returned.
  queue_->async([self = shared_from_this(), done] {
    std::optional<std::string> answer = self->platformIdentitySupport_->resettableDeviceID();
    {
      std::lock_guard lock(self->mutex_);
      self->resettableDeviceID_ = std::move(answer);
    }
    done->signal();
  });
  done->wait(deadline);
  std::lock_guard lock(mutex_);
  return resettableDeviceID_;
}
