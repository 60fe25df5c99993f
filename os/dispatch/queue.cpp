// Dispatch queues on a bounded worker pool.
//
// Design:
//  - The pool runs jobs from five priority lists (one per quality of
//    service). At most maxActiveWorkers() threads work at once; a worker that
//    blocks in a dispatch wait (BlockingScope) stops counting, so a spare
//    thread may start (up to kHardThreadCap) and a blocked sync cannot starve
//    the pool in the common patterns. Idle workers exit after a while. A job
//    a worker posts while it runs one is kept to run next on that worker (see
//    Pool's design note).
//  - A serial queue owns a ring of items and at most one "drain" job, posted
//    to its target (a global queue -> the pool, the main queue or another
//    queue); for a global target the job is the queue's own pool node.
//    Invariant: `scheduled` is true exactly while a drain job is posted or
//    running, or a sync caller runs inline holding the queue; `drainKeep`
//    holds the queue alive while a drain is posted or running.
//    Blocks the draining block posts to its own queue run in the same drain,
//    up to kDrainBatch, after which the drain queues behind the others.
//  - A concurrent custom queue forwards each block to its target; it holds
//    blocks only while suspended.
//  - The main queue's drain job is posted to the main run loop.
//  - "busy" counts pool jobs queued or running minus workers blocked in a
//    dispatch wait, plus OutsideWork tokens alive; drainUntilIdle() waits for
//    it to reach zero.
#include "os/dispatch/queue.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "os/dispatch/detail.h"
#include "os/dispatch/run_loop.h"

namespace os {
namespace dispatch::detail {

void fatal(const char* what) {
  std::fprintf(stderr, "os/dispatch: fatal: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

void QueueLock::lockContended() {
  for (int spin = 0; spin < 64; ++spin) {
    int expected = 0;
    if (state_.load(std::memory_order_relaxed) == 0 &&
        state_.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
      return;
    }
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  // From here on the state says 2 while held, so the holder's unlock wakes.
  while (state_.exchange(2, std::memory_order_acquire) != 0) {
    ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
  }
}

void QueueLock::wakeOne() {
  ::syscall(SYS_futex, reinterpret_cast<int*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

namespace {

// Stored while this file's statics are initialised, on the main thread.
// Atomic, and constant-initialised before that: components that load earlier
// may already run pool threads that read it.
std::atomic<std::thread::id> gMainThreadId{};
[[maybe_unused]] const bool kMainThreadIdStored = (gMainThreadId.store(std::this_thread::get_id()), true);

// ---- activity: what drainUntilIdle() waits on ----
struct Activity {
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<int64_t> busy{0};
  std::atomic<int> waiters{0};

  void add(int64_t n) {
    if (busy.fetch_add(n, std::memory_order_acq_rel) + n == 0) poke();
  }
  void poke() {
    if (waiters.load(std::memory_order_acquire) == 0) return;
    std::lock_guard<std::mutex> lock(mutex);
    cv.notify_all();
  }
};

Activity& activity() {
  static Activity* a = new Activity();
  return *a;
}

thread_local bool tIsPoolWorker = false;
thread_local std::vector<DispatchQueue*> tQueueStack;

// ---- the published label of this thread's current queue ----
// Each thread's slot is a thread_local pointer; a fixed table maps kernel
// thread ids to slot addresses so that another thread (a crash handler) can
// find it without a lock. An entry is claimed by compare-and-swap of its tid
// and given up at thread exit.
thread_local std::atomic<const char*> tQueueLabel{nullptr};
thread_local bool tLabelRegistered = false;

struct LabelSlotEntry {
  std::atomic<int> tid{0};
  std::atomic<uintptr_t> slot{0};
};
constexpr size_t kLabelSlots = 1024;
LabelSlotEntry gLabelSlots[kLabelSlots];

int currentTid() { return int(::gettid()); }

struct LabelSlotRelease {
  ~LabelSlotRelease() {
    int tid = currentTid();
    for (auto& e : gLabelSlots) {
      if (e.tid.load(std::memory_order_acquire) == tid) {
        e.slot.store(0, std::memory_order_release);
        e.tid.store(0, std::memory_order_release);
        return;
      }
    }
  }
};

// Publishes the calling thread's slot (once per thread). A full table leaves
// the thread unpublished.
void registerLabelSlot() {
  tLabelRegistered = true;
  thread_local LabelSlotRelease release;
  (void)release;
  int tid = currentTid();
  for (auto& e : gLabelSlots) {
    int expected = 0;
    if (e.tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) {
      e.slot.store(reinterpret_cast<uintptr_t>(&tQueueLabel), std::memory_order_release);
      return;
    }
  }
}

// A forked child has only the forking thread, under a new id: the table
// starts again with that thread's slot.
void republishAfterFork() {
  for (auto& e : gLabelSlots) {
    e.slot.store(0, std::memory_order_relaxed);
    e.tid.store(0, std::memory_order_relaxed);
  }
  if (tLabelRegistered) {
    gLabelSlots[0].slot.store(reinterpret_cast<uintptr_t>(&tQueueLabel), std::memory_order_relaxed);
    gLabelSlots[0].tid.store(currentTid(), std::memory_order_release);
  }
}

// The main thread outside any queue counts as on the main queue.
const bool gMainLabelPublished = [] {
  tQueueLabel.store(kMainQueueLabel, std::memory_order_relaxed);
  registerLabelSlot();
  ::pthread_atfork(nullptr, nullptr, republishAfterFork);
  return true;
}();

// ---- pool ----
constexpr size_t kHardThreadCap = 256;
constexpr auto kIdleExit = std::chrono::seconds(10);
// How often the monitor looks for deferred work whose worker has not come
// back: a job deferred behind a block that runs longer starts within about
// two periods on another worker.
constexpr auto kDeferredCheck = std::chrono::microseconds(200);
// Deferred jobs a worker runs in a row before it lets queued work go first.
constexpr int kDeferredRun = 64;

int priorityIndex(QualityOfService qos) {
  switch (qos) {
    case QualityOfService::UserInteractive:
      return 0;
    case QualityOfService::UserInitiated:
      return 1;
    case QualityOfService::Default:
    case QualityOfService::Unspecified:
      return 2;
    case QualityOfService::Utility:
      return 3;
    case QualityOfService::Background:
      return 4;
  }
  return 2;
}

// First in, first out, through the nodes' own links.
struct WorkList {
  Work* head = nullptr;
  Work* tail = nullptr;
  void push(Work* w) {
    w->next = nullptr;
    if (tail) tail->next = w;
    else head = w;
    tail = w;
  }
  Work* pop() {
    Work* w = head;
    if (w) {
      head = w->next;
      if (!head) tail = nullptr;
      w->next = nullptr;
    }
    return w;
  }
};

// A pool thread. `deferred` is written non-null only by its own thread and
// taken (exchanged to null) by that thread or by the monitor.
struct Worker {
  std::atomic<Work*> deferred{nullptr};
  std::atomic<uint64_t> jobsStarted{0};  // written by its own thread only
  uint64_t jobsSeen = 0;                 // monitor's last reading; guarded by the pool's mutex
  bool inJob = false;                    // read and written by its own thread only
};

thread_local Worker* tWorker = nullptr;

// Design:
//  - Jobs are intrusive nodes (Work) in five priority lists; at most
//    maxActive() threads work at once, a worker blocked in a dispatch wait
//    (BlockingScope) stops counting so a spare may start, idle workers exit
//    after kIdleExit.
//  - A job submitted by a worker while it runs a job is deferred: it goes
//    into that worker's `deferred` slot and wakes nobody, because the worker
//    runs it as soon as its current job returns. It is handed to the lists
//    (and a sleeping worker woken) when that is no longer true: the owner
//    blocks in a dispatch wait or keeps draining a serial queue, or the
//    monitor sees the owner still in the same job a period later.
//  - Accounting for drainUntilIdle(): a deferred job inherits the count of
//    the job that deferred it, so a hop that stays on its worker touches the
//    counter not at all. Whoever hands it to the lists counts it first (the
//    monitor before it takes it, since the owner may finish meanwhile).
//  - The monitor runs while any worker runs jobs (`running_` > 0): a
//    worker's first deferral after the pool was idle arms it.
class Pool {
 public:
  Pool() {
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    maxActive_ = std::max<size_t>(4, 2 * size_t(cores > 0 ? cores : 1));
  }
  size_t maxActive() const { return maxActive_; }

  // Runs `work` on a pool worker. `mayDefer`: the calling worker may keep it
  // for itself (false when it must queue behind others, for fairness).
  void submit(Work* work, bool mayDefer) {
    Worker* self = tWorker;
    if (mayDefer && self && self->inJob && self->deferred.load(std::memory_order_relaxed) == nullptr) {
      self->deferred.store(work, std::memory_order_release);
      if (!monitorArmed_.load(std::memory_order_relaxed)) armMonitor();
      return;
    }
    activity().add(1);
    std::unique_lock<std::mutex> lock(mutex_);
    queueLocked(work);
    wakeOrSpawn(lock);
  }

  // The calling worker's deferred job goes to the lists with a wake: the
  // worker will not come back for it soon.
  void releaseDeferred() {
    Worker* self = tWorker;
    if (!self || self->deferred.load(std::memory_order_relaxed) == nullptr) return;
    Work* work = self->deferred.exchange(nullptr, std::memory_order_acq_rel);
    if (!work) return;
    activity().add(1);  // the caller's job still counts, so busy stays above zero
    std::unique_lock<std::mutex> lock(mutex_);
    queueLocked(work);
    wakeOrSpawn(lock);
  }

  void blockEnter() {
    releaseDeferred();
    activity().add(-1);
    std::unique_lock<std::mutex> lock(mutex_);
    ++blocked_;
    if (pending_ > 0) wakeOrSpawn(lock);
  }
  // countedAlready: the waker counted this worker busy again.
  void blockExit(bool countedAlready) {
    if (!countedAlready) activity().add(1);
    std::lock_guard<std::mutex> lock(mutex_);
    --blocked_;
  }

 private:
  // Requires mutex_.
  void queueLocked(Work* work) {
    lists_[work->priority].push(work);
    ++pending_;
  }
  Work* popLocked() {
    for (auto& list : lists_) {
      if (Work* w = list.pop()) {
        --pending_;
        return w;
      }
    }
    return nullptr;
  }

  // Requires mutex_.
  void wakeOrSpawn(std::unique_lock<std::mutex>&) {
    if (waiting_ > 0) cv_.notify_one();
    size_t working = threads_ - waiting_ - blocked_;
    if ((waiting_ == 0 || pending_ > waiting_) && working < maxActive_ && threads_ < kHardThreadCap) {
      ++threads_;
      auto* worker = new Worker();
      workers_.push_back(worker);
      std::thread([this, worker] { workerLoop(worker); }).detach();
    }
  }

  // Runs `job`, then each job it deferred, on this worker. Returns with the
  // worker's count given up.
  void runJobs(Worker* self, Work* job) {
    self->inJob = true;
    for (int run = 0;; ++run) {
      self->jobsStarted.store(self->jobsStarted.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      job->invoke(job);
      Work* next = self->deferred.load(std::memory_order_relaxed)
                       ? self->deferred.exchange(nullptr, std::memory_order_acq_rel)
                       : nullptr;
      if (!next) break;
      if (run + 1 >= kDeferredRun) {
        run = -1;
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_ > 0) {
          // Queued work goes first; `next` keeps the count it inherited.
          queueLocked(next);
          self->inJob = false;
          return;
        }
      }
      job = next;
    }
    self->inJob = false;
    activity().add(-1);
  }

  void workerLoop(Worker* self) {
    tIsPoolWorker = true;
    tWorker = self;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (Work* job = popLocked()) {
        ++running_;
        lock.unlock();
        runJobs(self, job);
        lock.lock();
        --running_;
        continue;
      }
      ++waiting_;
      bool got = cv_.wait_for(lock, kIdleExit, [&] { return pending_ > 0; });
      --waiting_;
      if (!got && pending_ == 0) {
        --threads_;
        workers_.erase(std::find(workers_.begin(), workers_.end(), self));
        tWorker = nullptr;
        delete self;
        return;
      }
    }
  }

  void armMonitor() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (monitorArmed_.load(std::memory_order_relaxed)) return;
    monitorArmed_.store(true, std::memory_order_relaxed);
    if (!monitorStarted_) {
      monitorStarted_ = true;
      std::thread([this] { monitorLoop(); }).detach();
    }
    monitorCv_.notify_one();
  }

  // Hands on deferred jobs whose worker stayed in one job for a whole period.
  void monitorLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      monitorCv_.wait(lock, [&] { return monitorArmed_.load(std::memory_order_relaxed); });
      monitorCv_.wait_for(lock, kDeferredCheck);
      size_t handed = 0;
      for (Worker* w : workers_) {
        if (w->deferred.load(std::memory_order_acquire) == nullptr) continue;
        const uint64_t started = w->jobsStarted.load(std::memory_order_relaxed);
        if (started != w->jobsSeen) {
          w->jobsSeen = started;
          continue;
        }
        activity().add(1);
        if (Work* work = w->deferred.exchange(nullptr, std::memory_order_acq_rel)) {
          queueLocked(work);
          ++handed;
        } else {
          activity().add(-1);  // its worker took it meanwhile and still counts
        }
      }
      // After the loop: a spawn adds to workers_.
      for (; handed > 0; --handed) wakeOrSpawn(lock);
      // A worker defers only while it runs a job, and counts in running_
      // before it can: none running, nothing to watch until one re-arms.
      if (running_ == 0) monitorArmed_.store(false, std::memory_order_relaxed);
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  WorkList lists_[5];               // guarded by mutex_
  size_t pending_ = 0;              // guarded by mutex_; jobs in lists_
  size_t threads_ = 0;              // guarded by mutex_
  size_t waiting_ = 0;              // guarded by mutex_
  size_t blocked_ = 0;              // guarded by mutex_
  size_t running_ = 0;              // guarded by mutex_; workers inside runJobs()
  std::vector<Worker*> workers_;    // guarded by mutex_
  size_t maxActive_ = 4;
  std::condition_variable monitorCv_;
  bool monitorStarted_ = false;            // guarded by mutex_
  std::atomic<bool> monitorArmed_{false};  // written under mutex_
};

Pool& pool() {
  // Never destroyed: detached workers may outlive static destruction.
  static Pool* p = new Pool();
  return *p;
}

}  // namespace

void poolSubmit(Work* work, bool mayDefer) { pool().submit(work, mayDefer); }

void releaseDeferredWork() { pool().releaseDeferred(); }

BlockingScope::BlockingScope(Resume resume) : worker_(tIsPoolWorker), resume_(resume) {
  if (worker_) pool().blockEnter();
}
BlockingScope::~BlockingScope() {
  if (worker_) pool().blockExit(resume_ == Resume::ByWaker);
}

bool isPoolWorker() { return tIsPoolWorker; }

void countResumedWorker() { activity().add(1); }

void notifyActivity() { activity().poke(); }

CurrentQueueScope::CurrentQueueScope(DispatchQueue* queue)
    : queue_(queue), previousLabel_(tQueueLabel.load(std::memory_order_relaxed)) {
  tQueueStack.push_back(queue);
  if (!tLabelRegistered) registerLabelSlot();
  tQueueLabel.store(queue->label().c_str(), std::memory_order_relaxed);
}
CurrentQueueScope::~CurrentQueueScope() {
  tQueueLabel.store(previousLabel_, std::memory_order_relaxed);
  tQueueStack.pop_back();
}

bool onQueueStack(const DispatchQueue* queue) {
  return std::find(tQueueStack.begin(), tQueueStack.end(), queue) != tQueueStack.end();
}
DispatchQueue* innermostQueue() { return tQueueStack.empty() ? nullptr : tQueueStack.back(); }

bool isMainThreadId() { return std::this_thread::get_id() == gMainThreadId.load(); }

}  // namespace dispatch::detail

namespace dd = dispatch::detail;

// ---- DispatchQueue ----

namespace {

// Blocks in arrival order, in a ring that keeps its capacity: a queue that
// empties and fills again allocates nothing.
class BlockRing {
 public:
  bool empty() const { return size_ == 0; }
  void push(DispatchBlock&& block) {
    if (size_ == slots_.size()) grow();
    slots_[(head_ + size_) & mask_] = std::move(block);
    ++size_;
  }
  // Requires !empty(). Leaves the slot empty (a moved-from function is).
  DispatchBlock pop() {
    DispatchBlock block = std::move(slots_[head_]);
    head_ = (head_ + 1) & mask_;
    --size_;
    return block;
  }

 private:
  void grow() {
    std::vector<DispatchBlock> bigger(slots_.empty() ? 8 : 2 * slots_.size());
    for (size_t i = 0; i < size_; ++i) bigger[i] = std::move(slots_[(head_ + i) & mask_]);
    slots_ = std::move(bigger);
    mask_ = slots_.size() - 1;
    head_ = 0;
  }
  std::vector<DispatchBlock> slots_;  // size is zero or a power of two
  size_t mask_ = 0;
  size_t head_ = 0;
  size_t size_ = 0;
};

// A block submitted to a global queue, carried to the pool in its own node.
struct BlockWork : dd::Work {
  DispatchQueue* queue = nullptr;  // a global queue: lives as long as the process
  DispatchBlock block;

  static void run(dd::Work* work) {
    auto* self = static_cast<BlockWork*>(work);
    {
      dd::CurrentQueueScope scope(self->queue);
      self->block();
    }
    delete self;  // what the block captured goes before the job counts as done
  }
};

}  // namespace

struct DispatchQueue::Impl {
  enum class Kind { Global, Main, Custom };
  Kind kind = Kind::Custom;
  DispatchQueue* self = nullptr;
  std::weak_ptr<DispatchQueue> weakSelf;

  mutable dd::QueueLock mutex;
  BlockRing items;                          // guarded by mutex
  bool scheduled = false;                   // guarded by mutex (serial queues)
  int suspendCount = 0;                     // guarded by mutex
  std::shared_ptr<DispatchQueue> target;    // guarded by mutex; null: default global
  // Holds the queue alive while `scheduled` by a posted drain; guarded by mutex.
  std::shared_ptr<DispatchQueue> drainKeep;

  // The pool node of this queue's drain while it targets a global queue.
  // Filled by whoever posts the drain: at most one is posted at a time.
  struct DrainWork : dd::Work {
    Impl* impl = nullptr;
    DispatchQueue* global = nullptr;  // the target, on the stack of queues under the drain
    static void run(dd::Work* work) {
      auto* self = static_cast<DrainWork*>(work);
      dd::CurrentQueueScope scope(self->global);
      self->impl->drain();
    }
  } drainWork;
  DispatchQueue* defaultGlobal = nullptr;  // custom queues: the global queue of their qos

  static constexpr int kDrainBatch = 128;

  std::shared_ptr<DispatchQueue> effectiveTarget() const {
    std::lock_guard<dd::QueueLock> lock(mutex);
    return target ? target : DispatchQueue::global(self->qos());
  }

  // Posts a job that runs "on" this queue's target.
  void postToTarget(dd::Job job) {
    auto t = effectiveTarget();
    t->impl().submitJob(std::move(job));
  }

  // Runs `job` as a block of this queue (the job sets up its own scopes).
  void submitJob(dd::Job&& job) {
    switch (kind) {
      case Kind::Global: {
        auto* work = new BlockWork();
        work->invoke = &BlockWork::run;
        work->priority = dd::priorityIndex(self->qos());
        work->queue = self;
        work->block = std::move(job);
        dd::poolSubmit(work);
        return;
      }
      case Kind::Main:
      case Kind::Custom:
        enqueue(std::move(job));
        return;
    }
  }

  // A drain is due: marks it scheduled and returns where to post it (null:
  // the default global queue). Requires mutex.
  std::shared_ptr<DispatchQueue> scheduleLocked() {
    scheduled = true;
    drainKeep = weakSelf.lock();  // a queue with pending work stays alive
    return target;
  }

  void enqueue(DispatchBlock&& block) {
    if (self->isSerial()) {
      bool post = false;
      std::shared_ptr<DispatchQueue> to;
      {
        std::lock_guard<dd::QueueLock> lock(mutex);
        items.push(std::move(block));
        if (!scheduled && suspendCount == 0) {
          post = true;
          to = scheduleLocked();
        }
      }
      if (post) postDrain(to, true);
      return;
    }
    {
      std::lock_guard<dd::QueueLock> lock(mutex);
      if (suspendCount > 0) {
        items.push(std::move(block));
        return;
      }
    }
    forward(std::move(block));
  }

  // Concurrent custom queue: one block to the target.
  void forward(DispatchBlock block) {
    auto keep = weakSelf.lock();
    postToTarget([this, keep, block = std::move(block)] {
      dd::CurrentQueueScope scope(self);
      block();
    });
  }

  // `to` as scheduleLocked() returned it. `mayDefer`: a worker posting it
  // may run it next itself (false when the drain yields to others).
  void postDrain(const std::shared_ptr<DispatchQueue>& to, bool mayDefer) {
    if (kind == Kind::Main) {
      RunLoop::main().perform([this] { drain(); }, kRunLoopCommonModes);
      return;
    }
    if (to && to->impl().kind != Kind::Global) {
      to->impl().submitJob([this] { drain(); });
      return;
    }
    DispatchQueue* global = to ? to.get() : defaultGlobal;
    drainWork.impl = this;
    drainWork.invoke = &DrainWork::run;
    drainWork.global = global;
    drainWork.priority = dd::priorityIndex(global->qos());
    dd::poolSubmit(&drainWork, mayDefer);
  }

  void drain() {
    std::shared_ptr<DispatchQueue> keep;  // released last: it may hold the queue's last reference
    std::shared_ptr<DispatchQueue> to;
    {
      dd::CurrentQueueScope scope(self);
      for (int n = 0;; ++n) {
        DispatchBlock block;
        {
          std::lock_guard<dd::QueueLock> lock(mutex);
          if (suspendCount > 0 || items.empty()) {
            scheduled = false;
            keep = std::move(drainKeep);
            return;
          }
          if (n >= kDrainBatch) {  // let other queues of the target run
            to = target;
            break;
          }
          block = items.pop();
        }
        // Going on draining: what the last block posted runs elsewhere
        // rather than behind this queue.
        if (n > 0) dd::releaseDeferredWork();
        block();
      }
    }
    postDrain(to, false);
  }

  // True when running a block inline on the calling thread keeps this
  // queue's guarantees: nothing serial between it and the pool.
  bool chainIsConcurrentToPool() const {
    if (kind == Kind::Global) return true;
    if (kind == Kind::Main || self->isSerial()) return false;
    return effectiveTarget()->impl().chainIsConcurrentToPool();
  }
  bool chainReachesMain() const {
    if (kind == Kind::Main) return true;
    if (kind == Kind::Global) return false;
    return effectiveTarget()->impl().chainReachesMain();
  }
  // Aborts when a serial queue on the chain is already running on this
  // thread: waiting for it would never end.
  void checkNotWaitingOnSelf() const {
    if ((self->isSerial()) && dd::onQueueStack(self)) {
      std::string msg = "sync onto the current serial queue \"" + self->label() + "\" would deadlock";
      dd::fatal(msg.c_str());
    }
    if (kind != Kind::Global && kind != Kind::Main) effectiveTarget()->impl().checkNotWaitingOnSelf();
  }
};

DispatchQueue::DispatchQueue(std::string label, bool serial, QualityOfService qos)
    : label_(std::move(label)), serial_(serial), qos_(qos), impl_(std::make_unique<Impl>()) {
  impl_->self = this;
}

DispatchQueue::~DispatchQueue() = default;

namespace {
struct QueueMaker : DispatchQueue {
  QueueMaker(std::string label, bool serial, QualityOfService qos) : DispatchQueue(std::move(label), serial, qos) {}
};
std::shared_ptr<DispatchQueue> makeQueue(std::string label, bool serial, QualityOfService qos,
                                         DispatchQueue::Impl::Kind kind) {
  std::shared_ptr<DispatchQueue> q = std::make_shared<QueueMaker>(std::move(label), serial, qos);
  q->impl().kind = kind;
  q->impl().weakSelf = q;
  return q;
}
}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::create(std::string label, Attributes attributes, QualityOfService qos,
                                                     std::shared_ptr<DispatchQueue> target) {
  if (qos == QualityOfService::Unspecified) qos = QualityOfService::Default;
  auto q = makeQueue(std::move(label), attributes == Attributes::Serial, qos, Impl::Kind::Custom);
  q->impl().defaultGlobal = global(qos).get();
  q->impl().target = std::move(target);
  return q;
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  static std::shared_ptr<DispatchQueue>* q = new std::shared_ptr<DispatchQueue>(
      makeQueue(kMainQueueLabel, true, QualityOfService::UserInteractive, Impl::Kind::Main));
  return *q;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QualityOfService qos) {
  static const char* const kLabels[5] = {
      "com.apple.root.user-interactive-qos", "com.apple.root.user-initiated-qos", "com.apple.root.default-qos",
      "com.apple.root.utility-qos", "com.apple.root.background-qos"};
  static const QualityOfService kQos[5] = {QualityOfService::UserInteractive, QualityOfService::UserInitiated,
                                           QualityOfService::Default, QualityOfService::Utility,
                                           QualityOfService::Background};
  static std::shared_ptr<DispatchQueue>* queues = [] {
    auto* qs = new std::shared_ptr<DispatchQueue>[5];
    for (int i = 0; i < 5; ++i) qs[i] = makeQueue(kLabels[i], false, kQos[i], Impl::Kind::Global);
    return qs;
  }();
  return queues[dd::priorityIndex(qos)];
}

std::shared_ptr<DispatchQueue> DispatchQueue::current() {
  if (auto* q = dd::innermostQueue()) return q->impl().weakSelf.lock();
  if (isMainThread()) return main();
  return nullptr;
}

std::string DispatchQueue::currentLabel() {
  auto q = current();
  return q ? q->label() : std::string();
}

bool DispatchQueue::isMainThread() { return dd::isMainThreadId(); }

bool DispatchQueue::isCurrent() const {
  if (impl_->kind == Impl::Kind::Main) return isMainThread();
  return dd::onQueueStack(this);
}

void DispatchQueue::async(DispatchBlock block) {
  if (!block) return;
  impl_->submitJob(std::move(block));
}

void DispatchQueue::async(const std::shared_ptr<DispatchGroup>& group, DispatchBlock block) {
  if (!group) return async(std::move(block));
  if (!block) return;
  group->enter();
  async([group, block = std::move(block)] {
    block();
    group->leave();
  });
}

void DispatchQueue::sync(const DispatchBlock& block) {
  if (!block) return;
  Impl& im = *impl_;
  bool mainPump = isMainThread() && im.chainReachesMain() && !dd::onQueueStack(main().get());
  if (!mainPump) im.checkNotWaitingOnSelf();

  if (im.kind == Impl::Kind::Global) {
    dd::CurrentQueueScope scope(this);
    block();
    return;
  }
  if (!serial_ && im.chainIsConcurrentToPool()) {
    bool suspended;
    {
      std::lock_guard<dd::QueueLock> lock(im.mutex);
      suspended = im.suspendCount > 0;
    }
    if (!suspended) {
      dd::CurrentQueueScope scope(this);
      block();
      return;
    }
  }
  if (serial_ && im.kind == Impl::Kind::Custom && im.effectiveTarget()->impl().kind == Impl::Kind::Global) {
    // Fast path: an idle serial queue is taken by the caller and the block
    // runs inline, as if drained here.
    bool claimed = false;
    {
      std::lock_guard<dd::QueueLock> lock(im.mutex);
      if (!im.scheduled && im.items.empty() && im.suspendCount == 0) claimed = im.scheduled = true;
    }
    if (claimed) {
      {
        dd::CurrentQueueScope scope(this);
        block();
      }
      bool post = false;
      std::shared_ptr<DispatchQueue> to;
      {
        std::lock_guard<dd::QueueLock> lock(im.mutex);
        if (!im.items.empty() && im.suspendCount == 0) {
          post = true;
          to = im.scheduleLocked();
        } else {
          im.scheduled = false;
        }
      }
      if (post) im.postDrain(to, true);
      return;
    }
  }
  // Slow path: queue the block and wait for it.
  struct Done {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  const bool waiterIsWorker = dd::isPoolWorker() && !mainPump;
  im.enqueue([&block, done, waiterIsWorker] {
    block();
    if (waiterIsWorker) dd::countResumedWorker();
    std::lock_guard<std::mutex> lock(done->m);
    done->done = true;
    done->cv.notify_all();
  });
  if (mainPump) {
    // Only this thread runs the main queue: run it until our block has run.
    auto isDone = [&] {
      std::lock_guard<std::mutex> lock(done->m);
      return done->done;
    };
    while (!isDone()) RunLoop::main().runOnce(kDefaultRunLoopMode, DispatchTime::fromNow(0.05));
    return;
  }
  dd::BlockingScope blocking(waiterIsWorker ? dd::BlockingScope::Resume::ByWaker : dd::BlockingScope::Resume::BySelf);
  std::unique_lock<std::mutex> lock(done->m);
  done->cv.wait(lock, [&] { return done->done; });
}

void DispatchQueue::after(DispatchTime deadline, DispatchBlock block) {
  if (!block || deadline.isForever()) return;
  if (deadline.hasPassed()) return async(std::move(block));
  auto self = shared_from_this();
  dd::Scheduler::shared().schedule(deadline, [self, block = std::move(block)]() mutable {
    self->async(std::move(block));
  });
}

void DispatchQueue::after(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item) {
  if (!item) return;
  after(deadline, [item = std::move(item)] { item->perform(); });
}

std::shared_ptr<DispatchWorkItem> DispatchWorkItem::create(DispatchBlock block) {
  return std::shared_ptr<DispatchWorkItem>(new DispatchWorkItem(std::move(block)));
}

void DispatchWorkItem::perform() {
  DispatchBlock block;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_ || !block_) return;
    block = block_;  // runs outside the lock, so the block may cancel its own item
  }
  block();
}

void DispatchWorkItem::cancel() {
  DispatchBlock dropped;
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    dropped = std::move(block_);
    block_ = nullptr;
  }
  // `dropped` (and what it captured) is released here, outside the lock.
}

bool DispatchWorkItem::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void DispatchQueue::apply(size_t iterations, const std::function<void(size_t)>& fn) {
  if (iterations == 0 || !fn) return;
  if (serial_ || iterations == 1) {
    sync([&] {
      for (size_t i = 0; i < iterations; ++i) fn(i);
    });
    return;
  }
  std::atomic<size_t> next{0};
  size_t workers = std::min(iterations, dispatch::maxActiveWorkers());
  auto group = DispatchGroup::create();
  for (size_t w = 0; w < workers; ++w) {
    async(group, [&] {
      for (size_t i; (i = next.fetch_add(1)) < iterations;) fn(i);
    });
  }
  group->wait();
}

void DispatchQueue::suspend() {
  if (impl_->kind != Impl::Kind::Custom) return;
  std::lock_guard<dd::QueueLock> lock(impl_->mutex);
  ++impl_->suspendCount;
}

void DispatchQueue::resume() {
  if (impl_->kind != Impl::Kind::Custom) return;
  Impl& im = *impl_;
  std::vector<DispatchBlock> held;
  bool post = false;
  std::shared_ptr<DispatchQueue> to;
  {
    std::lock_guard<dd::QueueLock> lock(im.mutex);
    if (im.suspendCount == 0) dd::fatal("DispatchQueue::resume without a matching suspend");
    if (--im.suspendCount > 0) return;
    if (serial_) {
      if (!im.scheduled && !im.items.empty()) {
        post = true;
        to = im.scheduleLocked();
      }
    } else {
      while (!im.items.empty()) held.push_back(im.items.pop());
    }
  }
  if (post) im.postDrain(to, true);
  for (auto& b : held) im.forward(std::move(b));
}

bool DispatchQueue::isSuspended() const {
  std::lock_guard<dd::QueueLock> lock(impl_->mutex);
  return impl_->suspendCount > 0;
}

void DispatchQueue::setTarget(std::shared_ptr<DispatchQueue> target) {
  if (impl_->kind != Impl::Kind::Custom) return;
  for (auto t = target; t; t = t->impl().kind == Impl::Kind::Custom ? t->target() : nullptr) {
    if (t.get() == this) dd::fatal("DispatchQueue::setTarget would make a cycle");
  }
  std::lock_guard<dd::QueueLock> lock(impl_->mutex);
  impl_->target = std::move(target);
}

std::shared_ptr<DispatchQueue> DispatchQueue::target() const {
  if (impl_->kind != Impl::Kind::Custom) return nullptr;
  return impl_->effectiveTarget();
}

// ---- groups ----

std::shared_ptr<DispatchGroup> DispatchGroup::create() {
  return std::shared_ptr<DispatchGroup>(new DispatchGroup());
}

DispatchGroup::~DispatchGroup() = default;

void DispatchGroup::enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
}

void DispatchGroup::leave() {
  std::vector<std::pair<std::shared_ptr<DispatchQueue>, DispatchBlock>> fire;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) dd::fatal("DispatchGroup::leave without a matching enter");
    if (--count_ > 0) return;
    fire.swap(notifications_);
    cv_.notify_all();
  }
  for (auto& [q, b] : fire) q->async(std::move(b));
}

int64_t DispatchGroup::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_;
}

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, DispatchBlock block) {
  if (!block) return;
  if (!queue) queue = DispatchQueue::global();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0) {
      notifications_.emplace_back(std::move(queue), std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

namespace {
// The threads blocked in a wait that a deadline ends (waitForDeadlineWaiters).
struct DeadlineWaiters {
  std::mutex mutex;
  std::condition_variable cv;
  size_t count = 0;  // guarded by mutex
};

DeadlineWaiters& deadlineWaiters() {
  static DeadlineWaiters* w = new DeadlineWaiters();
  return *w;
}

// Counts the calling thread among the deadline waiters for its lifetime.
class DeadlineWaiterScope {
 public:
  DeadlineWaiterScope() { change(+1); }
  ~DeadlineWaiterScope() { change(-1); }
  DeadlineWaiterScope(const DeadlineWaiterScope&) = delete;
  DeadlineWaiterScope& operator=(const DeadlineWaiterScope&) = delete;

 private:
  static void change(int by) {
    auto& w = deadlineWaiters();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.count += by;
    w.cv.notify_all();
  }
};

// Waits on `cv` under `lock` until `ready()` or the deadline; the deadline is
// a scheduler entry so that a manual clock controls it.
template <class Ready>
DispatchWaitResult timedWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DispatchTime deadline,
                             Ready ready) {
  if (ready()) return DispatchWaitResult::Success;
  if (!deadline.isForever() && deadline.hasPassed()) return DispatchWaitResult::TimedOut;
  dd::BlockingScope blocking;
  if (deadline.isForever()) {
    cv.wait(lock, ready);
    return DispatchWaitResult::Success;
  }
  struct Flag {
    std::atomic<bool> timedOut{false};
  };
  auto flag = std::make_shared<Flag>();
  std::mutex* m = lock.mutex();
  // The entry only touches the mutex and cv while the waiter has not
  // returned: cancel() below either removes it or waits for it via the
  // firing order (it fires under fireMutex; we re-check under the mutex).
  auto id = dd::Scheduler::shared().schedule(deadline, [flag, m, &cv] {
    std::lock_guard<std::mutex> l(*m);
    flag->timedOut = true;
    cv.notify_all();
  });
  {
    // Counted once the entry exists: an advance past the deadline from now
    // on ends this wait.
    DeadlineWaiterScope counted;
    cv.wait(lock, [&] { return ready() || flag->timedOut.load(); });
  }
  bool ok = ready();
  lock.unlock();
  if (!dd::Scheduler::shared().cancel(id)) {
    // Already popped: it may be firing now. Wait until it has set the flag
    // so that it cannot touch `cv` after we return.
    lock.lock();
    cv.wait(lock, [&] { return flag->timedOut.load(); });
    lock.unlock();
  }
  lock.lock();
  return ok ? DispatchWaitResult::Success : DispatchWaitResult::TimedOut;
}
}  // namespace

DispatchWaitResult DispatchGroup::wait(DispatchTime deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return timedWait(lock, cv_, deadline, [&] { return count_ == 0; });
}

// ---- semaphores ----

std::shared_ptr<DispatchSemaphore> DispatchSemaphore::create(long value) {
  if (value < 0) return nullptr;
  return std::shared_ptr<DispatchSemaphore>(new DispatchSemaphore(value));
}

bool DispatchSemaphore::signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++value_;
  if (waiters_ > 0) {
    cv_.notify_one();
    return true;
  }
  return false;
}

DispatchWaitResult DispatchSemaphore::wait(DispatchTime deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++waiters_;
  auto r = timedWait(lock, cv_, deadline, [&] { return value_ > 0; });
  --waiters_;
  if (r == DispatchWaitResult::Success) --value_;
  return r;
}

// ---- once ----

void once(OnceFlag& flag, const std::function<void()>& fn) {
  if (flag.done_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(flag.mutex_);
  if (flag.done_.load(std::memory_order_relaxed)) return;
  fn();
  flag.done_.store(true, std::memory_order_release);
}

// ---- draining ----

namespace dispatch {

size_t maxActiveWorkers() { return dd::pool().maxActive(); }

OutsideWork::OutsideWork() { dd::activity().add(1); }
OutsideWork::~OutsideWork() { dd::activity().add(-1); }

uintptr_t queueLabelSlotAddress(int tid) {
  if (tid <= 0) return 0;
  for (auto& e : dd::gLabelSlots) {
    if (e.tid.load(std::memory_order_acquire) != tid) continue;
    uintptr_t slot = e.slot.load(std::memory_order_acquire);
    // The entry may have changed hands between the two reads.
    return e.tid.load(std::memory_order_acquire) == tid ? slot : 0;
  }
  return 0;
}

bool waitForDeadlineWaiters(size_t count, double realTimeoutSeconds) {
  auto& w = deadlineWaiters();
  std::unique_lock<std::mutex> lock(w.mutex);
  return w.cv.wait_for(lock, std::chrono::nanoseconds(int64_t(std::max(0.0, realTimeoutSeconds) * 1e9)),
                       [&] { return w.count >= count; });
}

bool drainUntilIdle(double realTimeoutSeconds) {
  auto limit = std::chrono::steady_clock::now() +
               std::chrono::nanoseconds(int64_t(std::max(0.0, realTimeoutSeconds) * 1e9));
  auto& act = dd::activity();
  bool onMain = DispatchQueue::isMainThread();
  // A worker calling this waits for others, not for itself.
  dd::BlockingScope blocking;
  RunLoop* mainLoop = onMain ? &RunLoop::main() : nullptr;
  for (;;) {
    if (mainLoop) {
      while (mainLoop->runOnce(kDefaultRunLoopMode, DispatchTime::now())) {
      }
    }
    std::unique_lock<std::mutex> lock(act.mutex);
    auto idle = [&] { return act.busy.load() == 0; };
    auto mainReady = [&] { return mainLoop && dd::mainRunLoopHasReady(); };
    if (idle() && !mainReady()) return true;
    ++act.waiters;
    bool woke = act.cv.wait_until(lock, limit, [&] { return idle() || mainReady(); });
    --act.waiters;
    if (!woke) return false;
  }
}

}  // namespace dispatch
}  // namespace os
