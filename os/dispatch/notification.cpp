#include "os/dispatch/notification.h"

#include <algorithm>
#include <atomic>

#include "os/dispatch/operation.h"

namespace os {

struct NotificationCenter::Registration {
  const void* observer = nullptr;  // target key, or the token's address
  std::string name;                // "" matches any
  const void* object = nullptr;    // null matches any
  Block block;
  std::shared_ptr<DispatchQueue> queue;
  std::shared_ptr<OperationQueue> operationQueue;
  std::shared_ptr<NotificationObserverToken> token;  // block registrations
  // Set by removal; checked before each call, so nothing starts after it.
  std::atomic<bool> removed{false};

  bool matches(const Notification& n) const {
    return (name.empty() || name == n.name) && (object == nullptr || object == n.object);
  }
};

std::shared_ptr<NotificationCenter> NotificationCenter::defaultCenter() {
  static std::shared_ptr<NotificationCenter>* c = new std::shared_ptr<NotificationCenter>(create());
  return *c;
}

std::shared_ptr<NotificationCenter> NotificationCenter::create() { return std::make_shared<NotificationCenter>(); }

std::shared_ptr<NotificationObserverToken> NotificationCenter::addObserverForName(const std::string& name,
                                                                                  const void* object,
                                                                                  std::shared_ptr<DispatchQueue> queue,
                                                                                  Block block) {
  auto token = std::shared_ptr<NotificationObserverToken>(new NotificationObserverToken(name));
  if (!block) return token;
  auto r = std::make_shared<Registration>();
  r->observer = token.get();
  r->name = name;
  r->object = object;
  r->block = std::move(block);
  r->queue = std::move(queue);
  r->token = token;
  std::lock_guard<std::mutex> lock(mutex_);
  registrations_.push_back(std::move(r));
  return token;
}

std::shared_ptr<NotificationObserverToken> NotificationCenter::addObserverForName(
    const std::string& name, const void* object, std::shared_ptr<OperationQueue> queue, Block block) {
  auto token = addObserverForName(name, object, std::shared_ptr<DispatchQueue>(), std::move(block));
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& r : registrations_)
    if (r->observer == token.get()) r->operationQueue = std::move(queue);
  return token;
}

void NotificationCenter::addObserver(const void* observer, Block selector, const std::string& name,
                                     const void* object) {
  if (!observer || !selector) return;
  auto r = std::make_shared<Registration>();
  r->observer = observer;
  r->name = name;
  r->object = object;
  r->block = std::move(selector);
  std::lock_guard<std::mutex> lock(mutex_);
  registrations_.push_back(std::move(r));
}

void NotificationCenter::removeObserver(const void* observer) { removeObserver(observer, std::string(), nullptr); }

void NotificationCenter::removeObserver(const void* observer, const std::string& name, const void* object) {
  if (!observer) return;
  std::vector<std::shared_ptr<Registration>> removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto keep = std::stable_partition(registrations_.begin(), registrations_.end(), [&](const auto& r) {
      return !(r->observer == observer && (name.empty() || r->name == name) &&
               (object == nullptr || r->object == object));
    });
    removed.assign(std::make_move_iterator(keep), std::make_move_iterator(registrations_.end()));
    registrations_.erase(keep, registrations_.end());
  }
  for (auto& r : removed) r->removed.store(true);
}

void NotificationCenter::postNotification(const Notification& notification) {
  std::vector<std::shared_ptr<Registration>> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& r : registrations_)
      if (r->matches(notification)) targets.push_back(r);
  }
  for (auto& r : targets) {
    if (r->removed.load()) continue;
    if (r->queue) {
      auto reg = r;
      r->queue->async([reg, notification] {
        if (!reg->removed.load()) reg->block(notification);
      });
    } else if (r->operationQueue) {
      auto reg = r;
      r->operationQueue->addOperationWithBlock([reg, notification] {
        if (!reg->removed.load()) reg->block(notification);
      });
    } else {
      r->block(notification);
    }
  }
}

void NotificationCenter::postNotificationName(const std::string& name, const void* object, Dictionary userInfo) {
  postNotification(Notification{name, object, std::move(userInfo)});
}

size_t NotificationCenter::TEST_registrationCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return registrations_.size();
}

}  // namespace os
