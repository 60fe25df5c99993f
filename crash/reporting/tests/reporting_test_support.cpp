#include "crash/reporting/tests/reporting_test_support.h"

#include <pb_decode.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "crash/reporting/proto/zoz_report.pb.h"
#include "crash/reporting/zoz_user_defaults.h"
#include "crash/reporting/zoz_data_collection_arbiter.h"
#include "crash/reporting/zoz_install_identifier_model.h"
#include "crash/reporting/zoz_settings.h"
#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/plist.h"
#include "os/foundation/user_defaults.h"
#include "os/kernel/loader.h"
#include "platform/utilities/logger.h"
#include "sdk-core/core/rez_logger.h"

namespace reportingtest {

RecordWriter::RecordWriter(const std::string& path, bool append) {
  EXPECT_TRUE(ZOZFileInitWithPathMode(&file_, path.c_str(), append, false)) << path;
}
RecordWriter::~RecordWriter() { ZOZFileClose(&file_); }

void writeBinaryImages(const std::string& reportPath, const std::vector<ImageEntry>& images) {
  RecordWriter writer(reportPath + "/binary_images.zozrecord");
  for (const auto& image : images) {
    ZOZFileWriteSectionStart(writer.get(), "load");
    ZOZFileWriteHashStart(writer.get());
    ZOZFileWriteHashEntryString(writer.get(), "path", image.path.c_str());
    ZOZFileWriteHashEntryString(writer.get(), "uuid", image.uuid.c_str());
    if (image.base)
      ZOZFileWriteHashEntryUint64(writer.get(), "base", *image.base);
    else
      ZOZFileWriteHashEntryString(writer.get(), "base", nullptr);
    ZOZFileWriteHashEntryUint64(writer.get(), "size", image.size);
    ZOZFileWriteHashEnd(writer.get());
    ZOZFileWriteSectionEnd(writer.get());
  }
}

void writeThreads(ZOZFile* file, const std::vector<std::vector<uint64_t>>& threads) {
  ZOZFileWriteSectionStart(file, "threads");
  ZOZFileWriteArrayStart(file);
  for (size_t i = 0; i < threads.size(); ++i) {
    ZOZFileWriteHashStart(file);
    ZOZFileWriteHashKey(file, "registers");
    ZOZFileWriteHashStart(file);
    ZOZFileWriteHashEnd(file);
    ZOZFileWriteHashKey(file, "stacktrace");
    ZOZFileWriteArrayStart(file);
    for (uint64_t address : threads[i]) ZOZFileWriteArrayEntryUint64(file, address);
    ZOZFileWriteArrayEnd(file);
    if (i == 0) ZOZFileWriteHashEntryBoolean(file, "crashed", true);
    ZOZFileWriteHashEnd(file);
  }
  ZOZFileWriteArrayEnd(file);
  ZOZFileWriteSectionEnd(file);
}

void writeCrashRecord(const std::string& path, const std::string& section, uint64_t time,
                      const std::vector<std::vector<uint64_t>>& threads) {
  RecordWriter writer(path);
  ZOZFileWriteSectionStart(writer.get(), section.c_str());
  ZOZFileWriteHashStart(writer.get());
  ZOZFileWriteHashEntryUint64(writer.get(), "time", time);
  ZOZFileWriteHashEnd(writer.get());
  ZOZFileWriteSectionEnd(writer.get());
  if (!threads.empty()) writeThreads(writer.get(), threads);
}

ZOZBinaryImageDetails imageDetailsForAddress(uintptr_t address) {
  for (uint32_t i = 0; i < os::kernel::_dyld_image_count(); ++i) {
    ZOZBinaryImageDetails details;
    details.slice.startAddress = os::kernel::_dyld_get_image_header(i);
    details.vmaddrSlide = os::kernel::_dyld_get_image_vmaddr_slide(i);
    if (!details.slice.startAddress) continue;
    ZOZBinaryImageFillInImageDetails(&details);
    if (details.baseAddress <= address && address - details.baseAddress < details.size) return details;
  }
  ADD_FAILURE() << "no image holds the address";
  return {};
}

void ReportingTest::SetUp() {
  sandbox_ = std::make_unique<os::TemporarySandbox>();
  clock_ = std::make_unique<os::ManualClockScope>();
  clock_->clock().setWallTime(kStartTime);
  bundlePath_ = sandbox_->root() + "/Drosil.app";
  std::filesystem::create_directories(bundlePath_);
  writeInfo(os::Dictionary{{os::kCFBundleIdentifierKey, kBundleIdentifier},
                           {os::kCFBundleVersionKey, "42"},
                           {os::kCFBundleShortVersionStringKey, "4.2"}});
  ZOZUserDefaults::TEST_resetStandardUserDefaults();
  DAZLoggerTEST_reset();
  REZLoggerTEST_reset();
  REZLoggerSetLevel(DAZLoggerLevel::Debug);
  capture_ = std::make_unique<os::LogCapture>();
}

void ReportingTest::TearDown() {
  os::dispatch::drainUntilIdle();
  DAZLoggerTEST_flush();
  capture_.reset();
  DAZLoggerTEST_reset();
  REZLoggerTEST_reset();
  ZOZUserDefaults::TEST_resetStandardUserDefaults();
  os::UserDefaults::resetStandardUserDefaults();
  os::Bundle::setMainBundlePath("");
  clock_.reset();
  sandbox_.reset();
}

std::string ReportingTest::makeDirectory(const std::string& name) {
  const std::string path = sandbox_->root() + "/reports/" + name;
  std::filesystem::create_directories(path);
  return path;
}

std::string ReportingTest::makeReport(const std::string& name, const std::optional<std::string>& sessionId,
                                      const std::optional<std::string>& appQualitySessionId) {
  const std::string path = makeDirectory(name);
  ZOZContextInitData data;
  data.rootPath = path;
  data.sessionId = sessionId;
  data.appQualitySessionId = appQualitySessionId;
  data.betaToken = "";
  EXPECT_TRUE(ZOZContextRecordMetadata(path.c_str(), data));
  return path;
}

void ReportingTest::writeInfo(const os::Dictionary& info) {
  auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(info),
                                                                  os::PropertyListSerialization::Format::XML);
  ASSERT_TRUE(data.has_value());
  ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(bundlePath_ + "/Info.plist", *data));
  os::Bundle::setMainBundlePath(bundlePath_);
}

size_t ReportingTest::lines(const std::string& text) const {
  DAZLoggerTEST_flush();
  return capture_->recordsContaining(text).size();
}

std::optional<std::map<std::string, std::string>> filesOfReportMessage(const os::Data& bytes) {
  devuvo_zoziduzuzud_Report report = devuvo_zoziduzuzud_Report_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(bytes.bytes(), bytes.size());
  if (!pb_decode(&stream, devuvo_zoziduzuzud_Report_fields, &report)) return std::nullopt;
  auto text = [](const pb_bytes_array_t* b) {
    return b ? std::string(reinterpret_cast<const char*>(b->bytes), b->size) : std::string();
  };
  std::map<std::string, std::string> files;
  for (pb_size_t i = 0; i < report.apple_payload.files_count; ++i) {
    files[text(report.apple_payload.files[i].filename)] = text(report.apple_payload.files[i].contents);
  }
  pb_release(devuvo_zoziduzuzud_Report_fields, &report);
  return files;
}

// ---- AnalyticsDouble ----

void AnalyticsDouble::logEventWithOrigin(const std::string& origin, const std::string& name,
                                         const os::Dictionary& parameters) {
  std::lock_guard lock(mutex);
  events.push_back({origin, name, parameters});
}

void AnalyticsDouble::registerAnalyticsListener(std::shared_ptr<REZAnalyticsInteropListener> listener,
                                                const std::string& origin) {
  std::lock_guard lock(mutex);
  registrations.emplace_back(listener, origin);
}

std::vector<AnalyticsDouble::Event> AnalyticsDouble::eventsNamed(const std::string& name) {
  std::lock_guard lock(mutex);
  std::vector<Event> found;
  for (const auto& event : events) {
    if (event.name == name) found.push_back(event);
  }
  return found;
}

// ---- TransportDouble ----

REVOVAEventPtr TransportDouble::eventForTransport() const {
  return REVOVAEvent::initWithMappingID(kZOZTransportMappingID, kZOZTransportTarget);
}

void TransportDouble::sendDataEvent(const REVOVAEventPtr& event, REVOVASendCompletion onComplete) {
  Answer answer;
  bool deferred;
  {
    std::lock_guard lock(mutex_);
    sent_.push_back({event->copy(), os::ProcessInfo::processInfo().activeActivities()});
    answer = answer_;
    deferred = deferred_;
    if (deferred) held_.push_back(onComplete);
  }
  changed_.notify_all();
  if (onComplete && !deferred) {
    os::DispatchQueue::global()->async([this, onComplete, answer] { this->answer(onComplete, answer); });
  }
}

void TransportDouble::answer(const REVOVASendCompletion& completion, Answer answer) {
  switch (answer) {
    case Answer::Written:
      completion(true, std::nullopt);
      break;
    case Answer::Refused:
      completion(false, os::Error(kREVOVATransformerErrorDomain, 1));
      break;
    case Answer::NotWritten:
      completion(false, std::nullopt);
      break;
  }
}

void TransportDouble::setAnswer(Answer answer) {
  std::lock_guard lock(mutex_);
  answer_ = answer;
}

void TransportDouble::setDeferred(bool deferred) {
  std::lock_guard lock(mutex_);
  deferred_ = deferred;
}

bool TransportDouble::release() {
  std::vector<REVOVASendCompletion> held;
  Answer answer;
  {
    std::lock_guard lock(mutex_);
    held.swap(held_);
    answer = answer_;
  }
  for (const auto& completion : held) this->answer(completion, answer);
  return !held.empty();
}

bool TransportDouble::waitForSends(size_t count) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return sent_.size() >= count; });
}

std::vector<TransportDouble::Sent> TransportDouble::sent() {
  std::lock_guard lock(mutex_);
  return sent_;
}

// ---- FlowTest ----

void FlowTest::SetUp() {
  ReportingTest::SetUp();
  files_ = std::make_shared<ZOZFileManager>();
  ASSERT_TRUE(files_->createReportDirectories());
  transport_ = std::make_shared<TransportDouble>();
  analytics_ = std::make_shared<AnalyticsDouble>();
  managerData_ = makeManagerData();
}

void FlowTest::TearDown() {
  drain();
  managerData_.reset();
  ReportingTest::TearDown();
}

std::shared_ptr<ZOZManagerData> FlowTest::makeManagerData(ZOZOnDemandModel::Recorder recorder,
                                                          const os::Dictionary& appInfo) {
  auto settings = std::make_shared<ZOZSettings>(files_, ZOZApplicationIdentifierModel::init());
  auto onDemand = std::make_shared<ZOZOnDemandModel>(settings, files_, std::move(recorder));
  auto installIDModel = std::make_shared<ZOZInstallIdentifierModel>(
      [](REZInstallations::IDCompletion completion) { completion("fid-1", std::nullopt); },
      [](REZInstallations::TokenCompletion completion) {
        completion(REZInstallationsAuthTokenResult{"token-1", os::Date::distantFuture()}, std::nullopt);
      });
  return std::make_shared<ZOZManagerData>(kAppID, transport_, nullptr, analytics_, files_,
                                          std::make_shared<ZOZDataCollectionArbiter>(nullptr, appInfo),
                                          settings, onDemand, nullptr, installIDModel);
}

std::string FlowTest::writeReport(const std::string& state, const std::string& name, double createdAt, bool crash,
                                  const std::vector<uint64_t>& addresses) {
  const std::string path = files_->structurePath() + "/" + state + "/" + name;
  std::filesystem::create_directories(path);
  // Moving the clock waits for the work under way: not from a block of it.
  const double now = os::Clock::current().wallTime();
  const bool moveClock = createdAt >= 0;
  if (moveClock) clock_->clock().setWallTime(kStartTime + createdAt);
  ZOZContextInitData data;
  data.rootPath = path;
  data.sessionId = name;
  data.appQualitySessionId = "aq-" + name;
  data.betaToken = "";
  EXPECT_TRUE(ZOZContextRecordMetadata(path.c_str(), data));
  if (moveClock) clock_->clock().setWallTime(now);
  if (crash) {
    writeCrashRecord(path + "/signal.zozrecord", "signal", static_cast<uint64_t>(kStartTime + createdAt),
                     {addresses});
  }
  return path;
}

void FlowTest::drain() {
  if (managerData_) managerData_->operationQueue->waitUntilAllOperationsAreFinished();
  EXPECT_TRUE(os::dispatch::drainUntilIdle());
}

}  // namespace reportingtest
