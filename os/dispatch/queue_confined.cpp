#include "os/dispatch/queue_confined.h"

#include <cstdio>
#include <cstdlib>

namespace os {

namespace detail {
#ifdef NDEBUG
constinit std::atomic<bool> queueChecksOn{false};
#else
constinit std::atomic<bool> queueChecksOn{true};
#endif
}  // namespace detail

namespace {

void abortOnFailure(const char* name, const std::string& queueLabel, const std::string& currentLabel) {
  std::fprintf(stderr, "queue check failed: %s touched off its queue \"%s\" (current queue: \"%s\")\n", name,
               queueLabel.c_str(), currentLabel.c_str());
  std::fflush(stderr);
  std::abort();
}

constinit std::atomic<QueueCheckFailureHandler> failureHandler{&abortOnFailure};

}  // namespace

bool queueChecksEnabled() { return detail::queueChecksOn.load(std::memory_order_relaxed); }

void setQueueChecksEnabled(bool enabled) { detail::queueChecksOn.store(enabled, std::memory_order_relaxed); }

QueueCheckFailureHandler setQueueCheckFailureHandler(QueueCheckFailureHandler handler) {
  return failureHandler.exchange(handler ? handler : &abortOnFailure);
}

void detail::queueCheckFailed(const char* name, const DispatchQueue* queue) {
  failureHandler.load()(name, queue ? queue->label() : std::string(), DispatchQueue::currentLabel());
}

}  // namespace os
