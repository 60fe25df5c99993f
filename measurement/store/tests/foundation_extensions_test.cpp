#include "measurement/store/foundation_extensions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(FoundationExtensionsTest, DigestsAndTheirLow64Bits) {
  EXPECT_EQ(apm_64LeastSignificantBits(os::Data("\x01\x02\x03", 3)), 66051);
  EXPECT_EQ(apm_64LeastSignificantBits(os::Data()), 0);
  EXPECT_EQ(apm_64LeastSignificantBits(os::Data("\xFF\x00\x00\x00\x00\x00\x00\x00\x01", 9)), 1) << "the last eight";
  // MD5("abc") = 900150983cd24fb0 d6963f7d28e17f72.
  EXPECT_EQ(apm_64LSBMD5(os::Data::fromString("abc")), static_cast<int64_t>(0xd6963f7d28e17f72ULL));
  EXPECT_LT(apm_64LSBMD5(os::Data::fromString("abc")), 0);
  EXPECT_EQ(apm_MD5Data(os::Data::fromString("abc")).length(), 16u);
  EXPECT_EQ(apm_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_FALSE(apm_MD5String("\xFF"));
}

TEST(FoundationExtensionsTest, QueryStringsBothWays) {
  struct Case {
    const char* query;
    os::Dictionary expected;
  } cases[] = {
      {"a=1&a=2", {{"a", os::Value("1")}}},
      {"a&b=", {{"a", os::Value("")}, {"b", os::Value("")}}},
      {"x=1=2", {{"x", os::Value("1=2")}}},
      {"a+b=c%20d", {{"a b", os::Value("c d")}}},
      {"k=%zz&&", {{"k", os::Value("")}}},
      {"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(apm_dictionaryWithHttpArgumentsString(c.query), c.expected);
  }
  EXPECT_EQ(apm_queryString({{"app id", os::Value("1:2&b=c")}, {"n", os::Value(5)}}), "app%20id=1:2&b=c&n=5");
  EXPECT_EQ(apm_queryString({}), "");
}

TEST(FoundationExtensionsTest, BitsAndUTF32Measures) {
  for (int64_t index : {1, 3}) EXPECT_TRUE(isBitEnabledAtIndex("0101", index)) << index;
  for (int64_t index : {0, 2, 4, -1}) EXPECT_FALSE(isBitEnabledAtIndex("0101", index)) << index;
  // Positions count UTF-16 units: the emoji takes two.
  EXPECT_TRUE(isBitEnabledAtIndex("\xF0\x9F\x98\x80" "1", 2));

  const std::string outside = "\xF0\x9F\x98\x80";  // U+1F600
  EXPECT_EQ(apm_UTF32Length(outside), 1u);
  uint8_t first[4] = {};
  EXPECT_TRUE(apm_getUTF32Bytes(outside + "a", first, sizeof first));
  EXPECT_EQ(first[0] | first[1] << 8 | first[2] << 16 | first[3] << 24, 0x1F600);
  EXPECT_FALSE(apm_getUTF32Bytes("a", first, 3));
  EXPECT_EQ(apm_stringByUnescapingFromURLArgument("a+b%2Bc"), "a b+c");
  EXPECT_FALSE(apm_stringByUnescapingFromURLArgument("%"));
}

}  // namespace
