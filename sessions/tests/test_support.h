// Test support of session tracking: stand-ins for each collaborator, a
// fixture with a fresh sandbox, a manual clock and the logger captured at
// debug level, and readers of what the transport's storage holds.
//
// The transport keeps its state directory for the whole process, so it is
// pinned in a sandbox that lives as long as the test program; each test gets
// a sandbox of its own for everything else (user defaults, keychain, bundle).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/dispatch/manual_clock.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"
#include "os/foundation/value.h"
#include "sessions/application_info.h"
#include "sessions/event_loggers.h"
#include "sessions/installations_adapter.h"
#include "sessions/rez_sessions_subscriber.h"
#include "sessions/session_start_event.h"
#include "sessions/settings.h"
#include "transport/REVOVALibrary/revova_event.h"

namespace sessions_test {

inline constexpr const char* kAppID = "1:123456789012:ios:0a1b2c3d4e5f";
inline constexpr double kStartTime = 1'700'000'000.0;

// Settable answers about the app.
class FakeAppInfo : public ApplicationInfoProtocol {
 public:
  std::string appIDValue = kAppID;
  std::string osNameValue = "ios";
  std::string deviceModelValue = "iPhone14,2";
  DevEnvironment environmentValue = DevEnvironment::prod;
  std::string buildVersion = "41";
  std::string displayVersion = "2.3";
  std::shared_ptr<const NetworkInfoProtocol> network;

  const std::string& appID() const override { return appIDValue; }
  std::string sdkVersion() const override { return "11.2.0"; }
  std::string osName() const override { return osNameValue; }
  std::string deviceModel() const override { return deviceModelValue; }
  std::shared_ptr<const NetworkInfoProtocol> networkInfo() const override { return network; }
  DevEnvironment environment() const override { return environmentValue; }
  std::string appBuildVersion() const override { return buildVersion; }
  std::string appDisplayVersion() const override { return displayVersion; }
  std::string osBuildVersion() const override { return "21F79"; }
  std::string osDisplayVersion() const override { return "17.5"; }
};

class FakeNetworkInfo : public NetworkInfoProtocol {
 public:
  FakeNetworkInfo(DAZNetworkType type, std::string radio) : type_(type), radio_(std::move(radio)) {}
  DAZNetworkType networkType() const override { return type_; }
  std::string mobileSubtype() const override { return radio_; }

 private:
  DAZNetworkType type_;
  std::string radio_;
};

// A subscriber that records the session ids it is told.
class TestSubscriber : public REZSessionsSubscriber {
 public:
  TestSubscriber(SessionsSubscriberName name, bool enabled) : name_(name), enabled_(enabled) {}
  void onSessionChanged(const std::shared_ptr<REZSessionDetails>& session) override;
  bool isDataCollectionEnabled() const override { return enabled_.load(); }
  SessionsSubscriberName sessionsSubscriberName() const override { return name_; }

  void setEnabled(bool enabled) { enabled_ = enabled; }
  std::vector<std::optional<std::string>> sessionIds() const;

 private:
  const SessionsSubscriberName name_;
  std::atomic<bool> enabled_;
  mutable std::mutex mutex_;
  std::vector<std::optional<std::string>> sessionIds_;  // guarded by mutex_
};

// Settings with fixed answers; counts the refreshes.
class FakeSettings : public SettingsProtocol {
 public:
  std::atomic<bool> enabled{true};
  std::atomic<double> timeout{1800};
  std::atomic<double> rate{1.0};
  std::atomic<int> fetches{0};

  bool sessionsEnabled() const override { return enabled; }
  double sessionTimeout() const override { return timeout; }
  double samplingRate() const override { return rate; }
  void fetchAndCacheSettings(os::Date) override { ++fetches; }
};

// Installations that answer at once, with a pair or an error.
class FakeInstallations : public InstallationsProtocol {
 public:
  explicit FakeInstallations(InstallationIDResult answer) : answer_(std::move(answer)) {}
  void installationID(const std::function<void(InstallationIDResult)>& completion) override { completion(answer_); }

 private:
  InstallationIDResult answer_;
};

// A transport that keeps what it is sent and answers as told.
class FakeTransport : public DuzaveZaduZuvuzedozProtocol {
 public:
  bool written = true;
  std::optional<os::Error> error;

  REVOVAEventPtr eventForTransport() override;
  void logDOVEvent(const REVOVAEventPtr& event, std::function<void(EventLogResult)> completion) override;
  std::vector<REVOVAEventPtr> sent() const;

 private:
  mutable std::mutex mutex_;
  std::vector<REVOVAEventPtr> sent_;  // guarded by mutex_
};

// Decodes session-event bytes; the message owns its arrays until released.
class DecodedEvent {
 public:
  explicit DecodedEvent(const os::Data& bytes);
  ~DecodedEvent();
  DecodedEvent(const DecodedEvent&) = delete;
  DecodedEvent& operator=(const DecodedEvent&) = delete;
  bool ok() const { return ok_; }
  const REZSessionEventProto& operator*() const { return proto_; }
  const REZSessionEventProto* operator->() const { return &proto_; }

 private:
  REZSessionEventProto proto_;
  bool ok_ = false;
};

// An HTTP server on 127.0.0.1 that keeps each request's head as it came over
// the wire (request line and header lines, in order), which the test server of
// os/testing does not, and answers every request with the status and body
// given. One request per connection.
class RawHTTPServer {
 public:
  RawHTTPServer(int status, std::string body);
  ~RawHTTPServer();
  RawHTTPServer(const RawHTTPServer&) = delete;
  RawHTTPServer& operator=(const RawHTTPServer&) = delete;

  std::string baseURL() const;
  // The lines of each head received so far.
  std::vector<std::vector<std::string>> heads() const;

 private:
  void serve();
  const int status_;
  const std::string body_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::vector<std::string>> heads_;  // guarded by mutex_
  std::thread thread_;
};

// nullopt for an unset string, else its text.
std::optional<std::string> textOf(const pb_bytes_array_t* bytes);

// The events the flat-file storage holds for the session target, with their
// payloads.
std::vector<REVOVAEventPtr> storedSessionEvents();
// Removes them.
void removeStoredSessionEvents();

class SessionsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the main run loop (no virtual time passes) until the predicate
  // holds; false after 20 s of real time.
  static bool waitUntil(const std::function<bool()>& done);
  // Lines logged so far containing the text (the logging queue flushed).
  size_t lines(const std::string& text) const;
  // Waits until at least `count` lines contain the text.
  bool waitForLines(const std::string& text, size_t count = 1);
  // The same for lines that end with the text (one line's text may begin
  // another's).
  size_t linesEndingWith(const std::string& text) const;
  bool waitForLinesEndingWith(const std::string& text, size_t count = 1);
  // Writes the main bundle's Info.plist (and, when given, the options file
  // and the endpoints resource) into the test's bundle folder.
  void writeBundle(const os::Dictionary& infoPlist, const std::optional<os::Dictionary>& options = std::nullopt,
                   const std::optional<os::Dictionary>& endpoints = std::nullopt);

  std::unique_ptr<os::TemporarySandbox> sandbox_;
  std::unique_ptr<os::ManualClockScope> clock_;
  std::unique_ptr<os::LogCapture> capture_;
  std::string bundlePath_;
};

}  // namespace sessions_test
