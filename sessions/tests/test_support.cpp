#include "sessions/tests/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pb_decode.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "os/dispatch/queue.h"
#include "os/foundation/bundle.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/keyed_archiver.h"
#include "os/foundation/plist.h"
#include "os/foundation/process_info.h"
#include "os/foundation/user_defaults.h"
#include "os/security/keychain.h"
#include "os/testing/test_http_server.h"
#include "platform/utilities/endpoints.h"
#include "platform/utilities/logger.h"
#include "sdk-core/core/rez_app.h"
#include "sdk-core/core/rez_logger.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"
#include "transport/REVOVALibrary/revova_platform.h"

namespace fs = std::filesystem;

namespace sessions_test {
namespace {

// Holds the transport's state directory for the whole program.
class TransportSandbox : public ::testing::Environment {
 public:
  void SetUp() override {
    sandbox_ = std::make_unique<os::TemporarySandbox>();
    (void)REVOVAStateDirectoryURL();
  }
  void TearDown() override { sandbox_.reset(); }

 private:
  std::unique_ptr<os::TemporarySandbox> sandbox_;
};

[[maybe_unused]] const auto* kEnvironment = ::testing::AddGlobalTestEnvironment(new TransportSandbox);

std::string sessionEventFolder() {
  return REVOVAFlatFileStorage::eventDataStoragePath() + "/" + std::to_string(kREVOVATargetFLL);
}

}  // namespace

void TestSubscriber::onSessionChanged(const std::shared_ptr<REZSessionDetails>& session) {
  std::lock_guard lock(mutex_);
  sessionIds_.push_back(session->sessionId());
}

std::vector<std::optional<std::string>> TestSubscriber::sessionIds() const {
  std::lock_guard lock(mutex_);
  return sessionIds_;
}

REVOVAEventPtr FakeTransport::eventForTransport() {
  return REVOVAEvent::initWithMappingID(kREZSessionsMappingID, kREZSessionsTarget);
}

void FakeTransport::logDOVEvent(const REVOVAEventPtr& event, std::function<void(EventLogResult)> completion) {
  {
    std::lock_guard lock(mutex_);
    sent_.push_back(event);
  }
  if (error) {
    completion(VivuzuvuSessionsError::Cause(*error));
  } else if (!written) {
    completion(VivuzuvuSessionsError::Cause(DuzaveZaduZuvuzedozProtocolErrors::writeFailure));
  } else {
    completion(std::nullopt);
  }
}

std::vector<REVOVAEventPtr> FakeTransport::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

DecodedEvent::DecodedEvent(const os::Data& bytes) : proto_(vivuzuvu_appquality_sessions_SessionEvent_init_zero) {
  pb_istream_t stream = pb_istream_from_buffer(bytes.bytes(), bytes.size());
  ok_ = pb_decode(&stream, vivuzuvu_appquality_sessions_SessionEvent_fields, &proto_);
}

DecodedEvent::~DecodedEvent() { pb_release(vivuzuvu_appquality_sessions_SessionEvent_fields, &proto_); }

RawHTTPServer::RawHTTPServer(int status, std::string body) : status_(status), body_(std::move(body)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "RawHTTPServer: no port on 127.0.0.1";
    return;
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

RawHTTPServer::~RawHTTPServer() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

std::string RawHTTPServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::vector<std::string>> RawHTTPServer::heads() const {
  std::lock_guard lock(mutex_);
  return heads_;
}

void RawHTTPServer::serve() {
  while (!stopping_) {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 50) <= 0) continue;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos && !stopping_) {
      pollfd readable{connection, POLLIN, 0};
      if (::poll(&readable, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received.append(buffer, static_cast<size_t>(n));
    }
    std::vector<std::string> head;
    size_t start = 0;
    for (size_t end; (end = received.find("\r\n", start)) != std::string::npos && end != start; start = end + 2) {
      head.push_back(received.substr(start, end - start));
    }
    const std::string reply = "HTTP/1.1 " + std::to_string(status_) + " Answer\r\nContent-Type: application/json\r\n" +
                              "Content-Length: " + std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" +
                              body_;
    (void)::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(connection);
    {
      std::lock_guard lock(mutex_);
      heads_.push_back(std::move(head));
    }
  }
}

std::optional<std::string> textOf(const pb_bytes_array_t* bytes) {
  if (!bytes) return std::nullopt;
  return REZSessionsStringOf(bytes);
}

std::vector<REVOVAEventPtr> storedSessionEvents() {
  std::vector<REVOVAEventPtr> events;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sessionEventFolder(), ec)) {
    if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
    auto bytes = os::FileManager::defaultManager().contentsAtPath(entry.path().string());
    if (!bytes) continue;
    auto event = os::KeyedUnarchiver::unarchivedObjectOfClass<REVOVAEvent>(*bytes);
    if (event) events.push_back(*event);
  }
  return events;
}

void removeStoredSessionEvents() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sessionEventFolder(), ec)) fs::remove(entry.path(), ec);
}

void SessionsTest::SetUp() {
  sandbox_ = std::make_unique<os::TemporarySandbox>();
  os::UserDefaults::resetStandardUserDefaults();
  os::Keychain::resetShared();
  clock_ = std::make_unique<os::ManualClockScope>();
  clock_->clock().setWallTime(kStartTime);
  os::ProcessInfo::processInfo().setArguments({"drosil"});
  REZApp::TEST_reset();
  REZSessionsDependencies::TEST_removeAll();
  DAZLoggerTEST_reset();
  REZLoggerTEST_reset();
  REZLoggerSetLevel(DAZLoggerLevel::Debug);
  capture_ = std::make_unique<os::LogCapture>();
  bundlePath_ = sandbox_->root() + "/Drosil.app";
  fs::create_directories(bundlePath_);
  writeBundle({});
  removeStoredSessionEvents();
}

void SessionsTest::TearDown() {
  REZApp::TEST_reset();
  REZSessionsDependencies::TEST_removeAll();
  os::dispatch::drainUntilIdle();
  DAZLoggerTEST_flush();
  capture_.reset();
  DAZLoggerTEST_reset();
  os::Bundle::setMainBundlePath("");
  DAZEndpoints::reload();
  REVOVAEndpoints::TEST_reset();
  clock_.reset();
  removeStoredSessionEvents();
  os::Keychain::resetShared();
  os::UserDefaults::resetStandardUserDefaults();
  sandbox_.reset();
}

bool SessionsTest::waitUntil(const std::function<bool()>& done) { return os::testing::runMainUntil(done, 20); }

size_t SessionsTest::lines(const std::string& text) const {
  DAZLoggerTEST_flush();
  return capture_->recordsContaining(text).size();
}

bool SessionsTest::waitForLines(const std::string& text, size_t count) {
  return waitUntil([&] { return lines(text) >= count; });
}

size_t SessionsTest::linesEndingWith(const std::string& text) const {
  DAZLoggerTEST_flush();
  size_t count = 0;
  for (const auto& record : capture_->recordsContaining(text)) count += record.message.ends_with(text);
  return count;
}

bool SessionsTest::waitForLinesEndingWith(const std::string& text, size_t count) {
  return waitUntil([&] { return linesEndingWith(text) >= count; });
}

void SessionsTest::writeBundle(const os::Dictionary& infoPlist, const std::optional<os::Dictionary>& options,
                               const std::optional<os::Dictionary>& endpoints) {
  auto write = [&](const std::string& name, const os::Dictionary& contents) {
    auto data = os::PropertyListSerialization::dataWithPropertyList(os::Value(contents),
                                                                    os::PropertyListSerialization::Format::XML);
    ASSERT_TRUE(data.has_value());
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(bundlePath_ + "/" + name, *data));
  };
  os::Dictionary info = infoPlist;
  info.emplace(os::kCFBundleIdentifierKey, "com.example.drosil");
  write("Info.plist", info);
  if (options) write("RirudiVizeziv-Azir.plist", *options);
  if (endpoints) write("DrosilEndpoints.plist", *endpoints);
  os::Bundle::setMainBundlePath(bundlePath_);
  DAZEndpoints::reload();
  REVOVAEndpoints::TEST_reset();
}

}  // namespace sessions_test
