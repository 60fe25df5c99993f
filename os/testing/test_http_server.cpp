#include "os/testing/test_http_server.h"

#include <httplib.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "os/dispatch/run_loop.h"
#include "os/foundation/clock.h"

namespace os::testing {

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

TestHTTPServer::TestHTTPServer() : server_(std::make_unique<httplib::Server>()) {
  auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
  server_->Get(".*", handler);
  server_->Post(".*", handler);
  server_->Put(".*", handler);
  server_->Patch(".*", handler);
  server_->Delete(".*", handler);
  server_->Options(".*", handler);
  // One request per connection: a kept-alive connection would hold stop()
  // for the server's keep-alive time-out.
  server_->set_keep_alive_max_count(1);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) {
    std::fprintf(stderr, "TestHTTPServer: cannot bind a port on 127.0.0.1\n");
    std::abort();
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only stops a server that runs: wait for the accept loop.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!server_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "TestHTTPServer: the server did not start\n");
      std::abort();
    }
    std::this_thread::yield();
  }
}

TestHTTPServer::~TestHTTPServer() { stop(); }

void TestHTTPServer::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string TestHTTPServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string TestHTTPServer::URLForPath(const std::string& path) const { return baseURL() + path; }

void TestHTTPServer::setResponse(const std::string& path, ScriptedResponse response) {
  setResponses(path, {std::move(response)});
}

void TestHTTPServer::setResponses(const std::string& path, std::vector<ScriptedResponse> responses) {
  std::lock_guard lock(mutex_);
  scripts_[path] = Script{std::move(responses), 0};
}

void TestHTTPServer::setResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = responder ? std::make_shared<Responder>(std::move(responder)) : nullptr;
}

std::vector<RecordedRequest> TestHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t TestHTTPServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool TestHTTPServer::waitForRequestCount(size_t count, double timeoutSeconds) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                           [&] { return requests_.size() >= count; });
}

ScriptedResponse TestHTTPServer::responseFor(const std::string& path) {
  auto it = scripts_.find(path);
  if (it == scripts_.end() || it->second.responses.empty()) return ScriptedResponse::withStatus(404, "Not Found");
  Script& script = it->second;
  ScriptedResponse r = script.responses[std::min(script.next, script.responses.size() - 1)];
  ++script.next;
  return r;
}

void TestHTTPServer::handle(const httplib::Request& req, httplib::Response& res) {
  RecordedRequest recorded;
  recorded.method = req.method;
  recorded.path = req.path;
  if (auto q = req.target.find('?'); q != std::string::npos) recorded.query = req.target.substr(q + 1);
  for (const auto& [name, value] : req.headers) {
    // httplib adds these itself; they were not sent.
    if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
    recorded.headers.emplace_back(name, value);
  }
  recorded.body = req.body;

  std::optional<ScriptedResponse> chosen;
  std::shared_ptr<Responder> responder;
  {
    std::lock_guard lock(mutex_);
    responder = responder_;
  }
  if (responder) {
    std::lock_guard lock(responderMutex_);
    chosen = (*responder)(recorded);
  }

  ScriptedResponse scripted;
  {
    std::unique_lock lock(mutex_);
    requests_.push_back(std::move(recorded));
    scripted = chosen ? std::move(*chosen) : responseFor(req.path);
    changed_.notify_all();
    if (scripted.hang) {
      changed_.wait(lock, [&] { return stopping_; });
      res.status = 503;
      return;
    }
    if (scripted.delaySeconds > 0) {
      changed_.wait_for(lock, std::chrono::duration<double>(scripted.delaySeconds), [&] { return stopping_; });
    }
  }

  res.status = scripted.status;
  std::string contentType = "text/plain";
  for (const auto& [name, value] : scripted.headers) {
    if (strcasecmp(name.c_str(), "Content-Type") == 0) {
      contentType = value;
    } else {
      res.set_header(name, value);
    }
  }
  if (scripted.truncateBody) {
    auto body = std::make_shared<std::string>(scripted.body);
    res.set_content_provider(body->size(), contentType,
                             [body](size_t offset, size_t, httplib::DataSink& sink) {
                               if (offset == 0) sink.write(body->data(), body->size() / 2);
                               return false;
                             });
    return;
  }
  res.set_content(scripted.body, contentType);
}

bool runMainUntil(const std::function<bool()>& done, double timeoutSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    if (Clock::current().isManual()) {
      RunLoop::main().runOnce(kDefaultRunLoopMode, DispatchTime::now());
      std::this_thread::yield();
    } else {
      RunLoop::main().runOnce(kDefaultRunLoopMode, DispatchTime::fromNow(0.01));
    }
  }
  return true;
}

}  // namespace os::testing
