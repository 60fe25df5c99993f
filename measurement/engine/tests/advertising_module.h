// The companion identity-support module, linked into the engine tests: the
// class "APMPlatformIdentitySupport" is registered by name, as the module
// would register it, so the process's APMDefaultIdentitySupport finds it. It
// answers as a device without the advertising-support framework (no status,
// no advertising identifier) until a test gives it an identifier.
#pragma once

#include <optional>
#include <string>

namespace engine_test {

// While it lives the module answers as a device whose user authorised
// tracking: the framework is there, status 3, the given identifier. Its end
// gives the all-zero identifier to one refresh of the shared identity, which
// forgets the identifier it cached, and then answers as at first. One scope
// at a time; make it and end it off the identity's and the engine's queues.
class AdvertisingIdentifierScope {
 public:
  explicit AdvertisingIdentifierScope(std::string identifier);
  ~AdvertisingIdentifierScope();
  AdvertisingIdentifierScope(const AdvertisingIdentifierScope&) = delete;
  AdvertisingIdentifierScope& operator=(const AdvertisingIdentifierScope&) = delete;
};

}  // namespace engine_test
