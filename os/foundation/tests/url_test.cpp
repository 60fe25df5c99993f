#include "os/foundation/url.h"

#include <gtest/gtest.h>

namespace os {
namespace {

TEST(URLTest, ParsesComponents) {
  auto url = URL::URLWithString("HTTPS://user:pw@Example.com:8443/a/b%20c?x=1&y=2#frag");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "https");
  EXPECT_EQ(url->host(), "Example.com");
  EXPECT_EQ(url->port(), 8443);
  EXPECT_EQ(url->user(), "user");
  EXPECT_EQ(url->percentEncodedPath(), "/a/b%20c");
  EXPECT_EQ(url->path(), "/a/b c");
  EXPECT_EQ(url->lastPathComponent(), "b c");
  EXPECT_EQ(url->query(), "x=1&y=2");
  EXPECT_EQ(url->fragment(), "frag");
  EXPECT_EQ(url->absoluteString(), "HTTPS://user:pw@Example.com:8443/a/b%20c?x=1&y=2#frag");

  auto v6 = URL::URLWithString("http://[::1]:80/");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host(), "::1");
  EXPECT_EQ(v6->port(), 80);
}

TEST(URLTest, RejectsMalformedText) {
  for (const char* text : {"http://a b/", "http://x/%zz", "http://x/%2", "http://[::1/", "http://x:99999/",
                           "http://x:8a/", "http://x/\x01"}) {
    EXPECT_FALSE(URL::URLWithString(text)) << text;
  }
  auto empty = URL::URLWithString("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(empty->scheme(), "");
}

TEST(URLTest, AppendsAndDeletesPathComponents) {
  auto base = *URL::URLWithString("http://h/api?q=1");
  EXPECT_EQ(base.URLByAppendingPathComponent("a b").absoluteString(), "http://h/api/a%20b?q=1");
  EXPECT_EQ(base.URLByAppendingPathComponent("x/y").absoluteString(), "http://h/api/x/y?q=1");
  EXPECT_EQ(URL::URLWithString("http://h")->URLByAppendingPathComponent("v1").absoluteString(), "http://h/v1");
  EXPECT_EQ(URL::URLWithString("http://h/a/b")->URLByDeletingLastPathComponent().absoluteString(), "http://h/a/");
}

TEST(URLTest, FileURLs) {
  URL file = URL::fileURLWithPath("/tmp/My Folder/f.txt");
  EXPECT_TRUE(file.isFileURL());
  EXPECT_EQ(file.absoluteString(), "file:///tmp/My%20Folder/f.txt");
  EXPECT_EQ(file.path(), "/tmp/My Folder/f.txt");
  EXPECT_EQ(file.URLByAppendingPathComponent("g").path(), "/tmp/My Folder/f.txt/g");
  EXPECT_EQ(URL::fileURLWithPath("/tmp/d", true).absoluteString(), "file:///tmp/d/");
}

}  // namespace
}  // namespace os
