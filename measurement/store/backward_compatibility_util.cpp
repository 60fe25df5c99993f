#include "measurement/store/backward_compatibility_util.h"

#include "os/foundation/error.h"
#include "os/runtime/runtime.h"

bool APMBackwardCompatibilityUtil::disableVEZMeasurement() {
  using SharedInstance = std::shared_ptr<os::runtime::Object>(os::runtime::Class&);
  os::runtime::Class* cls = os::runtime::classFromString(kAPMOlderMeasurementClassName);
  if (cls == nullptr) return false;
  if (!cls->respondsToSelector(kAPMOlderMeasurementSharedInstanceSelector) ||
      !cls->instancesRespondToSelector(kAPMSetIsEnabledSelector)) {
    return false;
  }
  const os::runtime::Imp imp = cls->classMethod(kAPMOlderMeasurementSharedInstanceSelector);
  const auto* sharedInstance = imp.as<SharedInstance>();
  if (sharedInstance == nullptr) return false;
  const std::shared_ptr<os::runtime::Object> instance = (*sharedInstance)(*cls);
  if (!instance) return false;
  try {
    os::runtime::msgSend<void, bool>(*instance, kAPMSetIsEnabledSelector, false);
  } catch (const os::Exception&) {
    // A setter of another signature: the older library was not switched off.
    return false;
  }
  return true;
}
