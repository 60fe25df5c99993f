// The promise core: state, observation, chaining and the class-wide state.
//
// States: Pending -> Fulfilled | Rejected, once (settle()). Invariants:
//  1. resolution_ is null while pending and never changes after settle().
//  2. While pending, observers_ holds every observer registered so far, in
//     registration order; settle() hands each to its queue under mutex_, so an
//     observer registered after settlement (submitted at once, also under
//     mutex_) is queued behind every earlier one.
//  3. counted_ is true exactly while a promise created pending has neither
//     settled nor been destroyed; it leaves the dispatch group only after the
//     observer tasks of its settlement have entered it.
//  4. No user code runs under mutex_: observers only submit tasks, and the
//     observer list and pending objects are destroyed after unlocking.
#include "platform/promises/aravuvo.h"

#include <cxxabi.h>

#include <cstdlib>
#include <limits>

#include "os/foundation/format.h"
#include "platform/promises/internal.h"

namespace {

struct ClassState {
  std::mutex mutex;
  VUVAravuvo::Queue defaultQueue;           // guarded by mutex; the main queue until first read or set
  VUVAravuvo::AssertionHandler assertion;   // guarded by mutex; null means the default (throwing) one
};

// Never destroyed: promises may still be destroyed during static teardown.
ClassState& classState() {
  static auto* state = new ClassState;
  return *state;
}

}  // namespace

namespace promises::detail {

void resolveWith(const VUVAravuvo::Queue& queue, const VUVAravuvoPtr& promise, std::any result) {
  if (auto adopted = VUVAravuvo::asPromise(result)) {
    adopted->observeOnQueue(
        queue, [promise](const std::any& value) { promise->fulfill(value); },
        [promise](const os::Error& error) { promise->reject(error); });
    return;
  }
  promise->fulfill(std::move(result));
}

os::DispatchTime deadlineAfter(double seconds) {
  constexpr double kMaxSeconds = static_cast<double>(std::numeric_limits<int64_t>::max()) / 1e9;
  if (!(seconds > 0)) return os::DispatchTime::now();
  if (seconds >= kMaxSeconds) return os::DispatchTime::now().afterNanos(std::numeric_limits<int64_t>::max());
  return os::DispatchTime::fromNowNanos(static_cast<int64_t>(seconds * 1e9));
}

std::string demangle(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string out = (status == 0 && name) ? name : type.name();
  std::free(name);
  return out;
}

std::string describeObject(const std::any& object) {
  if (!object.has_value()) return "(null)";
  if (auto* v = std::any_cast<os::Value>(&object)) return v->description();
  if (auto* n = std::any_cast<os::Number>(&object)) return n->description();
  if (auto* e = std::any_cast<os::Error>(&object)) return e->description();
  if (auto* s = std::any_cast<std::string>(&object)) return *s;
  if (auto* s = std::any_cast<const char*>(&object)) return *s ? *s : "(null)";
  if (auto* b = std::any_cast<bool>(&object)) return *b ? "1" : "0";
  if (auto* i = std::any_cast<int>(&object)) return std::to_string(*i);
  if (auto* i = std::any_cast<long>(&object)) return std::to_string(*i);
  if (auto* i = std::any_cast<long long>(&object)) return std::to_string(*i);
  if (auto* d = std::any_cast<double>(&object)) return os::swiftDescription(*d);
  if (auto* p = std::any_cast<VUVAravuvoPtr>(&object)) return *p ? (*p)->description() : "(null)";
  if (auto* list = std::any_cast<VUVAravuvo::Objects>(&object)) {
    if (list->empty()) return "(\n)";
    std::string out = "(\n";
    for (size_t i = 0; i < list->size(); ++i) {
      out += "    " + describeObject((*list)[i]) + (i + 1 < list->size() ? ",\n" : "\n");
    }
    return out + ")";
  }
  return "<" + demangle(object.type()) + ">";
}

}  // namespace promises::detail

// --- Class-wide state.

VUVAravuvo::Queue VUVAravuvo::defaultDispatchQueue() {
  auto& state = classState();
  std::lock_guard lock(state.mutex);
  if (!state.defaultQueue) state.defaultQueue = os::DispatchQueue::main();
  return state.defaultQueue;
}

void VUVAravuvo::setDefaultDispatchQueue(Queue queue) {
  if (!require(queue != nullptr, "queue")) return;
  auto& state = classState();
  std::lock_guard lock(state.mutex);
  state.defaultQueue = std::move(queue);
}

std::shared_ptr<os::DispatchGroup> VUVAravuvo::dispatchGroup() {
  static auto* group = new std::shared_ptr<os::DispatchGroup>(os::DispatchGroup::create());
  return *group;
}

VUVAravuvo::Object VUVAravuvo::nullObject() { return os::Value(); }

bool VUVAravuvo::isNullObject(const Object& object) {
  auto* value = std::any_cast<os::Value>(&object);
  return value && value->isNull();
}

VUVAravuvoPtr VUVAravuvo::asPromise(const Object& object) {
  auto* promise = std::any_cast<VUVAravuvoPtr>(&object);
  return promise ? *promise : nullptr;
}

const os::Error* VUVAravuvo::asError(const Object& object) { return std::any_cast<os::Error>(&object); }

VUVAravuvo::AssertionHandler VUVAravuvo::setAssertionHandler(AssertionHandler handler) {
  auto& state = classState();
  std::lock_guard lock(state.mutex);
  std::swap(state.assertion, handler);
  return handler;
}

void VUVAravuvo::raise(const std::string& description) {
  AssertionHandler handler;
  {
    auto& state = classState();
    std::lock_guard lock(state.mutex);
    handler = state.assertion;
  }
  if (!handler) throw os::Exception(os::kInternalInconsistencyException, description);
  handler(description);
}

bool VUVAravuvo::require(bool condition, const char* parameter) {
  if (!condition) raise(os::format(kVUVInvalidParameterFormat, parameter));
  return condition;
}

// --- Construction.

VUVAravuvo::VUVAravuvo() : counted_(true) { dispatchGroup()->enter(); }

VUVAravuvo::VUVAravuvo(Object resolution) {
  state_ = asError(resolution) ? State::Rejected : State::Fulfilled;
  resolution_ = std::make_shared<const std::any>(std::move(resolution));
}

VUVAravuvo::~VUVAravuvo() {
  // Observers of a promise that never settled are dropped uncalled.
  if (counted_) dispatchGroup()->leave();
}

VUVAravuvoPtr VUVAravuvo::pendingPromise() { return std::make_shared<VUVAravuvo>(); }

VUVAravuvoPtr VUVAravuvo::resolvedWith(Object resolution) {
  return std::make_shared<VUVAravuvo>(std::move(resolution));
}

// --- Settling.

void VUVAravuvo::fulfill(Object value) {
  if (auto* error = asError(value)) {
    reject(*error);
    return;
  }
  settle(State::Fulfilled, std::make_shared<const std::any>(std::move(value)));
}

void VUVAravuvo::reject(os::Error error) {
  settle(State::Rejected, std::make_shared<const std::any>(std::move(error)));
}

void VUVAravuvo::settle(State state, std::shared_ptr<const std::any> resolution) {
  std::unique_ptr<std::vector<Observer>> observers;
  std::unique_ptr<std::vector<Object>> pendingObjects;
  std::lock_guard lock(mutex_);
  if (state_ != State::Pending) return;
  state_ = state;
  resolution_ = std::move(resolution);
  pendingObjects = std::move(pendingObjects_);
  observers = std::move(observers_);
  if (observers) {
    for (auto& observer : *observers) submit(observer.queue, observer, state_, resolution_);
  }
  if (counted_) {
    counted_ = false;
    dispatchGroup()->leave();
  }
  // `lock` is released before `observers` and `pendingObjects` are destroyed:
  // destroying what they captured may run arbitrary destructors.
}

void VUVAravuvo::submit(const Queue& queue, const Observer& observer, State state,
                        const std::shared_ptr<const std::any>& resolution) {
  if (state == State::Fulfilled) {
    queue->async(dispatchGroup(), [onFulfill = observer.onFulfill, resolution] { onFulfill(*resolution); });
  } else {
    queue->async(dispatchGroup(), [onReject = observer.onReject, resolution] {
      onReject(*std::any_cast<os::Error>(resolution.get()));
    });
  }
}

// --- State.

bool VUVAravuvo::isPending() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Pending;
}

bool VUVAravuvo::isFulfilled() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Fulfilled;
}

bool VUVAravuvo::isRejected() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Rejected;
}

VUVAravuvo::Object VUVAravuvo::value() const {
  std::lock_guard lock(mutex_);
  return state_ == State::Fulfilled ? *resolution_ : Object();
}

std::optional<os::Error> VUVAravuvo::error() const {
  std::lock_guard lock(mutex_);
  if (state_ != State::Rejected) return std::nullopt;
  return *std::any_cast<os::Error>(resolution_.get());
}

void VUVAravuvo::addPendingObject(Object object) {
  if (!require(object.has_value(), "object")) return;
  std::lock_guard lock(mutex_);
  if (state_ != State::Pending) return;
  if (!pendingObjects_) pendingObjects_ = std::make_unique<std::vector<Object>>();
  pendingObjects_->push_back(std::move(object));
}

// --- Observation and chaining.

void VUVAravuvo::observeOnQueue(const Queue& queue, ObserveFulfill onFulfill, ObserveReject onReject) {
  if (!require(queue != nullptr, "queue") || !require(onFulfill != nullptr, "onFulfill") ||
      !require(onReject != nullptr, "onReject")) {
    return;
  }
  Observer observer{queue, std::move(onFulfill), std::move(onReject)};
  std::lock_guard lock(mutex_);
  if (state_ == State::Pending) {
    if (!observers_) observers_ = std::make_unique<std::vector<Observer>>();
    observers_->push_back(std::move(observer));
    return;
  }
  submit(queue, observer, state_, resolution_);
}

VUVAravuvoPtr VUVAravuvo::chainOnQueue(const Queue& queue, ChainedFulfill chainedFulfill,
                                       ChainedReject chainedReject) {
  if (!require(queue != nullptr, "queue")) return nullptr;
  auto chained = pendingPromise();
  observeOnQueue(
      queue,
      [queue, chained, chainedFulfill = std::move(chainedFulfill)](const Object& value) {
        if (chainedFulfill) {
          promises::detail::resolveWith(queue, chained, chainedFulfill(value));
        } else {
          chained->fulfill(value);
        }
      },
      [queue, chained, chainedReject = std::move(chainedReject)](const os::Error& error) {
        if (chainedReject) {
          promises::detail::resolveWith(queue, chained, chainedReject(error));
        } else {
          chained->reject(error);
        }
      });
  return chained;
}

std::string VUVAravuvo::description() const {
  State state;
  std::shared_ptr<const std::any> resolution;
  {
    // Described outside the lock: a value may itself be a promise.
    std::lock_guard lock(mutex_);
    state = state_;
    resolution = resolution_;
  }
  const void* self = this;
  switch (state) {
    case State::Fulfilled:
      return os::format("<VUVAravuvo %p> Fulfilled: %@", self, promises::detail::describeObject(*resolution));
    case State::Rejected:
      return os::format("<VUVAravuvo %p> Rejected: %@", self,
                        std::any_cast<os::Error>(resolution.get())->description());
    case State::Pending:
      break;
  }
  return os::format("<VUVAravuvo %p> Pending", self);
}
