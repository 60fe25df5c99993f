#include <gtest/gtest.h>

#include "measurement/messages/tests/test_support.h"

namespace apmpb::test {
namespace {

TEST(MessageClasses, EmptyMessagesEncodeToEmptyData) {
  auto fromRecord = APMPBFlag::initWithMessageInfo(nullptr);
  auto fromBuffer = APMPBFlag::initWithBuffer(os::Data());
  for (const auto& flag : {fromRecord, fromBuffer}) {
    ASSERT_NE(flag, nullptr);
    EXPECT_STREQ(flag->messageID(), "Flag");
    auto bytes = flag->protoBuffer();
    ASSERT_TRUE(bytes.has_value());
    EXPECT_TRUE(bytes->empty());
  }
}

TEST(MessageClasses, RecordsOfAnotherMessageAreRefused) {
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  EXPECT_EQ(APMPBEvent::initWithMessageInfo(param->messageInfo()), nullptr);
  EXPECT_NE(APMPBEventParam::initWithMessageInfo(param->messageInfo()), nullptr);
}

TEST(MessageClasses, CopiesAreIndependentAndDecodeBackEqual) {
  Record filled(kAPMPBMeasurementBundleDescriptor);
  fillRecord(kAPMPBMeasurementBundleDescriptor, filled.get(), 3);
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(filled.get());
  ASSERT_NE(bundle, nullptr);
  EXPECT_NE(bundle->messageInfo(), filled.get());
  std::vector<uint8_t> expected = encode(kAPMPBMeasurementBundleDescriptor, filled.get());

  auto bytes = bundle->protoBuffer();
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->vector(), expected);
  auto decoded = APMPBMeasurementBundle::initWithBuffer(*bytes);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->protoBuffer()->vector(), expected);

  // Changing the source record changes neither object.
  kAPMPBMeasurementBundleDescriptor.functions().clearField(filled.get(), 8);
  EXPECT_EQ(bundle->protoBuffer()->vector(), expected);
}

TEST(MessageClasses, UndecodableBytesMakeNoObject) {
  std::vector<uint8_t> truncated = lengthDelimited(2, std::string("event"));
  truncated.pop_back();
  testing::internal::CaptureStdout();
  EXPECT_EQ(APMPBEvent::initWithBuffer(os::Data(truncated)), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("<ERROR> Event decoder failed: "),
            std::string::npos);
}

}  // namespace
}  // namespace apmpb::test
