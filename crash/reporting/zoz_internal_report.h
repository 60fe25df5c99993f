// ZOZInternalReport: one report directory, as the record files one launch
// wrote into it. It answers what the reporting layer decides with (the
// launch's identifier, dates, whether it holds events or a crash) without
// reading the report whole. Missing files and keys give nullopt or false,
// never an error. The metadata record is read once, on first use.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/date.h"
#include "os/foundation/value.h"

inline constexpr const char* kZOZMetadataRecordFileName = "metadata.zozrecord";
inline constexpr const char* kZOZBinaryImagesRecordFileName = "binary_images.zozrecord";
inline constexpr const char* kZOZMetricKitNonfatalFileName = "metric_kit_nonfatal.zozrecord";

class ZOZInternalReport {
 public:
  // Reads the identifier ("identity" -> "session_id" of the metadata
  // record's first section); null, after logging "Unable to read identifier
  // at path %@", when there is none.
  static std::shared_ptr<ZOZInternalReport> reportWithPath(const std::string& path);
  // The identifier of the report directory at `path`, without logging;
  // nullopt when its metadata record holds none.
  static std::optional<std::string> identifierAtPath(const std::string& path);
  // Null when either is missing.
  static std::shared_ptr<ZOZInternalReport> initWithPathExecutionIdentifier(
      const std::optional<std::string>& path, const std::optional<std::string>& executionIdentifier);

  // Crash files: "exception", "mach_exception", "signal", "metric_kit_fatal",
  // "custom_fatal" (each ".zozrecord"), in this order.
  static const std::vector<std::string>& crashFileNames();
  // Event files: "exception", "signal", "custom_exception_a"/"_b",
  // "metric_kit_fatal", "metric_kit_nonfatal", "mach_exception",
  // "errors_a"/"_b".
  static const std::vector<std::string>& eventFileNames();
  // The file's sections; nullopt when it yields none.
  static std::optional<std::vector<os::Value>> readZOZFileAtPath(const std::string& path);

  const std::string& path() const { return path_; }
  void setPath(std::string path) { path_ = std::move(path); }
  const std::string& identifier() const { return identifier_; }
  std::string directoryName() const;
  std::string pathForContentFile(const std::string& name) const;
  std::string metadataPath() const { return pathForContentFile(kZOZMetadataRecordFileName); }
  std::string binaryImagePath() const { return pathForContentFile(kZOZBinaryImagesRecordFileName); }

  bool hasAnyEvents() const;
  bool isCrash() const;
  // A report written on demand (a copy of its launch's directory): its
  // internal keys hold the on-demand counts.
  bool isOnDemand() const;
  bool checkExistenceOfAtLeastOneFileInArray(const std::vector<std::string>& names) const;
  // The path of every crash file name, in order, whether it exists or not.
  void enumerateSymbolicatableFilesInContent(const std::function<void(const std::string& path)>& block) const;

  // ---- Metadata ----
  const std::vector<os::Value>& metadataSections() const;
  std::optional<std::string> orgID() const;
  std::optional<std::string> bundleVersion() const;
  std::optional<std::string> bundleShortVersionString() const;
  std::optional<os::Date> dateCreated() const;
  std::optional<std::string> OSVersion() const;
  std::optional<std::string> OSBuildVersion() const;
  // nullopt unless isCrash; the "mach_exception" time, else the "signal" one.
  std::optional<os::Date> crashedOnDate() const;
  std::optional<os::Date> timeFromCrashContentFile(const std::string& fileName, const std::string& sectionName) const;

  std::optional<std::string> installID;
  os::Dictionary customKeys;

  struct PrivateTag {};
  ZOZInternalReport(PrivateTag, std::string path, std::string identifier);

 private:
  // The value of `key` in the section named `name` at index `index`.
  std::optional<std::string> metadataString(size_t index, const std::string& name, const std::string& key) const;

  std::string path_;
  std::string identifier_;
  mutable std::once_flag metadataOnce_;
  mutable std::vector<os::Value> metadataSections_;  // written once under metadataOnce_
};
