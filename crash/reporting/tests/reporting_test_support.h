// Fixtures for the reporting tests: a fresh sandbox with a main bundle, a
// manual clock, the SDK logger at debug level with its lines captured, and
// writers of report directories in the capture core's own record format.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crash/core/tests/record_file_support.h"
#include "crash/core/zoz_binary_image.h"
#include "crash/core/zoz_context.h"
#include "crash/core/zoz_file.h"
#include "crash/reporting/zoz_manager_data.h"
#include "crash/reporting/zoz_on_demand_model.h"
#include "crash/reporting/zoz_transport.h"
#include "os/foundation/process_info.h"
#include "sdk-core/core/rez_analytics_interop.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "os/foundation/value.h"

namespace reportingtest {

inline constexpr const char* kBundleIdentifier = "com.example/drosil";
inline constexpr double kStartTime = 1'700'000'000.0;

using crashtest::readFile;
using crashtest::readRecordLines;
using crashtest::writeFile;

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

// The record files a crash-report message carries (name -> contents);
// nullopt when the bytes do not decode.
std::optional<std::map<std::string, std::string>> filesOfReportMessage(const os::Data& bytes);

// Stands in for analytics until the measurement engine offers the interop.
class AnalyticsDouble final : public REZAnalyticsInterop {
 public:
  struct Event {
    std::string origin, name;
    os::Dictionary parameters;
  };
  void logEventWithOrigin(const std::string& origin, const std::string& name,
                          const os::Dictionary& parameters) override;
  void registerAnalyticsListener(std::shared_ptr<REZAnalyticsInteropListener> listener,
                                 const std::string& origin) override;
  // The crash reporter uses none of these.
  void setConditionalUserProperty(const os::Dictionary&) override {}
  void clearConditionalUserProperty(const std::string&, const std::string&, const std::string&,
                                    const os::Dictionary&) override {}
  std::vector<os::Dictionary> conditionalUserProperties(const std::string&, const std::string&) override { return {}; }
  int maxUserProperties(const std::string&) override { return 0; }
  void getUserPropertiesWithCallback(std::function<void(os::Dictionary)>) override {}
  void setUserPropertyWithOrigin(const std::string&, const std::string&, const os::Value&) override {}
  void unregisterAnalyticsListenerWithOrigin(const std::string&) override {}
  std::vector<Event> eventsNamed(const std::string& name);

  std::mutex mutex;
  std::vector<Event> events;  // guarded by mutex
  std::vector<std::pair<std::weak_ptr<REZAnalyticsInteropListener>, std::string>> registrations;  // guarded by mutex
};

// The event transport, stood in for: it keeps the events it is given and
// answers each send as told, on a global queue (at once), or when released.
class TransportDouble final : public ZOZTransport {
 public:
  enum class Answer { Written, Refused, NotWritten };
  struct Sent {
    REVOVAEventPtr event;
    std::vector<os::ProcessActivity> activities;  // under way at the send
  };

  REVOVAEventPtr eventForTransport() const override;
  void sendDataEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete) override;

  void setAnswer(Answer answer);
  // Holds completions until release().
  void setDeferred(bool deferred);
  // Answers the held sends; true when there were any.
  bool release();
  // Waits (real time) until `count` sends have come.
  bool waitForSends(size_t count);
  std::vector<Sent> sent();

 private:
  void answer(const REVOVASendCompletion& completion, Answer answer);

  std::mutex mutex_;
  std::condition_variable changed_;
  Answer answer_ = Answer::Written;                // guarded by mutex_
  bool deferred_ = false;                          // guarded by mutex_
  std::vector<REVOVASendCompletion> held_;         // guarded by mutex_
  std::vector<Sent> sent_;                         // guarded by mutex_
};

// The reporting objects over a test sandbox: the directory layout made, a
// transport and analytics stood in for, installations answering at once.
class FlowTest : public ReportingTest {
 protected:
  static constexpr const char* kAppID = "1:123456789012:ios:0a1b2c3d4e5f";

  void SetUp() override;
  void TearDown() override;
  // Manager data over these parts; `recorder` writes on-demand reports;
  // `appInfo` is the Info dictionary the arbiter reads.
  std::shared_ptr<ZOZManagerData> makeManagerData(ZOZOnDemandModel::Recorder recorder = nullptr,
                                                  const os::Dictionary& appInfo = {});
  // A report directory under `state` ("active", "processing", "prepared")
  // created at `createdAt` (seconds after kStartTime; negative: now, with the
  // clock left alone); with a signal record
  // whose crashed thread is `addresses` when `crash`.
  std::string writeReport(const std::string& state, const std::string& name, double createdAt, bool crash,
                          const std::vector<uint64_t>& addresses = {});
  // Runs the work queue (and the rest) dry.
  void drain();

  std::shared_ptr<ZOZFileManager> files_;
  std::shared_ptr<TransportDouble> transport_;
  std::shared_ptr<AnalyticsDouble> analytics_;
  std::shared_ptr<ZOZManagerData> managerData_;
};

}  // namespace reportingtest
