#include "os/storekit/ad_network.h"

#include <mutex>

#include "os/dispatch/queue.h"
#include "os/foundation/process_info.h"

namespace {

constexpr int64_t kMaxFineValue = 63;

struct AdNetworkState {
  std::mutex mutex;
  int64_t registrations = 0;                    // guarded by mutex
  std::vector<SKAdNetworkPostbackUpdate> updates;  // guarded by mutex
  std::optional<os::Error> updateError;            // guarded by mutex
};

AdNetworkState& state() {
  static auto& s = *new AdNetworkState();  // never destroyed
  return s;
}

bool isCoarseValue(const std::string& value) {
  return value == SKAdNetworkCoarseConversionValueHigh || value == SKAdNetworkCoarseConversionValueMedium ||
         value == SKAdNetworkCoarseConversionValueLow;
}

void answer(SKAdNetwork::CompletionHandler completion, std::optional<os::Error> error) {
  if (!completion) return;
  os::DispatchQueue::global()->async(
      [completion = std::move(completion), error = std::move(error)] { completion(error); });
}

}  // namespace

void SKAdNetwork::registerAppForAdNetworkAttribution() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  ++s.registrations;
}

void SKAdNetwork::updatePostbackConversionValue(int64_t fineValue, const SKAdNetworkCoarseConversionValue& coarseValue,
                                                bool lockWindow, CompletionHandler completionHandler) {
  if (!os::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({16, 1, 0}))
    return answer(std::move(completionHandler), os::Error(SKANErrorDomain, SKANErrorUnsupported));
  if (fineValue < 0 || fineValue > kMaxFineValue || !isCoarseValue(coarseValue))
    return answer(std::move(completionHandler), os::Error(SKANErrorDomain, SKANErrorInvalidConversionValue));
  std::optional<os::Error> error;
  {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.updates.push_back({fineValue, coarseValue, lockWindow});
    error = s.updateError;
  }
  answer(std::move(completionHandler), std::move(error));
}

int64_t SKAdNetwork::TEST_registrationCount() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.registrations;
}

std::vector<SKAdNetworkPostbackUpdate> SKAdNetwork::TEST_postbackUpdates() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  return s.updates;
}

void SKAdNetwork::TEST_setUpdateError(std::optional<os::Error> error) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.updateError = std::move(error);
}

void SKAdNetwork::TEST_reset() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.registrations = 0;
  s.updates.clear();
  s.updateError.reset();
}
