#include "platform/utilities/endpoints.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os/foundation/bundle.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/logger.h"

namespace fs = std::filesystem;

namespace {

// A main bundle in a fresh folder holding the given endpoints resource
// (none when `plist` is empty), installed while the object lives.
class EndpointsBundle {
 public:
  explicit EndpointsBundle(const std::string& plist) {
    std::string pattern = (fs::temp_directory_path() / "daz_endpoints_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    root_ = pattern;
    if (!plist.empty()) std::ofstream(root_ / "DrosilEndpoints.plist") << plist;
    os::Bundle::setMainBundlePath(root_.string());
    DAZEndpoints::reload();
  }
  ~EndpointsBundle() {
    os::Bundle::setMainBundlePath("");
    DAZEndpoints::reload();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

 private:
  fs::path root_;
};

std::string plistOf(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body + "</dict></plist>\n";
}

class DAZEndpointsTest : public ::testing::Test {
 protected:
  void SetUp() override { DAZLoggerTEST_reset(); }
  size_t linesWithCode(const std::string& code) {
    DAZLoggerTEST_flush();
    return capture_.recordsContaining(code).size();
  }
  os::LogCapture capture_;
};

TEST_F(DAZEndpointsTest, EntriesAreBaseURLsOrNothing) {
  EndpointsBundle bundle(plistOf(
      "<key>Loopback</key><string>http://127.0.0.1:8123</string>"
      "<key>WithPath</key><string>https://upload.example.invalid/v1/log</string>"
      "<key>NoHost</key><string>https://</string>"
      "<key>OtherScheme</key><string>ftp://files.example.invalid</string>"
      "<key>WithQuery</key><string>https://h.invalid/?a=1</string>"
      "<key>NotText</key><integer>4</integer>"
      "<key>NotAURL</key><string>http://bad host</string>"));
  auto loopback = DAZEndpoints::URLForKey("Loopback");
  ASSERT_TRUE(loopback);
  EXPECT_EQ(loopback->scheme(), "http");
  EXPECT_EQ(loopback->host(), "127.0.0.1");
  EXPECT_EQ(loopback->port(), 8123);
  ASSERT_TRUE(DAZEndpoints::URLForKey("WithPath"));
  EXPECT_EQ(DAZEndpoints::URLForKey("WithPath")->percentEncodedPath(), "/v1/log");
  for (const char* key : {"NoHost", "OtherScheme", "WithQuery", "NotText", "NotAURL"}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(DAZEndpoints::URLForKey(key));
  }
  EXPECT_FALSE(DAZEndpoints::URLForKey("Absent"));
  EXPECT_EQ(linesWithCode(kDAZEndpointsMessageCodeBadEntry), 5u);
  EXPECT_EQ(linesWithCode(kDAZEndpointsMessageCodeNoKey), 1u);
}

TEST_F(DAZEndpointsTest, BaseIsTheURLWithoutTrailingSlashes) {
  EndpointsBundle bundle(plistOf(
      "<key>Bare</key><string>http://127.0.0.1:8123</string>"
      "<key>Slash</key><string>http://127.0.0.1:8123/</string>"
      "<key>PathSlashes</key><string>https://h.invalid/v1//</string>"));
  EXPECT_EQ(DAZEndpoints::baseForKey("Bare"), "http://127.0.0.1:8123");
  EXPECT_EQ(DAZEndpoints::baseForKey("Slash"), "http://127.0.0.1:8123");
  EXPECT_EQ(DAZEndpoints::baseForKey("PathSlashes"), "https://h.invalid/v1");
  EXPECT_EQ(DAZEndpoints::baseForKey("Absent"), std::nullopt);
}

TEST_F(DAZEndpointsTest, MissingOrDamagedResourceGivesNoAddressLoggedOncePerKey) {
  for (const std::string& contents : {std::string(), std::string("not a property list"),
                                      std::string(plistOf("").substr(0, 40))}) {
    EndpointsBundle bundle(contents);
    EXPECT_FALSE(DAZEndpoints::URLForKey(kDAZEndpointInstallations));
    EXPECT_FALSE(DAZEndpoints::URLForKey(kDAZEndpointInstallations));
    EXPECT_FALSE(DAZEndpoints::URLForKey(kDAZEndpointSettings));
  }
  EXPECT_EQ(linesWithCode(kDAZEndpointsMessageCodeNoResource), 6u);
}

TEST_F(DAZEndpointsTest, ReloadReadsTheBundleAgain) {
  EndpointsBundle first(plistOf("<key>InstallationsService</key><string>http://127.0.0.1:1</string>"));
  EXPECT_EQ(DAZEndpoints::URLForKey(kDAZEndpointInstallations)->port(), 1);
  {
    EndpointsBundle second(plistOf("<key>InstallationsService</key><string>http://127.0.0.1:2</string>"));
    EXPECT_EQ(DAZEndpoints::URLForKey(kDAZEndpointInstallations)->port(), 2);
  }
}

TEST_F(DAZEndpointsTest, ShippedResourcePointsEveryKeyAtInvalidHosts) {
  fs::path shipped = fs::path(DROSIL_SOURCE_DIR) / "app/bundle/DrosilEndpoints.plist";
  std::ifstream in(shipped);
  ASSERT_TRUE(in) << shipped;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EndpointsBundle bundle(text);
  for (const char* key : {kDAZEndpointInstallations, kDAZEndpointSettings, kDAZEndpointTransportUpload1000,
                          kDAZEndpointTransportUpload1001, kDAZEndpointTransportUpload1002,
                          kDAZEndpointTransportUpload1003, kDAZEndpointMeasurementConfig,
                          kDAZEndpointMeasurementUpload, kDAZEndpointMeasurementUploadAuthorized}) {
    SCOPED_TRACE(key);
    auto url = DAZEndpoints::URLForKey(key);
    ASSERT_TRUE(url);
    EXPECT_TRUE(url->host().ends_with(".invalid"));
  }
}

}  // namespace
