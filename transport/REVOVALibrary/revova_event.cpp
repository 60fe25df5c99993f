#include "transport/REVOVALibrary/revova_event.h"

#include <algorithm>
#include <limits>

#include "os/foundation/clock.h"
#include "os/foundation/date_format.h"
#include "os/foundation/device_profile.h"
#include "os/foundation/uuid.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace {

const os::CodingRegistration<REVOVAClock> kClockCoding("REVOVAClock");
const os::CodingRegistration<REVOVAProductData> kProductDataCoding("REVOVAProductData");
const os::CodingRegistration<REVOVAEvent> kEventCoding("REVOVAEvent");

// A clock that moves while it is read may disagree with itself; a handful of
// retries settles it, and the loop must end whatever the clock does.
constexpr int kMaxBootTimeReads = 100;

size_t hashOf(int64_t v) { return std::hash<int64_t>{}(v); }
size_t hashOf(const std::string& s) { return std::hash<std::string>{}(s); }
size_t hashOf(const std::optional<os::Data>& d) { return d ? std::hash<std::string_view>{}(d->view()) : 0; }

template <class T>
bool sameObject(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
  if (!a || !b) return a == b;
  return a->isEqual(*b);
}

}  // namespace

// ---- REVOVAClock ----

REVOVAClock::REVOVAClock(int64_t timeMillis, int64_t timezoneOffsetSeconds, int64_t kernelBootTimeNanoseconds,
                         int64_t uptimeNanoseconds)
    : timeMillis_(timeMillis),
      timezoneOffsetSeconds_(timezoneOffsetSeconds),
      kernelBootTimeNanoseconds_(kernelBootTimeNanoseconds),
      uptimeNanoseconds_(uptimeNanoseconds) {}

std::shared_ptr<REVOVAClock> REVOVAClock::snapshot() {
  const int64_t kernelBootNanos = os::sysctl::bootTimeMicroseconds() * 1'000;
  // Uptime is the wall clock minus a boot time read on both sides of it, so
  // that a change of the wall clock in between is not mistaken for uptime.
  const int64_t bootMicros = os::sysctl::bootTimeMicroseconds();
  int64_t wallMicros = 0;
  for (int i = 0; i < kMaxBootTimeReads; ++i) {
    wallMicros = static_cast<int64_t>(os::Clock::current().wallTime() * 1e6);
    if (os::sysctl::bootTimeMicroseconds() == bootMicros) break;
  }
  const int64_t uptimeNanos = (wallMicros - bootMicros) * 1'000;
  const double seconds = os::Date::now().timeIntervalSinceReferenceDate() + os::Date::kTimeIntervalBetween1970AndReferenceDate;
  const auto timeMillis = static_cast<int64_t>(seconds * 1'000);
  const int64_t offset = os::TimeZone::systemTimeZone().secondsFromGMT();
  return std::make_shared<REVOVAClock>(timeMillis, offset, kernelBootNanos, uptimeNanos);
}

std::shared_ptr<REVOVAClock> REVOVAClock::clockSnapshotInTheFuture(uint64_t millisInTheFuture) {
  auto now = snapshot();
  // Saturates: a wait longer than the clock can count waits as long as it can.
  const uint64_t room = uint64_t(std::numeric_limits<int64_t>::max() - std::max<int64_t>(now->timeMillis_, 0));
  const int64_t ahead = static_cast<int64_t>(std::min(millisInTheFuture, room));
  return std::make_shared<REVOVAClock>(now->timeMillis_ + ahead,
                                       now->timezoneOffsetSeconds_, now->kernelBootTimeNanoseconds_,
                                       now->uptimeNanoseconds_);
}

bool REVOVAClock::isAfter(const REVOVAClock& other) const {
  if (kernelBootTimeNanoseconds_ != other.kernelBootTimeNanoseconds_)
    return other.kernelBootTimeNanoseconds_ < kernelBootTimeNanoseconds_;
  return timeMillis_ + timezoneOffsetSeconds_ > other.timeMillis_ + other.timezoneOffsetSeconds_;
}

size_t REVOVAClock::hash() const {
  return hashOf(timeMillis_) ^ hashOf(timezoneOffsetSeconds_) ^ hashOf(kernelBootTimeNanoseconds_) ^
         hashOf(uptimeNanoseconds_);
}

bool REVOVAClock::isEqual(const REVOVAClock& other) const {
  return timeMillis_ == other.timeMillis_ && timezoneOffsetSeconds_ == other.timezoneOffsetSeconds_ &&
         kernelBootTimeNanoseconds_ == other.kernelBootTimeNanoseconds_ &&
         uptimeNanoseconds_ == other.uptimeNanoseconds_;
}

void REVOVAClock::encodeWithCoder(os::KeyedArchiver& coder) const {
  coder.encodeInt64(timeMillis_, kREVOVAClockTimeMillisKey);
  coder.encodeInt64(timezoneOffsetSeconds_, kREVOVAClockTimezoneOffsetSecondsKey);
  coder.encodeInt64(kernelBootTimeNanoseconds_, kREVOVAClockKernelBootTimeKey);
  coder.encodeInt64(uptimeNanoseconds_, kREVOVAClockUptimeKey);
}

std::shared_ptr<REVOVAClock> REVOVAClock::initWithCoder(os::KeyedUnarchiver& coder) {
  return std::make_shared<REVOVAClock>(
      coder.decodeInt64ForKey(kREVOVAClockTimeMillisKey), coder.decodeInt64ForKey(kREVOVAClockTimezoneOffsetSecondsKey),
      coder.decodeInt64ForKey(kREVOVAClockKernelBootTimeKey), coder.decodeInt64ForKey(kREVOVAClockUptimeKey));
}

// ---- REVOVAProductData ----

void REVOVAProductData::encodeWithCoder(os::KeyedArchiver& coder) const {
  coder.encodeInt32(productID_, kREVOVAProductDataProductIDKey);
}

std::shared_ptr<REVOVAProductData> REVOVAProductData::initWithCoder(os::KeyedUnarchiver& coder) {
  return initWithProductID(coder.decodeInt32ForKey(kREVOVAProductDataProductIDKey));
}

// ---- REVOVAEvent ----

std::shared_ptr<REVOVAEvent> REVOVAEvent::initWithMappingID(const std::string& mappingID,
                                                            std::shared_ptr<const REVOVAProductData> productData,
                                                            int64_t target) {
  bool valid = REVOVAAssert(!mappingID.empty(), "Please give a valid mapping ID");
  valid = REVOVAAssert(target >= 1, "A target cannot be negative or 0") && valid;
  if (!valid) return nullptr;
  auto event = std::make_shared<REVOVAEvent>();
  event->eventID_ = nextEventID();
  event->mappingID_ = mappingID;
  event->productData_ = std::move(productData);
  event->target_ = target;
  event->qosTier_ = kREVOVAEventQoSTierDefault;
  event->expirationDate_ = os::Date::now().addingTimeInterval(kREVOVAEventDefaultLifetimeSeconds);
  REVOVALogDebug("Event %@ created. ID:%@ mappingID: %@ target:%ld", event->description(), event->eventID_,
                 mappingID, target);
  return event;
}

std::string REVOVAEvent::nextEventID() {
  std::string id = os::UUID().UUIDString();
  std::erase(id, '-');
  return id;
}

std::shared_ptr<REVOVAEvent> REVOVAEvent::copy() const {
  auto copy = initWithMappingID(mappingID_, productData_, target_);
  if (!copy) return nullptr;
  copy->eventID_ = eventID_;
  copy->setDataObject(dataObject_);
  copy->qosTier_ = qosTier_;
  copy->clockSnapshot_ = clockSnapshot_;
  copy->customBytes_ = customBytes_;
  REVOVALogDebug("Copying event %@ to event %@", description(), copy->description());
  return copy;
}

void REVOVAEvent::setDataObject(std::shared_ptr<REVOVAEventDataObject> dataObject) {
  if (dataObject != dataObject_) dataObject_ = std::move(dataObject);
  serializedDataObjectBytes_ = dataObject_ ? dataObject_->transportBytes() : std::nullopt;
}

size_t REVOVAEvent::hash() const {
  return hashOf(eventID_) ^ hashOf(mappingID_) ^ (productData_ ? productData_->hash() : 0) ^
         (clockSnapshot_ ? clockSnapshot_->hash() : 0) ^ hashOf(serializedDataObjectBytes_) ^
         static_cast<size_t>(target_) ^ static_cast<size_t>(qosTier_);
}

bool REVOVAEvent::isEqual(const REVOVAEvent& other) const {
  return eventID_ == other.eventID_ && mappingID_ == other.mappingID_ && target_ == other.target_ &&
         qosTier_ == other.qosTier_ && serializedDataObjectBytes_ == other.serializedDataObjectBytes_ &&
         sameObject(productData_, other.productData_) && sameObject(clockSnapshot_, other.clockSnapshot_);
}

std::string REVOVAEvent::description() const {
  return os::format("<REVOVAEvent %p> ID:%@ mappingID:%@ target:%ld", static_cast<const void*>(this), eventID_,
                    mappingID_, target_);
}

void REVOVAEvent::encodeWithCoder(os::KeyedArchiver& coder) const {
  coder.encodeValue(os::Value(eventID_), kREVOVAEventEventIDKey);
  coder.encodeValue(os::Value(mappingID_), kREVOVAEventMappingIDKey);
  coder.encodeObject(productData_, kREVOVAEventProductDataKey);
  coder.encodeInt64(target_, kREVOVAEventTargetKey);
  coder.encodeInt64(qosTier_, kREVOVAEventQoSTierKey);
  coder.encodeObject(clockSnapshot_, kREVOVAEventClockSnapshotKey);
  if (customBytes_) coder.encodeValue(os::Value(*customBytes_), kREVOVAEventCustomDataKey);
  coder.encodeValue(os::Value(expirationDate_), kREVOVAEventExpirationDateKey);
  if (serializedDataObjectBytes_)
    coder.encodeValue(os::Value(*serializedDataObjectBytes_), kREVOVAEventSerializedDataObjectBytesKey);
}

std::shared_ptr<REVOVAEvent> REVOVAEvent::initWithCoder(os::KeyedUnarchiver& coder) {
  if (!coder.requireKeys({kREVOVAEventSerializedDataObjectBytesKey})) return nullptr;
  auto event = std::make_shared<REVOVAEvent>();
  auto eventID = coder.decodeStringForKey(kREVOVAEventEventIDKey);
  event->eventID_ = eventID ? *eventID : nextEventID();
  event->mappingID_ = coder.decodeStringForKey(kREVOVAEventMappingIDKey).value_or("");
  event->productData_ = coder.decodeObjectOfClass<REVOVAProductData>(kREVOVAEventProductDataKey);
  event->target_ = coder.decodeInt64ForKey(kREVOVAEventTargetKey);
  event->qosTier_ = coder.decodeInt64ForKey(kREVOVAEventQoSTierKey);
  event->clockSnapshot_ = coder.decodeObjectOfClass<REVOVAClock>(kREVOVAEventClockSnapshotKey);
  event->customBytes_ = coder.decodeDataForKey(kREVOVAEventCustomDataKey);
  event->expirationDate_ = coder.decodeDateForKey(kREVOVAEventExpirationDateKey).value_or(os::Date());
  event->serializedDataObjectBytes_ = coder.decodeDataForKey(kREVOVAEventSerializedDataObjectBytesKey);
  if (coder.error()) return nullptr;
  return event;
}
