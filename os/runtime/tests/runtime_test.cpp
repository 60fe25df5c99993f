#include "os/runtime/runtime.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <thread>

#include "os/foundation/bundle.h"
#include "os/testing/child_process.h"

std::string consumerGreetingFrom(const std::string& className, const std::string& who);

namespace os::runtime {
namespace {

using OpenURL = bool(Object&, std::string);

TEST(RuntimeRegistry, ClassFromOneLibraryIsFoundByNameFromAnother) {
  EXPECT_EQ(consumerGreetingFrom("RuntimeTestProvider", "world"), "provider-lib: hello world");
  EXPECT_EQ(consumerGreetingFrom("NoSuchClass", "world"), "");

  Class* cls = classFromString("RuntimeTestProvider");
  ASSERT_NE(cls, nullptr);
  // The superclass was registered after its subclass and is still found.
  ASSERT_NE(cls->superclass(), nullptr);
  EXPECT_EQ(cls->superclass()->name(), "RuntimeTestBase");
  EXPECT_TRUE(cls->conformsToProtocol("RuntimeTestBaseProtocol"));
  EXPECT_FALSE(cls->superclass()->conformsToProtocol("RuntimeTestLibrary"));
}

TEST(RuntimeMethods, ReplacingAnInheritedMethodOverridesOnlyTheSubclass) {
  Class* base = registerClass("SwizzleBase");
  Class* sub = registerClass("SwizzleSub", "SwizzleBase");
  base->addMethod("viewDidAppear:", makeInstanceImp<std::string, bool>([](Object&, bool) { return std::string("base"); }));
  Object object(sub);
  EXPECT_EQ(msgSend<std::string>(object, "viewDidAppear:", true), "base");

  Imp saved = sub->replaceMethod("viewDidAppear:", makeInstanceImp<std::string, bool>([&](Object& self, bool animated) {
    return "hooked+" + callImp<std::string>(sub->superclass()->instanceMethod("viewDidAppear:"), self, animated);
  }));
  EXPECT_EQ(saved, base->instanceMethod("viewDidAppear:"));
  EXPECT_EQ(msgSend<std::string>(object, "viewDidAppear:", true), "hooked+base");
  Object baseObject(base);
  EXPECT_EQ(msgSend<std::string>(baseObject, "viewDidAppear:", true), "base");

  // addMethod never replaces a class's own method.
  EXPECT_FALSE(sub->addMethod("viewDidAppear:", Imp()));
  EXPECT_TRUE(sub->hasOwnInstanceMethod("viewDidAppear:"));
  EXPECT_FALSE(base->hasOwnInstanceMethod("viewDidDisappear:"));
}

TEST(RuntimeMethods, UnknownSelectorOrWrongSignatureIsRefusedWithAnException) {
  Class* cls = registerClass("SignatureCheck");
  cls->addMethod("count", makeInstanceImp<int>([](Object&) { return 3; }));
  Object object(cls);
  EXPECT_EQ(msgSend<int>(object, "count"), 3);
  try {
    msgSend<void>(object, "missing:", 1);
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), kInvalidArgumentException);
    EXPECT_EQ(e.reason(), "-[SignatureCheck missing:]: unrecognized selector sent to instance");
  }
  // The stored implementation returns int; asking for long is a different method.
  EXPECT_THROW(msgSend<long>(object, "count"), Exception);
  EXPECT_THROW(cls->sendClassMessage<int>("count"), Exception);
}

TEST(RuntimeSubclass, LiveObjectSwitchedToRuntimeSubclassRunsInterceptorThenRealMethod) {
  Class* real = registerClass("AppDelegateForProxy");
  real->addMethod("application:openURL:", makeInstanceImp<bool, std::string>([](Object&, std::string) { return false; }));
  real->addMethod("description", makeInstanceImp<std::string>([](Object&) { return std::string("<AppDelegateForProxy>"); }));
  auto delegate = std::make_shared<Object>(real);

  Class* proxy = allocateClassPair(real, "DAZ_AppDelegateForProxy-1");
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(classFromString("DAZ_AppDelegateForProxy-1"), nullptr);  // not findable before registration
  EXPECT_EQ(allocateClassPair(real, "AppDelegateForProxy"), nullptr);  // name taken

  std::vector<std::string> calls;
  Imp realImp = real->instanceMethod("application:openURL:");
  proxy->addMethod("application:openURL:", makeInstanceImp<bool, std::string>([&](Object& self, std::string url) {
    calls.push_back("interceptor " + url);
    bool result = true;  // the interceptor handled it
    return callImp<bool>(realImp, self, url) || result;
  }));
  registerClassPair(proxy);
  EXPECT_EQ(classFromString("DAZ_AppDelegateForProxy-1"), proxy);

  EXPECT_EQ(delegate->setClass(proxy), real);
  EXPECT_TRUE(delegate->isKindOfClass(real));
  EXPECT_TRUE(msgSend<bool>(*delegate, "application:openURL:", std::string("drosil://x")));
  EXPECT_EQ(calls, std::vector<std::string>{"interceptor drosil://x"});
  // Methods the subclass does not define still reach the real class.
  EXPECT_EQ(msgSend<std::string>(*delegate, "description"), "<AppDelegateForProxy>");
}

TEST(RuntimeAssociations, StrongWeakAndRemovalWithTheObject) {
  Class* cls = registerClass("AssociationHost");
  auto value = std::make_shared<int>(7);
  std::weak_ptr<int> watch = value;
  auto weakTarget = std::make_shared<int>(9);
  uintptr_t address = 0;
  {
    auto owner = std::make_unique<Object>(cls);
    Object& host = *owner;
    address = reinterpret_cast<uintptr_t>(&host);
    setAssociatedObject(&host, "strong", value, AssociationPolicy::RetainNonatomic);
    setAssociatedObject(&host, "weak", weakTarget, AssociationPolicy::Assign);
    value.reset();
    ASSERT_NE(getAssociatedObjectAs<int>(&host, "strong"), nullptr);
    EXPECT_EQ(*getAssociatedObjectAs<int>(&host, "strong"), 7);
    EXPECT_EQ(*getAssociatedObjectAs<int>(&host, "weak"), 9);
    weakTarget.reset();
    EXPECT_EQ(getAssociatedObject(&host, "weak"), nullptr);  // weak: gone with its target
    setAssociatedObject(&host, "other", std::make_shared<int>(1), AssociationPolicy::Retain);
    setAssociatedObject(&host, "other", nullptr, AssociationPolicy::Retain);
    EXPECT_EQ(getAssociatedObject(&host, "other"), nullptr);
  }
  // A dead object's associations must not leak to the next object at its address.
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(getAssociatedObject(reinterpret_cast<const void*>(address), "strong"), nullptr);
}

TEST(RuntimeMethods, ReplacingWhileOtherThreadsCallIsSafe) {
  Class* cls = registerClass("ConcurrentSwizzle");
  cls->addMethod("value", makeInstanceImp<int>([](Object&) { return 1; }));
  Object object(cls);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&] {
      while (!stop.load()) {
        int v = msgSend<int>(object, "value");
        if (v != 1 && v != 2) bad++;
      }
    });
  for (int i = 0; i < 2000; ++i)
    cls->replaceMethod("value", makeInstanceImp<int>([i](Object&) { return 1 + (i % 2); }));
  stop = true;
  for (auto& t : callers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

// What a crash report relies on: a message sent to a dead object faults
// within the dispatcher's first bytes, with the selector (a C string) in the
// second argument register. Arguments that are not copyable travel by move.
TEST(RuntimeDispatch, MessageToDeadObjectFaultsInsideTheDispatcherWithTheSelectorAtHand) {
  Class* cls = registerClass("DispatchMoveOnly");
  cls->addMethod("take:", makeInstanceImp<int, std::unique_ptr<int>>([](Object&, std::unique_ptr<int> p) { return *p; }));
  Object object(cls);
  EXPECT_EQ(msgSend<int>(object, "take:", std::make_unique<int>(7)), 7);

  static const char* const kSelector = "viewDidAppear:";
  static constexpr uintptr_t kWindow = 66;
  auto result = os::testing::runInChild([] {
    struct sigaction action {};
    action.sa_flags = SA_SIGINFO;
    action.sa_sigaction = [](int, siginfo_t*, void* context) {
      auto* uc = static_cast<ucontext_t*>(context);
      auto pc = uintptr_t(uc->uc_mcontext.gregs[REG_RIP]);
      auto entry = reinterpret_cast<uintptr_t>(&objc_msgSend);
      bool inside = pc >= entry && pc <= entry + kWindow;
      bool selector = uintptr_t(uc->uc_mcontext.gregs[REG_RSI]) == reinterpret_cast<uintptr_t>(kSelector);
      ::_exit(inside ? (selector ? 0 : 2) : 1);
    };
    sigaction(SIGSEGV, &action, nullptr);
    sigaction(SIGBUS, &action, nullptr);
    void* dead = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    msgSend<void>(*static_cast<Object*>(dead), kSelector, true);
    return std::string("the message did not fault");
  });
  EXPECT_TRUE(result.exited && result.exitCode == 0)
      << result.describe() << " (exit 1: fault outside the dispatcher, 2: selector not in the second argument)";
}

TEST(RuntimeBundles, AClassComesFromTheMainBundleUnlessItsRegistrationNamesAnother) {
  char pattern[] = "/tmp/drosil-runtime-bundle-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  std::filesystem::create_directories(root + "/Frameworks/Shipped.framework");
  Bundle::setMainBundlePath(root);
  struct Cleanup {
    std::string root;
    ~Cleanup() {
      Bundle::setMainBundlePath("");
      std::filesystem::remove_all(root);
    }
  } cleanup{root};

  static const ClassRegistration own{"BundleTestOwn", "NSObject"};
  static const ClassRegistration shipped{"BundleTestShipped", "NSObject",
                                         [](Class& c) { c.setBundleName("Shipped"); }};
  static const ClassRegistration system{"BundleTestSystem", "NSObject",
                                        [](Class& c) { c.setBundleName("SystemKit"); }};
  static const ClassRegistration sub{"BundleTestSystemSub", "BundleTestSystem"};

  auto main = Bundle::mainBundle();
  EXPECT_EQ(bundleForClass(*own.cls()), main);
  EXPECT_EQ(bundleForClass(*sub.cls()), main);  // not inherited
  EXPECT_EQ(bundleForClass(*shipped.cls()), Bundle::bundleNamed("Shipped"));
  auto systemBundle = bundleForClass(*system.cls());
  ASSERT_NE(systemBundle, nullptr);
  EXPECT_NE(systemBundle, main);
  EXPECT_EQ(systemBundle->bundlePath(), "/System/Frameworks/SystemKit.framework");
  EXPECT_EQ(bundleForClass(*system.cls()), systemBundle);  // compares by pointer
  EXPECT_TRUE(systemBundle->infoDictionary().empty());
}

}  // namespace
}  // namespace os::runtime
