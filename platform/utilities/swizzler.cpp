#include "platform/utilities/swizzler.h"

#include "os/dispatch/queue.h"
#include "os/foundation/error.h"
#include "os/foundation/format.h"
#include "os/foundation/system_log.h"

namespace {

std::shared_ptr<os::DispatchQueue> swizzleQueue() {
  static const auto& queue = *new std::shared_ptr<os::DispatchQueue>(os::DispatchQueue::serial(kDAZSwizzlerQueueLabel));
  return queue;
}

// The caller's programming error, reported as an internal-consistency
// failure on the system log and not raised: nothing is replaced.
void reportInconsistency(const std::string& reason) {
  os::Log::defaultLog()->fault(os::format("*** Assertion failure: %@: %@", os::kInternalInconsistencyException, reason));
}

}  // namespace

bool DAZSwizzler::swizzleClass(os::runtime::Class* cls, const std::string& selector, bool isClassSelector,
                               os::runtime::Imp block) {
  return swizzleQueue()->sync([&] {
    if (selector.empty()) {
      reportInconsistency("The selector cannot be NULL");
      return false;
    }
    if (!cls) {
      reportInconsistency("The class cannot be Nil");
      return false;
    }
    const bool exists = isClassSelector ? cls->respondsToSelector(selector) : cls->instancesRespondToSelector(selector);
    if (!exists) {
      reportInconsistency(os::format("You're attempting to swizzle a method that doesn't exist. (%@, %@)", cls->name(),
                                     selector));
      return false;
    }
    if (isClassSelector) {
      cls->replaceClassMethod(selector, std::move(block));
    } else {
      cls->replaceMethod(selector, std::move(block));
    }
    return true;
  });
}

os::runtime::Imp DAZSwizzler::currentImplementationForClass(os::runtime::Class* cls, const std::string& selector,
                                                            bool isClassSelector) {
  if (selector.empty() || !cls) return {};
  return swizzleQueue()->sync([&] {
    const bool exists = isClassSelector ? cls->respondsToSelector(selector) : cls->instancesRespondToSelector(selector);
    if (!exists) {
      reportInconsistency(
          os::format("The Method for this class/selector combo doesn't exist (%@, %@).", cls->name(), selector));
      return os::runtime::Imp();
    }
    os::runtime::Imp imp = isClassSelector ? cls->classMethod(selector) : cls->instanceMethod(selector);
    if (!imp) {
      reportInconsistency(
          os::format("The IMP for this class/selector combo doesn't exist (%@, %@).", cls->name(), selector));
    }
    return imp;
  });
}

bool DAZSwizzler::selector(const std::string& selector, os::runtime::Class* cls, bool isClassSelector) {
  if (selector.empty() || !cls) return false;
  return isClassSelector ? cls->respondsToSelector(selector) : cls->instancesRespondToSelector(selector);
}
