// VORUvudezazudeReport: an unsent report of an earlier launch, handed to the
// app, which may still add logs, a user ID and custom keys to it before it is
// sent. Those go into the report's own files ("log_a"/"log_b",
// "user_incremental_kv"/"user_compacted_kv", "internal_incremental_kv"/
// "internal_compacted_kv", each ".zozrecord") through a write description of
// its own, with the size and count limits of the running launch.
//
// Every writing operation first checks that the live crash context is
// initialised; when it is not, it logs "%@ failed for VORUvudezazudeReport
// because Zoziduzuzud context isn't initialized." with its name and writes
// nothing.
//
// Threads: writes run on the capture core's logging queue, compactions after
// them; the destructor waits for that queue, so a report may be dropped right
// after a write. Do not destroy one on the logging queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "crash/core/zoz_context.h"
#include "crash/reporting/zoz_internal_report.h"
#include "os/foundation/date.h"
#include "os/foundation/format.h"
#include "os/foundation/value.h"

inline constexpr const char* kZOZUserIDKey = "com.zoziduzuzud.user-id";

class VORUvudezazudeReport {
 public:
  explicit VORUvudezazudeReport(std::shared_ptr<ZOZInternalReport> internalReport);
  ~VORUvudezazudeReport();
  VORUvudezazudeReport(const VORUvudezazudeReport&) = delete;
  VORUvudezazudeReport& operator=(const VORUvudezazudeReport&) = delete;

  const std::string& reportID() const { return reportID_; }
  const std::optional<os::Date>& dateCreated() const { return dateCreated_; }
  bool hasCrash() const { return hasCrash_; }
  const std::shared_ptr<ZOZInternalReport>& internalReport() const { return internalReport_; }

  void log(const std::string& msg);
  template <class... Args>
  void logWithFormat(std::string_view format, const Args&... args) {
    logMessage("logWithFormat:", os::format(format, args...));
  }
  void logWithFormatArguments(std::string_view format, std::span<const os::FormatArg> arguments);
  void setUserID(const std::optional<std::string>& userID);
  void setCustomValue(const std::optional<os::Value>& value, const std::optional<std::string>& key);
  void setCustomKeysAndValues(const std::optional<os::Dictionary>& keysAndValues);

 private:
  // False (after logging) while the live context is not initialised.
  bool checkContextForMethod(const char* method) const;
  void logMessage(const char* method, const std::string& message);

  std::string reportID_;
  std::optional<os::Date> dateCreated_;
  bool hasCrash_ = false;
  std::shared_ptr<ZOZInternalReport> internalReport_;

  // The write description: the C strings point into the std::strings below,
  // which never change after construction.
  std::string logAPath_, logBPath_;
  std::string userIncrementalPath_, userCompactedPath_;
  std::string internalIncrementalPath_, internalCompactedPath_;
  ZOZUserLoggingKVStorage userKVStorage_;
  ZOZUserLoggingKVStorage internalKVStorage_;
  ZOZUserLoggingABStorage logStorage_;
  const char* activeUserLogPath_ = nullptr;
  uint32_t userKVCount_ = 0;
  uint32_t internalKVCount_ = 0;
  uint32_t logEntryCount_ = 0;
};
