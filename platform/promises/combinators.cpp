// The promise combinators: all, any and race (reduce lives with the operators).
//
// all and any collect outcomes into a shared slot list as they arrive rather
// than holding the input promises from each other's observers: that would
// make every input keep itself alive through its own observer list.
#include <mutex>
#include <utility>

#include "platform/promises/aravuvo.h"
#include "platform/promises/internal.h"

namespace {

// Outcomes of the inputs, indexed in input order.
struct Collected {
  std::mutex mutex;
  std::vector<std::any> outcomes;  // guarded by mutex; a value (nil as the null object) or an os::Error
  size_t unsettled;                // guarded by mutex
  size_t fulfilled = 0;            // guarded by mutex
  explicit Collected(size_t count) : outcomes(count), unsettled(count) {}
};

// Every element as a promise; a plain element becomes a promise settled with it.
std::vector<VUVAravuvoPtr> asPromises(const VUVAravuvo::Objects& elements) {
  std::vector<VUVAravuvoPtr> promises;
  promises.reserve(elements.size());
  for (const auto& element : elements) {
    auto promise = VUVAravuvo::asPromise(element);
    promises.push_back(promise ? promise : VUVAravuvo::resolvedWith(element));
  }
  return promises;
}

std::any orNull(const std::any& value) { return value.has_value() ? value : VUVAravuvo::nullObject(); }

}  // namespace

VUVAravuvoPtr VUVAravuvo::all(const Objects& promises) { return onQueueAll(defaultDispatchQueue(), promises); }

VUVAravuvoPtr VUVAravuvo::onQueueAll(const Queue& queue, const Objects& promises) {
  if (!require(queue != nullptr, "queue")) return nullptr;
  if (promises.empty()) return resolvedWith(Objects{});
  return onQueueAsync(queue, [queue, elements = promises](FulfillBlock fulfill, RejectBlock reject) {
    // A plain error element decides before anything is observed.
    for (const auto& element : elements) {
      if (asPromise(element)) continue;
      if (auto* error = asError(element)) {
        reject(*error);
        return;
      }
    }
    auto inputs = asPromises(elements);
    auto collected = std::make_shared<Collected>(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
      inputs[i]->observeOnQueue(
          queue,
          [collected, i, fulfill](const Object& value) {
            Objects values;
            {
              std::lock_guard lock(collected->mutex);
              collected->outcomes[i] = orNull(value);
              if (--collected->unsettled != 0) return;
              values = std::move(collected->outcomes);
            }
            fulfill(std::move(values));
          },
          [reject](const os::Error& error) { reject(error); });
    }
  });
}

VUVAravuvoPtr VUVAravuvo::any(const Objects& promises) { return onQueueAny(defaultDispatchQueue(), promises); }

VUVAravuvoPtr VUVAravuvo::onQueueAny(const Queue& queue, const Objects& promises) {
  if (!require(queue != nullptr, "queue")) return nullptr;
  if (promises.empty()) return resolvedWith(Objects{});
  return onQueueAsync(queue, [queue, elements = promises](FulfillBlock fulfill, RejectBlock reject) {
    auto inputs = asPromises(elements);
    auto collected = std::make_shared<Collected>(inputs.size());
    // Records one outcome; the callback that completes the set settles the result.
    auto record = [collected, fulfill, reject](size_t i, std::any outcome, bool isValue) {
      Objects combined;
      {
        std::lock_guard lock(collected->mutex);
        if (isValue) ++collected->fulfilled;
        if (--collected->unsettled != 0) {
          collected->outcomes[i] = std::move(outcome);
          return;
        }
        if (collected->fulfilled != 0) {
          collected->outcomes[i] = std::move(outcome);
          combined = std::move(collected->outcomes);
        }
      }
      if (combined.empty()) {
        reject(*asError(outcome));  // every input rejected; this one completed the set
      } else {
        fulfill(std::move(combined));
      }
    };
    for (size_t i = 0; i < inputs.size(); ++i) {
      inputs[i]->observeOnQueue(
          queue, [record, i](const Object& value) { record(i, orNull(value), true); },
          [record, i](const os::Error& error) { record(i, error, false); });
    }
  });
}

VUVAravuvoPtr VUVAravuvo::race(const Objects& promises) { return onQueueRace(defaultDispatchQueue(), promises); }

VUVAravuvoPtr VUVAravuvo::onQueueRace(const Queue& queue, const Objects& promises) {
  if (!require(queue != nullptr, "queue")) return nullptr;
  if (promises.empty()) {
    raise(kVUVNoPromisesToObserve);
    return nullptr;
  }
  return onQueueAsync(queue, [queue, elements = promises](FulfillBlock fulfill, RejectBlock reject) {
    for (const auto& element : elements) {
      if (!asPromise(element)) {
        fulfill(element);
        return;
      }
    }
    for (const auto& element : elements) {
      asPromise(element)->observeOnQueue(queue, fulfill, reject);
    }
  });
}
