#include "measurement/engine/tests/upload_test_support.h"

#include <algorithm>

#include "measurement/messages/field_access.h"
#include "os/foundation/date.h"
#include "os/net/reachability.h"

namespace upload_test {

namespace {

constexpr int32_t kBundleUserAttributesField = 2;
constexpr int32_t kBundleStartTimestampField = 4;
constexpr int32_t kBundleEndTimestampField = 5;
constexpr int32_t kBundleAppIDField = 14;
constexpr int32_t kBundleVendorDeviceIDField = 20;
constexpr int32_t kBundleRetryCountField = 35;
constexpr int32_t kUserAttributeNameField = 1;
constexpr int32_t kUserAttributeIntValueField = 3;

}  // namespace

void UploadTest::SetUp() {
  EngineTest::SetUp();
  os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
  monitor_->TEST_setLogObserver([this](int64_t, int64_t code, const std::vector<APMLogContext>&) {
    std::lock_guard lock(loggedMutex_);
    logged_.push_back(code);
  });
  start();
  ASSERT_NE(engine(), nullptr);
  ASSERT_NE(engine()->database(), nullptr);
  // The launch's own events and their upload schedule are not this fixture's.
  engine()->scheduler()->workerQueue()->sync([&] {
    engine()->database()->deleteRawEventsWithMaxRowID(INT64_MAX, nullptr);
    engine()->alarm()->cancel();
  });
  clearCounts();
}

void UploadTest::TearDown() {
  os::SCNetworkReachabilityTEST_setFlagsProvider(nullptr);
  EngineTest::TearDown();
  monitor_->TEST_setLogObserver(nullptr);
}

double UploadTest::now() { return os::Date::now().timeIntervalSince1970(); }

void UploadTest::queueBundle(int64_t endMillis, const BundleOptions& options) {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetString(bundle.get(), kBundleAppIDField, engine_test::kAppID);
  APMPBSetInt64(bundle.get(), kBundleStartTimestampField, endMillis);
  APMPBSetInt64(bundle.get(), kBundleEndTimestampField, endMillis);
  if (!options.vendorID.empty()) APMPBSetString(bundle.get(), kBundleVendorDeviceIDField, options.vendorID);
  if (options.npa) {
    auto attribute = APMPBUserAttribute::initWithMessageInfo(nullptr);
    APMPBSetString(attribute.get(), kUserAttributeNameField, "_npa");
    APMPBSetInt64(attribute.get(), kUserAttributeIntValueField, *options.npa);
    APMPBSetArray<APMPBUserAttribute>(bundle.get(), kBundleUserAttributesField, {attribute});
  }
  engine()->scheduler()->workerQueue()->sync([&] {
    os::Error error;
    EXPECT_TRUE(engine()->database()->insertBundle(bundle, false, &error)) << error.localizedDescription();
  });
}

void UploadTest::clearQueue() {
  engine()->scheduler()->workerQueue()->sync([&] {
    auto queued = engine()->database()->queryBundlesWithCountLimit(1000, 100'000'000, nullptr);
    std::vector<int64_t> rows;
    for (const auto& q : queued.value_or(std::vector<APMQueuedBundle>{})) rows.push_back(q.rowID);
    if (!rows.empty()) engine()->database()->deleteBundlesWithRowIDs(rows, nullptr);
  });
}

std::vector<int64_t> UploadTest::queuedEndTimes() {
  std::vector<int64_t> out;
  engine()->scheduler()->workerQueue()->sync([&] {
    auto queued = engine()->database()->queryBundlesWithCountLimit(1000, 100'000'000, nullptr);
    for (const auto& q : queued.value_or(std::vector<APMQueuedBundle>{})) {
      out.push_back(APMPBGetInt64(q.bundle.get(), kBundleEndTimestampField));
    }
  });
  return out;
}

std::vector<int32_t> UploadTest::queuedRetryCounts() {
  std::vector<int32_t> out;
  engine()->scheduler()->workerQueue()->sync([&] {
    auto queued = engine()->database()->queryBundlesWithCountLimit(1000, 100'000'000, nullptr);
    for (const auto& q : queued.value_or(std::vector<APMQueuedBundle>{})) {
      out.push_back(APMPBGetInt32(q.bundle.get(), kBundleRetryCountField));
    }
  });
  return out;
}

double UploadTest::nextUploadingTime() {
  double next = 0;
  engine()->scheduler()->workerQueue()->sync([&] { next = engine()->nextUploadingTime(); });
  return next;
}

void UploadTest::updateSchedule() {
  engine()->scheduler()->workerQueue()->sync([&] { engine()->updateSchedule(); });
  settle();
}

void UploadTest::uploadNow() {
  engine()->scheduler()->workerQueue()->sync([&] { engine()->uploadData(); });
  settle();
}

double UploadTest::alarmTime() {
  const auto scheduled = engine()->alarm()->scheduledTimestamp();
  return scheduled ? scheduled->timeIntervalSince1970() : 0;
}

std::vector<Upload> UploadTest::uploads() {
  std::vector<Upload> out;
  for (const auto& request : server_.requests()) {
    if (request.path != "/a") continue;
    Upload upload{request, {}};
    auto batch = APMPBMeasurementBatch::initWithBuffer(os::Data::fromString(request.body));
    EXPECT_NE(batch, nullptr) << "the batch does not decode";
    if (batch) {
      upload.bundles = APMPBGetArray<APMPBMeasurementBundle>(batch.get(), 0)
                           .value_or(std::vector<std::shared_ptr<APMPBMeasurementBundle>>{});
    }
    out.push_back(std::move(upload));
  }
  return out;
}

int64_t UploadTest::count(int64_t code) {
  settle();
  std::lock_guard lock(loggedMutex_);
  return std::count(logged_.begin(), logged_.end(), code);
}

void UploadTest::clearCounts() {
  settle();
  std::lock_guard lock(loggedMutex_);
  logged_.clear();
}

}  // namespace upload_test
