// os::NotificationCenter: named broadcasts within the process.
//
// A registration matches a notification by name and by object; an empty name
// or a null object in the registration means "any". Objects are compared by
// address only and never dereferenced or retained by the center.
//
// Delivery: postNotification() calls every matching registration made before
// the post, in registration order, synchronously on the posting thread; a
// block observer given a queue gets its block submitted to that queue instead
// (the post does not wait for it). A registration removed during a delivery
// (by itself, by another observer, or by another thread) is not called after
// removeObserver() has returned, except for a call already under way on
// another thread. No lock of the center is held while an observer runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/dispatch/queue.h"
#include "os/foundation/value.h"

namespace os {

class OperationQueue;

struct Notification {
  std::string name;
  // The posting object's address, or null. Identity only.
  const void* object = nullptr;
  Dictionary userInfo;
};

// What a block registration returns; pass it (or its address) to
// removeObserver(). The center keeps the registration until then, whether or
// not the token is kept.
class NotificationObserverToken {
 public:
  const std::string& name() const { return name_; }

 private:
  friend class NotificationCenter;
  explicit NotificationObserverToken(std::string name) : name_(std::move(name)) {}
  std::string name_;
};

class NotificationCenter {
 public:
  using Block = std::function<void(const Notification&)>;

  // The process-wide center.
  static std::shared_ptr<NotificationCenter> defaultCenter();
  // A private center.
  static std::shared_ptr<NotificationCenter> create();

  // Block observer (addObserverForName:object:queue:usingBlock:). With a null
  // queue the block runs on the posting thread.
  std::shared_ptr<NotificationObserverToken> addObserverForName(const std::string& name, const void* object,
                                                                std::shared_ptr<DispatchQueue> queue, Block block);
  std::shared_ptr<NotificationObserverToken> addObserverForName(const std::string& name, const void* object,
                                                                std::shared_ptr<OperationQueue> queue, Block block);
  // Target observer (addObserver:selector:name:object:): `observer` is the
  // key under which the callback is removed; the callback runs on the posting
  // thread. Registering the same observer twice delivers twice.
  void addObserver(const void* observer, Block selector, const std::string& name, const void* object);

  // Removes every registration of the observer (a target key, or a token).
  void removeObserver(const void* observer);
  void removeObserver(const std::shared_ptr<NotificationObserverToken>& token) { removeObserver(token.get()); }
  // Removes the observer's registrations that match name and object (empty
  // name / null object: any).
  void removeObserver(const void* observer, const std::string& name, const void* object);

  void postNotification(const Notification& notification);
  void postNotificationName(const std::string& name, const void* object, Dictionary userInfo = {});

  // Registrations currently held; for tests.
  size_t TEST_registrationCount() const;

 private:
  struct Registration;
  mutable std::mutex mutex_;
  uint64_t nextSequence_ = 0;                              // guarded by mutex_
  std::vector<std::shared_ptr<Registration>> registrations_;  // guarded by mutex_
};

// Names of the platform's notifications.
inline constexpr const char* kUIApplicationDidFinishLaunchingNotification =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kUIApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kUIApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kUIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kUIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kUIApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";
inline constexpr const char* kUISceneWillConnectNotification = "UISceneWillConnectNotification";
inline constexpr const char* kUISceneDidActivateNotification = "UISceneDidActivateNotification";
inline constexpr const char* kUISceneWillDeactivateNotification = "UISceneWillDeactivateNotification";
inline constexpr const char* kUISceneDidEnterBackgroundNotification = "UISceneDidEnterBackgroundNotification";
inline constexpr const char* kUISceneWillEnterForegroundNotification = "UISceneWillEnterForegroundNotification";
inline constexpr const char* kUISceneDidDisconnectNotification = "UISceneDidDisconnectNotification";
inline constexpr const char* kUIDeviceOrientationDidChangeNotification = "UIDeviceOrientationDidChangeNotification";

}  // namespace os
