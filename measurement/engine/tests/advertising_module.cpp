#include "measurement/engine/tests/advertising_module.h"

#include <memory>
#include <mutex>

#include "measurement/store/identity.h"
#include "measurement/store/identity_support.h"
#include "os/runtime/runtime.h"

namespace engine_test {

namespace {

namespace rt = os::runtime;

class AdvertisingModule final : public rt::Object, public APMIdentitySupport {
 public:
  AdvertisingModule() : rt::Object(rt::classFromString(kAPMPlatformIdentitySupportClassName)) {}

  void set(bool framework, std::optional<std::string> identifier) {
    std::lock_guard lock(mutex_);
    framework_ = framework;
    identifier_ = std::move(identifier);
  }

  bool hasAppDataConsentStatus() override {
    std::lock_guard lock(mutex_);
    return framework_;
  }
  uint64_t appDataConsentStatus() override {
    std::lock_guard lock(mutex_);
    // Without the framework, the bridge's answer without a module: the
    // upload URL stays the one of an unauthorised device.
    return framework_ ? uint64_t(APMAppDataConsentStatus::authorized) : uint64_t(-1);
  }
  bool hasLimitedAdTracking() override {
    std::lock_guard lock(mutex_);
    return framework_;
  }
  bool limitedAdTracking() override { return false; }
  std::optional<std::string> resettableDeviceID() override {
    std::lock_guard lock(mutex_);
    return identifier_;
  }

 private:
  std::mutex mutex_;
  bool framework_ = false;                 // guarded by mutex_
  std::optional<std::string> identifier_;  // guarded by mutex_
};

std::shared_ptr<AdvertisingModule> module() {
  static const auto* shared = new std::shared_ptr<AdvertisingModule>(std::make_shared<AdvertisingModule>());
  return *shared;
}

const rt::ClassRegistration kAdvertisingModuleClass{
    kAPMPlatformIdentitySupportClassName, "", [](rt::Class& cls) {
      cls.addProtocol(kAPMIdentitySupportProtocol);
      cls.addClassMethod(kAPMPlatformIdentitySupportSharedInstanceSelector,
                         rt::makeClassImp<std::shared_ptr<rt::Object>>(
                             [](rt::Class&) -> std::shared_ptr<rt::Object> { return module(); }));
    }};

}  // namespace

AdvertisingIdentifierScope::AdvertisingIdentifierScope(std::string identifier) {
  module()->set(true, std::move(identifier));
}

AdvertisingIdentifierScope::~AdvertisingIdentifierScope() {
  module()->set(false, kAPMZeroResettableDeviceID);
  if (auto identity = APMIdentity::sharedInstance()) identity->updateIdentifiersAndWait();
  module()->set(false, std::nullopt);
}

}  // namespace engine_test
