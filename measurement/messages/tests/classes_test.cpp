#include <gtest/gtest.h>

#include <set>
#include <string>

#include "measurement/messages/tests/test_support.h"

namespace apmpb::test {
namespace {


template <class... Classes>
struct ClassList {
  // Calls f.template operator()<C>() for every class C.
  template <class F>
  static void forEach(F&& f) {
    (f.template operator()<Classes>(), ...);
  }
};

using AllClasses = ClassList<
    APMPBAdCampaignInfo, APMPBAppProperty, APMPBAudience, APMPBAudienceLeafFilterResult,
    APMPBClientProperty, APMPBConsentConfig, APMPBConsentDefaultEntry, APMPBConsentDelegationEntry,
    APMPBCorePlatformServiceEntry, APMPBCustomProperty, APMPBDataControl,
    APMPBDynamicFilterResultTimestamp, APMPBEvent, APMPBEventConfig, APMPBEventFilter,
    APMPBEventParam, APMPBExperiment, APMPBExperimentRequest, APMPBExperimentResponse, APMPBFilter,
    APMPBFlag, APMPBMeasurementBatch, APMPBMeasurementBundle, APMPBMeasurementConfig,
    APMPBNumberFilter, APMPBOgtActivities, APMPBOgtActivity, APMPBProgram, APMPBPropertyFilter,
    APMPBPsmSetting, APMPBResultData, APMPBRuntimeEntity, APMPBSdkResponse,
    APMPBSequenceFilterResultTimestamp, APMPBSetting, APMPBSkAdNetworkConversionValueRequest,
    APMPBSkAdNetworkConversionValueResponse, APMPBSnapshot, APMPBStringFilter, APMPBUserAttribute>;

TEST(MessageClasses, EveryClassMakesEmptyMessagesAndRefusesTruncatedInput) {
  std::set<std::string> classNames;
  AllClasses::forEach([&]<class C>() {
    const APMPBMessageDescriptor& d = C::classDescriptor();
    SCOPED_TRACE(d.name());
    EXPECT_EQ(std::string(C::initWithMessageInfo(nullptr)->className()),
              std::string("APMPB") + d.name());
    classNames.insert(d.className());
    for (const auto& empty : {C::initWithMessageInfo(nullptr), C::initWithBuffer(os::Data())}) {
      ASSERT_NE(empty, nullptr);
      auto bytes = empty->protoBuffer();
      ASSERT_TRUE(bytes.has_value());
      EXPECT_TRUE(bytes->empty());
    }
    // Cutting the last byte of any encoding cuts its last field short.
    Record filled(d);
    fillRecord(d, filled.get());
    auto message = C::initWithMessageInfo(filled.get());
    ASSERT_NE(message, nullptr);
    std::vector<uint8_t> bytes = message->protoBuffer()->vector();
    ASSERT_FALSE(bytes.empty());
    ASSERT_NE(C::initWithBuffer(os::Data(bytes)), nullptr);
    bytes.pop_back();
    capturePrinted();
    EXPECT_EQ(C::initWithBuffer(os::Data(bytes)), nullptr);
    EXPECT_NE(printed().find(std::string("<ERROR> ") + d.name() + " decoder failed: "),
              std::string::npos);
  });
  // One class per message but the two that live only inside their parents.
  size_t count = 0;
  const APMPBMessageDescriptor* const* all = detail::allDescriptors(&count);
  std::set<std::string> expected;
  for (size_t i = 0; i < count; i++) {
    if (all[i]->className() != nullptr) expected.insert(all[i]->className());
  }
  EXPECT_EQ(count, 42u);
  EXPECT_EQ(classNames, expected);
  EXPECT_EQ(classNames.size(), 40u);
}

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
  capturePrinted();
  EXPECT_EQ(APMPBEvent::initWithBuffer(os::Data(truncated)), nullptr);
  EXPECT_NE(printed().find("<ERROR> Event decoder failed: "),
            std::string::npos);
}

}  // namespace
}  // namespace apmpb::test
