// Test support of the transport tests.
//
// The transport computes its state directory once per process, so the whole
// test program runs in one temporary container (installed before the first
// test); StateTest empties the store before each test instead.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "os/foundation/data.h"
#include "os/foundation/date.h"
#include "platform/promises/promise.h"
#include "transport/REVOVALibrary/revova_event.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"

namespace revova_test {

// Real-thread work is waited for by what it produces, with this bound.
inline constexpr std::chrono::seconds kWaitBound{30};

// Starts work with a completion and waits for the value the completion is
// given; nullopt (and a test failure) when it never comes.
template <class T>
std::optional<T> waitFor(const std::function<void(std::function<void(T)>)>& start) {
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::optional<T> value;
  };
  auto state = std::make_shared<State>();
  start([state](T value) {
    std::lock_guard lock(state->mutex);
    state->value.emplace(std::move(value));
    state->cv.notify_all();
  });
  std::unique_lock lock(state->mutex);
  if (!state->cv.wait_for(lock, kWaitBound, [&] { return state->value.has_value(); }))
    ADD_FAILURE() << "a completion never came";
  return state->value;
}

// Waits for a promise to settle; false (and a test failure) when it never does.
template <class T>
bool settle(const promises::Promise<T>& promise) {
  return waitFor<bool>([&](std::function<void(bool)> done) {
           promise.asObjCPromise()->observeOnQueue(
               os::DispatchQueue::global(), [done](const std::any&) { done(true); },
               [done](const os::Error&) { done(true); });
         })
      .has_value();
}

// A payload of fixed bytes; nullopt gives none.
class BytesDataObject : public REVOVAEventDataObject {
 public:
  explicit BytesDataObject(std::optional<os::Data> bytes) : bytes_(std::move(bytes)) {}
  std::optional<os::Data> transportBytes() const override { return bytes_; }
  void setBytes(std::optional<os::Data> bytes) { bytes_ = std::move(bytes); }

 private:
  std::optional<os::Data> bytes_;
};

// A new event with the payload text, QoS tier and expiration given.
REVOVAEventPtr makeEvent(const std::string& mappingID, int64_t target, const std::string& payload,
                         int64_t qosTier = kREVOVAEventQoSTierDefault, std::optional<os::Date> expiration = {});

// The storage's folders.
std::string stateDirectory();
std::string storageRoot();
std::string eventFolder(int64_t target);

// The regular files under a folder, hidden ones included; relative paths.
std::vector<std::string> filesUnder(const std::string& folder);
// Their total size.
uint64_t bytesUnder(const std::string& folder);
// The library-data file of the metrics, and a file's inode, size and change
// time ("" when missing): a rewrite, which renames a new file into place,
// changes it.
std::string metricsFile();
std::string fileIdentity(const std::string& path);

// Completion forms of the storage, waited for.
std::pair<bool, std::optional<os::Error>> store(REVOVAFlatFileStorage& storage, const REVOVAEventPtr& event);
std::pair<std::optional<int64_t>, std::optional<REVOVAEventSet>> batch(REVOVAFlatFileStorage& storage,
                                                                       const REVOVAStorageEventSelector& selector,
                                                                       os::Date expiration);
void removeBatch(REVOVAFlatFileStorage& storage, int64_t batchID, bool deleteEvents);
std::optional<std::set<int64_t>> batchIDs(REVOVAFlatFileStorage& storage, int64_t target);
// Waits until the storage's queue has run everything queued before.
void drain(REVOVAFlatFileStorage& storage);

// The event IDs of a set.
std::set<std::string> idsOf(const REVOVAEventSet& events);

// Empties the store (and its size cache) around each test.
class StateTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void emptyStore();
};

// A delegate that records what it is told.
class RecordingDelegate : public REVOVAStorageDelegate {
 public:
  void storage(const std::shared_ptr<REVOVAStorageProtocol>&, const REVOVAEventSet& didRemoveExpiredEvents) override;
  void storage(const std::shared_ptr<REVOVAStorageProtocol>&, const REVOVAEventPtr& didDropEvent) override;
  REVOVAEventSet expired() const;
  REVOVAEventSet dropped() const;

 private:
  mutable std::mutex mutex_;
  REVOVAEventSet expired_;  // guarded by mutex_
  REVOVAEventSet dropped_;  // guarded by mutex_
};

}  // namespace revova_test
