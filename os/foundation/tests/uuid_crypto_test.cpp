#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>

#include "os/foundation/crypto.h"
#include "os/foundation/encoding.h"
#include "os/foundation/uuid.h"
#include "os/testing/child_process.h"

namespace os {
namespace {

// Mended: random bytes came from the crypto library, whose exit handler frees
// its locks while other threads may still draw, so a process that exited with
// work under way crashed.
TEST(RandomTest, BytesCanBeDrawnWhileTheProcessExits) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    const auto result = os::testing::runInChild([] {
      std::atomic<int> draws{0};
      std::thread([&draws] {
        for (;;) {
          random64();
          draws.fetch_add(1);
        }
      }).detach();
      while (draws.load() < 1000) std::this_thread::yield();
      std::exit(0);  // runs the exit handlers with the thread still drawing
      return std::string();
    }, 30);
    EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  }
}

TEST(UUIDTest, TextIsUpperCaseGroupsOfTheBytes) {
  UUID u(UUID::Bytes{0xe6, 0x21, 0xe1, 0xf8, 0xc3, 0x6c, 0x49, 0x5a, 0x93, 0xfc, 0x0c, 0x24, 0x7a, 0x3e, 0x6e, 0x5f});
  EXPECT_EQ(u.UUIDString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(UUID::initWithUUIDString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"), u);
  uint8_t raw[16];
  u.getUUIDBytes(raw);
  EXPECT_EQ(UUID(std::to_array(raw)), u);
}

TEST(UUIDTest, ParsingRejectsAnythingButTheCanonicalShape) {
  const char* rejected[] = {
      "",
      "E621E1F8C36C495A93FC0C247A3E6E5F",       // no hyphens
      "{E621E1F8-C36C-495A-93FC-0C247A3E6E5F}",  // braces
      " E621E1F8-C36C-495A-93FC-0C247A3E6E5F",   // leading space
      "E621E1F8-C36C-495A-93FC-0C247A3E6E5",     // short
      "E621E1F8-C36C-495A-93FC-0C247A3E6E5F0",   // long
      "E621E1F8-C36C-495A-93FC0-C247A3E6E5F",    // hyphen misplaced
      "G621E1F8-C36C-495A-93FC-0C247A3E6E5F",    // non-hex digit
      "E621E1F8-C36C-495A-93FC+0C247A3E6E5F",    // wrong separator
  };
  for (const char* text : rejected) EXPECT_FALSE(UUID::initWithUUIDString(text)) << text;
}

TEST(UUIDTest, RandomUUIDsAreVersion4AndDistinct) {
  std::unordered_set<UUID> seen;
  for (int i = 0; i < 1000; ++i) {
    UUID u;
    EXPECT_EQ(u.bytes()[6] >> 4, 4);
    EXPECT_EQ(u.bytes()[8] & 0xC0, 0x80);
    std::string text = u.UUIDString();
    EXPECT_EQ(text[14], '4');
    EXPECT_EQ(UUID::initWithUUIDString(text), u);
    seen.insert(u);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

struct DigestCase {
  std::string input;
  const char* md5;
  const char* sha1;
  const char* sha256;
};

TEST(DigestTest, PublishedTestVectors) {
  // RFC 1321 appendix A.5; FIPS 180 examples (nullptr: no published vector used).
  const DigestCase cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"a", "0cc175b9c0f1b6a831c399e269772661", nullptr, nullptr},
      {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", nullptr, nullptr},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b", nullptr, nullptr},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a", nullptr, nullptr},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", nullptr,
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), nullptr, "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 20));
    if (c.md5) { EXPECT_EQ(hexString(md5(c.input)), c.md5); }
    if (c.sha1) { EXPECT_EQ(hexString(sha1(c.input)), c.sha1); }
    if (c.sha256) { EXPECT_EQ(hexString(sha256(Data::fromString(c.input))), c.sha256); }
  }
  EXPECT_EQ(md5("abc").length(), kMD5DigestLength);
  EXPECT_EQ(sha1("abc").length(), kSHA1DigestLength);
  EXPECT_EQ(sha256("abc").length(), kSHA256DigestLength);
}

TEST(RandomTest, UniformStaysInRangeAndCoversIt) {
  EXPECT_EQ(randomUniform(0), 0u);
  EXPECT_EQ(randomUniform(1), 0u);
  std::set<uint32_t> seen;
  for (int i = 0; i < 600; ++i) {
    uint32_t r = randomUniform(3);
    ASSERT_LT(r, 3u);
    seen.insert(r);
  }
  EXPECT_EQ(seen.size(), 3u);
  // Near the top of the range, where a plain modulo would be most biased.
  for (int i = 0; i < 100; ++i) EXPECT_LT(randomUniform(0x80000001u), 0x80000001u);
}

TEST(RandomTest, BytesHaveTheLengthAskedAndDiffer) {
  EXPECT_TRUE(randomBytes(0).empty());
  Data a = randomBytes(32), b = randomBytes(32);
  EXPECT_EQ(a.length(), 32u);
  EXPECT_NE(a, b);
  EXPECT_EQ(randomBytes(100000).length(), 100000u);
}

}  // namespace
}  // namespace os
