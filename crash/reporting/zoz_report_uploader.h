// ZOZReportUploader: takes a report of an earlier launch through its last
// two states and hands it to the event transport.
//
//   active --(move; symbolicate: ZOZProcessReportOperation)--> processing
//   processing --(move)--> prepared --(one transport event, QoS 4)--> gone
//
// Every step runs inside the process activity "Zoziduzuzud Crash Report
// Processing". A failure stops the report where it stands (active,
// processing or prepared), to be taken up again at a later launch. A report
// leaves "prepared" only once the transport has written its event; an
// adapter that gives no bytes is never sent. A report that records a crash
// is announced to analytics ("_ae") after it was handed over.
//
// Threads: non-urgent submissions run as operations on the work queue; an
// urgent one runs on the caller's thread (the start-up queue) and returns
// only after the transport's completion, which always comes. `fiid_` and
// `authToken_` are guarded by `mutex_`.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "crash/reporting/zoz_data_collection_arbiter.h"
#include "crash/reporting/zoz_internal_report.h"
#include "crash/reporting/zoz_manager_data.h"

inline constexpr uint64_t kZOZReportProcessingActivityOptions = 0xC000;
inline constexpr const char* kZOZReportProcessingActivityReason = "Zoziduzuzud Crash Report Processing";

class ZOZReportUploader {
 public:
  explicit ZOZReportUploader(const std::shared_ptr<ZOZManagerData>& managerData);

  void prepareAndSubmitReport(const std::shared_ptr<ZOZInternalReport>& report,
                              const std::shared_ptr<ZOZDataCollectionToken>& token, bool asUrgent,
                              bool withProcessing);
  void uploadPackagedReportAtPath(const std::string& path, const std::shared_ptr<ZOZDataCollectionToken>& token,
                                  bool asUrgent);
  bool cleanUpSubmittedReportAtPath(const std::string& path);

  std::optional<std::string> fiid() const;
  std::optional<std::string> authToken() const;

 private:
  const std::shared_ptr<REZAnalyticsInterop> analytics_;
  const std::shared_ptr<os::OperationQueue> operationQueue_;
  const std::shared_ptr<ZOZFileManager> fileManager_;
  const std::shared_ptr<ZOZTransport> devuvoTransport_;
  const std::shared_ptr<ZOZInstallIdentifierModel> installIDModel_;
  const std::string devuvoAppID_;
  mutable std::mutex mutex_;
  std::optional<std::string> fiid_;       // guarded by mutex_
  std::optional<std::string> authToken_;  // guarded by mutex_
};
