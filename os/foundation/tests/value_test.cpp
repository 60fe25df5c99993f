#include <gtest/gtest.h>

#include <unordered_set>

#include "os/foundation/value.h"

namespace os {
namespace {

TEST(NumberTest, EqualityAcrossKinds) {
  struct Case {
    Number a, b;
    bool equal;
  };
  const Case cases[] = {
      {Number::int32(1), Number::float64(1.0), true},
      {Number::boolean(true), Number::int8(1), true},
      {Number::boolean(false), Number::float32(0.0f), true},
      {Number::uint64(18446744073709551615ull), Number::int64(-1), false},
      {Number::uint64(5), Number::int16(5), true},
      {Number::float64(0.5), Number::int32(0), false},
      {Number::float32(0.1f), Number::float64(0.1), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
    if (c.equal) {
      EXPECT_EQ(c.a.hash(), c.b.hash()) << c.a.description();
    }
  }
}

TEST(ValueTest, NestedEqualityHashAndCopy) {
  Value v{{"a", Value::arrayOf({1, 2.5, "x"})}, {"b", Value{{"c", true}}}};
  Value copy = v;
  EXPECT_EQ(v, copy);
  copy.set("d", nullptr);
  EXPECT_NE(v, copy);
  EXPECT_EQ(v["a"][1].doubleValue(), 2.5);
  EXPECT_TRUE(v["b"]["c"].isBool());
  EXPECT_TRUE(v["missing"]["deeper"].isNull());

  std::unordered_set<Value> set{Value(1), Value(1.0), Value(true), Value("1")};
  EXPECT_EQ(set.size(), 2u);  // 1, 1.0 and true are one key
}

TEST(ValueTest, ConversionsAsThePlatformDoes) {
  EXPECT_EQ(Value("12").int64Value(), 12);
  EXPECT_EQ(Value(" 7abc").int64Value(), 7);
  EXPECT_EQ(Value(true).doubleValue(), 1.0);
  EXPECT_TRUE(Value("YES").boolValue());
  EXPECT_FALSE(Value("0").boolValue());
  EXPECT_EQ(Value(3.75).int64Value(), 3);
  EXPECT_EQ(Value(Data()).int64Value(42), 42);
}

TEST(ValueTest, Description) {
  EXPECT_EQ(Value("plain").description(), "plain");
  EXPECT_EQ(Value(1.5).description(), "1.5");
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value::arrayOf({1, "a b"}).description(), "(\n    1,\n    \"a b\"\n)");
  EXPECT_EQ(Value({{"k", 1}}).description(), "{\n    k = 1;\n}");
}

}  // namespace
}  // namespace os
