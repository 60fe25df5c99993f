// os::runtime: the parts of a dynamic object runtime that callers rely on.
//
//  - Classes register under their names, usually at static-initialisation time
//    through a ClassRegistration, and are found by name (classFromString) from
//    code that never includes their headers.
//  - A class record holds its superclass (named; resolved on use), a factory,
//    the protocols it adopts, and two replaceable method tables (instance and
//    class methods), looked up through the superclass chain.
//  - An Object carries a pointer to its class; messages sent through
//    msgSend/respondsToSelector dispatch on that class, so switching a live
//    object's class to a subclass made at run time (allocateClassPair,
//    addMethod, registerClassPair, Object::setClass) changes what its messages
//    do, as the delegate proxies need.
//  - Associated objects: values attached to any object address under a string
//    key, held strongly or weakly.
//  - The bundle a class comes from: the main bundle, unless the class's
//    registration names a framework bundle (setBundleName), as for classes of
//    the system's frameworks.
//
// A method implementation (Imp) is a std::function of a fixed signature:
// R(Object& self, Args...) for instance methods and R(Class& cls, Args...) for
// class methods. A call whose signature differs from the stored one is
// refused like an unknown selector.
//
// Libraries whose classes register themselves must be linked whole (an
// OBJECT library, or $<LINK_LIBRARY:WHOLE_ARCHIVE,lib>), or their
// registration objects are dropped by the linker.
//
// Thread-safety: every function may be called from any thread. Method look-up
// returns a copy of the implementation, so a call in progress keeps running
// the implementation it found even while the table is changed.
#pragma once

#include <atomic>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeindex>
#include <utility>
#include <vector>

#include "os/foundation/error.h"

namespace os {
class Bundle;
}  // namespace os

namespace os::runtime {

class Class;
class Object;

// A method implementation of any signature.
class Imp {
 public:
  Imp() = default;
  template <class R, class Self, class... Args>
  Imp(std::function<R(Self&, Args...)> fn)  // NOLINT(runtime/explicit): an Imp is made from a function
      : type_(typeid(R(Self&, Args...))),
        fn_(std::make_shared<std::function<R(Self&, Args...)>>(std::move(fn))) {}

  explicit operator bool() const { return fn_ != nullptr; }
  std::type_index type() const { return type_; }
  // The function when its signature is exactly Sig, else null.
  template <class Sig>
  const std::function<Sig>* as() const {
    if (!fn_ || type_ != std::type_index(typeid(Sig))) return nullptr;
    return static_cast<const std::function<Sig>*>(fn_.get());
  }
  // Identity of the implementation (for "is this still my implementation?").
  const void* identity() const { return fn_.get(); }
  friend bool operator==(const Imp& a, const Imp& b) { return a.fn_ == b.fn_; }

 private:
  std::type_index type_ = typeid(void);
  std::shared_ptr<const void> fn_;
};

// Makes an instance-method implementation from a callable taking
// (Object&, Args...).
template <class R, class... Args, class F>
Imp makeInstanceImp(F&& f) {
  return Imp(std::function<R(Object&, Args...)>(std::forward<F>(f)));
}
// Makes a class-method implementation from a callable taking (Class&, Args...).
template <class R, class... Args, class F>
Imp makeClassImp(F&& f) {
  return Imp(std::function<R(Class&, Args...)>(std::forward<F>(f)));
}

class Class {
 public:
  using Factory = std::function<std::shared_ptr<Object>()>;

  const std::string& name() const { return name_; }
  // The superclass, resolved by name; null for a root class or when the named
  // superclass is not registered (yet).
  Class* superclass() const;
  const std::string& superclassName() const { return superclassName_; }
  bool isSubclassOf(const Class* other) const;  // true for the class itself

  // A new instance from the factory (the nearest one up the chain), or null.
  std::shared_ptr<Object> createInstance() const;

  // Instance methods, looked up through the superclass chain.
  bool instancesRespondToSelector(const std::string& selector) const;
  Imp instanceMethod(std::string_view selector) const;
  // Class methods, likewise.
  bool respondsToSelector(const std::string& selector) const;
  Imp classMethod(const std::string& selector) const;
  // Whether this class itself (not a superclass) defines the method.
  bool hasOwnInstanceMethod(const std::string& selector) const;

  // Adds an instance method to this class; false (nothing changed) when the
  // class itself already has one of that name.
  bool addMethod(const std::string& selector, Imp imp);
  bool addClassMethod(const std::string& selector, Imp imp);
  // Replaces (or, for an inherited or missing method, adds) the method of this
  // class. Returns the implementation that was in force for the selector
  // before (this class's own or inherited), or an empty Imp.
  Imp replaceMethod(const std::string& selector, Imp imp);
  Imp replaceClassMethod(const std::string& selector, Imp imp);

  void addProtocol(const std::string& protocol);
  // Through the superclass chain.
  bool conformsToProtocol(const std::string& protocol) const;

  void setFactory(Factory factory);

  // The name of the framework bundle the class comes from, as its
  // registration names it; "" for the main bundle (the program's own
  // classes). Not inherited: a subclass names its own.
  std::string bundleName() const;
  void setBundleName(std::string bundleName);

  // Sends a class message: the class method's implementation called with this
  // class. Throws os::Exception (NSInvalidArgumentException) when the class
  // does not respond to the selector with that signature.
  template <class R, class... Args>
  R sendClassMessage(const std::string& selector, Args... args) {
    Imp imp = classMethod(selector);
    auto fn = imp.as<R(Class&, Args...)>();
    if (!fn) unrecognizedSelector(selector, true);
    return (*fn)(*this, std::forward<Args>(args)...);
  }

  // Use allocateClassPair or a ClassRegistration.
  Class(std::string name, std::string superclassName);
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;

  [[noreturn]] void unrecognizedSelector(const std::string& selector, bool classMethod) const;

 private:
  Imp lookup(std::string_view selector, bool classMethods) const;

  const std::string name_;
  const std::string superclassName_;
  mutable std::shared_mutex mutex_;
  std::map<std::string, Imp, std::less<>> instanceMethods_;  // guarded by mutex_
  std::map<std::string, Imp, std::less<>> classMethods_;     // guarded by mutex_
  std::vector<std::string> protocols_;                      // guarded by mutex_
  Factory factory_;                                         // guarded by mutex_
  std::string bundleName_;                                  // guarded by mutex_
  mutable std::atomic<Class*> superclass_{nullptr};         // cache of the resolved superclass
};

// The registered class of that name, or null.
Class* classFromString(const std::string& name);
// Names of all registered classes, sorted.
std::vector<std::string> registeredClassNames();

// The bundle a class comes from (the platform's bundleForClass). A class
// whose registration names no bundle answers os::Bundle::bundleForClass of
// its name (the main bundle unless that table says otherwise). A named
// bundle is the framework the main bundle ships under that name
// (os::Bundle::bundleNamed) when there is one, else the system framework of
// that name: a bundle at "/System/Frameworks/<name>.framework", which this
// host does not have (no Info.plist, no resources). The same bundle object is
// answered for a name every time, so bundles compare by pointer.
std::shared_ptr<Bundle> bundleForClass(const Class& cls);

// A new class under `superclass` (null: a root class), not yet registered.
// Null when a class of that name is registered already.
Class* allocateClassPair(Class* superclass, const std::string& name);
// Makes a class from allocateClassPair findable by name.
void registerClassPair(Class* cls);
// Registers a class made elsewhere; returns the registered class of that name
// (the existing one when the name is taken).
Class* registerClass(const std::string& name, const std::string& superclassName = {});

// An object of the runtime: it knows its class, which can be switched.
class Object : public std::enable_shared_from_this<Object> {
 public:
  explicit Object(Class* cls) : class_(cls) {}
  // Associated objects of this object are removed when it goes.
  virtual ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  Class* getClass() const { return class_.load(); }
  // Switches the class; returns the previous one.
  Class* setClass(Class* cls) { return class_.exchange(cls); }
  bool isKindOfClass(const Class* cls) const;
  bool respondsToSelector(const std::string& selector) const;
  bool conformsToProtocol(const std::string& protocol) const;

 private:
  std::atomic<Class*> class_;
};

namespace detail {

// One message in flight: what the dispatcher hands the implementation it
// found to. `invoke` calls the implementation with the object and the
// message's arguments; false when the implementation's signature differs.
struct MessageCall {
  bool (*invoke)(MessageCall& call, const Imp& imp, Object& self);
};

template <class R, class... Args>
struct TypedMessageCall : MessageCall {
  explicit TypedMessageCall(Args&... a) : MessageCall{&TypedMessageCall::call}, args(a...) {}

  static bool call(MessageCall& base, const Imp& imp, Object& self) {
    auto& me = static_cast<TypedMessageCall&>(base);
    auto fn = imp.as<R(Object&, Args...)>();
    if (!fn) return false;
    std::apply(
        [&](Args&... a) {
          if constexpr (std::is_void_v<R>) (*fn)(self, std::forward<Args>(a)...);
          else me.result.emplace((*fn)(self, std::forward<Args>(a)...));
        },
        me.args);
    return true;
  }

  std::tuple<Args&...> args;
  std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result{};
};

}  // namespace detail

// The message dispatcher: every msgSend goes through this one out-of-line
// entry, which touches the object, finds the implementation for the selector
// (a C string, in the second argument) on the object's class and calls it
// through `call`. Its address stands for the platform's dispatcher: a crash
// report tests whether a thread stopped within the entry's first bytes (a
// message sent to a dead object faults on the first read there, with the
// selector still in the second argument register) and then reads the
// selector. Throws like msgSend.
void objc_msgSend(Object* self, const char* selector, detail::MessageCall* call);

// Sends a message: the object's class's implementation for the selector,
// called with the object. Throws os::Exception (NSInvalidArgumentException,
// "-[<class> <selector>]: unrecognized selector sent to instance") when there
// is none of that signature; check respondsToSelector first.
template <class R, class... Args>
R msgSend(Object& object, const char* selector, Args... args) {
  detail::TypedMessageCall<R, Args...> call(args...);
  objc_msgSend(&object, selector, &call);
  if constexpr (!std::is_void_v<R>) return std::move(*call.result);
}
template <class R, class... Args>
R msgSend(Object& object, const std::string& selector, Args... args) {
  return msgSend<R, Args...>(object, selector.c_str(), std::forward<Args>(args)...);
}

// Calls an implementation found earlier (such as the real class's, saved by a
// proxy) with the object. Throws like msgSend when the signature differs.
template <class R, class... Args>
R callImp(const Imp& imp, Object& object, Args... args) {
  auto fn = imp.as<R(Object&, Args...)>();
  if (!fn) throw Exception(kInvalidArgumentException, "implementation called with the wrong signature");
  return (*fn)(object, std::forward<Args>(args)...);
}

// ---- Associated objects ----

enum class AssociationPolicy { Assign, RetainNonatomic, CopyNonatomic, Retain, Copy };

// Attaches `value` to `object` under `key`; Assign holds it weakly, the others
// strongly. A null value removes the association.
void setAssociatedObject(const void* object, const std::string& key, std::shared_ptr<void> value,
                         AssociationPolicy policy);
// The value, or null (none, or a weak one that is gone).
std::shared_ptr<void> getAssociatedObject(const void* object, const std::string& key);
template <class T>
std::shared_ptr<T> getAssociatedObjectAs(const void* object, const std::string& key) {
  return std::static_pointer_cast<T>(getAssociatedObject(object, key));
}
// Drops every association of the object. Object's destructor calls it; owners
// of other objects that carry associations call it when they go.
void removeAssociatedObjects(const void* object);

// Registers a class at static-initialisation time:
//
//   static const os::runtime::ClassRegistration kRegistration{
//       "REZInstallations", "NSObject",
//       [](os::runtime::Class& c) {
//         c.addProtocol("REZLibrary");
//         c.addClassMethod("componentsToRegister", os::runtime::makeClassImp<os::Array>(...));
//       }};
class ClassRegistration {
 public:
  ClassRegistration(const std::string& name, const std::string& superclassName = {},
                    const std::function<void(Class&)>& setUp = {});
  Class* cls() const { return cls_; }

 private:
  Class* cls_;
};

}  // namespace os::runtime
