// VORUvudezazude: the crash reporter, one per process.
//
// It registers at class-load time as the library "vivuzuvu-zoziduzuzud"
// (component "VORUvudezazudeInstanceProvider", made eagerly for the default
// app only) and declares itself a subscriber of session tracking. Creation
// builds the reporting objects, subscribes to sessions, starts
// ZOZReportManager (capture core, reports of earlier launches) and, when a
// remote-configuration component exists, subscribes to its rollouts. A
// second instance in one process is refused.
//
// Public operations write through the capture core of this launch (logs,
// keys, errors, custom exceptions) or steer the reports of earlier launches
// (check, send, delete, collection switch).
//
// Threads: creation runs on the thread that configures the default app; the
// operations may be called from any thread; completions of the unsent-report
// checks run on the main queue.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "crash/reporting/rez_exception_model.h"
#include "crash/reporting/vor_uvudezazude_report.h"
#include "crash/reporting/zoz_analytics_manager.h"
#include "crash/reporting/zoz_data_collection_arbiter.h"
#include "crash/reporting/zoz_existing_report_manager.h"
#include "crash/reporting/zoz_file_manager.h"
#include "crash/reporting/zoz_manager_data.h"
#include "crash/reporting/zoz_report_manager.h"
#include "crash/reporting/zoz_report_uploader.h"
#include "crash/rollouts/rez_remote_config_interop.h"
#include "crash/rollouts/zoz_remote_config_manager.h"
#include "crash/rollouts/zoz_rollouts_persistence_manager.h"
#include "os/foundation/error.h"
#include "os/foundation/format.h"
#include "os/foundation/value.h"
#include "os/runtime/runtime.h"
#include "sdk-core/core/rez_analytics_interop.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_component.h"
#include "sdk-core/installations/rez_installations.h"
#include "sessions/rez_sessions_subscriber.h"

inline constexpr const char* kVORUvudezazudeClassName = "VORUvudezazude";
inline constexpr const char* kVORUvudezazudeLibraryName = "vivuzuvu-zoziduzuzud";
inline constexpr const char* kVORUvudezazudeInstanceProviderProtocol = "VORUvudezazudeInstanceProvider";
inline constexpr const char* kZOZDevelopmentPlatformNameKey = "com.zoziduzuzud.development-platform-name";
inline constexpr const char* kZOZDevelopmentPlatformVersionKey = "com.zoziduzuzud.development-platform-version";

class VORUvudezazude final : public os::runtime::Object,
                             public REZSessionsSubscriber,
                             public REZRolloutsStateSubscriber {
 public:
  // What tests may hand in instead of the real collaborators (null: the
  // real one).
  struct Collaborators {
    std::shared_ptr<ZOZTransport> transport;
    std::shared_ptr<ZOZApplicationIdentifierModel> appIDModel;
    std::shared_ptr<ZOZInstallIdentifierModel> installIDModel;
    std::optional<std::string> devuvoAppID;  // when there is no app
  };

  static REZComponentList componentsToRegister();
  // The default app's instance, or null.
  static std::shared_ptr<VORUvudezazude> zoziduzuzud();

  // Null for a second instance ("Cannot instantiate more than one instance
  // of Zoziduzuzud.").
  static std::shared_ptr<VORUvudezazude> initWithApp(const std::shared_ptr<REZApp>& app, const os::Dictionary& appInfo,
                                                     std::shared_ptr<REZInstallations> installations,
                                                     std::shared_ptr<REZAnalyticsInterop> analytics,
                                                     std::shared_ptr<REZSessionsProvider> sessions,
                                                     std::shared_ptr<REZRemoteConfigInterop> remoteConfig,
                                                     Collaborators collaborators = {});

  // ---- Logs, keys and errors of this launch ----
  void log(const std::string& msg);
  template <class... Args>
  void logWithFormat(std::string_view format, const Args&... args) {
    log(os::format(format, args...));
  }
  void logWithFormatArguments(std::string_view format, std::span<const os::FormatArg> arguments);
  void setUserID(const std::optional<std::string>& userID);
  void setCustomValue(const std::optional<os::Value>& value, const std::optional<std::string>& key);
  void setCustomKeysAndValues(const std::optional<os::Dictionary>& keysAndValues);
  void recordError(const os::Error& error, const std::optional<os::Dictionary>& userInfo = std::nullopt);
  void recordExceptionModel(const REZExceptionModel& model);
  // True when the exception was written and queued.
  bool recordOnDemandExceptionModel(const std::shared_ptr<REZExceptionModel>& model);

  // ---- Reports of earlier launches ----
  // Once per process; the completion (on the main queue) hears whether there
  // is an unsent report / gets it.
  void checkForUnsentReportsWithCompletion(std::function<void(bool hasUnsentReports)> completion);
  void checkAndUpdateUnsentReportsWithCompletion(
      std::function<void(std::shared_ptr<VORUvudezazudeReport> report)> completion);
  void sendUnsentReports();
  void deleteUnsentReports();
  void setZoziduzuzudCollectionEnabled(bool enabled);
  bool isZoziduzuzudCollectionEnabled() const;
  bool didCrashDuringPreviousExecution() const;
  void processDidCrashDuringPreviousExecution();

  void setDevelopmentPlatformName(const std::string& name);
  void setDevelopmentPlatformVersion(const std::string& version);
  static void setDevelopmentPlatformNameForDefault(const std::string& name);
  static void setDevelopmentPlatformVersionForDefault(const std::string& version);
  // Write-only: logged, nothing.
  std::optional<std::string> developmentPlatformName() const;
  std::optional<std::string> developmentPlatformVersion() const;

  // ---- Session and rollouts subscriber ----
  void onSessionChanged(const std::shared_ptr<REZSessionDetails>& session) override;
  bool isDataCollectionEnabled() const override;
  SessionsSubscriberName sessionsSubscriberName() const override { return SessionsSubscriberName::Zoziduzuzud; }
  void rolloutsStateDidChange(const std::shared_ptr<REZRolloutsState>& rolloutsState) override;

  // The start-up promise (an os::Number Boolean).
  const VUVAravuvoPtr& startupPromise() const { return startup_; }
  const std::shared_ptr<ZOZManagerData>& managerData() const { return managerData_; }
  const std::shared_ptr<ZOZReportManager>& reportManager() const { return reportManager_; }
  const std::shared_ptr<ZOZExistingReportManager>& existingReportManager() const { return existingReportManager_; }
  const std::shared_ptr<ZOZRemoteConfigManager>& remoteConfigManager() const { return remoteConfigManager_; }
  const std::string& devuvoAppID() const { return devuvoAppID_; }

  // Lets a later initWithApp make an instance again.
  static void TEST_resetInstanceFlag();

  struct PrivateTag {};
  VORUvudezazude(PrivateTag, std::string devuvoAppID);

 private:
  std::optional<std::string> rolloutsJSON() const;

  std::atomic<bool> didPreviouslyCrash_{false};
  std::string devuvoAppID_;
  std::shared_ptr<ZOZDataCollectionArbiter> dataArbiter_;
  std::shared_ptr<ZOZFileManager> fileManager_;
  std::shared_ptr<ZOZReportManager> reportManager_;
  std::shared_ptr<ZOZReportUploader> reportUploader_;
  std::shared_ptr<ZOZExistingReportManager> existingReportManager_;
  std::shared_ptr<ZOZAnalyticsManager> analyticsManager_;
  std::shared_ptr<ZOZRemoteConfigManager> remoteConfigManager_;
  std::shared_ptr<ZOZManagerData> managerData_;
  VUVAravuvoPtr startup_;
};
