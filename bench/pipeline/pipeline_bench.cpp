// Events logged through REZAnalytics on a started measurement engine over a
// fresh store, timed until every one is a row in raw events (the facade's
// queues, the engine's intake and its pipeline: one exclusive transaction per
// event), against raw SQLite inserts of rows of the same size in a file of the
// same folder (prepared statements, the store's journal mode and synchronous
// setting, one exclusive transaction per row). Both sides sync the file the
// same number of times; the engine also does the pipeline's own work in each
// transaction (daily counts, aggregates, metadata, limits) and its reads
// around it (conditional properties in an exclusive transaction of their
// own, the upload schedule's six queries in one read transaction), and the
// event crosses the facade's operation queue and the engine's worker queue.
// The benchmarks run nine times, interleaved at random; the run ends with
// the ratio of the medians of the two (goal: at most 1.5x).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/ratio_reporter.h"
#include "bench/support/raw_events_table.h"
#include "bench/support/sqlite_pragma.h"
#include "measurement/engine/core/measurement.h"
#include "measurement/engine/interface/rez_analytics.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/date.h"
#include "os/foundation/plist.h"
#include "os/foundation/sandbox.h"
#include "sdk-core/core/rez_app.h"

namespace {

constexpr int kEvents = 200;

const os::Dictionary& eventParameters() {
  static const auto* parameters = new os::Dictionary{
      {"screen_class", "MeterViewController"}, {"kelvin", 5200}, {"tint", 1.25}, {"light", "daylight"}};
  return *parameters;
}

void writePlist(const std::filesystem::path& path, const os::Dictionary& contents) {
  const auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(contents),
                                                                        os::PropertyListSerialization::Format::XML);
  std::ofstream(path, std::ios::binary) << data.value_or(os::Data()).toString();
}

// A fresh sandbox and main bundle, and the default app configured, which
// starts analytics; the launch's own events are written before timing.
struct Fixture {
  os::TemporarySandbox sandbox;
  std::filesystem::path bundle = std::filesystem::path(sandbox.root()) / "Bench.app";

  Fixture() {
    std::filesystem::create_directories(bundle);
    writePlist(bundle / "Info.plist", {{"CFBundleIdentifier", "com.example.bench"},
                                       {"CFBundleShortVersionString", "1.0"},
                                       {"CFBundleVersion", "1"}});
    writePlist(bundle / "RirudiVizeziv-Azir.plist", {{"API_KEY", "ABenchMeterPlaceholderKey-0000000000000"},
                                                     {"DEVUVO_APP_ID", "1:100000000001:ios:0123456789abcdef"},
                                                     {"VCM_SENDER_ID", "100000000001"},
                                                     {"PROJECT_ID", "bench"},
                                                     {"BUNDLE_ID", "com.example.bench"},
                                                     {"VIVUZUVU_ANALYTICS_COLLECTION_ENABLED", true}});
    os::Bundle::setMainBundlePath(bundle.string());
    REZApp::configure();
    waitForEngine();
  }

  // Every block queued so far, the engine's worker queue included, has run;
  // the main queue runs meanwhile (the worker may wait on it).
  static void waitForEngine() {
    auto engine = APMMeasurement::hasSharedInstance() ? APMMeasurement::sharedInstance() : nullptr;
    for (int round = 0; round < 3; ++round) {
      os::dispatch::drainUntilIdle();
      if (!engine) continue;
      auto done = std::make_shared<std::atomic<bool>>(false);
      engine->scheduler()->workerQueue()->async([done] { done->store(true); });
      while (!done->load() && os::dispatch::drainUntilIdle()) {
      }
    }
  }

  // Runs fn on the worker queue, where the store lives.
  static void onWorker(const std::function<void(APMDatabase&)>& fn) {
    auto engine = APMMeasurement::sharedInstance();
    engine->scheduler()->workerQueue()->async([engine, fn] { fn(*engine->database()); });
    waitForEngine();
  }

  static int64_t rawEventCount() {
    int64_t count = -1;
    onWorker([&](APMDatabase& database) {
      const auto rows = database.sqliteStore()->recordsForQuery("SELECT COUNT(*) AS n FROM raw_events", {}, nullptr);
      if (rows && !rows->empty()) count = rows->front().at("n").int64Value();
    });
    return count;
  }
};

Fixture& fixture() {
  static Fixture* f = new Fixture();
  return *f;
}

void BM_EngineLogsEvents(benchmark::State& state) {
  fixture();
  if (!APMMeasurement::hasSharedInstance() || !APMMeasurement::sharedInstance()->database()) {
    state.SkipWithError("the engine did not start");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    Fixture::onWorker([](APMDatabase& database) {
      database.sqliteStore()->deleteAllRecordsFromTableWithName(kAPMRawEventsTableName, nullptr);
    });
    state.ResumeTiming();
    for (int i = 0; i < kEvents; ++i) REZAnalytics::logEventWithName(i % 2 ? "reading" : "photo", eventParameters());
    Fixture::waitForEngine();
    state.PauseTiming();
    if (Fixture::rawEventCount() != kEvents) state.SkipWithError("events missing from raw events");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
  Fixture::onWorker([&](APMDatabase& database) {
    state.counters["journal_mode_delete"] = bench::pragma(database.sqliteStore()->sqliteHandle(), "journal_mode") == "delete";
    state.counters["synchronous"] = std::stod(bench::pragma(database.sqliteStore()->sqliteHandle(), "synchronous"));
  });
}

void BM_RawSqliteInsertsRows(benchmark::State& state) {
  fixture();
  // Rows as the engine stores them: the event's message without its name.
  std::vector<std::pair<std::string, os::Data>> rows;
  for (int i = 0; i < kEvents; ++i) {
    const std::string name = i % 2 ? "reading" : "photo";
    auto event = APMEvent::initWithOrigin("app", true, name, 1'700'000'000 + i, 0, eventParameters());
    auto proto = event->protoEvent();
    APMPBClearField(proto.get(), 1);
    rows.emplace_back(name, *proto->protoBuffer());
  }
  // The store's connection runs with SQLite's defaults; so does this one.
  bench::RawEventsTable table(APMMeasurementDirectoryPathForFile("raw-bench.sql"));
  if (!table.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  for (auto _ : state) {
    for (const auto& [name, data] : rows) {
      if (!table.insert(name, os::Date::now().timeIntervalSince1970(), 42, data))
        state.SkipWithError(table.errorMessage());
    }
    state.PauseTiming();
    table.exec("DELETE FROM raw_events");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
  state.counters["journal_mode_delete"] = bench::pragma(table.db(), "journal_mode") == "delete";
  state.counters["synchronous"] = std::stod(bench::pragma(table.db(), "synchronous"));
}

BENCHMARK(BM_EngineLogsEvents)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawSqliteInsertsRows)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bench::RatioReporter reporter;
  if (!bench::runInterleaved(argc, argv, 9, reporter)) return 1;
  const double engine = reporter.time("BM_EngineLogsEvents");
  const double raw = reporter.time("BM_RawSqliteInsertsRows");
  if (engine > 0 && raw > 0) {
    std::printf("%d events, one transaction each: engine / raw SQLite %.2fx (goal 1.50x)\n", kEvents, engine / raw);
    bench::printFigure("events logged until each is a row / raw SQLite inserts", bench::ratioText(engine / raw),
                       "<= 1.50x");
  }
  benchmark::Shutdown();
  return 0;
}
