// The server's messages: configuration, consent, programs, experiments and
// SKAdNetwork answers.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "measurement/messages/tests/test_support.h"

namespace apmpb::test {
namespace {


// A program tree nested `levels` below its root, its fields in tag order:
// statements (type 4, one argument, function "22") around a number leaf.
std::vector<uint8_t> programTree(int levels) {
  std::vector<uint8_t> leaf = concat({varintField(1, 2), key(6, 1), std::vector<uint8_t>(8, 0x11)});
  return nestedChain(levels, leaf, 2, varintField(1, 4), lengthDelimited(3, std::string("22")));
}

TEST(MeasurementSchemas, ProgramTreesDecodeToTheBoundAloneAndInsideAConfiguration) {
  // Mended: a 100-level program tree decoded alone was refused inside a
  // configuration, whose four wrapping levels count against the same bound.
  using Wrap = std::function<std::vector<uint8_t>(const std::vector<uint8_t>&)>;
  const Wrap alone = [](const std::vector<uint8_t>& tree) { return tree; };
  const Wrap inInstructions = [](const std::vector<uint8_t>& tree) {
    return lengthDelimited(9, lengthDelimited(1, tree));
  };
  const Wrap inActivity = [](const std::vector<uint8_t>& tree) {
    std::vector<uint8_t> activity =
        concat({lengthDelimited(1, std::string("edit")), lengthDelimited(2, tree)});
    return lengthDelimited(9, lengthDelimited(2, lengthDelimited(1, activity)));
  };
  struct Case {
    const char* name;
    const APMPBMessageDescriptor& outer;
    const Wrap& wrap;
    int levels;
    bool decodes;
  };
  const int bound = kAPMPBMaxProgramTreeNesting;
  const Case cases[] = {
      {"alone", kAPMPBRuntimeEntityDescriptor, alone, bound, true},
      {"alone, past the bound", kAPMPBRuntimeEntityDescriptor, alone, kAPMPBMaxNestingDepth + 1,
       false},
      {"program instructions", kAPMPBMeasurementConfigDescriptor, inInstructions, bound, true},
      {"program activity", kAPMPBMeasurementConfigDescriptor, inActivity, bound, true},
      {"program activity, one level more", kAPMPBMeasurementConfigDescriptor, inActivity, bound + 1,
       false},
      {"program instructions, far too deep", kAPMPBMeasurementConfigDescriptor, inInstructions,
       100'000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.levels) + " levels");
    std::vector<uint8_t> bytes = c.wrap(programTree(c.levels));
    Record record(c.outer);
    capturePrinted();
    bool ok = c.outer.functions().decode(bytes.data(), bytes.size(), record.get());
    std::string out = printed();
    ASSERT_EQ(ok, c.decodes) << out;
    if (!ok) {
      EXPECT_NE(out.find("<ERROR> RuntimeEntity decoder failed: nesting too deep"),
                std::string::npos);
      EXPECT_NE(out.find(std::string("<ERROR> ") + c.outer.name() + " decoder failed: "),
                std::string::npos);
      continue;
    }
    EXPECT_EQ(encode(c.outer, record.get()), bytes);
    Record copied(c.outer);
    ASSERT_TRUE(c.outer.functions().copy(copied.address(), record.get()));
    EXPECT_EQ(encode(c.outer, copied.get()), bytes);
  }
}

TEST(MeasurementSchemas, AConfigurationFromAnotherEncoderDecodesAndReencodesByteForByte) {
  const char* text = R"(
    version: 12 devuvo_app_id: "1:123:ios:abc" unnamed_3: -4
    settings { name: "measurement.upload.dma_consent_enabled" value: "1" }
    event_config { name: "purchase" blocklisted: true sampling_rate: 65535 }
    audiences {
      audience_id: 7
      property_filters { filter_id: 0 property_name: "plan" filter {
        string_filter { match_type: IN_LIST case_sensitive: true expression_list: "a" expression_list: "b" }
        complement: true } }
      event_filters { filter_id: 1 event_name: "_e" unnamed_4: true
        filters { number_filter { comparison_type: BETWEEN min_comparison_value: "1"
                                  max_comparison_value: "3" } param_name: "value" }
        event_count_filter { comparison_type: GREATER_THAN comparison_value: "2" } session_scoped: true }
      unnamed_5: false }
    unnamed_8: true
    dynamic_event_editing {
      instructions { type: STATEMENT value { type: STRING string_value: "x" }
                     value { type: NUMBER number_value: -2.5 } function_name: "22" }
      ogt_activities { activities { name: "edit" data { type: BOOLEAN boolean_value: true } } } }
    data_controls { name: "device_info" opt_out_regions { unnamed_1: "EU" } unnamed_3: true }
    unnamed_14: "x"
    consent_config {
      defaults { consent_type: AD_STORAGE consent_status: DENIED }
      delegations { consent_type: AD_USER_DATA delegate_consent_type: AD_STORAGE }
      core_platform_services { name: "cps" unnamed_2: "y" }
      is_dma_region: true
      enforced_defaults { consent_type: ANALYTICS_STORAGE consent_status: GRANTED } }
    psm_setting { prefix_phone: 9 }
    sstg_setting { unnamed_3: "c" unnamed_4: 4 }
    region { unnamed_2: "s" })";
  std::vector<uint8_t> bytes = encodeText("MeasurementConfig", "measurement_config.proto", text);
  ASSERT_FALSE(bytes.empty());
  auto config = APMPBMeasurementConfig::initWithBuffer(os::Data(bytes));
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->protoBuffer()->vector(), bytes);

  EXPECT_EQ(APMPBGetInt32(config.get(), 2), -4);
  auto audience = (*APMPBGetArray<APMPBAudience>(config.get(), 5))[0];
  auto propertyFilter = (*APMPBGetArray<APMPBPropertyFilter>(audience.get(), 1))[0];
  auto filter = APMPBGetMessage<APMPBFilter>(propertyFilter.get(), 2);
  auto stringFilter = APMPBGetMessage<APMPBStringFilter>(filter.get(), 0);
  EXPECT_EQ(APMPBGetInt32(stringFilter.get(), 0), 6);
  EXPECT_EQ(APMPBGetArray(stringFilter.get(), 3), (os::Array{os::Value("a"), os::Value("b")}));
  EXPECT_EQ(APMPBGetMessage<APMPBNumberFilter>(filter.get(), 1), nullptr);
  auto program = (*APMPBGetArray<APMPBProgram>(config.get(), 8))[0];
  auto statement = (*APMPBGetArray<APMPBRuntimeEntity>(program.get(), 0))[0];
  EXPECT_EQ(APMPBGetString(statement.get(), 2), "22");
  EXPECT_EQ(APMPBGetDouble((*APMPBGetArray<APMPBRuntimeEntity>(statement.get(), 1))[1].get(), 5),
            -2.5);
  auto consent = APMPBGetMessage<APMPBConsentConfig>(config.get(), 12);
  ASSERT_NE(consent, nullptr);
  EXPECT_TRUE(APMPBGetBool(consent.get(), 3));
  auto enforced = (*APMPBGetArray<APMPBConsentDefaultEntry>(consent.get(), 4))[0];
  EXPECT_EQ(APMPBGetInt32(enforced.get(), 0), 2);
  EXPECT_EQ(APMPBGetInt32(enforced.get(), 1), 1);
  auto psm = APMPBGetMessage<APMPBPsmSetting>(config.get(), 13);
  EXPECT_FALSE(APMPBHasField(psm.get(), 0));
  EXPECT_EQ(APMPBGetInt32(psm.get(), 1), 9);
}

TEST(MeasurementSchemas, UnusedTagsAndAbsentSubMessagesOfAConfiguration) {
  std::vector<uint8_t> kept =
      concat({varintField(1, 7), lengthDelimited(16, std::vector<uint8_t>{})});
  std::vector<uint8_t> input =
      concat({varintField(1, 7), varintField(12, 1), lengthDelimited(13, std::string("x")),
              lengthDelimited(16, std::vector<uint8_t>{})});
  auto config = APMPBMeasurementConfig::initWithBuffer(os::Data(input));
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(APMPBGetInt64(config.get(), 0), 7);
  // The sub-messages made for decoding are gone when absent from the wire.
  for (int32_t index : {12, 14, 15})
    EXPECT_EQ(config->messageInfo()->values[index], nullptr) << index;
  // An empty PsmSetting is present with its declared defaults not made up.
  auto psm = APMPBGetMessage<APMPBPsmSetting>(config.get(), 13);
  ASSERT_NE(psm, nullptr);
  for (int32_t index : {0, 1, 2}) EXPECT_FALSE(APMPBHasField(psm.get(), index)) << index;
  // Tags 12 and 13 were skipped and are not written.
  EXPECT_EQ(config->protoBuffer()->vector(), kept);
}

TEST(MeasurementSchemas, ClearedAudiencesAreNotWritten) {
  std::vector<uint8_t> audience =
      concat({varintField(1, 3), lengthDelimited(3, varintField(1, 0))});
  std::vector<uint8_t> input =
      concat({lengthDelimited(2, std::string("1:123:ios:abc")), lengthDelimited(6, audience),
              lengthDelimited(6, audience), lengthDelimited(11, std::string("eu"))});
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
  std::vector<uint8_t> snapshot =
      concat({lengthDelimited(1, std::string("sdk")), lengthDelimited(2, varintField(1, 11))});
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
               lengthDelimited(2, concat({lengthDelimited(1, std::string("other")),
                                          varintField(2, 2), lengthDelimited(3, snapshot)}))}),
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
      {"a conversion value answer with only a status", varintField(1, 2),
       [](const os::Data& bytes) {
         auto response = APMPBSkAdNetworkConversionValueResponse::initWithBuffer(bytes);
         ASSERT_NE(response, nullptr);
         EXPECT_EQ(APMPBGetInt32(response.get(), 0), 2);
         for (int32_t index = 1; index < 8; index++)
           EXPECT_FALSE(APMPBHasField(response.get(), index));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.check(os::Data(c.input));
  }
}

}  // namespace
}  // namespace apmpb::test
