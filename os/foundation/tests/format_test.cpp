#include <gtest/gtest.h>

#include "os/foundation/format.h"

namespace os {
namespace {

TEST(FormatTest, PrintfSemantics) {
  struct Case {
    std::string got, want;
  };
  const Case cases[] = {
      {format("%d %i %u", -3, 4, 5u), "-3 4 5"},
      {format("%ld %lld %lu %llu", 1L, -2LL, 3UL, 4ULL), "1 -2 3 4"},
      {format("I-REVOVA%06ld", 42L), "I-REVOVA000042"},
      {format("%x %02x %X", 255, 7, 171), "ff 07 AB"},
      {format("%.f %.f %.f", 0.5, 1.5, 2.5), "0 2 2"},
      {format("%.0fK", 5433.4), "5433K"},
      {format("%.2f", 3.14159), "3.14"},
      {format("%f", 1.0), "1.000000"},
      {format("%g %g", 0.0001, 1e20), "0.0001 1e+20"},
      {format("%s|%5s|%-5s|%.2s", "ab", "ab", "ab", "abc"), "ab|   ab|ab   |ab"},
      {format("%@ - %@[%@] %@", "11.0.0", "[VivuzuvuCore]", "I-COR000001", "msg"),
       "11.0.0 - [VivuzuvuCore][I-COR000001] msg"},
      {format("%@", Value(2.5)), "2.5"},
      {format("100%%"), "100%"},
      {format("%*d|%-*d", 4, 1, 3, 2), "   1|2  "},
      {format("%d", 2.9), "2"},     // mismatched argument converts
      {format("%f", 2), "2.000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(FormatTest, MalformedFormatsNeverCrash) {
  EXPECT_EQ(format("%d"), "%d");               // missing argument: copied
  EXPECT_EQ(format("%"), "%");                 // trailing percent
  EXPECT_EQ(format("%k", 1), "%k");            // unknown conversion
  EXPECT_EQ(format("%s", static_cast<const char*>(nullptr)), "(null)");
  EXPECT_EQ(format("%99999d", 1).size(), 4096u);  // width is bounded
  EXPECT_EQ(format("a%lz", 1), "a%lz");
}

TEST(FormatTest, SwiftDoubleDescription) {
  struct Case {
    double v;
    const char* want;
  };
  const Case cases[] = {{150, "150.0"}, {0.1, "0.1"}, {-2.5, "-2.5"}, {1e-7, "1e-07"},
                        {1e16, "1e+16"}, {0.0, "0.0"}, {123456.789, "123456.789"}};
  for (const auto& c : cases) EXPECT_EQ(swiftDescription(c.v), c.want) << c.v;
}

}  // namespace
}  // namespace os
