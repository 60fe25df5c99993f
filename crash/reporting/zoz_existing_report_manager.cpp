#include "crash/reporting/zoz_existing_report_manager.h"

#include <algorithm>

#include "crash/core/zoz_sdk_log.h"
#include "crash/reporting/zoz_on_demand_model.h"

namespace {

double createdAt(const ZOZInternalReport& report) {
  auto date = report.dateCreated();
  return date ? date->timeIntervalSince1970() : os::Date::distantPast().timeIntervalSince1970();
}

// Newest first. On-demand copies share their launch's "started_at", so ties
// put the launch's own report (where its crash is recorded) before the
// copies, and crash reports before the others; then the listing's order.
void sortNewestFirst(std::vector<std::shared_ptr<ZOZInternalReport>>& reports) {
  struct Keyed {
    std::shared_ptr<ZOZInternalReport> report;
    double createdAt;
    bool onDemand;
    bool notCrash;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(reports.size());
  for (auto& report : reports) {
    keyed.push_back({report, createdAt(*report), report->isOnDemand(), !report->isCrash()});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.createdAt != b.createdAt) return a.createdAt > b.createdAt;
    if (a.onDemand != b.onDemand) return b.onDemand;
    return a.notCrash < b.notCrash;
  });
  for (size_t i = 0; i < keyed.size(); ++i) reports[i] = std::move(keyed[i].report);
}

}  // namespace

ZOZExistingReportManager::ZOZExistingReportManager(std::shared_ptr<ZOZManagerData> managerData,
                                                   std::shared_ptr<ZOZReportUploader> uploader)
    : managerData_(std::move(managerData)), reportUploader_(std::move(uploader)) {}

void ZOZExistingReportManager::collectExistingReports() {
  const auto& files = managerData_->fileManager;
  auto active = getUnsentActiveReportsAndDeleteEmptyOrOld(files->activePathContents());
  std::vector<std::string> processing;
  for (const auto& report : readableReports(files->processingPathContents())) processing.push_back(report->path());
  auto prepared = files->preparedPathContents();
  std::lock_guard lock(mutex_);
  existingUnemptyActiveReportPaths_ = std::move(active);
  processingReportPaths_ = std::move(processing);
  preparedReportPaths_ = std::move(prepared);
}

std::vector<std::string> ZOZExistingReportManager::getUnsentActiveReportsAndDeleteEmptyOrOld(
    const std::vector<std::string>& paths) {
  auto reports = readableReports(paths);
  if (reports.empty()) return {};
  sortNewestFirst(reports);

  const auto& files = managerData_->fileManager;
  if (managerData_->settings->metricKitCollectionEnabled() && files->metricKitDiagnosticFileExists()) {
    files->createEmptyMetricKitFile(reports.front()->path());
  }

  std::vector<std::shared_ptr<ZOZInternalReport>> kept;
  std::vector<std::string> removals;
  for (const auto& report : reports) {
    if (report->hasAnyEvents()) {
      kept.push_back(report);
    } else {
      removals.push_back(report->path());
    }
  }
  if (kept.empty()) {
    removeOnWorkQueue(std::move(removals));
    return {};
  }
  sortNewestFirst(kept);
  {
    std::lock_guard lock(mutex_);
    newestInternalReport_ = kept.front();
  }
  if (kept.size() > kZOZMaxUnsentReports) {
    ZOZInfoLog(
        "Automatic data collection is disabled. Deleting %lu unsent reports over the limit of %lu to prevent disk "
        "space from filling up. To take action on these reports, call send/deleteUnsentReports. To turn on automatic "
        "data collection, call setZoziduzuzudCollectionEnabled with true",
        static_cast<unsigned long>(kept.size() - kZOZMaxUnsentReports),
        static_cast<unsigned long>(kZOZMaxUnsentReports));
  }
  std::vector<std::string> result;
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i < kZOZMaxUnsentReports) {
      result.push_back(kept[i]->path());
    } else {
      removals.push_back(kept[i]->path());
    }
  }
  removeOnWorkQueue(std::move(removals));
  return result;
}

std::vector<std::shared_ptr<ZOZInternalReport>> ZOZExistingReportManager::readableReports(
    const std::vector<std::string>& paths) {
  const auto& files = managerData_->fileManager;
  std::vector<std::shared_ptr<ZOZInternalReport>> reports;
  std::vector<std::string> removals;
  for (const auto& path : paths) {
    if (auto identifier = ZOZInternalReport::identifierAtPath(path)) {
      reports.push_back(ZOZInternalReport::initWithPathExecutionIdentifier(path, identifier));
      continue;
    }
    // Marked at the first launch that saw it unreadable, removed at the next.
    const std::string marker = path + "/" + kZOZUnreadableReportMarkerFileName;
    if (files->fileExistsAtPath(marker)) {
      ZOZDebugLog("Removing report without a readable identifier at path %@", path);
      removals.push_back(path);
    } else {
      ZOZErrorLog("Unable to read identifier at path %@", path);
      files->createFileAtPath(marker, os::Data());
    }
  }
  removeOnWorkQueue(std::move(removals));
  return reports;
}

void ZOZExistingReportManager::removeOnWorkQueue(std::vector<std::string> paths) {
  if (paths.empty()) return;
  auto files = managerData_->fileManager;
  managerData_->operationQueue->addOperationWithBlock([files, paths = std::move(paths)] {
    for (const auto& path : paths) files->removeItemAtPath(path);
  });
}

size_t ZOZExistingReportManager::unsentReportsCount() const {
  std::lock_guard lock(mutex_);
  return existingUnemptyActiveReportPaths_.size();
}

std::shared_ptr<VORUvudezazudeReport> ZOZExistingReportManager::newestUnsentReport() const {
  std::lock_guard lock(mutex_);
  if (existingUnemptyActiveReportPaths_.empty() || !newestInternalReport_) return nullptr;
  return std::make_shared<VORUvudezazudeReport>(newestInternalReport_);
}

std::vector<std::string> ZOZExistingReportManager::existingUnemptyActiveReportPaths() const {
  std::lock_guard lock(mutex_);
  return existingUnemptyActiveReportPaths_;
}
std::vector<std::string> ZOZExistingReportManager::processingReportPaths() const {
  std::lock_guard lock(mutex_);
  return processingReportPaths_;
}
std::vector<std::string> ZOZExistingReportManager::preparedReportPaths() const {
  std::lock_guard lock(mutex_);
  return preparedReportPaths_;
}
std::shared_ptr<ZOZInternalReport> ZOZExistingReportManager::newestInternalReport() const {
  std::lock_guard lock(mutex_);
  return newestInternalReport_;
}

void ZOZExistingReportManager::sendUnsentReportsWithToken(const std::shared_ptr<ZOZDataCollectionToken>& token,
                                                          bool asUrgent) {
  for (const auto& path : existingUnemptyActiveReportPaths()) processExistingActiveReportPath(path, token, asUrgent);
  if (const auto& onDemand = managerData_->onDemandModel) {
    for (const auto& path : onDemand->storedActiveReportPaths()) processExistingActiveReportPath(path, token, asUrgent);
    onDemand->removeAllStoredActiveReportPaths();
  }

  auto uploader = reportUploader_;
  auto files = managerData_->fileManager;
  const auto processing = processingReportPaths();
  managerData_->operationQueue->addOperationWithBlock([uploader, token, processing] {
    for (const auto& path : processing) {
      uploader->prepareAndSubmitReport(ZOZInternalReport::reportWithPath(path), token, false, false);
    }
  });
  const auto prepared = preparedReportPaths();
  managerData_->operationQueue->addOperationWithBlock([uploader, files, token, prepared] {
    for (const auto& path : prepared) {
      if (files->fileExistsAtPath(path)) uploader->uploadPackagedReportAtPath(path, token, false);
    }
  });
}

void ZOZExistingReportManager::processExistingActiveReportPath(const std::string& path,
                                                               const std::shared_ptr<ZOZDataCollectionToken>& token,
                                                               bool asUrgent) {
  auto report = ZOZInternalReport::reportWithPath(path);
  // Nothing to send: only the removal is queued.
  if (!report || !report->hasAnyEvents()) {
    removeOnWorkQueue({path});
    return;
  }
  if (asUrgent && token && token->isValid()) {
    reportUploader_->prepareAndSubmitReport(report, token, true, true);
    return;
  }
  auto uploader = reportUploader_;
  managerData_->operationQueue->addOperationWithBlock(
      [uploader, report, token] { uploader->prepareAndSubmitReport(report, token, false, true); });
}

void ZOZExistingReportManager::deleteUnsentReports() {
  std::vector<std::string> paths;
  {
    std::lock_guard lock(mutex_);
    paths = existingUnemptyActiveReportPaths_;
    paths.insert(paths.end(), processingReportPaths_.begin(), processingReportPaths_.end());
    paths.insert(paths.end(), preparedReportPaths_.begin(), preparedReportPaths_.end());
  }
  auto files = managerData_->fileManager;
  managerData_->operationQueue->addOperationWithBlock([files, paths] {
    for (const auto& path : paths) files->removeItemAtPath(path);
  });
}

void ZOZExistingReportManager::handleOnDemandReportUpload(const std::string& path,
                                                          const std::shared_ptr<ZOZDataCollectionToken>& token,
                                                          bool) {
  std::weak_ptr<ZOZExistingReportManager> weak = weak_from_this();
  managerData_->dispatchQueue->async([weak, path, token] {
    if (auto self = weak.lock()) self->processExistingActiveReportPath(path, token, true);
  });
}
