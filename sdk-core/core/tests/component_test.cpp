#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_component.h"
#include "sdk-core/core/rez_options.h"
#include "sdk-core/core/tests/test_support.h"

using namespace sdkcore_test;
using os::runtime::Class;
using os::runtime::Object;

namespace {
constexpr const char* kServiceProtocol = "TestServiceProtocol";

struct Counters {
  int created = 0;
  int deleted = 0;
};

// A class of instances that conform to `protocol` and count their deletion.
Class* serviceClass(const std::string& name, const std::string& protocol, Counters* counters) {
  Class* cls = os::runtime::registerClass(name, "NSObject");
  cls->addProtocol(protocol);
  cls->addProtocol(kREZComponentLifecycleMaintainerProtocol);
  cls->replaceMethod(kREZAppWillBeDeletedSelector,
                     os::runtime::Imp(std::function<REZAppWillBeDeletedImp>(
                         [counters](Object&, std::shared_ptr<REZApp>) { ++counters->deleted; })));
  return cls;
}

// A library class registering the given components.
Class* libraryClass(const std::string& name, std::function<REZComponentList()> components) {
  Class* cls = os::runtime::registerClass(name, "NSObject");
  cls->addProtocol(kREZLibraryProtocol);
  cls->replaceClassMethod(kREZComponentsToRegisterSelector, REZMakeComponentsToRegisterImp(std::move(components)));
  return cls;
}

REZComponentCreationBlock makeBlock(Class* cls, Counters* counters, bool cacheable) {
  return [cls, counters, cacheable](REZComponentContainer&, bool* isCacheable) {
    ++counters->created;
    *isCacheable = cacheable;
    return std::make_shared<Object>(cls);
  };
}

class ComponentTest : public SDKCoreTest {
 protected:
  void SetUp() override {
    SDKCoreTest::SetUp();
    writeBundle(fixtureOptions());
  }
  std::shared_ptr<REZApp> namedApp(const std::string& name) {
    REZApp::configureWithName(name, std::make_shared<REZOptions>(fixtureOptions()));
    return REZApp::appNamed(name);
  }
};
}  // namespace

TEST_F(ComponentTest, FirstRegistrationForAProtocolWins) {
  Counters first, second;
  Class* impl = serviceClass("TestServiceImplA", kServiceProtocol, &first);
  Class* libA = libraryClass("TestLibraryA", [&] {
    return REZComponentList{REZComponent::componentWithProtocol(kServiceProtocol, makeBlock(impl, &first, true))};
  });
  Class* libB = libraryClass("TestLibraryB", [&] {
    return REZComponentList{REZComponent::componentWithProtocol(kServiceProtocol, makeBlock(impl, &second, true))};
  });
  auto app = namedApp("components");
  auto container = REZComponentContainer::initWithApp(app, {libA, libB});
  ASSERT_NE(container->instanceForProtocol(kServiceProtocol), nullptr);
  EXPECT_EQ(first.created + second.created, 1);
  EXPECT_EQ(container->instanceForProtocol("UnknownProtocol"), nullptr);
}

TEST_F(ComponentTest, CachingRemovalAndLifecycle) {
  Counters cached, uncached;
  Class* impl = serviceClass("TestServiceImplC", kServiceProtocol, &cached);
  Class* other = serviceClass("TestServiceImplD", "OtherProtocol", &uncached);
  Class* lib = libraryClass("TestLibraryC", [&] {
    return REZComponentList{
        REZComponent::componentWithProtocol(kServiceProtocol, makeBlock(impl, &cached, true)),
        REZComponent::componentWithProtocol("OtherProtocol", makeBlock(other, &uncached, false)),
    };
  });
  auto app = namedApp("caching");
  auto container = REZComponentContainer::initWithApp(app, {lib});

  auto a = container->instanceForProtocol(kServiceProtocol);
  EXPECT_EQ(container->instanceForProtocol(kServiceProtocol), a);
  EXPECT_EQ(cached.created, 1);
  // A block that leaves the flag false runs on every look-up.
  EXPECT_NE(container->instanceForProtocol("OtherProtocol"), container->instanceForProtocol("OtherProtocol"));
  EXPECT_EQ(uncached.created, 2);

  container->removeAllCachedInstances();
  EXPECT_EQ(cached.deleted, 1);
  EXPECT_EQ(uncached.deleted, 0);  // never cached
  EXPECT_NE(container->instanceForProtocol(kServiceProtocol), a);
  EXPECT_EQ(cached.created, 2);

  container->removeAllComponents();
  EXPECT_EQ(container->instanceForProtocol("OtherProtocol"), nullptr);
}

TEST_F(ComponentTest, EagerTimingsFollowTheApp) {
  Counters always, defaultOnly;
  Class* implAlways = serviceClass("TestEagerAlwaysImpl", "EagerAlways", &always);
  Class* implDefault = serviceClass("TestEagerDefaultImpl", "EagerDefault", &defaultOnly);
  Class* lib = libraryClass("TestEagerLibrary", [&] {
    return REZComponentList{
        REZComponent::componentWithProtocol("EagerAlways", REZInstantiationTiming::AlwaysEager,
                                            makeBlock(implAlways, &always, true)),
        REZComponent::componentWithProtocol("EagerDefault", REZInstantiationTiming::EagerInDefaultApp,
                                            makeBlock(implDefault, &defaultOnly, true)),
    };
  });
  REZApp::registerInternalLibrary(lib, "test-eager", "1.0.0");

  namedApp("eager_named");
  EXPECT_EQ(always.created, 1);
  EXPECT_EQ(defaultOnly.created, 0);

  REZApp::configure();
  EXPECT_EQ(always.created, 2);
  EXPECT_EQ(defaultOnly.created, 1);
  // Eager creation runs once.
  REZApp::defaultApp()->container()->instantiateEagerComponents();
  EXPECT_EQ(defaultOnly.created, 1);
  EXPECT_NE(REZApp::vivuzuvuUserAgent().find("test-eager/1.0.0"), std::string::npos);
}

TEST_F(ComponentTest, RegisteringANonLibraryRaisesInvalidArgument) {
  Class* plain = os::runtime::registerClass("TestNotALibrary", "NSObject");
  try {
    REZApp::registerInternalLibrary(plain, "nope");
    FAIL() << "no exception";
  } catch (const os::Exception& e) {
    EXPECT_EQ(e.name(), os::kInvalidArgumentException);
    EXPECT_EQ(e.reason(),
              "Class TestNotALibrary attempted to register components, but it does not conform to `REZLibrary or "
              "provide a `componentsToRegister:` method.");
  }
  EXPECT_EQ(REZApp::vivuzuvuUserAgent().find("nope/"), std::string::npos);
}
