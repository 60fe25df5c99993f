// The transport's one view of the host application.
//
// REVOVAApplication turns the platform's application notifications (and, from
// system version 13 on, the scene notifications) into three notifications of
// its own, keeps the running-in-background flag, and grants background
// execution time:
//
//   platform notification                         flag      posted
//   UIApplicationDidEnterBackground,
//   UISceneWillDeactivate                         set       REVOVAApplicationDidEnterBackgroundNotification
//   UIApplicationWillEnterForeground,
//   UISceneWillEnterForeground                    cleared   REVOVAApplicationWillEnterForegroundNotification
//   UIApplicationWillTerminate                    unchanged REVOVAApplicationWillTerminateNotification
//
// REVOVALifecycle hears the three and passes each, with the shared
// application, to the transformer, the upload coordinator and the registrar
// (which passes it to every uploader and storage), in that order, on the
// posting thread.
//
// Both are made once, at class-load time, and live for the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "os/dispatch/notification.h"
#include "os/uikit/application.h"

inline constexpr const char* kREVOVAApplicationDidEnterBackgroundNotification =
    "REVOVAApplicationDidEnterBackgroundNotification";
inline constexpr const char* kREVOVAApplicationWillEnterForegroundNotification =
    "REVOVAApplicationWillEnterForegroundNotification";
inline constexpr const char* kREVOVAApplicationWillTerminateNotification = "REVOVAApplicationWillTerminateNotification";

// A background task identifier; 0 is invalid, as the platform's is.
using REVOVABackgroundIdentifier = uint64_t;
inline constexpr REVOVABackgroundIdentifier kREVOVABackgroundIdentifierInvalid = 0;
static_assert(kREVOVABackgroundIdentifierInvalid == UIBackgroundTaskInvalid,
              "REVOVABackgroundIdentifierInvalid and UIBackgroundTaskInvalid should be the same.");

class REVOVAApplicationProtocol {
 public:
  virtual ~REVOVAApplicationProtocol() = default;
  // Background time under the name; 0 when none can be had. Thread-safe.
  virtual REVOVABackgroundIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                                 std::function<void()> expirationHandler) = 0;
  // Ends a task; 0 is ignored. Thread-safe.
  virtual void endBackgroundTask(REVOVABackgroundIdentifier bgID) = 0;
  virtual bool isRunningInBackground() const = 0;
};

// Background time that ends once: whichever comes first of its expiry and
// its owner's end() ends it, and a later end finds it ended. Copies share the
// one task. Thread-safe.
class REVOVABackgroundTask {
 public:
  // No task: end() answers false.
  REVOVABackgroundTask() = default;
  // Begins background time under `name`. At expiry `expired` runs first, if
  // given (the task is still on: it may cancel work), then the task ends.
  REVOVABackgroundTask(const std::shared_ptr<REVOVAApplicationProtocol>& app, const std::string& name,
                       std::function<void()> expired = nullptr);
  // Ends the task; false when it had already ended or never began.
  bool end() const;
  // Whether the task began and has not ended.
  bool isActive() const;

 private:
  std::shared_ptr<REVOVAApplicationProtocol> app_;
  std::shared_ptr<std::atomic<REVOVABackgroundIdentifier>> id_;
};

class REVOVAApplication : public REVOVAApplicationProtocol, public std::enable_shared_from_this<REVOVAApplication> {
 public:
  static std::shared_ptr<REVOVAApplication> sharedApplication();

  REVOVABackgroundIdentifier beginBackgroundTaskWithName(const std::string& name,
                                                         std::function<void()> expirationHandler) override;
  void endBackgroundTask(REVOVABackgroundIdentifier bgID) override;
  bool isRunningInBackground() const override { return isRunningInBackground_.load(); }

  // Whether the main bundle's path ends with ".appex".
  static bool isAppExtension();
  // The host application object; none inside an application extension.
  static std::shared_ptr<UIApplication> sharedApplicationForBackgroundTask();

  void iOSApplicationDidEnterBackground(const os::Notification& notification);
  void iOSApplicationWillEnterForeground(const os::Notification& notification);
  void iOSApplicationWillTerminate(const os::Notification& notification);

  // Observes the platform's notifications on the default center while it lives.
  REVOVAApplication();
  ~REVOVAApplication();
  REVOVAApplication(const REVOVAApplication&) = delete;
  REVOVAApplication& operator=(const REVOVAApplication&) = delete;

 private:
  std::atomic<bool> isRunningInBackground_{false};
};

class REVOVALifecycle {
 public:
  static std::shared_ptr<REVOVALifecycle> sharedInstance();

  void applicationDidEnterBackgroundNotification(const os::Notification& notification);
  void applicationWillEnterForegroundNotification(const os::Notification& notification);
  void applicationWillTerminateNotification(const os::Notification& notification);

  // Observes the three notifications on the default center while it lives.
  REVOVALifecycle();
  ~REVOVALifecycle();
  REVOVALifecycle(const REVOVALifecycle&) = delete;
  REVOVALifecycle& operator=(const REVOVALifecycle&) = delete;
};
