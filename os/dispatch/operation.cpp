// Operations and operation queues.
//
// Lock order: a subclass's own lock (held while it announces) may be taken
// before Operation::State::mutex or OperationQueue::Impl::mutex, never
// after. So neither of ours is held while calling an operation's virtual
// state methods, start(), or observers.
#include "os/dispatch/operation.h"

#include <algorithm>
#include <cstdio>
#include <list>
#include <map>

#include "os/dispatch/detail.h"

namespace os {

namespace dd = dispatch::detail;

struct Operation::State {
  mutable std::mutex mutex;
  std::condition_variable finishedCv;
  bool executing = false;                             // guarded by mutex
  bool finished = false;                              // guarded by mutex
  bool finishSeen = false;                            // guarded by mutex: "isFinished" announced true
  std::atomic<bool> cancelled{false};
  std::atomic<bool> completionDispatched{false};
  std::atomic<bool> enqueued{false};
  DispatchBlock completion;                           // guarded by mutex
  std::string name;                                   // guarded by mutex
  std::vector<std::shared_ptr<Operation>> dependencies;  // guarded by mutex
  std::vector<std::weak_ptr<Operation>> dependents;      // guarded by mutex
  std::map<ObserverToken, Observer> observers;        // guarded by mutex
  ObserverToken nextToken = 0;                        // guarded by mutex
};

Operation::Operation() : state_(std::make_shared<State>()) {}
Operation::~Operation() = default;

void Operation::start() {
  if (isCancelled()) {
    setFinished(true);
    return;
  }
  setExecuting(true);
  main();
  setExecuting(false);
  setFinished(true);
}

bool Operation::isExecuting() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->executing;
}

bool Operation::isFinished() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->finished;
}

bool Operation::isReady() const {
  if (isCancelled()) return true;
  std::vector<std::shared_ptr<Operation>> deps;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    deps = state_->dependencies;
  }
  return std::all_of(deps.begin(), deps.end(), [](const auto& d) { return d->isFinished(); });
}

bool Operation::isCancelled() const { return state_->cancelled.load(); }

void Operation::cancel() {
  if (state_->cancelled.load()) return;
  willChangeValueForKey(kOperationIsCancelledKey);
  state_->cancelled.store(true);
  didChangeValueForKey(kOperationIsCancelledKey);
  // Cancelled operations are ready, so that their queue starts (and
  // finishes) them.
  willChangeValueForKey(kOperationIsReadyKey);
  didChangeValueForKey(kOperationIsReadyKey);
}

void Operation::setCompletionBlock(DispatchBlock block) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->completion = std::move(block);
}

DispatchBlock Operation::completionBlock() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->completion;
}

void Operation::addDependency(const std::shared_ptr<Operation>& op) {
  if (!op || op.get() == this) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->dependencies.push_back(op);
  }
  std::lock_guard<std::mutex> lock(op->state_->mutex);
  op->state_->dependents.push_back(weak_from_this());
}

void Operation::removeDependency(const std::shared_ptr<Operation>& op) {
  if (!op) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto& d = state_->dependencies;
    d.erase(std::remove(d.begin(), d.end(), op), d.end());
  }
  willChangeValueForKey(kOperationIsReadyKey);
  didChangeValueForKey(kOperationIsReadyKey);
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->dependencies;
}

void Operation::waitUntilFinished() {
  dd::BlockingScope blocking;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->finishedCv.wait(lock, [&] { return state_->finishSeen || state_->finished; });
}

std::string Operation::name() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->name;
}

void Operation::setName(std::string name) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->name = std::move(name);
}

Operation::ObserverToken Operation::addObserver(Observer observer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto token = ++state_->nextToken;
  state_->observers.emplace(token, std::move(observer));
  return token;
}

void Operation::removeObserver(ObserverToken token) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->observers.erase(token);
}

void Operation::willChangeValueForKey(const std::string&) {}

void Operation::didChangeValueForKey(const std::string& key) {
  std::vector<Observer> observers;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto& [token, o] : state_->observers) observers.push_back(o);
  }
  bool finishedNow = key == kOperationIsFinishedKey && isFinished();
  std::vector<std::weak_ptr<Operation>> dependents;
  DispatchBlock completion;
  if (finishedNow) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->finishSeen = true;
    state_->finishedCv.notify_all();
    dependents = state_->dependents;
    if (!state_->completionDispatched.exchange(true)) completion = std::move(state_->completion);
  }
  for (auto& o : observers) o(*this, key);
  if (finishedNow) {
    for (auto& w : dependents) {
      if (auto d = w.lock()) {
        d->willChangeValueForKey(kOperationIsReadyKey);
        d->didChangeValueForKey(kOperationIsReadyKey);
      }
    }
    if (completion) DispatchQueue::global()->async(std::move(completion));
  }
}

void Operation::setExecuting(bool executing) {
  willChangeValueForKey(kOperationIsExecutingKey);
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->executing = executing;
  }
  didChangeValueForKey(kOperationIsExecutingKey);
}

void Operation::setFinished(bool finished) {
  willChangeValueForKey(kOperationIsFinishedKey);
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->finished = finished;
  }
  didChangeValueForKey(kOperationIsFinishedKey);
}

// ---- BlockOperation ----

std::shared_ptr<BlockOperation> BlockOperation::create(DispatchBlock block) {
  auto op = std::make_shared<BlockOperation>();
  if (block) op->addExecutionBlock(std::move(block));
  return op;
}

void BlockOperation::addExecutionBlock(DispatchBlock block) {
  if (!block) return;
  std::lock_guard<std::mutex> lock(mutex_);
  blocks_.push_back(std::move(block));
}

std::vector<DispatchBlock> BlockOperation::executionBlocks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocks_;
}

void BlockOperation::main() {
  auto blocks = executionBlocks();
  if (blocks.size() == 1) {
    blocks[0]();
    return;
  }
  DispatchQueue::global()->apply(blocks.size(), [&](size_t i) { blocks[i](); });
}

// ---- AsynchronousOperation ----

void AsynchronousOperation::start() {
  if (isCancelled()) {
    setFinished(true);
    return;
  }
  setExecuting(true);
  main();
}

void AsynchronousOperation::finish() {
  if (isFinished()) return;
  setExecuting(false);
  setFinished(true);
}

// ---- OperationQueue ----

struct OperationQueue::Impl : std::enable_shared_from_this<OperationQueue::Impl> {
  struct Entry {
    std::shared_ptr<Operation> op;
    Operation::ObserverToken token = 0;
    bool started = false;
  };

  mutable std::mutex mutex;
  std::condition_variable emptied;
  std::list<Entry> entries;                           // guarded by mutex; in the order added
  int running = 0;                                    // guarded by mutex
  int maxCount = kOperationQueueDefaultMaxConcurrentOperationCount;  // guarded by mutex
  bool suspended = false;                             // guarded by mutex
  std::string name;                                   // guarded by mutex
  QualityOfService qos = QualityOfService::Default;   // guarded by mutex
  std::shared_ptr<DispatchQueue> underlying;          // guarded by mutex

  // Requires mutex.
  bool full() const { return suspended || (maxCount >= 0 && running >= maxCount); }

  // Starts ready operations while there is room.
  void schedule() {
    for (;;) {
      std::vector<std::shared_ptr<Operation>> candidates;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (full()) return;
        for (auto& e : entries)
          if (!e.started) candidates.push_back(e.op);
      }
      std::shared_ptr<Operation> chosen;
      for (auto& c : candidates) {
        if (c->isReady()) {
          chosen = c;
          break;
        }
      }
      if (!chosen) return;
      std::shared_ptr<DispatchQueue> target;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (full()) return;
        auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.op == chosen; });
        if (it == entries.end() || it->started) continue;
        it->started = true;
        ++running;
        target = underlying ? underlying : DispatchQueue::global(qos);
      }
      target->async([chosen] { chosen->start(); });
    }
  }

  void observe(Operation& op, const std::string& key) {
    if (key == kOperationIsFinishedKey) {
      if (!op.isFinished()) return;
      Operation::ObserverToken token = 0;
      std::shared_ptr<Operation> keep;
      {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.op.get() == &op; });
        if (it == entries.end()) return;
        // An operation that finishes without being started never held a slot.
        if (it->started) --running;
        token = it->token;
        keep = std::move(it->op);
        entries.erase(it);
        if (entries.empty()) emptied.notify_all();
      }
      keep->removeObserver(token);
      schedule();
    } else if (key == kOperationIsReadyKey || key == kOperationIsCancelledKey) {
      schedule();
    }
  }
};

OperationQueue::OperationQueue() : impl_(std::make_shared<Impl>()) {}

OperationQueue::~OperationQueue() = default;

std::shared_ptr<OperationQueue> OperationQueue::create(std::string name) {
  auto q = std::shared_ptr<OperationQueue>(new OperationQueue());
  q->impl_->name = std::move(name);
  return q;
}

std::shared_ptr<OperationQueue> OperationQueue::mainQueue() {
  static std::shared_ptr<OperationQueue>* q = [] {
    auto* p = new std::shared_ptr<OperationQueue>(create("NSOperationQueue Main Queue"));
    (*p)->impl_->maxCount = 1;
    (*p)->impl_->underlying = DispatchQueue::main();
    return p;
  }();
  return *q;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> op) {
  if (!op) return;
  if (op->state_->enqueued.exchange(true) || op->isExecuting() || op->isFinished()) {
    std::fprintf(stderr, "OperationQueue::addOperation: operation already queued, executing or finished\n");
    return;
  }
  std::weak_ptr<Impl> weak = impl_;
  auto token = op->addObserver([weak](Operation& o, const std::string& key) {
    if (auto im = weak.lock()) im->observe(o, key);
  });
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->entries.push_back({op, token, false});
  }
  impl_->schedule();
}

void OperationQueue::addOperations(const std::vector<std::shared_ptr<Operation>>& ops, bool waitUntilFinished) {
  for (auto& op : ops) addOperation(op);
  if (!waitUntilFinished) return;
  for (auto& op : ops)
    if (op) op->waitUntilFinished();
}

void OperationQueue::addOperationWithBlock(DispatchBlock block) { addOperation(BlockOperation::create(std::move(block))); }

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<std::shared_ptr<Operation>> out;
  for (auto& e : impl_->entries) out.push_back(e.op);
  return out;
}

size_t OperationQueue::operationCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->entries.size();
}

int OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->maxCount;
}

void OperationQueue::setMaxConcurrentOperationCount(int count) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->maxCount = count < 0 ? kOperationQueueDefaultMaxConcurrentOperationCount : count;
  }
  impl_->schedule();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->suspended = suspended;
  }
  if (!suspended) impl_->schedule();
}

std::string OperationQueue::name() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->name;
}

void OperationQueue::setName(std::string name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->name = std::move(name);
}

QualityOfService OperationQueue::qualityOfService() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->qos;
}

void OperationQueue::setQualityOfService(QualityOfService qos) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->qos = qos == QualityOfService::Unspecified ? QualityOfService::Default : qos;
}

void OperationQueue::setUnderlyingQueue(std::shared_ptr<DispatchQueue> queue) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->underlying = std::move(queue);
}

void OperationQueue::cancelAllOperations() {
  for (auto& op : operations()) op->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  dd::BlockingScope blocking;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->emptied.wait(lock, [&] { return impl_->entries.empty(); });
}

}  // namespace os
