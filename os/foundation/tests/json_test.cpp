#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "os/foundation/json.h"

namespace os {
namespace {

Result<Value> parse(std::string_view text, JSONReadingOptions options = JSONReadingNone) {
  return JSONSerialization::JSONObjectWithData(Data::fromString(text), options);
}

std::string write(const Value& v, JSONWritingOptions options = JSONWritingNone) {
  auto data = JSONSerialization::dataWithJSONObject(v, options);
  EXPECT_TRUE(data) << (data ? "" : data.error().description());
  return data ? data->toString() : "";
}

void expectCocoaError(const Error& e, int64_t code) {
  EXPECT_EQ(e.domain(), kCocoaErrorDomain);
  EXPECT_EQ(e.code(), code);
  EXPECT_FALSE(e.localizedDescription().empty());
  EXPECT_TRUE(e.userInfo().contains(kDebugDescriptionErrorKey));
}

TEST(JSONTest, NumbersKeepTheirKind) {
  auto v = parse(R"([0, -1, 9223372036854775807, 9223372036854775808, 18446744073709551616, 1.5, 1e2, true, false, null, "x"])");
  ASSERT_TRUE(v) << v.error().description();
  const Array& a = *v->array();
  using K = Number::Kind;
  const K kinds[] = {K::Int64, K::Int64, K::Int64, K::UInt64, K::Double, K::Double, K::Double, K::Bool, K::Bool};
  for (size_t i = 0; i < std::size(kinds); ++i) EXPECT_EQ(a[i].number()->kind(), kinds[i]) << i;
  EXPECT_EQ(a[3].number()->uint64Value(), 9223372036854775808ull);
  EXPECT_EQ(a[6].doubleValue(), 100.0);
  EXPECT_TRUE(a[9].isNull());
  EXPECT_EQ(a[10], Value("x"));
}

TEST(JSONTest, NestedValuesRoundTrip) {
  Value v{{"name", "Drosil"},
          {"list", Value::arrayOf({1, -2.5, true, nullptr, "a/b \"q\" \\ \n\t\x01 é ☕"})},
          {"nested", Value{{"empty", Value::emptyDictionary()}, {"none", Value::arrayOf()}}},
          {"big", Value(Number::uint64(18446744073709551615ull))}};
  for (auto options : {JSONWritingNone, JSONWritingPrettyPrinted, JSONWritingWithoutEscapingSlashes}) {
    auto back = JSONSerialization::JSONObjectWithData(Data::fromString(write(v, options)));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, v);
    EXPECT_TRUE((*back)["list"][2].isBool());
    EXPECT_EQ((*back)["big"].number()->kind(), Number::Kind::UInt64);
  }
}

TEST(JSONTest, CompactAndPrettyText) {
  Value v{{"b", Value::arrayOf({1, 2.5, Value(Number::float32(0.1f)), false, nullptr})},
          {"a", "x/y"},
          {"c", Value::emptyDictionary()}};
  EXPECT_EQ(write(v), R"({"a":"x\/y","b":[1,2.5,0.1,false,null],"c":{}})");
  EXPECT_EQ(write(v, JSONWritingWithoutEscapingSlashes | JSONWritingSortedKeys),
            R"({"a":"x/y","b":[1,2.5,0.1,false,null],"c":{}})");
  EXPECT_EQ(write(v, JSONWritingPrettyPrinted),
            "{\n  \"a\" : \"x\\/y\",\n  \"b\" : [\n    1,\n    2.5,\n    0.1,\n    false,\n    null\n  ],\n"
            "  \"c\" : {\n\n  }\n}");
  EXPECT_EQ(write(Value("\x01\x1f\b\f\r"), JSONWritingFragmentsAllowed), R"("\u0001\u001f\b\f\r")");
}

TEST(JSONTest, MalformedInputIsACocoaError) {
  const std::string rejected[] = {
      "",                        // empty
      "{\"a\":",                 // truncated
      "[1, 2",                   // truncated
      "[1,]",                    // trailing comma
      "{'a':1}",                 // single quotes
      "{1:2}",                   // non-string key
      "[1] x",                   // trailing garbage
      "nul",                     // bad literal
      "[\"\xc3\x28\"]",          // invalid UTF-8
      "\xff\xfe[\x00]\x00",      // UTF-16 is not read
      "[1e400]",                 // out of range
      "[\"unterminated]",
      std::string(600, '[') + std::string(600, ']'),  // nesting beyond the limit
      std::string(200000, '['),  // deep garbage: must not exhaust the stack
      "1",                       // fragment without the option
      "\"x\"",
  };
  for (const auto& text : rejected) {
    auto v = parse(text);
    ASSERT_FALSE(v) << text.substr(0, 20);
    expectCocoaError(v.error(), 3840);
  }
}

TEST(JSONTest, FragmentsAndRepeatedKeysAndByteOrderMark) {
  EXPECT_EQ(parse("  42 ", JSONReadingFragmentsAllowed), Value(42));
  EXPECT_EQ(parse("\"x\"", JSONReadingFragmentsAllowed), Value("x"));
  EXPECT_EQ(parse("null", JSONReadingFragmentsAllowed), Value());
  EXPECT_EQ(parse(R"({"k":1,"k":2})"), (Value{{"k", 2}}));
  EXPECT_EQ(parse("\xef\xbb\xbf[1]"), Value::arrayOf({1}));
  EXPECT_EQ(parse(R"(["\u00e9\ud83d\ude00\/"])"), Value::arrayOf({"é😀/"}));
}

TEST(JSONTest, UnwritableValuesAreErrors) {
  struct Case {
    const char* name;
    Value value;
    bool valid;
  } cases[] = {
      {"dictionary", Value{{"a", 1}}, true},
      {"array with null", Value::arrayOf({nullptr}), true},
      {"data", Value::arrayOf({Data::fromString("x")}), false},
      {"date", Value{{"d", Date::now()}}, false},
      {"NaN", Value::arrayOf({std::nan("")}), false},
      {"infinity", Value::arrayOf({HUGE_VAL}), false},
      {"top-level string", Value("x"), false},
      {"top-level number", Value(1), false},
      {"string not UTF-8", Value::arrayOf({"\xc3"}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JSONSerialization::isValidJSONObject(c.value), c.valid) << c.name;
    auto data = JSONSerialization::dataWithJSONObject(c.value);
    EXPECT_EQ(data.has_value(), c.valid) << c.name;
    if (!data) expectCocoaError(data.error(), 3840);
  }
  EXPECT_TRUE(JSONSerialization::dataWithJSONObject(Value(1), JSONWritingFragmentsAllowed));

  Value deep = Value::arrayOf();
  for (int i = 0; i < 600; ++i) deep = Value::arrayOf({deep});
  EXPECT_FALSE(JSONSerialization::dataWithJSONObject(deep));
}

}  // namespace
}  // namespace os
