#include "os/runtime/runtime.h"

#include <algorithm>

#include "os/foundation/bundle.h"

namespace os::runtime {
namespace {

struct Registry {
  std::shared_mutex mutex;
  // Classes live for the process (they are never unregistered), so raw
  // pointers to them stay valid. Guarded by mutex.
  std::map<std::string, std::unique_ptr<Class>, std::less<>> classes;
  // Allocated but not yet registered. Guarded by mutex.
  std::map<Class*, std::unique_ptr<Class>> pending;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: classes outlive static destructors
  return *r;
}

struct Association {
  std::shared_ptr<void> strong;
  std::weak_ptr<void> weak;
};

struct Associations {
  std::mutex mutex;
  std::map<const void*, std::map<std::string, Association, std::less<>>> byObject;  // guarded by mutex
};

Associations& associations() {
  static Associations* a = new Associations();
  return *a;
}

}  // namespace

Class::Class(std::string name, std::string superclassName)
    : name_(std::move(name)), superclassName_(std::move(superclassName)) {}

Class* Class::superclass() const {
  if (superclassName_.empty()) return nullptr;
  Class* cached = superclass_.load();
  if (cached) return cached;
  Class* found = classFromString(superclassName_);
  if (found == this) return nullptr;  // a class cannot be its own superclass
  superclass_.store(found);
  return found;
}

bool Class::isSubclassOf(const Class* other) const {
  int depth = 0;
  for (const Class* c = this; c && depth < 256; c = c->superclass(), ++depth)
    if (c == other) return true;
  return false;
}

std::shared_ptr<Object> Class::createInstance() const {
  int depth = 0;
  for (const Class* c = this; c && depth < 256; c = c->superclass(), ++depth) {
    Factory factory;
    {
      std::shared_lock lock(c->mutex_);
      factory = c->factory_;
    }
    if (factory) return factory();
  }
  return nullptr;
}

Imp Class::lookup(std::string_view selector, bool classMethods) const {
  int depth = 0;  // bounds a (mis-registered) cycle of superclasses
  for (const Class* c = this; c && depth < 256; c = c->superclass(), ++depth) {
    std::shared_lock lock(c->mutex_);
    const auto& table = classMethods ? c->classMethods_ : c->instanceMethods_;
    if (auto it = table.find(selector); it != table.end()) return it->second;
  }
  return Imp();
}

bool Class::instancesRespondToSelector(const std::string& selector) const { return bool(lookup(selector, false)); }
Imp Class::instanceMethod(std::string_view selector) const { return lookup(selector, false); }
bool Class::respondsToSelector(const std::string& selector) const { return bool(lookup(selector, true)); }
Imp Class::classMethod(const std::string& selector) const { return lookup(selector, true); }

bool Class::hasOwnInstanceMethod(const std::string& selector) const {
  std::shared_lock lock(mutex_);
  return instanceMethods_.count(selector) > 0;
}

bool Class::addMethod(const std::string& selector, Imp imp) {
  std::unique_lock lock(mutex_);
  return instanceMethods_.emplace(selector, std::move(imp)).second;
}

bool Class::addClassMethod(const std::string& selector, Imp imp) {
  std::unique_lock lock(mutex_);
  return classMethods_.emplace(selector, std::move(imp)).second;
}

Imp Class::replaceMethod(const std::string& selector, Imp imp) {
  Imp previous = lookup(selector, false);
  std::unique_lock lock(mutex_);
  instanceMethods_[selector] = std::move(imp);
  return previous;
}

Imp Class::replaceClassMethod(const std::string& selector, Imp imp) {
  Imp previous = lookup(selector, true);
  std::unique_lock lock(mutex_);
  classMethods_[selector] = std::move(imp);
  return previous;
}

void Class::addProtocol(const std::string& protocol) {
  std::unique_lock lock(mutex_);
  if (std::find(protocols_.begin(), protocols_.end(), protocol) == protocols_.end()) protocols_.push_back(protocol);
}

bool Class::conformsToProtocol(const std::string& protocol) const {
  int depth = 0;
  for (const Class* c = this; c && depth < 256; c = c->superclass(), ++depth) {
    std::shared_lock lock(c->mutex_);
    if (std::find(c->protocols_.begin(), c->protocols_.end(), protocol) != c->protocols_.end()) return true;
  }
  return false;
}

void Class::setFactory(Factory factory) {
  std::unique_lock lock(mutex_);
  factory_ = std::move(factory);
}

std::string Class::bundleName() const {
  std::shared_lock lock(mutex_);
  return bundleName_;
}

void Class::setBundleName(std::string bundleName) {
  std::unique_lock lock(mutex_);
  bundleName_ = std::move(bundleName);
}

std::shared_ptr<Bundle> bundleForClass(const Class& cls) {
  const std::string name = cls.bundleName();
  if (name.empty()) return Bundle::bundleForClass(cls.name());
  if (auto shipped = Bundle::bundleNamed(name)) return shipped;
  static std::mutex mutex;
  static auto& systemBundles = *new std::map<std::string, std::shared_ptr<Bundle>>();  // never destroyed
  std::lock_guard lock(mutex);
  auto& slot = systemBundles[name];
  if (!slot) slot = std::make_shared<Bundle>("/System/Frameworks/" + name + ".framework");
  return slot;
}

namespace detail {
namespace {

// The dispatcher's second half, kept out of line so that objc_msgSend stays
// one read and a jump. The arguments keep their registers.
[[gnu::noinline]] void dispatchMessage(Object* self, const char* selector, MessageCall* call) {
  Class* cls = self->getClass();
  if (!cls) throw Exception(kInvalidArgumentException, "message sent to an object without a class");
  Imp imp = cls->instanceMethod(selector ? std::string_view(selector) : std::string_view());
  if (!imp || !call->invoke(*call, imp, *self)) cls->unrecognizedSelector(selector ? selector : "", false);
}

}  // namespace
}  // namespace detail

// The first thing the dispatcher does is read the object's first word (its
// type), so a message to a dead object faults here, within the entry's first
// bytes and with the selector still in its register. Sanitizers would put
// their checks in front of that read and move the registers: the entry is
// left uninstrumented (the second half is not).
[[gnu::noinline, gnu::no_sanitize_address, gnu::no_sanitize_thread, gnu::no_sanitize_undefined]] void objc_msgSend(
    Object* self, const char* selector, detail::MessageCall* call) {
  (void)*reinterpret_cast<void* const volatile*>(self);
  detail::dispatchMessage(self, selector, call);
}

void Class::unrecognizedSelector(const std::string& selector, bool classMethod) const {
  throw Exception(kInvalidArgumentException, std::string(classMethod ? "+[" : "-[") + name_ + " " + selector +
                                                 "]: unrecognized selector sent to " +
                                                 (classMethod ? "class" : "instance"));
}

Class* classFromString(const std::string& name) {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? nullptr : it->second.get();
}

std::vector<std::string> registeredClassNames() {
  auto& r = registry();
  std::shared_lock lock(r.mutex);
  std::vector<std::string> out;
  for (auto& [name, cls] : r.classes) out.push_back(name);
  return out;
}

Class* allocateClassPair(Class* superclass, const std::string& name) {
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  if (name.empty() || r.classes.count(name)) return nullptr;
  for (auto& [ptr, cls] : r.pending)
    if (cls->name() == name) return nullptr;
  auto cls = std::make_unique<Class>(name, superclass ? superclass->name() : std::string());
  Class* raw = cls.get();
  r.pending.emplace(raw, std::move(cls));
  return raw;
}

void registerClassPair(Class* cls) {
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  auto it = r.pending.find(cls);
  if (it == r.pending.end()) return;
  auto owned = std::move(it->second);
  r.pending.erase(it);
  r.classes.emplace(owned->name(), std::move(owned));
}

Class* registerClass(const std::string& name, const std::string& superclassName) {
  auto& r = registry();
  std::unique_lock lock(r.mutex);
  auto& slot = r.classes[name];
  if (!slot) slot = std::make_unique<Class>(name, superclassName);
  return slot.get();
}

ClassRegistration::ClassRegistration(const std::string& name, const std::string& superclassName,
                                     const std::function<void(Class&)>& setUp)
    : cls_(registerClass(name, superclassName)) {
  if (setUp) setUp(*cls_);
}

Object::~Object() { removeAssociatedObjects(this); }

bool Object::isKindOfClass(const Class* cls) const {
  Class* mine = getClass();
  return mine && mine->isSubclassOf(cls);
}

bool Object::respondsToSelector(const std::string& selector) const {
  Class* cls = getClass();
  return cls && cls->instancesRespondToSelector(selector);
}

bool Object::conformsToProtocol(const std::string& protocol) const {
  Class* cls = getClass();
  return cls && cls->conformsToProtocol(protocol);
}

void setAssociatedObject(const void* object, const std::string& key, std::shared_ptr<void> value,
                         AssociationPolicy policy) {
  auto& a = associations();
  std::shared_ptr<void> released;  // destroyed after the lock is dropped: its destructor may associate
  std::lock_guard lock(a.mutex);
  auto& table = a.byObject[object];
  if (!value) {
    if (auto it = table.find(key); it != table.end()) {
      released = std::move(it->second.strong);
      table.erase(it);
    }
    if (table.empty()) a.byObject.erase(object);
    return;
  }
  Association& slot = table[key];
  released = std::move(slot.strong);
  if (policy == AssociationPolicy::Assign) {
    slot.strong.reset();
    slot.weak = value;
  } else {
    slot.strong = std::move(value);
    slot.weak.reset();
  }
}

std::shared_ptr<void> getAssociatedObject(const void* object, const std::string& key) {
  auto& a = associations();
  std::lock_guard lock(a.mutex);
  auto it = a.byObject.find(object);
  if (it == a.byObject.end()) return nullptr;
  auto entry = it->second.find(key);
  if (entry == it->second.end()) return nullptr;
  return entry->second.strong ? entry->second.strong : entry->second.weak.lock();
}

void removeAssociatedObjects(const void* object) {
  auto& a = associations();
  std::map<std::string, Association, std::less<>> released;  // destroyed after the lock is dropped
  {
    std::lock_guard lock(a.mutex);
    auto it = a.byObject.find(object);
    if (it == a.byObject.end()) return;
    released = std::move(it->second);
    a.byObject.erase(it);
  }
}

}  // namespace os::runtime
