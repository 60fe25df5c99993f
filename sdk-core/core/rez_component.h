// The component container: how SDKs find each other's services in an app.
//
// An SDK class registered in os::runtime that adopts the protocol
// "REZLibrary" answers the class method "componentsToRegister"
// (REZComponentsToRegisterImp) with its REZComponents. It registers itself at
// class-load time through REZApp::registerInternalLibrary. Each app's
// container collects the components of every registrant when it is created:
// one creation block per protocol name (the first registration wins, later
// ones log "I-COR000029"), creates the eager ones after the app is configured
// and the others on first request, caching an instance when its block sets
// the is-cacheable flag.
//
// Instances are os::runtime::Objects, so conformance to the protocol can be
// checked; an instance that wants to hear of its app's deletion adopts
// "REZComponentLifecycleMaintainer" and answers the instance method
// "appWillBeDeleted:" (REZAppWillBeDeletedImp).
//
// Thread-safety: a container is its own recursive lock; a creation block may
// look up other protocols of the same container. The registrant set is
// written at class-load time and read when containers are made.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "os/runtime/runtime.h"

class REZApp;
class REZComponentContainer;

inline constexpr const char* kREZLibraryProtocol = "REZLibrary";
inline constexpr const char* kREZComponentsToRegisterSelector = "componentsToRegister";
inline constexpr const char* kREZComponentLifecycleMaintainerProtocol = "REZComponentLifecycleMaintainer";
inline constexpr const char* kREZAppWillBeDeletedSelector = "appWillBeDeleted:";

enum class REZInstantiationTiming : long {
  Lazy = 0,
  AlwaysEager = 1,
  EagerInDefaultApp = 2,
};

// Creation block: given the container and the is-cacheable flag (false on
// entry), returns the instance or null.
using REZComponentCreationBlock =
    std::function<std::shared_ptr<os::runtime::Object>(REZComponentContainer& container, bool* isCacheable)>;

class REZComponent {
 public:
  static std::shared_ptr<REZComponent> componentWithProtocol(std::string protocol,
                                                             REZComponentCreationBlock creationBlock);
  static std::shared_ptr<REZComponent> componentWithProtocol(std::string protocol,
                                                             REZInstantiationTiming instantiationTiming,
                                                             REZComponentCreationBlock creationBlock);
  REZComponent(std::string protocol, REZInstantiationTiming instantiationTiming,
               REZComponentCreationBlock creationBlock);

  const std::string& protocol() const { return protocol_; }
  REZInstantiationTiming instantiationTiming() const { return instantiationTiming_; }
  const REZComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  std::string protocol_;
  REZInstantiationTiming instantiationTiming_;
  REZComponentCreationBlock creationBlock_;
};

using REZComponentList = std::vector<std::shared_ptr<REZComponent>>;
// Signature of the "componentsToRegister" class method.
using REZComponentsToRegisterImp = REZComponentList(os::runtime::Class&);
// Signature of the "appWillBeDeleted:" instance method.
using REZAppWillBeDeletedImp = void(os::runtime::Object&, std::shared_ptr<REZApp>);

// Makes the class-method implementation for a library's components.
inline os::runtime::Imp REZMakeComponentsToRegisterImp(std::function<REZComponentList()> components) {
  return os::runtime::makeClassImp<REZComponentList>(
      [components = std::move(components)](os::runtime::Class&) { return components(); });
}

class REZComponentContainer : public std::enable_shared_from_this<REZComponentContainer> {
 public:
  using RegistrantSet = std::set<os::runtime::Class*>;

  // Adds a class to the process-wide registrant set.
  static void registerAsComponentRegistrant(os::runtime::Class* cls);
  static void registerAsComponentRegistrant(os::runtime::Class* cls, RegistrantSet& set);
  static RegistrantSet registrants();

  // Collects the components of every registrant at once.
  static std::shared_ptr<REZComponentContainer> initWithApp(const std::shared_ptr<REZApp>& app);
  static std::shared_ptr<REZComponentContainer> initWithApp(const std::shared_ptr<REZApp>& app,
                                                            const RegistrantSet& registrants);

  // Creates the eager instances once; later calls do nothing.
  void instantiateEagerComponents();
  // The cached instance, or a new one from the protocol's block; null when no
  // block is registered for the protocol.
  std::shared_ptr<os::runtime::Object> instanceForProtocol(const std::string& protocol);
  // Tells lifecycle maintainers, then empties the cache.
  void removeAllCachedInstances();
  void removeAllComponents();
  std::shared_ptr<REZApp> app() const { return app_.lock(); }

  // Use initWithApp.
  struct PrivateTag {};
  REZComponentContainer(PrivateTag, const std::shared_ptr<REZApp>& app);

  // Empties the process-wide registrant set.
  static void TEST_clearRegistrants();

 private:
  void populateComponentsFromRegisteredClasses(const RegistrantSet& classes, const REZApp& app);

  std::weak_ptr<REZApp> app_;
  std::recursive_mutex mutex_;
  std::map<std::string, REZComponentCreationBlock> components_;                 // guarded by mutex_
  std::map<std::string, std::shared_ptr<os::runtime::Object>> cachedInstances_;  // guarded by mutex_
  std::optional<std::vector<std::string>> eagerProtocolsToInstantiate_;         // guarded by mutex_
};

class REZComponentType {
 public:
  static std::shared_ptr<os::runtime::Object> instanceForProtocol(const std::string& protocol,
                                                                  REZComponentContainer& container) {
    return container.instanceForProtocol(protocol);
  }
  // The instance cast to T (T derives from os::runtime::Object), or null.
  template <class T>
  static std::shared_ptr<T> instanceForProtocolAs(const std::string& protocol, REZComponentContainer& container) {
    return std::dynamic_pointer_cast<T>(container.instanceForProtocol(protocol));
  }
};
