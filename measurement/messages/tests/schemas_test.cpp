// The server's messages: configuration, consent, programs, experiments and
// SKAdNetwork answers.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/messages/tests/test_support.h"

namespace apmpb::test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(MeasurementSchemas, UnusedTagsAndAbsentSubMessagesOfAConfiguration) {
  std::vector<uint8_t> kept = concat({varintField(1, 7), lengthDelimited(16, std::vector<uint8_t>{})});
  std::vector<uint8_t> input = concat({varintField(1, 7), varintField(12, 1),
                                       lengthDelimited(13, std::string("x")),
                                       lengthDelimited(16, std::vector<uint8_t>{})});
  auto config = APMPBMeasurementConfig::initWithBuffer(os::Data(input));
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(APMPBGetInt64(config.get(), 0), 7);
  // The sub-messages made for decoding are gone when absent from the wire.
  for (int32_t index : {12, 14, 15}) EXPECT_EQ(config->messageInfo()->values[index], nullptr) << index;
  // An empty PsmSetting is present with its declared defaults not made up.
  auto psm = APMPBGetMessage<APMPBPsmSetting>(config.get(), 13);
  ASSERT_NE(psm, nullptr);
  for (int32_t index : {0, 1, 2}) EXPECT_FALSE(APMPBHasField(psm.get(), index)) << index;
  // Tags 12 and 13 were skipped and are not written.
  EXPECT_EQ(config->protoBuffer()->vector(), kept);
}

TEST(MeasurementSchemas, ClearedAudiencesAreNotWritten) {
  std::vector<uint8_t> audience = concat({varintField(1, 3), lengthDelimited(3, varintField(1, 0))});
  std::vector<uint8_t> input = concat({lengthDelimited(2, std::string("1:123:ios:abc")),
                                       lengthDelimited(6, audience), lengthDelimited(6, audience),
                                       lengthDelimited(11, std::string("eu"))});
  auto config = APMPBMeasurementConfig::initWithBuffer(os::Data(input));
  ASSERT_NE(config, nullptr);
  auto audiences = APMPBGetArray<APMPBAudience>(config.get(), 5);
  ASSERT_TRUE(audiences.has_value());
  ASSERT_EQ(audiences->size(), 2u);
  EXPECT_EQ(APMPBGetInt32((*audiences)[1].get(), 0), 3);

  APMPBClearField(config.get(), 5);
  std::vector<uint8_t> bytes = config->protoBuffer()->vector();
  EXPECT_EQ(topLevelFields(decodeRaw(bytes)), (std::map<int, int>{{2, 1}, {11, 1}}));
}

TEST(MeasurementSchemas, ServerAnswersReadThroughTheirAccessors) {
  struct Case {
    const char* name;
    std::vector<uint8_t> input;
    std::function<void(const os::Data&)> check;
  };
  std::vector<uint8_t> snapshot = concat({lengthDelimited(1, std::string("sdk")),
                                          lengthDelimited(2, varintField(1, 11))});
  const std::vector<Case> cases = {
      {"consent entries carry any unsigned 32-bit value",
       concat({varintField(1, 5), varintField(2, 0xFFFFFFFF)}),
       [](const os::Data& bytes) {
         auto entry = APMPBConsentDefaultEntry::initWithBuffer(bytes);
         ASSERT_NE(entry, nullptr);
         EXPECT_EQ(APMPBGetInt32(entry.get(), 0), 5);
         EXPECT_EQ(APMPBGetInt32(entry.get(), 1), -1);
         EXPECT_EQ(entry->protoBuffer()->vector(), bytes.vector());
       }},
      {"an experiment response holds snapshots and SDK responses",
       concat({lengthDelimited(1, snapshot),
               lengthDelimited(2, concat({lengthDelimited(1, std::string("other")), varintField(2, 2),
                                          lengthDelimited(3, snapshot)}))}),
       [](const os::Data& bytes) {
         auto response = APMPBExperimentResponse::initWithBuffer(bytes);
         ASSERT_NE(response, nullptr);
         auto snapshots = APMPBGetArray<APMPBSnapshot>(response.get(), 0);
         auto answers = APMPBGetArray<APMPBSdkResponse>(response.get(), 1);
         ASSERT_EQ(snapshots->size(), 1u);
         ASSERT_EQ(answers->size(), 1u);
         EXPECT_EQ(APMPBGetString((*snapshots)[0].get(), 0), "sdk");
         EXPECT_EQ(APMPBGetInt32((*answers)[0].get(), 1), 2);
         auto inner = APMPBGetMessage<APMPBSnapshot>((*answers)[0].get(), 2);
         ASSERT_NE(inner, nullptr);
         auto experiments = APMPBGetArray<APMPBExperiment>(inner.get(), 1);
         ASSERT_EQ(experiments->size(), 1u);
         EXPECT_EQ(APMPBGetInt32((*experiments)[0].get(), 0), 11);
       }},
      {"a conversion value answer with only a status",
       varintField(1, 2),
       [](const os::Data& bytes) {
         auto response = APMPBSkAdNetworkConversionValueResponse::initWithBuffer(bytes);
         ASSERT_NE(response, nullptr);
         EXPECT_EQ(APMPBGetInt32(response.get(), 0), 2);
         for (int32_t index = 1; index < 8; index++) EXPECT_FALSE(APMPBHasField(response.get(), index));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.check(os::Data(c.input));
  }
}

}  // namespace
}  // namespace apmpb::test
