#include "os/metrickit/metric_manager.h"

#include <gtest/gtest.h>

#include <mutex>

#include "os/foundation/json.h"

namespace os {
namespace {

class Recorder : public MXMetricManagerSubscriber {
 public:
  void didReceiveDiagnosticPayloads(const std::vector<std::shared_ptr<MXDiagnosticPayload>>& payloads) override {
    std::lock_guard lock(mutex);
    diagnostics.push_back(payloads);
    labels.push_back(DispatchQueue::currentLabel());
    arrived->signal();
  }
  void didReceiveMetricPayloads(const std::vector<std::shared_ptr<MXMetricPayload>>& payloads) override {
    std::lock_guard lock(mutex);
    metrics += payloads.size();
    arrived->signal();
  }
  bool waitForOne() { return arrived->wait(DispatchTime::fromNow(10)) == DispatchWaitResult::Success; }

  std::mutex mutex;
  std::vector<std::vector<std::shared_ptr<MXDiagnosticPayload>>> diagnostics;  // guarded by mutex
  std::vector<std::string> labels;                                            // guarded by mutex
  size_t metrics = 0;                                                         // guarded by mutex
  std::shared_ptr<DispatchSemaphore> arrived = DispatchSemaphore::create(0);
};

Value frame(int64_t address, std::vector<Value> below = {}) {
  Dictionary f{{"binaryUUID", Value("0123")},
               {"offsetIntoBinaryTextSegment", Value(int64_t(16))},
               {"sampleCount", Value(int64_t(1))},
               {"binaryName", Value("Drosil")},
               {"address", Value(address)}};
  if (!below.empty()) f["subFrames"] = Value(Array(below.begin(), below.end()));
  return Value(f);
}

std::shared_ptr<MXDiagnosticPayload> everyKind() {
  auto tree = MXCallStackTree::withTree(Value(Dictionary{
      {"callStackPerThread", Value(true)},
      {"callStacks", Value(Array{Value(Dictionary{{"threadAttributed", Value(true)},
                                                  {"callStackRootFrames", Value(Array{frame(4096, {frame(8192)})})}})})}}));
  auto meta = std::make_shared<MXMetaData>(Dictionary{{"appBuildVersion", Value("42")}, {"osVersion", Value("17.5")}});
  auto payload = std::make_shared<MXDiagnosticPayload>();
  payload->timeStampBegin = Date::fromTimeIntervalSince1970(1700000000);
  payload->timeStampEnd = Date::fromTimeIntervalSince1970(1700086400);
  auto crash = std::make_shared<MXCrashDiagnostic>();
  crash->metaData = meta;
  crash->applicationVersion = "3.1";
  crash->callStackTree = tree;
  crash->exceptionType = 1;
  crash->exceptionCode = 0;
  crash->signal = 11;
  crash->terminationReason = "Namespace SIGNAL, Code 11";
  payload->crashDiagnostics.push_back(crash);
  auto hang = std::make_shared<MXHangDiagnostic>();
  hang->callStackTree = tree;
  hang->hangDuration = {2.5, "sec"};
  payload->hangDiagnostics.push_back(hang);
  auto cpu = std::make_shared<MXCPUExceptionDiagnostic>();
  cpu->totalCPUTime = {90, "sec"};
  cpu->totalSampledTime = {180, "sec"};
  payload->cpuExceptionDiagnostics.push_back(cpu);
  auto disk = std::make_shared<MXDiskWriteExceptionDiagnostic>();
  disk->totalWritesCaused = {2147483648.0, "byte"};
  payload->diskWriteExceptionDiagnostics.push_back(disk);
  return payload;
}

TEST(MetricManagerTest, PayloadsReachLiveSubscribersOnTheDeliveryQueue) {
  auto manager = MXMetricManager::sharedManager();
  EXPECT_EQ(manager, MXMetricManager::sharedManager());
  auto recorder = std::make_shared<Recorder>();
  auto removed = std::make_shared<Recorder>();
  auto gone = std::make_shared<Recorder>();
  manager->addSubscriber(removed);
  manager->addSubscriber(recorder);
  manager->addSubscriber(recorder);  // once only
  manager->addSubscriber(gone);
  manager->removeSubscriber(removed);
  std::weak_ptr<Recorder> goneWeak = gone;
  gone.reset();

  manager->TEST_deliverDiagnosticPayloads({everyKind(), std::make_shared<MXDiagnosticPayload>()});
  manager->TEST_deliverMetricPayloads({std::make_shared<MXMetricPayload>()});
  ASSERT_TRUE(recorder->waitForOne());
  ASSERT_TRUE(recorder->waitForOne());
  EXPECT_TRUE(goneWeak.expired());

  std::lock_guard lock(recorder->mutex);
  ASSERT_EQ(recorder->diagnostics.size(), 1u);
  EXPECT_EQ(recorder->labels, std::vector<std::string>{kMXDeliveryQueueLabel});
  EXPECT_EQ(recorder->metrics, 1u);
  const auto& payloads = recorder->diagnostics[0];
  ASSERT_EQ(payloads.size(), 2u);
  EXPECT_TRUE(payloads[1]->crashDiagnostics.empty());
  const auto& payload = *payloads[0];
  EXPECT_EQ(payload.timeStampEnd.timeIntervalSinceDate(payload.timeStampBegin), 86400);
  ASSERT_EQ(payload.crashDiagnostics.size(), 1u);
  const auto& crash = *payload.crashDiagnostics[0];
  EXPECT_EQ(crash.signal, 11);
  EXPECT_EQ(crash.virtualMemoryRegionInfo, std::nullopt);
  auto meta = JSONSerialization::JSONObjectWithData(crash.metaData->JSONRepresentation());
  ASSERT_TRUE(meta);
  EXPECT_EQ((*meta)["appBuildVersion"], Value("42"));
  auto tree = JSONSerialization::JSONObjectWithData(crash.callStackTree->JSONRepresentation());
  ASSERT_TRUE(tree);
  const Value& root = (*tree)["callStacks"][0]["callStackRootFrames"][0];
  EXPECT_EQ(root["address"], Value(int64_t(4096)));
  EXPECT_EQ(root["subFrames"][0]["address"], Value(int64_t(8192)));
  EXPECT_EQ(payload.hangDiagnostics[0]->hangDuration.doubleValue, 2.5);
  EXPECT_EQ(payload.cpuExceptionDiagnostics[0]->totalSampledTime.doubleValue, 180);
  EXPECT_EQ(payload.diskWriteExceptionDiagnostics[0]->totalWritesCaused.doubleValue, 2147483648.0);
  manager->removeSubscriber(recorder);
}

}  // namespace
}  // namespace os
