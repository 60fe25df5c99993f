// os::testing::TestHTTPServer: an HTTP server on 127.0.0.1 for tests.
//
// It listens on an ephemeral port of the loopback address only, answers each
// path with scripted responses (status, headers, body, a delay, a hang, a
// redirect, a body that breaks off) and records every request it receives.
// Unscripted paths get 404. The destructor (or stop()) releases hanging and
// delayed answers, stops the server and joins its threads.
//
// Request bodies sent with "Content-Encoding: gzip" are recorded expanded, as
// the server reads them; the headers are recorded as sent.
//
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace os::testing {

struct ScriptedResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Seconds to wait before answering.
  double delaySeconds = 0;
  // Never answers; the connection stays open until the server stops.
  bool hang = false;
  // Declares the whole body's length but sends only its first half, then
  // closes the connection.
  bool truncateBody = false;

  static ScriptedResponse ok(std::string body = {}) {
    ScriptedResponse r;
    r.body = std::move(body);
    return r;
  }
  static ScriptedResponse withStatus(int status, std::string body = {}) {
    ScriptedResponse r;
    r.status = status;
    r.body = std::move(body);
    return r;
  }
  static ScriptedResponse redirect(int status, std::string location, std::string body = {}) {
    ScriptedResponse r;
    r.status = status;
    r.headers.emplace_back("Location", std::move(location));
    r.body = std::move(body);
    return r;
  }
  static ScriptedResponse hanging() {
    ScriptedResponse r;
    r.hang = true;
    return r;
  }
};

struct RecordedRequest {
  std::string method;
  std::string path;   // without the query
  std::string query;  // "" when none
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The first header of that name (case-insensitive), or nullopt.
  std::optional<std::string> header(const std::string& name) const;
};

class TestHTTPServer {
 public:
  // Starts listening; aborts the test program when no port can be bound.
  TestHTTPServer();
  ~TestHTTPServer();
  TestHTTPServer(const TestHTTPServer&) = delete;
  TestHTTPServer& operator=(const TestHTTPServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string baseURL() const;
  // baseURL() + path ("/x").
  std::string URLForPath(const std::string& path) const;

  // The answer for a path, for every method.
  void setResponse(const std::string& path, ScriptedResponse response);
  // Answers in turn; the last one repeats.
  void setResponses(const std::string& path, std::vector<ScriptedResponse> responses);

  // Chooses the answer to every request from the request itself; nullopt
  // falls back to the scripted answers. Called on a server thread, for one
  // request at a time, without the server's lock held. An empty responder
  // removes it.
  using Responder = std::function<std::optional<ScriptedResponse>(const RecordedRequest&)>;
  void setResponder(Responder responder);

  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const;
  // Waits (real time) until at least `count` requests have arrived.
  bool waitForRequestCount(size_t count, double timeoutSeconds = 30) const;

  // Releases waiting answers and stops; later calls do nothing.
  void stop();

 private:
  struct Script {
    std::vector<ScriptedResponse> responses;
    size_t next = 0;
  };
  ScriptedResponse responseFor(const std::string& path);
  void handle(const httplib::Request& req, httplib::Response& res);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Script> scripts_;   // guarded by mutex_
  std::shared_ptr<Responder> responder_;    // guarded by mutex_
  std::mutex responderMutex_;               // one responder call at a time
  std::vector<RecordedRequest> requests_;   // guarded by mutex_
  bool stopping_ = false;                   // guarded by mutex_
};

// Runs the main run loop (and so the main queue) on the calling thread, which
// must be the main thread, until `done` returns true or `timeoutSeconds` of
// real time pass. Returns done().
bool runMainUntil(const std::function<bool()>& done, double timeoutSeconds = 30);

}  // namespace os::testing
