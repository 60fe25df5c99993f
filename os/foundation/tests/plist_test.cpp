#include <gtest/gtest.h>

#include <random>
#include <string>

#include "os/foundation/plist.h"

namespace os {
namespace {

using Format = PropertyListSerialization::Format;

Value sample() {
  return Value{
      {"string", "Drosil ☕ <&> \"quoted\""},
      {"empty", ""},
      {"ints", Value::arrayOf({0, -1, 42, Value(Number::int64(INT64_MIN)), Value(Number::int64(INT64_MAX)),
                               Value(Number::uint64(1ull << 40))})},
      {"reals", Value::arrayOf({0.1, -2.5, 1e-300, 1.7976931348623157e308, 6500.0})},
      {"flags", Value::arrayOf({true, false})},
      {"data", Data(std::vector<uint8_t>{0, 1, 2, 0xff})},
      {"date", Date::fromTimeIntervalSinceReferenceDate(730000000)},
      {"nested", Value{{"deeper", Value{{"list", Value::arrayOf({Value::emptyDictionary(), Value::arrayOf()})}}}}},
  };
}

Data bytes(std::string_view s) { return Data::fromString(s); }

TEST(PropertyListTest, NestedValuesRoundTripInBothFormats) {
  for (Format format : {Format::XML, Format::Binary}) {
    SCOPED_TRACE(int(format));
    auto data = PropertyListSerialization::dataWithPropertyList(sample(), format);
    ASSERT_TRUE(data) << data.error().description();
    Format detected{};
    auto back = PropertyListSerialization::propertyListWithData(*data, &detected);
    ASSERT_TRUE(back) << back.error().description();
    EXPECT_EQ(detected, format);
    EXPECT_EQ(*back, sample());
    // Kinds survive where the format keeps them.
    EXPECT_TRUE((*back)["flags"][0].isBool());
    EXPECT_EQ((*back)["ints"][3].number()->kind(), Number::Kind::Int64);
    EXPECT_EQ((*back)["ints"][3].number()->int64Value(), INT64_MIN);
    EXPECT_EQ((*back)["reals"][4].number()->kind(), Number::Kind::Double);
    EXPECT_EQ((*back)["reals"][0].doubleValue(), 0.1);
  }
}

TEST(PropertyListTest, DatesKeepFractionsInBinaryAndWholeSecondsInXML) {
  const Date when = Date::fromTimeIntervalSinceReferenceDate(730000000.25);
  const std::pair<Format, Date> cases[] = {{Format::Binary, when},
                                           {Format::XML, Date::fromTimeIntervalSinceReferenceDate(730000000)}};
  for (auto [format, expected] : cases) {
    auto data = PropertyListSerialization::dataWithPropertyList(Value::arrayOf({when}), format);
    ASSERT_TRUE(data);
    EXPECT_EQ(PropertyListSerialization::propertyListWithData(*data), Value::arrayOf({expected}));
  }
}

TEST(PropertyListTest, ReadsHandWrittenXML) {
  const char* xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>API_KEY</key>
	<string>AIzaExample</string>
	<key>IS_MEASUREMENT_ENABLED</key>
	<false/>
	<key>Timeout</key>
	<integer>-30</integer>
	<key>Rate</key>
	<real>0.5</real>
	<key>When</key>
	<date>2024-03-05T14:07:09Z</date>
	<key>Blob</key>
	<data>AAEC/w==</data>
</dict>
</plist>
)";
  auto v = PropertyListSerialization::propertyListWithData(bytes(xml));
  ASSERT_TRUE(v) << v.error().description();
  EXPECT_EQ((*v)["API_KEY"], Value("AIzaExample"));
  EXPECT_TRUE((*v)["IS_MEASUREMENT_ENABLED"].isBool());
  EXPECT_EQ((*v)["Timeout"].int64Value(), -30);
  EXPECT_EQ((*v)["Rate"].doubleValue(), 0.5);
  EXPECT_EQ((*v)["When"], Value(Date::fromTimeIntervalSince1970(1709647629)));
  EXPECT_EQ((*v)["Blob"], Value(Data(std::vector<uint8_t>{0, 1, 2, 0xff})));
}

TEST(PropertyListTest, UnwritableValuesAreErrors) {
  struct Case {
    const char* name;
    Value value;
  } cases[] = {
      {"null", Value()},
      {"nested null", Value{{"a", Value::arrayOf({nullptr})}}},
      // The library stores 64 signed bits: this would read back as -1.
      {"unsigned above INT64_MAX", Value::arrayOf({Value(Number::uint64(UINT64_MAX))})},
      // A C-string API would cut this short without a word.
      {"string with NUL", Value(std::string("a\0b", 3))},
      {"key with NUL", Value{{std::string("k\0", 2), 1}}},
      {"string not UTF-8", Value("\xc3")},
      {"date out of range", Value(Date::distantFuture())},
  };
  for (const auto& c : cases) {
    for (Format format : {Format::XML, Format::Binary}) {
      EXPECT_FALSE(PropertyListSerialization::propertyList(c.value, format)) << c.name;
      auto data = PropertyListSerialization::dataWithPropertyList(c.value, format);
      ASSERT_FALSE(data) << c.name;
      EXPECT_EQ(data.error().domain(), kCocoaErrorDomain);
      EXPECT_EQ(data.error().code(), kPropertyListWriteInvalidError);
    }
  }
  EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(Value(1), Format::OpenStep));
}

TEST(PropertyListTest, MalformedInputIsACocoaError) {
  auto binary = PropertyListSerialization::dataWithPropertyList(sample(), Format::Binary);
  ASSERT_TRUE(binary);
  const std::string rejected[] = {
      "",
      "garbage",
      "{\"a\": 1}",                                             // JSON is not a property list
      "<plist version=\"1.0\"><dict><key>a</key>",             // truncated XML
      "bplist00",                                               // header only
      "bplist00\xff\xff\xff\xff\xff\xff\xff\xff",
      binary->toString().substr(0, binary->length() / 2),       // truncated binary
      // The XML parser passed these bytes through: a string that no writer takes.
      "<plist version=\"1.0\"><string>caf\xe9</string></plist>",
      "<plist version=\"1.0\"><dict><key>\xff</key><true/></dict></plist>",
  };
  for (const auto& text : rejected) {
    auto v = PropertyListSerialization::propertyListWithData(bytes(text));
    ASSERT_FALSE(v) << text.substr(0, 30);
    EXPECT_EQ(v.error().domain(), kCocoaErrorDomain);
    EXPECT_EQ(v.error().code(), kPropertyListReadCorruptError);
    EXPECT_FALSE(v.error().localizedDescription().empty());
  }
}

TEST(PropertyListTest, DamagedBytesNeverCrash) {
  std::mt19937 rng(1234);
  for (Format format : {Format::Binary, Format::XML}) {
    auto good = PropertyListSerialization::dataWithPropertyList(sample(), format);
    ASSERT_TRUE(good);
    for (int round = 0; round < 2000; ++round) {
      Data damaged = *good;
      int flips = 1 + int(rng() % 4);
      for (int i = 0; i < flips; ++i) damaged.mutableBytes()[rng() % damaged.length()] = uint8_t(rng());
      if (rng() % 4 == 0) damaged.resize(rng() % damaged.length());
      // Either outcome is fine; reaching the next round is the test.
      (void)PropertyListSerialization::propertyListWithData(damaged);
    }
  }
}

// 200,000 nested XML arrays overflowed the stack inside the library, which
// builds and frees its tree recursively before any depth check of ours.
TEST(PropertyListTest, DeepNestingIsRefusedNotOverflowed) {
  std::string xml = "<plist version=\"1.0\">";
  for (int i = 0; i < 200000; ++i) xml += "<array>";
  EXPECT_FALSE(PropertyListSerialization::propertyListWithData(bytes(xml)));
  for (int i = 0; i < 200000; ++i) xml += "</array>";
  xml += "</plist>";
  EXPECT_FALSE(PropertyListSerialization::propertyListWithData(bytes(xml)));

  // The deepest list that can be read is read, whatever its markup holds;
  // one level more is refused.
  auto nested = [](int levels, const std::string& inner) {
    std::string out = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist SYSTEM \"plist.dtd\">\n<plist version='1.0'>";
    for (int i = 0; i < levels; ++i) out += "<array><!-- <array> -->";
    out += inner;
    for (int i = 0; i < levels; ++i) out += "</array>";
    return out + "</plist>";
  };
  const int max = PropertyListSerialization::kMaximumDepth;
  for (const std::string inner : {"<string>a&lt;b</string>", "<string><![CDATA[<array><array>]]></string>", "<true/>"}) {
    SCOPED_TRACE(inner);
    EXPECT_TRUE(PropertyListSerialization::propertyListWithData(bytes(nested(max, inner))));
    EXPECT_FALSE(PropertyListSerialization::propertyListWithData(bytes(nested(max + 1, inner))));
  }

  Value deep = Value::arrayOf();
  for (int i = 0; i < 600; ++i) deep = Value::arrayOf({deep});
  EXPECT_FALSE(PropertyListSerialization::dataWithPropertyList(deep, Format::Binary));
}

}  // namespace
}  // namespace os
