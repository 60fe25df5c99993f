#include <gtest/gtest.h>

#include "measurement/messages/tests/test_support.h"
#include "os/foundation/system_log.h"

namespace apmpb::test {
namespace {

std::vector<std::string> logLines(const os::LogCapture& capture) {
  std::vector<std::string> lines;
  for (const auto& record : capture.records()) lines.push_back(record.message);
  return lines;
}

using Lines = std::vector<std::string>;

TEST(FieldAccess, ScalarsRoundTripThroughTheirAccessors) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto* b = bundle.get();
  APMPBSetInt32(b, 0, -3);
  APMPBSetInt64(b, 3, INT64_MIN);
  APMPBSetBool(b, 21, true);
  APMPBSetInt32(b, 41, 5);  // enum
  APMPBSetString(b, 8, "ios");
  auto flag = APMPBFlag::initWithMessageInfo(nullptr);
  APMPBSetDouble(flag.get(), 3, 2.5);

  os::LogCapture capture;
  EXPECT_EQ(APMPBGetInt32(b, 0), -3);
  EXPECT_EQ(APMPBGetInt64(b, 3), INT64_MIN);
  EXPECT_TRUE(APMPBGetBool(b, 21));
  EXPECT_EQ(APMPBGetInt32(b, 41), 5);
  EXPECT_EQ(APMPBGetString(b, 8), "ios");
  EXPECT_EQ(APMPBGetDouble(flag.get(), 3), 2.5);
  EXPECT_FALSE(APMPBHasField(b, 4));
  EXPECT_EQ(APMPBGetInt64(b, 4), 0);
  EXPECT_TRUE(APMPBHasField(b, 1));  // repeated fields are always present
  EXPECT_EQ(logLines(capture), Lines{});

  auto decoded = APMPBMeasurementBundle::initWithBuffer(*bundle->protoBuffer());
  EXPECT_EQ(APMPBGetInt32(decoded.get(), 0), -3);
  EXPECT_EQ(APMPBGetInt64(decoded.get(), 3), INT64_MIN);
  EXPECT_EQ(APMPBGetInt32(decoded.get(), 41), 5);
  EXPECT_EQ(APMPBGetString(decoded.get(), 8), "ios");
}

TEST(FieldAccess, MisuseIsLoggedAndYieldsTheAbsentValue) {
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  auto param = APMPBEventParam::initWithMessageInfo(nullptr);
  struct Case {
    const char* name;
    std::function<void()> call;
    std::string line;
  };
  std::vector<Case> cases = {
      {"nil message", [] { EXPECT_FALSE(APMPBHasField(nullptr, 0)); },
       "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
       "Message name (null)"},
      {"nil message getter", [] { EXPECT_EQ(APMPBGetInt64(nullptr, 0), 0); },
       "ProtocolBuffer message hasn't been initialized. GetInt64 can't be performed"},
      {"int64 getter on an int32 field", [&] { EXPECT_EQ(APMPBGetInt64(event.get(), 4), 0); },
       "<Nano/Failure> Field type isn't a scalar INT64. Message: Event, field ID: 4"},
      {"double getter on a float field", [&] { EXPECT_EQ(APMPBGetDouble(param.get(), 3), 0.0); },
       "<Nano/Failure> Field type isn't a scalar DOUBLE. Message: EventParam, field ID: 3"},
      {"string setter on a repeated field", [&] { APMPBSetString(event.get(), 0, "x"); },
       "<Nano/Failure> Field type isn't a scalar STRING. Message: Event, field ID: 0"},
      {"array getter on a singular field", [&] { EXPECT_FALSE(APMPBGetArray(event.get(), 1)); },
       "<Nano/Failure> Field type isn't REPEATED. Message: Event, field ID: 1"},
      // Mended: indices were not checked against the message, so an index past
      // the last field read and wrote beyond the record's slots.
      {"index past the last field", [&] { APMPBSetInt64(event.get(), 5, 1); },
       "<Nano/Failure> Field index out of range. Message: Event, field ID: 5"},
      {"negative index", [&] { EXPECT_FALSE(APMPBHasField(event.get(), -1)); },
       "<Nano/Failure> Field index out of range. Message: Event, field ID: -1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::LogCapture capture;
    c.call();
    EXPECT_EQ(logLines(capture), Lines{c.line});
  }
  EXPECT_EQ(event->protoBuffer()->size(), 0u);
}

TEST(FieldAccess, StringsPresentAbsentAndEmpty) {
  auto flag = APMPBFlag::initWithMessageInfo(nullptr);
  APMPBSetString(flag.get(), 0, "");
  EXPECT_TRUE(APMPBHasField(flag.get(), 0));
  EXPECT_EQ(APMPBGetString(flag.get(), 0), "");
  APMPBSetString(flag.get(), 0, std::nullopt);
  EXPECT_FALSE(APMPBHasField(flag.get(), 0));
  EXPECT_EQ(APMPBGetString(flag.get(), 0), std::nullopt);
}

TEST(FieldAccess, SubMessagesAreCopiedInAndOut) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  auto campaign = APMPBAdCampaignInfo::initWithMessageInfo(nullptr);
  APMPBSetString(campaign.get(), 0, "click");
  APMPBSetMessage(bundle.get(), 52, campaign.get());
  APMPBSetString(campaign.get(), 0, "changed");

  auto stored = APMPBGetMessage<APMPBAdCampaignInfo>(bundle.get(), 52);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(APMPBGetString(stored.get(), 0), "click");
  APMPBSetString(stored.get(), 0, "changed too");
  EXPECT_EQ(APMPBGetString(APMPBGetMessage<APMPBAdCampaignInfo>(bundle.get(), 52).get(), 0), "click");
  // A class of another message builds nothing.
  EXPECT_EQ(APMPBGetMessage<APMPBFlag>(bundle.get(), 52), nullptr);

  // Mended: a message of another type was stored as is, and the bundle's
  // encoder then walked it with the campaign schema.
  auto flag = APMPBFlag::initWithMessageInfo(nullptr);
  os::LogCapture capture;
  APMPBSetMessage(bundle.get(), 52, flag.get());
  EXPECT_EQ(logLines(capture),
            Lines{"<ERROR> Invalid message type. Field expects AdCampaignInfo. Type: APMPBFlag"});
  EXPECT_EQ(APMPBGetString(APMPBGetMessage<APMPBAdCampaignInfo>(bundle.get(), 52).get(), 0), "click");

  APMPBSetMessage(bundle.get(), 52, nullptr);
  EXPECT_FALSE(APMPBHasField(bundle.get(), 52));
}

TEST(FieldAccess, ArraysOfNumbersStringsAndMessages) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetArray(bundle.get(), 37, os::Array{os::Value(7), os::Value(4000000000u)});
  APMPBSetArray(bundle.get(), 44, os::Array{os::Value("os_version"), os::Value("device_model")});
  auto first = APMPBEvent::initWithMessageInfo(nullptr);
  auto second = APMPBEvent::initWithMessageInfo(nullptr);
  APMPBSetString(first.get(), 1, "_s");
  APMPBSetString(second.get(), 1, "_e");
  APMPBSetArray(bundle.get(), 1, std::vector{first, second});

  auto decoded = APMPBMeasurementBundle::initWithBuffer(*bundle->protoBuffer());
  for (const auto& b : {bundle, decoded}) {
    EXPECT_EQ(APMPBGetArray(b.get(), 37),
              (os::Array{os::Value(os::Number::uint32(7)), os::Value(os::Number::uint32(4000000000u))}));
    EXPECT_EQ(APMPBGetArray(b.get(), 44), (os::Array{os::Value("os_version"), os::Value("device_model")}));
    auto events = APMPBGetArray<APMPBEvent>(b.get(), 1);
    ASSERT_TRUE(events.has_value());
    ASSERT_EQ(events->size(), 2u);
    EXPECT_EQ(APMPBGetString((*events)[0].get(), 1), "_s");
    EXPECT_EQ(APMPBGetString((*events)[1].get(), 1), "_e");
  }
}

TEST(FieldAccess, ArraySetterLeavesNoPartialArray) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetArray(bundle.get(), 44, os::Array{os::Value("a")});
  struct Case {
    const char* name;
    std::function<void()> set;
    Lines lines;
  };
  auto event = APMPBEvent::initWithMessageInfo(nullptr);
  auto flag = APMPBFlag::initWithMessageInfo(nullptr);
  std::vector<Case> cases = {
      {"third element of the wrong class",
       [&] { APMPBSetArray(bundle.get(), 44, os::Array{os::Value("a"), os::Value("b"), os::Value(3)}); },
       {"<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber"}},
      {"number field given a string",
       [&] { APMPBSetArray(bundle.get(), 37, os::Array{os::Value(1), os::Value("2")}); },
       {"<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSString"}},
      {"message field given values",
       [&] { APMPBSetArray(bundle.get(), 1, os::Array{os::Value(1)}); },
       {"<ERROR> Invalid object type. Message fields expect NANOMessageBase. Type: NSNumber"}},
      // Mended: elements of another message type were stored as is.
      {"message field given another message",
       [&] { APMPBSetArray(bundle.get(), 1, std::vector<std::shared_ptr<NANOMessageBase>>{event, flag}); },
       {"<ERROR> Invalid message type. Field expects Event. Type: APMPBFlag"}},
      {"nil", [&] { APMPBSetArray(bundle.get(), 44, nullptr); }, {}},
      {"empty", [&] { APMPBSetArray(bundle.get(), 44, os::Array{}); }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    os::LogCapture capture;
    c.set();
    EXPECT_EQ(logLines(capture), c.lines);
    for (int index : {1, 37, 44}) EXPECT_EQ(APMPBGetArray(bundle.get(), index), os::Array{});
  }
}

TEST(FieldAccess, ArrayGetterSkipsStringsThatAreNotUTF8) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  std::vector<uint8_t> bytes = concat({lengthDelimited(64, std::string("a")),
                                       lengthDelimited(64, std::string("\xC3\x28")),
                                       lengthDelimited(64, std::string("c"))});
  auto decoded = APMPBMeasurementBundle::initWithBuffer(os::Data(bytes));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(APMPBGetArray(decoded.get(), 44), (os::Array{os::Value("a"), os::Value("c")}));
}

}  // namespace
}  // namespace apmpb::test
