// Raw events written through the measurement database as the engine writes
// them (one exclusive transaction per event holding the metadata insert, the
// trim to the stored-event maximum and the event insert) against the same
// rows inserted with SQLite directly (same encoded bytes, prepared
// statements, the same journal mode and synchronous setting, one exclusive
// transaction per event). Both files live in the same folder. The run ends
// with the ratio of the two; the budget is 2x.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/ratio_reporter.h"
#include "bench/support/raw_events_table.h"
#include "bench/support/sqlite_pragma.h"
#include "measurement/messages/field_access.h"
#include "measurement/store/database.h"
#include "measurement/store/engine_services/event.h"
#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/foundation_extensions.h"
#include "measurement/store/persisted_config.h"
#include "os/foundation/sandbox.h"

namespace {

constexpr int kEvents = 200;

struct Fixture {
  os::TemporarySandbox sandbox;
  std::shared_ptr<APMPersistedConfig> persistedConfig =
      APMPersistedConfig::initWithSuiteName(kAPMPersistedConfigSuiteName);
  std::shared_ptr<APMPBMeasurementBundle> metadata;
  int64_t fingerprint = 0;
  std::vector<std::shared_ptr<APMEvent>> events;
  // What the store writes for each event: its message without the name.
  std::vector<os::Data> encodedEvents;

  Fixture() {
    metadata = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
    APMPBSetInt32(metadata.get(), 0, 1);
    APMPBSetString(metadata.get(), 8, "ios");
    APMPBSetString(metadata.get(), 9, "17.4");
    APMPBSetString(metadata.get(), 10, "iPhone15,2");
    APMPBSetString(metadata.get(), 14, "com.example.meter");
    fingerprint = apm_64LSBMD5(*metadata->protoBuffer());
    for (int i = 0; i < kEvents; ++i) {
      APMEventParameters parameters = {
          {"vivuzuvu_screen_class", *APMValue::initWithString("MeterViewController")},
          {"value", APMValue::initWithInt64(42 + i)},
          {"price", APMValue::initWithDouble(9.99)},
      };
      // "_e" is an internal name: only "screen_view" is public.
      auto event = APMEvent::initWithOrigin("app", i % 2 == 0, i % 2 ? "_e" : "screen_view", 1'700'000'000 + i, 0,
                                            std::move(parameters));
      if (!event) {
        std::fprintf(stderr, "bench_database: the fixture's event %d is refused\n", i);
        std::abort();
      }
      auto proto = event->protoEvent();
      APMPBClearField(proto.get(), 1);
      encodedEvents.push_back(*proto->protoBuffer());
      events.push_back(std::move(event));
    }
  }
};

Fixture& fixture() {
  static Fixture* f = new Fixture();
  return *f;
}

void exec(sqlite3* db, const std::string& sql, benchmark::State& state) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) state.SkipWithError(sqlite3_errmsg(db));
}

void BM_StoreWritesEvents(benchmark::State& state) {
  Fixture& f = fixture();
  os::Error error;
  auto database = APMDatabase::initWithDatabaseName(kAPMDatabaseName, f.persistedConfig, &error);
  if (!database) {
    state.SkipWithError(error.description().c_str());
    return;
  }
  for (auto _ : state) {
    for (const auto& event : f.events) {
      const bool written = database->performTransaction([&] {
        return database->insertIfNotExistsRawEventMetadata(f.metadata, nullptr) &&
               database->deleteRawEventsOverAbsoluteLimit(nullptr) &&
               database->insertRawEvent(event, f.fingerprint, false, nullptr);
      });
      if (!written) state.SkipWithError("write failed");
    }
    state.PauseTiming();
    database->sqliteStore()->deleteAllRecordsFromTableWithName(kAPMRawEventsTableName, nullptr);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
  state.counters["journal_mode"] = bench::pragma(database->sqliteStore()->sqliteHandle(), "journal_mode") == "delete";
  state.counters["synchronous"] = std::stod(bench::pragma(database->sqliteStore()->sqliteHandle(), "synchronous"));
}

void BM_RawSqliteInsertsEvents(benchmark::State& state) {
  Fixture& f = fixture();
  // The store's connection runs with SQLite's defaults; so does this one.
  bench::RawEventsTable table(APMMeasurementDirectoryPathForFile("raw-bench.sql"));
  if (!table.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  sqlite3* db = table.db();
  exec(db,
       "CREATE TABLE IF NOT EXISTS raw_events_metadata (metadata_fingerprint INTEGER NOT NULL PRIMARY KEY, metadata "
       "BLOB NOT NULL);",
       state);
  const os::Data metadata = *f.metadata->protoBuffer();
  sqlite3_stmt* metadataInsert = nullptr;
  sqlite3_prepare_v2(db, "INSERT OR IGNORE INTO raw_events_metadata VALUES (?, ?)", -1, &metadataInsert, nullptr);
  sqlite3_bind_int64(metadataInsert, 1, f.fingerprint);
  sqlite3_bind_blob(metadataInsert, 2, metadata.bytes(), static_cast<int>(metadata.size()), SQLITE_STATIC);
  sqlite3_step(metadataInsert);
  sqlite3_finalize(metadataInsert);

  for (auto _ : state) {
    for (int i = 0; i < kEvents; ++i) {
      const APMEvent& event = *f.events[i];
      if (!table.insert(event.name(), event.timestamp(), f.fingerprint, f.encodedEvents[i]))
        state.SkipWithError(table.errorMessage());
    }
    state.PauseTiming();
    exec(db, "DELETE FROM raw_events", state);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEvents);
  state.counters["journal_mode"] = bench::pragma(db, "journal_mode") == "delete";
  state.counters["synchronous"] = std::stod(bench::pragma(db, "synchronous"));
}

BENCHMARK(BM_StoreWritesEvents)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteInsertsEvents)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  bench::RatioReporter reporter;
  if (!bench::runInterleaved(argc, argv, 15, reporter)) return 1;
  const double store = reporter.time("BM_StoreWritesEvents");
  const double raw = reporter.time("BM_RawSqliteInsertsEvents");
  if (store > 0 && raw > 0) {
    std::printf("%d events, one transaction each: store / raw SQLite %.2fx (budget 2.00x)\n", kEvents, store / raw);
    bench::printFigure("raw events through the store / raw SQLite inserts", bench::ratioText(store / raw), "<= 2.00x");
  }
  benchmark::Shutdown();
  return 0;
}
