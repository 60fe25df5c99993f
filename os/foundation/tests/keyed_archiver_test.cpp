#include "os/foundation/keyed_archiver.h"

#include <gtest/gtest.h>

namespace os {
namespace {

class Clock2 : public SecureCoding {
 public:
  int64_t timeMillis = 0;
  static std::shared_ptr<Clock2> initWithCoder(KeyedUnarchiver& coder) {
    if (!coder.requireKeys({"REVOVAClockTimeMillis"})) return nullptr;
    auto c = std::make_shared<Clock2>();
    c->timeMillis = coder.decodeInt64ForKey("REVOVAClockTimeMillis");
    return c;
  }
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeInt64(timeMillis, "REVOVAClockTimeMillis"); }
};

class Event : public SecureCoding {
 public:
  std::string mappingID;
  std::shared_ptr<Clock2> clock;
  std::vector<std::shared_ptr<Clock2>> history;
  Data bytes;
  static std::shared_ptr<Event> initWithCoder(KeyedUnarchiver& coder) {
    if (!coder.requireKeys({"bytes"})) return nullptr;
    auto e = std::make_shared<Event>();
    e->mappingID = coder.decodeStringForKey("mappingID").value_or("");
    e->clock = coder.decodeObjectOfClass<Clock2>("clock");
    e->history = coder.decodeArrayOfObjectsOfClass<Clock2>("history");
    e->bytes = coder.decodeDataForKey("bytes").value_or(Data());
    return e;
  }
  void encodeWithCoder(KeyedArchiver& coder) const override {
    coder.encodeValue(Value(mappingID), "mappingID");
    coder.encodeObject(clock, "clock");
    coder.encodeObjects({history.begin(), history.end()}, "history");
    coder.encodeValue(Value(bytes), "bytes");
  }
};

class Unregistered : public SecureCoding {
 public:
  void encodeWithCoder(KeyedArchiver&) const override {}
};

const CodingRegistration<Clock2> kClockCoding("ArchiverTestClock");
const CodingRegistration<Event> kEventCoding("ArchiverTestEvent");

std::shared_ptr<Event> sampleEvent() {
  auto e = std::make_shared<Event>();
  e->mappingID = "1206";
  e->clock = std::make_shared<Clock2>();
  e->clock->timeMillis = 1'700'000'000'123;
  e->history = {std::make_shared<Clock2>(), std::make_shared<Clock2>()};
  e->history[1]->timeMillis = 5;
  e->bytes = Data::fromString("payload");
  return e;
}

TEST(KeyedArchiver, ObjectGraphRoundTrips) {
  auto data = KeyedArchiver::archivedDataWithRootObject(sampleEvent());
  ASSERT_TRUE(data) << data.error().description();
  auto back = KeyedUnarchiver::unarchivedObjectOfClass<Event>(*data);
  ASSERT_TRUE(back) << back.error().description();
  EXPECT_EQ((*back)->mappingID, "1206");
  ASSERT_NE((*back)->clock, nullptr);
  EXPECT_EQ((*back)->clock->timeMillis, 1'700'000'000'123);
  ASSERT_EQ((*back)->history.size(), 2u);
  EXPECT_EQ((*back)->history[1]->timeMillis, 5);
  EXPECT_EQ((*back)->bytes, Data::fromString("payload"));

  auto value = KeyedArchiver::archivedDataWithRootObject(Value(Dictionary{{"a", Value::arrayOf({Value(1), Value("x")})}}));
  ASSERT_TRUE(value);
  EXPECT_EQ(*KeyedUnarchiver::unarchivedValue(*value), Value(Dictionary{{"a", Value::arrayOf({Value(1), Value("x")})}}));
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value()));
}

// Archives that must be refused whole with 4864, never half-decoded.
TEST(KeyedArchiver, UnsafeOrDamagedArchivesAreRefused) {
  auto event = KeyedArchiver::archivedDataWithRootObject(sampleEvent());
  ASSERT_TRUE(event);
  auto clock = KeyedArchiver::archivedDataWithRootObject(sampleEvent()->clock);
  ASSERT_TRUE(clock);
  KeyedArchiver renamed;
  renamed.setClassName("ArchiverTestEvent", "ArchiverTestClock");
  renamed.encodeRootObject(sampleEvent()->clock);
  auto disguised = renamed.encodedData();  // a clock that claims to be an event
  ASSERT_TRUE(disguised);

  struct Case {
    const char* what;
    Result<std::shared_ptr<Event>> result;
  };
  Case cases[] = {
      {"class not allowed", KeyedUnarchiver::unarchivedObjectOfClass<Event>(*clock)},
      {"required key missing", KeyedUnarchiver::unarchivedObjectOfClass<Event>(*disguised)},
      {"not an archive", KeyedUnarchiver::unarchivedObjectOfClass<Event>(Data::fromString("garbage"))},
      {"truncated", KeyedUnarchiver::unarchivedObjectOfClass<Event>(event->subdata(0, event->length() / 2))},
  };
  for (auto& c : cases) {
    ASSERT_FALSE(c.result) << c.what;
    EXPECT_EQ(c.result.error().domain(), kCocoaErrorDomain) << c.what;
    EXPECT_EQ(c.result.error().code(), kCoderReadCorruptError) << c.what;
  }
  // A nested object of a class the decoder did not ask for fails the whole archive.
  auto nestedClock = KeyedUnarchiver::unarchivedObjectOfClasses({"ArchiverTestEvent"}, *event);
  EXPECT_TRUE(nestedClock);
  EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClasses({"ArchiverTestClock"}, *event));

  auto unregistered = KeyedArchiver::archivedDataWithRootObject(std::make_shared<Unregistered>());
  ASSERT_FALSE(unregistered);
  EXPECT_EQ(unregistered.error().code(), kCoderInvalidValueError);
}

TEST(KeyedArchiver, ClassNamesCanBeMapped) {
  KeyedArchiver archiver;
  archiver.setClassName("REZInstanceIDTokenInfo", "ArchiverTestClock");
  auto clock = std::make_shared<Clock2>();
  clock->timeMillis = 42;
  archiver.encodeRootObject(clock);
  auto data = archiver.encodedData();
  ASSERT_TRUE(data);
  EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClass<Clock2>(*data));  // unknown archived name
  auto coder = KeyedUnarchiver::initForReadingFromData(*data);
  ASSERT_TRUE(coder);
  (*coder)->setClass("ArchiverTestClock", "REZInstanceIDTokenInfo");
  auto back = (*coder)->decodeTopLevelObjectOfClass<Clock2>();
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)->timeMillis, 42);
}

}  // namespace
}  // namespace os
