// A 1,000-event bundle encoded and decoded through the message classes and
// through nanopb's own (pointer-field) structs, generated from the same .proto
// files: both sides decode the same bytes into a tree that owns its values and
// free it again, and encode a decoded tree into one buffer of the exact size.
// Each benchmark runs five times, interleaved at random with the others; the
// run ends with the ratios of the class layer's median CPU time to nanopb's
// (goals: decode at most 1.0x, encode kept under 1.0x).
//
// What each side allocates per operation (allocs_per_op counts the calls to
// malloc, calloc and realloc, bytes_per_op the bytes they asked for; this
// program stands in for malloc to count them):
// - classes, decode: the message object, its shared_ptr control block and its
//   record, then the arena's chunks (the first sized from the input, each
//   later one twice the last): every child record, cell, string's bytes and
//   element array of the tree lies in them. The event's nanopb struct is
//   scratch on the stack.
// - nanopb, decode: the struct on the stack; with pointer fields, a block per
//   string and per sub-message, and each repeated field's array grown by
//   realloc one element at a time (every growth asks for the whole array
//   again, hence its large bytes_per_op).
// - classes, encode: the size pass allocates nothing; one buffer of exactly
//   the encoded size, and the os::Data that takes it.
// - nanopb, encode: the same: one buffer of the size nanopb reports, moved
//   into an os::Data.
#include <benchmark/benchmark.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/support/ratio_reporter.h"
#include "measurement/messages/messages.h"
#include "measurement_batch.ptr.h"

// Counts every allocation the process makes, by standing in for malloc
// (glibc's own entry points do the work). Not under the address or thread
// sanitizer, which bring their own malloc: the counters are absent then.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define BENCH_COUNTS_ALLOCATIONS 1
namespace {
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gAllocatedBytes{0};
void count(size_t bytes) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gAllocatedBytes.fetch_add(bytes, std::memory_order_relaxed);
}
}  // namespace
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);
void* malloc(size_t size) {
  count(size);
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  count(n * size);
  return __libc_calloc(n, size);
}
void* realloc(void* pointer, size_t size) {
  count(size);
  return __libc_realloc(pointer, size);
}
void free(void* pointer) { __libc_free(pointer); }
}
#endif

namespace {

constexpr int kEvents = 1000;

// Allocations made between its creation and report(), per iteration.
class AllocationCounter {
 public:
#ifdef BENCH_COUNTS_ALLOCATIONS
  AllocationCounter() : allocations_(gAllocations.load()), bytes_(gAllocatedBytes.load()) {}
  void report(benchmark::State& state) const {
    const double iterations = static_cast<double>(state.iterations());
    state.counters["allocs_per_op"] = static_cast<double>(gAllocations.load() - allocations_) / iterations;
    state.counters["bytes_per_op"] = static_cast<double>(gAllocatedBytes.load() - bytes_) / iterations;
  }

 private:
  uint64_t allocations_;
  uint64_t bytes_;
#else
  void report(benchmark::State&) const {}
#endif
};

struct ParamSpec {
  const char* name;
  const char* text;
  int64_t integer;
  double real;
  int kind;  // 0 string, 1 int, 2 double
};
constexpr ParamSpec kParams[] = {
    {"_o", "auto", 0, 0, 0},
    {"vivuzuvu_screen_class", "MeterViewController", 0, 0, 0},
    {"value", nullptr, 42, 0, 1},
    {"price", nullptr, 0, 9.99, 2},
};

std::shared_ptr<APMPBMeasurementBundle> classBundle() {
  auto bundle = APMPBMeasurementBundle::initWithMessageInfo(nullptr);
  APMPBSetInt32(bundle.get(), 0, 1);
  APMPBSetString(bundle.get(), 8, "ios");
  APMPBSetString(bundle.get(), 9, "17.4");
  APMPBSetString(bundle.get(), 10, "iPhone15,2");
  APMPBSetString(bundle.get(), 14, "com.example.meter");
  APMPBSetInt64(bundle.get(), 4, 1'700'000'000'000);
  APMPBSetInt64(bundle.get(), 5, 1'700'000'100'000);
  std::vector<std::shared_ptr<APMPBEvent>> events;
  for (int i = 0; i < kEvents; i++) {
    auto event = APMPBEvent::initWithMessageInfo(nullptr);
    APMPBSetString(event.get(), 1, i % 2 ? "_e" : "screen_view");
    APMPBSetInt64(event.get(), 2, 1'700'000'000'000 + i);
    std::vector<std::shared_ptr<APMPBEventParam>> params;
    for (const ParamSpec& spec : kParams) {
      auto param = APMPBEventParam::initWithMessageInfo(nullptr);
      APMPBSetString(param.get(), 0, spec.name);
      if (spec.kind == 0) APMPBSetString(param.get(), 1, spec.text);
      if (spec.kind == 1) APMPBSetInt64(param.get(), 2, spec.integer + i);
      if (spec.kind == 2) APMPBSetDouble(param.get(), 4, spec.real);
      params.push_back(param);
    }
    APMPBSetArray(event.get(), 0, params);
    events.push_back(event);
  }
  APMPBSetArray(bundle.get(), 1, events);
  return bundle;
}

os::Data encodedBundle() {
  static const os::Data bytes = *classBundle()->protoBuffer();
  return bytes;
}

void BM_ClassesEncode(benchmark::State& state) {
  auto bundle = APMPBMeasurementBundle::initWithBuffer(encodedBundle());
  AllocationCounter allocations;
  for (auto _ : state) {
    auto bytes = bundle->protoBuffer();
    benchmark::DoNotOptimize(bytes);
  }
  allocations.report(state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(encodedBundle().size()));
}

void BM_ClassesDecode(benchmark::State& state) {
  os::Data bytes = encodedBundle();
  AllocationCounter allocations;
  for (auto _ : state) {
    auto bundle = APMPBMeasurementBundle::initWithBuffer(bytes);
    if (!bundle) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bundle);
  }
  allocations.report(state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

// nanopb on its own: the same message decoded into its pointer-field struct.
bool nanopbDecode(const os::Data& bytes, bench_ptr_MeasurementBundle* bundle) {
  *bundle = bench_ptr_MeasurementBundle_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(bytes.bytes(), bytes.size());
  return pb_decode(&stream, bench_ptr_MeasurementBundle_fields, bundle);
}

void BM_NanopbEncode(benchmark::State& state) {
  bench_ptr_MeasurementBundle bundle;
  if (!nanopbDecode(encodedBundle(), &bundle)) state.SkipWithError("decode failed");
  AllocationCounter allocations;
  for (auto _ : state) {
    size_t size = 0;
    pb_get_encoded_size(&size, bench_ptr_MeasurementBundle_fields, &bundle);
    std::vector<uint8_t> buffer(size);
    pb_ostream_t stream = pb_ostream_from_buffer(buffer.data(), size);
    if (!pb_encode(&stream, bench_ptr_MeasurementBundle_fields, &bundle)) state.SkipWithError("encode failed");
    os::Data bytes(std::move(buffer));
    benchmark::DoNotOptimize(bytes);
  }
  allocations.report(state);
  pb_release(bench_ptr_MeasurementBundle_fields, &bundle);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(encodedBundle().size()));
}

void BM_NanopbDecode(benchmark::State& state) {
  os::Data bytes = encodedBundle();
  AllocationCounter allocations;
  for (auto _ : state) {
    bench_ptr_MeasurementBundle bundle;
    if (!nanopbDecode(bytes, &bundle)) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(bundle);
    pb_release(bench_ptr_MeasurementBundle_fields, &bundle);
  }
  allocations.report(state);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

BENCHMARK(BM_ClassesEncode);
BENCHMARK(BM_NanopbEncode);
BENCHMARK(BM_ClassesDecode);
BENCHMARK(BM_NanopbDecode);


}  // namespace

int main(int argc, char** argv) {
  // CPU time: both sides run on this one thread, and a shared machine's other
  // work would otherwise land on whichever side it overlaps.
  bench::RatioReporter reporter(bench::RatioReporter::Clock::CPU);
  if (!bench::runInterleaved(argc, argv, 5, reporter)) return 1;
  double classEncode = reporter.time("BM_ClassesEncode");
  double nanopbEncode = reporter.time("BM_NanopbEncode");
  double classDecode = reporter.time("BM_ClassesDecode");
  double nanopbDecode = reporter.time("BM_NanopbDecode");
  if (nanopbEncode > 0 && nanopbDecode > 0) {
    std::printf("bundle of %d events, %zu bytes\n", kEvents, encodedBundle().size());
    std::printf("classes / nanopb: encode %.2fx, decode %.2fx, encode+decode %.2fx\n",
                classEncode / nanopbEncode, classDecode / nanopbDecode,
                (classEncode + classDecode) / (nanopbEncode + nanopbDecode));
    bench::printFigure("encode of a 1,000-event bundle: message classes / nanopb structs",
                       bench::ratioText(classEncode / nanopbEncode), "<= 0.78x (kept)");
    bench::printFigure("decode of a 1,000-event bundle: message classes / nanopb structs",
                       bench::ratioText(classDecode / nanopbDecode), "<= 1.00x");
  }
  benchmark::Shutdown();
  return 0;
}
