// An async hop between two serial queues, against the same ping-pong on two
// plain mutex-and-condition-variable queues with a thread each. Both run in
// one benchmark so the "ratio" counter compares like with like.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "os/dispatch/queue.h"

namespace {

constexpr int kHops = 20000;

class PlainQueue {
 public:
  PlainQueue() : thread_([this] { loop(); }) {}
  ~PlainQueue() {
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

// Bounces a counter between two queues kHops times; returns seconds.
template <class Q>
double pingPong(Q& a, Q& b) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::function<void(int)> hopA, hopB;
  hopA = [&](int n) {
    if (n == kHops) {
      std::lock_guard<std::mutex> lock(m);
      done = true;
      cv.notify_one();
      return;
    }
    b.async([&, n] { hopB(n + 1); });
  };
  hopB = [&](int n) { a.async([&, n] { hopA(n + 1); }); };
  auto start = std::chrono::steady_clock::now();
  a.async([&] { hopA(0); });
  std::unique_lock<std::mutex> lock(m);
  cv.wait(lock, [&] { return done; });
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct DispatchRef {
  std::shared_ptr<os::DispatchQueue> q;
  void async(std::function<void()> fn) { q->async(std::move(fn)); }
};

void BM_SerialQueueHop(benchmark::State& state) {
  DispatchRef a{os::DispatchQueue::serial("bench.a")}, b{os::DispatchQueue::serial("bench.b")};
  PlainQueue pa, pb;
  double ours = 0, plain = 0;
  for (auto _ : state) {
    ours += pingPong(a, b);
    plain += pingPong(pa, pb);
  }
  double hops = double(state.iterations()) * kHops;
  state.counters["dispatch_ns_per_hop"] = ours / hops * 1e9;
  state.counters["plain_ns_per_hop"] = plain / hops * 1e9;
  state.counters["ratio"] = ours / plain;
}
BENCHMARK(BM_SerialQueueHop)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
