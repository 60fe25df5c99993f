// The experiment-flag client: records and flag values, the experiments
// database, the fetch schedule against a loopback service, and the manager.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "measurement/messages/field_access.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/experiment_database.h"
#include "measurement/store/experiment_manager.h"
#include "measurement/store/experiment_records.h"
#include "measurement/store/experiment_task_manager.h"
#include "measurement/store/identity.h"
#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/device_profile.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/gzip.h"

namespace {

using apm_test::StoreTest;
using os::testing::ScriptedResponse;

constexpr double kStart = 1'700'000'000.0;

struct ELine {
  int64_t level;
  int64_t code;
  std::string message;
  std::vector<std::string> contexts;
};

// The experiment logger, recording every line at every level.
class RecordingEMonitor : public APMEMonitor {
 public:
  RecordingEMonitor() : APMEMonitor(nullptr) {}
  std::vector<ELine> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<int64_t> codes() const {
    std::vector<int64_t> out;
    for (const auto& line : lines()) out.push_back(line.code);
    return out;
  }
  bool logged(int64_t code) const {
    for (const auto& line : lines()) {
      if (line.code == code) return true;
    }
    return false;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
  }

 protected:
  void write(int64_t level, int64_t code, std::string_view message, std::vector<APMLogContext> contexts) override {
    ELine line{level, code, std::string(message), {}};
    for (const auto& context : contexts) {
      if (const os::Value* value = context.value()) {
        line.contexts.push_back(value->isString() ? *value->string() : value->description());
      } else if (const os::Error* error = context.error()) {
        line.contexts.push_back(error->description());
      } else {
        line.contexts.push_back("nil");
      }
    }
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ELine> lines_;  // guarded by mutex_
};

std::shared_ptr<APMPBFlag> flag(const std::string& name, os::Value value) {
  return APMPBFlagWithNameValue(os::Value(name), value);
}

std::shared_ptr<APMESnapshot> snapshotOf(const std::string& sdk,
                                         std::vector<std::pair<int64_t, std::vector<std::shared_ptr<APMPBFlag>>>> spec) {
  std::vector<std::shared_ptr<APMEExperiment>> experiments;
  for (auto& [id, flags] : spec) experiments.push_back(APMEExperiment::initWithExperimentID(id, flags));
  return APMESnapshot::initWithSDKName(sdk, experiments);
}

std::vector<int64_t> idsOf(const std::shared_ptr<APMESnapshot>& snapshot) {
  std::vector<int64_t> ids;
  for (const auto& experiment : snapshot->experiments()) ids.push_back(experiment->experimentID());
  return ids;
}

// Waits (real time, bounded) for work on other threads to produce a result.
[[maybe_unused]] bool eventually(const std::function<bool()>& done, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

class ExperimentTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    APMEMonitor::TEST_setShared(monitor_);
  }
  void TearDown() override {
    APMEMonitor::TEST_setShared(nullptr);
    StoreTest::TearDown();
  }

  os::ManualClockScope clock_;
  std::shared_ptr<RecordingEMonitor> monitor_ = std::make_shared<RecordingEMonitor>();
};

// ---- Flag values and records ----

TEST_F(ExperimentTest, FlagValuesGoToOneTypedFieldAndReadBackInOrder) {
  struct Case {
    os::Value value;
    int32_t field;
    os::Value readBack;
  };
  const Case cases[] = {
      {os::Value(2.5), kAPMPBFlagDoubleValueIndex, os::Value(2.5)},
      {os::Value(7), kAPMPBFlagIntValueIndex, os::Value(os::Number::int64(7))},
      // A Boolean is stored as an integer, never in bool_value.
      {os::Value(true), kAPMPBFlagIntValueIndex, os::Value(os::Number::int64(1))},
      {os::Value("blue"), kAPMPBFlagStringValueIndex, os::Value("blue")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.description());
    auto built = flag("f", c.value);
    ASSERT_TRUE(built);
    for (int32_t field : {kAPMPBFlagIntValueIndex, kAPMPBFlagStringValueIndex, kAPMPBFlagDoubleValueIndex,
                          kAPMPBFlagBoolValueIndex}) {
      EXPECT_EQ(APMPBHasField(built.get(), field), field == c.field) << field;
    }
    const os::Value read = APMPBFlagValue(built.get());
    EXPECT_EQ(read, c.readBack);
    EXPECT_EQ(read.number() ? read.number()->kind() : os::Number::Kind::Int64,
              c.readBack.number() ? c.readBack.number()->kind() : os::Number::Kind::Int64);
  }

  auto both = flag("f", os::Value(5));
  APMPBSetString(both.get(), kAPMPBFlagStringValueIndex, "five");
  EXPECT_EQ(APMPBFlagValue(both.get()), os::Value(os::Number::int64(5)));
  auto nameOnly = APMPBFlag::initWithBuffer(os::Data());
  APMPBSetString(nameOnly.get(), kAPMPBFlagNameIndex, "f");
  EXPECT_TRUE(APMPBFlagValue(nameOnly.get()).isNull());

  EXPECT_FALSE(flag("f", os::Value(os::Date::now())));
  EXPECT_FALSE(APMPBFlagWithNameValue(os::Value(), os::Value(1)));
  EXPECT_FALSE(APMPBFlagWithNameValue(os::Value(3), os::Value(1)));
  const auto lines = monitor_->lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].code, 850002);
  EXPECT_EQ(lines[0].contexts, std::vector<std::string>{"NSDate"});
  EXPECT_EQ(lines[1].code, 850000);
  EXPECT_EQ(lines[2].code, 850001);
}

TEST_F(ExperimentTest, ExperimentsAndSnapshotsFromMessagesAndCopies) {
  // An Experiment message without experiment_id is the launched experiment.
  auto message = APMPBExperiment::initWithBuffer(os::Data());
  APMPBSetArray(message.get(), kAPMPBExperimentFlagsIndex,
                std::vector<std::shared_ptr<APMPBFlag>>{flag("a", os::Value(1)), flag("a", os::Value(2))});
  auto launched = APMEExperiment::initWithProtobuf(message.get());
  ASSERT_TRUE(launched);
  EXPECT_EQ(launched->experimentID(), 0);
  // Two flags of one name: the later stays.
  ASSERT_EQ(launched->flags().size(), 1u);
  EXPECT_EQ(APMPBFlagValue(launched->flagWithName("a").get()), os::Value(os::Number::int64(2)));

  // A nameless flag is skipped, not stored under an empty key.
  auto nameless = APMPBFlag::initWithBuffer(os::Data());
  APMPBSetInt64(nameless.get(), kAPMPBFlagIntValueIndex, 9);
  auto experiment = APMEExperiment::initWithExperimentID(4, {nameless, flag("b", os::Value(3))});
  ASSERT_TRUE(experiment);
  EXPECT_EQ(experiment->flags().size(), 1u);
  EXPECT_TRUE(monitor_->logged(870006));

  // An empty experiment list is a valid snapshot without flags.
  auto emptyMessage = APMPBSnapshot::initWithBuffer(os::Data());
  APMPBSetString(emptyMessage.get(), kAPMPBSnapshotSDKNameIndex, "sdk");
  auto empty = APMESnapshot::initWithProtobuf(emptyMessage.get());
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->experiments().empty());
  EXPECT_FALSE(empty->flagByName("a"));

  // A snapshot survives its message and a copy carries the copy time.
  auto snapshot = snapshotOf("sdk", {{4, {flag("b", os::Value(3))}}, {0, {flag("a", os::Value(1))}}});
  snapshot->setManuallyActivated(true);
  snapshot->setTimestamp(5);
  auto decoded = APMESnapshot::initWithProtobuf(
      APMPBSnapshot::initWithBuffer(*snapshot->proto()->protoBuffer()).get());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(idsOf(decoded), (std::vector<int64_t>{0, 4}));
  EXPECT_EQ(APMPBFlagValue(decoded->flagByName("b").get()), os::Value(os::Number::int64(3)));
  clock_->advance(60);
  auto copy = snapshot->copy();
  EXPECT_EQ(copy->timestamp(), kStart + 60);
  EXPECT_FALSE(copy->manuallyActivated());
  EXPECT_EQ(idsOf(copy), (std::vector<int64_t>{0, 4}));
}

class DynamicProperties : public APMESDKPropertyProviderDelegate {
 public:
  std::optional<std::map<std::string, std::string>> dynamicCustomPropertiesForSDKProperty(
      const APMESDKProperty&) override {
    return std::map<std::string, std::string>{{"tier", "gold"}, {"extra", "1"}};
  }
};

TEST_F(ExperimentTest, ClientPropertyTakesTheIdentitysDiversionKeyAndDynamicProperties) {
  auto property = APMESDKProperty::initWithName("app_measurement");
  property->setVersion(42);
  property->setCustomProperties(std::map<std::string, std::string>{{"tier", "silver"}, {"region", "eu"}});
  auto provider = std::make_shared<DynamicProperties>();
  property->setDelegate(provider);

  auto proto = property->proto();
  ASSERT_TRUE(proto);
  const std::string key = APMIdentity::sharedInstance()->diversionKey();
  ASSERT_EQ(key.size(), 5u);
  EXPECT_EQ(APMPBGetString(proto.get(), kAPMPBClientPropertyDiversionIDIndex), key + "-app_measurement");
  EXPECT_EQ(APMPBGetString(proto.get(), kAPMPBClientPropertyNameIndex), "app_measurement");
  EXPECT_EQ(APMPBGetInt64(proto.get(), kAPMPBClientPropertyVersionIndex), 42);
  EXPECT_FALSE(APMPBHasField(proto.get(), kAPMPBClientPropertyAppIDIndex));
  std::map<std::string, std::string> custom;
  const auto entries = APMPBGetArray<APMPBCustomProperty>(proto.get(), kAPMPBClientPropertyCustomPropertiesIndex);
  ASSERT_TRUE(entries);
  for (const auto& entry : *entries) {
    custom[*APMPBGetString(entry.get(), kAPMPBCustomPropertyKeyIndex)] =
        *APMPBGetString(entry.get(), kAPMPBCustomPropertyValueIndex);
  }
  EXPECT_EQ(custom, (std::map<std::string, std::string>{{"tier", "gold"}, {"region", "eu"}, {"extra", "1"}}));

  property->setDiversionKey("own");
  EXPECT_EQ(APMPBGetString(property->proto().get(), kAPMPBClientPropertyDiversionIDIndex), "own-app_measurement");
}

// ---- Database ----

class ExperimentDatabaseTest : public ExperimentTest {
 protected:
  void SetUp() override {
    ExperimentTest::SetUp();
    path_ = APMMeasurementDirectoryPathForFile(kAPMEDatabaseFileName);
    database_ = APMEDatabase::initWithPath(path_);
    ASSERT_TRUE(database_);
  }
  std::map<std::string, std::vector<int64_t>> table(const char* name) {
    std::map<std::string, std::vector<int64_t>> out;
    auto snapshots = database_->allDataTypesFromTableWithName(name, 100, nullptr);
    EXPECT_TRUE(snapshots);
    for (const auto& s : snapshots.value_or(APMESnapshots{})) out[s->SDKName()] = idsOf(s);
    return out;
  }
  void writePending(const std::shared_ptr<APMESnapshot>& snapshot, double time, bool manual = false) {
    snapshot->setTimestamp(time);
    snapshot->setManuallyActivated(manual);
    ASSERT_TRUE(database_->upsertPendingExperimentSnapshots({snapshot}, nullptr));
  }
  void writeGarbageRow(const char* tableName, const std::string& sdk) {
    os::Dictionary record{{kAPMESDKNameColumn, os::Value(sdk)},
                          {kAPMESnapshotProtoColumn, os::Value(os::Data::fromString("\xff\xff\xff"))},
                          {kAPMETimestampColumn, os::Value(kStart)},
                          {kAPMEManuallyActivatedColumn, os::Value(os::Number::int64(0))}};
    ASSERT_TRUE(database_->sqliteStore()->upsertRecord(record, tableName, nullptr));
  }

  std::string path_;
  std::shared_ptr<APMEDatabase> database_;
};

TEST_F(ExperimentDatabaseTest, ActivationSplitsLaunchedFromActivatedAndKeepsNewerPendingRows) {
  ASSERT_TRUE(database_->upsertSnapshot(snapshotOf("a", {{7, {flag("x", os::Value(1))}}})->proto().get(),
                                        kAPMEActivatedSnapshotTable, kStart, std::nullopt, nullptr));
  // Only a launched experiment: the launched row is written, the activated
  // row stays as it was, the pending row goes.
  auto launchedOnly = snapshotOf("a", {{0, {flag("y", os::Value(2))}}});
  writePending(launchedOnly, kStart);
  ASSERT_TRUE(database_->activateSnapshot(launchedOnly, kStart + 5, nullptr));
  EXPECT_EQ(table(kAPMELaunchedSnapshotTable), (std::map<std::string, std::vector<int64_t>>{{"a", {0}}}));
  EXPECT_EQ(table(kAPMEActivatedSnapshotTable), (std::map<std::string, std::vector<int64_t>>{{"a", {7}}}));
  EXPECT_TRUE(table(kAPMEPendingSnapshotTable).empty());

  // A pending row written after T (a newer fetch) survives activation at T.
  auto older = snapshotOf("b", {{3, {flag("x", os::Value(1))}}});
  writePending(snapshotOf("b", {{4, {flag("x", os::Value(1))}}}), kStart + 20);
  ASSERT_TRUE(database_->activateSnapshot(older, kStart + 10, nullptr));
  EXPECT_EQ(table(kAPMEPendingSnapshotTable), (std::map<std::string, std::vector<int64_t>>{{"b", {4}}}));
  EXPECT_EQ(table(kAPMEActivatedSnapshotTable)["b"], (std::vector<int64_t>{3}));

  os::Error error;
  EXPECT_FALSE(database_->activateSnapshot(nullptr, kStart, &error));
  EXPECT_EQ(error.code(), 1);
}

TEST_F(ExperimentDatabaseTest, StartActivatesAutomaticRowsAndDeletesStaleOnes) {
  writePending(snapshotOf("auto", {{1, {flag("x", os::Value(1))}}}), kStart - 100);
  writePending(snapshotOf("manual", {{2, {flag("x", os::Value(1))}}}), kStart - 100, /*manual=*/true);
  for (auto [sdk, age] : {std::pair{"old", kAPMEActivatedSnapshotLifetime},
                          std::pair{"young", kAPMEActivatedSnapshotLifetime - 1}}) {
    ASSERT_TRUE(database_->upsertSnapshot(snapshotOf(sdk, {{9, {flag("x", os::Value(1))}}})->proto().get(),
                                          kAPMEActivatedSnapshotTable, kStart - age, std::nullopt, nullptr));
  }
  ASSERT_TRUE(database_->performTransaction([&] {
    return database_->deleteStaleActivatedSnapshots(nullptr) && database_->activatePendingSnapshotsAutomatically(nullptr);
  }));
  EXPECT_EQ(table(kAPMEActivatedSnapshotTable),
            (std::map<std::string, std::vector<int64_t>>{{"auto", {1}}, {"young", {9}}}));
  EXPECT_EQ(table(kAPMEPendingSnapshotTable), (std::map<std::string, std::vector<int64_t>>{{"manual", {2}}}));
  auto pending = database_->fetchAllPendingSnapshots(nullptr);
  ASSERT_TRUE(pending && pending->size() == 1);
  EXPECT_TRUE(pending->front()->manuallyActivated());
}

// Mended: one undecodable row made every read of its table nil and failed the
// start at every launch, freezing all snapshots; it is now dropped alone.
TEST_F(ExperimentDatabaseTest, AnUndecodableRowIsDroppedAndTheOthersStillWork) {
  writePending(snapshotOf("good1", {{1, {flag("x", os::Value(1))}}}), kStart - 10);
  writeGarbageRow(kAPMEPendingSnapshotTable, "bad");
  writePending(snapshotOf("good2", {{2, {flag("x", os::Value(1))}}}), kStart - 10);
  ASSERT_TRUE(database_->performTransaction([&] {
    return database_->deleteStaleActivatedSnapshots(nullptr) && database_->activatePendingSnapshotsAutomatically(nullptr);
  }));
  EXPECT_EQ(table(kAPMEActivatedSnapshotTable),
            (std::map<std::string, std::vector<int64_t>>{{"good1", {1}}, {"good2", {2}}}));
  EXPECT_EQ(database_->sqliteStore()->rowCountForTableWithName(kAPMEPendingSnapshotTable, nullptr)->int64Value(), 0);
  EXPECT_TRUE(monitor_->logged(810008));

  writeGarbageRow(kAPMELaunchedSnapshotTable, "bad");
  ASSERT_TRUE(database_->upsertSnapshot(snapshotOf("ok", {{0, {flag("x", os::Value(1))}}})->proto().get(),
                                        kAPMELaunchedSnapshotTable, kStart, std::nullopt, nullptr));
  EXPECT_EQ(table(kAPMELaunchedSnapshotTable), (std::map<std::string, std::vector<int64_t>>{{"ok", {0}}}));
  EXPECT_EQ(database_->sqliteStore()->rowCountForTableWithName(kAPMELaunchedSnapshotTable, nullptr)->int64Value(), 1);
}

TEST_F(ExperimentDatabaseTest, TablesThatCannotBeEnsuredDeleteTheFile) {
  database_.reset();
  std::filesystem::remove(path_);
  {
    os::Error error;
    auto store = APMSqliteStore::initWithDatabasePath(path_, &error);
    ASSERT_TRUE(store);
    // A column the lists do not name, and that may not be NULL.
    ASSERT_TRUE(store->executeSQL(
        "CREATE TABLE pending_snapshot_table (sdk_name TEXT NOT NULL PRIMARY KEY, snapshotProto BLOB NOT NULL, "
        "timestamp REAL NOT NULL, manually_activated INTEGER, owner TEXT NOT NULL)",
        &error));
  }
  EXPECT_FALSE(APMEDatabase::initWithPath(path_));
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_TRUE(monitor_->logged(810002));
  // The next opening makes a new file.
  EXPECT_TRUE(APMEDatabase::initWithPath(path_));
}

// ---- Fetch and schedule ----

class RecordingTaskDelegate : public APMETaskManagerDelegate {
 public:
  bool taskManagerShouldFetchExperiments(APMETaskManager&) override { return shouldFetch; }
  void taskManagerDidStartWithActivatedSnapshots(APMETaskManager&, const std::optional<APMESnapshots>&,
                                                 const std::optional<APMESnapshots>&,
                                                 const std::optional<APMESnapshots>&) override {
    std::lock_guard lock(mutex);
    ++starts;
  }
  void taskManagerDidFinishFetchingExperimentSnapshots(APMETaskManager&, const std::optional<APMESnapshots>& s,
                                                       const std::optional<APMEFetchErrors>& e) override {
    std::lock_guard lock(mutex);
    ++finishes;
    snapshots = s;
    errors = e;
  }
  void taskManagerDidUpsertPendingSnapshots(APMETaskManager&, const APMESnapshots&) override {}
  int startCount() {
    std::lock_guard lock(mutex);
    return starts;
  }
  int finishCount() {
    std::lock_guard lock(mutex);
    return finishes;
  }

  std::atomic<bool> shouldFetch{true};
  std::mutex mutex;
  int starts = 0;                          // guarded by mutex
  int finishes = 0;                        // guarded by mutex
  std::optional<APMESnapshots> snapshots;  // guarded by mutex
  std::optional<APMEFetchErrors> errors;   // guarded by mutex
};

os::Data responseWith(const std::vector<std::shared_ptr<APMESnapshot>>& snapshots,
                      const std::vector<std::tuple<std::string, int32_t, std::shared_ptr<APMESnapshot>>>& sdkResponses) {
  auto response = APMPBExperimentResponse::initWithBuffer(os::Data());
  std::vector<std::shared_ptr<APMPBSnapshot>> messages;
  for (const auto& s : snapshots) messages.push_back(s->proto());
  APMPBSetArray(response.get(), 0, messages);
  std::vector<std::shared_ptr<APMPBSdkResponse>> answers;
  for (const auto& [name, code, snapshot] : sdkResponses) {
    auto answer = APMPBSdkResponse::initWithBuffer(os::Data());
    APMPBSetString(answer.get(), 0, name);
    APMPBSetInt32(answer.get(), 1, code);
    if (snapshot) APMPBSetMessage(answer.get(), 2, snapshot->proto().get());
    answers.push_back(answer);
  }
  APMPBSetArray(response.get(), 1, answers);
  return *response->protoBuffer();
}

std::string bodyOf(const os::Data& data) { return std::string(reinterpret_cast<const char*>(data.bytes()), data.length()); }

class ExperimentFetchTest : public ExperimentTest {
 protected:
  void SetUp() override {
    ExperimentTest::SetUp();
    bundle_.addFile("Info.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier"
                    "</key><string>com.drosil.meter</string></dict></plist>\n");
    bundle_.addFile("DrosilEndpoints.plist",
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>ExperimentsService"
                    "</key><string>" +
                        server_.baseURL() + "</string></dict></plist>\n");
    DAZEndpoints::reload();
    storage_ = std::make_shared<APMUserDefaults>(kAPMExperimentSuiteName);
  }
  void TearDown() override {
    if (taskManager_) {
      taskManager_->alarm()->cancel();
      settle();
    }
    DAZEndpoints::reload();
    ExperimentTest::TearDown();
  }

  // A task manager made now, with the delegate, started and settled.
  std::shared_ptr<APMETaskManager> start(std::shared_ptr<APMETaskManagerDelegate> delegate) {
    auto queue = os::DispatchQueue::serial(kAPMExperimentWorkerQueueLabel);
    taskManager_ = APMETaskManager::initWithQueue(queue, APMAlarm::initWithDispatchQueue(queue, kAPMExperimentAlarmName),
                                                  DAZNetwork::initWithReachabilityHost("127.0.0.1"), storage_,
                                                  APMMeasurementDirectoryPathForFile(kAPMEDatabaseFileName),
                                                  os::Clock::current().wallTime());
    taskManager_->setDelegate(delegate);
    taskManager_->startTaskManager();
    settle();
    return taskManager_;
  }
  void settle() { taskManager_->workerQueue()->sync([] {}); }
  double alarmTime() {
    settle();
    auto at = taskManager_->alarm()->scheduledTimestamp();
    return at ? at->timeIntervalSince1970() : 0;
  }
  double stored(const char* key) { return storage_->doubleForKey(key); }
  // Moves virtual time to the alarm, which posts the request, and waits for
  // the reply to be handled (the alarm set again).
  void fireAndAwaitReply(size_t requestsBefore) {
    const double due = alarmTime();
    ASSERT_NE(due, 0);
    clock_->advanceTo(due);
    ASSERT_TRUE(server_.waitForRequestCount(requestsBefore + 1, 10));
    // The network layer hands its reply over through the main queue.
    ASSERT_TRUE(os::testing::runMainUntil(
        [&] { return taskManager_->alarm()->scheduledTimestamp().has_value(); }, 10));
    settle();
  }

  apm_test::TestBundle bundle_;
  os::testing::TestHTTPServer server_;
  std::shared_ptr<APMUserDefaults> storage_;
  std::shared_ptr<APMETaskManager> taskManager_;
};

TEST_F(ExperimentFetchTest, FirstFetchPostsTheRequestAndReadsTheReply) {
  os::DeviceProfile profile;
  profile.preferredLanguages = {"de-DE", "en-US"};
  os::ScopedDeviceProfile scoped(profile);
  auto property = APMESDKProperty::initWithName("app_measurement");
  property->setVersion(3);
  APMEExperimentRequestBuilder::sharedInstance()->addSDKProperty(property);

  // snapshots win over the snapshots of sdk_responses; errors come from
  // sdk_responses.
  const os::Data reply = responseWith(
      {snapshotOf("app_measurement", {{7, {flag("color", os::Value("red"))}}})},
      {{"app_measurement", 3, snapshotOf("ignored", {{8, {}}})}, {"two", 2, nullptr}, {"seven", 7, nullptr},
       {"fine", 0, nullptr}});
  server_.setResponse(kAPMExperimentFetchPath, ScriptedResponse::ok(bodyOf(*DAZGzip::daz_dataByGzippingData(reply).value())));

  auto delegate = std::make_shared<RecordingTaskDelegate>();
  start(delegate);
  EXPECT_EQ(delegate->startCount(), 1);
  EXPECT_EQ(alarmTime(), kStart + 10);
  fireAndAwaitReply(0);

  const auto request = server_.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/sdk-exp");
  auto message = APMPBExperimentRequest::initWithBuffer(os::Data::fromString(request.body));
  ASSERT_TRUE(message);
  auto app = APMPBGetMessage<APMPBAppProperty>(message.get(), 0);
  ASSERT_TRUE(app);
  EXPECT_EQ(APMPBGetString(app.get(), 0), "ios");
  EXPECT_EQ(APMPBGetString(app.get(), 3), "de-de");
  EXPECT_EQ(APMPBGetString(app.get(), 4), "com.drosil.meter");
  EXPECT_EQ(APMPBGetInt64(app.get(), 6), 10000);
  auto clients = APMPBGetArray<APMPBClientProperty>(message.get(), 1);
  ASSERT_TRUE(clients && !clients->empty());
  EXPECT_EQ(APMPBGetString(clients->front().get(), 0), "app_measurement");

  ASSERT_EQ(delegate->finishCount(), 1);
  std::lock_guard lock(delegate->mutex);
  ASSERT_TRUE(delegate->snapshots);
  ASSERT_EQ(delegate->snapshots->size(), 1u);
  EXPECT_EQ(delegate->snapshots->front()->SDKName(), "app_measurement");
  ASSERT_TRUE(delegate->errors);
  std::map<std::string, int64_t> codes;
  for (const auto& [name, error] : *delegate->errors) {
    EXPECT_EQ(error.domain(), kAPMEExperimentErrorDomain);
    codes[name] = error.code();
  }
  EXPECT_EQ(codes, (std::map<std::string, int64_t>{{"app_measurement", -4}, {"two", -3}, {"seven", -1}}));
  EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), kStart + 10);
  EXPECT_EQ(alarmTime(), kStart + 10 + 14400);
  auto pending = taskManager_->TEST_database()->fetchAllPendingSnapshots(nullptr);
  ASSERT_TRUE(pending && pending->size() == 1);
}

TEST_F(ExperimentFetchTest, RepliesWithoutSnapshotsAndRefusals) {
  auto delegate = std::make_shared<RecordingTaskDelegate>();
  server_.setResponses(kAPMExperimentFetchPath,
                       {ScriptedResponse::withStatus(204), ScriptedResponse::ok("\x0a\xff garbage"),
                        ScriptedResponse::withStatus(429),
                        ScriptedResponse::ok(bodyOf(responseWith({snapshotOf("plain", {{2, {}}})}, {})))});
  start(delegate);

  // 204 without a body: a success, no snapshots.
  fireAndAwaitReply(0);
  ASSERT_EQ(delegate->finishCount(), 1);
  EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), kStart + 10);
  {
    std::lock_guard lock(delegate->mutex);
    EXPECT_TRUE(delegate->snapshots && delegate->snapshots->empty());
  }

  // 200 that does not decode: still a success, 820015, no snapshots.
  fireAndAwaitReply(1);
  ASSERT_EQ(delegate->finishCount(), 2);
  EXPECT_TRUE(monitor_->logged(820015));
  const double second = kStart + 10 + 14400;
  EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), second);
  {
    std::lock_guard lock(delegate->mutex);
    EXPECT_FALSE(delegate->snapshots);
  }

  // 429: failure and back-off at t; nothing before t + 43200.
  fireAndAwaitReply(2);
  const double third = second + 14400;
  EXPECT_EQ(stored(kAPMExperimentFetchFailureTimestampKey), third);
  EXPECT_EQ(stored(kAPMExperimentFetchBackoffTimestampKey), third);
  EXPECT_EQ(alarmTime(), third + 43200);
  EXPECT_EQ(delegate->finishCount(), 2);

  // A reply that is not compressed is read as it is.
  fireAndAwaitReply(3);
  ASSERT_EQ(delegate->finishCount(), 3);
  std::lock_guard lock(delegate->mutex);
  ASSERT_TRUE(delegate->snapshots && delegate->snapshots->size() == 1);
  EXPECT_EQ(delegate->snapshots->front()->SDKName(), "plain");
}

TEST_F(ExperimentFetchTest, ScheduleAfterRestartsFailuresAndADecliningDelegate) {
  auto delegate = std::make_shared<RecordingTaskDelegate>();
  // A success an hour before this start: the first fetch is four hours after it.
  storage_->setDouble(kStart - 3600, kAPMExperimentFetchSuccessTimestampKey);
  start(delegate);
  EXPECT_EQ(alarmTime(), kStart - 3600 + 14400);

  // Retry candidates count from the last success S.
  const double S = kStart - 3600;
  struct Case {
    double failure;
    double next;
  };
  const Case cases[] = {{S + 14400, S + 16200}, {S + 16200, S + 19800}, {S + 20000, S + 27000},
                        {S + 30000, S + 41400}, {S + 50000, S + 70200}, {S + 100000, S + 127800},
                        {S + 127800, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure - S);
    EXPECT_EQ(taskManager_->fetchTimeFromLastSuccessfulTimestamp(S, c.failure), c.next);
  }

  // An alarm already set for an earlier time is kept.
  storage_->setDouble(kStart + 50000, kAPMExperimentFetchFailureTimestampKey);
  taskManager_->dispatchSyncOnWorkerQueue([&] { taskManager_->scheduleFetchingExperimentsOnWorkerQueue(); });
  EXPECT_EQ(alarmTime(), S + 14400);
  EXPECT_TRUE(monitor_->logged(820017));

  // Without a success, a failure past I + 113400 ends the retries.
  taskManager_->alarm()->cancel();
  taskManager_->dispatchSyncOnWorkerQueue([&] {
    taskManager_->setInitializationTimestamp(kStart);
    storage_->removeObjectForKey(kAPMExperimentFetchSuccessTimestampKey);
    storage_->setDouble(kStart + 113401, kAPMExperimentFetchFailureTimestampKey);
    taskManager_->scheduleFetchingExperimentsOnWorkerQueue();
  });
  EXPECT_EQ(alarmTime(), 0);
  EXPECT_TRUE(monitor_->logged(820024));
  EXPECT_EQ(stored(kAPMExperimentFetchSuccessTimestampKey), 0);

  // A computed time in the past gives 0.001 s; a declining delegate records
  // now as the success and postpones by four hours, asking nothing.
  storage_->removeObjectForKey(kAPMExperimentFetchFailureTimestampKey);
  delegate->shouldFetch = false;
  taskManager_->dispatchSyncOnWorkerQueue([&] { taskManager_->scheduleFetchingExperimentsOnWorkerQueue(); });
  EXPECT_NEAR(alarmTime(), kStart + 0.001, 1e-6);
  clock_->advance(0.001);
  settle();
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_NEAR(stored(kAPMExperimentFetchSuccessTimestampKey), kStart + 0.001, 1e-6);
  EXPECT_NEAR(alarmTime(), kStart + 0.001 + 14400, 1e-6);
}

// ---- Manager ----

class SnapshotObserver : public APMEExperimentObserverDelegate {
 public:
  bool implementsClientDidReceiveNewSnapshot() const override { return true; }
  void clientDidReceiveNewSnapshot(const std::shared_ptr<APMEClient>&) override { ++received; }
  std::shared_ptr<os::DispatchQueue> queue() const override { return queue_; }
  std::atomic<int> received{0};

 private:
  std::shared_ptr<os::DispatchQueue> queue_ = os::DispatchQueue::serial("observer");
};

class ExperimentManagerTest : public ExperimentFetchTest {
 protected:
  std::shared_ptr<APMEManager> makeManager() {
    auto queue = os::DispatchQueue::serial(kAPMExperimentWorkerQueueLabel);
    taskManager_ = APMETaskManager::initWithQueue(queue, APMAlarm::initWithDispatchQueue(queue, kAPMExperimentAlarmName),
                                                  DAZNetwork::initWithReachabilityHost("127.0.0.1"), storage_,
                                                  APMMeasurementDirectoryPathForFile(kAPMEDatabaseFileName),
                                                  os::Clock::current().wallTime());
    return APMEManager::initWithTaskManager(taskManager_);
  }
  // Starts the task manager and waits until the manager has the snapshots.
  void startAndSettle(const std::shared_ptr<APMEManager>& manager) {
    taskManager_->startTaskManager();
    settle();
    manager->TEST_flush();
  }
  // A fetch result delivered as the task manager does after a reply.
  void deliver(const std::shared_ptr<APMEManager>& manager, const APMESnapshots& snapshots) {
    const os::Data reply = responseWith(snapshots, {});
    taskManager_->dispatchSyncOnWorkerQueue([&] {
      taskManager_->handleFetchingExperimentsResponse(
          os::HTTPURLResponse(*os::URL::URLWithString(server_.URLForPath("/sdk-exp")), 200, {}), reply, std::nullopt);
    });
    manager->TEST_flush();
    settle();
  }
};

TEST_F(ExperimentManagerTest, FlagsComeFromActivatedThenLaunchedThenDefaults) {
  auto manager = makeManager();
  startAndSettle(manager);
  taskManager_->alarm()->cancel();
  auto client = manager->registerSDKProperty(APMESDKProperty::initWithName("sdk"),
                                             os::Dictionary{{"a", os::Value("default")},
                                                            {"b", os::Value("default")},
                                                            {"c", os::Value("default")},
                                                            {"on", os::Value(true)}});
  ASSERT_TRUE(client);
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("sdk"), kAPMESnapshotStatusNoSnapshot);
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("other"), kAPMESnapshotStatusNoClient);

  manager->taskManagerDidFinishFetchingExperimentSnapshots(
      *taskManager_,
      APMESnapshots{snapshotOf("sdk", {{5, {flag("a", os::Value("activated"))}},
                                       {0, {flag("a", os::Value("launched")), flag("b", os::Value("launched"))}}})},
      std::nullopt);
  manager->TEST_flush();
  EXPECT_EQ(client->valueForFlag("a"), os::Value("default"));
  ASSERT_TRUE(client->activateLatestSnapshot(nullptr));

  struct Case {
    const char* flag;
    os::Value value;
  } cases[] = {{"a", os::Value("activated")},
               {"b", os::Value("launched")},
               {"c", os::Value("default")},
               {"on", os::Value(os::Number::int64(1))}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.flag);
    const os::Value value = client->valueForFlag(c.flag);
    EXPECT_EQ(value, c.value);
    if (value.isNumber()) {
      EXPECT_EQ(value.number()->kind(), os::Number::Kind::Int64);
    }
  }
  EXPECT_TRUE(client->valueForFlag("missing").isNull());
  EXPECT_TRUE(monitor_->logged(800014));
  EXPECT_EQ(manager->activatedSnapshotStatusOfSDKName("sdk"), kAPMESnapshotStatusFresh);
  clock_->advance(259201);
  EXPECT_TRUE(client->hasStaleSnapshot());

  // Nothing pending: NO, and the error is left as it was.
  os::Error untouched("marker", 99);
  EXPECT_FALSE(client->activateLatestSnapshot(&untouched));
  EXPECT_EQ(untouched.domain(), "marker");

  // Reset drops the activated snapshot; the launched one still answers.
  client->resetToDefaults();
  EXPECT_EQ(client->valueForFlag("a"), os::Value("launched"));
  EXPECT_EQ(client->valueForFlag("b"), os::Value("launched"));

  EXPECT_FALSE(manager->registerSDKProperty(APMESDKProperty::initWithName("bad"),
                                            os::Dictionary{{"when", os::Value(os::Date::now())}}));
  EXPECT_TRUE(monitor_->logged(800002));
  EXPECT_FALSE(manager->clientForSDKName("bad"));
}

TEST_F(ExperimentManagerTest, ExperimentIDsAndTheFetchDecision) {
  auto manager = makeManager();
  startAndSettle(manager);
  // No client: the fetch is postponed by four hours.
  clock_->advanceTo(alarmTime());
  settle();
  EXPECT_EQ(server_.requestCount(), 0u);
  EXPECT_EQ(alarmTime(), kStart + 10 + 14400);
  taskManager_->alarm()->cancel();

  for (const char* name : {"one", "two", "own-key"}) {
    auto property = APMESDKProperty::initWithName(name);
    if (std::string(name) == "own-key") property->setDiversionKey("k");
    manager->registerSDKProperty(property, std::nullopt);
  }
  manager->taskManagerDidFinishFetchingExperimentSnapshots(
      *taskManager_,
      APMESnapshots{snapshotOf("one", {{7, {flag("x", os::Value(1))}}}),
                    snapshotOf("two", {{3, {flag("x", os::Value(1))}}, {0, {flag("y", os::Value(1))}}}),
                    snapshotOf("own-key", {{11, {flag("x", os::Value(1))}}})},
      std::nullopt);
  manager->TEST_flush();
  for (const char* name : {"one", "two", "own-key"}) EXPECT_TRUE(manager->activateSnapshotOfSDK(name, nullptr));
  EXPECT_EQ(manager->experimentIDs(), (std::vector<int64_t>{3, 7}));
  EXPECT_TRUE(manager->taskManagerShouldFetchExperiments(*taskManager_));
}

TEST_F(ExperimentManagerTest, AManualPendingSnapshotSurvivesARestartAnAutomaticOneIsActivated) {
  auto observer = std::make_shared<SnapshotObserver>();
  {
    auto manager = makeManager();
    startAndSettle(manager);
    manager->registerSDKProperty(APMESDKProperty::initWithName("manual"), std::nullopt)->setDelegate(observer);
    manager->registerSDKProperty(APMESDKProperty::initWithName("auto"), std::nullopt);
    manager->TEST_flush();
    deliver(manager, {snapshotOf("manual", {{1, {flag("x", os::Value(1))}}}),
                      snapshotOf("auto", {{2, {flag("x", os::Value(2))}}})});
    ASSERT_TRUE(eventually([&] { return observer->received.load() == 1; }));
    taskManager_->alarm()->cancel();
  }
  clock_->advance(60);
  auto manager = makeManager();
  startAndSettle(manager);
  taskManager_->alarm()->cancel();
  auto manual = manager->registerSDKProperty(APMESDKProperty::initWithName("manual"), os::Dictionary{});
  auto automatic = manager->registerSDKProperty(APMESDKProperty::initWithName("auto"), os::Dictionary{});
  EXPECT_EQ(automatic->valueForFlag("x"), os::Value(os::Number::int64(2)));
  EXPECT_TRUE(manual->valueForFlag("x").isNull());
  EXPECT_TRUE(manual->activateLatestSnapshot(nullptr));
  EXPECT_EQ(manual->valueForFlag("x"), os::Value(os::Number::int64(1)));
  EXPECT_FALSE(automatic->activateLatestSnapshot(nullptr));
}

}  // namespace
