#include "measurement/engine/sessions/view_controller_screens.h"

#include "measurement/engine/sessions/screen.h"
#include "measurement/store/engine_services/install_environment.h"
#include "os/runtime/runtime.h"
#include "os/uikit/application.h"
#include "os/uikit/view.h"
#include "os/uikit/view_controller.h"

namespace {

// Associations are keyed by address; the owner is kept beside the value so a
// later object at the same address never inherits a gone one's.
template <class Owner, class T>
struct Association {
  std::weak_ptr<const Owner> owner;
  std::shared_ptr<T> value;
};

template <class Owner, class T>
std::shared_ptr<T> associated(const Owner& owner, const char* key) {
  auto association = os::runtime::getAssociatedObjectAs<Association<Owner, T>>(&owner, key);
  if (!association) return nullptr;
  auto current = association->owner.lock();
  if (current.get() != &owner) {
    os::runtime::setAssociatedObject(&owner, key, nullptr, os::runtime::AssociationPolicy::RetainNonatomic);
    return nullptr;
  }
  return association->value;
}

template <class Owner, class T>
void associate(const Owner& owner, const char* key, std::shared_ptr<T> value) {
  std::shared_ptr<void> association;
  if (value) association = std::make_shared<Association<Owner, T>>(Association<Owner, T>{owner.weak_from_this(), value});
  os::runtime::setAssociatedObject(&owner, key, std::move(association), os::runtime::AssociationPolicy::RetainNonatomic);
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
  return associated<UIViewController, APMScreen>(viewController, kAPMScreenAssociationKey);
}

void setApmScreen(const UIViewController& viewController, std::shared_ptr<APMScreen> screen) {
  associate<UIViewController, APMScreen>(viewController, kAPMScreenAssociationKey, std::move(screen));
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
  return associated<UIView, APMScreenStack>(window, kAPMStackAssociationKey);
}

void setApmStack(const UIWindow& window, std::shared_ptr<APMScreenStack> stack) {
  associate<UIView, APMScreenStack>(window, kAPMStackAssociationKey, std::move(stack));
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
