// The flat-file storage storing events, against a raw loop that writes the
// same archive bytes to the same folder with the same durability steps: a
// temporary file written, fsynced and closed, renamed into place, and the
// folder fsynced so that the rename lasts. Both run in one benchmark, each
// iteration one after the other, so the "ratio" counter compares like with
// like. The storage's share on top is archiving, naming, its queue hop, the
// size check and background time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <vector>

#include "bench/support/ratio_reporter.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/sandbox.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_platform.h"
#include "transport/REVOVALibrary/revova_upload_coordinator.h"

namespace fs = std::filesystem;

namespace {

class Payload : public REVOVAEventDataObject {
 public:
  explicit Payload(os::Data bytes) : bytes_(std::move(bytes)) {}
  std::optional<os::Data> transportBytes() const override { return bytes_; }

 private:
  os::Data bytes_;
};

// Session-start-sized events of one target.
std::vector<REVOVAEventPtr> makeEvents(size_t count) {
  std::vector<REVOVAEventPtr> events;
  for (size_t i = 0; i < count; ++i) {
    auto event = REVOVAEvent::initWithMappingID("1974", 1001);
    std::string payload(600, 'a' + char(i % 26));
    event->setDataObject(std::make_shared<Payload>(os::Data::fromString(payload)));
    event->setClockSnapshot(REVOVAClock::snapshot());
    events.push_back(event);
  }
  return events;
}

// Stores every event and waits for the last completion; returns seconds.
double storeAll(REVOVAFlatFileStorage& storage, const std::vector<REVOVAEventPtr>& events) {
  std::mutex mutex;
  std::condition_variable cv;
  size_t left = events.size();
  auto start = std::chrono::steady_clock::now();
  for (const auto& event : events) {
    storage.storeEvent(event, [&](bool written, std::optional<os::Error>) {
      if (!written) std::abort();
      std::lock_guard lock(mutex);
      if (--left == 0) cv.notify_one();
    });
  }
  std::unique_lock lock(mutex);
  cv.wait(lock, [&] { return left == 0; });
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The raw loop over the same bytes and names; returns seconds.
double writeAllRaw(const std::string& folder, const std::vector<std::pair<std::string, os::Data>>& files) {
  auto start = std::chrono::steady_clock::now();
  for (const auto& [name, bytes] : files) {
    std::string path = folder + "/" + name;
    std::string temp = folder + "/." + name + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.bytes(), bytes.length()) != ssize_t(bytes.length()) || ::fsync(fd) != 0 ||
        ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0)
      std::abort();
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || ::fsync(dir) != 0) std::abort();
    ::close(dir);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_FlatFileStorageStoreEvent(benchmark::State& state) {
  os::TemporarySandbox sandbox;
  const auto events = makeEvents(size_t(state.range(0)));
  std::vector<std::pair<std::string, os::Data>> files;
  for (const auto& event : events) {
    std::string path = REVOVAFlatFileStorage::pathForTarget(event->target(), event->eventID(), event->qosTier(),
                                                            event->expirationDate(), event->mappingID());
    files.emplace_back(path.substr(path.rfind('/') + 1), *os::KeyedArchiver::archivedDataWithRootObject(event));
  }
  const std::string folder = fs::path(REVOVAFlatFileStorage::pathForTarget(1001, "x", 3, os::Date(), "")).parent_path();
  auto storage = std::make_shared<REVOVAFlatFileStorage>(std::make_shared<REVOVAUploadCoordinator>());
  // On the storage's queue: its own work on the folder (a size check, an
  // expiry sweep) may still run after the last store returned.
  auto clear = [&] {
    storage->storageQueue()->sync([&] {
      fs::remove_all(folder);
      fs::create_directories(folder);
      storage->sizeTracker().resetCachedSize();
    });
  };
  double ours = 0, raw = 0;
  for (auto _ : state) {
    state.PauseTiming();
    clear();
    state.ResumeTiming();
    ours += storeAll(*storage, events);
    state.PauseTiming();
    clear();
    state.ResumeTiming();
    raw += writeAllRaw(folder, files);
  }
  double stored = double(state.iterations()) * double(events.size());
  state.counters["storage_us_per_event"] = ours / stored * 1e6;
  state.counters["raw_us_per_event"] = raw / stored * 1e6;
  state.counters["ratio"] = ours / raw;
}
BENCHMARK(BM_FlatFileStorageStoreEvent)->Arg(100)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  bench::printFigure("events stored by the flat-file storage / raw durable writes",
                     bench::ratioText(reporter.counter("BM_FlatFileStorageStoreEvent", "ratio")), "none set");
  return 0;
}
