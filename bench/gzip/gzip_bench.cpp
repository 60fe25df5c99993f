// Gzip layer against zlib called directly, on a 1 MB event-like payload.
// Compare BM_Layer* with BM_Zlib* of the same direction.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/support/ratio_reporter.h"
#include "platform/utilities/gzip.h"

namespace {

// Measurement-style events: repeated keys, varying numbers and identifiers.
const os::Data& eventPayload() {
  static const os::Data payload = [] {
    static const char* kNames[] = {"screen_view", "session_start", "user_engagement", "app_update",
                                   "reading_taken", "photo_saved", "settings_opened"};
    std::mt19937_64 random(42);
    std::string text;
    text.reserve((1 << 20) + 512);
    char line[512];
    int64_t timestamp = 1700000000000;
    while (text.size() < (1u << 20)) {
      timestamp += static_cast<int64_t>(random() % 5000);
      int n = std::snprintf(
          line, sizeof line,
          "{\"name\":\"%s\",\"timestamp_millis\":%lld,\"params\":{\"session_id\":%llu,"
          "\"engagement_time_msec\":%u,\"kelvin\":%u,\"tint\":%.2f,\"screen_class\":\"MeterViewController\"},"
          "\"user_properties\":{\"first_open_time\":1699990000000,\"install_id\":\"%016llx\"}}\n",
          kNames[random() % 7], static_cast<long long>(timestamp),
          static_cast<unsigned long long>(random() % 100000000), static_cast<unsigned>(random() % 60000),
          static_cast<unsigned>(2500 + random() % 7500), static_cast<double>(random() % 2000) / 100.0 - 10.0,
          static_cast<unsigned long long>(random()));
      text.append(line, static_cast<size_t>(n));
    }
    text.resize(1u << 20);
    return os::Data::fromString(text);
  }();
  return payload;
}

const os::Data& gzippedPayload() {
  static const os::Data gzipped = **DAZGzip::daz_dataByGzippingData(eventPayload());
  return gzipped;
}

void BM_LayerGzip(benchmark::State& state) {
  const os::Data& input = eventPayload();
  for (auto _ : state) {
    auto result = DAZGzip::daz_dataByGzippingData(input);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.length()));
}

void BM_ZlibGzip(benchmark::State& state) {
  const os::Data& input = eventPayload();
  for (auto _ : state) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::vector<Bytef> output(deflateBound(&stream, input.length()));
    stream.next_in = const_cast<Bytef*>(input.bytes());
    stream.avail_in = static_cast<uInt>(input.length());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    benchmark::DoNotOptimize(output);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(input.length()));
}

void BM_LayerInflate(benchmark::State& state) {
  const os::Data& input = gzippedPayload();
  for (auto _ : state) {
    auto result = DAZGzip::daz_dataByInflatingGzippedData(input);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(eventPayload().length()));
}

void BM_ZlibInflate(benchmark::State& state) {
  const os::Data& input = gzippedPayload();
  for (auto _ : state) {
    z_stream stream{};
    inflateInit2(&stream, 47);
    // The direct caller is granted the size it could not know in advance.
    std::vector<Bytef> output(eventPayload().length());
    stream.next_in = const_cast<Bytef*>(input.bytes());
    stream.avail_in = static_cast<uInt>(input.length());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    inflate(&stream, Z_NO_FLUSH);
    inflateEnd(&stream);
    benchmark::DoNotOptimize(output);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(eventPayload().length()));
}

}  // namespace

BENCHMARK(BM_LayerGzip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibGzip)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LayerInflate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ZlibInflate)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench::RatioReporter reporter(bench::RatioReporter::Clock::CPU);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double gzip = reporter.time("BM_LayerGzip") / reporter.time("BM_ZlibGzip");
  const double inflate = reporter.time("BM_LayerInflate") / reporter.time("BM_ZlibInflate");
  bench::printFigure("gzip of a 1 MB payload: gzip layer / zlib", bench::ratioText(gzip), "none set");
  bench::printFigure("inflate of a 1 MB payload: gzip layer / zlib", bench::ratioText(inflate), "none set");
  return 0;
}
