#include "platform/utilities/swizzler.h"

#include <gtest/gtest.h>

namespace {

namespace rt = os::runtime;

using GreetImp = std::string(rt::Object&);

rt::Imp greeting(std::string text) {
  return rt::Imp(std::function<GreetImp>([text](rt::Object&) { return text; }));
}

TEST(SwizzlerTest, SwizzlingAnInheritedMethodChangesTheSubclassOnly) {
  rt::Class* base = rt::registerClass("DAZSwizzlerTestBase");
  base->addMethod("greet", greeting("base"));
  base->addClassMethod("make", rt::Imp(std::function<std::string(rt::Class&)>([](rt::Class&) { return "made"; })));
  rt::Class* sub = rt::registerClass("DAZSwizzlerTestSub", "DAZSwizzlerTestBase");
  rt::Object baseObject(base), subObject(sub);

  rt::Imp saved = DAZSwizzler::currentImplementationForClass(sub, "greet", false);
  ASSERT_TRUE(saved);
  rt::Imp block = rt::Imp(std::function<GreetImp>(
      [saved](rt::Object& self) { return "swizzled+" + rt::callImp<std::string>(saved, self); }));
  ASSERT_TRUE(DAZSwizzler::swizzleClass(sub, "greet", false, block));

  EXPECT_EQ(rt::msgSend<std::string>(subObject, "greet"), "swizzled+base");
  EXPECT_EQ(rt::msgSend<std::string>(baseObject, "greet"), "base");
  EXPECT_EQ(DAZSwizzler::currentImplementationForClass(sub, "greet", false), block);
  EXPECT_EQ(DAZSwizzler::currentImplementationForClass(base, "greet", false), saved);

  // Class methods go to the metaclass side.
  ASSERT_TRUE(DAZSwizzler::swizzleClass(
      sub, "make", true, rt::Imp(std::function<std::string(rt::Class&)>([](rt::Class&) { return "remade"; }))));
  EXPECT_EQ(sub->sendClassMessage<std::string>("make"), "remade");
  EXPECT_EQ(base->sendClassMessage<std::string>("make"), "made");
}

TEST(SwizzlerTest, LookupsAndRefusals) {
  rt::Class* cls = rt::registerClass("DAZSwizzlerTestLookup");
  cls->addMethod("greet", greeting("hi"));
  cls->addClassMethod("shared", rt::Imp(std::function<int(rt::Class&)>([](rt::Class&) { return 1; })));
  rt::Class* sub = rt::registerClass("DAZSwizzlerTestLookupSub", "DAZSwizzlerTestLookup");

  EXPECT_TRUE(DAZSwizzler::selector("greet", sub, false));
  EXPECT_TRUE(DAZSwizzler::selector("shared", sub, true));
  EXPECT_FALSE(DAZSwizzler::selector("shared", sub, false));
  EXPECT_FALSE(DAZSwizzler::selector("greet", nullptr, false));

  // Programming errors replace nothing.
  EXPECT_FALSE(DAZSwizzler::swizzleClass(sub, "missing", false, greeting("x")));
  EXPECT_FALSE(DAZSwizzler::swizzleClass(nullptr, "greet", false, greeting("x")));
  EXPECT_FALSE(DAZSwizzler::swizzleClass(sub, "", false, greeting("x")));
  EXPECT_FALSE(sub->hasOwnInstanceMethod("greet"));
  EXPECT_FALSE(sub->hasOwnInstanceMethod("missing"));
  EXPECT_FALSE(DAZSwizzler::currentImplementationForClass(sub, "missing", false));
  EXPECT_FALSE(DAZSwizzler::currentImplementationForClass(sub, "", false));
}

}  // namespace
