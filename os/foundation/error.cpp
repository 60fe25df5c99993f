#include "os/foundation/error.h"

#include <execinfo.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace os {
namespace {
std::atomic<Exception::UncaughtExceptionHandler> gUncaughtExceptionHandler{nullptr};
}  // namespace

Error Error::withDescription(std::string domain, int64_t code, std::string description) {
  Dictionary info;
  info[kLocalizedDescriptionKey] = Value(std::move(description));
  return Error(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
  auto it = userInfo_.find(kLocalizedDescriptionKey);
  if (it != userInfo_.end() && it->second.isString()) return *it->second.string();
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::string Error::localizedFailureReason() const {
  auto it = userInfo_.find(kLocalizedFailureReasonErrorKey);
  if (it != userInfo_.end() && it->second.isString()) return *it->second.string();
  return {};
}

std::string Error::description() const {
  std::string out = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                    localizedDescription() + "\"";
  if (!userInfo_.empty() || underlying_) {
    Value info(userInfo_);
    if (underlying_) info.set("NSUnderlyingError", underlying_->description());
    out += " UserInfo=" + info.description();
  }
  return out;
}

Exception::Exception(std::string name, std::string reason, Dictionary userInfo)
    : std::runtime_error(name + ": " + reason),
      name_(std::move(name)),
      reason_(std::move(reason)),
      userInfo_(std::move(userInfo)) {
  void* frames[64];
  int n = backtrace(frames, 64);
  if (n > 0) {
    callStackReturnAddresses_.reserve(size_t(n));
    for (int i = 0; i < n; ++i) callStackReturnAddresses_.push_back(reinterpret_cast<uintptr_t>(frames[i]));
    if (char** symbols = backtrace_symbols(frames, n)) {
      for (int i = 0; i < n; ++i) callStackSymbols_.emplace_back(symbols[i]);
      std::free(symbols);
    }
  }
}

namespace {
struct AssertionState {
  std::mutex mutex;
  AssertionHandler handler;  // guarded by mutex; empty means the default
};
// Never destroyed: assertions may be reported during static teardown.
AssertionState& assertionState() {
  static auto* state = new AssertionState;
  return *state;
}
}  // namespace

void handleAssertionFailure(const std::string& description) {
  AssertionHandler handler;
  {
    auto& state = assertionState();
    std::lock_guard lock(state.mutex);
    handler = state.handler;
  }
  if (!handler) throw Exception(kInternalInconsistencyException, description);
  handler(description);
}

AssertionHandler setAssertionHandler(AssertionHandler handler) {
  auto& state = assertionState();
  std::lock_guard lock(state.mutex);
  std::swap(state.handler, handler);
  return handler;
}

Exception::UncaughtExceptionHandler Exception::getUncaughtExceptionHandler() {
  return gUncaughtExceptionHandler.load(std::memory_order_acquire);
}

void Exception::setUncaughtExceptionHandler(UncaughtExceptionHandler handler) {
  gUncaughtExceptionHandler.store(handler, std::memory_order_release);
}

}  // namespace os
