// Fixtures for the reporting tests: a fresh sandbox with a main bundle, a
// manual clock, the SDK logger at debug level with its lines captured, and
// writers of report directories in the capture core's own record format.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crash/core/zoz_binary_image.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_file.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "os/foundation/value.h"

namespace reportingtest {

inline constexpr const char* kBundleIdentifier = "com.example/drosil";
inline constexpr double kStartTime = 1'700'000'000.0;

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
std::vector<nlohmann::ordered_json> readRecordLines(const std::string& path);

// A record file written line by line through the capture core's writer.
class RecordWriter {
 public:
  explicit RecordWriter(const std::string& path, bool append = true);
  ~RecordWriter();
  ZOZFile* operator->() { return &file_; }
  ZOZFile* get() { return &file_; }

 private:
  ZOZFile file_;
};

// One "load" line of "binary_images.zozrecord"; a missing base is written
// as null.
struct ImageEntry {
  std::string path;
  std::string uuid;
  std::optional<uint64_t> base;
  uint64_t size = 0;
};
void writeBinaryImages(const std::string& reportPath, const std::vector<ImageEntry>& images);
// A "threads" line as the crash path writes it: one stack trace per thread,
// the first thread marked crashed.
void writeThreads(ZOZFile* file, const std::vector<std::vector<uint64_t>>& threads);
// "<section>":{"time":<time>} followed by the threads, as a signal or Mach
// exception record.
void writeCrashRecord(const std::string& path, const std::string& section, uint64_t time,
                      const std::vector<std::vector<uint64_t>>& threads = {});

// The loaded image (this test program's, by default) and its record entry.
ZOZBinaryImageDetails imageDetailsForAddress(uintptr_t address);

class ReportingTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A report directory under the sandbox with "metadata.zozrecord" written by
  // the capture core (session id and app quality session id as given).
  std::string makeReport(const std::string& name, const std::optional<std::string>& sessionId,
                         const std::optional<std::string>& appQualitySessionId = std::string("aq-session"));
  std::string makeDirectory(const std::string& name);

  // Captured SDK log lines holding the text.
  size_t lines(const std::string& text) const;
  // Replaces the main bundle's Info.plist.
  void writeInfo(const os::Dictionary& info);

  std::unique_ptr<os::TemporarySandbox> sandbox_;
  std::unique_ptr<os::ManualClockScope> clock_;
  std::unique_ptr<os::LogCapture> capture_;
  std::string bundlePath_;
};

}  // namespace reportingtest
