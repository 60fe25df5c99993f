#include <gtest/gtest.h>

#include <cstring>

#include "os/foundation/encoding.h"

namespace os {
namespace {

Data bytes(std::initializer_list<uint8_t> b) { return Data(std::vector<uint8_t>(b)); }

TEST(Base64Test, RFC4648Vectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, encoded] : cases) {
    EXPECT_EQ(base64EncodedString(Data::fromString(plain)), encoded);
    EXPECT_EQ(base64DecodedData(encoded), Data::fromString(plain)) << encoded;
  }
}

TEST(Base64Test, EveryByteValueRoundTrips) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  for (size_t n = 0; n <= 256; n += 1) {
    Data d(all.data(), n);
    EXPECT_EQ(base64DecodedData(base64EncodedString(d)), d);
    EXPECT_EQ(base64URLDecodedData(base64URLEncodedString(d)), d);
  }
}

TEST(Base64Test, StrictDecodingRejectsMalformedText) {
  const char* rejected[] = {
      "Zg",        // padding missing
      "Zg=",       // padding short
      "Zg===",     // padding long
      "Z===",      // one digit cannot make a byte
      "====",      // padding only
      "Zh==",      // unused bits set
      "Zg==Zg==",  // digits after padding
      "Zm9v\n",    // line break
      "Zm9v YmFy", // space
      "Zm-v",      // URL-safe alphabet
      "Zm9\xff",   // non-ASCII
  };
  for (const char* text : rejected) EXPECT_FALSE(base64DecodedData(text)) << text;
}

TEST(Base64Test, IgnoreUnknownCharactersSkipsOnlyForeignCharacters) {
  auto opt = Base64DecodingOptions::IgnoreUnknownCharacters;
  EXPECT_EQ(base64DecodedData("Zm9v\r\nYmFy", opt), Data::fromString("foobar"));
  EXPECT_EQ(base64DecodedData(" Zm9v YmE= ", opt), Data::fromString("fooba"));
  EXPECT_FALSE(base64DecodedData("Zm9vYmE", opt));  // still needs its padding
}

TEST(Base64URLTest, UsesTheURLAlphabetWithoutPadding) {
  Data d = bytes({0xfb, 0xff});
  EXPECT_EQ(base64EncodedString(d), "+/8=");
  EXPECT_EQ(base64URLEncodedString(d), "-_8");
  EXPECT_EQ(base64URLDecodedData("-_8"), d);
  EXPECT_EQ(base64URLDecodedData("-_8="), d);
  const char* rejected[] = {"+/8", "-_8==", "-", "-_8=x", "-_ 8"};
  for (const char* text : rejected) EXPECT_FALSE(base64URLDecodedData(text)) << text;
}

TEST(HexTest, LowerCaseOutAnyCaseIn) {
  Data d = bytes({0x00, 0x7f, 0xab, 0xff});
  EXPECT_EQ(hexString(d), "007fabff");
  EXPECT_EQ(hexDecodedData("007FaBff"), d);
  EXPECT_EQ(hexDecodedData(""), Data());
  EXPECT_FALSE(hexDecodedData("abc"));
  EXPECT_FALSE(hexDecodedData("0g"));
}

TEST(PercentEncodingTest, EachPlatformSetKeepsItsOwnCharacters) {
  const std::string input = "a b&c=d/e?f#g@h:i[j]+%";
  struct Case {
    const char* name;
    const CharacterSet& set;
    const char* expected;
  } cases[] = {
      {"query", CharacterSet::URLQueryAllowedCharacterSet(), "a%20b&c=d/e?f%23g@h:i%5Bj%5D+%25"},
      {"fragment", CharacterSet::URLFragmentAllowedCharacterSet(), "a%20b&c=d/e?f%23g@h:i%5Bj%5D+%25"},
      {"path", CharacterSet::URLPathAllowedCharacterSet(), "a%20b&c=d/e%3Ff%23g@h:i%5Bj%5D+%25"},
      {"host", CharacterSet::URLHostAllowedCharacterSet(), "a%20b&c=d%2Fe%3Ff%23g%40h:i[j]+%25"},
      {"user", CharacterSet::URLUserAllowedCharacterSet(), "a%20b&c=d%2Fe%3Ff%23g%40h%3Ai%5Bj%5D+%25"},
      {"password", CharacterSet::URLPasswordAllowedCharacterSet(), "a%20b&c=d%2Fe%3Ff%23g%40h%3Ai%5Bj%5D+%25"},
      {"alphanumerics", CharacterSet::alphanumericCharacterSet(),
       "a%20b%26c%3Dd%2Fe%3Ff%23g%40h%3Ai%5Bj%5D%2B%25"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stringByAddingPercentEncodingWithAllowedCharacters(input, c.set), c.expected) << c.name;
    EXPECT_EQ(stringByRemovingPercentEncoding(c.expected), input) << c.name;
  }
}

TEST(PercentEncodingTest, NonASCIIIsEncodedAsUTF8UnlessAlphanumeric) {
  const auto& query = CharacterSet::URLQueryAllowedCharacterSet();
  EXPECT_EQ(stringByAddingPercentEncodingWithAllowedCharacters("café ☕", query), "caf%C3%A9%20%E2%98%95");
  // Unicode letters are alphanumerics; a symbol is not.
  EXPECT_EQ(stringByAddingPercentEncodingWithAllowedCharacters("café☕", CharacterSet::alphanumericCharacterSet()),
            "café%E2%98%95");
  // Bytes that are not UTF-8 are encoded one by one, never dropped.
  EXPECT_EQ(stringByAddingPercentEncodingWithAllowedCharacters("a\xff\xc3", query), "a%FF%C3");
  auto custom = query.removingCharactersInString("&=+").addingCharactersInString(" ");
  EXPECT_EQ(stringByAddingPercentEncodingWithAllowedCharacters("k=v&w+x y", custom), "k%3Dv%26w%2Bx y");
}

TEST(PercentEncodingTest, DecodingRejectsBrokenEscapesAndNonUTF8) {
  EXPECT_EQ(stringByRemovingPercentEncoding("a%20b%c3%A9"), "a bé");
  EXPECT_EQ(stringByRemovingPercentEncoding("plain"), "plain");
  const char* rejected[] = {"%", "abc%", "%2", "%zz", "%2G", "%FF", "%C3", "%ED%A0%80" /* surrogate */};
  for (const char* text : rejected) EXPECT_FALSE(stringByRemovingPercentEncoding(text)) << text;
}

TEST(CharacterSetTest, CategorySetsAdmitNonASCIIByCategoryAndCombine) {
  // Letters without combining marks, plus decimal digits and "_": the shape of
  // a name check.
  const CharacterSet name = CharacterSet::letterCharacterSet()
                                .subtracting(CharacterSet::nonBaseCharacterSet())
                                .unioning(CharacterSet::decimalDigitCharacterSet())
                                .addingCharactersInString("_");
  struct Case {
    char32_t c;
    bool letter, nonBase, digit, inName;
  } cases[] = {
      {U'a', true, false, false, true},       {U'_', false, false, false, true},
      {U'7', false, false, true, true},       {U'\u00E9', true, false, false, true},   // é
      {U'\u0301', true, true, false, false},  // combining acute accent
      {U'\u0663', false, false, true, true},  // Arabic-Indic three
      {U'\u00BD', false, false, false, false},  // ½ is a number, not a digit
      {U'\U0001D400', true, false, false, true},  // mathematical bold A
      {U'-', false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(uint32_t(c.c));
    EXPECT_EQ(CharacterSet::letterCharacterSet().characterIsMember(c.c), c.letter);
    EXPECT_EQ(CharacterSet::nonBaseCharacterSet().characterIsMember(c.c), c.nonBase);
    EXPECT_EQ(CharacterSet::decimalDigitCharacterSet().characterIsMember(c.c), c.digit);
    EXPECT_EQ(name.characterIsMember(c.c), c.inName);
  }
}

TEST(UTF32Test, LengthCountsCodePointsAndBoundedConversionWritesWholeOnes) {
  const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80";  // a, é, U+1F600
  EXPECT_EQ(utf32Length(text), 3u);
  EXPECT_EQ(utf32Length(""), 0u);
  EXPECT_EQ(utf32Length("a\xFF\xC3"), 3u);  // each ill-formed byte is one U+FFFD

  uint8_t buffer[16];
  size_t used = 99;
  ASSERT_TRUE(getUTF32LEBytes(text, buffer, sizeof buffer, &used));
  EXPECT_EQ(used, 12u);
  const uint8_t expected[12] = {0x61, 0, 0, 0, 0xE9, 0, 0, 0, 0x00, 0xF6, 0x01, 0};
  EXPECT_EQ(0, std::memcmp(buffer, expected, 12));
  // Only whole code points fit: 11 bytes hold two.
  ASSERT_TRUE(getUTF32LEBytes(text, buffer, 11, &used));
  EXPECT_EQ(used, 8u);
  EXPECT_FALSE(getUTF32LEBytes(text, buffer, 3, &used));
  EXPECT_EQ(used, 0u);
  EXPECT_FALSE(getUTF32LEBytes("", buffer, sizeof buffer));
}

}  // namespace
}  // namespace os
