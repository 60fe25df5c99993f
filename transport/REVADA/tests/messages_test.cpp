// The upload's wire format: the request message built from a batch, its
// compression, the HTTP request, and the server's answer.
#include <gtest/gtest.h>

#include "os/foundation/bundle.h"
#include "os/foundation/device_profile.h"
#include "platform/utilities/gzip.h"
#include "transport/REVADA/revada_compression.h"
#include "transport/REVADA/revada_messages.h"
#include "transport/REVADA/revada_upload_operation.h"
#include "transport/REVADA/revada_uploader.h"
#include "transport/REVADA/tests/upload_test_support.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace {

using revada_test::decodeUploadRequest;
using revova_test::makeEvent;

os::Data encode(std::initializer_list<REVOVAEventPtr> events) {
  return REVADAUploadOperation::constructRequestProtoWithEvents(REVOVAEventSet(events));
}

std::vector<revada_test::DecodedSource> decoded(const os::Data& bytes) {
  auto sources = decodeUploadRequest(bytes.toString());
  EXPECT_TRUE(sources.has_value());
  return sources.value_or(std::vector<revada_test::DecodedSource>{});
}

class REVADAMessagesTest : public ::testing::Test {
 protected:
  void SetUp() override { bundle_ = std::make_unique<revada_test::CollectorBundle>("http://127.0.0.1:9"); }
  std::unique_ptr<revada_test::CollectorBundle> bundle_;
};

TEST_F(REVADAMessagesTest, EventsAreGroupedByMappingIDWithTheClientDescribed) {
  auto session = makeEvent("1974", 1001, "session");
  auto metrics = REVOVAEvent::eventWithMetrics(
      REVOVAMetrics(os::Date::now(), os::Date::now(), REVOVALogSourceMetrics::metrics(), 0, 20'000'000, "b"), 1001);
  auto sources = revada_test::byLogSource(decoded(encode({session, metrics, makeEvent("1974", 1001, "again")})));
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_EQ(sources[1974].events.size(), 2u);
  EXPECT_EQ(sources[1710].events.size(), 1u);

  const auto& source = sources[1974];
  EXPECT_EQ(source.clientType, 15u);
  EXPECT_TRUE(source.hasRequestTime && source.hasRequestUptime);
  EXPECT_EQ(source.appleClientInfo,
            (std::map<int, std::string>{{3, "17"}, {4, "17.5"}, {5, "42"}, {6, "US"}, {7, "iPhone14,2"},
                                        {8, "en"}, {11, "com.example.drosil"}}));
  // The snapshot's fields travel as they are; the time zone in zig-zag form.
  const auto& event = source.events.front();
  EXPECT_EQ(event.eventTimeMillis, 1'700'000'000'000);
  EXPECT_EQ(event.timezoneOffsetSeconds, 3600);
  EXPECT_EQ(event.eventUptimeMillis, 1'000'000);
}

TEST_F(REVADAMessagesTest, FieldsWithoutAValueAreWrittenAsTheyMust) {
  auto bare = REVOVAEvent::initWithMappingID("1206", 1002);  // no clock, no payload
  auto tagged = makeEvent("1206x", 1002, "p");
  tagged->setEventCode(os::Number::int64(42));
  const uint8_t image[16] = {1, 0, 0, 0, 0x05, 0, 0, 0, 0, 0, 0, 0, 0x09, 0, 0, 0};
  tagged->setNetworkConnectionInfoData(os::Data(image, sizeof image));
  auto product = REVOVAEvent::initWithMappingID("abc", std::make_shared<REVOVAProductData>(77), 1002);
  product->setDataObject(std::make_shared<revova_test::BytesDataObject>(os::Data::fromString("q")));

  const struct {
    REVOVAEventPtr event;
    int32_t logSource;
    const char* expected;
  } cases[] = {
      // Time fields present and 0; field 6 present and empty.
      {bare, 1206, "1:0 6:'' 15:0 17:0"},
      // The network record's mobile subtype was never marked present.
      {tagged, 1206, "1:1700000000000 6:'p' 11:42 15:3600 17:1000000 23{1:5}"},
      // No leading digits: log source 0.
      {product, 0, "1:0 6:'q' 15:0 17:0 33{13:77 2:5}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.event->mappingID());
    auto sources = decoded(encode({c.event}));
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].logSource, c.logSource);
    ASSERT_EQ(sources[0].events.size(), 1u);
    EXPECT_EQ(revada_test::describe(sources[0].events[0]), c.expected);
  }
}

TEST_F(REVADAMessagesTest, ARawDecoderSeesTheFieldNumbersAndTypes) {
  auto event = REVOVAEvent::initWithMappingID("1974", 1001);
  event->setDataObject(std::make_shared<revova_test::BytesDataObject>(os::Data::fromString("x")));
  event->setClockSnapshot(std::make_shared<REVOVAClock>(5, -3, 0, 7'000'000));
  const std::string raw = revada_test::decodeRaw(encode({event}));
  if (raw.empty()) GTEST_SKIP() << "protoc cannot be run";
  // Event: 1 time, 6 payload, 15 zig-zag of -3 (5), 17 uptime in ms.
  EXPECT_NE(raw.find("3 {\n    1: 5\n    6: \"x\"\n    15: 5\n    17: 7\n  }"), std::string::npos) << raw;
  EXPECT_NE(raw.find("2: 1974"), std::string::npos) << raw;
  EXPECT_NE(raw.find("1 {\n    1: 15\n    4 {"), std::string::npos) << raw;
}

TEST_F(REVADAMessagesTest, ClientInfoLeavesOutWhatTheDeviceAndBundleLack) {
  os::DeviceProfile device;
  device.localeIdentifier = "en";  // no country
  device.systemVersion = "18";
  os::ScopedDeviceProfile profile(device);
  revada_test::CollectorBundle::write(bundle_->path() + "/fr.lproj", "unused");  // a localization
  os::Bundle::setMainBundlePath(bundle_->path());
  auto sources = decoded(encode({makeEvent("1974", 1001, "x")}));
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0].appleClientInfo.count(6), 0u);
  EXPECT_EQ(sources[0].appleClientInfo[3], "18");
  EXPECT_EQ(sources[0].appleClientInfo[8], "fr");
}

TEST(REVADACompressionTest, GzipRoundTripsAndIsShorterOnlyPastTheWrapper) {
  const std::string text(2'000, 'a');
  auto gzipped = REVADACompressionHelper::gzippedData(os::Data::fromString(text));
  ASSERT_TRUE(gzipped);
  EXPECT_TRUE(REVADACompressionHelper::isGzipped(*gzipped));
  auto inflated = DAZGzip::daz_dataByInflatingGzippedData(*gzipped);
  ASSERT_TRUE(inflated && *inflated);
  EXPECT_EQ((*inflated)->toString(), text);

  // The gzip header and trailer alone take 18 bytes.
  for (size_t length : {1u, 20u}) {
    auto small = REVADACompressionHelper::gzippedData(os::Data::fromString(std::string(length, 'a')));
    ASSERT_TRUE(small);
    EXPECT_GE(small->length(), length);
  }
  EXPECT_FALSE(REVADACompressionHelper::gzippedData(os::Data()));
  EXPECT_FALSE(REVADACompressionHelper::isGzipped(os::Data::fromString("\x1f")));
}

TEST(REVADARequestTest, HeadersFollowTheTargetAndTheBody) {
  auto uploader = std::make_shared<REVADAUploader>();
  REVADAUploadOperation operation(1001, 4, std::nullopt, uploader->uploadQueue(), nullptr, uploader, nullptr);
  const os::URL url = *os::URL::URLWithString("http://127.0.0.1:9/upload");
  const os::Data plain = os::Data::fromString("plain body");
  const os::Data gzipped = *REVADACompressionHelper::gzippedData(os::Data::fromString(std::string(500, 'z')));
  const struct {
    int64_t target;
    const char* name;
    bool hasKey;
  } cases[] = {{1000, "revada", false}, {1001, "fll", true}, {1002, "csh", true}, {1003, "int", true},
               {1004, "unknown", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    for (const auto* body : {&plain, &gzipped}) {
      auto request = operation.constructRequestWithURL(url, c.target, *body);
      ASSERT_TRUE(request);
      EXPECT_EQ(request->HTTPMethod(), "POST");
      EXPECT_EQ(request->HTTPBody(), *body);
      EXPECT_EQ(request->valueForHTTPHeaderField("User-Agent"),
                "eventtransport/0.0.1 " + std::string(c.name) + "support/0.0.1 apple/");
      EXPECT_EQ(request->valueForHTTPHeaderField("V-Uriv-Ivu-Zur").has_value(), c.hasKey);
      EXPECT_EQ(request->valueForHTTPHeaderField("Content-Encoding"),
                body == &gzipped ? std::optional<std::string>("gzip") : std::nullopt);
      EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/x-protobuf");
      EXPECT_EQ(request->valueForHTTPHeaderField("Accept-Encoding"), "gzip");
    }
  }
  EXPECT_FALSE(operation.constructRequestWithURL(url, 1001, os::Data()));
  EXPECT_EQ(uploader->APIKeyForTarget(1002), REVADAUploader::FLLAndCSHAndINTAPIKey());
  EXPECT_FALSE(REVADAUploader::FLLAndCSHAndINTAPIKey().empty());
}

TEST(REVADAResponseTest, TheWaitIsReadFromTheAnswer) {
  auto withWait = REVADADecodeUploadResponse(os::Data::fromString(revada_test::encodeUploadResponse(60'000)));
  ASSERT_TRUE(withWait);
  EXPECT_EQ(withWait->nextRequestWaitMillis, 60'000);
  auto empty = REVADADecodeUploadResponse(os::Data());
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->nextRequestWaitMillis, std::nullopt);
  auto broken = REVADADecodeUploadResponse(os::Data::fromString("\x08"));  // a varint cut off
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().domain(), os::kURLErrorDomain);
  EXPECT_EQ(broken.error().code(), -1);
  EXPECT_TRUE(broken.error().userInfo().contains(kREVADANanopbErrorKey));
}

// Mended: a pass that failed still gave the length the first pass counted,
// so a request could go out with a tail that was never written.
TEST_F(REVADAMessagesTest, AFailedEncodingPassGivesNoBytes) {
  auto event = makeEvent("1974", 1001, "x");
  const REVOVAMetrics metrics(os::Date::now(), os::Date::now(), REVOVALogSourceMetrics::metrics(), 1, 2, "b");
  for (int pass : {1, 2}) {
    SCOPED_TRACE(pass);
    revada_detail::TEST_setFailingEncodingPass(pass);
    EXPECT_TRUE(encode({event}).empty());
    EXPECT_TRUE(metrics.transportBytes()->empty());
    revada_detail::TEST_setFailingEncodingPass(0);
  }
  EXPECT_FALSE(encode({event}).empty());
}

}  // namespace
