#include "measurement/engine/sessions/view_controller_screens.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeindex>

#include "measurement/engine/sessions/screen.h"
#include "measurement/engine/sessions/screen_view_reporter.h"
#include "measurement/store/engine_services/asl_logger.h"
#include "measurement/store/engine_services/engine_services.h"
#include "measurement/store/engine_services/install_environment.h"
#include "measurement/store/monitor.h"
#include "os/foundation/bundle.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"
#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"
#include "platform/utilities/logger.h"
#include "platform/utilities/swizzler.h"

namespace {

std::string typeName(std::type_index type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  return name;
}

// The value attached under `key` when it is a T. Another owner's value there
// is logged with `code`, removed and read as null. Associations go with the
// object (controllers and views drop theirs when they are destroyed), so an
// object at a reused address never inherits a gone one's.
template <class T>
std::shared_ptr<T> associated(const void* owner, const char* key, int64_t code) {
  auto stored = os::runtime::getAssociatedObjectWithType(owner, key);
  if (!stored.value) return nullptr;
  if (stored.type != std::type_index(typeid(T))) {
    APMMeasurementServices::monitor()->logWithLevel(4, code, "Found unknown associated object",
                                                    typeName(stored.type));
    os::runtime::setAssociatedObject(owner, key, nullptr, os::runtime::AssociationPolicy::RetainNonatomic);
    return nullptr;
  }
  return std::static_pointer_cast<T>(stored.value);
}

bool isOnScreen(const UIViewController& viewController) {
  const auto view = viewController.viewIfLoaded();
  return view && view->window() != nullptr;
}

bool isContainer(const UIViewController& viewController) {
  return dynamic_cast<const UINavigationController*>(&viewController) != nullptr ||
         dynamic_cast<const UITabBarController*>(&viewController) != nullptr ||
         dynamic_cast<const UIPageViewController*>(&viewController) != nullptr;
}

// What a navigation, tab bar or page controller shows; null for others.
std::shared_ptr<UIViewController> shownBy(UIViewController& container) {
  if (auto* navigation = dynamic_cast<UINavigationController*>(&container)) return navigation->visibleViewController();
  if (auto* tabs = dynamic_cast<UITabBarController*>(&container)) return tabs->selectedViewController();
  if (auto* pages = dynamic_cast<UIPageViewController*>(&container)) {
    return pages->viewControllers().empty() ? nullptr : pages->viewControllers().front();
  }
  return nullptr;
}

// What the candidate shows: through containers as deep as they go; a plain
// candidate gives what it presents, else itself while being presented.
std::shared_ptr<UIViewController> resolve(const std::shared_ptr<UIViewController>& candidate) {
  std::shared_ptr<UIViewController> result;
  if (isContainer(*candidate)) {
    result = shownBy(*candidate);
  } else if (auto presented = candidate->presentedViewController()) {
    result = presented;
  } else if (candidate->isBeingPresented()) {
    result = candidate;
  }
  // Containment is a tree and presentation a chain, so this ends; the bound
  // only guards against a container that shows itself.
  for (int depth = 0; result && isContainer(*result) && depth < 64; ++depth) result = shownBy(*result);
  return result && isContainer(*result) ? nullptr : result;
}

bool startsWithUnderscore(const std::string& className) {
  const std::string name = APMShortClassName(className);
  return !name.empty() && name.front() == '_';
}

void logWarning(int64_t code, const char* message) {
  DAZLogWarning(kAPMAnalyticsSubsystem, kAPMLogTag, false, APMMessageCodeString(code), message);
}

}  // namespace

std::string APMShortClassName(std::string_view className) {
  const size_t dot = className.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == className.size()) return std::string(className);
  return std::string(className.substr(dot + 1));
}

std::string APMViewControllerClassName(UIViewController& viewController) {
  return viewController.runtimeClass()->name();
}

std::shared_ptr<APMScreen> apmScreen(const UIViewController& viewController) {
  return associated<APMScreen>(&viewController, kAPMScreenAssociationKey, kAPMViewControllerCodeUnknownScreen);
}

void setApmScreen(const UIViewController& viewController, std::shared_ptr<APMScreen> screen) {
  os::runtime::setAssociatedObjectOfType(&viewController, kAPMScreenAssociationKey, std::move(screen),
                                         os::runtime::AssociationPolicy::RetainNonatomic);
}

std::shared_ptr<UIViewController> APMScreenStack::at(size_t index) const {
  return index < entries_.size() ? entries_[index].lock() : nullptr;
}

std::shared_ptr<UIViewController> APMScreenStack::top() const { return empty() ? nullptr : at(count() - 1); }

void APMScreenStack::append(const std::shared_ptr<UIViewController>& viewController) {
  entries_.push_back(viewController);
}

void APMScreenStack::removeAt(size_t index) {
  if (index < entries_.size()) entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
}

size_t APMScreenStack::indexOf(const UIViewController& viewController) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].lock().get() == &viewController) return i;
  }
  return npos;
}

void APMScreenStack::compact() {
  std::erase_if(entries_, [](const std::weak_ptr<UIViewController>& entry) { return entry.expired(); });
}

std::shared_ptr<APMScreenStack> apmStack(const UIWindow& window) {
  return associated<APMScreenStack>(static_cast<const UIView*>(&window), kAPMStackAssociationKey,
                                    kAPMWindowCodeUnknownStack);
}

void setApmStack(const UIWindow& window, std::shared_ptr<APMScreenStack> stack) {
  os::runtime::setAssociatedObjectOfType(static_cast<const UIView*>(&window), kAPMStackAssociationKey,
                                         std::move(stack), os::runtime::AssociationPolicy::RetainNonatomic);
}

std::shared_ptr<APMScreenStack> APMKeyWindowScreenStack() {
  const auto application = APMAEU::sharedApplication();
  const auto window = application ? application->keyWindow() : nullptr;
  if (!window) return nullptr;
  auto stack = apmStack(*window);
  if (!stack) {
    stack = std::make_shared<APMScreenStack>();
    setApmStack(*window, stack);
  }
  return stack;
}

bool APMIsTrackableViewController(UIViewController& viewController) {
  const os::runtime::Class* cls = viewController.runtimeClass();
  if (cls != nullptr && os::runtime::bundleForClass(*cls) != os::Bundle::mainBundle()) {
    const os::runtime::Class* superclass = cls->superclass();
    if (startsWithUnderscore(cls->name()) || (superclass != nullptr && startsWithUnderscore(superclass->name()))) {
      return false;
    }
  }
  const auto view = viewController.viewIfLoaded();
  if (!view) return false;
  const auto application = APMAEU::sharedApplication();
  const auto keyWindow = application ? application->keyWindow() : nullptr;
  return keyWindow && view->isDescendantOfView(keyWindow.get());
}

std::shared_ptr<UIViewController> APMCurrentViewControllerFromStack(const APMScreenStack& stack) {
  for (size_t i = stack.count(); i-- > 0;) {
    const auto entry = stack.at(i);
    if (!entry || !isOnScreen(*entry)) continue;
    const auto screen = apmScreen(*entry);
    if (screen && screen->isManuallySet()) return entry;
  }
  for (size_t i = stack.count(); i-- > 0;) {
    const auto entry = stack.at(i);
    if (!entry || !isOnScreen(*entry)) continue;
    if (apmScreen(*entry)) return entry;
    // A child whose siblings are partly off screen stands for its container
    // (a navigation stack, the tabs); children shown side by side do not.
    std::shared_ptr<UIViewController> candidate = entry;
    if (const auto parent = entry->parentViewController(); parent && parent->childViewControllers().size() > 1) {
      for (const auto& sibling : parent->childViewControllers()) {
        if (sibling != entry && !isOnScreen(*sibling)) {
          candidate = parent;
          break;
        }
      }
      if (candidate == parent && apmScreen(*parent)) return parent;
    }
    const auto result = resolve(candidate);
    if (result && isOnScreen(*result)) return result;
  }
  if (stack.empty()) {
    APMMeasurementServices::monitor()->logWithLevel(5, kAPMScreenCodeRootNotFound, "Root view controller not found");
    return nullptr;
  }
  return stack.at(0);
}

size_t APMIndexOfViewControllerInStack(const UIViewController& viewController, const APMScreenStack& stack) {
  return stack.indexOf(viewController);
}

bool APMSwizzleViewControllerTransitions() {
  if (!APMScreenReportingEnabledInInfoPlist()) {
    DAZLogInfo(kAPMAnalyticsSubsystem, kAPMLogTag, false,
               APMMessageCodeString(kAPMViewControllerCodeReportingDisabled),
               "Analytics screen reporting is disabled. UIViewController transitions will not be logged.");
    return false;
  }
  if (os::runtime::classFromString(kAPMOlderLibraryClassName) != nullptr) {
    logWarning(kAPMViewControllerCodeOlderLibrary,
               "Detected an older version of Devuvo Analytics for Vivuzuvu framework. Please upgrade to the latest "
               "version of Devuvo Analytics for Vivuzuvu.");
    return false;
  }
  // Called at load, before the class can be found by name.
  os::runtime::Class* base = UIViewController::baseRuntimeClass();
  const os::runtime::Imp appear =
      DAZSwizzler::currentImplementationForClass(base, UIViewControllerSelector::viewDidAppear, false);
  if (!appear.as<UIViewControllerAppearanceImp>()) {
    logWarning(kAPMViewControllerCodeNoAppearImp,
               "Failed to get old implementation of -[UIViewController viewDidAppear:]. UIViewController "
               "transitions will not be logged.");
    return false;
  }
  const os::runtime::Imp disappear =
      DAZSwizzler::currentImplementationForClass(base, UIViewControllerSelector::viewDidDisappear, false);
  if (!disappear.as<UIViewControllerAppearanceImp>()) {
    logWarning(kAPMViewControllerCodeNoDisappearImp,
               "Failed to get old implementation of -[UIViewController viewDidDisappear:]. UIViewController "
               "transitions will not be logged.");
    return false;
  }
  // A controller not owned by a shared_ptr cannot be held by the stack: it
  // only runs the saved implementation.
  const auto controller = [](os::runtime::Object& self) -> std::shared_ptr<UIViewController> {
    auto* viewController = dynamic_cast<UIViewController*>(&self);
    return viewController != nullptr ? viewController->weak_from_this().lock() : nullptr;
  };
  DAZSwizzler::swizzleClass(
      base, UIViewControllerSelector::viewDidAppear, false,
      os::runtime::makeInstanceImp<void, bool>([appear, controller](os::runtime::Object& self, bool animated) {
        os::runtime::callImp<void>(appear, self, animated);
        if (auto viewController = controller(self)) {
          APMScreenViewReporter::sharedInstance()->viewControllerDidAppear(viewController);
        }
      }));
  DAZSwizzler::swizzleClass(
      base, UIViewControllerSelector::viewDidDisappear, false,
      os::runtime::makeInstanceImp<void, bool>([disappear, controller](os::runtime::Object& self, bool animated) {
        os::runtime::callImp<void>(disappear, self, animated);
        if (auto viewController = controller(self)) {
          APMScreenViewReporter::sharedInstance()->viewControllerDidDisappear(viewController);
        }
      }));
  return true;
}

namespace {
// The class-load hook: once per process, before the application starts.
[[maybe_unused]] const bool kViewControllerTransitionsReplaced = APMSwizzleViewControllerTransitions();
}  // namespace
