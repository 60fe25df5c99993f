#include "sdk-core/core/rez_component.h"

#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_logger.h"
#include "sdk-core/core/rez_options.h"

namespace {
// Registrations happen during static initialisation of other objects, so the
// set is made on first use.
std::mutex& registrantMutex() {
  static std::mutex mutex;
  return mutex;
}
REZComponentContainer::RegistrantSet& registrantSet() {  // guarded by registrantMutex()
  static auto& set = *new REZComponentContainer::RegistrantSet();  // never destroyed
  return set;
}

constexpr const char* kARLensAppName = "ARLensREZApp";
constexpr const char* kARLensVCMSenderID = "480963775968";
constexpr const char* kAppCheckComponentClass = "REZAppCheckComponent";
}  // namespace

std::shared_ptr<REZComponent> REZComponent::componentWithProtocol(std::string protocol,
                                                                  REZComponentCreationBlock creationBlock) {
  return componentWithProtocol(std::move(protocol), REZInstantiationTiming::Lazy, std::move(creationBlock));
}

std::shared_ptr<REZComponent> REZComponent::componentWithProtocol(std::string protocol,
                                                                  REZInstantiationTiming instantiationTiming,
                                                                  REZComponentCreationBlock creationBlock) {
  return std::make_shared<REZComponent>(std::move(protocol), instantiationTiming, std::move(creationBlock));
}

REZComponent::REZComponent(std::string protocol, REZInstantiationTiming instantiationTiming,
                           REZComponentCreationBlock creationBlock)
    : protocol_(std::move(protocol)),
      instantiationTiming_(instantiationTiming),
      creationBlock_(std::move(creationBlock)) {}

void REZComponentContainer::registerAsComponentRegistrant(os::runtime::Class* cls) {
  std::lock_guard lock(registrantMutex());
  registerAsComponentRegistrant(cls, registrantSet());
}

void REZComponentContainer::registerAsComponentRegistrant(os::runtime::Class* cls, RegistrantSet& set) {
  if (cls) set.insert(cls);
}

REZComponentContainer::RegistrantSet REZComponentContainer::registrants() {
  std::lock_guard lock(registrantMutex());
  return registrantSet();
}

void REZComponentContainer::TEST_clearRegistrants() {
  std::lock_guard lock(registrantMutex());
  registrantSet().clear();
}

REZComponentContainer::REZComponentContainer(PrivateTag, const std::shared_ptr<REZApp>& app) : app_(app) {}

std::shared_ptr<REZComponentContainer> REZComponentContainer::initWithApp(const std::shared_ptr<REZApp>& app) {
  auto set = registrants();
  if (app && app->name() == kARLensAppName) {
    auto options = app->options();
    auto* appCheck = os::runtime::classFromString(kAppCheckComponentClass);
    if (options && options->VCMSenderID() == kARLensVCMSenderID && appCheck) set.erase(appCheck);
  }
  return initWithApp(app, set);
}

std::shared_ptr<REZComponentContainer> REZComponentContainer::initWithApp(const std::shared_ptr<REZApp>& app,
                                                                          const RegistrantSet& registrants) {
  auto container = std::make_shared<REZComponentContainer>(PrivateTag{}, app);
  if (app) container->populateComponentsFromRegisteredClasses(registrants, *app);
  return container;
}

void REZComponentContainer::populateComponentsFromRegisteredClasses(const RegistrantSet& classes,
                                                                    const REZApp& app) {
  std::lock_guard lock(mutex_);
  eagerProtocolsToInstantiate_.emplace();
  for (os::runtime::Class* cls : classes) {
    if (!cls->respondsToSelector(kREZComponentsToRegisterSelector)) continue;
    REZComponentList list;
    try {
      list = cls->sendClassMessage<REZComponentList>(kREZComponentsToRegisterSelector);
    } catch (const os::Exception&) {
      continue;  // a method of another signature: not a library
    }
    for (const auto& component : list) {
      if (!component) continue;
      const std::string& name = component->protocol();
      if (components_.count(name)) {
        REZLogError(kREZLoggerCore, "I-COR000029",
                    "Attempted to register protocol %@, but it already has an implementation.", name);
        continue;
      }
      components_[name] = component->creationBlock();
      const auto timing = component->instantiationTiming();
      if (timing == REZInstantiationTiming::AlwaysEager ||
          (timing == REZInstantiationTiming::EagerInDefaultApp && app.isDefaultApp())) {
        eagerProtocolsToInstantiate_->push_back(name);
      }
    }
  }
}

void REZComponentContainer::instantiateEagerComponents() {
  std::lock_guard lock(mutex_);
  if (!eagerProtocolsToInstantiate_) return;
  // Taken first: a creation block may look up other protocols meanwhile.
  auto eager = std::move(*eagerProtocolsToInstantiate_);
  eagerProtocolsToInstantiate_.reset();
  for (const auto& protocol : eager) (void)instanceForProtocol(protocol);
}

std::shared_ptr<os::runtime::Object> REZComponentContainer::instanceForProtocol(const std::string& protocol) {
  std::lock_guard lock(mutex_);
  if (auto it = cachedInstances_.find(protocol); it != cachedInstances_.end()) return it->second;
  auto block = components_.find(protocol);
  if (block == components_.end() || !block->second) return nullptr;
  // A copy: the block may remove components while it runs.
  REZComponentCreationBlock creationBlock = block->second;
  bool isCacheable = false;
  auto instance = creationBlock(*this, &isCacheable);
  if (instance && !instance->conformsToProtocol(protocol)) {
    REZLogError(kREZLoggerCore, "I-COR000030",
                "An instance conforming to %@ was requested, but the instance provided does not conform to the "
                "protocol",
                protocol);
  }
  if (instance && isCacheable) cachedInstances_[protocol] = instance;
  return instance;
}

void REZComponentContainer::removeAllCachedInstances() {
  std::lock_guard lock(mutex_);
  auto app = app_.lock();
  for (const auto& [protocol, instance] : cachedInstances_) {
    if (!instance->conformsToProtocol(kREZComponentLifecycleMaintainerProtocol) ||
        !instance->respondsToSelector(kREZAppWillBeDeletedSelector)) {
      continue;
    }
    try {
      os::runtime::msgSend<void>(*instance, kREZAppWillBeDeletedSelector, app);
    } catch (const os::Exception&) {
      // A method of another signature: not a lifecycle maintainer.
    }
  }
  cachedInstances_.clear();
}

void REZComponentContainer::removeAllComponents() {
  std::lock_guard lock(mutex_);
  components_.clear();
}
