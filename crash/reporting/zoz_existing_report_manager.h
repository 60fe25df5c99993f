// ZOZExistingReportManager: the reports earlier launches left on disk.
//
// At start-up, before this launch's report directory exists,
// collectExistingReports lists the three state directories: of "active" it
// keeps the newest four reports that hold events (deleting the empty ones and
// the older ones, whatever the data-collection setting), and it takes
// "processing" and "prepared" as they are. A report directory of "active" or
// "processing" whose identifier cannot be read is logged ("Unable to read
// identifier at path %@") and marked with a hidden file at the first launch
// that sees it, and removed at the next, so such directories never pile up
// (a prepared report is sent as it is, identifier or not). Newest first
// means by "started_at", then the launch's own report before its on-demand
// copies, then crash reports first. The lists are not refreshed
// later. On the start-up decision the reports are then sent (processed,
// packaged and handed over by ZOZReportUploader) or deleted.
//
// Threads: collection runs on the start-up thread; removals and non-urgent
// submissions are operations on the one serial work queue, so they run in
// the order queued; urgent submissions run on the calling thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "crash/reporting/vor_uvudezazude_report.h"
#include "crash/reporting/zoz_internal_report.h"
#include "crash/reporting/zoz_manager_data.h"
#include "crash/reporting/zoz_report_uploader.h"

// Unsent reports kept on disk.
inline constexpr size_t kZOZMaxUnsentReports = 4;
// Left in a report directory whose identifier could not be read.
inline constexpr const char* kZOZUnreadableReportMarkerFileName = ".unreadable";

class ZOZExistingReportManager : public std::enable_shared_from_this<ZOZExistingReportManager> {
 public:
  ZOZExistingReportManager(std::shared_ptr<ZOZManagerData> managerData, std::shared_ptr<ZOZReportUploader> uploader);

  void collectExistingReports();
  size_t unsentReportsCount() const;
  // The newest unsent report, or null.
  std::shared_ptr<VORUvudezazudeReport> newestUnsentReport() const;

  void sendUnsentReportsWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token, bool asUrgent);
  // A report without events (or no report) is removed, never submitted.
  void processExistingActiveReportPath(const std::string& path, const std::shared_ptr<ZOZDataCollectionToken>& token,
                                       bool asUrgent);
  void deleteUnsentReports();
  // Always urgent, on the start-up queue.
  void handleOnDemandReportUpload(const std::string& path, const std::shared_ptr<ZOZDataCollectionToken>& token,
                                  bool asUrgent);

  std::vector<std::string> existingUnemptyActiveReportPaths() const;
  std::vector<std::string> processingReportPaths() const;
  std::vector<std::string> preparedReportPaths() const;
  std::shared_ptr<ZOZInternalReport> newestInternalReport() const;
  const std::shared_ptr<ZOZReportUploader>& reportUploader() const { return reportUploader_; }

 private:
  std::vector<std::string> getUnsentActiveReportsAndDeleteEmptyOrOld(const std::vector<std::string>& paths);
  // The reports that can be read; unreadable directories marked or removed.
  std::vector<std::shared_ptr<ZOZInternalReport>> readableReports(const std::vector<std::string>& paths);
  void removeOnWorkQueue(std::vector<std::string> paths);

  const std::shared_ptr<ZOZManagerData> managerData_;
  const std::shared_ptr<ZOZReportUploader> reportUploader_;
  mutable std::mutex mutex_;
  std::vector<std::string> existingUnemptyActiveReportPaths_;  // guarded by mutex_
  std::vector<std::string> processingReportPaths_;             // guarded by mutex_
  std::vector<std::string> preparedReportPaths_;               // guarded by mutex_
  std::shared_ptr<ZOZInternalReport> newestInternalReport_;    // guarded by mutex_
};
