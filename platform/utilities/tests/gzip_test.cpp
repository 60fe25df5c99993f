#include "platform/utilities/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace {

os::Data randomishBytes(size_t length, uint32_t seed) {
  // Half repetitive text, half noise: exercises both literal and match output.
  std::mt19937 random(seed);
  std::string s;
  s.reserve(length);
  while (s.size() < length) {
    if (random() % 2) {
      s += "{\"name\":\"screen_view\",\"value\":" + std::to_string(random() % 1000) + "}";
    } else {
      for (int i = 0; i < 64; ++i) s.push_back(static_cast<char>(random()));
    }
  }
  s.resize(length);
  return os::Data::fromString(s);
}

os::Data gzipOf(const os::Data& data) {
  auto result = DAZGzip::daz_dataByGzippingData(data);
  EXPECT_TRUE(result.has_value());
  EXPECT_TRUE(result->has_value());
  return result->value_or(os::Data());
}

int64_t zlibStatusOf(const os::Error& error) {
  auto status = error.userInfo().find(kDAZNSDataZlibErrorKey);
  return status != error.userInfo().end() ? status->second.int64Value(999) : 999;
}

TEST(DAZGzipTest, RoundTripsInputsOfEverySize) {
  struct Case {
    const char* name;
    os::Data input;
  };
  const Case cases[] = {
      {"abc", os::Data::fromString("abc")},
      {"one byte", os::Data::fromString("x")},
      {"exactly one chunk", randomishBytes(1024, 1)},
      {"incompressible 100 KB", randomishBytes(100 * 1024, 2)},
      {"large 5 MB", randomishBytes(5 * 1024 * 1024, 3)},
      {"long run of zeros", os::Data(std::vector<uint8_t>(3 * 1024 * 1024, 0))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::Data gzipped = gzipOf(c.input);
    ASSERT_GE(gzipped.length(), 18u);
    EXPECT_EQ(gzipped[0], 0x1F);
    EXPECT_EQ(gzipped[1], 0x8B);
    auto inflated = DAZGzip::daz_dataByInflatingGzippedData(gzipped);
    ASSERT_TRUE(inflated.has_value()) << inflated.error().description();
    ASSERT_TRUE(inflated->has_value());
    EXPECT_TRUE(**inflated == c.input);
  }
}

TEST(DAZGzipTest, EmptyInputGivesNothingAndNoError) {
  auto gzipped = DAZGzip::daz_dataByGzippingData(os::Data());
  ASSERT_TRUE(gzipped.has_value());
  EXPECT_FALSE(gzipped->has_value());
  auto inflated = DAZGzip::daz_dataByInflatingGzippedData(os::Data());
  ASSERT_TRUE(inflated.has_value());
  EXPECT_FALSE(inflated->has_value());
}

TEST(DAZGzipTest, InflatesZlibWrappedStream) {
  const std::string text(5000, 'q');
  uLongf length = compressBound(text.size());
  std::vector<uint8_t> wrapped(length);
  ASSERT_EQ(compress(wrapped.data(), &length, reinterpret_cast<const Bytef*>(text.data()), text.size()), Z_OK);
  wrapped.resize(length);
  ASSERT_EQ(wrapped[0], 0x78);  // zlib header, not gzip
  auto inflated = DAZGzip::daz_dataByInflatingGzippedData(os::Data(wrapped));
  ASSERT_TRUE(inflated.has_value());
  EXPECT_EQ((*inflated)->toString(), text);
}

TEST(DAZGzipTest, DamagedStreamsFailWithZlibError) {
  const os::Data gzipped = gzipOf(randomishBytes(20000, 4));
  os::Data headerOnly = gzipped.subdata(0, 10);
  os::Data bitFlipped = gzipped;
  bitFlipped.mutableBytes()[gzipped.length() - 6] ^= 0xFF;  // CRC32 of the trailer
  os::Data badLength = gzipped;
  badLength.mutableBytes()[gzipped.length() - 4] ^= 0x40;  // length field, also the size hint
  struct Case {
    const char* name;
    os::Data input;
    int status;
  };
  const Case cases[] = {
      {"not compressed at all", os::Data::fromString("this is plainly not a gzip stream"), Z_DATA_ERROR},
      {"single garbage byte", os::Data::fromString("\x01"), Z_BUF_ERROR},
      {"cut in half", gzipped.subdata(0, gzipped.length() / 2), Z_BUF_ERROR},
      {"header only", headerOnly, Z_BUF_ERROR},
      {"bad checksum", bitFlipped, Z_DATA_ERROR},
      {"bad length", badLength, Z_DATA_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto inflated = DAZGzip::daz_dataByInflatingGzippedData(c.input);
    ASSERT_FALSE(inflated.has_value());
    EXPECT_EQ(inflated.error().domain(), kDAZNSDataZlibErrorDomain);
    EXPECT_EQ(inflated.error().code(), 1025);
    EXPECT_EQ(zlibStatusOf(inflated.error()), c.status);
  }
  // zlib's own message becomes the description.
  auto garbage = DAZGzip::daz_dataByInflatingGzippedData(os::Data::fromString("plainly not gzip"));
  ASSERT_FALSE(garbage.has_value());
  EXPECT_EQ(garbage.error().localizedDescription(), "incorrect header check");
}

TEST(DAZGzipTest, TrailingBytesAfterStreamGiveRemainingCount) {
  for (size_t extra : {1u, 7u}) {
    os::Data input = gzipOf(os::Data::fromString("abc"));
    input.append(std::string(extra, 'z'));
    auto inflated = DAZGzip::daz_dataByInflatingGzippedData(input);
    ASSERT_FALSE(inflated.has_value());
    EXPECT_EQ(inflated.error().code(), 1026);
    EXPECT_EQ(os::Value(inflated.error().userInfo())[kDAZNSDataZlibRemainingBytesKey].int64Value(),
              static_cast<int64_t>(extra));
  }
}

TEST(DAZGzipTest, InteroperatesWithSystemGzip) {
  if (std::system("command -v gzip >/dev/null 2>&1") != 0) GTEST_SKIP() << "no gzip program";
  std::string pattern = (std::filesystem::temp_directory_path() / "daz_gzip_XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::filesystem::path dir = pattern;
  const os::Data original = randomishBytes(300 * 1024, 5);
  const os::Data ours = gzipOf(original);
  std::ofstream(dir / "ours.gz", std::ios::binary)
      .write(reinterpret_cast<const char*>(ours.bytes()), static_cast<std::streamsize>(ours.length()));
  std::ofstream(dir / "plain", std::ios::binary)
      .write(reinterpret_cast<const char*>(original.bytes()), static_cast<std::streamsize>(original.length()));
  const std::string d = dir.string();
  ASSERT_EQ(std::system(("gzip -dc '" + d + "/ours.gz' > '" + d + "/ours.out'").c_str()), 0);
  ASSERT_EQ(std::system(("gzip -c '" + d + "/plain' > '" + d + "/theirs.gz'").c_str()), 0);

  auto slurp = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return os::Data(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
  };
  EXPECT_TRUE(slurp(dir / "ours.out") == original);
  auto inflated = DAZGzip::daz_dataByInflatingGzippedData(slurp(dir / "theirs.gz"));
  ASSERT_TRUE(inflated.has_value());
  EXPECT_TRUE(**inflated == original);
  std::filesystem::remove_all(dir);
}

}  // namespace
