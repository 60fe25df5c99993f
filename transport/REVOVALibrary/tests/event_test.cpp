#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <filesystem>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/bundle.h"
#include "os/foundation/date_format.h"
#include "os/foundation/system_log.h"
#include "platform/utilities/endpoints.h"
#include "transport/REVOVALibrary/revova_event.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/tests/test_support.h"

namespace {

using revova_test::BytesDataObject;
using revova_test::makeEvent;

// Writes the chosen keys of an event under the archived class name
// "REVOVAEvent", as an archive from elsewhere might hold them.
class PartialEvent : public os::SecureCoding {
 public:
  bool withEventID = true;
  bool withBytes = true;
  void encodeWithCoder(os::KeyedArchiver& coder) const override {
    if (withEventID) coder.encodeValue(os::Value("0123456789ABCDEF0123456789ABCDEF"), kREVOVAEventEventIDKey);
    coder.encodeValue(os::Value("1206"), kREVOVAEventMappingIDKey);
    coder.encodeInt64(1002, kREVOVAEventTargetKey);
    if (withBytes) coder.encodeValue(os::Value(os::Data::fromString("report")), kREVOVAEventSerializedDataObjectBytesKey);
  }
  static std::shared_ptr<PartialEvent> initWithCoder(os::KeyedUnarchiver&) { return nullptr; }
};
const os::CodingRegistration<PartialEvent> kPartialEventCoding("TransportTestPartialEvent");

os::Result<std::shared_ptr<REVOVAEvent>> decodePartial(bool withEventID, bool withBytes) {
  auto partial = std::make_shared<PartialEvent>();
  partial->withEventID = withEventID;
  partial->withBytes = withBytes;
  os::KeyedArchiver archiver;
  archiver.setClassName("REVOVAEvent", "TransportTestPartialEvent");
  archiver.encodeRootObject(partial);
  auto data = archiver.encodedData();
  if (!data) return os::fail(data.error());
  return os::KeyedUnarchiver::unarchivedObjectOfClass<REVOVAEvent>(*data);
}

bool isEventID(const std::string& id) {
  if (id.size() != 32) return false;
  for (char c : id)
    if (!std::isxdigit(static_cast<unsigned char>(c)) || std::islower(static_cast<unsigned char>(c))) return false;
  return true;
}

TEST(REVOVAEventTest, InvalidMappingIDOrTargetGivesNoEventAndAnAssertionLine) {
  const struct {
    const char* mappingID;
    int64_t target;
    const char* message;
  } cases[] = {
      {"", 1001, "Please give a valid mapping ID"},
      {"1974", 0, "A target cannot be negative or 0"},
      {"1974", -5, "A target cannot be negative or 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mappingID) + " " + std::to_string(c.target));
    os::LogCapture capture;
    EXPECT_EQ(REVOVAEvent::initWithMappingID(c.mappingID, c.target), nullptr);
    auto lines = capture.recordsContaining("[DuzaveZaduZuvuzedoz][I-REVOVA001006] (revova_event.cpp:");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].message.find(c.message), std::string::npos) << lines[0].message;
  }
}

TEST(REVOVAEventTest, NewEventsAndCopiesExpireSevenDaysAfterTheyAreMade) {
  os::ManualClockScope clock;
  auto first = REVOVAEvent::initWithMappingID("1974", 1001);
  auto second = REVOVAEvent::initWithMappingID("1974", 1001);
  EXPECT_TRUE(isEventID(first->eventID())) << first->eventID();
  EXPECT_NE(first->eventID(), second->eventID());
  EXPECT_EQ(first->qosTier(), kREVOVAEventQoSTierDefault);
  EXPECT_EQ(first->expirationDate(), os::Date::now().addingTimeInterval(604'800));

  first->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("a")));
  first->setQosTier(4);
  first->setCustomBytes(os::Data::fromString("custom"));
  first->setClockSnapshot(REVOVAClock::snapshot());
  clock->advance(86'400);
  auto copy = first->copy();
  EXPECT_EQ(copy->expirationDate(), os::Date::now().addingTimeInterval(604'800));
  EXPECT_EQ(copy->eventID(), first->eventID());
  EXPECT_EQ(copy->qosTier(), 4);
  EXPECT_EQ(copy->customBytes(), first->customBytes());
  EXPECT_TRUE(copy->isEqual(*first));
}

TEST(REVOVAEventTest, PayloadIsTakenWhenTheDataObjectIsSet) {
  auto object = std::make_shared<BytesDataObject>(os::Data::fromString("v1"));
  auto event = makeEvent("1974", 1001, "");
  event->setDataObject(object);
  object->setBytes(os::Data::fromString("v2"));
  EXPECT_EQ(event->serializedDataObjectBytes(), os::Data::fromString("v1"));

  // A data object without bytes leaves none, and the archive cannot be read
  // back as an event.
  event->setDataObject(std::make_shared<BytesDataObject>(std::nullopt));
  EXPECT_FALSE(event->serializedDataObjectBytes());
  auto archive = os::KeyedArchiver::archivedDataWithRootObject(event);
  ASSERT_TRUE(archive);
  EXPECT_FALSE(os::KeyedUnarchiver::unarchivedObjectOfClass<REVOVAEvent>(*archive));
}

TEST(REVOVAEventTest, ArchiveKeepsEveryFieldAndToleratesOnlyAMissingEventID) {
  auto event = REVOVAEvent::initWithMappingID("12-06", REVOVAProductData::initWithProductID(INT32_MAX), 1002);
  event->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("payload")));
  event->setQosTier(4);
  event->setCustomBytes(os::Data::fromString("custom"));
  event->setClockSnapshot(std::make_shared<REVOVAClock>(-1, 7200, INT64_MAX, 5));
  event->setExpirationDate(os::Date::fromTimeIntervalSince1970(1'700'604'800));
  auto archive = os::KeyedArchiver::archivedDataWithRootObject(event);
  ASSERT_TRUE(archive) << archive.error().description();
  auto back = os::KeyedUnarchiver::unarchivedObjectOfClass<REVOVAEvent>(*archive);
  ASSERT_TRUE(back) << back.error().description();
  EXPECT_TRUE((*back)->isEqual(*event));
  EXPECT_EQ((*back)->productData()->productID(), INT32_MAX);
  EXPECT_EQ((*back)->customBytes(), os::Data::fromString("custom"));
  EXPECT_EQ((*back)->expirationDate(), event->expirationDate());
  EXPECT_EQ((*back)->dataObject(), nullptr);

  auto withoutID = decodePartial(false, true);
  ASSERT_TRUE(withoutID) << withoutID.error().description();
  EXPECT_TRUE(isEventID((*withoutID)->eventID()));
  EXPECT_EQ((*withoutID)->qosTier(), 0);
  auto withoutBytes = decodePartial(true, false);
  ASSERT_FALSE(withoutBytes);
  EXPECT_EQ(withoutBytes.error().code(), os::kCoderReadCorruptError);
}

// Mended: equality compared the hashes only; events differing in fields
// whose exclusive-or is the same were one event, so a batch (a set) merged
// them and the upload's removal deleted both files.
TEST(REVOVAEventTest, EqualityComparesFieldsNotHashes) {
  auto a = makeEvent("1974", 1001, "same");
  a->setQosTier(3);
  auto b = REVOVAEvent::initWithMappingID("1974", 3);
  b->setEventID(a->eventID());
  b->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString("same")));
  b->setQosTier(1001);
  b->setClockSnapshot(a->clockSnapshot());
  ASSERT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_EQ((REVOVAEventSet{a, b}).size(), 2u);

  REVOVAClock c1(1'700'000'000'000, 3600, 10, 20);
  REVOVAClock c2(3600, 1'700'000'000'000, 10, 20);
  ASSERT_EQ(c1.hash(), c2.hash());
  EXPECT_FALSE(c1 == c2);
  EXPECT_TRUE(c1 == REVOVAClock(1'700'000'000'000, 3600, 10, 20));

  auto p7 = REVOVAProductData::initWithProductID(7);
  EXPECT_TRUE(p7->isEqual(*REVOVAProductData::initWithProductID(7)));
  EXPECT_EQ(p7->hash(), REVOVAProductData::initWithProductID(7)->hash());
  EXPECT_FALSE(p7->isEqual(*REVOVAProductData::initWithProductID(8)));
}

TEST(REVOVAClockTest, SnapshotReadsTheClocksOfNow) {
  os::ManualClockScope clock;  // wall 1,700,000,000 s; 1,000 s since boot
  auto now = REVOVAClock::snapshot();
  EXPECT_EQ(now->timeMillis(), 1'700'000'000'000);
  EXPECT_EQ(now->kernelBootTimeNanoseconds(), 1'699'999'000 * 1'000'000'000LL);
  EXPECT_EQ(now->uptimeNanoseconds(), 1'000 * 1'000'000'000LL);
  EXPECT_EQ(now->uptimeMilliseconds(), 1'000'000);
  EXPECT_EQ(now->timezoneOffsetSeconds(), os::TimeZone::systemTimeZone().secondsFromGMT());

  auto later = REVOVAClock::clockSnapshotInTheFuture(600'000);
  EXPECT_EQ(later->timeMillis(), now->timeMillis() + 600'000);
  EXPECT_EQ(later->kernelBootTime(), now->kernelBootTime());
  EXPECT_EQ(later->uptime(), now->uptime());
  EXPECT_EQ(later->timezoneOffsetSeconds(), now->timezoneOffsetSeconds());
}

// The boot time was the wall clock minus uptime at each read: it moved by
// microseconds, and a later boot time made a stored wait look already over.
TEST(REVOVAClockTest, ARunningClockKeepsOneBootTimeSoAWaitIsNotOverBeforeItsTime) {
  // Wall time moves 3 us at each read while uptime stands still, as two
  // clocks read one after the other do.
  class DriftingClock : public os::Clock {
   public:
    double wallTime() const override { return 1'700'000'000 + 3e-6 * double(reads_++); }
    int64_t uptimeNanos() const override { return 1'000'000'000'000; }

   private:
    mutable std::atomic<int64_t> reads_{0};
  };
  auto previous = os::Clock::setCurrent(std::make_shared<DriftingClock>());
  auto due = REVOVAClock::clockSnapshotInTheFuture(1);
  auto now = REVOVAClock::snapshot();
  os::Clock::setCurrent(previous);
  EXPECT_EQ(now->kernelBootTimeNanoseconds(), due->kernelBootTimeNanoseconds());
  EXPECT_FALSE(now->isAfter(*due));
}

TEST(REVOVAClockTest, IsAfterPrefersTheLaterBootThenLocalWallTime) {
  const struct {
    REVOVAClock self, other;
    bool after;
  } cases[] = {
      // A later boot wins whatever the wall clock says.
      {{1'000, 0, 200, 0}, {9'000, 0, 100, 0}, true},
      {{9'000, 0, 100, 0}, {1'000, 0, 200, 0}, false},
      // Same boot: milliseconds plus the offset in seconds, unscaled.
      {{1'000, 0, 100, 0}, {999, 0, 100, 0}, true},
      {{1'000, 0, 100, 0}, {999, 2, 100, 0}, false},
      {{1'000, 0, 100, 0}, {1'000, 0, 100, 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.self.timeMillis()) + " vs " + std::to_string(c.other.timeMillis()));
    EXPECT_EQ(c.self.isAfter(c.other), c.after);
  }
}

TEST(REVOVAPlatformTest, ArchivingWithoutAPathWritesNothing) {
  std::string folder = revova_test::stateDirectory() + "/archive-test";
  auto archive = REVOVAArchiveObject(makeEvent("1974", 1001, "x"), "", nullptr);
  ASSERT_TRUE(archive);
  EXPECT_TRUE(os::KeyedUnarchiver::unarchivedObjectOfClass<REVOVAEvent>(*archive));
  EXPECT_FALSE(std::filesystem::exists(folder));

  os::Error error;
  ASSERT_TRUE(REVOVAArchiveObject(makeEvent("1974", 1001, "x"), folder + "/a/event", &error));
  auto read = REVOVAUnarchiveFile<REVOVAEvent>(folder + "/a/event");
  EXPECT_TRUE(read);
  EXPECT_FALSE(REVOVAWriteFileData(os::Data::fromString("x"), "", &error));
  std::filesystem::remove_all(folder);
}

TEST(REVOVAPlatformTest, OnlyErrorLinesReachTheLog) {
  const struct {
    int64_t level;
    bool written;
  } cases[] = {{kREVOVALogLevelDebug, false}, {kREVOVALogLevelWarning, false}, {kREVOVALogLevelError, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.level);
    os::LogCapture capture;
    REVOVALog(42, c.level, "level %ld line", c.level);
    auto lines = capture.recordsContaining("[DuzaveZaduZuvuzedoz][I-REVOVA000042] level " + std::to_string(c.level) +
                                           " line");
    EXPECT_EQ(lines.size(), c.written ? 1u : 0u);
  }
}

TEST(REVOVAPlatformTest, StateDirectoryIsInCachesAndMadeAgainWhenMissing) {
  std::string state = revova_test::stateDirectory();
  EXPECT_TRUE(state.ends_with("/Library/Caches/devuvo-sdks-events")) << state;
  std::filesystem::remove_all(state);
  EXPECT_EQ(revova_test::stateDirectory(), state);
  EXPECT_TRUE(std::filesystem::is_directory(state));
}

TEST(REVOVAPlatformTest, UploadEndpointsComeFromTheBundleForUploadingTargetsOnly) {
  os::Bundle::setMainBundlePath(std::string(DROSIL_SOURCE_DIR) + "/app/bundle");
  DAZEndpoints::reload();
  REVOVAEndpoints::TEST_reset();
  EXPECT_FALSE(REVOVAEndpoints::uploadURLForTarget(999));
  for (int64_t target : {1000, 1001, 1002, 1003}) {
    SCOPED_TRACE(target);
    auto url = REVOVAEndpoints::uploadURLForTarget(target);
    ASSERT_TRUE(url);
    EXPECT_EQ(*url, *DAZEndpoints::URLForKey("TransportUpload" + std::to_string(target)));
  }
  EXPECT_EQ(REVOVAEndpoints::uploadURLs().size(), 4u);
  os::Bundle::setMainBundlePath("");
  DAZEndpoints::reload();
  REVOVAEndpoints::TEST_reset();
}

}  // namespace
