#include "os/metrickit/metric_manager.h"

#include <algorithm>

#include "os/foundation/json.h"

std::shared_ptr<MXCallStackTree> MXCallStackTree::withTree(const os::Value& tree) {
  auto json = os::JSONSerialization::dataWithJSONObject(tree);
  return std::make_shared<MXCallStackTree>(json ? std::move(*json) : os::Data());
}

os::Data MXMetaData::JSONRepresentation() const {
  auto json = os::JSONSerialization::dataWithJSONObject(os::Value(values_));
  return json ? std::move(*json) : os::Data();
}

MXMetricManager::MXMetricManager() : queue_(os::DispatchQueue::serial(kMXDeliveryQueueLabel)) {}

std::shared_ptr<MXMetricManager> MXMetricManager::sharedManager() {
  static auto* manager = new std::shared_ptr<MXMetricManager>(std::make_shared<MXMetricManager>());
  return *manager;
}

void MXMetricManager::addSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber) {
  if (!subscriber) return;
  std::lock_guard lock(mutex_);
  for (const auto& s : subscribers_)
    if (s.lock() == subscriber) return;
  subscribers_.push_back(subscriber);
}

void MXMetricManager::removeSubscriber(const std::shared_ptr<MXMetricManagerSubscriber>& subscriber) {
  std::lock_guard lock(mutex_);
  std::erase_if(subscribers_, [&](const auto& s) {
    auto live = s.lock();
    return !live || live == subscriber;
  });
}

std::vector<std::weak_ptr<MXMetricManagerSubscriber>> MXMetricManager::subscribers() {
  std::lock_guard lock(mutex_);
  return subscribers_;
}

void MXMetricManager::TEST_deliverDiagnosticPayloads(std::vector<std::shared_ptr<MXDiagnosticPayload>> payloads) {
  queue_->async([subscribers = subscribers(), payloads = std::move(payloads)] {
    for (const auto& s : subscribers)
      if (auto subscriber = s.lock()) subscriber->didReceiveDiagnosticPayloads(payloads);
  });
}

void MXMetricManager::TEST_deliverMetricPayloads(std::vector<std::shared_ptr<MXMetricPayload>> payloads) {
  queue_->async([subscribers = subscribers(), payloads = std::move(payloads)] {
    for (const auto& s : subscribers)
      if (auto subscriber = s.lock()) subscriber->didReceiveMetricPayloads(payloads);
  });
}
