// What the uploader adds to the core classes: the upload attributes in an
// event's custom bytes, and the metrics' payload.
#include <gtest/gtest.h>
#include <pb_decode.h>

#include "transport/REVADA/proto/revada_metrics.pb.h"
#include "transport/REVOVALibrary/revova_event.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace {

std::string customText(const REVOVAEvent& event) {
  return event.customBytes() ? event.customBytes()->toString() : "<none>";
}

TEST(REVOVAEventUploadAttributesTest, SettersKeepOneJSONObjectThatGettersRead) {
  auto event = REVOVAEvent::initWithMappingID("1974", 1001);
  EXPECT_FALSE(event->needsNetworkConnectionInfoPopulated());
  EXPECT_EQ(event->eventCode(), std::nullopt);

  event->setEventCode(os::Number::int64(42));
  EXPECT_EQ(customText(*event), R"({"event_code_info":"42"})");
  EXPECT_EQ(event->eventCode(), os::Number::int64(42));

  const os::Data image = os::Data::fromString(std::string("\x01\0\0\0\x05\0\0\0\0\0\0\0\0\0\0\0", 16));
  event->setNetworkConnectionInfoData(image);
  event->setNeedsNetworkConnectionInfoPopulated(true);
  EXPECT_EQ(event->networkConnectionInfoData(), image);
  EXPECT_TRUE(event->needsNetworkConnectionInfoPopulated());
  EXPECT_EQ(event->eventCode(), os::Number::int64(42));  // the other keys stay

  // Clearing the flag keeps only the event code; without one nothing is left.
  event->setNeedsNetworkConnectionInfoPopulated(false);
  EXPECT_EQ(customText(*event), R"({"event_code_info":"42"})");
  event->setEventCode(std::nullopt);
  EXPECT_EQ(customText(*event), "{}");
  event->setNeedsNetworkConnectionInfoPopulated(true);
  event->setNeedsNetworkConnectionInfoPopulated(false);
  EXPECT_EQ(customText(*event), "<none>");
}

TEST(REVOVAEventUploadAttributesTest, CustomBytesThatAreNotAnObjectAreReadAsNothingAndLeftAlone) {
  for (const char* text : {"not json", "[1,2]", R"({"event_code_info":42,"network_connection_info":"%%%",)"
                                                 R"("needs_network_connection_info":"yes"})"}) {
    SCOPED_TRACE(text);
    auto event = REVOVAEvent::initWithMappingID("1974", 1001);
    event->setCustomBytes(os::Data::fromString(text));
    EXPECT_FALSE(event->needsNetworkConnectionInfoPopulated());
    EXPECT_EQ(event->networkConnectionInfoData(), std::nullopt);
    EXPECT_EQ(event->eventCode(), std::nullopt);
    if (std::string(text).starts_with("{")) continue;  // an object of wrong types is still an object
    event->setEventCode(os::Number::int64(1));
    event->setNetworkConnectionInfoData(os::Data::fromString("x"));
    event->setNeedsNetworkConnectionInfoPopulated(true);
    event->setNeedsNetworkConnectionInfoPopulated(false);
    EXPECT_EQ(customText(*event), text);
  }
}

struct DecodedMetrics {
  bool ok = false;
  int64_t startMillis = 0, endMillis = 0;
  std::map<std::string, std::map<uint32_t, int64_t>> dropped;
  bool hasStorage = false;
  int64_t current = 0, max = 0;
  std::string bundleID;
};

DecodedMetrics decodeMetrics(const os::Data& bytes) {
  transport_TransportMetrics message = transport_TransportMetrics_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(bytes.bytes(), bytes.length());
  DecodedMetrics out;
  out.ok = pb_decode(&stream, transport_TransportMetrics_fields, &message);
  out.startMillis = message.window.start_ms;
  out.endMillis = message.window.end_ms;
  for (pb_size_t i = 0; i < message.source_metrics_count; ++i) {
    const auto& source = message.source_metrics[i];
    std::string name(reinterpret_cast<const char*>(source.log_source->bytes), source.log_source->size);
    for (pb_size_t d = 0; d < source.dropped_count; ++d)
      out.dropped[name][source.dropped[d].reason] += source.dropped[d].count;
  }
  out.hasStorage = message.has_global_metrics && message.global_metrics.has_storage;
  out.current = message.global_metrics.storage.current_cache_size_bytes;
  out.max = message.global_metrics.storage.max_cache_size_bytes;
  if (message.bundle_id) out.bundleID.assign(reinterpret_cast<const char*>(message.bundle_id->bytes), message.bundle_id->size);
  pb_release(transport_TransportMetrics_fields, &message);
  return out;
}

TEST(REVOVAMetricsPayloadTest, TheMetricsEncodeAsTransportMetrics) {
  auto counts = std::make_shared<const REVOVALogSourceMetrics>(
      REVOVALogSourceMetrics::Counts{{"1974", {{1, 2}, {5, 3}, {7, 4}}}, {"1206", {{2, 1}}}});
  const REVOVAMetrics metrics(os::Date::fromTimeIntervalSince1970(1'700'000'000.9),
                              os::Date::fromTimeIntervalSince1970(1'700'000'060.2), counts, 123, 20'000'000,
                              "com.example.drosil");
  auto decoded = decodeMetrics(*metrics.transportBytes());
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.startMillis, 1'700'000'000'000);
  EXPECT_EQ(decoded.endMillis, 1'700'000'060'000);
  // Reasons outside 1 to 6 go as 0.
  EXPECT_EQ(decoded.dropped, (std::map<std::string, std::map<uint32_t, int64_t>>{
                                 {"1974", {{1, 2}, {5, 3}, {0, 4}}}, {"1206", {{2, 1}}}}));
  EXPECT_TRUE(decoded.hasStorage);
  EXPECT_EQ(decoded.current, 123);
  EXPECT_EQ(decoded.max, 20'000'000);
  EXPECT_EQ(decoded.bundleID, "com.example.drosil");

  auto event = REVOVAEvent::eventWithMetrics(metrics, 1002);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->mappingID(), "1710");
  EXPECT_EQ(event->target(), 1002);
  EXPECT_EQ(event->qosTier(), 3);
  EXPECT_EQ(event->clockSnapshot(), nullptr);
  EXPECT_EQ(event->serializedDataObjectBytes(), metrics.transportBytes());
}

TEST(REVOVAMetricsPayloadTest, ZerosAndEmptyTextAreNotWritten) {
  const REVOVAMetrics metrics(os::Date::fromTimeIntervalSince1970(0), os::Date::fromTimeIntervalSince1970(0),
                              REVOVALogSourceMetrics::metrics(), 0, 20'000'000, "");
  // Field 1 is an empty window, field 3 holds storage with field 2 only.
  const std::string expected("\x0a\x00\x1a\x07\x0a\x05\x10\x80\xda\xc4\x09", 11);
  EXPECT_EQ(metrics.transportBytes()->toString(), expected);
}

}  // namespace
