#include "transport/REVOVALibrary/tests/test_support.h"

#include <sys/stat.h>

#include <filesystem>

#include "os/foundation/device_profile.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/sandbox.h"
#include "transport/REVOVALibrary/revova_metrics.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace fs = std::filesystem;

namespace revova_test {
namespace {

class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    sandbox_ = std::make_unique<os::TemporarySandbox>();
    // No network: the uploader registered at class load never takes events
    // out of the store under these tests.
    os::DeviceProfile device;
    device.network = os::DeviceNetwork::None;
    os::DeviceProfile::setCurrent(device);
  }
  void TearDown() override { sandbox_.reset(); }

 private:
  std::unique_ptr<os::TemporarySandbox> sandbox_;
};

[[maybe_unused]] const auto* kEnvironment = ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

}  // namespace

REVOVAEventPtr makeEvent(const std::string& mappingID, int64_t target, const std::string& payload, int64_t qosTier,
                         std::optional<os::Date> expiration) {
  auto event = REVOVAEvent::initWithMappingID(mappingID, target);
  event->setDataObject(std::make_shared<BytesDataObject>(os::Data::fromString(payload)));
  event->setQosTier(qosTier);
  event->setClockSnapshot(std::make_shared<REVOVAClock>(1'700'000'000'000, 3600, 1'699'000'000'000'000'000,
                                                        1'000'000'000'000));
  if (expiration) event->setExpirationDate(*expiration);
  return event;
}

std::string stateDirectory() {
  std::string path = REVOVAStateDirectoryURL().path();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string storageRoot() { return stateDirectory() + "/REVOVAFlatFileStorage"; }

std::string eventFolder(int64_t target) { return storageRoot() + "/dov_event_data/" + std::to_string(target); }

std::vector<std::string> filesUnder(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  if (!fs::exists(folder, ec)) return out;
  for (auto& entry : fs::recursive_directory_iterator(folder, ec))
    if (entry.is_regular_file()) out.push_back(fs::relative(entry.path(), folder).string());
  std::sort(out.begin(), out.end());
  return out;
}

uint64_t bytesUnder(const std::string& folder) {
  uint64_t total = 0;
  for (const auto& file : filesUnder(folder)) total += fs::file_size(fs::path(folder) / file);
  return total;
}

std::string metricsFile() { return storageRoot() + "/dov_library_data/" + kREVOVAMetricsMetadataLibraryDataKey; }

std::string fileIdentity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
         std::to_string(st.st_ctim.tv_nsec);
}

std::pair<bool, std::optional<os::Error>> store(REVOVAFlatFileStorage& storage, const REVOVAEventPtr& event) {
  using Outcome = std::pair<bool, std::optional<os::Error>>;
  auto outcome = waitFor<Outcome>([&](std::function<void(Outcome)> done) {
    storage.storeEvent(event, [done](bool written, std::optional<os::Error> error) { done({written, error}); });
  });
  return outcome.value_or(Outcome{false, std::nullopt});
}

std::pair<std::optional<int64_t>, std::optional<REVOVAEventSet>> batch(REVOVAFlatFileStorage& storage,
                                                                       const REVOVAStorageEventSelector& selector,
                                                                       os::Date expiration) {
  using Outcome = std::pair<std::optional<int64_t>, std::optional<REVOVAEventSet>>;
  auto outcome = waitFor<Outcome>([&](std::function<void(Outcome)> done) {
    storage.batchWithEventSelector(selector, expiration,
                                   [done](std::optional<int64_t> id, std::optional<REVOVAEventSet> events) {
                                     done({id, std::move(events)});
                                   });
  });
  if (!outcome) return {};
  return std::move(*outcome);
}

void removeBatch(REVOVAFlatFileStorage& storage, int64_t batchID, bool deleteEvents) {
  waitFor<bool>([&](std::function<void(bool)> done) {
    storage.removeBatchWithID(batchID, deleteEvents, [done] { done(true); });
  });
}

std::optional<std::set<int64_t>> batchIDs(REVOVAFlatFileStorage& storage, int64_t target) {
  using Outcome = std::optional<std::set<int64_t>>;
  return waitFor<Outcome>([&](std::function<void(Outcome)> done) {
           storage.batchIDsForTarget(target, [done](Outcome ids) { done(std::move(ids)); });
         })
      .value_or(std::nullopt);
}

void drain(REVOVAFlatFileStorage& storage) {
  waitFor<bool>([&](std::function<void(bool)> done) { storage.storageQueue()->async([done] { done(true); }); });
}

std::set<std::string> idsOf(const REVOVAEventSet& events) {
  std::set<std::string> ids;
  for (const auto& event : events) ids.insert(event->eventID());
  return ids;
}

void StateTest::emptyStore() {
  auto shared = REVOVAFlatFileStorage::sharedInstance();
  drain(*shared);
  std::error_code ec;
  fs::remove_all(stateDirectory(), ec);
  shared->storageQueue()->sync([&] { shared->sizeTracker().resetCachedSize(); });
}

void StateTest::SetUp() { emptyStore(); }
void StateTest::TearDown() { emptyStore(); }

void RecordingDelegate::storage(const std::shared_ptr<REVOVAStorageProtocol>&,
                                const REVOVAEventSet& didRemoveExpiredEvents) {
  std::lock_guard lock(mutex_);
  expired_.insert(didRemoveExpiredEvents.begin(), didRemoveExpiredEvents.end());
}

void RecordingDelegate::storage(const std::shared_ptr<REVOVAStorageProtocol>&, const REVOVAEventPtr& didDropEvent) {
  std::lock_guard lock(mutex_);
  dropped_.insert(didDropEvent);
}

REVOVAEventSet RecordingDelegate::expired() const {
  std::lock_guard lock(mutex_);
  return expired_;
}

REVOVAEventSet RecordingDelegate::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace revova_test
