// The crash reporter's place on disk, and the identifier of this launch.
//
// Layout under the sandbox's Caches folder:
//   <Caches>/MetricKit/Diagnostics/        pending diagnostics (non-empty: some)
//   <Caches>/com.zoziduzuzud.data/<ns>/    rootPath; <ns> is the main bundle
//                                          identifier with "/" replaced by "_"
//     previously-crashed                   written by the capture core on a crash
//     v5/settings/{settings,cache-key}.json
//     v5/reports/launchmarker
//     v5/reports/{active,processing,prepared}/<execution id>/  report folders
//     v5/reports/pending                   a path only: nothing creates it
//
// Nothing is created until createReportDirectories / setupNewPathForExecution
// Identifier. Names beginning with "." are never listed, and so never moved,
// removed or counted by the listing operations. No operation throws: each
// answers false or nullopt and logs through the SDK logger.
//
// Threads: shared by the start-up queue, the operation queue and the main
// thread; the only mutable state is the crashed-marker answer, computed once.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/data.h"
#include "os/foundation/error.h"
#include "os/foundation/value.h"

inline constexpr const char* kZOZDataDirectoryName = "com.zoziduzuzud.data";
inline constexpr const char* kZOZVersionedDirectoryName = "v5";
inline constexpr const char* kZOZSettingsDirectoryName = "settings";
inline constexpr const char* kZOZSettingsFileName = "settings.json";
inline constexpr const char* kZOZSettingsCacheKeyFileName = "cache-key.json";
inline constexpr const char* kZOZReportsDirectoryName = "reports";
inline constexpr const char* kZOZActiveDirectoryName = "active";
inline constexpr const char* kZOZProcessingDirectoryName = "processing";
inline constexpr const char* kZOZPreparedDirectoryName = "prepared";
inline constexpr const char* kZOZPendingDirectoryName = "pending";
inline constexpr const char* kZOZMetricKitDiagnosticsSubpath = "/MetricKit/Diagnostics/";
inline constexpr const char* kZOZMetricKitFatalFileName = "metric_kit_fatal.zozrecord";
inline constexpr const char* kZOZCrashMarkerFileName = "previously-crashed";
inline constexpr unsigned kZOZDirectoryPermissions = 0755;

class ZOZFileManager {
 public:
  // Paths from the current sandbox and the main bundle's identifier.
  ZOZFileManager();
  // Paths under `cachesPath` for the bundle identifier `bundleIdentifier`.
  ZOZFileManager(std::string cachesPath, const std::string& bundleIdentifier);

  const std::string& rootPath() const { return rootPath_; }
  const std::string& cachesPath() const { return cachesPath_; }
  std::string versionedPath() const;
  std::string settingsDirectoryPath() const;
  std::string settingsFilePath() const;
  std::string settingsCacheKeyPath() const;
  std::string structurePath() const;
  std::string activePath() const;
  std::string processingPath() const;
  std::string preparedPath() const;
  std::string pendingPath() const;
  std::string metricKitDiagnosticsPath() const;

  bool fileExistsAtPath(const std::string& path) const;
  // An atomic write (temporary file and rename); false on failure.
  bool createFileAtPath(const std::string& path, const os::Data& contents,
                        const os::Dictionary& attributes = {}) const;
  // With intermediate directories, mode 0755. Logs "Unable to create
  // directory %@" on failure.
  bool createDirectoryAtPath(const std::string& path) const;
  // A missing path and a failed removal log "Failed to remove file %@: %@".
  bool removeItemAtPath(const std::optional<std::string>& path) const;
  // Removes every listed entry; true only when every removal succeeded.
  bool removeContentsOfDirectoryAtPath(const std::string& path) const;
  // Moves the item into the directory under its own name.
  bool moveItemAtPathToDirectory(const std::optional<std::string>& path,
                                 const std::optional<std::string>& toDirectory) const;
  os::Status moveItemAtPathToPath(const std::string& path, const std::string& toPath) const;

  // Whether rootPath/previously-crashed existed the first time this was
  // asked; the answer stays for the life of this object.
  bool didCrashOnPreviousExecution();
  bool metricKitDiagnosticFileExists() const;
  // An empty "metric_kit_fatal.zozrecord" in the report directory.
  bool createEmptyMetricKitFile(const std::string& reportPath) const;

  // Every entry of the directory whose name does not begin with ".", in name
  // order, with its path extension ("" when none). An unreadable directory
  // yields nothing.
  void enumerateFilesInDirectory(const std::string& directory,
                                 const std::function<void(const std::string& path, const std::string& extension)>&
                                     block) const;
  std::optional<uint64_t> fileSizeAtPath(const std::string& path) const;
  std::vector<std::string> contentsOfDirectory(const std::string& directory) const;
  std::vector<std::string> activePathContents() const { return contentsOfDirectory(activePath()); }
  std::vector<std::string> processingPathContents() const { return contentsOfDirectory(processingPath()); }
  std::vector<std::string> preparedPathContents() const { return contentsOfDirectory(preparedPath()); }

  // active, processing, prepared in turn; false at the first failure.
  bool createReportDirectories() const;
  // activePath/<identifier>, created; nullopt when it cannot be.
  std::optional<std::string> setupNewPathForExecutionIdentifier(const std::string& identifier) const;
  std::optional<os::Data> dataWithContentsOfFile(const std::string& path) const;

 private:
  std::string cachesPath_;
  std::string rootPath_;
  std::once_flag crashMarkerOnce_;
  bool crashFileMarkerExists_ = false;  // written once under crashMarkerOnce_
};

// The identifier of this launch: a new UUID, lower case, without hyphens.
class ZOZExecutionIdentifierModel {
 public:
  ZOZExecutionIdentifierModel();
  const std::string& executionID() const { return executionID_; }

 private:
  std::string executionID_;
};

// "a/b/c.ext" -> "c.ext"; "c.ext" -> "ext" (pathExtension); helpers shared by
// the reporting objects.
std::string ZOZLastPathComponent(const std::string& path);
std::string ZOZPathExtension(const std::string& path);
