// ZOZContextManager: hands this launch's report to the capture core, and
// keeps the session id of session tracking in the report's metadata.
//
// ZOZContextBuildInitData fills the capture core's start-up data from the
// report (its directory and identifier), the settings (switches and limits)
// and the file manager (where the crashed marker lives).
//
// The metadata is rewritten whole and renamed into place: the previous
// record stays readable until the new one replaces it. The capture core
// writes the new record first in tmp/"zoz-metadata-<identifier>".
//
// Threads: the session id may change on any thread (the main thread for the
// application's life cycle); state is guarded by `mutex_`, and the metadata
// rewrite runs under it, so two changes never interleave their writes.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "crash/core/zoz_context.h"
#include "crash/reporting/zoz_file_manager.h"
#include "crash/reporting/zoz_internal_report.h"
#include "crash/reporting/zoz_settings.h"

std::shared_ptr<ZOZContextInitData> ZOZContextBuildInitData(const ZOZInternalReport& report,
                                                            const ZOZSettings& settings,
                                                            const ZOZFileManager& fileManager,
                                                            const std::string& appQualitySessionId);

inline constexpr const char* kZOZMetadataStagingPrefix = "zoz-metadata-";

class ZOZContextManager {
 public:
  // Starts the capture core; `initialize` stands for ZOZContextInitialize.
  using Initializer = std::function<bool(const std::shared_ptr<ZOZContextInitData>&)>;
  explicit ZOZContextManager(Initializer initialize = ZOZContextInitialize) : initialize_(std::move(initialize)) {}

  // Stores the three, then starts the capture core with the init data; its
  // answer.
  bool setupContextWithReport(std::shared_ptr<ZOZInternalReport> report, std::shared_ptr<ZOZSettings> settings,
                              std::shared_ptr<ZOZFileManager> fileManager);
  // Stores the id; once the context is set up, rewrites the report's
  // metadata with it ("Failed to write context file while updating App
  // Quality Session ID" when that fails).
  void setAppQualitySessionId(const std::string& appQualitySessionId);

  std::string appQualitySessionId() const;
  bool hasInitializedContext() const;
  std::shared_ptr<ZOZInternalReport> report() const;

 private:
  std::shared_ptr<ZOZContextInitData> buildInitData() const;  // requires mutex_

  const Initializer initialize_;
  mutable std::mutex mutex_;
  bool hasInitializedContext_ = false;           // guarded by mutex_
  std::string appQualitySessionId_;              // guarded by mutex_
  std::shared_ptr<ZOZInternalReport> report_;    // guarded by mutex_
  std::shared_ptr<ZOZSettings> settings_;        // guarded by mutex_
  std::shared_ptr<ZOZFileManager> fileManager_;  // guarded by mutex_
};
