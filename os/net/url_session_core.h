// The shared state of URLSession and its tasks, and the entry points of the
// transfer engine: internal to os/net (url_session.cpp, the sessions and
// tasks; url_session_engine.cpp, the engine), not for callers.
//
// The engine is one thread that runs every transfer over libcurl's multi
// interface. It is told to start or cancel a task's transfer, and reports back
// only through URLSessionTask::Core (setResponse, redirect, finish), which
// hands the outcome to the session's delegate queue.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "os/dispatch/queue.h"
#include "os/net/url_session.h"

namespace os {

// ---- Session core ----

struct URLSession::Core {
  std::weak_ptr<URLSession> self;
  const bool shared;
  URLSessionDelegateQueue queue;  // never empty

  std::mutex mutex;
  std::shared_ptr<URLSessionDelegate> delegate;               // guarded by mutex
  bool invalidated = false;                                   // guarded by mutex
  bool invalidationTold = false;                              // guarded by mutex
  std::set<std::shared_ptr<URLSessionTask>> running;          // guarded by mutex

  // Delivery: blocks run one at a time, in order, on `queue`.
  std::mutex pumpMutex;
  std::deque<DispatchBlock> pending;  // guarded by pumpMutex
  bool pumping = false;               // guarded by pumpMutex

  Core(bool isShared, URLSessionDelegateQueue q) : shared(isShared), queue(std::move(q)) {}

  std::shared_ptr<URLSessionDelegate> currentDelegate() {
    std::lock_guard lock(mutex);
    return delegate;
  }

  void deliver(DispatchBlock block) {
    auto session = self.lock();
    if (!session) return;
    {
      std::lock_guard lock(pumpMutex);
      pending.push_back(std::move(block));
      if (pumping) return;
      pumping = true;
    }
    queue.async([session] { session->core().pump(); });
  }

  void pump() {
    for (;;) {
      DispatchBlock block;
      {
        std::lock_guard lock(pumpMutex);
        if (pending.empty()) {
          pumping = false;
          return;
        }
        block = std::move(pending.front());
        pending.pop_front();
      }
      block();
    }
  }

  void taskStarted(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex);
    running.insert(task);
  }

  void taskFinished(const std::shared_ptr<URLSessionTask>& task) {
    bool tell = false;
    {
      std::lock_guard lock(mutex);
      running.erase(task);
      tell = invalidated && running.empty() && !invalidationTold;
      if (tell) invalidationTold = true;
    }
    if (tell) tellInvalidated();
  }

  void tellInvalidated() {
    deliver([this, session = self.lock()] {
      std::shared_ptr<URLSessionDelegate> d = currentDelegate();
      if (d) d->URLSessionDidBecomeInvalidWithError(*session, std::nullopt);
      std::lock_guard lock(mutex);
      delegate.reset();
    });
  }
};

// ---- Task core ----

struct URLSessionTask::Core {
  mutable std::mutex mutex;
  std::shared_ptr<URLSession> session;          // guarded by mutex; dropped at completion
  State state = State::Suspended;               // guarded by mutex
  URLRequest currentRequest;                    // guarded by mutex
  std::optional<HTTPURLResponse> response;      // guarded by mutex
  std::optional<Error> error;                   // guarded by mutex
  bool completed = false;                       // guarded by mutex
  std::atomic<int64_t> bytesReceived{0};
  double startedAt = 0;                         // set at resume, before the engine sees the task
  int redirects = 0;                            // guarded by mutex
  bool bodyDropped = false;                     // guarded by mutex
  // Held from resume until the outcome has been handed to the delivery
  // queue: a transfer in flight is work that virtual time waits for.
  std::unique_ptr<dispatch::OutsideWork> inFlight;  // guarded by mutex

  // Fixed when the task is made.
  std::optional<Data> uploadData;
  std::optional<std::string> uploadFile;
  URLSessionDataCompletionHandler dataHandler;
  URLSessionDownloadCompletionHandler downloadHandler;

  Core(std::shared_ptr<URLSession> s, URLRequest request) : session(std::move(s)), currentRequest(std::move(request)) {}

  bool hasHandler() const { return dataHandler != nullptr || downloadHandler != nullptr; }
  bool isCompleted() const {
    std::lock_guard lock(mutex);
    return completed;
  }
  std::shared_ptr<URLSession> currentSession() const {
    std::lock_guard lock(mutex);
    return session;
  }

  static Core& of(URLSessionTask& task) { return *task.core_; }

  static void setResponse(URLSessionTask& task, HTTPURLResponse response) {
    std::lock_guard lock(task.core_->mutex);
    task.core_->response = std::move(response);
  }

  // Completes the task once: records the outcome and delivers it. A download
  // that completed without error gets its body as a file at `downloadPath`
  // (written from `body` when no file was made); the file is removed after
  // the delivery.
  static void finish(const std::shared_ptr<URLSessionTask>& task, std::optional<HTTPURLResponse> response,
                     std::optional<Data> body, std::string downloadPath, std::optional<Error> error);

  // A redirect answer arrived: asks the delegate whether to follow.
  static void redirect(const std::shared_ptr<URLSessionTask>& task, HTTPURLResponse response, URLRequest newRequest,
                       bool dropsBody, Data body);
};

namespace net::detail {

// Seconds on the steady clock: what transfer time-outs are measured in.
double steadyNow();
// Starts the task's transfer of `request` on the engine thread (again, with
// the new request, after a redirect it follows).
void startTransfer(std::shared_ptr<URLSessionTask> task, URLRequest request);
// Drops the task's transfers; their outcome is never reported.
void cancelTransfers(std::shared_ptr<URLSessionTask> task);
// A new download file under the temporary folder holding the body; "" when
// it cannot be written.
std::string writeDownloadFile(const Data& body);

}  // namespace net::detail
}  // namespace os
