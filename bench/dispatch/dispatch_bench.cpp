// Async hops through os::DispatchQueue against the same hops through plain
// mutex-and-condition-variable queues, in two shapes that treat both sides
// alike. Each benchmark runs both sides in one run; the binary ends by
// printing both ratios (dispatch / plain) side by side.
//
// BM_HopMustCrossThreads: a round trip from the benchmark's thread to a
//   serial queue and back. The sender waits for the answer, so every hop
//   lands on another thread and wakes it, on both sides.
//   Plain: push the block under the worker's mutex and notify its condition
//   variable; the worker wakes, pops it and runs it.
//   Dispatch: push the block onto the serial queue, whose drain job goes to
//   the pool's list with a wake of a sleeping worker (the sender is no
//   worker, so none will come back for it); the worker drains the block.
// BM_HopMayStayOnThread: a counter bounced between two serial queues, each
//   block posting the next hop to the other queue. Nothing makes a hop change
//   thread.
//   Plain: one thread serves both queues; a hop is a push under its mutex, a
//   notify nobody waits for, and a pop.
//   Dispatch: the block pushes onto the idle other queue, whose drain job the
//   worker keeps for itself (no wake, no pool lock); when the block's queue
//   runs dry the worker drains the other queue.
//
// Counters: ns per hop of each side, the ratio (dispatch / plain), and the
// share of dispatch hops whose block ran on another thread than the last.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "bench/support/ratio_reporter.h"
#include "os/dispatch/queue.h"

namespace {

constexpr int kHops = 20000;

// One thread that runs the blocks of every queue made over it, in order.
class PlainWorker {
 public:
  PlainWorker() : thread_([this] { loop(); }) {}
  ~PlainWorker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  void async(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      auto fn = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      fn();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool stop_ = false;
  std::thread thread_;
};

// A serial queue on a plain worker (shared with other queues or not).
struct PlainQueue {
  std::shared_ptr<PlainWorker> worker;
  void async(std::function<void()> fn) { worker->async(std::move(fn)); }
};

struct DispatchRef {
  std::shared_ptr<os::DispatchQueue> q;
  void async(std::function<void()> fn) { q->async(std::move(fn)); }
};

// Counts the hops whose block runs on another thread than the previous one.
struct ThreadChanges {
  std::thread::id last;
  int changes = 0;
  void hop() {
    const auto now = std::this_thread::get_id();
    if (now != last) ++changes;
    last = now;
  }
};

// kHops hops: kHops / 2 round trips from this thread to the queue and back.
template <class Q>
double roundTrips(Q& q, ThreadChanges& changes) {
  std::mutex m;
  std::condition_variable cv;
  int answered = -1;
  changes.last = std::this_thread::get_id();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kHops / 2; ++i) {
    q.async([&, i] {
      changes.hop();
      {
        std::lock_guard<std::mutex> lock(m);
        answered = i;
      }
      cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return answered == i; });
    changes.hop();
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A counter bounced between two queues kHops times.
template <class Q>
double pingPong(Q& a, Q& b, ThreadChanges& changes) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::function<void(int)> hopA, hopB;
  hopA = [&](int n) {
    changes.hop();
    if (n == kHops) {
      std::lock_guard<std::mutex> lock(m);
      done = true;
      cv.notify_one();
      return;
    }
    b.async([&, n] { hopB(n + 1); });
  };
  hopB = [&](int n) {
    changes.hop();
    a.async([&, n] { hopA(n + 1); });
  };
  const auto start = std::chrono::steady_clock::now();
  a.async([&] { hopA(0); });
  std::unique_lock<std::mutex> lock(m);
  cv.wait(lock, [&] { return done; });
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The ratio of each shape's last run, for the closing summary.
double gCrossRatio = 0, gStayRatio = 0;

void report(benchmark::State& state, double ours, double plain, int dispatchChanges, double& ratio) {
  const double hops = double(state.iterations()) * kHops;
  ratio = ours / plain;
  state.counters["dispatch_ns_per_hop"] = ours / hops * 1e9;
  state.counters["plain_ns_per_hop"] = plain / hops * 1e9;
  state.counters["ratio"] = ratio;
  state.counters["dispatch_thread_changes"] = dispatchChanges / hops;
}

void BM_HopMustCrossThreads(benchmark::State& state) {
  DispatchRef queue{os::DispatchQueue::serial("bench.cross")};
  PlainQueue plainQueue{std::make_shared<PlainWorker>()};
  double ours = 0, plain = 0;
  int changes = 0;
  for (auto _ : state) {
    ThreadChanges dispatchChanges, plainChanges;
    ours += roundTrips(queue, dispatchChanges);
    plain += roundTrips(plainQueue, plainChanges);
    changes += dispatchChanges.changes;
  }
  report(state, ours, plain, changes, gCrossRatio);
}
BENCHMARK(BM_HopMustCrossThreads)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_HopMayStayOnThread(benchmark::State& state) {
  DispatchRef a{os::DispatchQueue::serial("bench.a")}, b{os::DispatchQueue::serial("bench.b")};
  auto worker = std::make_shared<PlainWorker>();
  PlainQueue pa{worker}, pb{worker};
  double ours = 0, plain = 0;
  int changes = 0;
  for (auto _ : state) {
    ThreadChanges dispatchChanges, plainChanges;
    ours += pingPong(a, b, dispatchChanges);
    plain += pingPong(pa, pb, plainChanges);
    changes += dispatchChanges.changes;
  }
  report(state, ours, plain, changes, gStayRatio);
}
BENCHMARK(BM_HopMayStayOnThread)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("dispatch / plain: hop that must cross threads %.2fx (goal <= 1.0), hop that may stay %.2fx (goal <= 2.0)\n",
              gCrossRatio, gStayRatio);
  bench::printFigure("hop that must cross threads / plain queue", bench::ratioText(gCrossRatio), "<= 1.00x");
  bench::printFigure("hop that may stay on its thread / plain queue", bench::ratioText(gStayRatio), "<= 2.00x");
  return 0;
}
